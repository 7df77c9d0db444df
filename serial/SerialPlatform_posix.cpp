// The serial platform over POSIX terminals (termios, poll, ioctl).
//
// Overlapped operations are emulated: the line is non-blocking, a read returns at once with
// what has arrived, a write that the kernel cannot take whole stays pending and is pushed on
// (and timed out) whenever its result is asked for, and an event wait stays pending until
// WaitForEvents sees something happen on the line: new bytes, a modem input change, the
// transmit queue drained, or a hang-up. Events are pipes, so that waits on them and on the line
// meet in one poll().
//
// Received bytes are moved from the kernel into the line's own receive queue as soon as they
// arrive (up to RxQueueSize bytes). So the descriptor is readable only when something new has
// come, poll() can wait for more bytes while earlier ones wait to be read, and the settings
// that act on received bytes (event character, NUL stripping, DSR sensitivity, XON/XOFF limits)
// are applied on the way in, where the terminal driver has no such options.
//
// A pseudo-terminal has no modem lines: its modem status reads as all low and the control-line
// and break calls succeed without effect. A hung-up line (closed pty master, unplugged USB
// adapter) is remembered: from then on line calls fail with EIO and the line is no longer
// polled, so nothing spins on a hang-up that poll() would report again and again.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "serial/PortNames.h"
#include "serial/SerialPlatform.h"
#include "util/DateTime.h"

namespace sincrovia {
namespace {

constexpr SysError kBadHandle = EBADF;
constexpr SysError kHungUp = EIO;
// Receive and transmit queue sizes until SetupBuffers is called.
constexpr std::uint32_t kDefaultQueueSize = 4096;
// Size of the transmit buffer of the kernel's serial drivers (one page).
constexpr std::uint32_t kKernelTxBuffer = 4096;
// Bytes taken from the kernel per read call while draining.
constexpr std::size_t kDrainChunk = 4096;

// Flag-word bits that the shared header does not name (they come through FlowControl).
constexpr std::uint32_t kFlagDtrControlMask = 0x30;
constexpr std::uint32_t kDtrControlHandshake = 0x20;
constexpr std::uint32_t kFlagDsrSensitivity = 0x40;
constexpr std::uint32_t kFlagTxContinueOnXoff = 0x80;
constexpr std::uint32_t kFlagRtsControlMask = 0x3000;
constexpr std::uint32_t kRtsControlToggle = 0x3000;
constexpr std::uint32_t kFlagAbortOnError = 0x4000;
// Stop-bits code of one and a half stop bits; a 5-bit character's "two" stop bits are 1.5.
constexpr std::uint8_t kOneAndHalfStopBits = 1;
constexpr std::uint8_t kFiveBitCharacter = 5;

// Errors that mean the device has gone (unplugged USB adapter, hung-up line).
bool IsGoneError(int error) { return error == EIO || error == ENODEV || error == ENXIO; }

#if defined(__linux__) && \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || defined(__riscv))
// The kernel's termios2, for rates that have no B-constant (arbitrary rates, BOTHER).
struct KernelTermios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
constexpr tcflag_t kCbaudMask = 0010017;
constexpr tcflag_t kBother = 0010000;
constexpr bool kHaveArbitraryRates = true;

SysError SetArbitraryRate(int fd, std::uint32_t rate) {
    KernelTermios2 t2{};
    if (ioctl(fd, _IOR('T', 0x2A, KernelTermios2), &t2) != 0) return static_cast<SysError>(errno);
    t2.c_cflag = (t2.c_cflag & ~kCbaudMask) | kBother;
    t2.c_ispeed = rate;
    t2.c_ospeed = rate;
    if (ioctl(fd, _IOW('T', 0x2B, KernelTermios2), &t2) != 0) return kSysInvalidParameter;
    return kSysOk;
}
#else
constexpr bool kHaveArbitraryRates = false;
SysError SetArbitraryRate(int, std::uint32_t) { return kSysInvalidParameter; }
#endif

// Bits of the line status' flag word that this backend reports.
constexpr std::uint32_t kStatusDsrHold = 1u << 1;
constexpr std::uint32_t kStatusXoffSent = 1u << 4;

// Asks a USB adapter's driver for low latency (most map it to a 1 ms latency timer). Lines
// that know no such request (pseudo-terminals) are left as they are.
void RequestLowLatency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return;
    if ((info.flags & ASYNC_LOW_LATENCY) != 0) return;
    info.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
#else
    (void)fd;
#endif
}

// The settings of s that a Linux line cannot apply, each with the reason, joined by "; ";
// empty when everything is applied.
std::string NotAppliedSettings(const LineSettings& s) {
    std::string text;
    const auto add = [&text](const char* item) {
        if (!text.empty()) text += "; ";
        text += item;
    };
    if ((s.flags & kFlagErrorChar) != 0 && s.errorChar != 0)
        add("parity error replacement: Linux replaces bad bytes by NUL only");
    if ((s.flags & kFlagDtrControlMask) == kDtrControlHandshake) add("DTR handshake: not available on Linux");
    if ((s.flags & kFlagRtsControlMask) == kRtsControlToggle) add("RTS toggle: not available on Linux");
    if ((s.flags & kFlagAbortOnError) != 0) add("abort on error: not available on Linux");
    if ((s.flags & kFlagInX) != 0 && (s.flags & kFlagTxContinueOnXoff) == 0)
        add("transmit stop after XOFF sent: Linux keeps transmitting");
    if ((s.flags & kFlagRtsHandshake) == kFlagRtsHandshake && (s.flags & kFlagRtsControlMask) != kRtsControlToggle)
        add("XON/XOFF limits with RTS handshake: the Linux driver drops RTS at its own level");
    if (s.stopBits == kOneAndHalfStopBits && s.byteSize != kFiveBitCharacter)
        add("1.5 stop bits: sent as 2 with characters of more than 5 bits");
    return text;
}

struct SpeedRow {
    std::uint32_t rate;
    speed_t code;
};
constexpr SpeedRow kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},     {134, B134},     {150, B150},       {200, B200},
    {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},   {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800}, {921600, B921600},
#endif
};

SysError Errno() { return static_cast<SysError>(errno); }

// One overlapped operation in progress.
struct PosixOp : OverlappedState {
    enum class Kind { Write, Read, Wait } kind = Kind::Write;
    EventHandle event = kNoEvent;
    bool done = false;
    SysError error = kSysOk;
    std::uint32_t transferred = 0;
    const std::uint8_t* data = nullptr;  // write: caller's bytes, valid until the write ends
    std::uint32_t count = 0;
    std::chrono::steady_clock::time_point deadline{};
    bool hasDeadline = false;
    std::uint32_t mask = 0;  // wait: the events it reports
    LineHandle line = kInvalidLineHandle;
};

struct Line {
    std::mutex mutex;
    int fd = -1;
    bool virtualLine = false;  // no modem lines (pseudo-terminal)
    bool hung = false;
    SysError goneError = kHungUp;  // what line calls return once the line has gone
    std::string notApplied;        // settings of the last SetSettings this line cannot apply
    LineSettings settings;
    LineTimeouts timeouts;
    std::uint32_t mask = 0;
    std::string rx;                      // received bytes taken from the kernel, oldest first
    std::int64_t lastReceiveUnixUs = 0;  // wall clock when bytes were last added to rx
    std::uint32_t rxCapacity = kDefaultQueueSize;
    std::string bufferNotes;     // buffer sizes of the last SetupBuffers this line cannot apply
    std::uint32_t rxEvents = 0;  // character and event-character events not yet reported
    bool xoffSent = false;       // our XOFF is in force (software input flow control)
    std::uint32_t lastModem = 0;
    bool txArmed = false;
    bool outMaybeBusy = false;  // bytes may wait in the kernel's output queue  // a write went out: report the transmit
                                // queue running empty
    std::uint32_t errorWord = 0;    // line errors counted since the last status read
    std::uint32_t errorEvents = 0;  // line-error and break events not yet reported to a wait
#ifdef TIOCGICOUNT
    bool haveCounters = false;  // the driver counts line errors (real UARTs do, ptys do not)
    serial_icounter_struct counters{};
#endif
    std::shared_ptr<PosixOp> pendingWait;
    std::shared_ptr<PosixOp> pendingWrite;
};

// A manual-reset event. The flag is the state; the pipe only wakes a thread sleeping in
// poll(), so it is written only while some WaitForEvents call is registered on the event.
// Writes signal and reset their event on every call, and nobody waits on it: keeping the
// pipe out of that path saves two system calls per write.
struct Event {
    int readFd = -1;
    int writeFd = -1;
    bool signalled = false;
    bool pipeFull = false;  // a wake-up byte sits in the pipe
    int waiters = 0;        // WaitForEvents calls that may be polling the pipe
};

class PosixSerialPlatform final : public SerialPlatform {
public:
    ~PosixSerialPlatform() override {
        for (auto& [handle, line] : lines_) ::close(line->fd);
        for (auto& [handle, event] : events_) {
            ::close(event.readFd);
            ::close(event.writeFd);
        }
    }

    std::int32_t PlatformId() override { return 2; }

    std::uint32_t TickCount() override {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
        return static_cast<std::uint32_t>(ms.count());
    }

    void Sleep(std::uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    SysError Open(const std::string& portName, LineHandle* handle) override {
        *handle = kInvalidLineHandle;
        const std::string path = DevicePathForPort(portName);
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return Errno();
        termios t{};
        if (tcgetattr(fd, &t) != 0) {
            const SysError e = Errno();
            ::close(fd);
            return e;
        }
        // Unshared: TIOCEXCL keeps other openers out (except privileged ones), the lock keeps
        // out every opener that asks for it, privileged or not.
        if (ioctl(fd, TIOCEXCL) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const SysError e = errno == EWOULDBLOCK ? static_cast<SysError>(EBUSY) : Errno();
            ::close(fd);
            return e;
        }
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
        RequestLowLatency(fd);
        auto line = std::make_shared<Line>();
        line->fd = fd;
        int modem = 0;
        line->virtualLine = ioctl(fd, TIOCMGET, &modem) != 0;
        line->lastModem = line->virtualLine ? 0 : ModemWord(modem);
#ifdef TIOCGICOUNT
        line->haveCounters = ioctl(fd, TIOCGICOUNT, &line->counters) == 0;
#endif
        line->settings.baudRate = 9600;
        for (const SpeedRow& row : kSpeeds)
            if (row.code == cfgetospeed(&t)) line->settings.baudRate = row.rate;
        std::lock_guard<std::mutex> lock(mutex_);
        *handle = nextLine_++;
        lines_[*handle] = line;
        return kSysOk;
    }

    SysError Close(LineHandle h) override {
        std::shared_ptr<Line> line;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = lines_.find(h);
            if (it == lines_.end()) return kBadHandle;
            line = it->second;
            lines_.erase(it);
        }
        std::lock_guard<std::mutex> lock(line->mutex);
        CompleteWaitLocked(*line, 0);
        AbortWriteLocked(*line);
        ioctl(line->fd, TIOCNXCL);
        const int rc = ::close(line->fd);
        line->fd = -1;
        return rc == 0 ? kSysOk : Errno();
    }

    SysError SetupBuffers(LineHandle h, std::uint32_t rxSize, std::uint32_t txSize) override {
        // The receive size bounds the line's own queue (beyond it bytes stay in the kernel, whose
        // flow control then holds the sender). The transmit buffer is the kernel's, of a fixed
        // size: any other size is told as not applied.
        auto line = Find(h);
        if (!line) return kBadHandle;
        if (rxSize == 0) return kSysInvalidParameter;
        std::lock_guard<std::mutex> lock(line->mutex);
        line->rxCapacity = rxSize;
        line->bufferNotes = txSize == kKernelTxBuffer ? ""
                                                      : "transmit queue size " + std::to_string(txSize) +
                                                            ": the Linux driver's transmit buffer holds " +
                                                            std::to_string(kKernelTxBuffer) + " bytes";
        return kSysOk;
    }

    SysError GetSettings(LineHandle h, LineSettings* settings) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->hung) return line->goneError;
        *settings = line->settings;
        return kSysOk;
    }

    SysError SetSettings(LineHandle h, const LineSettings& s) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->hung) return line->goneError;
        termios t{};
        if (tcgetattr(line->fd, &t) != 0) return Errno();
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
        t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
        switch (s.byteSize) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        case 8: t.c_cflag |= CS8; break;
        default: return kSysInvalidParameter;
        }
        switch (s.parity) {
        case 0: break;
        case 1: t.c_cflag |= PARENB | PARODD; break;
        case 2: t.c_cflag |= PARENB; break;
#ifdef CMSPAR
        case 3: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 4: t.c_cflag |= PARENB | CMSPAR; break;
#endif
        default: return kSysInvalidParameter;
        }
        if (s.stopBits > 2) return kSysInvalidParameter;
        if (s.stopBits != 0) t.c_cflag |= CSTOPB;  // with 5-bit characters this is 1.5
        // Replacing bad bytes by NUL is what INPCK does; without replacement a bad byte is passed
        // on as received, and the driver counts the error either way.
        if ((s.flags & kFlagErrorChar) != 0 && s.errorChar == 0) t.c_iflag |= INPCK;
        if ((s.flags & (kFlagOutxCtsFlow | kFlagRtsHandshake)) != 0) t.c_cflag |= CRTSCTS;
        if ((s.flags & kFlagOutX) != 0) t.c_iflag |= IXON;
        if ((s.flags & kFlagInX) != 0) t.c_iflag |= IXOFF;
        if ((s.flags & kFlagInX) == 0 && line->xoffSent) {
            tcflow(line->fd, TCION);
            line->xoffSent = false;
        }
        t.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        const SpeedRow* row = std::find_if(std::begin(kSpeeds), std::end(kSpeeds),
                                           [&](const SpeedRow& r) { return r.rate == s.baudRate; });
        if (row != std::end(kSpeeds)) {
            cfsetispeed(&t, row->code);
            cfsetospeed(&t, row->code);
        } else if (!kHaveArbitraryRates || s.baudRate == 0) {
            return kSysInvalidParameter;
        }
        if (tcsetattr(line->fd, TCSANOW, &t) != 0) return errno == EINVAL ? kSysInvalidParameter : Errno();
        if (row == std::end(kSpeeds)) {
            if (const SysError e = SetArbitraryRate(line->fd, s.baudRate); e != kSysOk) return e;
        }
        line->settings = s;
        line->notApplied = NotAppliedSettings(s);
        return kSysOk;
    }

    bool IsLineGone(SysError code) override { return IsGoneError(static_cast<int>(code)); }

    std::string SettingsNotApplied(LineHandle h) override {
        auto line = Find(h);
        if (!line) return {};
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->bufferNotes.empty()) return line->notApplied;
        if (line->notApplied.empty()) return line->bufferNotes;
        return line->bufferNotes + "; " + line->notApplied;
    }

    SysError GetTimeouts(LineHandle h, LineTimeouts* timeouts) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        *timeouts = line->timeouts;
        return kSysOk;
    }

    SysError SetTimeouts(LineHandle h, const LineTimeouts& timeouts) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->hung) return line->goneError;
        line->timeouts = timeouts;
        return kSysOk;
    }

    SysError SetEventMask(LineHandle h, std::uint32_t mask) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        line->mask = mask;
        CompleteWaitLocked(*line, 0);
        return kSysOk;
    }

    SysError Purge(LineHandle h, std::uint32_t flags) override {
        constexpr std::uint32_t kAbortWrite = 1, kClearTx = 4, kClearRx = 8;
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if ((flags & kAbortWrite) != 0) AbortWriteLocked(*line);
        if (line->hung) return line->goneError;
        if ((flags & kClearRx) != 0) {
            line->rx.clear();
            line->rxEvents = 0;
            ReleaseXoffLocked(*line);
            if (tcflush(line->fd, TCIFLUSH) != 0) return Errno();
        }
        if ((flags & kClearTx) != 0 && tcflush(line->fd, TCOFLUSH) != 0) return Errno();
        return kSysOk;
    }

    SysError EscapeFunction(LineHandle h, std::uint32_t function) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        int bits = 0;
        unsigned long request = TIOCMBIS;
        switch (function) {
        case kEscapeSetRts: bits = TIOCM_RTS; break;
        case kEscapeClrRts:
            bits = TIOCM_RTS;
            request = TIOCMBIC;
            break;
        case kEscapeSetDtr: bits = TIOCM_DTR; break;
        case kEscapeClrDtr:
            bits = TIOCM_DTR;
            request = TIOCMBIC;
            break;
        default: return kSysInvalidParameter;
        }
        if (line->virtualLine) return kSysOk;
        if (line->hung) return line->goneError;
        return ioctl(line->fd, request, &bits) == 0 ? kSysOk : Errno();
    }

    SysError SetBreak(LineHandle h) override { return BreakCall(h, TIOCSBRK); }
    SysError ClearBreak(LineHandle h) override { return BreakCall(h, TIOCCBRK); }

    SysError Write(LineHandle h, const std::uint8_t* data, std::uint32_t count, std::uint32_t* written,
                   Overlapped& ov) override {
        ResetEvent(ov.event);
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->hung) return line->goneError;
        auto op = std::make_shared<PosixOp>();
        op->kind = PosixOp::Kind::Write;
        op->event = ov.event;
        op->data = data;
        op->count = count;
        op->line = h;
        const std::uint32_t limit = line->timeouts.writeTotalMultiplier * count + line->timeouts.writeTotalConstant;
        if (limit != 0) {
            op->hasDeadline = true;
            op->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
        }
        ov.state = op;
        PushWriteLocked(*line, *op);
        if (op->done) {
            if (op->error != kSysOk) return op->error;
            *written = op->transferred;
            SetEvent(op->event);
            return kSysOk;
        }
        line->pendingWrite = op;
        // A worker waiting on this line learns of the write, so that it waits for the kernel's
        // room too and the write goes on as soon as there is some.
        if (line->pendingWait) {
            std::lock_guard<std::mutex> registry(mutex_);
            KickLocked(line->pendingWait->event);
        }
        return kSysIoPending;
    }

    SysError Read(LineHandle h, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped& ov) override {
        ResetEvent(ov.event);
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->hung) return line->goneError;
        *read = 0;
        if (count == 0) return kSysOk;
        DrainLocked(*line);
        const auto n = std::min<std::size_t>(count, line->rx.size());
        std::copy_n(line->rx.data(), n, buffer);
        line->rx.erase(0, n);
        *read = static_cast<std::uint32_t>(n);
        if (line->rx.size() <= line->settings.xonLim) ReleaseXoffLocked(*line);
        if (n == 0 && line->hung) return line->goneError;
        return kSysOk;
    }

    SysError WaitEvent(LineHandle h, std::uint32_t* mask, Overlapped& ov) override {
        ResetEvent(ov.event);
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->hung) return line->goneError;
        line->pendingWait.reset();  // replaced: its event is the one just reset
        auto op = std::make_shared<PosixOp>();
        op->kind = PosixOp::Kind::Wait;
        op->event = ov.event;
        op->line = h;
        ov.state = op;
        line->pendingWait = op;
        ProgressWaitLocked(*line);
        if (op->done) {
            ResetEvent(ov.event);
            *mask = op->mask;
            return kSysOk;
        }
        return line->hung ? line->goneError : kSysIoPending;
    }

    SysError GetOverlappedResult(LineHandle, Overlapped& ov, std::uint32_t* transferred) override {
        auto op = std::dynamic_pointer_cast<PosixOp>(ov.state);
        if (!op) return kSysInvalidParameter;
        if (op->kind == PosixOp::Kind::Write && !op->done) {
            if (auto line = Find(op->line)) {
                std::lock_guard<std::mutex> lock(line->mutex);
                if (!op->done) PushWriteLocked(*line, *op);
                if (op->done && line->pendingWrite == op) line->pendingWrite.reset();
            }
        }
        if (!op->done) return kSysIoIncomplete;
        *transferred = op->kind == PosixOp::Kind::Wait ? op->mask : op->transferred;
        return op->error;
    }

    std::int64_t LastReceiveUnixUs(LineHandle h) override {
        auto line = Find(h);
        if (!line) return 0;
        std::lock_guard<std::mutex> lock(line->mutex);
        return line->lastReceiveUnixUs;
    }

    SysError ClearError(LineHandle h, std::uint32_t* errors, LineStatus* status) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        DrainLocked(*line);
        // Bytes already received are still handed out after a hang-up.
        if (line->hung && line->rx.empty()) return line->goneError;
        // The output queue is asked only while something was written since it was last empty.
        int out = 0;
        if (line->hung || !line->outMaybeBusy || ioctl(line->fd, TIOCOUTQ, &out) != 0) out = 0;
        line->outMaybeBusy = out > 0 || line->pendingWrite != nullptr;
        ReadErrorCountersLocked(*line);
        *errors = line->errorWord;
        line->errorWord = 0;
        status->flags = 0;
        if (line->xoffSent) status->flags |= kStatusXoffSent;
        if (DsrHoldLocked(*line)) status->flags |= kStatusDsrHold;
        status->inQueue = static_cast<std::uint32_t>(line->rx.size());
        status->outQueue = static_cast<std::uint32_t>(std::max(out, 0));
        return kSysOk;
    }

    SysError GetModemStatus(LineHandle h, std::uint32_t* modemStatus) override {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        *modemStatus = 0;
        if (line->virtualLine) return kSysOk;
        if (line->hung) return line->goneError;
        int bits = 0;
        if (ioctl(line->fd, TIOCMGET, &bits) != 0) return Errno();
        *modemStatus = ModemWord(bits);
        return kSysOk;
    }

    SysError CreateEvent(EventHandle* event) override {
        *event = kNoEvent;
        int fds[2];
        if (::pipe(fds) != 0) return Errno();
        for (int fd : fds) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        *event = nextEvent_++;
        events_[*event] = Event{fds[0], fds[1]};
        return kSysOk;
    }

    SysError SetEvent(EventHandle event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        return SetEventLocked(event);
    }

    SysError ResetEvent(EventHandle event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = events_.find(event);
        if (it == events_.end()) return kBadHandle;
        DrainPipeLocked(it->second);
        it->second.signalled = false;
        return kSysOk;
    }

    SysError CloseEvent(EventHandle event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = events_.find(event);
        if (it == events_.end()) return kBadHandle;
        ::close(it->second.readFd);
        ::close(it->second.writeFd);
        events_.erase(it);
        return kSysOk;
    }

    std::uint32_t WaitForEvents(const EventHandle* events, std::uint32_t count, std::uint32_t timeoutMs) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<int> lineFdsIgnored;  // lines readable without news: not polled again
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (std::uint32_t i = 0; i < count; ++i)
                if (events_.find(events[i]) == events_.end()) return kWaitFailed;
            // From here on a SetEvent writes the pipe, so a poll below cannot miss it.
            for (std::uint32_t i = 0; i < count; ++i) ++events_[events[i]].waiters;
        }
        struct Unregister {
            PosixSerialPlatform& self;
            const EventHandle* events;
            std::uint32_t count;
            ~Unregister() {
                std::lock_guard<std::mutex> lock(self.mutex_);
                for (std::uint32_t i = 0; i < count; ++i)
                    if (auto it = self.events_.find(events[i]); it != self.events_.end()) --it->second.waiters;
            }
        } unregister{*this, events, count};
        for (;;) {
            std::vector<pollfd> fds;
            std::vector<std::shared_ptr<Line>> waitingLines;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (std::uint32_t i = 0; i < count; ++i) {
                    auto it = events_.find(events[i]);
                    if (it == events_.end()) return kWaitFailed;
                    if (it->second.signalled) return i;
                    DrainPipeLocked(it->second);  // a kick: look at the lines again
                    fds.push_back(pollfd{it->second.readFd, POLLIN, 0});
                }
                for (auto& [handle, line] : lines_) waitingLines.push_back(line);
            }
            // Pending event waits on lines make progress here; a completion signals its event.
            std::vector<std::shared_ptr<Line>> polledLines;
            for (auto& line : waitingLines) {
                std::lock_guard<std::mutex> lock(line->mutex);
                if (!line->pendingWait) continue;
                const EventHandle ev = line->pendingWait->event;
                if (std::find(events, events + count, ev) == events + count) continue;
                ProgressWaitLocked(*line);
                if (!line->pendingWait || line->hung ||
                    std::find(lineFdsIgnored.begin(), lineFdsIgnored.end(), line->fd) != lineFdsIgnored.end())
                    continue;
                // New bytes while there is room for them, and room in the kernel for a pending write
                // (which then goes on at once rather than at the worker's next pass).
                short wanted = line->rx.size() < line->rxCapacity ? POLLIN : 0;
                if (line->pendingWrite && !DsrHoldLocked(*line)) wanted = static_cast<short>(wanted | POLLOUT);
                if (wanted == 0) continue;
                fds.push_back(pollfd{line->fd, wanted, 0});
                polledLines.push_back(line);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (std::uint32_t i = 0; i < count; ++i) {
                    auto it = events_.find(events[i]);
                    if (it == events_.end()) return kWaitFailed;
                    if (it->second.signalled) return i;
                }
            }
            const auto now = Clock::now();
            if (now >= deadline) return kWaitTimeout;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            const int rc = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
            if (rc < 0 && errno != EINTR) return kWaitFailed;
            if (rc == 0 && Clock::now() >= deadline) return kWaitTimeout;
            // A line that is readable but brought nothing new (end of file) is not polled again in
            // this call; the progress step above turns hang-ups into events. A write that the
            // kernel's room lets finish ends the wait early (as a timeout): the worker's next pass
            // sees it finished.
            bool writeFinished = false;
            for (std::size_t k = 0; k < polledLines.size(); ++k) {
                const pollfd& p = fds[count + k];
                if (p.revents == 0) continue;
                auto& line = polledLines[k];
                std::lock_guard<std::mutex> lock(line->mutex);
                if ((p.revents & POLLOUT) != 0 && line->pendingWrite) {
                    PushWriteLocked(*line, *line->pendingWrite);
                    if (line->pendingWrite->done) {
                        line->pendingWrite.reset();
                        writeFinished = true;
                    }
                }
                if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                    DrainLocked(*line);  // what arrived before the hang-up is kept
                    MarkHungLocked(*line);
                }
                ProgressWaitLocked(*line);
                if (line->pendingWait && (p.revents & POLLIN) != 0) lineFdsIgnored.push_back(line->fd);
            }
            if (writeFinished) return kWaitTimeout;
        }
    }

private:
    static std::uint32_t ModemWord(int bits) {
        std::uint32_t word = 0;
        if ((bits & TIOCM_CTS) != 0) word |= kModemCtsOn;
        if ((bits & TIOCM_DSR) != 0) word |= kModemDsrOn;
        if ((bits & TIOCM_RNG) != 0) word |= kModemRingOn;
        if ((bits & TIOCM_CAR) != 0) word |= kModemRlsdOn;
        return word;
    }

    std::shared_ptr<Line> Find(LineHandle h) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = lines_.find(h);
        return it == lines_.end() ? nullptr : it->second;
    }

    SysError SetEventLocked(EventHandle event) {
        auto it = events_.find(event);
        if (it == events_.end()) return kBadHandle;
        it->second.signalled = true;
        return it->second.waiters > 0 ? FillPipeLocked(it->second) : kSysOk;
    }

    // Wakes the WaitForEvents calls registered on event without signalling it.
    void KickLocked(EventHandle event) {
        auto it = events_.find(event);
        if (it != events_.end() && it->second.waiters > 0) FillPipeLocked(it->second);
    }

    static void DrainPipeLocked(Event& e) {
        if (!e.pipeFull) return;
        char drain[16];
        while (::read(e.readFd, drain, sizeof drain) > 0) {}
        e.pipeFull = false;
    }

    static SysError FillPipeLocked(Event& e) {
        if (e.pipeFull) return kSysOk;
        const char one = 1;
        if (::write(e.writeFd, &one, 1) != 1) return Errno();
        e.pipeFull = true;
        return kSysOk;
    }

    SysError BreakCall(LineHandle h, unsigned long request) {
        auto line = Find(h);
        if (!line) return kBadHandle;
        std::lock_guard<std::mutex> lock(line->mutex);
        if (line->virtualLine) return kSysOk;
        if (line->hung) return line->goneError;
        return ioctl(line->fd, request) == 0 ? kSysOk : Errno();
    }

    void MarkHungLocked(Line& line, SysError error = kHungUp) {
        if (line.hung) return;
        line.hung = true;
        line.goneError = error;
        CompleteWaitLocked(line, kEvErr & line.mask);
        if (line.pendingWrite) {
            line.pendingWrite->error = error;
            line.pendingWrite->done = true;
            SetEvent(line.pendingWrite->event);
            line.pendingWrite.reset();
        }
    }

    void CompleteWaitLocked(Line& line, std::uint32_t events) {
        if (!line.pendingWait) return;
        line.pendingWait->mask = events;
        line.pendingWait->done = true;
        SetEvent(line.pendingWait->event);
        line.pendingWait.reset();
    }

    void AbortWriteLocked(Line& line) {
        if (!line.pendingWrite) return;
        line.pendingWrite->error = kSysOperationAborted;
        line.pendingWrite->done = true;
        SetEvent(line.pendingWrite->event);
        line.pendingWrite.reset();
    }

    // Moves what the kernel holds into the line's receive queue, up to its capacity, applying
    // the settings that act on received bytes; new bytes raise the character event (and the
    // event-character event when that character is among them). A read that finds the device
    // gone marks the line hung.
    void DrainLocked(Line& line) {
        if (line.hung) return;
        // One poll tells whether anything came and whether the line hung up; an idle line costs
        // no read.
        pollfd ready{line.fd, POLLIN, 0};
        if (::poll(&ready, 1, 0) <= 0) return;
        const bool hungUp = (ready.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if ((ready.revents & POLLIN) != 0) ReadIntoQueueLocked(line);
        if (hungUp) MarkHungLocked(line);
    }

    void ReadIntoQueueLocked(Line& line) {
        const LineSettings& s = line.settings;
        char chunk[kDrainChunk];
        while (line.rx.size() < line.rxCapacity) {
            const std::size_t room = std::min<std::size_t>(kDrainChunk, line.rxCapacity - line.rx.size());
            const ssize_t n = ::read(line.fd, chunk, room);
            if (n < 0 && errno == EINTR) continue;
            // With VMIN and VTIME 0 an empty terminal reads 0 bytes; a hang-up shows in poll().
            if (n == 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) break;
            if (n < 0) {
                if (IsGoneError(errno)) MarkHungLocked(line, static_cast<SysError>(errno));
                break;
            }
            // DSR sensitivity: bytes received while DSR is low are dropped.
            if ((s.flags & kFlagDsrSensitivity) != 0 && (CurrentModemLocked(line) & kModemDsrOn) == 0) continue;
            const std::size_t before = line.rx.size();
            if ((s.flags & kFlagNull) != 0) {
                for (ssize_t i = 0; i < n; ++i)
                    if (chunk[i] != '\0') line.rx.push_back(chunk[i]);
            } else {
                line.rx.append(chunk, static_cast<std::size_t>(n));
            }
            if (line.rx.size() == before) continue;
            line.lastReceiveUnixUs = NowUnixUs();
            line.rxEvents |= kEvRxChar;
            if (line.rx.find(s.evtChar, before) != std::string::npos) line.rxEvents |= kEvRxFlag;
        }
        // Software input flow control at the limits of the line's own queue.
        if ((s.flags & kFlagInX) != 0 && !line.xoffSent && !line.hung && line.rxCapacity - line.rx.size() < s.xoffLim) {
            if (tcflow(line.fd, TCIOFF) == 0) line.xoffSent = true;
        }
    }

    static void ReleaseXoffLocked(Line& line) {
        if (!line.xoffSent || line.hung) return;
        if (tcflow(line.fd, TCION) == 0) line.xoffSent = false;
    }

    static std::uint32_t CurrentModemLocked(Line& line) {
        if (line.virtualLine || line.hung) return 0;
        int bits = 0;
        return ioctl(line.fd, TIOCMGET, &bits) == 0 ? ModemWord(bits) : line.lastModem;
    }

    static bool DsrHoldLocked(Line& line) {
        return (line.settings.flags & kFlagOutxDsrFlow) != 0 && (CurrentModemLocked(line) & kModemDsrOn) == 0;
    }

    // Turns the driver's error counters into line-error bits (kept until the next status read)
    // and line-error or break events (kept until a wait reports them).
    static void ReadErrorCountersLocked(Line& line) {
#ifdef TIOCGICOUNT
        if (!line.haveCounters) return;
        serial_icounter_struct now{};
        if (ioctl(line.fd, TIOCGICOUNT, &now) != 0) return;
        const serial_icounter_struct& was = line.counters;
        std::uint32_t bits = 0;
        if (now.buf_overrun != was.buf_overrun) bits |= kLineErrRxOverflow;
        if (now.overrun != was.overrun) bits |= kLineErrOverrun;
        if (now.parity != was.parity) bits |= kLineErrParity;
        if (now.frame != was.frame) bits |= kLineErrFraming;
        if (now.brk != was.brk) bits |= kLineErrBreak;
        line.counters = now;
        line.errorWord |= bits;
        if ((bits & ~kLineErrBreak) != 0) line.errorEvents |= kEvErr;
        if ((bits & kLineErrBreak) != 0) line.errorEvents |= kEvBreak;
#else
        (void)line;
#endif
    }

    // Looks for what a pending event wait reports: hang-up, new bytes, modem input changes, the
    // transmit queue drained. Completes the wait when one of them is in the mask.
    void ProgressWaitLocked(Line& line) {
        if (!line.pendingWait) return;
        DrainLocked(line);
        if (!line.pendingWait) return;  // the line hung up
        std::uint32_t events = line.rxEvents;
        line.rxEvents = 0;
        if (!line.virtualLine && !line.hung) {
            int bits = 0;
            if (ioctl(line.fd, TIOCMGET, &bits) == 0) {
                const std::uint32_t modem = ModemWord(bits);
                const std::uint32_t changed = modem ^ line.lastModem;
                if ((changed & kModemCtsOn) != 0) events |= kEvCts;
                if ((changed & kModemDsrOn) != 0) events |= kEvDsr;
                if ((changed & kModemRlsdOn) != 0) events |= kEvRlsd;
                if ((changed & modem & kModemRingOn) != 0) events |= kEvRing;
                line.lastModem = modem;
            }
        }
        ReadErrorCountersLocked(line);
        events |= line.errorEvents;
        line.errorEvents = 0;
        if (line.txArmed) {
            int out = 0;
            if (ioctl(line.fd, TIOCOUTQ, &out) == 0 && out == 0) {
                line.txArmed = false;
                events |= kEvTxEmpty;
            }
        }
        const std::uint32_t chosen = events & line.mask;
        if (chosen != 0) CompleteWaitLocked(line, chosen);
    }

    // Writes what the kernel takes now; ends the operation when all is written, on a failure, or
    // short when its time limit has passed.
    void PushWriteLocked(Line& line, PosixOp& op) {
        // DSR handshake: output waits while the DSR input is low (a line without modem lines
        // never raises it, so the write ends by its time limit).
        const bool held = DsrHoldLocked(line);
        const std::uint32_t before = op.transferred;
        while (!held && op.transferred < op.count) {
            const ssize_t n = ::write(line.fd, op.data + op.transferred, op.count - op.transferred);
            if (n > 0) {
                op.transferred += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            op.error = n < 0 ? Errno() : kHungUp;
            if (IsGoneError(static_cast<int>(op.error))) {
                line.hung = true;
                line.goneError = op.error;
            }
            op.done = true;
            SetEvent(op.event);
            return;
        }
        if (op.transferred > before) {  // this push sent bytes: their draining is an event
            line.txArmed = true;
            line.outMaybeBusy = true;
        }
        if (op.transferred == op.count || (op.hasDeadline && std::chrono::steady_clock::now() >= op.deadline)) {
            op.done = true;
            SetEvent(op.event);
        }
    }

    std::mutex mutex_;  // the registries; may be taken while a line's mutex is held, never the reverse
    std::map<LineHandle, std::shared_ptr<Line>> lines_;
    std::map<EventHandle, Event> events_;
    LineHandle nextLine_ = 1;
    EventHandle nextEvent_ = 1;
};

}  // namespace

std::shared_ptr<SerialPlatform> MakeSerialPlatform() { return std::make_shared<PosixSerialPlatform>(); }

}  // namespace sincrovia
