// The line operations the serial component is written over. The shape follows the overlapped
// serial calls of a desktop system (open, buffer sizes, line settings, timeouts, event mask,
// purge, control lines, break, overlapped write/read/event wait, overlapped result, line and
// modem status, waits on manual-reset events), so that a POSIX backend, a Windows backend and a
// scripted fake can each sit beneath the same logic.
//
// Every call that can fail returns a system error code: kSysOk (0) on success, else the code.
// The codes the logic relies on are named below; any other code is only reported.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sincrovia {

/// A system error code; kSysOk means success.
using SysError = std::uint32_t;
/// A line handle (32 bits, all bits set when invalid).
using LineHandle = std::uint32_t;
/// A manual-reset event handle (0 means no event).
using EventHandle = std::uint32_t;

inline constexpr SysError kSysOk = 0;
/// The parameter is not acceptable (line settings out of range, mask refused...).
inline constexpr SysError kSysInvalidParameter = 87;
/// An event of that name already existed (the existing one is returned).
inline constexpr SysError kSysAlreadyExists = 183;
/// The overlapped operation was aborted (purge, close).
inline constexpr SysError kSysOperationAborted = 995;
/// The overlapped operation is still running.
inline constexpr SysError kSysIoIncomplete = 996;
/// The overlapped operation was started and has not finished yet.
inline constexpr SysError kSysIoPending = 997;

inline constexpr LineHandle kInvalidLineHandle = 0xFFFFFFFFu;
inline constexpr EventHandle kNoEvent = 0;

/// Results of WaitForEvents besides the index of the signalled event.
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

/// Line events of the event mask.
inline constexpr std::uint32_t kEvRxChar = 1;
inline constexpr std::uint32_t kEvRxFlag = 2;
inline constexpr std::uint32_t kEvTxEmpty = 4;
inline constexpr std::uint32_t kEvCts = 8;
inline constexpr std::uint32_t kEvDsr = 16;
inline constexpr std::uint32_t kEvRlsd = 32;
inline constexpr std::uint32_t kEvBreak = 64;
inline constexpr std::uint32_t kEvErr = 128;
inline constexpr std::uint32_t kEvRing = 256;
inline constexpr std::uint32_t kEvAll = 511;

/// Bits of the modem-status word.
inline constexpr std::uint32_t kModemCtsOn = 16;
inline constexpr std::uint32_t kModemDsrOn = 32;
inline constexpr std::uint32_t kModemRingOn = 64;
inline constexpr std::uint32_t kModemRlsdOn = 128;

/// Bits of the line-error word.
inline constexpr std::uint32_t kLineErrRxOverflow = 1;
inline constexpr std::uint32_t kLineErrOverrun = 2;
inline constexpr std::uint32_t kLineErrParity = 4;
inline constexpr std::uint32_t kLineErrFraming = 8;
inline constexpr std::uint32_t kLineErrBreak = 16;

/// Control-line functions of EscapeFunction.
inline constexpr std::uint32_t kEscapeSetRts = 3;
inline constexpr std::uint32_t kEscapeClrRts = 4;
inline constexpr std::uint32_t kEscapeSetDtr = 5;
inline constexpr std::uint32_t kEscapeClrDtr = 6;

/// Purge flags: abort pending write (1), abort pending read (2), clear transmit (4) and
/// receive (8) buffers.
inline constexpr std::uint32_t kPurgeAll = 15;

/// Bits of the line settings' flag word.
inline constexpr std::uint32_t kFlagBinary = 1;
inline constexpr std::uint32_t kFlagParityCheck = 2;
inline constexpr std::uint32_t kFlagOutxCtsFlow = 4;
inline constexpr std::uint32_t kFlagOutxDsrFlow = 8;
inline constexpr std::uint32_t kFlagOutX = 256;
inline constexpr std::uint32_t kFlagInX = 512;
inline constexpr std::uint32_t kFlagErrorChar = 1024;
inline constexpr std::uint32_t kFlagNull = 2048;
inline constexpr std::uint32_t kFlagRtsHandshake = 0x2000;

/// The line settings record.
struct LineSettings {
    std::uint32_t baudRate = 9600;
    std::uint32_t flags = kFlagBinary;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    ///< 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 0;  ///< 0 one, 1 one and a half, 2 two
    char xonChar = 17;
    char xoffChar = 19;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;
};

/// The five timeouts of a line, in milliseconds. A read interval of kReadReturnAtOnce with both
/// read totals 0 makes a read return at once with what has arrived.
struct LineTimeouts {
    std::uint32_t readInterval = 0;
    std::uint32_t readTotalMultiplier = 0;
    std::uint32_t readTotalConstant = 0;
    std::uint32_t writeTotalMultiplier = 0;
    std::uint32_t writeTotalConstant = 0;
};
inline constexpr std::uint32_t kReadReturnAtOnce = 0xFFFFFFFFu;

/// What a line-status read returns besides the error word.
struct LineStatus {
    std::uint32_t flags = 0;     ///< hold and state bits; the low byte is meaningful
    std::uint32_t inQueue = 0;   ///< bytes waiting in the receive queue
    std::uint32_t outQueue = 0;  ///< bytes waiting in the transmit queue
};

/// A backend's bookkeeping for one overlapped operation.
struct OverlappedState {
    virtual ~OverlappedState() = default;
};

/// One overlapped record: the event the system signals when the operation finishes, and the
/// backend's state of the operation in progress. Starting an operation resets the event.
struct Overlapped {
    EventHandle event = kNoEvent;
    std::shared_ptr<OverlappedState> state;
};

/// The platform's line operations. A backend is called from the main thread and from the
/// component's worker at the same time, so every backend is thread-safe.
class SerialPlatform {
public:
    virtual ~SerialPlatform() = default;

    /// The system's platform identifier (1 for the old consumer family), or -1.
    virtual std::int32_t PlatformId() = 0;
    /// Milliseconds tick, wrapping modulo 2^32.
    virtual std::uint32_t TickCount() = 0;
    /// Sleeps for ms milliseconds.
    virtual void Sleep(std::uint32_t ms) = 0;

    /// Opens the port for reading and writing, unshared, existing device only, overlapped.
    virtual SysError Open(const std::string& portName, LineHandle* handle) = 0;
    virtual SysError Close(LineHandle line) = 0;
    virtual SysError SetupBuffers(LineHandle line, std::uint32_t rxSize, std::uint32_t txSize) = 0;
    virtual SysError GetSettings(LineHandle line, LineSettings* settings) = 0;
    virtual SysError SetSettings(LineHandle line, const LineSettings& settings) = 0;
    /// The settings of the last successful SetSettings and SetupBuffers that this line cannot
    /// apply, each with the reason, for the user to read; empty when everything was applied.
    virtual std::string SettingsNotApplied(LineHandle /*line*/) { return {}; }
    /// True when code says that the line's device has gone (unplugged, hung up): every later
    /// call on the line fails the same way until it is closed and opened again.
    virtual bool IsLineGone(SysError /*code*/) { return false; }
    /// The wall-clock instant (Unix microseconds) at which the backend last took received bytes
    /// from the line, or 0 when it cannot tell (the system's driver holds them until a read).
    virtual std::int64_t LastReceiveUnixUs(LineHandle /*line*/) { return 0; }
    virtual SysError GetTimeouts(LineHandle line, LineTimeouts* timeouts) = 0;
    virtual SysError SetTimeouts(LineHandle line, const LineTimeouts& timeouts) = 0;
    /// Chooses the events a pending event wait reports; 0 ends a pending wait (mask 0).
    virtual SysError SetEventMask(LineHandle line, std::uint32_t mask) = 0;
    virtual SysError Purge(LineHandle line, std::uint32_t flags) = 0;
    virtual SysError EscapeFunction(LineHandle line, std::uint32_t function) = 0;
    virtual SysError SetBreak(LineHandle line) = 0;
    virtual SysError ClearBreak(LineHandle line) = 0;

    /// Starts a write. kSysOk: finished, *written set. kSysIoPending: running; data must stay
    /// valid until it finishes; the result comes from GetOverlappedResult.
    virtual SysError Write(LineHandle line, const std::uint8_t* data, std::uint32_t count, std::uint32_t* written,
                           Overlapped& ov) = 0;
    /// Starts a read, as Write; the buffer must stay valid while it is pending.
    virtual SysError Read(LineHandle line, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read,
                          Overlapped& ov) = 0;
    /// Starts a wait for the events of the event mask. Completed at once: *mask receives the
    /// events. Pending: the events are read with GetOverlappedResult once the record's event is
    /// signalled; the caller's word is never written later, so a wait the caller gave up on
    /// cannot write into memory the caller has reused.
    virtual SysError WaitEvent(LineHandle line, std::uint32_t* mask, Overlapped& ov) = 0;
    /// Result of an overlapped operation, never waiting: kSysIoIncomplete while it runs. For an
    /// event wait, *transferred receives the events it reports.
    virtual SysError GetOverlappedResult(LineHandle line, Overlapped& ov, std::uint32_t* transferred) = 0;
    /// Reads and clears the line-error word and reads the line status.
    virtual SysError ClearError(LineHandle line, std::uint32_t* errors, LineStatus* status) = 0;
    virtual SysError GetModemStatus(LineHandle line, std::uint32_t* modemStatus) = 0;

    /// Creates an unnamed manual-reset event, not signalled. kSysAlreadyExists comes with a usable
    /// handle; any other failure leaves *event at kNoEvent.
    virtual SysError CreateEvent(EventHandle* event) = 0;
    virtual SysError SetEvent(EventHandle event) = 0;
    virtual SysError ResetEvent(EventHandle event) = 0;
    virtual SysError CloseEvent(EventHandle event) = 0;
    /// Waits until one of count events is signalled: its index, kWaitTimeout or kWaitFailed.
    /// Pending event waits on the backend's lines make progress while this call waits.
    virtual std::uint32_t WaitForEvents(const EventHandle* events, std::uint32_t count, std::uint32_t timeoutMs) = 0;
};

/// The backend of this platform (POSIX or Windows), one instance per component.
std::shared_ptr<SerialPlatform> MakeSerialPlatform();

}  // namespace sincrovia
