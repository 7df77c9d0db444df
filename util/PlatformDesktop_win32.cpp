// Desktop services of Windows: message boxes through the system, the system beep, and system
// sounds played by their alias. A message box that the system cannot show (no interactive
// desktop: a service, a remote session without one, wine without a display) falls back to the
// headless box, which prints and answers the default button, so that nothing waits for a click
// that can never come.
#include <windows.h>
#include <mmsystem.h>

// The services name their box like the system call; the system's headers make that name a
// macro of its character-set variants.
#undef MessageBox

#include "util/PlatformDesktop.h"

namespace sincrovia {
namespace {

UINT IconFlag(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Error: return MB_ICONERROR;
    case MsgIcon::Warning: return MB_ICONWARNING;
    case MsgIcon::Information: return MB_ICONINFORMATION;
    case MsgIcon::Question: return MB_ICONQUESTION;
    case MsgIcon::None: break;
    }
    return 0;
}

// The buttons of a set, left to right, with the system's flag for the set.
struct ButtonSet {
    UINT flag;
    MsgAnswer buttons[3];
    int count;
};

ButtonSet ButtonsOf(MsgButtons buttons) {
    switch (buttons) {
    case MsgButtons::OkCancel: return {MB_OKCANCEL, {MsgAnswer::Ok, MsgAnswer::Cancel}, 2};
    case MsgButtons::YesNo: return {MB_YESNO, {MsgAnswer::Yes, MsgAnswer::No}, 2};
    case MsgButtons::YesNoCancel: return {MB_YESNOCANCEL, {MsgAnswer::Yes, MsgAnswer::No, MsgAnswer::Cancel}, 3};
    case MsgButtons::Ok: break;
    }
    return {MB_OK, {MsgAnswer::Ok}, 1};
}

// The default-button flag for the position of the default answer in the set (the first button
// when the set has no such answer).
UINT DefaultButtonFlag(const ButtonSet& set, MsgAnswer defaultAnswer) {
    constexpr UINT kByPosition[] = {MB_DEFBUTTON1, MB_DEFBUTTON2, MB_DEFBUTTON3};
    for (int k = 0; k < set.count; ++k) {
        if (set.buttons[k] == defaultAnswer) return kByPosition[k];
    }
    return MB_DEFBUTTON1;
}

class Win32Desktop final : public DesktopServices {
public:
    MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer) override {
        const ButtonSet set = ButtonsOf(buttons);
        const UINT flags =
            set.flag | IconFlag(icon) | DefaultButtonFlag(set, defaultAnswer) | MB_TASKMODAL | MB_SETFOREGROUND;
        switch (::MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags)) {
        case IDOK: return MsgAnswer::Ok;
        case IDCANCEL: return MsgAnswer::Cancel;
        case IDYES: return MsgAnswer::Yes;
        case IDNO: return MsgAnswer::No;
        default: break;
        }
        // The system could not show the box.
        return fallback_.MessageBox(caption, text, icon, buttons, defaultAnswer);
    }

    void Beep() override { ::MessageBeep(MB_OK); }

    void PlaySystemSound(const std::string& alias) override {
        // Asynchronous: the call returns at once and the sound plays on.
        ::PlaySoundA(alias.c_str(), nullptr, SND_ALIAS | SND_ASYNC);
    }

private:
    HeadlessDesktop fallback_;
};

}  // namespace

DesktopServices& PlatformDesktop() {
    static Win32Desktop instance;
    return instance;
}

}  // namespace sincrovia
