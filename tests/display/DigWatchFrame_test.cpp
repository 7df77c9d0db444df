#include "display/DigWatchFrame.h"

#include <QApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>
#include <string>

#include "QtTestApp.h"
#include "display/DigitGeometry.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

using namespace std::chrono_literals;

class FrameDigitalWatchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::EnsureQApplication(); }
};

// The characters on the eight positions, character 0 shown as '_'.
std::string Shown(const TFrameDigitalWatch& frame) {
    std::string text;
    for (int i = 1; i <= TFrameDigitalWatch::kDigitCount; ++i) {
        const char c = frame.watDigit(i)->Digit();
        text += c == '\0' ? '_' : c;
    }
    return text;
}

// Serves the hand-over and the Qt loop until `done` holds or the time is up.
template <typename Pred>
bool ServeUntil(Pred done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        WaitAndServeMainThreadCalls(20ms);
        QApplication::processEvents();
    }
    return true;
}

struct PlacementCase {
    int position;
    QRect geometry;
    TColor offColor;
    uint16_t lineWidth;
    uint16_t border;
};

TEST_F(FrameDigitalWatchTest, PlacesEightPositionsWithTheirLook) {
    const PlacementCase cases[] = {
        {1, {-1, 4, 30, 37}, 14014941u, 3, 4},  {2, {26, 4, 30, 37}, 14014941u, 3, 4},
        {3, {54, 0, 10, 44}, clBtnFace, 7, 10}, {4, {64, 4, 30, 37}, 14014941u, 3, 4},
        {5, {91, 4, 30, 37}, 14014941u, 3, 4},  {6, {119, 0, 10, 44}, clBtnFace, 7, 10},
        {7, {128, 4, 30, 37}, 14014941u, 3, 4}, {8, {155, 4, 30, 37}, 14014941u, 3, 4},
    };
    TFrameDigitalWatch frame;
    EXPECT_EQ(frame.size(), QSize(187, 48));
    EXPECT_EQ(frame.watDigit(0), nullptr);
    EXPECT_EQ(frame.watDigit(9), nullptr);
    for (const auto& c : cases) {
        const TwatDigit* d = frame.watDigit(c.position);
        ASSERT_NE(d, nullptr) << "position " << c.position;
        EXPECT_EQ(d->objectName().toStdString(), "watDigit" + std::to_string(c.position));
        EXPECT_EQ(d->geometry(), c.geometry) << "position " << c.position;
        EXPECT_EQ(d->OffColor(), c.offColor) << "position " << c.position;
        EXPECT_EQ(d->LineWidth(), c.lineWidth) << "position " << c.position;
        EXPECT_EQ(d->Border(), c.border) << "position " << c.position;
        EXPECT_EQ(d->BackColor(), clBtnFace) << "position " << c.position;
        EXPECT_EQ(d->ForeColor(), clNavy) << "position " << c.position;
        EXPECT_EQ(d->Shape(), TBevelShape::bsSpacer) << "position " << c.position;
        EXPECT_EQ(d->Digit(), '\0') << "position " << c.position;
    }
    EXPECT_EQ(frame.Bevel1()->geometry(), frame.rect());
    EXPECT_FALSE(frame.ClockRunning());
    EXPECT_EQ(frame.TmrUpdateClock.Interval(), 500u);
}

TEST_F(FrameDigitalWatchTest, ShowsTheTimeOfDay) {
    TFrameDigitalWatch frame;
    frame.ShowTime(EncodeDate(2026, 12, 8) + EncodeTime(9, 5, 3, 0));
    EXPECT_EQ(Shown(frame), "09:05:03");
    frame.ShowTime(EncodeTime(23, 59, 59, 999));
    EXPECT_EQ(Shown(frame), "23:59:59");
    // A value that is no date-time darkens the clock instead of escaping as an exception.
    frame.ShowTime(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(Shown(frame), "________");
}

struct TextCase {
    const char* legend;
    const char* text;
    const char* shown;
};

TEST_F(FrameDigitalWatchTest, PutsOneCharacterOnEachPosition) {
    const TextCase cases[] = {
        {"hours, minutes and seconds", "09:05:03", "09:05:03"},
        {"one-digit hour leaves the last position dark", "9:05:03", "9:05:03_"},
        {"other separators land where they fall", "09.05.03", "09.05.03"},
        {"a longer text is cut after eight characters", "09:05:03 AM", "09:05:03"},
        {"an empty text darkens everything", "", "________"},
    };
    for (const auto& c : cases) {
        TFrameDigitalWatch frame;
        frame.ShowText("88:88:88");
        frame.ShowText(c.text);
        EXPECT_EQ(Shown(frame), c.shown) << c.legend;
    }
}

TEST_F(FrameDigitalWatchTest, ColonPositionsShowOnlyTheirDots) {
    TFrameDigitalWatch frame;
    frame.ShowText("09:05:03");
    TwatDigit* colon = frame.watDigit(3);
    const QImage image = colon->grab().toImage();
    const QColor navy(0, 0, 128);
    const QColor face = colon->palette().color(QPalette::Window);
    for (TSegmentBit dot : {sbUpperDot, sbLowerDot}) {
        const TSegmentRect r = SegmentRect(dot, colon->width(), colon->height(), colon->LineWidth(), colon->Border());
        EXPECT_EQ(image.pixelColor(r.left + r.width / 2 + 1, r.top + r.height / 2 + 1), navy) << "dot " << dot;
    }
    // Away from the dots the narrow position shows only its background: unlit segments take
    // the background colour.
    for (int y : {2, 10, 35, 40}) {
        EXPECT_EQ(image.pixelColor(colon->width() / 2, y), face) << "row " << y;
    }
}

TEST_F(FrameDigitalWatchTest, DigitPositionRendersTheCharacter) {
    TFrameDigitalWatch frame;
    frame.ShowText("69:00:00");
    const QColor navy(0, 0, 128);
    const QColor grey(221, 217, 213);
    const struct {
        const char* legend;
        int position;
        TSegmentBit segment;
        QColor colour;
    } cases[] = {
        {"6 has no top bar", 1, sbTop, grey},
        {"6 lights its lower-left bar", 1, sbLowerLeft, navy},
        {"9 has its bottom bar", 2, sbBottom, navy},
        {"9 leaves its lower-left bar unlit", 2, sbLowerLeft, grey},
    };
    for (const auto& c : cases) {
        TwatDigit* d = frame.watDigit(c.position);
        const QImage image = d->grab().toImage();
        const TSegmentRect r = SegmentRect(c.segment, d->width(), d->height(), d->LineWidth(), d->Border());
        EXPECT_EQ(image.pixelColor(r.left + r.width / 2 + 1, r.top + r.height / 2 + 1), c.colour) << c.legend;
    }
}

TEST_F(FrameDigitalWatchTest, ClockFollowsThePcClockWhileStarted) {
    auto frame = std::make_unique<TFrameDigitalWatch>();
    const std::string before = FormatDateTime(LongTimeFormat(), Now());
    frame->StartClock(true);
    EXPECT_TRUE(frame->ClockRunning());
    // The first tick comes after one interval; allow a loaded machine plenty of time.
    ASSERT_TRUE(ServeUntil([&] { return frame->watDigit(1)->Digit() != '\0'; }, 5s)) << "no clock tick arrived";
    const std::string shown = Shown(*frame);
    const std::string after = FormatDateTime(LongTimeFormat(), Now());
    if (before <= after) {  // not across midnight
        EXPECT_LE(before, shown);
        EXPECT_LE(shown, after);
    }

    // Stopped, the clock leaves the positions alone.
    frame->StartClock(false);
    EXPECT_FALSE(frame->ClockRunning());
    frame->ShowText("");
    ServeUntil([] { return false; }, 1200ms);
    EXPECT_EQ(Shown(*frame), "________");

    // Destroying a running clock stops its timer first.
    frame->StartClock(true);
    frame.reset();
}

}  // namespace
}  // namespace sincrovia
