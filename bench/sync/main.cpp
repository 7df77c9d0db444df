// Runs "3-Synchro Date and Time" again and again in an offscreen window against four
// simulated decoders in this process, then prints, from the simulator's arrival log:
//   - how far after millisecond 500 of the PC second the last byte of each Cmd 03 frame reached
//     its decoder (the simulated lines take the frames at 115200 baud), with the program's
//     early start and, in a second series of the same run, without it,
//   - the spread between the four Cmd 03 frames of one write,
//   - the spread between the four Cmd 52 frames of one read,
// and, from the program's side, how long the four writes to the ports took together.
// The default puts the simulator and the program on every core, as on a race PC. With
// --sim-own-core (two cores or more) the simulator's thread gets a core of its own and the
// program the others: a simulator left waiting for a core stamps frames late, which the
// figures would charge to the program.
// One JSON object per line: {"figure", "unit", "median", "p99", "reference", "target", "met"}.
//   bench_sync [--runs N] [--sim-own-core]      (default 20 runs)
#include <QApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include "app/Procedures.h"
#include "app/QtDesktop.h"
#include "app/SSincrovia.h"
#include "decoder_link/Frames.h"
#include "decoder_link/Reception.h"
#include "decoder_link/SFormCOM_TestConnessione.h"
#include "serial/CommPortList.h"
#include "tools/simulator/Simulator.h"
#include "util/DesktopServices.h"
#include "util/MainThread.h"
#include "bench/BenchStats.h"
#include "util/DateTime.h"

namespace {

using sincrovia::bench::PrintRow;
using sincrovia::bench::Quantile;

using sincrovia::sim::ArrivalEntry;

constexpr int kDefaultRuns = 20;
constexpr int kSetDateTimeCode = static_cast<int>(sincrovia::DecoderCommand::SetDateTime);
constexpr int kManualLapCode = static_cast<int>(sincrovia::DecoderCommand::ManualLap);
constexpr int kSyncTimeoutMs = 30000;
constexpr double kUsPerMs = 1000.0;
constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kTargetUs = 500'000;
constexpr double kOffsetTargetMs = 0.5;
constexpr double kSkewTargetMs = 0.5;
constexpr int kWriteSamples = 200;
/// Plain reads timed against the simulator's log: four readings each.
constexpr int kTimedReads = 25;
constexpr double kTimingTargetMs = 0.5;
/// Bytes through a bare pseudo-terminal for the line's own delivery time, and their spacing.
constexpr int kPtySamples = 200;
constexpr auto kPtySpacing = std::chrono::milliseconds(5);
constexpr int kPtyWaitMs = 1000;
/// The truth lies within the reported bound when the error is at most this share of it.
constexpr double kWithinBound = 1.0;
/// A frame the decoders ignore (its checksum is wrong), for timing single writes.
constexpr char kIgnoredFrame[] = {'\0', '\x07', '\x01', '\0', '\0', '\0', '\0', '\r', '\n'};

int64_t SteadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// How long a pseudo-terminal itself takes to hand a few bytes from one side to a reader
/// waiting in poll(2) on the other (ms): every figure timed through the simulator's lines
/// carries this delivery once (the offset) or twice (the round trip), whatever the program does.
std::vector<double> PtyDeliveryMs() {
    std::vector<double> delays;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0) ::close(master);
        return delays;
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || ::tcgetattr(slave, &raw) != 0) {
        if (slave >= 0) ::close(slave);
        ::close(master);
        return delays;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    std::atomic<int64_t> sentUs{0};
    std::thread reader([&] {
        char buffer[64];
        for (int i = 0; i < kPtySamples; ++i) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, kPtyWaitMs) <= 0) break;
            const int64_t now = sincrovia::NowUnixUs();
            if (::read(master, buffer, sizeof buffer) <= 0) break;
            delays.push_back(static_cast<double>(now - sentUs.load()) / kUsPerMs);
        }
    });
    for (int i = 0; i < kPtySamples; ++i) {
        std::this_thread::sleep_for(kPtySpacing);
        sentUs.store(sincrovia::NowUnixUs());
        if (::write(slave, kIgnoredFrame, sizeof kIgnoredFrame) < 0) break;
    }
    reader.join();
    ::close(slave);
    ::close(master);
    return delays;
}

int Code(const ArrivalEntry& e) { return e.bytes.size() > 1 ? static_cast<unsigned char>(e.bytes[1]) : -1; }

/// Spread (ms) of the arrivals of `code` in groups of `group` consecutive frames.
std::vector<double> GroupSpreads(const std::vector<ArrivalEntry>& all, int code, std::size_t group) {
    std::vector<int64_t> times;
    for (const auto& e : all)
        if (Code(e) == code) times.push_back(e.unixUs);
    std::vector<double> spreads;
    for (std::size_t i = 0; i + group <= times.size(); i += group) {
        const auto [lo, hi] = std::minmax_element(times.begin() + static_cast<std::ptrdiff_t>(i),
                                                  times.begin() + static_cast<std::ptrdiff_t>(i + group));
        spreads.push_back(static_cast<double>(*hi - *lo) / kUsPerMs);
    }
    return spreads;
}

/// Runs `start` on a core of its own, so that the threads it starts stay there, and leaves the
/// calling thread (and the threads it starts later) on the other cores. Runs it where it is,
/// and returns false, when the process may use fewer than two cores.
bool StartOnOwnCore(const std::function<void()>& start) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2) {
        start();
        return false;
    }
    int own = CPU_SETSIZE - 1;
    while (!CPU_ISSET(own, &allowed)) --own;
    cpu_set_t single;
    CPU_ZERO(&single);
    CPU_SET(own, &single);
    if (::pthread_setaffinity_np(::pthread_self(), sizeof single, &single) != 0) {
        start();
        return false;
    }
    start();
    CPU_CLR(own, &allowed);
    return ::pthread_setaffinity_np(::pthread_self(), sizeof allowed, &allowed) == 0;
}

bool PumpUntil(sincrovia::TSincrovia& w, const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        sincrovia::ServeMainThreadCalls();
        w.UpdateActions();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    int runs = kDefaultRuns;
    bool simOwnCore = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[i + 1]));
        if (std::string(argv[i]) == "--sim-own-core") simOwnCore = true;
    }

    // Ports, settings and the links' configuration in folders of our own.
    const std::filesystem::path base =
        std::filesystem::temp_directory_path() / ("sincrovia-bench-sync-" + std::to_string(::getpid()));
    std::filesystem::create_directories(base / "run");
    std::filesystem::create_directories(base / "prog");
    setenv("XDG_RUNTIME_DIR", (base / "run").c_str(), 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

    sincrovia::SetMainThread();
    QApplication app(argc, argv);
    sincrovia::RecordingDesktop desktop;
    sincrovia::SetDesktop(&desktop);
    sincrovia::WireMainThreadToQt();
    sincrovia::SetLinkProgramFolder((base / "prog").string());

    int status = 0;
    {
        sincrovia::sim::Simulator sim;
        std::string error;
        const std::pair<const char*, int64_t> decoders[] = {
            {"PITIN", 1700}, {"PITOUT", -800}, {"START", 300}, {"T1", 40}};
        for (const auto& [name, offset] : decoders) {
            sincrovia::sim::DecoderConfig c;
            c.name = name;
            c.offsetMs = offset;
            if (!sim.AddDecoder(c, error)) {
                std::fprintf(stderr, "decoder: %s\n", error.c_str());
                return 1;
            }
        }
        bool started = false;
        const auto start = [&] { started = sim.Start(error); };
        const bool ownCore = simOwnCore && StartOnOwnCore(start);
        if (!simOwnCore) start();
        if (!started) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        const char* const cores = ownCore ? "simulator on a core of its own" : "simulator and program share the cores";

        sincrovia::TStartupServices services;
        services.ListPorts = [] {
            std::vector<std::string> ports;
            sincrovia::ListSerialPorts(ports);
            return ports;
        };
        std::vector<double> writeUs;
        std::vector<double> alignUs;
        std::vector<double> componentUs, plainUs;
        std::vector<sincrovia::RoundResult> readRounds;
        std::size_t firstTimedRead = 0;
        std::map<int64_t, int64_t> trueOffsets;  // stamp instant -> decoder clock minus PC clock
        // One series of synchronisations in a window of its own; `align` chooses whether the
        // writes leave early by the frames' time on the line.
        const auto series = [&](bool align) {
            sincrovia::TSincrovia window(services);
            sincrovia::TProcedureOptions options;
            options.settingsFolder = (base / "prog").string();
            options.alignAtDecoder = align;
            options.onRoundEvaluated = [&, align](const sincrovia::RoundResult& round) {
                if (align && round.kind == sincrovia::RoundKind::Read) readRounds.push_back(round);
            };
            options.onSyncWrite = [&](int64_t alignedUs) {
                writeUs.push_back(static_cast<double>(sincrovia::NowUnixUs() - alignedUs));
                if (align) alignUs.push_back(static_cast<double>(alignedUs % kUsPerSecond - kTargetUs));
            };
            sincrovia::TSincroviaProcedures* procedures = sincrovia::AttachProcedures(window, options);
            window.SetStartupWarningEnabled(false);
            window.show();
            for (int slot = 1; slot <= 4; ++slot) {
                auto* list = window.PortList(slot);
                window.RefillPortList(list);
                list->setCurrentIndex(
                    list->findText(QString::fromStdString(sim.PortName(static_cast<std::size_t>(slot - 1)))));
            }
            const auto idle = [&] { return !window.ThreadedTimer1.Enabled() && !window.FBusy; };
            window.UpdateActions();
            window.SpButComOpen->click();
            if (!PumpUntil(window, idle, kSyncTimeoutMs)) status = 1;

            for (int run = 0; run < runs && status == 0; ++run) {
                window.UpdateActions();
                if (!window.SpBtWriteDtAndTm->isEnabled()) {
                    std::fprintf(stderr, "synchronisation not available (run %d)\n", run);
                    status = 1;
                    break;
                }
                window.SpBtWriteDtAndTm->click();
                if (!PumpUntil(window, idle, kSyncTimeoutMs)) {
                    std::fprintf(stderr, "synchronisation did not end (run %d)\n", run);
                    status = 1;
                }
                std::fprintf(stderr, "run %d: %s\n", run + 1, window.LblSyncResult->text().toStdString().c_str());
            }
            // Plain reads after the last write, each reading timed by the program and by the
            // simulated decoders' own log: what the round trip and the offset are worth.
            for (int read = 0; align && read < kTimedReads && status == 0; ++read) {
                if (read == 0) firstTimedRead = sim.Arrivals().size();
                window.UpdateActions();
                window.SpBtReadDtAndTm->click();
                if (!PumpUntil(window, idle, kSyncTimeoutMs)) status = 1;
            }
            // The decoders' true offsets at the stamps of the timed reads, before a later
            // synchronisation moves their clocks.
            if (align) {
                const auto logged = sim.Arrivals();
                for (std::size_t k = firstTimedRead; k < logged.size(); ++k)
                    for (std::size_t d = 0; d < sim.DecoderCount(); ++d)
                        if (logged[k].decoder == sim.PortName(d) && Code(logged[k]) == kManualLapCode)
                            trueOffsets[logged[k].unixUs] = sim.DecoderClockAt(d, logged[k].unixUs) - logged[k].unixUs;
            }
            // One write through the serial component against the plain system call on the same
            // virtual port: what the component adds to a write.
            const sincrovia::ByteString frame(kIgnoredFrame, sizeof kIgnoredFrame);
            sincrovia::TTest* link = align ? procedures->Slot(1).DecoderLink : nullptr;
            if (link != nullptr) {
                const int fd = ::open(sim.LinkPath(0).c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
                // The first system call after a sleep pays for waking the CPU (about 17 us on
                // these machines), so the two calls take turns going first and each is timed
                // only when it goes second, as the four writes after the spin do.
                for (int i = 0; i < kWriteSamples && fd >= 0; ++i) {
                    const bool componentFirst = i % 2 == 0;
                    const auto component = [&] { link->WriteFrame(frame); };
                    const auto plain = [&] { return ::write(fd, frame.data(), frame.size()) >= 0; };
                    if (componentFirst)
                        component();
                    else if (!plain())
                        break;
                    const int64_t t0 = SteadyUs();
                    if (componentFirst) {
                        if (!plain()) break;
                        plainUs.push_back(static_cast<double>(SteadyUs() - t0));
                    } else {
                        component();
                        componentUs.push_back(static_cast<double>(SteadyUs() - t0));
                    }
                    PumpUntil(
                        window, [] { return false; }, 2);
                }
                if (fd >= 0) ::close(fd);
            }
            window.CloseAllLinks();
        };
        series(true);
        const std::size_t alignedFrames = sim.Arrivals().size();
        if (status == 0) series(false);

        const auto all = sim.Arrivals();
        const std::vector<ArrivalEntry> arrivals(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(alignedFrames));
        const auto offsetsOf = [](auto first, auto last) {
            std::vector<double> offsets;
            for (auto e = first; e != last; ++e)
                if (Code(*e) == kSetDateTimeCode)
                    offsets.push_back(static_cast<double>(e->unixUs % kUsPerSecond - kTargetUs) / kUsPerMs);
            return offsets;
        };
        const std::vector<double> offsets = offsetsOf(arrivals.begin(), arrivals.end());
        const std::vector<double> unaligned =
            offsetsOf(all.begin() + static_cast<std::ptrdiff_t>(alignedFrames), all.end());
        const std::vector<double> delivery = PtyDeliveryMs();
        char line[200];
        std::snprintf(line, sizeof line, "a bare pty's own delivery in the same run: median %.3f ms, p99 %.3f ms",
                      Quantile(delivery, 0.5), Quantile(delivery, 0.99));
        char reference[400];
        std::snprintf(reference, sizeof reference,
                      "without the early start: median %.3f ms, p99 %.3f ms; the program wrote at %+.3f ms median; %s",
                      Quantile(unaligned, 0.5), Quantile(unaligned, 0.99), Quantile(alignUs, 0.5) / kUsPerMs, line);
        PrintRow("sync Cmd 03 last byte at the decoder after millisecond 500 (115200 baud)", offsets, "ms", reference,
                 "p99 <= 0.5 ms", kOffsetTargetMs);
        PrintRow("sync Cmd 03 skew between the four decoders", GroupSpreads(arrivals, kSetDateTimeCode, 4), "ms",
                 "four ports written back to back", "p99 <= 0.5 ms", kSkewTargetMs);
        PrintRow("sync Cmd 52 skew between the four decoders", GroupSpreads(arrivals, kManualLapCode, 4), "ms",
                 "read after each synchronisation", "p99 <= 0.5 ms", kSkewTargetMs);
        // The k-th timed Cmd 52 of a decoder is answered by its k-th passage record after it.
        std::vector<double> roundTripErrorMs, offsetErrorMs, stampErrorMs, boundShare;
        const auto replies = sim.Replies();
        for (std::size_t d = 0; d < sim.DecoderCount(); ++d) {
            const std::string name = sim.PortName(d);
            std::vector<int64_t> taken, answered;
            for (std::size_t k = firstTimedRead; k < alignedFrames; ++k)
                if (all[k].decoder == name && Code(all[k]) == kManualLapCode) taken.push_back(all[k].unixUs);
            for (const auto& r : replies)
                if (r.decoder == name && r.bytes.size() == sincrovia::kPassageRecordLength && !taken.empty() &&
                    r.unixUs > taken.front())
                    answered.push_back(r.unixUs);
            const int64_t requestLineUs =
                sincrovia::TransmissionUs(sincrovia::kShortFrameLength, sincrovia::LineCharacter{115200, 8, false, 0});
            std::size_t k = 0;
            for (const auto& round : readRounds) {
                const sincrovia::RoundReading& r = round.readings[d];
                if (r.status != sincrovia::ReadingStatus::Ok || !r.offsetUs || k >= taken.size() ||
                    k >= answered.size())
                    continue;
                const int64_t simRoundTrip = answered[k] - (taken[k] - requestLineUs);
                const int64_t trueOffset = trueOffsets[taken[k]];
                roundTripErrorMs.push_back(
                    std::fabs(static_cast<double>((r.arrivalUnixUs - r.requestUnixUs) - simRoundTrip)) / kUsPerMs);
                offsetErrorMs.push_back(std::fabs(static_cast<double>(*r.offsetUs - trueOffset)) / kUsPerMs);
                stampErrorMs.push_back(std::fabs(static_cast<double>(r.requestUnixUs + requestLineUs - taken[k])) /
                                       kUsPerMs);
                if (r.uncertaintyUs && *r.uncertaintyUs > 0)
                    boundShare.push_back(std::fabs(static_cast<double>(*r.offsetUs - trueOffset)) /
                                         static_cast<double>(*r.uncertaintyUs));
                ++k;
            }
        }
        char timed[400];
        std::snprintf(timed, sizeof timed,
                      "%zu readings against the simulator's request and reply log; %s, twice in a round trip; %s",
                      roundTripErrorMs.size(), line, cores);
        PrintRow("round trip reported by the program, error", roundTripErrorMs, "ms", timed, "p99 <= 0.5 ms",
                 kTimingTargetMs);
        // The offset rests on two things: the instant the program gives the decoder's stamp
        // (the request's last byte at the decoder) and the decoder's reading, which counts whole
        // milliseconds and so is off by up to half of one by itself, whatever the program does.
        std::snprintf(timed, sizeof timed,
                      "the request's last byte at the decoder by the program's reckoning, against the simulator's "
                      "log; %s; %s",
                      line, cores);
        PrintRow("instant of the decoder's stamp reported by the program, error", stampErrorMs, "ms", timed,
                 "p99 <= 0.5 ms", kTimingTargetMs);
        std::snprintf(timed, sizeof timed,
                      "against each simulated decoder's true clock at its stamp; the decoder's whole-ms reading alone "
                      "is up to 0.5 ms off; %s",
                      cores);
        PrintRow("offset to PC reported by the program, error", offsetErrorMs, "ms", timed, "p99 <= 0.5 ms",
                 kTimingTargetMs);
        PrintRow("offset error as a share of the reported uncertainty", boundShare, "x",
                 "1 = at the edge of the +/- bound shown with the reading", "p99 <= 1 (truth within the bound)",
                 kWithinBound);
        std::vector<double> writeMs;
        for (const double us : writeUs) writeMs.push_back(us / kUsPerMs);
        PrintRow("sync four-port write duration in the program", writeMs, "ms", "clock read to last write returned", "",
                 0);
        char plain[120];
        std::snprintf(plain, sizeof plain, "plain write(2) on the same port: median %.1f us, p99 %.1f us",
                      Quantile(plainUs, 0.5), Quantile(plainUs, 0.99));
        PrintRow("serial component write call (9 bytes)", componentUs, "us", plain, "", 0);
        sim.Stop();
    }
    sincrovia::UnwireMainThreadFromQt();
    sincrovia::SetDesktop(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    return status;
}
