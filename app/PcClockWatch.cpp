#include "app/PcClockWatch.h"

#include <QLabel>

namespace sincrovia {

TPcClockWatch::TPcClockWatch(QObject* parent, QLabel* line, std::function<void(const std::string&)> log,
                             TPcClockProbe probe)
    : QObject(parent), line_(line), log_(std::move(log)), probe_(std::move(probe)) {
    timer_.setInterval(kLookIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &TPcClockWatch::LookNow);
}

void TPcClockWatch::Start() {
    LookNow();
    timer_.start();
}

void TPcClockWatch::LookNow() {
    status_ = probe_.status();
    const ClockPair pair = probe_.pair();
    lastLookUnixUs_ = pair.wallUnixUs;
    if (const auto step = detector_.Feed(pair)) {
        lastStep_ = step;
        if (log_) log_(ClockStepText(*step));
    }
    if (line_) line_->setText(QString::fromStdString(LineText()));
}

bool TPcClockWatch::SteppedRecently(int64_t nowUnixUs) const {
    return lastStep_ && nowUnixUs - lastStep_->atWallUnixUs < kRecentStepUs;
}

bool TPcClockWatch::SteppedSince(int64_t unixUs) const { return lastStep_ && lastStep_->atWallUnixUs >= unixUs; }

std::string TPcClockWatch::LineText() const { return PcClockLine(status_, lastStep_, lastLookUnixUs_); }

}  // namespace sincrovia

#include "moc_PcClockWatch.cpp"
