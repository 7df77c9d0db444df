// The few desktop services that layers below the window call: message boxes, the system beep
// and the system sounds. They are replaceable: the window installs Qt versions, tools keep the
// headless default, tests install a recorder.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sincrovia {

/// Icon of a message box.
enum class MsgIcon { None, Error, Warning, Information, Question };

/// Button set of a message box.
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };

/// The button that closed a message box.
enum class MsgAnswer { Ok, Cancel, Yes, No };

/// Desktop services as seen by the core; one instance is installed for the whole program.
class DesktopServices {
public:
    virtual ~DesktopServices() = default;
    /// Shows a modal box and returns the answer; defaultAnswer is what Enter would choose.
    virtual MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                                 MsgAnswer defaultAnswer) = 0;
    /// Sounds the system beep.
    virtual void Beep() = 0;
    /// Plays a system sound by its alias (e.g. "SystemExclamation") without waiting.
    virtual void PlaySystemSound(const std::string& alias) = 0;
};

/// Headless default: a message box prints caption and text on standard error and answers its
/// default button; beep and sounds write a BEL to standard error.
class HeadlessDesktop : public DesktopServices {
public:
    MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer) override;
    void Beep() override;
    void PlaySystemSound(const std::string& alias) override;
};

/// Test recorder: keeps every call, answers message boxes with a chosen answer (or the default).
class RecordingDesktop : public DesktopServices {
public:
    /// One recorded message box.
    struct Box {
        std::string caption, text;
        MsgIcon icon;
        MsgButtons buttons;
    };
    MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer) override;
    void Beep() override;
    void PlaySystemSound(const std::string& alias) override;

    /// Answer given to later boxes; unset means each box's default answer.
    void SetAnswer(MsgAnswer answer);
    /// Copies of what was recorded so far (thread-safe).
    std::vector<Box> Boxes() const;
    int BeepCount() const;
    std::vector<std::string> Sounds() const;
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<Box> boxes_;
    int beeps_ = 0;
    std::vector<std::string> sounds_;
    bool hasAnswer_ = false;
    MsgAnswer answer_ = MsgAnswer::Ok;
};

/// The installed services (the headless default until SetDesktop is called).
DesktopServices& Desktop();

/// Installs services; nullptr restores the headless default. The caller keeps ownership.
void SetDesktop(DesktopServices* services);

/// Installs a recorder for the lifetime of a scope (tests).
class ScopedDesktop {
public:
    explicit ScopedDesktop(DesktopServices& services) { SetDesktop(&services); }
    ~ScopedDesktop() { SetDesktop(nullptr); }
    ScopedDesktop(const ScopedDesktop&) = delete;
    ScopedDesktop& operator=(const ScopedDesktop&) = delete;
};

}  // namespace sincrovia
