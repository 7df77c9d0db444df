// The serial port component: owns one serial line, keeps its configuration as properties,
// opens and closes it, drives RTS, DTR and BREAK, writes blocks asynchronously and hands the
// received bytes over in clusters. Its worker thread waits on the line and delivers every event
// on the main thread through the hand-over of util/MainThread.h (synchronously, in order).
//
// Every failure is reported through NotifyProcessError (place, system code, fixed message,
// noise 0 error / 1 warning / 2 message) and never thrown; SerialPlaces.h lists the places.
//
// The component is used from the main thread (util/MainThread.h), which must serve the
// hand-over: the worker waits for every delivery to run there.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPlatform.h"
#include "serial/SerialPlaces.h"
#include "util/ByteString.h"

namespace sincrovia {

class TSerialPortNG;

/// Handler of the component's plain events.
using TNotifyEvent = std::function<void(TSerialPortNG* Sender)>;
/// Handler of error reports: Place, Code, Msg, Noise (0 error, 1 warning, 2 message).
using TNotifyErrorEvent = std::function<void(TSerialPortNG* Sender, std::uint32_t Place, std::uint32_t Code,
                                             const std::string& Msg, std::uint8_t Noise)>;

/// Bits of CommStateFlags (the low byte of the line status' flag word).
enum TComStateFlag : std::uint8_t {
    fCtlHold = 0,
    fDsrHold = 1,
    fRlsHold = 2,
    fXoffHold = 3,
    fXOffSent = 4,
    fEof = 5,
    fTxim = 6
};
/// A set of TComStateFlag, bit n for flag n.
using TComStateFlags = std::uint8_t;

/// One block of received bytes with the line-error bits of the status poll that preceded it.
class TSerialCluster {
public:
    TSerialCluster(const std::uint8_t* data, std::uint32_t size, std::uint32_t error, std::int64_t arrivalUnixUs = 0);
    /// Byte count.
    std::uint32_t Size() const { return static_cast<std::uint32_t>(data_.size()); }
    /// Line-error bits when the cluster was made.
    std::uint32_t Error() const { return error_; }
    /// A copy of the bytes.
    ByteString Text() const { return ByteString(data_.begin(), data_.end()); }
    /// PC wall clock (Unix microseconds) when its last byte was taken from the line.
    std::int64_t ArrivalUnixUs() const { return arrivalUnixUs_; }

private:
    std::vector<std::uint8_t> data_;
    std::uint32_t error_;
    std::int64_t arrivalUnixUs_;
};

/// One call of a worker waiting to run on the main thread. Shared by the component, its worker
/// and the call posted to the main thread's queue, so that the closing and destroying waits
/// serve this worker's call alone (other components' calls wait for the event loop), and a
/// component destroyed from inside its own handler can let its worker go instead of joining it.
struct TDeliveryBox {
    std::mutex mutex;
    std::condition_variable changed;
    const std::function<void()>* call = nullptr;  // the waiting call (on the worker's stack)
    bool running = false;                         // the call runs on the main thread now
    bool done = false;                            // the call has returned
    bool abandoned = false;                       // the component is gone: the worker ends without touching it
    bool workerEnded = false;                     // the worker's loop has ended
    int depth = 0;                                // calls of this worker running on the main thread (nesting)
};

/// The component's background thread: polls the line, keeps a read and an event wait going,
/// finishes writes, builds clusters and delivers events on the main thread.
class TWorkThread {
public:
    explicit TWorkThread(TSerialPortNG* owner);
    ~TWorkThread();
    TWorkThread(const TWorkThread&) = delete;
    TWorkThread& operator=(const TWorkThread&) = delete;

    /// Asks the loop to end once it is idle.
    void Terminate();
    /// Wakes an idle pass early (line opened, termination asked).
    void Wake();
    /// Joins the thread while serving its main-thread hand-overs.
    void JoinServing();
    /// Main thread: runs the call waiting in box, if any and not already running.
    static void ServeDelivery(TDeliveryBox& box);
    /// Lets the thread end on its own: the component is being destroyed from inside one of this
    /// worker's deliveries, so it cannot be joined; the worker frees itself when it ends.
    void Abandon();

private:
    void Execute();
    void ActivePass();
    void IdlePass();
    void StatusPoll();
    void ReadStep();
    void ReadCompletion();
    void EventWaitStep();
    void EventCompletion();
    void WriteCheck();
    void EventDispatch(std::uint32_t mask);
    void QueueCluster(const std::uint8_t* data, std::uint32_t size);
    void WaitOnLine();
    void AbandonPendingRead();
    std::uint32_t WaitTimeoutMs();
    void Report(SerialPlace where, std::uint32_t code);
    void Deliver(TNotifyEvent TSerialPortNG::*event);
    void OnMainThread(const std::function<void()>& call);

    TSerialPortNG* owner_;
    SerialPlatform& platform_;

    bool readPending_ = false;
    bool waitPending_ = false;
    bool wasActive_ = false;
    bool waitCompletedAtOnce_ = false;  // this pass's event wait ended at once with events
    std::shared_ptr<TDeliveryBox> box_;
    std::uint32_t lastReadTick_ = 0;
    std::vector<std::uint8_t> readBuffer_;
    std::vector<std::vector<std::uint8_t>> abandonedBuffers_;  // reads given up on
    std::uint32_t readCount_ = 0;
    std::uint32_t lastError_ = 0;
    // Places whose failure was just reported, so that a lasting fault (a hung-up line) is told
    // once and not on every pass; cleared when the same step succeeds again.
    std::vector<SerialPlace> repeatedPlaces_;
    bool RepeatSuppressed(SerialPlace where, bool failed);

    std::atomic<bool> terminated_{false};
    bool wakeRequested_ = false;  // guarded by idleMutex_
    std::mutex idleMutex_;
    std::condition_variable idleWake_;
    std::thread thread_;
};

/// The serial port component. Properties are read with Name() and set with SetName(value);
/// events are public handler members. Everything except the worker runs on the main thread.
class TSerialPortNG {
public:
    /// Creates the component over a platform backend and starts its worker. earlyError receives
    /// the reports of construction (the events of the overlapped records).
    explicit TSerialPortNG(std::shared_ptr<SerialPlatform> platform = MakeSerialPlatform(),
                           TNotifyErrorEvent earlyError = {});
    /// Closes the line if open, stops and joins the worker, frees the clusters. May run inside
    /// one of this component's own handlers: the worker, waiting for that handler, is then let go
    /// and ends by itself once the handler has returned.
    ~TSerialPortNG();
    TSerialPortNG(const TSerialPortNG&) = delete;
    TSerialPortNG& operator=(const TSerialPortNG&) = delete;

    // --- Properties -----------------------------------------------------------------------
    /// True while the line is open; setting a different value closes or opens it.
    bool Active() const { return active_; }
    void SetActive(bool value);
    /// The system handle of the open line; kInvalidLineHandle while closed.
    std::uint32_t ComHandle() const { return comHandle_; }
    /// Port name ("COM2" initially); a new name closes and reopens an open line.
    const std::string& CommPort() const { return commPort_; }
    void SetCommPort(const std::string& value);
    /// Bits per second; with XTOAuto it also sets both character times.
    std::uint32_t BaudRate() const { return baudRate_; }
    void SetBaudRate(std::uint32_t value);
    /// Parity code: 0 none, 1 odd, 2 even, 3 mark, 4 space.
    std::uint8_t ParityType() const { return parityType_; }
    void SetParityType(std::uint8_t value);
    /// Character that replaces a byte with a parity error (with ParityErrorReplacement).
    char ParityErrorChar() const { return parityErrorChar_; }
    void SetParityErrorChar(char value);
    /// Replace bytes with parity errors by ParityErrorChar.
    bool ParityErrorReplacement() const { return parityErrorReplacement_; }
    void SetParityErrorReplacement(bool value);
    /// Stop-bits code: 0 one, 1 one and a half, 2 two.
    std::uint8_t StopBits() const { return stopBits_; }
    void SetStopBits(std::uint8_t value);
    /// Bits per character.
    std::uint8_t DataBits() const { return dataBits_; }
    void SetDataBits(std::uint8_t value);
    /// Software handshake characters.
    char XONChar() const { return xonChar_; }
    void SetXONChar(char value);
    char XOFFChar() const { return xoffChar_; }
    void SetXOFFChar(char value);
    /// XON limit in percent of RxQueueSize; above 100 is warned about and clamped.
    std::uint8_t XONLimDiv() const { return xonLimDiv_; }
    void SetXONLimDiv(std::uint8_t value);
    std::uint8_t XOFFLimDiv() const { return xoffLimDiv_; }
    void SetXOFFLimDiv(std::uint8_t value);
    /// Bits ORed into the line settings' flag word (handshake selection).
    std::int32_t FlowControl() const { return flowControl_; }
    void SetFlowControl(std::int32_t value);
    /// Discard received null bytes.
    bool StripNullChars() const { return stripNullChars_; }
    void SetStripNullChars(bool value);
    /// Received character that raises the event-character event.
    char EventChar() const { return eventChar_; }
    void SetEventChar(char value);
    /// Receive time per character, microseconds (cluster rule).
    std::uint32_t RTOCharDelayTime() const { return rtoCharDelayTime_; }
    void SetRTOCharDelayTime(std::uint32_t value) { rtoCharDelayTime_ = value; }
    /// Receive extra delay, milliseconds (cluster rule).
    std::uint16_t RTOExtraDelayTime() const { return rtoExtraDelayTime_; }
    void SetRTOExtraDelayTime(std::uint16_t value) { rtoExtraDelayTime_ = value; }
    /// Receive-queue level at which the worker reads at once.
    std::uint16_t ClusterSize() const { return clusterSize_; }
    void SetClusterSize(std::uint16_t value) { clusterSize_ = value; }
    /// Receive and transmit buffer sizes asked of the system.
    std::uint16_t RxQueueSize() const { return rxQueueSize_; }
    void SetRxQueueSize(std::uint16_t value);
    std::uint16_t TxQueueSize() const { return txQueueSize_; }
    void SetTxQueueSize(std::uint16_t value);
    /// Transmit time per character, microseconds (write time limit).
    std::uint32_t WTOCharDelayTime() const { return wtoCharDelayTime_; }
    void SetWTOCharDelayTime(std::uint32_t value);
    /// Transmit extra delay, milliseconds (write time limit).
    std::uint16_t WTOExtraDelayTime() const { return wtoExtraDelayTime_; }
    void SetWTOExtraDelayTime(std::uint16_t value);
    /// When True, the character times follow the baud rate.
    bool XTOAuto() const { return xtoAuto_; }
    void SetXTOAuto(bool value);
    /// Control lines; set only while Active (also to an unchanged value), ignored when closed.
    bool RTSState() const { return rtsState_; }
    void SetRTSState(bool value);
    bool DTRState() const { return dtrState_; }
    void SetDTRState(bool value);
    bool BREAKState() const { return breakState_; }
    void SetBREAKState(bool value);
    /// Modem inputs as last polled by the worker.
    bool CTSState() const { return ctsState_; }
    bool DSRState() const { return dsrState_; }
    bool RLSDState() const { return rlsdState_; }
    bool RingState() const { return ringState_; }
    /// Highest noise level passed to OnProcessError.
    std::uint8_t ErrorNoise() const { return errorNoise_; }
    void SetErrorNoise(std::uint8_t value) { errorNoise_ = value; }
    /// While True the worker reads whatever waits at its next read step.
    bool ReadRequest() const { return readRequest_; }
    void SetReadRequest(bool value) { readRequest_ = value; }
    /// True from an asynchronous write's start until the worker sees it finish.
    bool SendInProgress() const { return sendInProgress_; }
    /// Results of the worker's last status poll and event dispatch.
    std::uint32_t CommError() const { return commError_; }
    TComStateFlags CommStateFlags() const { return commStateFlags_; }
    std::uint32_t CommStateInQueue() const { return commStateInQueue_; }
    std::uint32_t CommStateOutQueue() const { return commStateOutQueue_; }
    std::uint32_t ModemState() const { return modemState_; }
    std::uint32_t CommEvent() const { return commEvent_; }
    /// Bytes written by the last completed write.
    std::uint32_t WrittenBytes() const { return writtenBytes_; }
    /// While True the worker delivers no event at all (clusters are still queued).
    bool ThreadQuietMode() const { return threadQuietMode_; }
    /// System error code of the last opening that failed (0 after a successful one).
    std::uint32_t OpenError() const { return openError_; }
    /// True once the worker found the line's device gone (unplugged adapter, hung-up line);
    /// told once through OnProcessError (Place 9914) and cleared by the next opening.
    bool LineLost() const { return lineLost_; }
    void SetThreadQuietMode(bool value) { threadQuietMode_ = value; }

    // --- Operations -----------------------------------------------------------------------
    /// Starts one asynchronous write of count bytes; data must stay unchanged until it ends.
    void SendData(const std::uint8_t* data, std::uint32_t count);
    /// Writes a byte string (nothing for an empty one); the component keeps its own copy.
    void SendText(const ByteString& text);
    /// Byte count of the oldest queued cluster, or -1 when none is queued.
    std::int32_t FirstClusterSize();
    /// Removes the oldest cluster and returns its bytes (empty when none is queued); with
    /// `arrivalUnixUs`, also the PC wall clock at which its last byte was taken from the line.
    ByteString TakeClusterText(std::int64_t* arrivalUnixUs = nullptr);
    /// The one path to OnProcessError, filtered by ErrorNoise and the destroying flag.
    void NotifyProcessError(std::uint32_t Place, std::uint32_t Code, const std::string& Msg, std::uint8_t Noise);

    // --- Events (assign on the main thread) -----------------------------------------------
    TNotifyEvent OnCommEvent;
    TNotifyEvent OnCommStat;
    TNotifyEvent OnTxQueueEmptyEvent;
    TNotifyEvent OnWriteDone;
    TNotifyEvent OnBreakEvent;
    TNotifyEvent OnCTSEvent;
    TNotifyEvent OnDSREvent;
    TNotifyEvent OnLineErrorEvent;
    TNotifyEvent OnRingEvent;
    TNotifyEvent OnRLSDEvent;
    TNotifyEvent OnRIEvent;
    TNotifyEvent OnRxClusterEvent;
    TNotifyEvent OnRxCharEvent;
    TNotifyEvent OnRxEventCharEvent;
    TNotifyErrorEvent OnProcessError;

private:
    friend class TWorkThread;

    void OpenClose(bool activate);
    void CloseLine();
    void OpenLine();
    void ApplyLineSettings();
    void ReportNotApplied();
    void ApplyCharacterTimes();
    // Reports `where` with its number, noise and message (followed by `detail`).
    void Notify(SerialPlace where, std::uint32_t code, const std::string& detail = {});
    void SetupQueues(SerialPlace where);
    void SetLimitPercent(std::uint8_t value, std::uint8_t& field, SerialPlace capped);
    void ControlLine(bool raise, std::uint32_t setFn, std::uint32_t clrFn, SerialPlace setPlace, SerialPlace clrPlace);
    void DoBreak(bool start);
    void WaitWhileThreadBusy(int rounds);
    void WaitServingOwnWorker(const std::function<bool()>& doneWaiting, std::chrono::steady_clock::time_point deadline);
    bool InOwnDelivery() const { return deliveryBox_->depth > 0; }
    void ResetWriteEvent();

    std::shared_ptr<SerialPlatform> platformOwner_;
    SerialPlatform& platform_;

    std::atomic<bool> active_{false};
    std::atomic<std::uint32_t> comHandle_{kInvalidLineHandle};
    std::string commPort_ = "COM2";
    std::atomic<std::uint32_t> baudRate_{9600};
    std::uint8_t parityType_ = 0;
    char parityErrorChar_ = 0;
    bool parityErrorReplacement_ = false;
    std::uint8_t stopBits_ = 0;
    std::uint8_t dataBits_ = 8;
    char xonChar_ = 17;
    char xoffChar_ = 19;
    std::uint8_t xonLimDiv_ = 33;
    std::uint8_t xoffLimDiv_ = 33;
    std::int32_t flowControl_ = 0;
    bool stripNullChars_ = false;
    char eventChar_ = 0;
    std::atomic<std::uint32_t> rtoCharDelayTime_{1100};
    std::atomic<std::uint16_t> rtoExtraDelayTime_{250};
    std::atomic<std::uint16_t> clusterSize_{3072};
    std::uint16_t rxQueueSize_ = 4096;
    std::uint16_t txQueueSize_ = 4096;
    std::atomic<std::uint32_t> wtoCharDelayTime_{1100};
    std::atomic<std::uint16_t> wtoExtraDelayTime_{250};
    bool xtoAuto_ = true;
    bool rtsState_ = true;
    bool dtrState_ = true;
    bool breakState_ = false;
    std::atomic<bool> ctsState_{false};
    std::atomic<bool> dsrState_{false};
    std::atomic<bool> rlsdState_{false};
    std::atomic<bool> ringState_{false};
    std::uint8_t errorNoise_ = 255;
    std::atomic<bool> readRequest_{false};
    std::atomic<bool> sendInProgress_{false};
    std::atomic<std::uint32_t> commError_{0};
    std::atomic<TComStateFlags> commStateFlags_{0};
    std::atomic<std::uint32_t> commStateInQueue_{0};
    std::atomic<std::uint32_t> commStateOutQueue_{0};
    std::atomic<std::uint32_t> modemState_{0};
    std::atomic<std::uint32_t> commEvent_{0};
    std::atomic<std::uint32_t> writtenBytes_{0};
    std::atomic<bool> threadQuietMode_{false};
    std::uint32_t openError_ = 0;
    std::atomic<bool> lineLost_{false};
    std::string lastNotApplied_;  // the settings warning last reported, not repeated

    // Overlapped records of the write, the read and the event wait.
    Overlapped writeOv_;
    Overlapped readOv_;
    Overlapped waitOv_;
    std::atomic<std::uint32_t> writeCount_{0};
    std::atomic<std::uint32_t> writeStartTick_{0};
    ByteString sendCopy_;  // bytes of SendText, kept until the write ends
    std::int32_t platformId_ = -1;
    std::atomic<bool> threadBusy_{false};
    std::atomic<bool> destroying_{false};
    std::shared_ptr<TDeliveryBox> deliveryBox_ = std::make_shared<TDeliveryBox>();

    std::mutex clusterLock_;
    std::deque<std::unique_ptr<TSerialCluster>> clusters_;

    std::unique_ptr<TWorkThread> workThread_;
};

}  // namespace sincrovia
