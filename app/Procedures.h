// The synchronizer at work: the ports panel, the intake of the decoders' replies, the reading
// and judging of the clocks, and the timed procedures that write, reset and read the
// decoders. One object serves one main window; it attaches to the window's actions, update
// rules, hooks and stepped-procedure timer. Beyond what the window shares it keeps the
// bookkeeping of the clock round being read (RoundBook), which alone decides what a verdict
// is drawn from. The code is split by area: PortsPanel.cpp, ReplyIntake.cpp,
// SpreadEvaluation.cpp and Procedures.cpp; the rules themselves are in Decisions.h.
#pragma once

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/Decisions.h"
#include "app/Rounds.h"
#include "app/SSincrovia.h"
#include "decoder_link/Frames.h"
#include "decoder_link/SFormCOM_TestConnessione.h"

class QAction;

namespace sincrovia {

/// The steps of the stepped procedures. A procedure arms the stepped-procedure timer with the
/// interval of the step that comes next; when the timer fires, the interval it waited tells
/// which step runs, so no two steps share an interval.
enum class ProcedureStep {
    ReadFirmware,      ///< send the firmware request
    FinishQuiet,       ///< finish without evaluation
    ReadAfterWrite,    ///< read after a synchronisation
    FinishRead,        ///< finish with evaluation after a read
    FinishQuickRead,   ///< finish "2-Read Date and Time"
    AfterSingleWrite,  ///< first wait after "Set Time n"
    ReadAfterSingle,   ///< read after "Set Time n"
    Idle,              ///< left on the timer when a procedure ends
};

/// What a step does once its wait is over.
enum class StepAction {
    ReadFirmware,    ///< Cmd 01 to every link, then the row's next step
    ReadClocks,      ///< a round opened and Cmd 52 to every link, then the row's next step
    Wait,            ///< nothing but the row's next step
    FinishQuiet,     ///< the procedure ends without evaluation
    FinishEvaluate,  ///< the procedure ends with evaluation
};

/// One row of the step table: the step, the timer interval (ms) that names it, what it does,
/// and the step armed after it when the procedure goes on.
struct ProcedureStepRow {
    ProcedureStep step;
    uint32_t intervalMs;
    StepAction action;
    ProcedureStep next;
};

/// The step table, one row per step in the order of ProcedureStep.
inline constexpr std::array<ProcedureStepRow, 8> kProcedureSteps{{
    {ProcedureStep::ReadFirmware, 1111, StepAction::ReadFirmware, ProcedureStep::FinishQuiet},
    {ProcedureStep::FinishQuiet, 799, StepAction::FinishQuiet, ProcedureStep::Idle},
    {ProcedureStep::ReadAfterWrite, 3500, StepAction::ReadClocks, ProcedureStep::FinishRead},
    {ProcedureStep::FinishRead, 850, StepAction::FinishEvaluate, ProcedureStep::Idle},
    {ProcedureStep::FinishQuickRead, 380, StepAction::FinishEvaluate, ProcedureStep::Idle},
    {ProcedureStep::AfterSingleWrite, 3000, StepAction::Wait, ProcedureStep::ReadAfterSingle},
    {ProcedureStep::ReadAfterSingle, 2050, StepAction::ReadClocks, ProcedureStep::FinishRead},
    {ProcedureStep::Idle, 800, StepAction::FinishEvaluate, ProcedureStep::Idle},
}};

/// The row of `step`.
constexpr const ProcedureStepRow& StepRow(ProcedureStep step) {
    return kProcedureSteps[static_cast<std::size_t>(step)];
}

/// The timer interval (ms) that names `step`.
constexpr uint32_t StepInterval(ProcedureStep step) { return StepRow(step).intervalMs; }

/// The step named by a timer interval; none for an interval no step has (the timer's first).
constexpr std::optional<ProcedureStep> StepOfInterval(uint32_t intervalMs) {
    for (const ProcedureStepRow& row : kProcedureSteps)
        if (row.intervalMs == intervalMs) return row.step;
    return std::nullopt;
}

/// Whether the table keeps its promises: each row in its step's place, every interval naming
/// one step only, and the timer's first interval naming none.
constexpr bool StepTableSound() {
    for (std::size_t i = 0; i < kProcedureSteps.size(); ++i) {
        if (static_cast<std::size_t>(kProcedureSteps[i].step) != i) return false;
        if (StepOfInterval(kProcedureSteps[i].intervalMs) != kProcedureSteps[i].step) return false;
    }
    return !StepOfInterval(InitialTimerInterval).has_value();
}
static_assert(StepTableSound(), "every step has its own row and its own interval");

/// Wait after the synchronising write before the reset is sent.
inline constexpr int64_t SyncSettleMs = 2000;
/// A clock request older than this no longer waits for its reply: a reply that comes later is
/// taken for the newest request. Longer than any wait for a reply (850 ms).
inline constexpr int64_t StaleRequestMs = 3000;

/// Time box text of an asked slot whose reply did not come (or came only after the wait).
inline constexpr char NoReplyText[] = "no reply";
/// Time box text of an asked slot whose reply did not decode.
inline constexpr char BadReplyText[] = "bad reply";

/// Status texts of the procedures.
inline constexpr char AbortedByUserText[] = "Procedure aborted by User";
inline constexpr char AlignmentWaitText[] = "Waiting for the PC clock alignment...";
inline constexpr char SyncCountdownPrefix[] = "Sended Synchro DateTime, waiting ";

/// The clock reading of a slot that passed the transponder check.
struct TSlotReading {
    TDateTime Time = 0;  ///< decoded date-time
    bool Valid = false;  ///< counted by the next evaluation
};

/// What the procedures hold for one decoder slot (all start false, empty or zero).
struct TDecoderSlot {
    /// The link opened its port.
    bool PortOpen = false;
    /// The decoder link, or nullptr. Created and freed by the port panel; a window destroyed
    /// with links still present has them closed through its CloseAllLinks.
    TTest* DecoderLink = nullptr;
    /// Last reading that passed the transponder check.
    TSlotReading SlotReading;
    /// Last decoded clock reading, 0 meaning none.
    TDateTime DecoderTime = 0;
    /// Firmware version from the last firmware reply, empty meaning none.
    std::string FirmwareVer;
};

/// What the tests and the program may choose for the procedures.
struct TProcedureOptions {
    /// Folder of "MemCom.set"; empty: the folder of the program file.
    std::string settingsFolder;
    /// Called right after the four synchronising frames went to the ports, with the PC time
    /// (Unix microseconds) at which they were written; for measurements.
    std::function<void(int64_t alignedUnixUs)> onSyncWrite;
    /// Whether the synchronising writes leave early by the frames' time on the line, so that
    /// the decoders take them at millisecond 500 (off: the first byte leaves at 500).
    bool alignAtDecoder = true;
    /// Called once per judged round, right after the lamp shows its verdict, with the
    /// readings the verdict was drawn from (history store, unattended runs).
    std::function<void(const RoundResult&)> onRoundEvaluated;
};

/// The procedures of one main window.
class TSincroviaProcedures : public QObject {
    Q_OBJECT
public:
    /// Attaches to `window`: actions, update rules, hooks, timer, lamp, lists. The object
    /// becomes a child of the window and the target of RxOnCom1..4.
    TSincroviaProcedures(TSincrovia& window, TProcedureOptions options);
    ~TSincroviaProcedures() override;
    TSincroviaProcedures(const TSincroviaProcedures&) = delete;
    TSincroviaProcedures& operator=(const TSincroviaProcedures&) = delete;

    /// The state of `slot` (1..SlotCount).
    TDecoderSlot& Slot(int slot) { return slots_.at(static_cast<std::size_t>(slot - 1)); }
    /// The state of `slot` (1..SlotCount).
    const TDecoderSlot& Slot(int slot) const { return slots_.at(static_cast<std::size_t>(slot - 1)); }

    // --- Ports panel ---
    /// Full path of "MemCom.set".
    std::string SettingsFilePath() const;
    /// Reselects the ports saved in "MemCom.set" (first show).
    void RestoreComSelection();
    /// "1-Open COM".
    void ActApriCOM_AllExecute();
    /// "5-Close COM": closes and frees every link.
    void ActChiudiCOM_AllExecute();
    /// "Clear Com": the slot is the digit ending the name of the button that fired it.
    void ActBotClearCOM_XExecute();
    /// Creates and opens the link of `slot` unless it has one or `port` is empty; true when a
    /// link was created (its opening is in PortOpen).
    bool OpenSlot(int slot, const std::string& port, TMemoLines* log, TRxTextProc rx, bool showWindow);
    /// Shows the firmware version found in `text` for `slot` and records it.
    void ShowFirmware(int slot, const ByteString& text);
    /// True when every slot is fit for a clock procedure; else the refusal box and false.
    bool CheckDecodersReady();

    // --- Reply intake ---
    /// What RxOnCom<slot> does with a delivered text.
    void ReceiveText(int slot, const ByteString& text);
    /// Decodes a passage text for `slot` and applies the transponder check. A reply to the
    /// open round's request fills the boxes and the round (a failed decoding is recorded before
    /// its box opens); any other passage is logged as late and counts nowhere. Returns the
    /// decoded value (0 when decoding failed).
    TDateTime HandleReading(int slot, const ByteString& text);
    /// The round being read or last judged.
    const RoundBook& Round() const { return round_; }

    // --- Reading and verdict ---
    /// Lamp colour and result text of a result state.
    void ShowSyncResult(TSyncResult state);
    /// The threshold label from a threshold text.
    void ShowThreshold(const QString& text);
    /// Sets text and background of every static text whose name contains `namePart`.
    void SetStaticTexts(const QString& namePart, const QString& text, const QColor& colour);
    /// Empties the value boxes and decoder times (and the firmware versions unless kept).
    void ClearReadings(bool keepFirmware);
    /// Freezes the PC time of a read.
    void FreezePcTime(TDateTime t);
    /// Judges the round: closes it if open (slots still awaited fail and are marked not
    /// ready), judges the spread and the PC difference, shows the verdict and publishes it.
    void EvaluateSpread(int factor);
    /// "Calc Max Dif.".
    void ActBotCalcDifExecute();
    /// "2-Read Date and Time".
    void ActBot2ReadDateAndTimeExecute();
    /// What the next "2-Read Date and Time" is for (the watch marks its reads as checks); the
    /// read takes it and the kind after it is a plain read again.
    void SetNextReadKind(RoundKind kind) { nextReadKind_ = kind; }
    /// The threshold list changed.
    void ThresholdChanged(const QString& text);
    /// A mouse press on the lamp (the unlock gesture toggles the two radio buttons).
    void LampMouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers,
                       bool doubleClick);

    // --- Procedures ---
    /// One tick of the stepped-procedure timer.
    void TimerTick();
    /// Ends a procedure (with or without evaluation).
    void FinishProcedure(bool evaluate);
    /// Ends a procedure because the ports were closed.
    void AbortProcedure();
    /// "3-Synchro Date and Time".
    void ActBot3WriteDateAndTimeExecute();
    /// "Set Time 1" ... "Set Time 4" (`action` is the one that fired; its data is its slot).
    void ActBotWriteDateAndTimeExecute(QAction* action);
    /// "Reset Reader".
    void ActBotSendCmd07Execute();
    /// "Reset GPS".
    void ActBotSendCmd55Execute();

    /// Cmd 03 with the PC time read at the call to every link.
    void SendWriteDateTimeAll();
    /// Cmd 07 to every link.
    void SendResetReaderAll(TDateTime t);
    /// Freezes `t`, opens a round for every open slot and sends Cmd 52 to every link.
    void SendReadDateTimeAll(TDateTime t);
    /// Cmd 55 to every link.
    void SendResetGpsAll(TDateTime t);
    /// Cmd 01 to every link.
    void SendReadFirmwareAll();

    /// Runs the pending events and main-thread hand-overs once.
    void PumpMessages();
    /// Handles one event, waiting (briefly) for one when none is pending.
    void HandleOneMessage();

    /// Shows `message` as the program's handler of an unexpected error does: in every live
    /// link's log, or in a box when no link exists.
    static void ReportApplicationError(const std::string& message);

private:
    void Attach();
    /// Arms the stepped-procedure timer with `step`'s interval and starts it.
    void StartStep(ProcedureStep step);
    void AttachRules();
    bool AnySlotOpen() const;
    bool ProcedureIdle() const;
    /// The guard of a procedure button, checked at the press: a slot is open, none runs.
    bool CanStartProcedure() const;
    /// True when `slot` may have its clock written; else the refusal box and false.
    bool CheckSlotReady(int slot);
    /// The readiness check of every slot (`onlySlot` 0) or of one; shows the refusal box.
    bool CheckReadiness(int onlySlot);
    /// "Decoder PIT OUT (port)" for the memo and the round.
    std::string SlotLabel(int slot) const;
    /// Shows a failed reading in the slot's boxes: date empty, time `marker`.
    void ShowFailedReading(int slot, const char* marker);
    /// A slot whose line stopped answering: firmware label back to not read, so the clock
    /// procedures refuse until the ports are reopened.
    void MarkNotReady(int slot);
    /// When every asked slot has answered, the waiting step ends now instead of at its time.
    void EvaluateWhenComplete();
    void SetHourglass();
    void RestoreCursor();
    void SaveComSelection(const std::array<std::string, SlotCount>& ports);
    void CloseAllLinksNow();
    /// Sends one frame per link back to back, then logs them: nothing slow between writes.
    /// With `writtenUnixUs`, each slot's entry receives the PC instant its frame was written.
    void SendToAllLinks(const std::function<BuiltFrame(TTest&)>& build,
                        std::array<int64_t, SlotCount>* writtenUnixUs = nullptr);
    /// After a recent step of the PC clock, asks before writing it into the decoders; true to go on.
    bool ConfirmWriteAfterClockStep();
    void AlignAndWrite();
    void WaitAfterWrite(std::chrono::steady_clock::time_point sentAt);
    void Guarded(const std::function<void()>& fn);
    /// Works out what the slot's reading tells (round trip, offset, uncertainty) and shows it
    /// in the Time box's tooltip and the memo.
    void ShowReadingTiming(int slot, TDateTime value);
    /// How the memo names each slot: "Decoder PIT OUT (HID2)", index 0 = slot 1.
    std::array<std::string, SlotCount> SlotLabels() const;
    /// Hands the round just judged to TProcedureOptions::onRoundEvaluated.
    void PublishRound(const SpreadInput& in, const SpreadVerdict& v);

    TSincrovia& w_;
    TProcedureOptions options_;
    std::array<TDecoderSlot, SlotCount> slots_{};  // index 0 = slot 1
    int deliveryDepth_ = 0;                        // receive callbacks running (a close waits for them to end)
    bool closeDeferred_ = false;
    RoundKind roundKind_ = RoundKind::Read;     // what the next round read is for
    RoundKind nextReadKind_ = RoundKind::Read;  // the kind "2-Read Date and Time" reads as
    RoundBook round_;                           // the round being read or last judged
    int64_t lastSyncUnixUs_ = 0;  // PC instant of the last clock write (synchronisation or Set Time), 0 none yet
};

/// Milliseconds of the steady clock (for the age of clock requests).
int64_t SteadyNowMs();

/// Attaches the procedures to `window` (owned by it) and returns them.
TSincroviaProcedures* AttachProcedures(TSincrovia& window, TProcedureOptions options = {});

/// The procedures RxOnCom1..4 deliver to (nullptr when none are attached).
TSincroviaProcedures* ActiveProcedures();
/// Makes `procedures` the target of RxOnCom1..4 (nullptr: texts are dropped).
void SetActiveProcedures(TSincroviaProcedures* procedures);

/// Receive callbacks of the four slots, handed to the links.
void RxOnCom1(const ByteString& text, int reserved);
void RxOnCom2(const ByteString& text, int reserved);
void RxOnCom3(const ByteString& text, int reserved);
void RxOnCom4(const ByteString& text, int reserved);

/// The stamp that opens a log line: "08 Dec 03:52:33.123;".
std::string LogStamp(TDateTime t);

}  // namespace sincrovia
