// Unattended runs: the window's own procedures driven from the command line, for a script, a
// cron job or a PC reached over SSH. The window is built and shown on whatever platform Qt was
// given (the offscreen one for the program's --unattended), and each step is the click a user
// would make on its button: "1-Open COM", then "2-Read Date and Time", "3-Synchro Date and
// Time" or "Set Time N". What the procedures judge reaches the run through
// TProcedureOptions::onRoundEvaluated; message boxes are printed and answered by their default
// button. Nothing of the procedures is repeated here.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/Procedures.h"
#include "app/Rounds.h"
#include "app/SSincrovia.h"
#include "util/DesktopServices.h"

namespace sincrovia {

/// The switch that selects an unattended run; the arguments after it describe the run.
inline constexpr char UnattendedSwitch[] = "--unattended";

/// Exit statuses of an unattended run.
inline constexpr int kUnattendedOk = 0;      ///< "Synchronization OK"
inline constexpr int kUnattendedNotOk = 1;   ///< Warning, KO, or no verdict at all
inline constexpr int kUnattendedFailed = 2;  ///< a port, a setting, a refusal or a second copy

/// What an unattended run is asked to do.
struct UnattendedRequest {
    /// The procedure run after the ports are open.
    enum class Mode { Read, Sync, SetTime };
    Mode mode = Mode::Read;
    int slot = 0;                      ///< Set Time: the slot 1..4
    std::optional<int> offsetSeconds;  ///< Set Time: the slot's offset (-3..3 s)
    std::string reset;                 ///< Sync: "reader", "gps" or "" (the window's choice)
    std::string threshold;             ///< the threshold in ms, "" for the window's default
    std::string jsonFile;              ///< where to write the result as JSON, "" for nowhere
    std::string screenshotFile;        ///< where to save the whole window at the end, ""
};

/// Usage text of the unattended mode (one line per form).
extern const char UnattendedUsage[];

/// Parses the arguments that follow "--unattended". Returns "" on success, else what is wrong
/// (the run then ends with kUnattendedFailed before anything is opened).
std::string ParseUnattendedArguments(const std::vector<std::string>& args, UnattendedRequest& out);

/// The round's table: slot, decoder, port, firmware, decoder time, offset to PC (decoder time
/// minus the frozen PC time of the read), round trip ("-" when the reply's arrival is not
/// known) and status; one line per slot and a heading.
std::string FormatRoundTable(const RoundResult& round);

/// Exit status that a judged verdict text gives.
int ExitStatusOfVerdict(const std::string& verdict);

/// Desktop services of an unattended run: every box is printed ("box: " + caption + text, line
/// breaks kept, carriage returns dropped) and answered by its default button; the text of the
/// last error box is kept for the report.
class PrintingDesktop : public DesktopServices {
public:
    /// Prints to `out`.
    explicit PrintingDesktop(std::ostream& out) : out_(out) {}
    MsgAnswer MessageBox(const std::string& caption, const std::string& text, MsgIcon icon, MsgButtons buttons,
                         MsgAnswer defaultAnswer) override;
    void Beep() override {}
    void PlaySystemSound(const std::string& /*alias*/) override {}
    /// Text of the last error box shown ("" when none), carriage returns dropped.
    const std::string& LastErrorText() const { return lastError_; }

private:
    std::ostream& out_;
    std::string lastError_;
};

/// One unattended run over a window and its procedures.
class UnattendedRun {
public:
    /// A run of `request` that prints its steps on `out` and reads error boxes from `desktop`.
    UnattendedRun(UnattendedRequest request, std::ostream& out, const PrintingDesktop& desktop);

    /// Adds the run's hooks (judged rounds, the synchronising write) to `options`.
    TProcedureOptions Hook(TProcedureOptions options);

    /// Runs the request on `window` (built with `procedures` attached through Hook()'s options
    /// and shown): opens the ports, runs the procedure, prints the table and the verdict, writes
    /// the JSON file and the screenshot, closes the ports. Returns the exit status.
    int Run(TSincrovia& window, TSincroviaProcedures& procedures);

    /// Reports a run that ended before it began (bad arguments, a second copy): prints
    /// `error` and writes it to the JSON file when one was asked for. Returns kUnattendedFailed.
    int Refuse(const std::string& error);

private:
    bool ApplySettings(TSincrovia& window, std::string& error);
    bool OpenPorts(TSincrovia& window, TSincroviaProcedures& procedures, std::string& error);
    bool WaitUntil(TSincroviaProcedures& procedures, const std::function<bool()>& done, int timeoutMs);
    int Finish(TSincrovia& window, TSincroviaProcedures& procedures, int status, const std::string& error);
    void WriteJson(int status, const std::string& error);
    void Say(const std::string& line);

    UnattendedRequest request_;
    std::ostream& out_;
    const PrintingDesktop& desktop_;
    std::optional<RoundResult> round_;
    int64_t writeUnixUs_ = 0;
};

}  // namespace sincrovia
