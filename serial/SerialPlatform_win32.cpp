// The serial platform over the Windows communications calls, one to one: every operation of the
// interface is the system call of the same name, and every failure is the system's own error
// code (GetLastError).
//
// Handles: the system's kernel handles are 32-bit values even in 64-bit processes (so that 32-
// and 64-bit programs can share them), so a line or event handle travels through the interface
// as its low 32 bits and comes back sign-extended. The invalid handle (all bits set) and the
// null event keep their meaning on both sides.
//
// Overlapped records: the system writes into an OVERLAPPED (and into an event wait's mask word)
// until the operation ends, so each record lives in the operation's state. A record whose
// operation is still running when the caller starts the next one on the same Overlapped (the
// component gives up on an event wait when it closes the line) is kept until the system is done
// with it, never freed under the system's feet. The backend itself keeps no state, so every
// call is as thread-safe as the system call beneath it.
#include <windows.h>

// The interface names its operations like the system calls; the system's headers turn some of
// those names into macros of their character-set variants.
#undef CreateEvent

#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <vector>

#include "serial/PortNames.h"
#include "serial/SerialPlatform.h"

namespace sincrovia {
namespace {

static_assert(sizeof(DWORD) == sizeof(std::uint32_t), "system words are 32 bits");

HANDLE ToHandle(std::uint32_t value) {
    // Sign extension restores the invalid handle (all bits set) from its 32-bit form.
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(static_cast<std::int32_t>(value)));
}

std::uint32_t FromHandle(HANDLE handle) { return static_cast<std::uint32_t>(reinterpret_cast<UINT_PTR>(handle)); }

SysError LastError() { return static_cast<SysError>(::GetLastError()); }

// Result of a call that reports failure through a false BOOL.
SysError Result(BOOL ok) { return ok ? kSysOk : LastError(); }

// One overlapped operation: the record the system fills, and the word an event wait reports
// its events in.
struct Win32Op final : OverlappedState {
    OVERLAPPED record{};
    DWORD eventMask = 0;     // an event wait's events, filled by the system
    bool eventWait = false;  // the record carries an event wait
    bool started = false;    // the system took the record (a call was made with it)

    bool SystemDone() const { return !started || HasOverlappedIoCompleted(&record); }
};

// Records whose operation the system had not finished when the caller moved on. They are
// shared by all lines and live as long as the program if need be: a record freed while the
// system still writes into it would corrupt memory, a kept one costs a few bytes.
struct RetiredRecords {
    std::mutex mutex;
    std::vector<std::shared_ptr<Win32Op>> records;
};

RetiredRecords& Retired() {
    static RetiredRecords* retired = new RetiredRecords;  // never destroyed, see above
    return *retired;
}

class Win32SerialPlatform final : public SerialPlatform {
public:
    std::int32_t PlatformId() override {
        OSVERSIONINFOA info{};
        info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (!::GetVersionExA(&info)) return -1;
#pragma GCC diagnostic pop
        return static_cast<std::int32_t>(info.dwPlatformId);
    }

    std::uint32_t TickCount() override { return ::GetTickCount(); }

    void Sleep(std::uint32_t ms) override { ::Sleep(ms); }

    SysError Open(const std::string& portName, LineHandle* handle) override {
        const std::string path = DevicePathForPort(portName);
        const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* unshared */, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *handle = kInvalidLineHandle;
            return LastError();
        }
        *handle = FromHandle(h);
        return kSysOk;
    }

    SysError Close(LineHandle line) override { return Result(::CloseHandle(ToHandle(line))); }

    SysError SetupBuffers(LineHandle line, std::uint32_t rxSize, std::uint32_t txSize) override {
        return Result(::SetupComm(ToHandle(line), rxSize, txSize));
    }

    SysError GetSettings(LineHandle line, LineSettings* settings) override {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(ToHandle(line), &dcb)) return LastError();
        *settings = FromDcb(dcb);
        return kSysOk;
    }

    SysError SetSettings(LineHandle line, const LineSettings& settings) override {
        // Fields the settings record does not carry keep the line's current values.
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!::GetCommState(ToHandle(line), &dcb)) return LastError();
        ToDcb(settings, dcb);
        return Result(::SetCommState(ToHandle(line), &dcb));
    }

    SysError GetTimeouts(LineHandle line, LineTimeouts* timeouts) override {
        COMMTIMEOUTS t{};
        if (!::GetCommTimeouts(ToHandle(line), &t)) return LastError();
        *timeouts = LineTimeouts{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
        return kSysOk;
    }

    SysError SetTimeouts(LineHandle line, const LineTimeouts& timeouts) override {
        COMMTIMEOUTS t{timeouts.readInterval, timeouts.readTotalMultiplier, timeouts.readTotalConstant,
                       timeouts.writeTotalMultiplier, timeouts.writeTotalConstant};
        return Result(::SetCommTimeouts(ToHandle(line), &t));
    }

    SysError SetEventMask(LineHandle line, std::uint32_t mask) override {
        return Result(::SetCommMask(ToHandle(line), mask));
    }

    SysError Purge(LineHandle line, std::uint32_t flags) override { return Result(::PurgeComm(ToHandle(line), flags)); }

    SysError EscapeFunction(LineHandle line, std::uint32_t function) override {
        return Result(::EscapeCommFunction(ToHandle(line), function));
    }

    SysError SetBreak(LineHandle line) override { return Result(::SetCommBreak(ToHandle(line))); }

    SysError ClearBreak(LineHandle line) override { return Result(::ClearCommBreak(ToHandle(line))); }

    SysError Write(LineHandle line, const std::uint8_t* data, std::uint32_t count, std::uint32_t* written,
                   Overlapped& ov) override {
        Win32Op& op = Fresh(ov);
        DWORD done = 0;
        op.started = true;
        if (::WriteFile(ToHandle(line), data, count, &done, &op.record)) {
            *written = done;
            return kSysOk;
        }
        return Started(op);
    }

    SysError Read(LineHandle line, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read,
                  Overlapped& ov) override {
        Win32Op& op = Fresh(ov);
        DWORD done = 0;
        op.started = true;
        if (::ReadFile(ToHandle(line), buffer, count, &done, &op.record)) {
            *read = done;
            return kSysOk;
        }
        return Started(op);
    }

    SysError WaitEvent(LineHandle line, std::uint32_t* mask, Overlapped& ov) override {
        Win32Op& op = Fresh(ov);
        op.started = true;
        op.eventWait = true;
        // The system fills the record's own word: a wait given up on may still end later, and the
        // record outlives it (retired records), while the caller's word may not.
        if (::WaitCommEvent(ToHandle(line), &op.eventMask, &op.record)) {
            *mask = op.eventMask;
            return kSysOk;
        }
        return Started(op);
    }

    SysError GetOverlappedResult(LineHandle line, Overlapped& ov, std::uint32_t* transferred) override {
        auto op = std::dynamic_pointer_cast<Win32Op>(ov.state);
        if (!op || !op->started) return kSysInvalidParameter;
        DWORD count = 0;
        if (!::GetOverlappedResult(ToHandle(line), &op->record, &count, FALSE)) return LastError();
        *transferred = op->eventWait ? op->eventMask : count;
        return kSysOk;
    }

    SysError ClearError(LineHandle line, std::uint32_t* errors, LineStatus* status) override {
        DWORD errorWord = 0;
        COMSTAT stat{};
        if (!::ClearCommError(ToHandle(line), &errorWord, &stat)) return LastError();
        *errors = errorWord;
        status->flags = StatusFlags(stat);
        status->inQueue = stat.cbInQue;
        status->outQueue = stat.cbOutQue;
        return kSysOk;
    }

    SysError GetModemStatus(LineHandle line, std::uint32_t* modemStatus) override {
        DWORD word = 0;
        if (!::GetCommModemStatus(ToHandle(line), &word)) return LastError();
        *modemStatus = word;
        return kSysOk;
    }

    SysError CreateEvent(EventHandle* event) override {
        const HANDLE h = ::CreateEventA(nullptr, TRUE /* manual reset */, FALSE, nullptr);
        if (h == nullptr) {
            *event = kNoEvent;
            return LastError();
        }
        *event = FromHandle(h);
        // An unnamed event cannot have existed before, but the system's word is passed on as is.
        return ::GetLastError() == ERROR_ALREADY_EXISTS ? kSysAlreadyExists : kSysOk;
    }

    SysError SetEvent(EventHandle event) override { return Result(::SetEvent(ToHandle(event))); }

    SysError ResetEvent(EventHandle event) override { return Result(::ResetEvent(ToHandle(event))); }

    SysError CloseEvent(EventHandle event) override { return Result(::CloseHandle(ToHandle(event))); }

    std::uint32_t WaitForEvents(const EventHandle* events, std::uint32_t count, std::uint32_t timeoutMs) override {
        if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        for (std::uint32_t i = 0; i < count; ++i) handles[i] = ToHandle(events[i]);
        const DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
        if (result == WAIT_TIMEOUT) return kWaitTimeout;
        if (result == WAIT_FAILED) return kWaitFailed;
        return result - WAIT_OBJECT_0;
    }

private:
    // The hold and state bits of a status record, in the system's order (bit 0 CTS hold ...
    // bit 6 transmit immediate).
    static std::uint32_t StatusFlags(const COMSTAT& stat) {
        std::uint32_t flags = 0;
        const bool bits[] = {stat.fCtsHold != 0,  stat.fDsrHold != 0, stat.fRlsdHold != 0, stat.fXoffHold != 0,
                             stat.fXoffSent != 0, stat.fEof != 0,     stat.fTxim != 0};
        for (std::uint32_t k = 0; k < std::size(bits); ++k) {
            if (bits[k]) flags |= 1u << k;
        }
        return flags;
    }

    // The flag word of the settings record is the system's word of DCB bit fields, bit for bit
    // (binary mode is bit 0, parity check bit 1 ... abort on error bit 14), so flow-control bits
    // given by the caller reach the system unchanged. The word follows the baud rate.
    static constexpr std::size_t kFlagWordOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
    static_assert(offsetof(DCB, wReserved) == kFlagWordOffset + sizeof(DWORD),
                  "the DCB bit fields fill one word after the baud rate");

    static std::uint32_t FlagWord(const DCB& dcb) {
        std::uint32_t word = 0;
        std::memcpy(&word, reinterpret_cast<const char*>(&dcb) + kFlagWordOffset, sizeof word);
        return word;
    }

    static void SetFlagWord(DCB& dcb, std::uint32_t word) {
        std::memcpy(reinterpret_cast<char*>(&dcb) + kFlagWordOffset, &word, sizeof word);
    }

    static LineSettings FromDcb(const DCB& dcb) {
        LineSettings s;
        s.baudRate = dcb.BaudRate;
        s.flags = FlagWord(dcb);
        s.xonLim = dcb.XonLim;
        s.xoffLim = dcb.XoffLim;
        s.byteSize = dcb.ByteSize;
        s.parity = dcb.Parity;
        s.stopBits = dcb.StopBits;
        s.xonChar = dcb.XonChar;
        s.xoffChar = dcb.XoffChar;
        s.errorChar = dcb.ErrorChar;
        s.eofChar = dcb.EofChar;
        s.evtChar = dcb.EvtChar;
        return s;
    }

    static void ToDcb(const LineSettings& s, DCB& dcb) {
        dcb.BaudRate = s.baudRate;
        SetFlagWord(dcb, s.flags);
        dcb.XonLim = s.xonLim;
        dcb.XoffLim = s.xoffLim;
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        dcb.XonChar = s.xonChar;
        dcb.XoffChar = s.xoffChar;
        dcb.ErrorChar = s.errorChar;
        dcb.EofChar = s.eofChar;
        dcb.EvtChar = s.evtChar;
    }

    // A clean record for a new operation on ov, with ov's event; the previous record is kept
    // while the system may still write into it.
    static Win32Op& Fresh(Overlapped& ov) {
        auto op = std::make_shared<Win32Op>();
        op->record.hEvent = ToHandle(ov.event);
        RetiredRecords& retired = Retired();
        std::lock_guard<std::mutex> lock(retired.mutex);
        std::erase_if(retired.records, [](const auto& old) { return old->SystemDone(); });
        if (auto old = std::dynamic_pointer_cast<Win32Op>(ov.state); old && !old->SystemDone()) {
            retired.records.push_back(std::move(old));
        }
        ov.state = op;
        return *op;
    }

    // The answer of a start call that returned false: pending, or failed at once.
    static SysError Started(Win32Op& op) {
        const SysError e = LastError();
        if (e != kSysIoPending) op.started = false;  // the system did not keep the record
        return e;
    }
};

}  // namespace

std::shared_ptr<SerialPlatform> MakeSerialPlatform() { return std::make_shared<Win32SerialPlatform>(); }

}  // namespace sincrovia
