// Qt versions of the desktop services and the wiring of the main-thread hand-over into the Qt
// event loop. Layers below the window only see util/DesktopServices.h and util/MainThread.h;
// the program installs these at start.
#pragma once

#include <QString>

#include <string>

#include "util/DesktopServices.h"

namespace sincrovia {

/// Message boxes with QMessageBox, beep with QApplication::beep; a system sound is a beep.
/// Boxes asked for from another thread are shown on the main thread while the caller waits.
class QtDesktop : public DesktopServices {
public:
    MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer) override;
    void Beep() override;
    void PlaySystemSound(const std::string& alias) override;
};

/// The text of a box as the toolkit shows it: UTF-8 when the bytes are valid UTF-8, else the
/// 8-bit code page; every CR LF or LF CR pair, and a lone CR or LF, becomes one line break.
QString DisplayText(const std::string& bytes);

/// Lets background threads wake the Qt loop: each hand-over posts one serve event to an object
/// of the main thread (at most one pending at a time). The loop, and every nested loop such
/// as a modal box, then serves the calls. Needs the QApplication.
void WireMainThreadToQt();

/// Removes the wake-up installed by WireMainThreadToQt (before the QApplication goes).
void UnwireMainThreadFromQt();

}  // namespace sincrovia
