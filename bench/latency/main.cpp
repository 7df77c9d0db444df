// Receive latency of the decoder link: how long after the last byte of a 32-byte passage
// record is written into the master side of a pseudo-terminal its text reaches the link's
// receive callback on the main thread. The link opens the slave side through a virtual port
// published in a private runtime folder, exactly as it opens a simulated decoder.
//
// The serial worker holds back waiting bytes until the cluster rule lets it read them: more
// than N x (character time) + (extra delay) since it last saw an empty queue, read at the first
// whole millisecond past that. For the link's 190 us and 4 ms and a 32-byte record that limit
// is 10.08 ms; the target is a p99 within 1 ms of it. The gaps between records vary so that
// the records land at every phase of the worker's waits.
// One JSON line for bench/run.sh:
//   bench_latency [--records N]      (default 1000)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "decoder_link/SFormCOM_TestConnessione.h"
#include "serial/PortNames.h"
#include "tools/simulator/DecoderProtocol.h"
#include "util/MainThread.h"
#include "bench/BenchStats.h"

namespace {

using sincrovia::bench::Quantile;

using Clock = std::chrono::steady_clock;

constexpr int kDefaultRecords = 1000;
constexpr char kPortName[] = "benchlat";
constexpr uint32_t kCharTimeUs = 190;  // the link's receive character time
constexpr double kExtraDelayMs = 4.0;  // the link's receive extra delay
constexpr double kSlackMs = 1.0;       // allowed above the rule's limit at p99
constexpr double kUsPerMs = 1000.0;
constexpr int kMinGapMs = 15;  // pause between records, varied over kGapSpreadMs
constexpr int kGapSpreadMs = 61;
constexpr int kGapStride = 17;  // steps through the spread in a scattered order
constexpr auto kDeliveryTimeout = std::chrono::seconds(2);
constexpr auto kServeSlice = std::chrono::milliseconds(50);
constexpr auto kSettle = std::chrono::milliseconds(300);
constexpr int kMaxTransponder = 1000;

int g_delivered = 0;
Clock::time_point g_deliveredAt;

void OnText(const sincrovia::ByteString& /*text*/, int /*reserved*/) {
    g_deliveredAt = Clock::now();
    ++g_delivered;
}

/// Serves main-thread calls until `count` texts have been delivered or the timeout passes.
bool ServeUntilDelivered(int count) {
    const auto end = Clock::now() + kDeliveryTimeout;
    while (g_delivered < count) {
        if (Clock::now() >= end) return false;
        sincrovia::WaitAndServeMainThreadCalls(kServeSlice);
    }
    return true;
}

void ServeFor(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) sincrovia::WaitAndServeMainThreadCalls(std::chrono::milliseconds(5));
}

/// A temporary folder removed with everything in it.
struct TempFolder {
    std::string path;
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sincrovia-benchlat-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~TempFolder() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

int Fail(const char* why) {
    std::fprintf(stderr, "bench_latency: %s\n", why);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int records = kDefaultRecords;
    if (argc == 3 && std::strcmp(argv[1], "--records") == 0) records = std::max(1, std::atoi(argv[2]));

    TempFolder folder;
    if (folder.path.empty()) return Fail("no temporary folder");
    setenv("XDG_RUNTIME_DIR", folder.path.c_str(), 1);
    sincrovia::SetLinkProgramFolder(folder.path + "/");
    sincrovia::SetMainThread();

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return Fail("no pseudo-terminal");
    const char* slave = ptsname(master);
    if (slave == nullptr) return Fail("no pseudo-terminal slave");
    std::error_code ec;
    std::filesystem::create_directories(sincrovia::VirtualPortFolder(), ec);
    std::filesystem::create_symlink(slave, std::filesystem::path(sincrovia::VirtualPortFolder()) / kPortName, ec);
    if (ec) return Fail("cannot publish the virtual port");

    std::vector<double> latencyMs;
    latencyMs.reserve(static_cast<std::size_t>(records));
    {
        sincrovia::TTest link(nullptr, kPortName, OnText, false, "", nullptr);
        if (!link.LinkControl(sincrovia::LinkMode::Open)) return Fail("the link did not open the port");
        ServeFor(kSettle);

        sincrovia::sim::PassageFields fields;
        fields.year = 2026;
        fields.month = 1;
        fields.day = 1;
        for (int i = 0; i < records; ++i) {
            // Every record differs (number, transponder, time), so none is taken for a repeat.
            fields.number = static_cast<uint32_t>(i + 1);
            fields.transponder = static_cast<uint32_t>(1 + i % kMaxTransponder);
            fields.second = i % 60;
            fields.minute = (i / 60) % 60;
            fields.millisecond = (i * 7) % 1000;
            const sincrovia::ByteString record = sincrovia::sim::BuildPassageRecord(fields);
            const int before = g_delivered;
            if (write(master, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
                return Fail("short write to the pseudo-terminal");
            const auto written = Clock::now();
            if (!ServeUntilDelivered(before + 1)) return Fail("a record was not delivered");
            latencyMs.push_back(
                static_cast<double>(
                    std::chrono::duration_cast<std::chrono::microseconds>(g_deliveredAt - written).count()) /
                kUsPerMs);
            if (g_delivered != before + 1) return Fail("one record gave more than one text");
            ServeFor(std::chrono::milliseconds(kMinGapMs + (i * kGapStride) % kGapSpreadMs));
        }
        link.LinkControl(sincrovia::LinkMode::Close);
    }
    close(master);
    sincrovia::ServeMainThreadCalls();

    const double limitMs = sincrovia::sim::kPassageRecordLength * kCharTimeUs / kUsPerMs + kExtraDelayMs;
    const double median = Quantile(latencyMs, 0.5);
    const double p99 = Quantile(latencyMs, 0.99);
    std::printf(
        "{\"figure\": \"receive latency, 32-byte record to text on the main thread (%d records)\", "
        "\"unit\": \"ms\", \"median\": %.3f, \"p99\": %.3f, \"reference\": \"cluster rule limit 32 x %u us + %g ms "
        "= %.2f ms (read at the next whole ms); max %.3f ms\", \"target\": \"p99 <= %.2f ms\", \"met\": %s}\n",
        records, median, p99, static_cast<unsigned>(kCharTimeUs), kExtraDelayMs, limitMs,
        *std::max_element(latencyMs.begin(), latencyMs.end()), limitMs + kSlackMs,
        p99 <= limitMs + kSlackMs ? "true" : "false");
    return 0;
}
