#include "serial/SerialNG.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "util/DateTime.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

constexpr std::uint32_t kWaitTimeoutMs = 75;    // longest wait of an active pass
constexpr std::uint32_t kIdleSleepMs = 200;     // one idle pass
constexpr std::uint32_t kBusyPollMs = 75;       // one round of the closing waits
constexpr int kCloseBusyRounds = 15;            // 1125 ms when closing
constexpr int kDestroyBusyRounds = 10;          // 750 ms when destroying
constexpr std::uint32_t kLineErrorMask = 31;    // overflow, overrun, parity, framing, break
constexpr std::uint32_t kRingPlatformId = 1;    // the old consumer family
constexpr std::size_t kMaxDevicePathName = 79;  // characters of the port name used
constexpr std::size_t kMaxPortName = 255;       // longest port name kept
constexpr int kMaxStatusRounds = 32;            // bound of one status poll's re-reads
constexpr std::uint8_t kMaxLimitPercent = 100;
constexpr double kMicrosPerMilli = 1000.0;

// Microseconds per character by baud rate: the row with the largest threshold not above the
// rate wins; below the first row the default applies.
struct CharTimeRow {
    std::uint32_t baudAtLeast;
    std::uint32_t microsPerChar;
};
constexpr std::uint32_t kDefaultCharTime = 1100;
constexpr CharTimeRow kCharTimes[] = {
    {110, 100000}, {300, 37000}, {600, 18000}, {1200, 9000}, {2400, 4500}, {4800, 2300}, {9600, 1100}, {14400, 760},
    {19200, 570},  {38400, 290}, {56000, 200}, {57600, 190}, {115200, 95}, {128000, 85}, {256000, 43},
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// TSerialCluster

TSerialCluster::TSerialCluster(const std::uint8_t* data, std::uint32_t size, std::uint32_t error,
                               std::int64_t arrivalUnixUs)
    : data_(data != nullptr ? data : nullptr, data != nullptr ? data + size : nullptr),
      error_(error),
      arrivalUnixUs_(arrivalUnixUs) {}

// ---------------------------------------------------------------------------------------------
// TSerialPortNG

TSerialPortNG::TSerialPortNG(std::shared_ptr<SerialPlatform> platform, TNotifyErrorEvent earlyError)
    : OnProcessError(std::move(earlyError)), platformOwner_(std::move(platform)), platform_(*platformOwner_) {
    platformId_ = platform_.PlatformId();
    for (Overlapped* ov : {&writeOv_, &readOv_, &waitOv_}) {
        EventHandle event = kNoEvent;
        const SysError e = platform_.CreateEvent(&event);
        if (e == kSysAlreadyExists) {
            Notify(SerialPlace::EventExists, kSysAlreadyExists);
        } else if (e != kSysOk) {
            Notify(SerialPlace::EventNotCreated, e);
            event = kNoEvent;
        }
        ov->event = event;
    }
    workThread_ = std::make_unique<TWorkThread>(this);
}

TSerialPortNG::~TSerialPortNG() {
    destroying_ = true;
    if (active_) CloseLine();
    workThread_->Terminate();
    if (InOwnDelivery()) {
        // Destroyed by one of its own handlers: the worker waits for that handler to return, so it
        // cannot be joined here. It is let go and ends by itself, touching nothing of this object.
        workThread_.release()->Abandon();
    } else {
        WaitWhileThreadBusy(kDestroyBusyRounds);
        // Join once the loop has ended, serving this worker's deliveries (its handlers see the
        // destroying flag and do nothing) and nobody else's.
        const std::shared_ptr<TDeliveryBox> box = deliveryBox_;
        WaitServingOwnWorker([&box] { return box->workerEnded; }, std::chrono::steady_clock::time_point::max());
        workThread_->JoinServing();
        workThread_.reset();
    }
    for (Overlapped* ov : {&writeOv_, &readOv_, &waitOv_}) {
        if (ov->event != kNoEvent) platform_.CloseEvent(ov->event);
        ov->event = kNoEvent;
    }
    std::lock_guard<std::mutex> lock(clusterLock_);
    clusters_.clear();
}

void TSerialPortNG::NotifyProcessError(std::uint32_t Place, std::uint32_t Code, const std::string& Msg,
                                       std::uint8_t Noise) {
    if (destroying_ || Noise > errorNoise_ || !OnProcessError) return;
    // A copy runs: the handler may clear or replace OnProcessError, or destroy the component.
    const TNotifyErrorEvent handler = OnProcessError;
    handler(this, Place, Code, Msg, Noise);
}

void TSerialPortNG::Notify(SerialPlace where, std::uint32_t code, const std::string& detail) {
    const SerialPlaceRow& row = PlaceRow(where);
    NotifyProcessError(row.place, code, row.message + detail, row.noise);
}

void TSerialPortNG::SetActive(bool value) {
    if (value != active_) OpenClose(value);
}

void TSerialPortNG::SetCommPort(const std::string& value) {
    const std::string name = value.substr(0, kMaxPortName);
    if (name == commPort_) return;
    commPort_ = name;
    OpenClose(active_);
}

void TSerialPortNG::OpenClose(bool activate) {
    if (active_) CloseLine();
    if (activate) OpenLine();
}

// Closing: stop the event wait, let the worker wind down, purge, then drop the control lines
// and close the handle. Every failure is reported and closing goes on.
void TSerialPortNG::CloseLine() {
    Notify(SerialPlace::Deactivating, 0);
    const LineHandle h = comHandle_;
    if (const SysError e = platform_.SetEventMask(h, 0); e != kSysOk) Notify(SerialPlace::EventMaskOff, e);
    active_ = false;
    if (const SysError e = platform_.Purge(h, kPurgeAll); e != kSysOk) Notify(SerialPlace::PurgeOnClose, e);
    WaitWhileThreadBusy(kCloseBusyRounds);
    // Closed from inside a delivery, the worker is parked in that delivery and winds down as
    // soon as the handler returns: that is not a worker stuck.
    if (threadBusy_ && !InOwnDelivery()) Notify(SerialPlace::ThreadStillRunning, 0);
    if (const SysError e = platform_.EscapeFunction(h, kEscapeClrDtr); e != kSysOk) Notify(SerialPlace::DtrDrop, e);
    dtrState_ = false;
    if (const SysError e = platform_.EscapeFunction(h, kEscapeClrRts); e != kSysOk) Notify(SerialPlace::RtsDrop, e);
    rtsState_ = false;
    if (const SysError e = platform_.Close(h); e != kSysOk) Notify(SerialPlace::ClosePort, e);
    comHandle_ = kInvalidLineHandle;
}

void TSerialPortNG::OpenLine() {
    Notify(SerialPlace::Reactivating, 0);
    LineHandle h = kInvalidLineHandle;
    const SysError e = platform_.Open(commPort_.substr(0, kMaxDevicePathName), &h);
    if (e != kSysOk) h = kInvalidLineHandle;
    comHandle_ = h;
    openError_ = e;
    lineLost_ = false;
    lastNotApplied_.clear();
    active_ = h != kInvalidLineHandle;
    if (!active_) {
        Notify(SerialPlace::OpenFailed, e);
        return;
    }
    SetupQueues(SerialPlace::QueueSizesOnOpen);
    ApplyLineSettings();
    SetDTRState(true);
    SetRTSState(true);
    if (const SysError m = platform_.SetEventMask(h, kEvAll); m != kSysOk) Notify(SerialPlace::EventMaskOn, m);
    workThread_->Wake();
}

void TSerialPortNG::SetupQueues(SerialPlace where) {
    const SysError e = platform_.SetupBuffers(comHandle_, rxQueueSize_, txQueueSize_);
    if (e == kSysOk) {
        ReportNotApplied();
        return;
    }
    Notify(where, e);
}

void TSerialPortNG::ApplyLineSettings() {
    const LineHandle h = comHandle_;
    LineSettings dcb;
    if (const SysError e = platform_.GetSettings(h, &dcb); e != kSysOk) {
        Notify(SerialPlace::ReadSettings, e);
        return;
    }
    dcb.baudRate = baudRate_;
    std::uint32_t flags = kFlagBinary;
    if (parityType_ != 0) flags |= kFlagParityCheck;
    if (parityErrorReplacement_) flags |= kFlagErrorChar;
    flags |= static_cast<std::uint32_t>(flowControl_);
    if (stripNullChars_) flags |= kFlagNull;
    dcb.flags = flags;
    dcb.parity = parityType_;
    dcb.errorChar = parityErrorChar_;
    dcb.evtChar = eventChar_;
    dcb.stopBits = stopBits_;
    dcb.byteSize = dataBits_;
    dcb.xonChar = xonChar_;
    dcb.xoffChar = xoffChar_;
    dcb.eofChar = 0;
    dcb.xonLim = static_cast<std::uint16_t>(std::uint32_t{rxQueueSize_} * xonLimDiv_ / 100);
    dcb.xoffLim = static_cast<std::uint16_t>(std::uint32_t{rxQueueSize_} * xoffLimDiv_ / 100);

    LineTimeouts timeouts;
    platform_.GetTimeouts(h, &timeouts);  // read back as the system expects; the result is unused
    timeouts = LineTimeouts{kReadReturnAtOnce, 0, 0, 0, 0};
    if (const SysError e = platform_.SetTimeouts(h, timeouts); e != kSysOk) Notify(SerialPlace::SetTimeouts, e);
    if (const SysError e = platform_.SetSettings(h, dcb); e != kSysOk) {
        Notify(SerialPlace::SetSettings, e);
        return;
    }
    ReportNotApplied();
}

// Settings the line cannot apply are told, never passed over in silence (once per change).
void TSerialPortNG::ReportNotApplied() {
    const std::string notApplied = platform_.SettingsNotApplied(comHandle_);
    if (notApplied == lastNotApplied_) return;
    lastNotApplied_ = notApplied;
    if (!notApplied.empty()) Notify(SerialPlace::SettingNotApplied, 0, notApplied);
}

void TSerialPortNG::ApplyCharacterTimes() {
    std::uint32_t value = kDefaultCharTime;
    for (const CharTimeRow& row : kCharTimes)
        if (row.baudAtLeast <= baudRate_) value = row.microsPerChar;
    rtoCharDelayTime_ = value;
    SetWTOCharDelayTime(value);
}

void TSerialPortNG::SetBaudRate(std::uint32_t value) {
    if (value == baudRate_) return;
    baudRate_ = value;
    if (xtoAuto_) ApplyCharacterTimes();
    if (active_) ApplyLineSettings();
}

// Setters of the line settings: store a changed value, apply it while the line is open.
#define SINCROVIA_LINE_SETTER(Name, Type, field) \
    void TSerialPortNG::Set##Name(Type value) {  \
        if (value == field) return;              \
        field = value;                           \
        if (active_) ApplyLineSettings();        \
    }
SINCROVIA_LINE_SETTER(ParityType, std::uint8_t, parityType_)
SINCROVIA_LINE_SETTER(ParityErrorChar, char, parityErrorChar_)
SINCROVIA_LINE_SETTER(ParityErrorReplacement, bool, parityErrorReplacement_)
SINCROVIA_LINE_SETTER(StopBits, std::uint8_t, stopBits_)
SINCROVIA_LINE_SETTER(DataBits, std::uint8_t, dataBits_)
SINCROVIA_LINE_SETTER(XONChar, char, xonChar_)
SINCROVIA_LINE_SETTER(XOFFChar, char, xoffChar_)
SINCROVIA_LINE_SETTER(FlowControl, std::int32_t, flowControl_)
SINCROVIA_LINE_SETTER(StripNullChars, bool, stripNullChars_)
SINCROVIA_LINE_SETTER(EventChar, char, eventChar_)
SINCROVIA_LINE_SETTER(WTOCharDelayTime, std::uint32_t, wtoCharDelayTime_)
SINCROVIA_LINE_SETTER(WTOExtraDelayTime, std::uint16_t, wtoExtraDelayTime_)
#undef SINCROVIA_LINE_SETTER

// A flow-control limit in percent of the receive queue: above 100 it is warned of and capped.
void TSerialPortNG::SetLimitPercent(std::uint8_t value, std::uint8_t& field, SerialPlace capped) {
    if (value == field) return;
    if (value > kMaxLimitPercent) {
        Notify(capped, value);
        value = kMaxLimitPercent;
    }
    field = value;
    if (active_) ApplyLineSettings();
}

void TSerialPortNG::SetXONLimDiv(std::uint8_t value) {
    SetLimitPercent(value, xonLimDiv_, SerialPlace::XonLimitCapped);
}

void TSerialPortNG::SetXOFFLimDiv(std::uint8_t value) {
    SetLimitPercent(value, xoffLimDiv_, SerialPlace::XoffLimitCapped);
}

void TSerialPortNG::SetRxQueueSize(std::uint16_t value) {
    if (value == rxQueueSize_) return;
    rxQueueSize_ = value;
    SetupQueues(SerialPlace::RxQueueSize);
}

void TSerialPortNG::SetTxQueueSize(std::uint16_t value) {
    if (value == txQueueSize_) return;
    txQueueSize_ = value;
    SetupQueues(SerialPlace::TxQueueSize);
}

void TSerialPortNG::SetXTOAuto(bool value) {
    if (value == xtoAuto_) return;
    xtoAuto_ = value;
    if (xtoAuto_) ApplyCharacterTimes();
}

void TSerialPortNG::ControlLine(bool raise, std::uint32_t setFn, std::uint32_t clrFn, SerialPlace setPlace,
                                SerialPlace clrPlace) {
    const SysError e = platform_.EscapeFunction(comHandle_, raise ? setFn : clrFn);
    if (e != kSysOk) Notify(raise ? setPlace : clrPlace, e);
}

void TSerialPortNG::SetRTSState(bool value) {
    if (!active_) return;
    ControlLine(value, kEscapeSetRts, kEscapeClrRts, SerialPlace::RtsRaise, SerialPlace::RtsDrop);
    rtsState_ = value;
}

void TSerialPortNG::SetDTRState(bool value) {
    if (!active_) return;
    ControlLine(value, kEscapeSetDtr, kEscapeClrDtr, SerialPlace::DtrRaise, SerialPlace::DtrDrop);
    dtrState_ = value;
}

void TSerialPortNG::SetBREAKState(bool value) {
    if (!active_) return;
    if (value) {
        if (const SysError e = platform_.SetBreak(comHandle_); e != kSysOk) Notify(SerialPlace::BreakOn, e);
    } else {
        if (const SysError e = platform_.ClearBreak(comHandle_); e != kSysOk) Notify(SerialPlace::BreakOff, e);
    }
    breakState_ = value;
}

void TSerialPortNG::ResetWriteEvent() {
    if (const SysError e = platform_.ResetEvent(writeOv_.event); e != kSysOk) Notify(SerialPlace::WriteEventReset, e);
}

void TSerialPortNG::SendData(const std::uint8_t* data, std::uint32_t count) {
    if (sendInProgress_) {
        Notify(SerialPlace::SendWhileBusy, 0);
        return;
    }
    const LineHandle h = comHandle_;
    LineTimeouts timeouts;
    platform_.GetTimeouts(h, &timeouts);  // read back as the system expects; the result is unused
    timeouts = LineTimeouts{kReadReturnAtOnce, 0, 0, 0, count * wtoCharDelayTime_ / 1000 + wtoExtraDelayTime_};
    if (const SysError e = platform_.SetTimeouts(h, timeouts); e != kSysOk) Notify(SerialPlace::WriteTimeouts, e);
    writeCount_ = count;
    std::uint32_t written = 0;
    const SysError e = platform_.Write(h, data, count, &written, writeOv_);
    if (e == kSysOk) {
        writtenBytes_ = written;
        if (OnWriteDone) OnWriteDone(this);
    } else if (e == kSysIoPending) {
        writeStartTick_ = platform_.TickCount();
        sendInProgress_ = true;
    } else {
        Notify(SerialPlace::WriteStart, e);
        ResetWriteEvent();
        sendInProgress_ = false;
    }
}

void TSerialPortNG::SendText(const ByteString& text) {
    if (text.empty()) return;
    const auto count = static_cast<std::uint32_t>(text.size());
    if (sendInProgress_) {
        // Refused (SendWhileBusy): the copy of the write in progress must stay untouched.
        SendData(reinterpret_cast<const std::uint8_t*>(text.data()), count);
        return;
    }
    sendCopy_ = text;
    SendData(reinterpret_cast<const std::uint8_t*>(sendCopy_.data()), count);
}

std::int32_t TSerialPortNG::FirstClusterSize() {
    std::lock_guard<std::mutex> lock(clusterLock_);
    if (clusters_.empty()) return -1;
    return static_cast<std::int32_t>(clusters_.front()->Size());
}

ByteString TSerialPortNG::TakeClusterText(std::int64_t* arrivalUnixUs) {
    std::unique_ptr<TSerialCluster> cluster;
    {
        std::lock_guard<std::mutex> lock(clusterLock_);
        if (clusters_.empty()) return {};
        cluster = std::move(clusters_.front());
        clusters_.pop_front();
    }
    if (arrivalUnixUs != nullptr) *arrivalUnixUs = cluster->ArrivalUnixUs();
    return cluster->Text();
}

// Waits while the worker is inside its active loop, at most rounds x 75 ms. Only this worker's
// delivery in progress is served meanwhile (so that it can finish its pass); other components'
// handlers and timer ticks wait for the event loop, as they would for any other wait.
void TSerialPortNG::WaitWhileThreadBusy(int rounds) {
    // Inside one of the worker's deliveries the worker cannot move before the handler returns.
    if (InOwnDelivery()) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyPollMs) * rounds;
    WaitServingOwnWorker([this] { return !threadBusy_; }, deadline);
}

void TSerialPortNG::WaitServingOwnWorker(const std::function<bool()>& doneWaiting,
                                         std::chrono::steady_clock::time_point deadline) {
    TDeliveryBox& box = *deliveryBox_;
    std::unique_lock<std::mutex> lock(box.mutex);
    for (;;) {
        if (doneWaiting()) return;
        if (box.call != nullptr && !box.running) {
            lock.unlock();
            TWorkThread::ServeDelivery(box);
            lock.lock();
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return;
        const std::chrono::steady_clock::duration step =
            std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(kBusyPollMs));
        box.changed.wait_for(lock, step, [&] { return doneWaiting() || (box.call != nullptr && !box.running); });
    }
}

// ---------------------------------------------------------------------------------------------
// TWorkThread

TWorkThread::TWorkThread(TSerialPortNG* owner)
    : owner_(owner), platform_(owner->platform_), box_(owner->deliveryBox_), thread_([this] { Execute(); }) {}

TWorkThread::~TWorkThread() {
    Terminate();
    if (thread_.joinable()) JoinServing();
}

void TWorkThread::Terminate() {
    terminated_ = true;
    Wake();
}

void TWorkThread::Wake() {
    std::lock_guard<std::mutex> lock(idleMutex_);
    wakeRequested_ = true;
    idleWake_.notify_all();
}

void TWorkThread::JoinServing() {
    if (thread_.joinable()) ::sincrovia::JoinServing(thread_);
}

void TWorkThread::Abandon() {
    {
        std::lock_guard<std::mutex> lock(box_->mutex);
        box_->abandoned = true;
    }
    thread_.detach();
}

namespace {
// Thrown inside the worker when its component has gone: unwinds the pass without touching it.
struct ComponentGone {};
}  // namespace

void TWorkThread::ServeDelivery(TDeliveryBox& box) {
    const std::function<void()>* call = nullptr;
    {
        std::lock_guard<std::mutex> lock(box.mutex);
        if (box.call == nullptr || box.running) return;
        call = box.call;
        box.running = true;
        ++box.depth;
    }
    try {
        (*call)();
    } catch (...) {
        // A handler's exception has nowhere to go: the worker cannot take it.
    }
    {
        std::lock_guard<std::mutex> lock(box.mutex);
        --box.depth;
        box.running = false;
        box.call = nullptr;
        box.done = true;
    }
    box.changed.notify_all();
}

// Runs call on the main thread and waits for it. The call is posted to the main thread's queue
// and also left in the box, where a closing or destroying main thread serves it directly.
void TWorkThread::OnMainThread(const std::function<void()>& call) {
    const std::shared_ptr<TDeliveryBox> box = box_;
    {
        std::lock_guard<std::mutex> lock(box->mutex);
        if (box->abandoned) throw ComponentGone{};
        box->call = &call;
        box->done = false;
    }
    box->changed.notify_all();
    PostToMainThread([box] { ServeDelivery(*box); });
    std::unique_lock<std::mutex> lock(box->mutex);
    while (!box->done) {
        box->changed.wait_for(lock, std::chrono::milliseconds(kBusyPollMs));
        // A hand-over shut down (program exit) drops the posted call: give the call up.
        if (!box->done && !box->running && MainThreadCallsShutDown()) {
            box->call = nullptr;
            break;
        }
    }
    if (box->abandoned) throw ComponentGone{};
}

// The worker keeps one read and one event wait going on the open line and blocks on their
// events; the cluster rule decides when waiting bytes are read. While the line is closed it
// idles. It stops only from the idle mode, so an open line always keeps its worker.
void TWorkThread::Execute() {
    lastReadTick_ = platform_.TickCount();
    wasActive_ = owner_->active_;
    try {
        for (;;) {
            if (wasActive_)
                ActivePass();
            else
                IdlePass();
            if (terminated_ && !wasActive_) break;
        }
    } catch (const ComponentGone&) {
        delete this;  // abandoned: the thread is detached and the component gone
        return;
    }
    std::lock_guard<std::mutex> lock(box_->mutex);
    owner_->threadBusy_ = false;
    box_->workerEnded = true;
    box_->changed.notify_all();
}

void TWorkThread::IdlePass() {
    if (owner_->threadBusy_) {
        // The closing routine may be waiting for this.
        std::lock_guard<std::mutex> lock(box_->mutex);
        owner_->threadBusy_ = false;
        box_->changed.notify_all();
    }
    // A write left pending by a line closed before this loop saw it open is finished (aborted)
    // by one active pass, so SendInProgress does not stay set until the next opening.
    wasActive_ = owner_->active_ || owner_->sendInProgress_;
    if (wasActive_) {
        repeatedPlaces_.clear();  // a new opening reports its faults afresh
        return;
    }
    if (terminated_) return;
    std::unique_lock<std::mutex> lock(idleMutex_);
    idleWake_.wait_for(lock, std::chrono::milliseconds(kIdleSleepMs),
                       [this] { return wakeRequested_ || terminated_.load(); });
    wakeRequested_ = false;
}

void TWorkThread::ActivePass() {
    owner_->threadBusy_ = true;
    waitCompletedAtOnce_ = false;
    if (owner_->active_) StatusPoll();
    WriteCheck();
    if (!readPending_ && owner_->active_) ReadStep();
    if (!waitPending_ && owner_->active_) EventWaitStep();
    WaitOnLine();
    if (!owner_->active_) {
        if (readPending_) {
            if (const SysError e = platform_.SetEvent(owner_->readOv_.event); e != kSysOk)
                Report(SerialPlace::WorkerEventReset, e);
        }
        if (waitPending_) {
            platform_.SetEventMask(owner_->comHandle_, 0);
            if (const SysError e = platform_.SetEvent(owner_->waitOv_.event); e != kSysOk)
                Report(SerialPlace::WorkerEventReset, e);
        }
        if (!readPending_ && !waitPending_ && !owner_->sendInProgress_) wasActive_ = false;
    }
}

// How long this pass may block. Bytes waiting in the receive queue are read as soon as the
// cluster rule allows, so the wait ends then rather than at the fixed timeout.
std::uint32_t TWorkThread::WaitTimeoutMs() {
    const std::uint32_t n = owner_->commStateInQueue_;
    if (!owner_->active_ || readPending_ || n == 0) return kWaitTimeoutMs;
    const double limit =
        n * static_cast<double>(owner_->rtoCharDelayTime_) / kMicrosPerMilli + owner_->rtoExtraDelayTime_;
    const std::uint32_t elapsed = platform_.TickCount() - lastReadTick_;
    // The rule reads once elapsed exceeds the limit: at the first whole millisecond above it.
    const double due = std::floor(limit) + 1.0;
    const double left = due - static_cast<double>(elapsed);
    if (left >= kWaitTimeoutMs) return kWaitTimeoutMs;
    if (left < 1.0) return 1;
    return static_cast<std::uint32_t>(left);
}

void TWorkThread::WaitOnLine() {
    const std::uint32_t timeout = WaitTimeoutMs();
    const bool active = owner_->active_;
    if (readPending_ && waitPending_) {
        const EventHandle events[2] = {owner_->readOv_.event, owner_->waitOv_.event};
        const std::uint32_t r = platform_.WaitForEvents(events, 2, timeout);
        if (owner_->active_) StatusPoll();
        if (r == 0) {
            ReadCompletion();
        } else if (r == 1) {
            EventCompletion();
        } else if (r != kWaitTimeout) {
            Report(SerialPlace::ReadAndEventWait, r);
            AbandonPendingRead();
            waitPending_ = false;
        }
    } else if (readPending_) {
        const EventHandle events[1] = {owner_->readOv_.event};
        const std::uint32_t r = platform_.WaitForEvents(events, 1, timeout);
        if (owner_->active_) StatusPoll();
        if (r == 0) {
            ReadCompletion();
        } else if (r != kWaitTimeout) {
            Report(SerialPlace::ReadWait, r);
            AbandonPendingRead();
        }
    } else if (waitPending_) {
        const EventHandle events[1] = {owner_->waitOv_.event};
        const std::uint32_t r = platform_.WaitForEvents(events, 1, timeout);
        if (owner_->active_) StatusPoll();
        if (r == 0) {
            EventCompletion();
        } else if (r != kWaitTimeout) {
            Report(SerialPlace::EventWait, r);
            waitPending_ = false;
        }
    } else if (waitCompletedAtOnce_ && active) {
        // The event wait ended at once with events (bytes already there, the transmit queue just
        // emptied): the next pass starts at once. A wait that keeps ending at once is progress,
        // not a spin: each ending reports something that happened on the line.
    } else if (active || owner_->sendInProgress_) {
        // Nothing could be started (a hung-up line refuses reads and waits), or a closed line
        // still has a write to finish: pause for a whole timeout instead of spinning through
        // passes (the cluster rule's shorter wait is no use when the line cannot be read).
        platform_.Sleep(kWaitTimeoutMs);
    }
}

// A read given up on may still be filled by the system later: its buffer is kept aside (for
// the worker's life) rather than reused or freed under it.
void TWorkThread::AbandonPendingRead() {
    readPending_ = false;
    abandonedBuffers_.push_back(std::move(readBuffer_));
    readBuffer_ = {};
}

void TWorkThread::StatusPoll() {
    TSerialPortNG& c = *owner_;
    const LineHandle h = c.comHandle_;
    std::uint32_t modem = 0;
    const SysError me = platform_.GetModemStatus(h, &modem);
    if (me != kSysOk) {
        lastError_ = me;
        if (!RepeatSuppressed(SerialPlace::ModemStatus, true)) Report(SerialPlace::ModemStatus, me);
    } else {
        RepeatSuppressed(SerialPlace::ModemStatus, false);
        const std::uint32_t old = c.modemState_;
        bool ringDue = false;
        if (c.platformId_ == static_cast<std::int32_t>(kRingPlatformId) && (modem & kModemRingOn) == 0 &&
            (old & kModemRingOn) != 0) {
            c.ringState_ = false;
            ringDue = true;
        }
        const bool ringChanged = ((modem ^ old) & kModemRingOn) != 0;
        c.modemState_ = modem;
        c.ctsState_ = (modem & kModemCtsOn) != 0;
        c.dsrState_ = (modem & kModemDsrOn) != 0;
        c.rlsdState_ = (modem & kModemRlsdOn) != 0;
        c.ringState_ = (modem & kModemRingOn) != 0;
        if (ringChanged) Deliver(&TSerialPortNG::OnRIEvent);
        if (ringDue) EventDispatch(kEvRing);
    }
    // Reading the error word clears it, so a line error shows once with its bits and once
    // without; the loop ends when two readings agree (bounded, so a busy line cannot hold it).
    for (int round = 0; round < kMaxStatusRounds; ++round) {
        if (round > 0 && !c.active_) return;  // a handler closed the line meanwhile
        std::uint32_t errors = 0;
        LineStatus status;
        const SysError e = platform_.ClearError(h, &errors, &status);
        if (e != kSysOk) {
            lastError_ = e;
            if (!RepeatSuppressed(SerialPlace::LineStatus, true)) Report(SerialPlace::LineStatus, e);
            return;
        }
        RepeatSuppressed(SerialPlace::LineStatus, false);
        const auto flags = static_cast<TComStateFlags>(status.flags & 0xFFu);
        if (errors == c.commError_ && flags == c.commStateFlags_ && status.inQueue == c.commStateInQueue_ &&
            status.outQueue == c.commStateOutQueue_)
            return;
        c.commError_ = errors;
        c.commStateFlags_ = flags;
        c.commStateInQueue_ = status.inQueue;
        c.commStateOutQueue_ = status.outQueue;
        Deliver(&TSerialPortNG::OnCommStat);
    }
}

void TWorkThread::ReadStep() {
    TSerialPortNG& c = *owner_;
    const std::uint32_t n = c.commStateInQueue_;
    const std::uint32_t now = platform_.TickCount();
    if (n == 0) {
        lastReadTick_ = now;
        return;
    }
    const std::uint32_t elapsed = now - lastReadTick_;
    const double limit = n * static_cast<double>(c.rtoCharDelayTime_) / kMicrosPerMilli + c.rtoExtraDelayTime_;
    if (!c.readRequest_ && n < c.clusterSize_ && static_cast<double>(elapsed) <= limit &&
        (c.commError_ & kLineErrorMask) == 0)
        return;
    readBuffer_.assign(n, 0);
    readCount_ = 0;
    const SysError e = platform_.Read(c.comHandle_, readBuffer_.data(), n, &readCount_, c.readOv_);
    if (e == kSysOk) {
        RepeatSuppressed(SerialPlace::ReadStart, false);
        c.readRequest_ = false;
        QueueCluster(readBuffer_.data(), std::min(readCount_, n));
        readBuffer_.clear();
        lastReadTick_ = platform_.TickCount();
    } else if (e == kSysIoPending) {
        readPending_ = true;
    } else {
        lastError_ = e;
        c.readRequest_ = false;
        readBuffer_.clear();
        if (!RepeatSuppressed(SerialPlace::ReadStart, true)) Report(SerialPlace::ReadStart, e);
    }
}

void TWorkThread::ReadCompletion() {
    std::uint32_t count = 0;
    const SysError e = platform_.GetOverlappedResult(owner_->comHandle_, owner_->readOv_, &count);
    if (e == kSysOk) {
        QueueCluster(readBuffer_.data(), std::min(count, static_cast<std::uint32_t>(readBuffer_.size())));
        lastReadTick_ = platform_.TickCount();
    } else {
        lastError_ = e;
        if (e == kSysOperationAborted)
            Report(SerialPlace::ReadAborted, e);
        else
            Report(SerialPlace::ReadResult, e);
    }
    readBuffer_.clear();
    readPending_ = false;
}

void TWorkThread::EventWaitStep() {
    std::uint32_t mask = 0;
    const SysError e = platform_.WaitEvent(owner_->comHandle_, &mask, owner_->waitOv_);
    if (e == kSysOk) {
        RepeatSuppressed(SerialPlace::EventWaitStart, false);
        waitCompletedAtOnce_ = mask != 0;
        StatusPoll();
        EventDispatch(mask);
    } else if (e == kSysIoPending) {
        RepeatSuppressed(SerialPlace::EventWaitStart, false);
        waitPending_ = true;
    } else {
        lastError_ = e;
        if (!RepeatSuppressed(SerialPlace::EventWaitStart, true)) Report(SerialPlace::EventWaitStart, e);
    }
}

void TWorkThread::EventCompletion() {
    std::uint32_t mask = 0;
    if (platform_.GetOverlappedResult(owner_->comHandle_, owner_->waitOv_, &mask) != kSysOk)
        mask = 0;  // the events of a failed wait are unknown: none is dispatched
    waitPending_ = false;
    if (owner_->active_) {
        StatusPoll();
        EventDispatch(mask);
    }
}

void TWorkThread::WriteCheck() {
    TSerialPortNG& c = *owner_;
    if (!c.sendInProgress_) return;
    std::uint32_t count = 0;
    const SysError e = platform_.GetOverlappedResult(c.comHandle_, c.writeOv_, &count);
    if (e == kSysOk) {
        c.writtenBytes_ = count;
        c.sendInProgress_ = false;
        if (count != c.writeCount_) Report(SerialPlace::WriteTimedOut, lastError_);
        Deliver(&TSerialPortNG::OnWriteDone);
    } else if (e == kSysIoIncomplete) {
        return;
    } else if (e == kSysIoPending) {
        const std::uint32_t elapsed = platform_.TickCount() - c.writeStartTick_;
        const double limit =
            c.writeCount_ * static_cast<double>(c.wtoCharDelayTime_) / kMicrosPerMilli + c.wtoExtraDelayTime_;
        if (static_cast<double>(elapsed) <= limit) return;
        c.writtenBytes_ = c.writeCount_.load();
        c.sendInProgress_ = false;
        if (const SysError r = platform_.ResetEvent(c.writeOv_.event); r != kSysOk)
            Report(SerialPlace::WorkerEventReset, r);
        Report(SerialPlace::WriteTimedOut, kSysIoPending);
        Deliver(&TSerialPortNG::OnWriteDone);
    } else {
        lastError_ = e;
        c.sendInProgress_ = false;
        if (const SysError r = platform_.ResetEvent(c.writeOv_.event); r != kSysOk)
            Report(SerialPlace::WorkerEventReset, r);
        Report(SerialPlace::WriteResult, e);
        Deliver(&TSerialPortNG::OnWriteDone);
    }
}

void TWorkThread::EventDispatch(std::uint32_t mask) {
    if (owner_->destroying_) return;
    owner_->commEvent_ = mask;
    struct BitEvent {
        std::uint32_t bit;
        TNotifyEvent TSerialPortNG::*event;
    };
    static constexpr BitEvent kOrder[] = {
        {kEvBreak, &TSerialPortNG::OnBreakEvent},
        {kEvCts, &TSerialPortNG::OnCTSEvent},
        {kEvDsr, &TSerialPortNG::OnDSREvent},
        {kEvErr, &TSerialPortNG::OnLineErrorEvent},
        {kEvRing, &TSerialPortNG::OnRingEvent},
        {kEvRlsd, &TSerialPortNG::OnRLSDEvent},
        {kEvRxChar, &TSerialPortNG::OnRxCharEvent},
        {kEvRxFlag, &TSerialPortNG::OnRxEventCharEvent},
        {kEvTxEmpty, &TSerialPortNG::OnTxQueueEmptyEvent},
    };
    for (const BitEvent& item : kOrder)
        if ((mask & item.bit) != 0) Deliver(item.event);
    if (mask != 0) Deliver(&TSerialPortNG::OnCommEvent);
}

void TWorkThread::QueueCluster(const std::uint8_t* data, std::uint32_t size) {
    TSerialPortNG& c = *owner_;
    if (c.destroying_) return;
    // The instant the backend took the bytes from the line; where it cannot tell, this read.
    std::int64_t arrival = platform_.LastReceiveUnixUs(c.comHandle_);
    if (arrival == 0) arrival = NowUnixUs();
    auto cluster = std::make_unique<TSerialCluster>(size != 0 ? data : nullptr, size, c.commError_, arrival);
    {
        std::lock_guard<std::mutex> lock(c.clusterLock_);
        c.clusters_.push_back(std::move(cluster));
    }
    Deliver(&TSerialPortNG::OnRxClusterEvent);
}

void TWorkThread::Report(SerialPlace where, std::uint32_t code) {
    // A device that has gone makes every step fail: that is told once, in its own words.
    if (platform_.IsLineGone(code)) {
        if (owner_->lineLost_.exchange(true)) return;
        where = SerialPlace::LineLost;
    }
    if (owner_->threadQuietMode_) return;
    const SerialPlaceRow& row = PlaceRow(where);
    const std::string text(row.message);
    TSerialPortNG* owner = owner_;
    // After the handler returns nothing of the component is touched: it may have gone.
    OnMainThread([owner, &row, code, &text] { owner->NotifyProcessError(row.place, code, text, row.noise); });
}

void TWorkThread::Deliver(TNotifyEvent TSerialPortNG::*event) {
    // Nothing reaches the user once destruction has begun: the handlers' owner may be half gone.
    if (owner_->threadQuietMode_ || owner_->destroying_) return;
    TSerialPortNG* owner = owner_;
    OnMainThread([owner, event] {
        if (owner->destroying_) return;
        // A copy runs: the handler may clear or replace its own event, or destroy the component;
        // after it returns nothing of the component is touched.
        const TNotifyEvent handler = owner->*event;
        if (handler) handler(owner);
    });
}

bool TWorkThread::RepeatSuppressed(SerialPlace where, bool failed) {
    const auto it = std::find(repeatedPlaces_.begin(), repeatedPlaces_.end(), where);
    if (!failed) {
        if (it != repeatedPlaces_.end()) repeatedPlaces_.erase(it);
        return false;
    }
    if (it != repeatedPlaces_.end()) return true;
    repeatedPlaces_.push_back(where);
    return false;
}

}  // namespace sincrovia
