// Speed of the serial component on pseudo-terminals, each figure beside its reference measured
// in the same run: a 1 MB burst from the line against a plain read(2) loop, a 64 KiB write
// against a plain write(2) loop, the delay from crossing the cluster size to the cluster event,
// the CPU used by four open idle ports, and the CPU used after their lines hung up.
//
// The component runs with the decoder link's settings (115000 Bd, character time 190 us, extra
// delay 4 ms, cluster size 96, receive queue 8192). The far end writes from its own thread.
// Prints one JSON line per figure for bench/run.sh.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialNG.h"
#include "util/MainThread.h"
#include "bench/BenchStats.h"

namespace {

using sincrovia::bench::Median;
using sincrovia::bench::Quantile;

using Clock = std::chrono::steady_clock;
using sincrovia::TSerialPortNG;

constexpr std::size_t kBurstBytes = 1024 * 1024;
constexpr std::size_t kWriteBytes = 64 * 1024;
constexpr int kBurstRuns = 5;
constexpr int kWriteRuns = 9;
constexpr int kCrossings = 200;
constexpr std::size_t kClusterSize = 96;
constexpr std::size_t kFirstHalf = 50;             // waits below the cluster size ...
constexpr std::size_t kSecondHalf = 50;            // ... until these bytes cross it
constexpr std::uint16_t kLongExtraDelayMs = 2000;  // so only the crossing ends the wait
constexpr int kPorts = 4;
constexpr auto kIdleTime = std::chrono::seconds(5);
constexpr auto kHangUpTime = std::chrono::seconds(3);
constexpr auto kSettle = std::chrono::milliseconds(20);
constexpr auto kServeSlice = std::chrono::milliseconds(20);
// The idle figures serve the hand-over as an event loop does: asleep until a call comes.
constexpr auto kIdleSlice = std::chrono::milliseconds(1000);
constexpr auto kGiveUp = std::chrono::seconds(30);
constexpr double kMinBurstMBps = 5.0;
constexpr double kMaxRatio = 3.0;
constexpr double kMaxCrossingP99Ms = 1.0;
constexpr double kMaxIdlePercent = 0.5;
constexpr double kBytesPerMB = 1e6;
constexpr double kPercent = 100.0;
constexpr double kMsPerS = 1000.0;

struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        char name[128];
        if (ptsname_r(master, name, sizeof name) == 0) slave = name;
        // The far end is raw too, so that it passes bytes unchanged.
        termios t{};
        if (tcgetattr(master, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(master, TCSANOW, &t);
        }
    }
    ~Pty() { Close(); }
    void Close() {
        if (master >= 0) ::close(master);
        master = -1;
    }
};

void WriteAll(int fd, const char* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

// Reads count bytes from fd (blocking through poll), or gives up when the line ends.
void ReadAll(int fd, std::size_t count) {
    std::vector<char> buffer(65536);
    std::size_t got = 0;
    while (got < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) return;
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
}

// The slave end opened as a plain program would: raw, non-blocking.
int OpenRawSlave(const Pty& pty) {
    const int fd = ::open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void ConfigureLikeTheLink(TSerialPortNG& port, const std::string& path) {
    port.SetCommPort(path);
    port.SetBaudRate(115000);
    port.SetRTOCharDelayTime(190);
    port.SetRTOExtraDelayTime(4);
    port.SetClusterSize(kClusterSize);
    port.SetRxQueueSize(8192);
    port.SetWTOCharDelayTime(190);
}

template <typename Pred>
bool Serve(Pred done) {
    const auto deadline = Clock::now() + kGiveUp;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        sincrovia::WaitAndServeMainThreadCalls(kServeSlice);
    }
    return true;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Prints one figure; gives back whether its target was met.
bool Row(const char* figure, const char* unit, double median, double p99, const std::string& reference,
         const char* target, bool met) {
    std::printf(
        "{\"figure\": \"%s\", \"unit\": \"%s\", \"median\": %.4g, \"p99\": %.4g, "
        "\"reference\": \"%s\", \"target\": \"%s\", \"met\": %s}\n",
        figure, unit, median, p99, reference.c_str(), target, met ? "true" : "false");
    std::fflush(stdout);
    return met;
}

// MB/s of one burst into the component.
double BurstIntoComponent() {
    Pty pty;
    TSerialPortNG port;
    ConfigureLikeTheLink(port, pty.slave);
    std::size_t received = 0;
    port.OnRxClusterEvent = [&received](TSerialPortNG* p) {
        if (p->FirstClusterSize() >= 0) received += p->TakeClusterText().size();
    };
    port.SetActive(true);
    const std::string bytes(kBurstBytes, 'x');
    const auto start = Clock::now();
    std::thread far([&] { WriteAll(pty.master, bytes.data(), bytes.size()); });
    const bool ok = Serve([&] { return received >= kBurstBytes; });
    const auto took = Clock::now() - start;
    far.join();
    port.SetActive(false);
    return ok ? static_cast<double>(kBurstBytes) / kBytesPerMB / Seconds(took) : 0.0;
}

// MB/s of one burst read by a plain read(2) loop on the slave.
double BurstIntoReadLoop() {
    Pty pty;
    const int fd = OpenRawSlave(pty);
    const std::string bytes(kBurstBytes, 'x');
    const auto start = Clock::now();
    std::thread far([&] { WriteAll(pty.master, bytes.data(), bytes.size()); });
    ReadAll(fd, kBurstBytes);
    const auto took = Clock::now() - start;
    far.join();
    ::close(fd);
    return static_cast<double>(kBurstBytes) / kBytesPerMB / Seconds(took);
}

// Milliseconds of one 64 KiB write through the component (until OnWriteDone).
double WriteThroughComponent() {
    Pty pty;
    TSerialPortNG port;
    ConfigureLikeTheLink(port, pty.slave);
    bool done = false;
    port.OnWriteDone = [&done](TSerialPortNG*) { done = true; };
    port.SetActive(true);
    const std::string bytes(kWriteBytes, 'w');
    std::thread far([&] { ReadAll(pty.master, kWriteBytes); });
    const auto start = Clock::now();
    port.SendText(bytes);
    Serve([&] { return done; });
    const auto took = Clock::now() - start;
    far.join();
    port.SetActive(false);
    return Seconds(took) * kMsPerS;
}

// Milliseconds of one 64 KiB plain write(2) loop on the slave.
double WriteThroughWriteLoop() {
    Pty pty;
    const int fd = OpenRawSlave(pty);
    const std::string bytes(kWriteBytes, 'w');
    std::thread far([&] { ReadAll(pty.master, kWriteBytes); });
    const auto start = Clock::now();
    WriteAll(fd, bytes.data(), bytes.size());
    const auto took = Clock::now() - start;
    far.join();
    ::close(fd);
    return Seconds(took) * kMsPerS;
}

// Milliseconds from the write that crosses the cluster size to the cluster event.
std::vector<double> CrossingDelays() {
    Pty pty;
    TSerialPortNG port;
    ConfigureLikeTheLink(port, pty.slave);
    port.SetRTOExtraDelayTime(kLongExtraDelayMs);
    std::vector<double> delays;
    Clock::time_point crossedAt;
    bool clustered = false;
    port.OnRxClusterEvent = [&](TSerialPortNG* p) {
        const Clock::time_point now = Clock::now();
        if (p->FirstClusterSize() >= 0) p->TakeClusterText();
        clustered = true;
        delays.push_back(std::chrono::duration<double, std::milli>(now - crossedAt).count());
    };
    port.SetActive(true);
    const std::string first(kFirstHalf, 'a');
    const std::string second(kSecondHalf, 'b');
    for (int i = 0; i < kCrossings; ++i) {
        clustered = false;
        WriteAll(pty.master, first.data(), first.size());
        if (!Serve([&] { return port.CommStateInQueue() == kFirstHalf; })) break;
        // Let the worker settle into its wait, then cross.
        const auto settle = Clock::now() + kSettle;
        while (Clock::now() < settle) sincrovia::WaitAndServeMainThreadCalls(kSettle);
        crossedAt = Clock::now();
        WriteAll(pty.master, second.data(), second.size());
        if (!Serve([&] { return clustered; })) break;
    }
    port.SetActive(false);
    return delays;
}

// Milliseconds from a write on the far end to a plain poll(2) on the line waking up: what the
// machine's scheduling allows at best.
std::vector<double> PlainWakeDelays() {
    Pty pty;
    const int fd = OpenRawSlave(pty);
    std::vector<double> delays;
    Clock::time_point writtenAt;
    const std::string second(kSecondHalf, 'b');
    for (int i = 0; i < kCrossings; ++i) {
        std::thread far([&] {
            std::this_thread::sleep_for(kSettle);
            writtenAt = Clock::now();
            WriteAll(pty.master, second.data(), second.size());
        });
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 1000);
        const Clock::time_point woke = Clock::now();
        far.join();
        delays.push_back(std::chrono::duration<double, std::milli>(woke - writtenAt).count());
        char buffer[256];
        while (::read(fd, buffer, sizeof buffer) > 0) {}
    }
    ::close(fd);
    return delays;
}

// Percent of one core used by four open ports over `time`; with hangUp their lines are hung up
// (the far ends closed) first.
double PortsCpuPercent(bool hangUp, std::chrono::seconds time) {
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::unique_ptr<TSerialPortNG>> ports;
    for (int i = 0; i < kPorts; ++i) {
        ptys.push_back(std::make_unique<Pty>());
        ports.push_back(std::make_unique<TSerialPortNG>());
        ConfigureLikeTheLink(*ports.back(), ptys.back()->slave);
        ports.back()->SetActive(true);
    }
    if (hangUp) {
        for (auto& pty : ptys) pty->Close();
        const auto settle = Clock::now() + std::chrono::milliseconds(500);
        while (Clock::now() < settle) sincrovia::WaitAndServeMainThreadCalls(kServeSlice);
    }
    const double cpu0 = CpuSeconds();
    const auto start = Clock::now();
    while (Clock::now() - start < time) sincrovia::WaitAndServeMainThreadCalls(kIdleSlice);
    const double percent = (CpuSeconds() - cpu0) / Seconds(Clock::now() - start) * kPercent;
    for (auto& port : ports) port->SetActive(false);
    return percent;
}

std::string Fixed(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3g", v);
    return text;
}

}  // namespace

int main() {
    sincrovia::SetMainThread();
    bool allMet = true;

    std::vector<double> component, plain;
    for (int i = 0; i < kBurstRuns; ++i) {
        plain.push_back(BurstIntoReadLoop());
        component.push_back(BurstIntoComponent());
    }
    {
        const double m = Median(component), r = Median(plain);
        allMet &= Row("serial: 1 MB burst from a pty into the component", "MB/s", m,
                      *std::min_element(component.begin(), component.end()),
                      "plain read(2) loop " + Fixed(r) + " MB/s (" + Fixed(r / m) + "x)",
                      ">= 5 MB/s, within 3x of read(2)", m >= kMinBurstMBps && m * kMaxRatio >= r);
    }

    std::vector<double> writes, plainWrites;
    for (int i = 0; i < kWriteRuns; ++i) {
        plainWrites.push_back(WriteThroughWriteLoop());
        writes.push_back(WriteThroughComponent());
    }
    {
        const double m = Median(writes), r = Median(plainWrites);
        allMet &= Row("serial: 64 KiB write into a pty", "ms", m, Quantile(writes, 0.99),
                      "plain write(2) loop " + Fixed(r) + " ms (" + Fixed(m / r) + "x), p99 " +
                          Fixed(Quantile(plainWrites, 0.99)) + " ms",
                      "within 3x of write(2)", m <= kMaxRatio * r);
    }

    {
        const std::vector<double> d = CrossingDelays();
        const std::vector<double> plainWake = PlainWakeDelays();
        const double p99 = Quantile(d, 0.99);
        allMet &= Row("serial: cluster-size crossing to the cluster event", "ms", Median(d), p99,
                      std::to_string(d.size()) + " crossings; plain poll(2) wake-up median " +
                          Fixed(Median(plainWake)) + " ms, p99 " + Fixed(Quantile(plainWake, 0.99)) + " ms",
                      "p99 <= 1 ms", d.size() == static_cast<std::size_t>(kCrossings) && p99 <= kMaxCrossingP99Ms);
    }

    // The CPU of four ports, open and idle, then after their lines hung up.
    const struct {
        const char* figure;
        bool hangUp;
        std::chrono::seconds time;
        const char* reference;
    } cpuFigures[] = {
        {"serial: CPU of four open idle ports", false, kIdleTime, "5 s"},
        {"serial: CPU of four ports after a hang-up", true, kHangUpTime, "3 s"},
    };
    for (const auto& f : cpuFigures) {
        const double percent = PortsCpuPercent(f.hangUp, f.time);
        allMet &= Row(f.figure, "% core", percent, percent, f.reference, "< 0.5 %", percent < kMaxIdlePercent);
    }
    return allMet ? 0 : 1;
}
