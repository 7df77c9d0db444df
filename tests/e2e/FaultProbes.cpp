#include "FaultProbes.h"

#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

namespace sincrovia::e2e {

namespace {

constexpr double kUsPerSecond = 1e6;
constexpr int kQuietMs = 1000;
constexpr long kBytesPerKiB = 1024;

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / kUsPerSecond;
}

}  // namespace

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

long ResidentKiB() {
    // /proc/self/statm: total and resident sizes in pages.
    std::ifstream statm("/proc/self/statm");
    long total = 0, resident = 0;
    if (!(statm >> total >> resident)) return 0;
    return resident * (sysconf(_SC_PAGESIZE) / kBytesPerKiB);
}

void RunEventLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double CpuOverQuietSecond() {
    const double before = ProcessCpuSeconds();
    RunEventLoopFor(kQuietMs);
    return ProcessCpuSeconds() - before;
}

int QueuedCallDelayMs(int timeoutMs) {
    QEventLoop loop;
    // The call's context lives only as long as this wait: a call not served in time is dropped
    // with it instead of running later on a finished wait.
    QObject context;
    const auto posted = std::chrono::steady_clock::now();
    int delay = -1;
    QMetaObject::invokeMethod(
        &context,
        [&] {
            delay = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - posted)
                    .count());
            loop.quit();
        },
        Qt::QueuedConnection);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return delay;
}

bool AnyBoxContains(const RecordingDesktop& desktop, const std::string& part) {
    for (const auto& box : desktop.Boxes())
        if (box.text.find(part) != std::string::npos) return true;
    return false;
}

std::string BoxesText(const RecordingDesktop& desktop) {
    std::string out;
    for (const auto& box : desktop.Boxes()) out += box.caption + " | " + box.text + "\n";
    return out;
}

}  // namespace sincrovia::e2e
