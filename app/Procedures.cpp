// The timed procedures: the step engine on the stepped-procedure timer, the synchronisation
// at millisecond 500, the single-decoder write, the two resets, and the attachment of all
// procedures to the window.
#include "app/Procedures.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <thread>

#include "util/DateTime.h"
#include "util/DesktopServices.h"
#include "util/MainThread.h"

namespace sincrovia {

namespace {

constexpr char kWriteStatus[] = "Sending Write Date And Time Command, please Wait...";
constexpr char kResetTimerStatus[] = "Sending Reset Timer Command, please Wait...";
constexpr char kReadStatus[] = "Sending Read date and Time Command, please Wait...";
constexpr char kResetGpsStatus[] = "Sending Reset GPS command, please Wait...";
constexpr char kFirmwareStatus[] = "Sending Read Firmware version command, please Wait...";
constexpr char kLatencyStatus[] = "Latency in progress, please wait";
constexpr char kLatencyPrefix[] = "Latency in progress ";
constexpr char kLatencySuffix[] = ", please wait";
constexpr char kOffsetNamePart[] = "StTxtSecOffset_";

constexpr int64_t kUsPerMs = 1000;
// Pause between looks at the countdown after the synchronising write: short against its
// one-millisecond steps, long enough to leave the processor to the serial and decoder threads.
constexpr auto kCountdownNap = std::chrono::microseconds(100);
// Pause right after the synchronising writes, before the logging and the countdown's repaint:
// a virtual line hands the bytes on from a kernel worker on this processor, which a busy main
// thread can hold back by a millisecond or more.
constexpr auto kAfterWriteNap = std::chrono::microseconds(300);
constexpr int64_t kMsPerSecond = 1000;
/// Longest sleep of a wait for one event; a wake-up timer ends it when nothing else comes.
constexpr int kOneMessageWaitMs = 20;

int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int64_t SteadyNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TSincroviaProcedures::TSincroviaProcedures(TSincrovia& window, TProcedureOptions options)
    : QObject(&window), w_(window), options_(std::move(options)) {
    Attach();
}

TSincroviaProcedures::~TSincroviaProcedures() {
    // The window's own members are gone by now (it owns this object as a child); only the
    // delivery target is ours to clear.
    if (ActiveProcedures() == this) SetActiveProcedures(nullptr);
}

TSincroviaProcedures* AttachProcedures(TSincrovia& window, TProcedureOptions options) {
    return new TSincroviaProcedures(window, std::move(options));
}

void TSincroviaProcedures::Guarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        ReportApplicationError(e.what());
    }
}

void TSincroviaProcedures::Attach() {
    SetActiveProcedures(this);
    const auto bind = [this](QAction* action, std::function<void()> fn) {
        connect(action, &QAction::triggered, this, [this, fn = std::move(fn)] { Guarded(fn); });
    };
    // A procedure button's enabled state is brought up to date only when the loop goes idle,
    // and a press can come before that (a double click, a click queued while busy): the guard
    // is checked again at the press, so a second press while a procedure runs does nothing.
    const auto bindProcedure = [this, bind](QAction* action, std::function<bool()> guard, std::function<void()> fn) {
        bind(action, [guard = std::move(guard), fn = std::move(fn)] {
            if (guard()) fn();
        });
    };
    const auto canStart = [this] { return CanStartProcedure(); };
    bind(w_.ActApriCOM_All, [this] { ActApriCOM_AllExecute(); });
    bind(w_.ActChiudiCOM_All, [this] { ActChiudiCOM_AllExecute(); });
    bind(w_.ActBotClearCOM_X, [this] { ActBotClearCOM_XExecute(); });
    bindProcedure(
        w_.ActBotCalcDif, [this] { return ProcedureIdle(); }, [this] { ActBotCalcDifExecute(); });
    bindProcedure(w_.ActBot2ReadDateAndTime, canStart, [this] { ActBot2ReadDateAndTimeExecute(); });
    bindProcedure(w_.ActBot3WriteDateAndTime, canStart, [this] { ActBot3WriteDateAndTimeExecute(); });
    bindProcedure(w_.ActBotSendCmd07, canStart, [this] { ActBotSendCmd07Execute(); });
    bindProcedure(w_.ActBotSendCmd55, canStart, [this] { ActBotSendCmd55Execute(); });
    for (int slot = 1; slot <= SlotCount; ++slot) {
        QAction* action = w_.SetTimeAction(slot);
        bindProcedure(action, canStart, [this, action] { ActBotWriteDateAndTimeExecute(action); });
        TDropDownList* list = w_.PortList(slot);
        connect(list, &TDropDownList::DropDown, this, [this, list] { w_.RefillPortList(list); });
    }
    AttachRules();
    w_.RestoreComSelection = [this] { Guarded([this] { RestoreComSelection(); }); };
    w_.CloseAllLinks = [this] {
        w_.FAbortRequest = true;
        CloseAllLinksNow();
    };
    connect(w_.CmbMaxErrSync, &QComboBox::currentTextChanged, this,
            [this](const QString& text) { Guarded([this, text] { ThresholdChanged(text); }); });
    connect(w_.ShpSyncResult, &TShape::MouseDown, this, &TSincroviaProcedures::LampMouseDown);
    w_.ThreadedTimer1.OnTimer = [this](void*) { Guarded([this] { TimerTick(); }); };
}

// --- Event pumping ---------------------------------------------------------------------------

void TSincroviaProcedures::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    // Serial deliveries and timer ticks come through the hand-over; serve them here too, so
    // a wait that pumps never depends on how the hand-over reaches the event loop.
    ServeMainThreadCalls();
}

void TSincroviaProcedures::HandleOneMessage() {
    PumpMessages();
    // What the event loop does when it runs dry: bring the actions up to date. Then wait
    // for one event; a short timer makes sure the wait ends even when nothing comes.
    w_.UpdateActions();
    QTimer::singleShot(kOneMessageWaitMs, this, [] {});
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    ServeMainThreadCalls();
}

void TSincroviaProcedures::SetHourglass() {
    if (QApplication::overrideCursor() != nullptr)
        QApplication::changeOverrideCursor(Qt::WaitCursor);
    else
        QApplication::setOverrideCursor(Qt::WaitCursor);
}

void TSincroviaProcedures::RestoreCursor() {
    while (QApplication::overrideCursor() != nullptr) QApplication::restoreOverrideCursor();
}

// --- Commands to all decoders ----------------------------------------------------------------

void TSincroviaProcedures::SendToAllLinks(const std::function<BuiltFrame(TTest&)>& build,
                                          std::array<int64_t, SlotCount>* writtenUnixUs) {
    struct Outgoing {
        std::size_t index;
        TTest* link;
        BuiltFrame frame;
    };
    std::vector<Outgoing> out;
    for (std::size_t i = 0; i < slots_.size(); ++i)
        if (TTest* link = slots_[i].DecoderLink) out.push_back({i, link, build(*link)});
    // The frames go out back to back, so the decoders hear them within microseconds of each
    // other; logging follows once all are on their way. Each request instant is read just before
    // its write: a decoder may take the bytes before the call returns, and an instant read after
    // it (late if the thread was held up in between) would put the decoder's stamp before it.
    for (Outgoing& o : out) {
        if (writtenUnixUs != nullptr) (*writtenUnixUs)[o.index] = NowUnixUs();
        o.link->WriteFrame(o.frame.bytes);
    }
    for (Outgoing& o : out) o.link->LogSentFrame(o.frame.tag, o.frame.logLine);
}

void TSincroviaProcedures::SendWriteDateTimeAll() {
    SetHourglass();
    w_.SetStatusText(kWriteStatus);
    const TDateTime now = Now();
    SendToAllLinks([now](TTest& link) { return BuildSetDateTimeFrame(link.Settings(), now); });
}

void TSincroviaProcedures::SendResetReaderAll(TDateTime t) {
    SetHourglass();
    w_.SetStatusText(kResetTimerStatus);
    for (const TDecoderSlot& s : slots_)
        if (TTest* link = s.DecoderLink) link->SendResetTimer(t);
}

void TSincroviaProcedures::SendReadDateTimeAll(TDateTime t) {
    SetHourglass();
    w_.SetStatusText(kReadStatus);
    FreezePcTime(t);
    std::array<bool, SlotCount> asked{};
    for (std::size_t i = 0; i < asked.size(); ++i) asked[i] = slots_[i].PortOpen;
    round_.Open(roundKind_, NowUnixUs(), asked, SteadyNowMs());
    // A tooltip tells the timing of its slot's reading in this round only.
    for (int slot = 1; slot <= SlotCount; ++slot) w_.TimeBox(slot)->setToolTip("");
    SendToAllLinks([t](TTest& link) { return BuildCommandFrame(DecoderCommand::ManualLap, link.Settings(), t); },
                   &round_.requestUs);
}

void TSincroviaProcedures::SendResetGpsAll(TDateTime t) {
    SetHourglass();
    w_.SetStatusText(kResetGpsStatus);
    for (const TDecoderSlot& s : slots_)
        if (TTest* link = s.DecoderLink) link->SendResetGps(t);
}

void TSincroviaProcedures::SendReadFirmwareAll() {
    SetHourglass();
    w_.SetStatusText(kFirmwareStatus);
    for (const TDecoderSlot& s : slots_)
        if (TTest* link = s.DecoderLink) link->SendFirmwareRequest();
}

// --- The step engine -------------------------------------------------------------------------

void TSincroviaProcedures::TimerTick() {
    // The interval the timer waited names the step that runs now; an interval of no step
    // finishes with evaluation, as the last step of a read does.
    const std::optional<ProcedureStep> step = StepOfInterval(w_.ThreadedTimer1.Interval());
    const StepAction action = step ? StepRow(*step).action : StepAction::FinishEvaluate;
    if (action == StepAction::FinishQuiet || action == StepAction::FinishEvaluate) {
        FinishProcedure(action == StepAction::FinishEvaluate);
        return;
    }
    // "1-Open COM" turns enabled once every port is closed: the procedure has lost its
    // decoders. The rules are brought up to date first, as the idle loop would.
    w_.UpdateActions();
    if (w_.ActApriCOM_All->isEnabled()) {
        AbortProcedure();
        return;
    }
    if (action == StepAction::ReadFirmware) SendReadFirmwareAll();
    if (action == StepAction::ReadClocks) SendReadDateTimeAll(Now());
    w_.ThreadedTimer1.SetInterval(StepInterval(StepRow(*step).next));
}

void TSincroviaProcedures::StartStep(ProcedureStep step) {
    w_.ThreadedTimer1.SetInterval(StepInterval(step));
    w_.ThreadedTimer1.SetEnabled(true);
}

void TSincroviaProcedures::FinishProcedure(bool evaluate) {
    if (evaluate) ActBotCalcDifExecute();
    if (w_.StatusText() != AbortedByUserText) w_.SetStatusText("");
    w_.ThreadedTimer1.SetEnabled(false);
    w_.ThreadedTimer1.SetInterval(StepInterval(ProcedureStep::Idle));
    RestoreCursor();
    w_.FBusy = false;
}

void TSincroviaProcedures::AbortProcedure() {
    w_.SetStatusText(AbortedByUserText);
    FinishProcedure(true);
}

// --- "3-Synchro Date and Time" ---------------------------------------------------------------

void TSincroviaProcedures::ActBot3WriteDateAndTimeExecute() {
    if (!CheckDecodersReady()) return;
    if (!ConfirmWriteAfterClockStep()) return;
    roundKind_ = RoundKind::Sync;
    ClearReadings(true);
    SetStaticTexts(kOffsetNamePart, "0", ColorWindow);
    ShowSyncResult(srIdle);
    SetHourglass();
    w_.SetStatusText(AlignmentWaitText);
    w_.FBusy = true;
    HandleOneMessage();
    AlignAndWrite();
    const auto sentAt = std::chrono::steady_clock::now();
    WaitAfterWrite(sentAt);
    if (w_.ChkBoxCmd55ReseGPSKivoAfter->isChecked())
        SendResetGpsAll(Now());
    else
        SendResetReaderAll(Now());
    PumpMessages();
    StartStep(ProcedureStep::ReadAfterWrite);
}

bool TSincroviaProcedures::ConfirmWriteAfterClockStep() {
    // The decoders would take a PC time that has just jumped: written only when the user says
    // so; the box's default (and an unattended run) keeps the decoders as they are.
    const std::optional<ClockStep> step = w_.PcClockWatch->LastStep();
    if (!step || !w_.PcClockWatch->SteppedRecently(NowUnixUs())) return true;
    const std::string text = ClockStepText(*step) + ".\r\n\r\nThe decoders would take a time that has just jumped. " +
                             "Write the PC time into the decoders anyway?";
    return Desktop().MessageBox(ApplicationTitle, text, MsgIcon::Warning, MsgButtons::YesNo, MsgAnswer::No) ==
           MsgAnswer::Yes;
}

void TSincroviaProcedures::AlignAndWrite() {
    // Millisecond 500 of a PC second is the instant of the write: the decoders take the whole
    // second written and start its millisecond 500 when the frame arrives. Everything slow is
    // done before the spin (status text, frames for the planned second) or after the writes
    // (log lines). The spin reads the clock and nothing else: no events, no sleep.
    SetHourglass();
    w_.SetStatusText(kWriteStatus);
    struct Outgoing {
        TTest* link;
        ByteString bytes;
    };
    std::vector<Outgoing> out;
    for (int slot = 1; slot <= SlotCount; ++slot)
        if (TTest* link = Slot(slot).DecoderLink) out.push_back({link, {}});
    const auto frameAt = [](TTest& link, int64_t unixMs) {
        return BuildSetDateTimeFrame(link.Settings(), UnixMsToDateTime(unixMs));
    };
    // Each decoder takes the frame when its last byte arrives: the writes leave early by the
    // longest frame's time on its line, so that the decoders take the second at millisecond 500
    // by their side of the line. Every instant below is that arrival instant.
    int64_t leadUs = 0;
    if (options_.alignAtDecoder) {
        for (Outgoing& o : out) {
            const ByteString probe = frameAt(*o.link, NowUnixUs() / kUsPerMs).bytes;
            leadUs = std::max(leadUs, TransmissionUs(probe.size(), o.link->LineShape()));
        }
    }
    const int64_t planned = PlannedAlignmentUnixMs((NowUnixUs() + leadUs) / kUsPerMs);
    for (Outgoing& o : out) o.bytes = frameAt(*o.link, planned).bytes;

    int64_t nowUs = 0;
    for (;;) {
        nowUs = NowUnixUs() + leadUs;
        const auto ms = static_cast<int>(FloorMod(FloorDiv(nowUs, kUsPerMs), kMsPerSecond));
        if (IsAlignmentInstant(ms)) break;
    }
    const int64_t nowMs = FloorDiv(nowUs, kUsPerMs);
    if (FloorDiv(nowMs, kMsPerSecond) != FloorDiv(planned, kMsPerSecond))
        for (Outgoing& o : out) o.bytes = frameAt(*o.link, nowMs).bytes;  // the spin overran its second
    for (Outgoing& o : out) o.link->WriteFrame(o.bytes);
    lastSyncUnixUs_ = nowUs - leadUs;
    if (options_.onSyncWrite) options_.onSyncWrite(lastSyncUnixUs_);
    std::this_thread::sleep_for(kAfterWriteNap);

    for (Outgoing& o : out) {
        const BuiltFrame f = frameAt(*o.link, nowMs);
        o.link->LogSentFrame(f.tag, f.logLine);
    }
}

void TSincroviaProcedures::WaitAfterWrite(std::chrono::steady_clock::time_point sentAt) {
    // The countdown pumps events whenever its text changes (about once a millisecond), so
    // replies, repaints and "5-Close COM" are handled while it runs; in between it naps.
    const auto text = [sentAt] {
        return QString(SyncCountdownPrefix) + QString::fromStdString(CountdownText(SyncSettleMs - ElapsedMs(sentAt)));
    };
    while (ElapsedMs(sentAt) < SyncSettleMs) {
        if (text() != w_.StatusText()) {
            PumpMessages();
            w_.SetStatusText(text());
        } else {
            std::this_thread::sleep_for(kCountdownNap);
        }
    }
}

// --- Single-decoder write and resets ---------------------------------------------------------

void TSincroviaProcedures::ActBotWriteDateAndTimeExecute(QAction* action) {
    const int slot = action->data().toInt();
    if (slot < 1 || slot > SlotCount) return;
    if (!CheckSlotReady(slot)) return;
    bool ok = false;
    const int offsetSeconds = w_.OffsetBox(slot)->text().trimmed().toInt(&ok);
    const TDateTime when = Now() + static_cast<double>(ok ? offsetSeconds : 0) * kMsPerSecond * OneMs;
    roundKind_ = RoundKind::SetTime;
    SetHourglass();
    w_.SetStatusText(kWriteStatus);
    if (TTest* link = Slot(slot).DecoderLink) {
        link->SendSetDateTime(when);
        lastSyncUnixUs_ = NowUnixUs();  // a decoder took the PC's time scale
    }
    StartStep(ProcedureStep::AfterSingleWrite);
}

void TSincroviaProcedures::ActBotSendCmd07Execute() {
    if (!CheckDecodersReady()) return;
    ClearReadings(true);
    ShowSyncResult(srIdle);
    SendResetReaderAll(Now());
    StartStep(ProcedureStep::FinishQuiet);
}

void TSincroviaProcedures::ActBotSendCmd55Execute() {
    if (!CheckDecodersReady()) return;
    ClearReadings(true);
    ShowSyncResult(srIdle);
    w_.SetStatusText(kLatencyStatus);
    w_.FBusy = true;
    while (w_.BtSendCmd55->isEnabled()) HandleOneMessage();

    // Elapsed time on the steady clock: a wrapping tick counter or a clock step cannot cut
    // the latency short or stretch it.
    const auto start = std::chrono::steady_clock::now();
    const auto latencyMs = [this] {
        bool ok = false;
        const int value = w_.EdtLatencySendCmd55->text().trimmed().toInt(&ok);
        return ok ? int64_t{value} : int64_t{0};
    };
    const auto aborted = [this] {
        if (!w_.FAbortRequest) return false;
        w_.SetStatusText(AbortedByUserText);
        w_.FAbortRequest = false;
        w_.FBusy = false;
        return true;
    };
    while (ElapsedMs(start) < latencyMs()) {
        if (aborted()) return;
        const int64_t remaining = latencyMs() - ElapsedMs(start);
        PumpMessages();
        w_.SetStatusText(kLatencyPrefix + QString::number(remaining) + kLatencySuffix);
    }
    // A close during the last pass of the wait stops the command as well.
    if (aborted()) return;
    w_.FBusy = false;
    SendResetGpsAll(Now());
    StartStep(ProcedureStep::FinishQuiet);
}

}  // namespace sincrovia

#include "moc_Procedures.cpp"
