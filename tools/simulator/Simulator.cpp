#include "tools/simulator/Simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "decoder_link/Frames.h"
#include "serial/PortNames.h"
#include "tools/simulator/DecoderClock.h"

namespace sincrovia::sim {

namespace {

constexpr int64_t kUsPerMs = 1'000;
constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kUsPerMinute = 60 * kUsPerSecond;
constexpr int64_t kNever = INT64_MAX;
constexpr int64_t kGarbageTickUs = 100'000;         // noise goes out in small bursts ten times a second
constexpr int64_t kWrittenMillisecondUs = 500'000;  // the program writes at millisecond 500
constexpr std::size_t kReadChunk = 4096;
constexpr int kYearBase = 2000;
constexpr uint32_t kFirstRoamingTransponder = 2;  // unasked passages: transponders 2..1005
constexpr uint32_t kLastRoamingTransponder = 1005;
constexpr int kMinValueV = 80, kMaxValueV = 220;  // plausible signal strength
constexpr int kMinValueW = 5, kMaxValueW = 60;    // plausible hit count
constexpr mode_t kFolderMode = 0700;
constexpr int kImpossibleMonth = 13;  // bad_clock: a month no decoder can mean

int64_t MonoNowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kUsPerSecond + ts.tv_nsec / 1000;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Removes `link` only while it still leads to `target`, so a link republished by another
// simulator under the same name survives.
void RemoveOwnLink(const std::string& link, const std::string& target) {
    if (link.empty()) return;
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n < 0) return;
    if (std::string(buffer, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

}  // namespace

struct Simulator::Decoder {
    struct Pending {
        int64_t dueMonoUs;
        ByteString bytes;
    };
    /// A frame read from the line but still crossing it at the line's speed.
    struct Incoming {
        int64_t dueMonoUs;  // when its last byte has arrived
        int64_t takenPcUs;  // the same instant on the PC clock
        CommandFrame frame;
    };
    explicit Decoder(const DecoderConfig& c) : config(c), clock(PcNowUs(), c.offsetMs, c.driftPpm) {}

    DecoderConfig config;
    std::string linkPath;
    std::string slavePath;
    int master = -1;
    int slaveKeep = -1;  // keeps the line up while the program closes and reopens the port
    bool open = false;
    FrameReader reader;
    DecoderClock clock;
    DecoderStats stats;
    uint8_t lastReaderId = 1;
    uint32_t passageNumber = 0;
    std::vector<Pending> pending;    // sorted by due time
    std::vector<Incoming> incoming;  // in line order, so sorted by due time
    int64_t lineBusyUntilPcUs = 0;   // the last byte of the frames read so far arrives then
    int64_t nextPassageMonoUs = kNever;
    int64_t nextGarbageMonoUs = kNever;
    int64_t hangupMonoUs = kNever;
    double garbageCarry = 0.0;
    bool mutedBySet = false;  // after_set=silent and the clock was written

    /// Whether the decoder answers now.
    bool Answers() const { return !config.silent && !mutedBySet; }
};

std::string FormatArrivalLine(const ArrivalEntry& entry) {
    std::string line = std::to_string(entry.unixUs) + ' ' + entry.decoder;
    if (!entry.bytes.empty()) line += ' ' + HexBytes(entry.bytes);
    return line;
}

Simulator::Simulator() : random_(std::random_device{}()) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::AddDecoder(const DecoderConfig& config, std::string& error) {
    std::lock_guard lock(mutex_);
    if (running_) {
        error = "decoders are added before the start";
        return false;
    }
    if (decoders_.size() >= kMaxDecoders) {
        error = "at most 4 decoders";
        return false;
    }
    if (!IsValidPortName(config.name)) {
        error = "bad decoder name '" + config.name + "'";
        return false;
    }
    for (const auto& d : decoders_) {
        if (d->config.name == config.name) {
            error = "decoder name '" + config.name + "' given twice";
            return false;
        }
    }
    decoders_.push_back(std::make_unique<Decoder>(config));
    return true;
}

void Simulator::SetArrivalSink(std::function<void(const ArrivalEntry&)> sink) {
    std::lock_guard lock(mutex_);
    arrivalSink_ = std::move(sink);
}

void Simulator::SetRecordArrivals(bool record) {
    std::lock_guard lock(mutex_);
    recordArrivals_ = record;
}

void Simulator::SetEventSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(mutex_);
    eventSink_ = std::move(sink);
}

bool Simulator::OpenLine(Decoder& d, const std::string& folder, std::string& error) {
    const std::string who = d.config.name + ": ";
    d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (d.master < 0) {
        error = who + ErrnoText("posix_openpt");
        return false;
    }
    char name[PATH_MAX];
    if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0 || ::ptsname_r(d.master, name, sizeof name) != 0) {
        error = who + ErrnoText("pseudo-terminal setup");
        return false;
    }
    d.slavePath = name;
    d.slaveKeep = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (d.slaveKeep < 0) {
        error = who + ErrnoText("open " + d.slavePath);
        return false;
    }
    termios tio{};
    if (::tcgetattr(d.slaveKeep, &tio) != 0) {
        error = who + ErrnoText("tcgetattr");
        return false;
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(d.slaveKeep, TCSANOW, &tio) != 0) {
        error = who + ErrnoText("tcsetattr");
        return false;
    }
    const int flags = ::fcntl(d.master, F_GETFL);
    if (flags < 0 || ::fcntl(d.master, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = who + ErrnoText("fcntl");
        return false;
    }
    const std::string link = folder + "/" + d.config.name;
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = who + link + " exists and is not a link";
        return false;
    }
    // Publish atomically: a program scanning the folder sees the old link or the new one.
    const std::string temporary = link + ".new-" + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(d.slavePath.c_str(), temporary.c_str()) != 0) {
        error = who + ErrnoText("symlink " + temporary);
        return false;
    }
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        error = who + ErrnoText("rename to " + link);
        ::unlink(temporary.c_str());
        return false;
    }
    d.linkPath = link;
    d.open = true;
    return true;
}

bool Simulator::Start(std::string& error) {
    std::unique_lock lock(mutex_);
    if (running_) {
        error = "already started";
        return false;
    }
    if (decoders_.empty()) {
        error = "no decoder given";
        return false;
    }
    const std::string folder = VirtualPortFolder();
    if (::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        error = ErrnoText("mkdir " + folder);
        return false;
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = folder + " is not a folder";
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = ErrnoText("pipe");
        return false;
    }
    wakeRead_ = pipeFds[0];
    wakeWrite_ = pipeFds[1];
    const int64_t pc = PcNowUs();
    const int64_t mono = MonoNowUs();
    for (auto& dp : decoders_) {
        Decoder& d = *dp;
        if (!OpenLine(d, folder, error)) {
            for (auto& other : decoders_) CloseLine(*other, {});
            CloseFd(wakeRead_);
            CloseFd(wakeWrite_);
            return false;
        }
        d.clock = DecoderClock(pc, d.config.offsetMs, d.config.driftPpm);
        d.stats = DecoderStats{};
        d.mutedBySet = false;
        d.reader = FrameReader{};
        if (d.config.passagesPerMinute > 0.0)
            d.nextPassageMonoUs = mono + std::llround(static_cast<double>(kUsPerMinute) / d.config.passagesPerMinute);
        if (d.config.garbagePerSecond > 0.0) d.nextGarbageMonoUs = mono + kGarbageTickUs;
        if (d.config.hangupSeconds > 0.0)
            d.hangupMonoUs = mono + std::llround(d.config.hangupSeconds * static_cast<double>(kUsPerSecond));
    }
    running_ = true;
    stopping_ = false;
    thread_ = std::thread([this] { Loop(); });
    return true;
}

void Simulator::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        stopping_ = true;
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeWrite_, &wake, 1);
    }
    thread_.join();
    std::lock_guard lock(mutex_);
    for (auto& d : decoders_) CloseLine(*d, {});
    CloseFd(wakeRead_);
    CloseFd(wakeWrite_);
    running_ = false;
    stopping_ = false;
}

std::size_t Simulator::DecoderCount() const {
    std::lock_guard lock(mutex_);
    return decoders_.size();
}

std::string Simulator::PortName(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return i < decoders_.size() ? decoders_[i]->config.name : std::string();
}

std::string Simulator::LinkPath(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return i < decoders_.size() ? decoders_[i]->linkPath : std::string();
}

std::vector<ArrivalEntry> Simulator::Replies() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

std::vector<ArrivalEntry> Simulator::Arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

bool Simulator::WaitForArrivals(std::size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return arrivals_.size() >= count; });
}

int64_t Simulator::DecoderClockAt(std::size_t i, int64_t pcUs) const {
    std::lock_guard lock(mutex_);
    return i < decoders_.size() ? decoders_[i]->clock.ReadingAt(pcUs) : 0;
}

int64_t Simulator::DecoderClockNow(std::size_t i) const { return DecoderClockAt(i, PcNowUs()); }

DecoderStats Simulator::Stats(std::size_t i) const {
    std::lock_guard lock(mutex_);
    if (i >= decoders_.size()) return {};
    DecoderStats stats = decoders_[i]->stats;
    stats.badChecksums = decoders_[i]->reader.BadChecksumCount();
    stats.discardedBytes = decoders_[i]->reader.DiscardedByteCount();
    return stats;
}

void Simulator::Report(const std::string& text) {
    if (eventSink_) eventSink_(text);
}

void Simulator::CloseLine(Decoder& d, const std::string& why) {
    if (!d.open && d.master < 0 && d.slaveKeep < 0) return;
    CloseFd(d.master);
    CloseFd(d.slaveKeep);
    RemoveOwnLink(d.linkPath, d.slavePath);
    d.open = false;
    d.pending.clear();
    d.incoming.clear();
    if (!why.empty()) {
        d.stats.hungUp = true;
        Report(d.config.name + ": " + why);
    }
}

void Simulator::Queue(Decoder& d, ByteString bytes, int64_t dueMonoUs) {
    // The bytes start to leave at `dueMonoUs`; a pseudo-terminal delivers them at once, so they
    // are written when the last one would have reached the PC.
    dueMonoUs += LineTimeUs(d, bytes.size());
    const auto at = std::upper_bound(d.pending.begin(), d.pending.end(), dueMonoUs,
                                     [](int64_t due, const Decoder::Pending& p) { return due < p.dueMonoUs; });
    d.pending.insert(at, Decoder::Pending{dueMonoUs, std::move(bytes)});
}

void Simulator::SendPassage(Decoder& d, uint8_t readerId, uint32_t transponder, int64_t pcUs, int64_t dueMonoUs) {
    const ClockFields f = LocalFields(d.clock.ReadingAt(pcUs));
    PassageFields p;
    p.readerId = readerId;
    p.year = f.year;
    p.month = d.config.badClock ? kImpossibleMonth : f.month;
    p.day = f.day;
    p.hour = f.hour;
    p.minute = f.minute;
    p.second = f.second;
    p.millisecond = f.millisecond;
    p.number = ++d.passageNumber;
    p.transponder = transponder;
    p.valueV = static_cast<uint16_t>(std::uniform_int_distribution(kMinValueV, kMaxValueV)(random_));
    p.valueW = static_cast<uint16_t>(std::uniform_int_distribution(kMinValueW, kMaxValueW)(random_));
    Queue(d, BuildPassageRecord(p), dueMonoUs);
}

void Simulator::HandleFrame(Decoder& d, const CommandFrame& frame, int64_t arrivalPcUs) {
    const int64_t arrivalMono = MonoNowUs();
    const int jitter = d.config.jitterMs > 0 ? std::uniform_int_distribution(0, d.config.jitterMs)(random_) : 0;
    const int64_t due = arrivalMono + (d.config.latencyMs + jitter) * kUsPerMs;
    const std::string& name = d.config.name;
    ++d.stats.frames;
    d.lastReaderId = frame.readerId;
    switch (frame.code) {
    case kCmdFirmware:
        ++d.stats.firmwareRequests;
        if (d.Answers()) Queue(d, BuildFirmwareRecord(frame.readerId, d.config.firmware, d.config.longFirmware), due);
        break;
    case kCmdSetDateTime: {
        const auto b = [&](std::size_t i) { return static_cast<uint8_t>(frame.payload[i]); };
        // Payload: year - 2000, month, day, weekday (not needed), hours, minutes, seconds.
        const auto second = LocalSecondToUnixUs(kYearBase + b(0), b(1), b(2), b(4), b(5), b(6));
        if (!second) {
            ++d.stats.badDateTimes;
            Report(name + ": impossible date or time ignored: " + HexBytes(frame.payload));
            break;
        }
        d.clock.SetAt(arrivalPcUs, *second + kWrittenMillisecondUs);
        ++d.stats.clockSets;
        Report(name + ": clock set");
        if (d.config.afterSet == AfterSet::Silent) d.mutedBySet = true;
        // The timers close the line in this same pass of the loop.
        if (d.config.afterSet == AfterSet::Hangup) d.hangupMonoUs = arrivalMono;
        break;
    }
    case kCmdResetTimer:
    case kCmdResetTimerRelative:
        ++d.stats.timerResets;
        Report(name + ": lap timer reset (" + std::to_string(d.stats.timerResets) + ")");
        break;
    case kCmdManualLap:
        ++d.stats.manualLaps;
        if (d.Answers()) {
            SendPassage(d, frame.readerId, d.config.transponder, arrivalPcUs, due);
            ++d.stats.passagesSent;
        }
        break;
    case kCmdResetGps:
        ++d.stats.gpsResets;
        if (d.config.gps) d.clock.FollowTrueTime(arrivalPcUs);
        Report(name + ": GPS reset" + (d.config.gps ? ", clock follows true time" : ""));
        break;
    default:
        ++d.stats.unknownCommands;
        Report(name + ": unknown command " + std::to_string(frame.code) + " ignored");
        break;
    }
}

int64_t Simulator::LineTimeUs(const Decoder& d, std::size_t bytes) {
    return TransmissionUs(bytes, LineCharacter{d.config.baud, 8, false, 0});
}

void Simulator::TakeFrame(Decoder& d, const CommandFrame& frame, int64_t takenPcUs) {
    ArrivalEntry entry{takenPcUs, d.config.name, frame.bytes};
    if (arrivalSink_) arrivalSink_(entry);
    if (recordArrivals_) arrivals_.push_back(std::move(entry));
    HandleFrame(d, frame, takenPcUs);
}

bool Simulator::TakeDueFrames(int64_t nowMonoUs) {
    bool any = false;
    for (auto& dp : decoders_) {
        Decoder& d = *dp;
        std::size_t done = 0;
        for (; done < d.incoming.size() && d.incoming[done].dueMonoUs <= nowMonoUs; ++done) {
            TakeFrame(d, d.incoming[done].frame, d.incoming[done].takenPcUs);
            any = true;
            if (!d.open) return any;  // the frame's handling closed the line (and cleared the queue)
        }
        d.incoming.erase(d.incoming.begin(), d.incoming.begin() + static_cast<std::ptrdiff_t>(done));
    }
    return any;
}

// Writes every answer whose time has come. Nobody may be reading the line (the port is
// closed): then the bytes are lost, as on a real line, rather than piled up for later.
void Simulator::Flush(Decoder& d, int64_t nowMonoUs) {
    std::size_t done = 0;
    for (; done < d.pending.size() && d.pending[done].dueMonoUs <= nowMonoUs; ++done) {
        const ByteString& bytes = d.pending[done].bytes;
        const ssize_t n = ::write(d.master, bytes.data(), bytes.size());
        if (n > 0 && recordArrivals_) replies_.push_back(ArrivalEntry{PcNowUs(), d.config.name, bytes});
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            const std::string why = ErrnoText("write failed");
            d.pending.clear();
            CloseLine(d, why);
            return;
        }
        const std::size_t written = n > 0 ? static_cast<std::size_t>(n) : 0;
        d.stats.droppedOutput += bytes.size() - written;
    }
    d.pending.erase(d.pending.begin(), d.pending.begin() + static_cast<std::ptrdiff_t>(done));
}

void Simulator::RunTimers(int64_t nowMonoUs) {
    for (auto& dp : decoders_) {
        Decoder& d = *dp;
        if (!d.open) continue;
        if (nowMonoUs >= d.hangupMonoUs) {
            CloseLine(d, "hung up");
            continue;
        }
        if (nowMonoUs >= d.nextPassageMonoUs) {
            if (d.Answers()) {
                const uint32_t transponder =
                    std::uniform_int_distribution(kFirstRoamingTransponder, kLastRoamingTransponder)(random_);
                SendPassage(d, d.lastReaderId, transponder, PcNowUs(), nowMonoUs);
                ++d.stats.passagesSent;
            }
            const auto interval = std::llround(static_cast<double>(kUsPerMinute) / d.config.passagesPerMinute);
            d.nextPassageMonoUs = std::max<int64_t>(d.nextPassageMonoUs + interval, nowMonoUs + 1);
        }
        if (nowMonoUs >= d.nextGarbageMonoUs) {
            d.garbageCarry +=
                d.config.garbagePerSecond * static_cast<double>(kGarbageTickUs) / static_cast<double>(kUsPerSecond);
            const auto count = static_cast<std::size_t>(d.garbageCarry);
            d.garbageCarry -= static_cast<double>(count);
            if (d.Answers() && count > 0) {
                ByteString noise(count, '\0');
                std::uniform_int_distribution<int> byte(0, UCHAR_MAX);
                for (char& c : noise) c = static_cast<char>(byte(random_));
                Queue(d, std::move(noise), nowMonoUs);
            }
            d.nextGarbageMonoUs = std::max(d.nextGarbageMonoUs + kGarbageTickUs, nowMonoUs + 1);
        }
        Flush(d, nowMonoUs);
    }
}

int64_t Simulator::NextDueMonoUs() const {
    int64_t next = kNever;
    for (const auto& d : decoders_) {
        if (!d->open) continue;
        next = std::min({next, d->hangupMonoUs, d->nextPassageMonoUs, d->nextGarbageMonoUs});
        if (!d->pending.empty()) next = std::min(next, d->pending.front().dueMonoUs);
        if (!d->incoming.empty()) next = std::min(next, d->incoming.front().dueMonoUs);
    }
    return next;
}

// The arrival time of a frame is what the decoders' clock model and the arrival log rest on,
// so the loop never sleeps past input: it blocks in ppoll on every master and the wake pipe
// with a timeout of exactly the next timer, and stamps each read as soon as it returns.
void Simulator::Loop() {
    struct Chunk {
        Decoder* decoder;
        ByteString bytes;
        int64_t pcUs;
    };
    std::vector<pollfd> fds;
    std::vector<Decoder*> owners;
    std::vector<Chunk> chunks;
    std::vector<Decoder*> failed;
    char buffer[kReadChunk];
    while (true) {
        int64_t due = kNever;
        fds.clear();
        owners.clear();
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            fds.push_back(pollfd{wakeRead_, POLLIN, 0});
            owners.push_back(nullptr);
            for (auto& d : decoders_) {
                if (!d->open) continue;
                fds.push_back(pollfd{d->master, POLLIN, 0});
                owners.push_back(d.get());
            }
            due = NextDueMonoUs();
        }
        timespec timeout{};
        timespec* timeoutPtr = nullptr;
        if (due != kNever) {
            const int64_t wait = std::max<int64_t>(0, due - MonoNowUs());
            timeout.tv_sec = static_cast<time_t>(wait / kUsPerSecond);
            timeout.tv_nsec = static_cast<long>((wait % kUsPerSecond) * 1000);
            timeoutPtr = &timeout;
        }
        const int ready = ::ppoll(fds.data(), fds.size(), timeoutPtr, nullptr);
        chunks.clear();
        failed.clear();
        if (ready > 0) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents == 0) continue;
                if (owners[i] == nullptr) {
                    while (::read(wakeRead_, buffer, sizeof buffer) > 0) {}
                    continue;
                }
                // Only this thread reads the masters, so no lock is needed around the read.
                while (true) {
                    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
                    const int64_t pc = PcNowUs();
                    if (n > 0) {
                        chunks.push_back(Chunk{owners[i], ByteString(buffer, static_cast<std::size_t>(n)), pc});
                        continue;
                    }
                    if (n < 0 && errno == EINTR) continue;
                    if (n == 0 || errno != EAGAIN) failed.push_back(owners[i]);
                    break;
                }
            }
        }
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        bool taken = false;
        for (Chunk& chunk : chunks) {
            Decoder& d = *chunk.decoder;
            for (CommandFrame& frame : d.reader.Feed(chunk.bytes)) {
                if (d.config.baud == 0) {
                    TakeFrame(d, frame, chunk.pcUs);
                    taken = true;
                    continue;
                }
                // A pseudo-terminal hands over a whole frame at once; a real line brings its
                // last byte only after every byte before it, and frames queue behind each other.
                const int64_t startPcUs = std::max(chunk.pcUs, d.lineBusyUntilPcUs);
                const int64_t takenPcUs = startPcUs + LineTimeUs(d, frame.bytes.size());
                d.lineBusyUntilPcUs = takenPcUs;
                const int64_t dueMono = MonoNowUs() + (takenPcUs - PcNowUs());
                d.incoming.push_back(Decoder::Incoming{dueMono, takenPcUs, std::move(frame)});
            }
        }
        for (Decoder* d : failed) CloseLine(*d, "line failed");
        taken = TakeDueFrames(MonoNowUs()) || taken;
        RunTimers(MonoNowUs());
        if (taken) arrived_.notify_all();
    }
}

}  // namespace sincrovia::sim
