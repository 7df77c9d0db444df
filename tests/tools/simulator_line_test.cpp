// Simulated decoders spoken to the way the program speaks to them: through the published
// virtual port, with plain open/read/write on the pseudo-terminal slave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "SimulatorTestFrames.h"
#include "serial/PortNames.h"
#include "tools/simulator/DecoderClock.h"
#include "tools/simulator/DecoderProtocol.h"
#include "tools/simulator/Simulator.h"

namespace sincrovia::sim {
namespace {

constexpr int kAnswerTimeoutMs = 3000;  // generous: a loaded two-core machine
constexpr int64_t kUsPerMs = 1000;

using simtest::Bytes;
using simtest::Cmd;
using simtest::Frame;

DecoderConfig Config(const std::string& argument) {
    std::string error;
    auto config = ParseDecoderArgument(argument, error);
    EXPECT_TRUE(config.has_value()) << error;
    return config.value_or(DecoderConfig{});
}

int OpenPort(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

void WriteAll(int fd, const ByteString& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd, bytes.data(), bytes.size()));
}

// Reads until `want` bytes have come or `timeoutMs` passed; returns what came.
ByteString ReadFor(int fd, std::size_t want, int timeoutMs) {
    ByteString got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, want - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// The decoder time a passage record carries, in microseconds of Unix time.
int64_t PassageTimeUs(const ByteString& r) {
    const auto b = [&](std::size_t i) { return static_cast<uint8_t>(r[i]); };
    const auto second = LocalSecondToUnixUs(2000 + b(3), b(4), b(5), b(6), b(7), b(8));
    EXPECT_TRUE(second.has_value());
    const uint32_t ms = (uint32_t{b(17)} << 24) | (uint32_t{b(18)} << 16) | (uint32_t{b(19)} << 8) | b(20);
    EXPECT_LT(ms, 1000u);
    return second.value_or(0) + ms * kUsPerMs;
}

uint32_t Field32(const ByteString& r, std::size_t at) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint8_t>(r[at + i]);
    return v;
}

class SimulatorLine : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sincrovia-simtest-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        runtimeDir_ = pattern;
        ::setenv("XDG_RUNTIME_DIR", runtimeDir_.c_str(), 1);
    }
    void TearDown() override {
        simulator_.Stop();
        for (int fd : fds_) ::close(fd);
        std::error_code ignored;
        std::filesystem::remove_all(runtimeDir_, ignored);
    }

    // Adds the decoders and starts; returns false on failure.
    bool Start(const std::vector<std::string>& arguments) {
        std::string error;
        for (const auto& a : arguments)
            if (!simulator_.AddDecoder(Config(a), error)) {
                ADD_FAILURE() << error;
                return false;
            }
        if (!simulator_.Start(error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }

    int Open(std::size_t decoder) {
        const int fd = OpenPort(simulator_.LinkPath(decoder));
        EXPECT_GE(fd, 0) << simulator_.LinkPath(decoder);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }

    std::string runtimeDir_;
    Simulator simulator_;
    std::vector<int> fds_;
};

TEST_F(SimulatorLine, PublishesOneLinkPerDecoderAndRemovesThemOnStop) {
    ASSERT_TRUE(Start({"PITIN", "PITOUT", "START", "T1"}));
    const std::string folder = VirtualPortFolder();
    EXPECT_EQ(runtimeDir_ + "/sincrovia-ports", folder);
    struct stat st {};
    ASSERT_EQ(0, ::stat(folder.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u);
    const char* names[] = {"PITIN", "PITOUT", "START", "T1"};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(names[i], simulator_.PortName(i));
        EXPECT_EQ(folder + "/" + names[i], simulator_.LinkPath(i));
        ASSERT_TRUE(std::filesystem::is_symlink(simulator_.LinkPath(i)));
        EXPECT_EQ(0u, std::filesystem::read_symlink(simulator_.LinkPath(i)).string().find("/dev/pts/"));
    }
    simulator_.Stop();
    for (const char* name : names) EXPECT_FALSE(std::filesystem::exists(folder + "/" + name)) << name;
}

TEST_F(SimulatorLine, StaleLinkIsReplacedAndStrangerFileRefused) {
    const std::string folder = runtimeDir_ + "/sincrovia-ports";
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
    ASSERT_EQ(0, ::symlink("/dev/null", (folder + "/OLD").c_str()));
    ASSERT_TRUE(Start({"OLD"}));
    EXPECT_NE("/dev/null", std::filesystem::read_symlink(folder + "/OLD").string());
    simulator_.Stop();

    std::ofstream(folder + "/FILE") << "not a port";
    Simulator other;
    std::string error;
    ASSERT_TRUE(other.AddDecoder(Config("FILE"), error));
    EXPECT_FALSE(other.Start(error));
    EXPECT_NE(std::string::npos, error.find("not a link")) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/FILE"));
}

struct FirmwareCase {
    const char* legend;
    const char* decoder;
    std::size_t length;
    const char* text;
};

TEST_F(SimulatorLine, FirmwareRequestIsAnsweredWithTheBanner) {
    const FirmwareCase cases[] = {
        {"default: 45 bytes, 6.33.1", "A:latency=0,jitter=0", 45, "teKAN - teVO Ver: 6.33.1"},
        {"long record with its own version", "B:long=1,firmware=7.1,latency=0,jitter=0", 47, "teKAN - teVO Ver: 7.1"},
        {"older firmware", "C:firmware=6.32.9", 45, "teKAN - teVO Ver: 6.32.9"},
    };
    ASSERT_TRUE(Start({cases[0].decoder, cases[1].decoder, cases[2].decoder}));
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(cases[i].legend);
        const int fd = Open(i);
        WriteAll(fd, Cmd(1, 7));
        const ByteString r = ReadFor(fd, 64, 300 + kAnswerTimeoutMs / 10);
        ASSERT_EQ(cases[i].length, r.size()) << HexBytes(r);
        EXPECT_EQ(Bytes({0x00, 0x81, 7}), r.substr(0, 3));
        EXPECT_EQ(3u, r.find(cases[i].text));
        EXPECT_EQ("\r\n", r.substr(r.size() - 2));
        EXPECT_EQ(1u, simulator_.Stats(i).firmwareRequests);
    }
}

struct LapCase {
    const char* legend;
    const char* decoder;
    int64_t expectedAheadMs;  // decoder clock minus PC clock
};

TEST_F(SimulatorLine, ManualLapIsStampedWithTheDecoderClockAtArrival) {
    const LapCase cases[] = {
        {"clock on time", "A:latency=0,jitter=0", 0},
        {"clock ahead", "B:offset=1700,latency=0,jitter=0,transponder=1005", 1700},
        {"clock behind with drift", "C:offset=-800,drift=40,latency=30,jitter=10", -800},
    };
    ASSERT_TRUE(Start({cases[0].decoder, cases[1].decoder, cases[2].decoder}));
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(cases[i].legend);
        const int fd = Open(i);
        const std::size_t before = simulator_.Arrivals().size();
        const int64_t sentUs = PcNowUs();
        WriteAll(fd, Cmd(52, 3));
        const ByteString r = ReadFor(fd, 32, kAnswerTimeoutMs);
        const int64_t answeredUs = PcNowUs();
        ASSERT_EQ(32u, r.size()) << HexBytes(r);
        EXPECT_EQ(Bytes({0x00, 'P', 3}), r.substr(0, 3));
        EXPECT_EQ("\r\n", r.substr(30));
        EXPECT_EQ(1u, Field32(r, 9));  // first passage of this decoder
        EXPECT_EQ(simulator_.Stats(i).manualLaps, 1u);
        EXPECT_EQ(i == 1 ? 1005u : 1u, Field32(r, 13));

        const auto arrivals = simulator_.Arrivals();
        ASSERT_EQ(before + 1, arrivals.size());
        const ArrivalEntry& arrival = arrivals.back();
        EXPECT_EQ(Cmd(52, 3), arrival.bytes);
        EXPECT_LE(sentUs, arrival.unixUs);
        EXPECT_LE(arrival.unixUs, answeredUs);
        // The record carries exactly the decoder's reading at the arrival, to the millisecond.
        const int64_t reading = simulator_.DecoderClockAt(i, arrival.unixUs);
        EXPECT_EQ(reading / kUsPerMs, PassageTimeUs(r) / kUsPerMs);
        // ... and that reading is the PC time plus the decoder's offset (drift is tiny here).
        EXPECT_NEAR(static_cast<double>(sentUs + cases[i].expectedAheadMs * kUsPerMs),
                    static_cast<double>(PassageTimeUs(r)), 100'000.0);
    }
    // The latency is honoured: the third decoder answered no earlier than 30 ms after arrival.
    const int fd = fds_[2];
    const std::size_t before = simulator_.Arrivals().size();
    WriteAll(fd, Cmd(52));
    ASSERT_EQ(32u, ReadFor(fd, 32, kAnswerTimeoutMs).size());
    const int64_t answeredUs = PcNowUs();
    const auto arrivals = simulator_.Arrivals();
    ASSERT_EQ(before + 1, arrivals.size());
    EXPECT_GE(answeredUs - arrivals.back().unixUs, 30 * kUsPerMs);
}

TEST_F(SimulatorLine, SetDateTimeAtMillisecond500BringsTheClockToPcTime) {
    ASSERT_TRUE(Start({"A:offset=-4321,drift=30,latency=0,jitter=0"}));
    const int fd = Open(0);
    // Like the program: wait for millisecond 500 of a PC second, write the whole seconds.
    int64_t now = PcNowUs();
    while ((now / kUsPerMs) % 1000 < 500 || (now / kUsPerMs) % 1000 > 510) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        now = PcNowUs();
    }
    const ClockFields f = LocalFields(now);
    const int dayOfWeek = 0;  // not used by the decoder
    WriteAll(fd, Frame(Bytes({0, 3, 1, f.year - 2000, f.month, f.day, dayOfWeek, f.hour, f.minute, f.second})));
    ASSERT_TRUE(simulator_.WaitForArrivals(1, kAnswerTimeoutMs));
    const int64_t arrivalUs = simulator_.Arrivals()[0].unixUs;
    const auto writtenSecond = LocalSecondToUnixUs(f.year, f.month, f.day, f.hour, f.minute, f.second);
    ASSERT_TRUE(writtenSecond.has_value());
    EXPECT_EQ(*writtenSecond + 500'000, simulator_.DecoderClockAt(0, arrivalUs));
    EXPECT_EQ(1u, simulator_.Stats(0).clockSets);

    const int64_t sentUs = PcNowUs();
    WriteAll(fd, Cmd(52));
    const ByteString r = ReadFor(fd, 32, kAnswerTimeoutMs);
    ASSERT_EQ(32u, r.size());
    // The error left is the write's distance from millisecond 500 plus the line's delay.
    EXPECT_NEAR(static_cast<double>(sentUs), static_cast<double>(PassageTimeUs(r)), 50'000.0);
}

TEST_F(SimulatorLine, ImpossibleDateIsIgnored) {
    ASSERT_TRUE(Start({"A:offset=2000"}));
    const int fd = Open(0);
    WriteAll(fd, Frame(Bytes({0, 3, 1, 26, 2, 30, 0, 12, 0, 0})));  // 30 February
    ASSERT_TRUE(simulator_.WaitForArrivals(1, kAnswerTimeoutMs));
    EXPECT_EQ(1u, simulator_.Stats(0).badDateTimes);
    EXPECT_EQ(0u, simulator_.Stats(0).clockSets);
    EXPECT_NEAR(2'000'000.0, static_cast<double>(simulator_.DecoderClockNow(0) - PcNowUs()), 5'000.0);
}

TEST_F(SimulatorLine, WrongChecksumIsIgnoredAndCounted) {
    ASSERT_TRUE(Start({"A:latency=0,jitter=0"}));
    const int fd = Open(0);
    WriteAll(fd, Frame(Bytes({0, 1, 1}), 2));  // the full sum instead of the halved one
    WriteAll(fd, Cmd(52));
    const ByteString r = ReadFor(fd, 100, 500);
    // Only the lap is answered; a firmware record would come first.
    ASSERT_EQ(32u, r.size()) << HexBytes(r);
    EXPECT_EQ('P', r[1]);
    const DecoderStats stats = simulator_.Stats(0);
    EXPECT_EQ(1u, stats.badChecksums);
    EXPECT_EQ(1u, stats.frames);
    EXPECT_EQ(0u, stats.firmwareRequests);
    ASSERT_EQ(1u, simulator_.Arrivals().size());
    EXPECT_EQ(Cmd(52), simulator_.Arrivals()[0].bytes);
}

TEST_F(SimulatorLine, FrameSplitAcrossWritesWithGarbageBeforeIt) {
    ASSERT_TRUE(Start({"A:latency=0,jitter=0"}));
    const int fd = Open(0);
    const ByteString lap = Cmd(52);
    WriteAll(fd, Bytes({0xFF, 0x0D, 0x0A, 0x00, 0x50}) + lap.substr(0, 4));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0u, simulator_.Arrivals().size());
    const int64_t secondWriteUs = PcNowUs();
    WriteAll(fd, lap.substr(4));
    const ByteString r = ReadFor(fd, 32, kAnswerTimeoutMs);
    ASSERT_EQ(32u, r.size());
    const auto arrivals = simulator_.Arrivals();
    ASSERT_EQ(1u, arrivals.size());
    EXPECT_EQ(lap, arrivals[0].bytes);
    // The arrival is the read that completed the frame.
    EXPECT_GE(arrivals[0].unixUs, secondWriteUs);
    EXPECT_EQ(5u, simulator_.Stats(0).discardedBytes);
}

TEST_F(SimulatorLine, SilentDecoderLogsButNeverAnswers) {
    ASSERT_TRUE(Start({"A:silent=1,latency=0,jitter=0,passages=600,garbage=1000"}));
    const int fd = Open(0);
    WriteAll(fd, Cmd(1));
    WriteAll(fd, Cmd(52));
    EXPECT_EQ(0u, ReadFor(fd, 1, 500).size());
    EXPECT_EQ(2u, simulator_.Arrivals().size());
    EXPECT_EQ(0u, simulator_.Stats(0).passagesSent);
}

TEST_F(SimulatorLine, FramesAreTakenWhenTheirLastByteHasCrossedTheLine) {
    // Two 9-byte reset frames written at once: at 9600 baud, 8N1, each takes 9.4 ms on the
    // line and the second queues behind the first; with baud=0 both are taken at the read.
    const int64_t frameUs = 9 * 10 * 1'000'000LL / 9600;
    ASSERT_TRUE(Start({"SLOW:baud=9600", "FAST:baud=0"}));
    for (std::size_t decoder = 0; decoder < 2; ++decoder) {
        const int fd = Open(decoder);
        const int64_t before = PcNowUs();
        WriteAll(fd, Cmd(7) + Cmd(7));
        ASSERT_TRUE(simulator_.WaitForArrivals(2 * (decoder + 1), kAnswerTimeoutMs));
        const auto arrivals = simulator_.Arrivals();
        const int64_t first = arrivals[2 * decoder].unixUs, second = arrivals[2 * decoder + 1].unixUs;
        const int64_t expectedGap = decoder == 0 ? frameUs : 0;
        EXPECT_GE(first - before, expectedGap) << simulator_.PortName(decoder);
        EXPECT_GE(second - first, expectedGap) << simulator_.PortName(decoder);
        if (decoder == 1) {
            EXPECT_LT(second - first, 1000) << "no byte time with baud=0";
        }
    }
}

struct ResetCase {
    const char* legend;
    const char* decoder;
    int code;
    bool followsTrueTime;
    uint64_t timerResets;
    uint64_t gpsResets;
};

TEST_F(SimulatorLine, ResetsAreCountedAndGpsCorrectsTheClock) {
    const ResetCase cases[] = {
        {"reset timer leaves the clock alone", "A:offset=3000,drift=500", 7, false, 1, 0},
        {"relative reset counts as a timer reset", "B:offset=3000,drift=500", 5, false, 1, 0},
        {"GPS reset without GPS leaves the clock alone", "C:offset=3000,drift=500", 55, false, 0, 1},
        {"GPS reset with GPS: clock follows true time", "D:offset=3000,drift=500,gps=1", 55, true, 0, 1},
    };
    ASSERT_TRUE(Start({cases[0].decoder, cases[1].decoder, cases[2].decoder, cases[3].decoder}));
    std::size_t frames = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(cases[i].legend);
        const int fd = Open(i);
        WriteAll(fd, Cmd(cases[i].code));
        ASSERT_TRUE(simulator_.WaitForArrivals(++frames, kAnswerTimeoutMs));
        EXPECT_EQ(0u, ReadFor(fd, 1, 100).size());  // no answer to a reset
        const DecoderStats stats = simulator_.Stats(i);
        EXPECT_EQ(cases[i].timerResets, stats.timerResets);
        EXPECT_EQ(cases[i].gpsResets, stats.gpsResets);
        const int64_t pc = PcNowUs();
        const int64_t laterPc = pc + 100'000'000;  // 100 s on: any drift would show
        const double ahead = static_cast<double>(simulator_.DecoderClockAt(i, laterPc) - laterPc);
        if (cases[i].followsTrueTime)
            EXPECT_EQ(0.0, ahead);
        else
            EXPECT_GT(ahead, 3'000'000.0 + 40'000.0);  // offset plus 50 ms of drift, roughly
    }
}

TEST_F(SimulatorLine, PortSurvivesCloseAndReopen) {
    ASSERT_TRUE(Start({"A:latency=0,jitter=0"}));
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const int fd = OpenPort(simulator_.LinkPath(0));
        ASSERT_GE(fd, 0);
        WriteAll(fd, Cmd(1));
        EXPECT_EQ(45u, ReadFor(fd, 45, kAnswerTimeoutMs).size());
        ::close(fd);
    }
    EXPECT_EQ(3u, simulator_.Stats(0).firmwareRequests);
    EXPECT_FALSE(simulator_.Stats(0).hungUp);
}

TEST_F(SimulatorLine, HangupClosesTheLineAndRemovesTheLink) {
    // Timed from before the start: the hang-up counts from there, opening the line does not.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Start({"A:hangup=0.3", "B"}));
    const int fd = Open(0);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, kAnswerTimeoutMs));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_NE(0, p.revents & (POLLHUP | POLLERR));
    char byte = 0;
    EXPECT_LE(::read(fd, &byte, 1), 0);
    EXPECT_GE(waited, std::chrono::milliseconds(250));
    EXPECT_TRUE(simulator_.Stats(0).hungUp);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(simulator_.LinkPath(0))));
    // The other decoder goes on.
    EXPECT_FALSE(simulator_.Stats(1).hungUp);
    EXPECT_TRUE(std::filesystem::is_symlink(simulator_.LinkPath(1)));
}

TEST_F(SimulatorLine, UnaskedPassagesAndNoise) {
    ASSERT_TRUE(Start({"A:passages=600,transponder=1", "B:garbage=2000"}));
    const int passages = Open(0);
    const int noise = Open(1);
    const ByteString r = ReadFor(passages, 3 * 32, kAnswerTimeoutMs);
    ASSERT_EQ(96u, r.size());
    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const ByteString record = r.substr(32 * k, 32);
        EXPECT_EQ('P', record[1]);
        EXPECT_EQ("\r\n", record.substr(30));
        const uint32_t transponder = Field32(record, 13);
        EXPECT_GE(transponder, 2u);
        EXPECT_LE(transponder, 1005u);
        EXPECT_NEAR(static_cast<double>(PcNowUs()), static_cast<double>(PassageTimeUs(record)), 2'000'000.0);
    }
    EXPECT_LT(Field32(r, 9), Field32(r, 32 + 9));  // N counts up
    EXPECT_GE(ReadFor(noise, 100, kAnswerTimeoutMs).size(), 100u);
}

// The program itself: arguments, "ready", the arrival log file, clean stop on SIGTERM.
// Found through SINCROVIA_BINARY_DIR, else beside this test program's folder in the build tree.
std::string SimulatorProgram() {
    const char* dir = std::getenv("SINCROVIA_BINARY_DIR");
    if (dir != nullptr && *dir != '\0') return std::string(dir) + "/tools/simulator/sincrovia-decoder-sim";
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return (self.parent_path().parent_path() / "tools/simulator/sincrovia-decoder-sim").string();
}

int RunAndWait(const std::vector<std::string>& arguments) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        std::vector<char*> argv;
        std::string program = SimulatorProgram();
        argv.push_back(program.data());
        std::vector<std::string> copy = arguments;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(SimulatorLine, ProgramExitStatus) {
    if (SimulatorProgram().empty() || ::access(SimulatorProgram().c_str(), X_OK) != 0)
        GTEST_SKIP() << "sincrovia-decoder-sim not built";
    const struct {
        const char* legend;
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {"help", {"--help"}, 0},
        {"no decoder", {}, 2},
        {"five decoders", {"A", "B", "C", "D", "E"}, 2},
        {"bad key", {"A:colour=red"}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.legend);
        EXPECT_EQ(c.status, RunAndWait(c.arguments));
    }
}

TEST_F(SimulatorLine, ProgramPublishesLogsAndStopsCleanly) {
    if (SimulatorProgram().empty() || ::access(SimulatorProgram().c_str(), X_OK) != 0)
        GTEST_SKIP() << "sincrovia-decoder-sim not built";
    const std::string log = runtimeDir_ + "/arrivals.log";
    int out[2];
    ASSERT_EQ(0, ::pipe(out));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::execl(SimulatorProgram().c_str(), "sincrovia-decoder-sim", "--log", log.c_str(),
                "PITIN:offset=1700,latency=0", "T1", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    EXPECT_EQ("ready\n", ReadFor(out[0], 6, kAnswerTimeoutMs));
    const std::string link = VirtualPortFolder() + "/PITIN";
    const int fd = OpenPort(link);
    ASSERT_GE(fd, 0);
    const int64_t sentUs = PcNowUs();
    WriteAll(fd, Cmd(52));
    const ByteString r = ReadFor(fd, 32, kAnswerTimeoutMs);
    ::close(fd);
    ASSERT_EQ(32u, r.size());
    EXPECT_NEAR(static_cast<double>(sentUs + 1'700'000), static_cast<double>(PassageTimeUs(r)), 100'000.0);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(VirtualPortFolder() + "/T1")));

    std::ifstream in(log);
    std::string stamp, name, rest;
    ASSERT_TRUE(in >> stamp >> name);
    std::getline(in, rest);
    EXPECT_EQ("PITIN", name);
    EXPECT_EQ(" 00 34 01 00 00 00 1A 0D 0A", rest);
    const int64_t arrivalUs = std::stoll(stamp);
    EXPECT_GE(arrivalUs, sentUs);
    EXPECT_LT(arrivalUs - sentUs, 2'000'000);
}

}  // namespace
}  // namespace sincrovia::sim
