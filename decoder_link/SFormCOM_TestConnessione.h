// The decoder link: one object per open serial line that speaks the decoder protocol. It owns
// the serial port component, the receive buffer and record parser, the command frames, the
// delivery of texts to the window, the messages to the window's log memo, the optional traffic
// log and beep thread. All of it runs on the main thread.
#pragma once

#include <string>

#include "util/ByteString.h"
#include "util/DateTime.h"

namespace sincrovia {

/// Receive callback: a plain procedure taking a delivered text and an integer that is always 0.
/// Called on the main thread once per delivered text.
using TRxTextProc = void (*)(const ByteString& text, int reserved);

/// A log memo of the window: the link only appends lines to it.
class TMemoLines {
public:
    virtual ~TMemoLines() = default;
    /// Appends one line (bytes in the 8-bit code page).
    virtual void AddLine(const ByteString& line) = 0;
};

/// An optional progress bar showing the receive-queue fill.
class TQueueGauge {
public:
    virtual ~TQueueGauge() = default;
    /// Sets the bar's position.
    virtual void SetPosition(int position) = 0;
};

/// An optional shape whose brush colour the link sets (RGB).
class TLinkShape {
public:
    virtual ~TLinkShape() = default;
    /// Sets the brush colour.
    virtual void SetBrushColor(int red, int green, int blue) = 0;
};

class TTest;

/// The link's own window (test window on the developer workstation), supplied by the program
/// with a toolkit; the core link runs without one.
class TTestView {
public:
    virtual ~TTestView() = default;
    /// Shows the window.
    virtual void Show() = 0;
    /// Whether the window is visible.
    virtual bool Visible() const = 0;
    /// A status panel's text changed (panels 0..2).
    virtual void StatusChanged(int panel, const std::string& text) = 0;
    /// A text was added to the list of sent texts (MemoStrDaInviare).
    virtual void SentTextAdded(const ByteString& text) = 0;
};

/// Makes the view of a link; installed by the program (nullptr: links have no window).
using TTestViewFactory = TTestView* (*)(TTest& link);

/// Installs the factory of link views for the whole program.
void SetTestViewFactory(TTestViewFactory factory);

}  // namespace sincrovia
