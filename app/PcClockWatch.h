// The window's watch over the PC clock: once a second it asks the system whether the clock is
// synchronised and looks for a step of the wall clock against the monotonic clock, keeps the
// "PC clock:" line under the clock display up to date, and logs every step it finds. The
// procedures ask it whether the clock stepped lately (before a write) or since a given instant
// (a step between a synchronisation and a later read).
#pragma once

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "util/PcClock.h"

class QLabel;

namespace sincrovia {

/// Where the watch reads the clocks; the defaults ask the system, tests script them.
struct TPcClockProbe {
    std::function<PcClockStatus()> status = ReadPcClockStatus;  ///< time service state
    std::function<ClockPair()> pair = ReadClockPair;            ///< wall and monotonic clocks
};

/// Looks at the PC clock once a second while started.
class TPcClockWatch : public QObject {
    Q_OBJECT
public:
    /// Interval between two looks.
    static constexpr int kLookIntervalMs = 1000;

    /// A watch that writes its line into `line` and each step's text to `log`.
    TPcClockWatch(QObject* parent, QLabel* line, std::function<void(const std::string&)> log, TPcClockProbe probe = {});
    /// Takes a first look and looks again every kLookIntervalMs.
    void Start();
    /// Looks now: reads the status, feeds the step detector, updates the line.
    void LookNow();
    /// The time service state of the last look.
    PcClockStatus Status() const { return status_; }
    /// The last step found, if any.
    std::optional<ClockStep> LastStep() const { return lastStep_; }
    /// Whether a step was found within kRecentStepUs before `nowUnixUs`.
    bool SteppedRecently(int64_t nowUnixUs) const;
    /// Whether a step was found at or after `unixUs` (wall clock).
    bool SteppedSince(int64_t unixUs) const;
    /// The line shown under the clock now.
    std::string LineText() const;

private:
    QLabel* line_;
    std::function<void(const std::string&)> log_;
    TPcClockProbe probe_;
    QTimer timer_;
    ClockStepDetector detector_;
    PcClockStatus status_;
    std::optional<ClockStep> lastStep_;
    int64_t lastLookUnixUs_ = 0;
};

}  // namespace sincrovia
