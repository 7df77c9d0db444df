#include "serial/SerialPlatformFake.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace sincrovia {

// One overlapped operation of the fake. The record's state points at it; the fake keeps the
// pending ones so that a script or a purge can finish them.
struct SerialPlatformFake::Op : OverlappedState {
    enum class Kind { Write, Read, Wait } kind = Kind::Write;
    EventHandle event = kNoEvent;
    bool done = false;
    SysError error = kSysOk;
    std::uint32_t transferred = 0;
    ByteString data;                 // write: the bytes to send
    std::uint8_t* buffer = nullptr;  // read: where the bytes go
    std::uint32_t count = 0;         // read: bytes asked for
    std::uint32_t mask = 0;          // wait: the events it reports
};

SerialPlatformFake::SerialPlatformFake() = default;

void SerialPlatformFake::FailCall(Call call, SysError code, int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[call] = {code, times};
}

void SerialPlatformFake::ClearFailure(Call call) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.erase(call);
}

SysError SerialPlatformFake::FailureLocked(Call call) {
    auto it = failures_.find(call);
    if (it == failures_.end()) return kSysOk;
    const SysError code = it->second.first;
    if (it->second.second > 0 && --it->second.second == 0) failures_.erase(it);
    return code;
}

void SerialPlatformFake::AddPort(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    ports_.insert(name);
}

void SerialPlatformFake::SignalLocked(EventHandle event) {
    auto it = events_.find(event);
    if (it != events_.end()) it->second = true;
    changed_.notify_all();
}

// Line events: a pending wait completes with those of the mask; otherwise they are kept for
// the next wait.
void SerialPlatformFake::RaiseLocked(std::uint32_t events) {
    const std::uint32_t chosen = events & mask_;
    if (chosen == 0) return;
    if (pendingWait_ && !pendingWait_->done) {
        pendingWait_->mask = chosen;
        pendingWait_->done = true;
        SignalLocked(pendingWait_->event);
        pendingWait_.reset();
    } else {
        latched_ |= chosen;
    }
    changed_.notify_all();
}

void SerialPlatformFake::EndWaitLocked() {
    if (!pendingWait_) return;
    pendingWait_->mask = 0;
    pendingWait_->done = true;
    SignalLocked(pendingWait_->event);
    pendingWait_.reset();
}

void SerialPlatformFake::Receive(const ByteString& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open_ == kInvalidLineHandle) return;
    rx_ += bytes;
    std::uint32_t events = kEvRxChar;
    if (bytes.find(settings_.evtChar) != ByteString::npos) events |= kEvRxFlag;
    RaiseLocked(events);
}

void SerialPlatformFake::RaiseLineError(std::uint32_t bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    errorWord_ |= bits;
    RaiseLocked(kEvErr);
}

void SerialPlatformFake::RaiseEvents(std::uint32_t events) {
    std::lock_guard<std::mutex> lock(mutex_);
    RaiseLocked(events);
}

void SerialPlatformFake::SetModemStatus(std::uint32_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    modem_ = status;
}

void SerialPlatformFake::SetPlatformId(std::int32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    platformId_ = id;
}

void SerialPlatformFake::SetWritesPending(bool pending) {
    std::lock_guard<std::mutex> lock(mutex_);
    writesPending_ = pending;
}

void SerialPlatformFake::FinishWrite(std::uint32_t written) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pendingWrite_) return;
    written = std::min(written, static_cast<std::uint32_t>(pendingWrite_->data.size()));
    sent_.append(pendingWrite_->data, 0, written);
    pendingWrite_->transferred = written;
    pendingWrite_->done = true;
    SignalLocked(pendingWrite_->event);
    pendingWrite_.reset();
}

void SerialPlatformFake::SetReadsPending(bool pending) {
    std::lock_guard<std::mutex> lock(mutex_);
    readsPending_ = pending;
}

void SerialPlatformFake::CompleteReadLocked(SysError error) {
    if (!pendingRead_) return;
    if (error == kSysOk) {
        const auto n = std::min(pendingRead_->count, static_cast<std::uint32_t>(rx_.size()));
        std::memcpy(pendingRead_->buffer, rx_.data(), n);
        rx_.erase(0, n);
        pendingRead_->transferred = n;
    }
    pendingRead_->error = error;
    pendingRead_->done = true;
    SignalLocked(pendingRead_->event);
    pendingRead_.reset();
}

void SerialPlatformFake::FinishRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    CompleteReadLocked(kSysOk);
}

bool SerialPlatformFake::HasPendingRead() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pendingRead_ != nullptr;
}

void SerialPlatformFake::DiscardReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    rx_.clear();
}

ByteString SerialPlatformFake::Sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

std::vector<std::string> SerialPlatformFake::CallLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void SerialPlatformFake::ClearCallLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

LineSettings SerialPlatformFake::Settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

LineTimeouts SerialPlatformFake::Timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
}

std::uint32_t SerialPlatformFake::EventMask() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mask_;
}

std::uint32_t SerialPlatformFake::BufferSizeRx() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rxSize_;
}

bool SerialPlatformFake::Rts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rts_;
}

bool SerialPlatformFake::Dtr() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dtr_;
}

bool SerialPlatformFake::Break() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return break_;
}

bool SerialPlatformFake::IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_ != kInvalidLineHandle;
}

std::uint32_t SerialPlatformFake::Waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::uint32_t>(rx_.size());
}

std::uint64_t SerialPlatformFake::WaitCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waitCalls_;
}

void SerialPlatformFake::FreezeTick(std::uint32_t tick) {
    std::lock_guard<std::mutex> lock(mutex_);
    tickFrozen_ = true;
    frozenTick_ = tick;
}

void SerialPlatformFake::AdvanceTick(std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    frozenTick_ += ms;
    changed_.notify_all();
}

std::uint32_t SerialPlatformFake::TakeShortestWaitTimeout() {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint32_t shortest = shortestWait_;
    shortestWait_ = 0xFFFFFFFFu;
    return shortest;
}

std::uint64_t SerialPlatformFake::StatusReads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusReads_;
}

void SerialPlatformFake::Log(std::string entry) { log_.push_back(std::move(entry)); }

bool SerialPlatformFake::LineOkLocked(LineHandle line) const { return line != kInvalidLineHandle && line == open_; }

// --- SerialPlatform --------------------------------------------------------------------------

std::int32_t SerialPlatformFake::PlatformId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return platformId_;
}

std::uint32_t SerialPlatformFake::TickCount() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tickFrozen_) return frozenTick_;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    return static_cast<std::uint32_t>(ms.count());
}

void SerialPlatformFake::Sleep(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

SysError SerialPlatformFake::Open(const std::string& portName, LineHandle* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("Open(" + portName + ")");
    *handle = kInvalidLineHandle;
    if (const SysError e = FailureLocked(Call::Open); e != kSysOk) return e;
    if (ports_.count(portName) == 0) return kFileNotFound;
    if (open_ != kInvalidLineHandle) return 5;  // unshared: a second opening is refused
    open_ = nextHandle_++;
    mask_ = 0;
    errorWord_ = 0;
    latched_ = 0;
    rx_.clear();
    *handle = open_;
    return kSysOk;
}

SysError SerialPlatformFake::Close(LineHandle line) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("Close");
    const SysError e = FailureLocked(Call::Close);
    if (!LineOkLocked(line)) return kInvalidHandle;
    // The handle goes even when the call reports a failure, as a closed handle does.
    CompleteReadLocked(kSysOperationAborted);
    EndWaitLocked();
    open_ = kInvalidLineHandle;
    changed_.notify_all();
    return e;
}

SysError SerialPlatformFake::SetupBuffers(LineHandle line, std::uint32_t rxSize, std::uint32_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("SetupBuffers");
    if (const SysError e = FailureLocked(Call::SetupBuffers); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    rxSize_ = rxSize;
    return kSysOk;
}

SysError SerialPlatformFake::GetSettings(LineHandle line, LineSettings* settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("GetSettings");
    if (const SysError e = FailureLocked(Call::GetSettings); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    *settings = settings_;
    return kSysOk;
}

SysError SerialPlatformFake::SetSettings(LineHandle line, const LineSettings& settings) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("SetSettings");
    if (const SysError e = FailureLocked(Call::SetSettings); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    settings_ = settings;
    return kSysOk;
}

SysError SerialPlatformFake::GetTimeouts(LineHandle line, LineTimeouts* timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const SysError e = FailureLocked(Call::GetTimeouts); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    *timeouts = timeouts_;
    return kSysOk;
}

SysError SerialPlatformFake::SetTimeouts(LineHandle line, const LineTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("SetTimeouts");
    if (const SysError e = FailureLocked(Call::SetTimeouts); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    timeouts_ = timeouts;
    return kSysOk;
}

SysError SerialPlatformFake::SetEventMask(LineHandle line, std::uint32_t mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("SetEventMask(" + std::to_string(mask) + ")");
    if (const SysError e = FailureLocked(Call::SetEventMask); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    mask_ = mask;
    latched_ &= mask;
    EndWaitLocked();  // a new mask ends the pending wait with no event
    return kSysOk;
}

SysError SerialPlatformFake::Purge(LineHandle line, std::uint32_t flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("Purge(" + std::to_string(flags) + ")");
    if (const SysError e = FailureLocked(Call::Purge); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    CompleteReadLocked(kSysOperationAborted);
    if (pendingWrite_) {
        pendingWrite_->error = kSysOperationAborted;
        pendingWrite_->done = true;
        SignalLocked(pendingWrite_->event);
        pendingWrite_.reset();
    }
    rx_.clear();
    return kSysOk;
}

SysError SerialPlatformFake::EscapeFunction(LineHandle line, std::uint32_t function) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("Escape(" + std::to_string(function) + ")");
    if (const SysError e = FailureLocked(Call::EscapeFunction); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    switch (function) {
    case kEscapeSetRts: rts_ = true; break;
    case kEscapeClrRts: rts_ = false; break;
    case kEscapeSetDtr: dtr_ = true; break;
    case kEscapeClrDtr: dtr_ = false; break;
    default: return kSysInvalidParameter;
    }
    return kSysOk;
}

SysError SerialPlatformFake::SetBreak(LineHandle line) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("SetBreak");
    if (const SysError e = FailureLocked(Call::SetBreak); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    break_ = true;
    return kSysOk;
}

SysError SerialPlatformFake::ClearBreak(LineHandle line) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("ClearBreak");
    if (const SysError e = FailureLocked(Call::ClearBreak); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    break_ = false;
    return kSysOk;
}

SysError SerialPlatformFake::Write(LineHandle line, const std::uint8_t* data, std::uint32_t count,
                                   std::uint32_t* written, Overlapped& ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("Write(" + std::to_string(count) + ")");
    auto it = events_.find(ov.event);
    if (it != events_.end()) it->second = false;
    if (const SysError e = FailureLocked(Call::Write); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    if (!writesPending_) {
        sent_.append(reinterpret_cast<const char*>(data), count);
        *written = count;
        RaiseLocked(kEvTxEmpty);
        return kSysOk;
    }
    auto op = std::make_shared<Op>();
    op->kind = Op::Kind::Write;
    op->event = ov.event;
    op->data.assign(reinterpret_cast<const char*>(data), count);
    ov.state = op;
    pendingWrite_ = op;
    return kSysIoPending;
}

SysError SerialPlatformFake::Read(LineHandle line, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* read,
                                  Overlapped& ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    Log("Read(" + std::to_string(count) + ")");
    auto it = events_.find(ov.event);
    if (it != events_.end()) it->second = false;
    if (const SysError e = FailureLocked(Call::Read); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    pendingRead_.reset();  // a read given up on is replaced, and no longer filled
    if (!readsPending_) {
        const auto n = std::min(count, static_cast<std::uint32_t>(rx_.size()));
        std::memcpy(buffer, rx_.data(), n);
        rx_.erase(0, n);
        *read = n;
        return kSysOk;
    }
    auto op = std::make_shared<Op>();
    op->kind = Op::Kind::Read;
    op->event = ov.event;
    op->buffer = buffer;
    op->count = count;
    ov.state = op;
    pendingRead_ = op;
    return kSysIoPending;
}

SysError SerialPlatformFake::WaitEvent(LineHandle line, std::uint32_t* mask, Overlapped& ov) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = events_.find(ov.event);
    if (it != events_.end()) it->second = false;
    if (const SysError e = FailureLocked(Call::WaitEvent); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    pendingWait_.reset();  // a wait given up on is replaced, as the system does
    if (latched_ != 0) {
        *mask = latched_;
        latched_ = 0;
        return kSysOk;
    }
    auto op = std::make_shared<Op>();
    op->kind = Op::Kind::Wait;
    op->event = ov.event;
    ov.state = op;
    pendingWait_ = op;
    return kSysIoPending;
}

SysError SerialPlatformFake::GetOverlappedResult(LineHandle, Overlapped& ov, std::uint32_t* transferred) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* op = dynamic_cast<Op*>(ov.state.get());
    if (op == nullptr) return kSysInvalidParameter;
    if (op->kind != Op::Kind::Wait) {
        const Call call = op->kind == Op::Kind::Read ? Call::ResultRead : Call::ResultWrite;
        if (const SysError e = FailureLocked(call); e != kSysOk) return e;
    }
    if (!op->done) return kSysIoIncomplete;
    *transferred = op->kind == Op::Kind::Wait ? op->mask : op->transferred;
    return op->error;
}

SysError SerialPlatformFake::ClearError(LineHandle line, std::uint32_t* errors, LineStatus* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++statusReads_;
    if (const SysError e = FailureLocked(Call::ClearError); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    *errors = errorWord_;
    errorWord_ = 0;
    status->flags = 0;
    status->inQueue = static_cast<std::uint32_t>(rx_.size());
    status->outQueue = pendingWrite_ ? static_cast<std::uint32_t>(pendingWrite_->data.size()) : 0;
    return kSysOk;
}

SysError SerialPlatformFake::GetModemStatus(LineHandle line, std::uint32_t* modemStatus) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const SysError e = FailureLocked(Call::GetModemStatus); e != kSysOk) return e;
    if (!LineOkLocked(line)) return kInvalidHandle;
    *modemStatus = modem_;
    return kSysOk;
}

SysError SerialPlatformFake::CreateEvent(EventHandle* event) {
    std::lock_guard<std::mutex> lock(mutex_);
    const SysError e = FailureLocked(Call::CreateEvent);
    if (e != kSysOk && e != kSysAlreadyExists) {
        *event = kNoEvent;
        return e;
    }
    *event = nextEvent_++;
    events_[*event] = false;
    return e;
}

SysError SerialPlatformFake::SetEvent(EventHandle event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const SysError e = FailureLocked(Call::SetEvent); e != kSysOk) return e;
    if (events_.count(event) == 0) return kInvalidHandle;
    SignalLocked(event);
    return kSysOk;
}

SysError SerialPlatformFake::ResetEvent(EventHandle event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const SysError e = FailureLocked(Call::ResetEvent); e != kSysOk) return e;
    auto it = events_.find(event);
    if (it == events_.end()) return kInvalidHandle;
    it->second = false;
    return kSysOk;
}

SysError SerialPlatformFake::CloseEvent(EventHandle event) {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.erase(event) != 0 ? kSysOk : kInvalidHandle;
}

std::uint32_t SerialPlatformFake::WaitForEvents(const EventHandle* events, std::uint32_t count,
                                                std::uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waitCalls_;
    shortestWait_ = std::min(shortestWait_, timeoutMs);
    if (const SysError forced = FailureLocked(Call::WaitForEvents); forced != kSysOk) return forced;
    for (std::uint32_t i = 0; i < count; ++i)
        if (events_.count(events[i]) == 0) return kWaitFailed;
    std::uint32_t found = kWaitTimeout;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (std::uint32_t i = 0; i < count; ++i) {
            auto it = events_.find(events[i]);
            if (it != events_.end() && it->second) {
                found = i;
                return true;
            }
        }
        return false;
    });
    return found;
}

}  // namespace sincrovia
