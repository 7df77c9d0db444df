// bench_history: fills a store with a season (100,000 rounds of four readings over 100 days,
// a synchronisation opening each day), timing every round's write as the window makes it,
// then opens the History tab on it and reports the file's size per 1,000 rounds.
// One JSON object per line: {"figure", "unit", "median", "p99", "reference", "target", "met"}.
#include <QApplication>
#include <QElapsedTimer>
#include <QTabWidget>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/HistoryTab.h"
#include "app/SSincrovia.h"
#include "history/HistoryStore.h"
#include "app/QtDesktop.h"
#include "util/MainThread.h"
#include "bench/BenchStats.h"
#include "util/DateTime.h"

namespace {

using sincrovia::bench::PrintRow;
using sincrovia::bench::Quantile;

namespace fs = std::filesystem;

constexpr int kDays = 100;
constexpr int kRoundsPerDay = 1000;
constexpr int kSlots = 4;
constexpr int kTabOpenings = 7;
constexpr auto kPauseBetweenDays = std::chrono::milliseconds(100);
constexpr int64_t kUsPerSecond = 1'000'000;
constexpr int64_t kUsPerDay = 86'400 * kUsPerSecond;
constexpr int64_t kDayStartUs = 8 * 3600 * kUsPerSecond;  // first round at 08:00 local-ish
constexpr int64_t kRoundEveryUs = 30 * kUsPerSecond;
constexpr double kStoreTargetMs = 2.0;
constexpr double kOpenTargetMs = 300.0;
constexpr double kNsPerMs = 1e6;
constexpr double kBytesPerKiB = 1024.0;
constexpr std::array<const char*, kSlots> kNames{"PIT IN", "PIT OUT", "START", "T1"};
constexpr std::array<int, kSlots> kDriftPpm{18, -3, 7, -6};

sincrovia::history::StoredRound SeasonRound(int64_t dayStartUs, int day, int index) {
    sincrovia::history::StoredRound r;
    r.startUnixUs = dayStartUs + kDayStartUs + index * kRoundEveryUs;
    r.kind = index == 0 ? "sync" : (index % 10 == 0 ? "read" : "check");
    r.thresholdMs = 50;
    r.verdict = "Synchronization OK";
    const double sinceSync = static_cast<double>(index) * static_cast<double>(kRoundEveryUs) / 1e6;
    for (int s = 0; s < kSlots; ++s) {
        sincrovia::history::StoredReading x;
        x.slot = s + 1;
        x.decoder = kNames[static_cast<std::size_t>(s)];
        x.port = "ttyUSB" + std::to_string(s);
        x.firmware = "6.40.0";
        x.requestUnixUs = r.startUnixUs;
        x.arrivalUnixUs = r.startUnixUs + 4000 + s * 150;
        x.roundTripUs = 4000 + s * 150;
        x.decoderTime = "2026-12-09 10:00:00.123";
        x.offsetUs = static_cast<int64_t>(kDriftPpm[static_cast<std::size_t>(s)] * sinceSync) + (day % 7) * 100;
        x.status = "ok";
        r.readings.push_back(std::move(x));
    }
    return r;
}

double OpenTabMs(sincrovia::TSincrovia& window, const std::string& path) {
    QElapsedTimer t;
    t.start();
    auto* tab = new sincrovia::THistoryTab(window, path);
    window.PgctrlMultiSync->addTab(tab, sincrovia::HistoryTabCaption);
    window.PgctrlMultiSync->setCurrentWidget(tab);
    QCoreApplication::processEvents();
    window.repaint();
    const double ms = static_cast<double>(t.nsecsElapsed()) / kNsPerMs;
    delete tab;
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window's clock display hands its ticks over to the main thread, as in the program.
    sincrovia::SetMainThread();
    QApplication app(argc, argv);
    sincrovia::WireMainThreadToQt();
    const fs::path folder = fs::temp_directory_path() / ("sincrovia-bench-history-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string path = (folder / sincrovia::history::kStoreFileName).string();
    const std::string emptyPath = (folder / "empty.db").string();

    // The season ends today, so the tab opens on a day full of rounds.
    int64_t todayFrom = 0, todayTo = 0;
    const int64_t nowUs = sincrovia::NowUnixUs();
    sincrovia::history::LocalDayBounds(sincrovia::history::LocalDayOf(nowUs), todayFrom, todayTo);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure shows as soon as it is measured
    std::vector<double> storeMs;
    storeMs.reserve(kDays * kRoundsPerDay);
    {
        sincrovia::history::HistoryStore store(path);
        for (int day = 0; day < kDays; ++day) {
            const int64_t dayStart = todayFrom - static_cast<int64_t>(kDays - 1 - day) * kUsPerDay;
            // Rounds come minutes apart in use: a pause after each day's burst lets the
            // checkpoint thread catch up, as it does between real rounds.
            std::this_thread::sleep_for(kPauseBetweenDays);
            for (int i = 0; i < kRoundsPerDay; ++i) {
                sincrovia::history::StoredRound r = SeasonRound(dayStart, day, i);
                const auto t0 = std::chrono::steady_clock::now();
                if (store.Append(std::move(r)) == 0) {
                    std::fprintf(stderr, "round not written\n");
                    return 1;
                }
                storeMs.push_back(
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            }
        }
    }
    const double rounds = static_cast<double>(kDays) * kRoundsPerDay;
    const double kibPer1000 = static_cast<double>(fs::file_size(path)) / kBytesPerKiB / (rounds / 1000.0);
    char reference[160];
    std::snprintf(reference, sizeof reference,
                  "%zu rounds of %d readings into a growing store, WAL, one transaction each", storeMs.size(), kSlots);
    PrintRow("history: store one round of four readings", "ms", Quantile(storeMs, 0.5), Quantile(storeMs, 0.99),
             reference, "p99 < 2 ms", kStoreTargetMs);

    auto window = std::make_unique<sincrovia::TSincrovia>();
    window->SetStartupWarningEnabled(false);
    window->show();
    { sincrovia::history::HistoryStore empty(emptyPath); }
    std::vector<double> emptyMs, seasonMs;
    for (int i = 0; i < kTabOpenings; ++i) {
        emptyMs.push_back(OpenTabMs(*window, emptyPath));
        seasonMs.push_back(OpenTabMs(*window, path));
    }
    std::snprintf(reference, sizeof reference, "%d openings; on an empty store: median %.1f ms", kTabOpenings,
                  Quantile(emptyMs, 0.5));
    PrintRow("history: open the History tab on 100,000 rounds", "ms", Quantile(seasonMs, 0.5), Quantile(seasonMs, 0.99),
             reference, "p99 < 300 ms", kOpenTargetMs);

    std::snprintf(reference, sizeof reference, "%.1f MiB for 100,000 rounds of four readings",
                  static_cast<double>(fs::file_size(path)) / kBytesPerKiB / kBytesPerKiB);
    PrintRow("history: database size per 1,000 rounds", "KiB", kibPer1000, kibPer1000, reference, "reported", 0);
    fs::remove_all(folder);
    window.reset();  // its timers stop while the hand-over is still served
    sincrovia::UnwireMainThreadFromQt();
    return 0;
}
