// The PC clock in the look of a seven-segment display: eight digits in a row (hh:nn:ss) and a
// threaded timer that copies the current time into them twice a second. The timer's ticks
// arrive on the main thread through the main-thread hand-over.
#pragma once

#include <QFrame>

#include <array>
#include <string_view>

#include "display/watDigit.h"
#include "serial/ThdTimer.h"
#include "util/DateTime.h"

namespace sincrovia {

/// A frame of eight seven-segment positions showing the PC clock.
class TFrameDigitalWatch : public QFrame {
    Q_OBJECT
public:
    /// Width of the frame, in pixels.
    static constexpr int kFrameWidth = 187;
    /// Height of the frame, in pixels.
    static constexpr int kFrameHeight = 48;
    /// Number of character positions.
    static constexpr int kDigitCount = 8;
    /// Milliseconds between two clock updates.
    static constexpr uint32_t kUpdateIntervalMs = 500;
    /// Colour of unlit segments on the six digit positions: a light grey (R 221, G 217, B 213).
    static constexpr TColor kUnlitDigitColor = 14014941u;

    /// Builds the frame with its bevel, its eight digits and its (stopped) clock timer.
    explicit TFrameDigitalWatch(QWidget* parent = nullptr);
    /// Stops the clock timer before the digits go away.
    ~TFrameDigitalWatch() override;

    /// Starts (true) or stops (false) the clock updates.
    void StartClock(bool Run);
    /// Whether the clock updates run.
    bool ClockRunning() const;

    /// Shows a date-time's time of day in the system's long time format; a value that cannot
    /// be formatted shows all positions dark.
    void ShowTime(TDateTime value);
    /// Puts characters 1 to 8 of a text on the eight positions; positions past the end of the
    /// text show character 0 (dark).
    void ShowText(std::string_view text);

    /// Position 1..8 (watDigit1 .. watDigit8); nullptr outside that range.
    TwatDigit* watDigit(int position) const;
    /// The raised line around the frame.
    TBevel* Bevel1() const { return bevel1_; }
    /// The timer driving the clock updates (Interval 500 ms, disabled until started).
    TThreadedTimer TmrUpdateClock;

    /// The frame's natural size, 187 x 48.
    QSize sizeHint() const override;

protected:
    /// Keeps the bevel filling the frame.
    void resizeEvent(QResizeEvent* event) override;

private:
    /// The timer's tick: shows the PC clock.
    void TmrUpdateClockTimer(void* sender);

    TBevel* bevel1_ = nullptr;
    std::array<TwatDigit*, kDigitCount> digits_{};
};

}  // namespace sincrovia
