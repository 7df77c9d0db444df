// A scripted serial platform for tests: ports that exist by name, bytes that "arrive" when a
// test says so, writes that are captured (finished at once or left pending), line and modem
// status set by the test, and any call made to fail with a chosen system code. It keeps the
// overlapped semantics of the real backends (pending operations, manual-reset events, event
// waits ended by a mask of 0, reads and writes aborted by a purge).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "serial/SerialPlatform.h"
#include "util/ByteString.h"

namespace sincrovia {

/// The scripted backend. Thread-safe: the test thread scripts it while a worker uses it.
class SerialPlatformFake : public SerialPlatform {
public:
    /// Calls that can be made to fail. ResultRead and ResultWrite are GetOverlappedResult on the
    /// read and on the write record; a failure of WaitForEvents is the wait result returned.
    enum class Call {
        Open,
        Close,
        SetupBuffers,
        GetSettings,
        SetSettings,
        GetTimeouts,
        SetTimeouts,
        SetEventMask,
        Purge,
        EscapeFunction,
        SetBreak,
        ClearBreak,
        Write,
        Read,
        WaitEvent,
        ResultRead,
        ResultWrite,
        ClearError,
        GetModemStatus,
        CreateEvent,
        SetEvent,
        ResetEvent,
        WaitForEvents
    };
    /// Code returned for an operation on a handle that is not open.
    static constexpr SysError kInvalidHandle = 6;
    /// Code returned when opening a port that does not exist.
    static constexpr SysError kFileNotFound = 2;
    /// times < 0: every call fails until ClearFailure.
    static constexpr int kAlways = -1;

    SerialPlatformFake();

    // --- Script ---------------------------------------------------------------------------
    /// Makes the next `times` calls of `call` fail with `code`.
    void FailCall(Call call, SysError code, int times = 1);
    void ClearFailure(Call call);
    /// A port of this name can be opened.
    void AddPort(const std::string& name);
    /// Bytes arrive on the open line (character-received, and event-character when it is in them).
    void Receive(const ByteString& bytes);
    /// Line-error bits appear in the error word and a line-error event is raised.
    void RaiseLineError(std::uint32_t bits);
    /// Line events happen (a pending event wait completes with those of the mask).
    void RaiseEvents(std::uint32_t events);
    /// The modem-status word returned from now on.
    void SetModemStatus(std::uint32_t status);
    /// The platform identifier returned to a new component.
    void SetPlatformId(std::int32_t id);
    /// While set, writes stay pending until FinishWrite (or a purge aborts them).
    void SetWritesPending(bool pending);
    /// Ends the pending write with `written` bytes transferred (the first ones are captured).
    void FinishWrite(std::uint32_t written);
    /// While set, reads stay pending until FinishRead (or a purge aborts them).
    void SetReadsPending(bool pending);
    /// Ends the pending read with what waits in the receive queue.
    void FinishRead();
    /// True while a read is pending.
    bool HasPendingRead() const;
    /// Empties the receive queue without any event (bytes lost on the way).
    void DiscardReceived();

    // --- Observation ----------------------------------------------------------------------
    /// Every byte written so far.
    ByteString Sent() const;
    /// Calls made so far, e.g. "Open(COM9)", "SetEventMask(0)", "Purge(15)", "Escape(6)".
    std::vector<std::string> CallLog() const;
    void ClearCallLog();
    LineSettings Settings() const;
    LineTimeouts Timeouts() const;
    std::uint32_t EventMask() const;
    std::uint32_t BufferSizeRx() const;
    bool Rts() const;
    bool Dtr() const;
    bool Break() const;
    bool IsOpen() const;
    /// Bytes waiting in the receive queue.
    std::uint32_t Waiting() const;
    /// Number of WaitForEvents calls so far (to see that a worker does not spin).
    std::uint64_t WaitCalls() const;
    /// Stops the millisecond tick at `tick`; from then on it moves only by AdvanceTick.
    void FreezeTick(std::uint32_t tick);
    void AdvanceTick(std::uint32_t ms);
    /// Shortest timeout given to WaitForEvents since the last call of this function.
    std::uint32_t TakeShortestWaitTimeout();
    /// Number of line-status reads so far (failed ones included).
    std::uint64_t StatusReads() const;

    // --- SerialPlatform -------------------------------------------------------------------
    std::int32_t PlatformId() override;
    std::uint32_t TickCount() override;
    void Sleep(std::uint32_t ms) override;
    SysError Open(const std::string& portName, LineHandle* handle) override;
    SysError Close(LineHandle line) override;
    SysError SetupBuffers(LineHandle line, std::uint32_t rxSize, std::uint32_t txSize) override;
    SysError GetSettings(LineHandle line, LineSettings* settings) override;
    SysError SetSettings(LineHandle line, const LineSettings& settings) override;
    SysError GetTimeouts(LineHandle line, LineTimeouts* timeouts) override;
    SysError SetTimeouts(LineHandle line, const LineTimeouts& timeouts) override;
    SysError SetEventMask(LineHandle line, std::uint32_t mask) override;
    SysError Purge(LineHandle line, std::uint32_t flags) override;
    SysError EscapeFunction(LineHandle line, std::uint32_t function) override;
    SysError SetBreak(LineHandle line) override;
    SysError ClearBreak(LineHandle line) override;
    SysError Write(LineHandle line, const std::uint8_t* data, std::uint32_t count, std::uint32_t* written,
                   Overlapped& ov) override;
    SysError Read(LineHandle line, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped& ov) override;
    SysError WaitEvent(LineHandle line, std::uint32_t* mask, Overlapped& ov) override;
    SysError GetOverlappedResult(LineHandle line, Overlapped& ov, std::uint32_t* transferred) override;
    SysError ClearError(LineHandle line, std::uint32_t* errors, LineStatus* status) override;
    SysError GetModemStatus(LineHandle line, std::uint32_t* modemStatus) override;
    SysError CreateEvent(EventHandle* event) override;
    SysError SetEvent(EventHandle event) override;
    SysError ResetEvent(EventHandle event) override;
    SysError CloseEvent(EventHandle event) override;
    std::uint32_t WaitForEvents(const EventHandle* events, std::uint32_t count, std::uint32_t timeoutMs) override;

private:
    struct Op;
    SysError FailureLocked(Call call);
    bool LineOkLocked(LineHandle line) const;
    void SignalLocked(EventHandle event);
    void RaiseLocked(std::uint32_t events);
    void EndWaitLocked();
    void CompleteReadLocked(SysError error);
    void Log(std::string entry);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<Call, std::pair<SysError, int>> failures_;
    std::set<std::string> ports_;
    LineHandle nextHandle_ = 0x100;
    LineHandle open_ = kInvalidLineHandle;
    std::int32_t platformId_ = 2;
    std::map<EventHandle, bool> events_;
    EventHandle nextEvent_ = 1;
    LineSettings settings_;
    LineTimeouts timeouts_;
    std::uint32_t mask_ = 0;
    std::uint32_t rxSize_ = 0;
    bool rts_ = false;
    bool dtr_ = false;
    bool break_ = false;
    std::uint32_t modem_ = 0;
    std::uint32_t errorWord_ = 0;
    std::uint32_t latched_ = 0;  // events that happened while no wait was pending
    ByteString rx_;
    ByteString sent_;
    bool writesPending_ = false;
    bool readsPending_ = false;
    std::vector<std::string> log_;
    std::uint64_t waitCalls_ = 0;
    std::uint64_t statusReads_ = 0;
    std::uint32_t shortestWait_ = 0xFFFFFFFFu;
    bool tickFrozen_ = false;
    std::uint32_t frozenTick_ = 0;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    // The operations in progress (at most one of each kind, as the component uses them).
    std::shared_ptr<Op> pendingWrite_;
    std::shared_ptr<Op> pendingRead_;
    std::shared_ptr<Op> pendingWait_;
};

}  // namespace sincrovia
