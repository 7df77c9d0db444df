#include "display/watDigit.h"

#include <QApplication>
#include <QImage>
#include <QPalette>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QtTestApp.h"
#include "display/DigitGeometry.h"

namespace sincrovia {
namespace {

class WatDigitTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testing::EnsureQApplication(); }
};

// Centre of a segment on screen: the off-screen image sits one pixel in from the edge.
QPoint SegmentCentreOnScreen(TSegmentBit segment, int w, int h, int lineWidth, int border) {
    const TSegmentRect r = SegmentRect(segment, w, h, lineWidth, border);
    return {r.left + r.width / 2 + 1, r.top + r.height / 2 + 1};
}

// What a rendered character must show, segment by segment (letters: T top, M middle, B bottom,
// l upper-left, L lower-left, r upper-right, R lower-right, u upper dot, d lower dot).
struct RenderCase {
    const char* legend;
    char character;
    const char* lit;
};

const RenderCase kRenderCases[] = {
    {"0", '0', "TBlLrR"},
    {"1", '1', "rR"},
    {"2", '2', "TMBLr"},
    {"3", '3', "TMBrR"},
    {"4", '4', "MlrR"},
    {"5", '5', "TMBlR"},
    {"6 has no top bar", '6', "MBlLR"},
    {"7", '7', "TrR"},
    {"8: all bars, no dots", '8', "TMBlLrR"},
    {"9 has its bottom bar", '9', "TMBlrR"},
    {"colon: only the dots", ':', "ud"},
    {"character 0: nothing", '\0', ""},
    {"space: nothing", ' ', ""},
    {"letter: nothing", 'x', ""},
};

char SegmentLetter(TSegmentBit s) {
    switch (s) {
    case sbTop: return 'T';
    case sbMiddle: return 'M';
    case sbBottom: return 'B';
    case sbUpperLeft: return 'l';
    case sbLowerLeft: return 'L';
    case sbUpperRight: return 'r';
    case sbLowerRight: return 'R';
    case sbUpperDot: return 'u';
    case sbLowerDot: return 'd';
    }
    return '?';
}

TEST_F(WatDigitTest, PaintsLitAndUnlitSegments) {
    const QColor fore(255, 0, 0);  // initial ForeColor: red
    const QColor off(128, 0, 0);   // initial OffColor: maroon
    const QColor back(0, 0, 0);    // initial BackColor: black
    for (const auto& c : kRenderCases) {
        TwatDigit digit;
        digit.SetDigit(c.character);
        const QImage image = digit.grab().toImage();
        ASSERT_EQ(image.width(), TwatDigit::kInitialWidth);
        ASSERT_EQ(image.height(), TwatDigit::kInitialHeight);
        const std::string lit = c.lit;
        for (TSegmentBit s : kDigitSegments) {
            const QPoint p = SegmentCentreOnScreen(s, digit.width(), digit.height(), digit.LineWidth(), digit.Border());
            const bool shouldLight = lit.find(SegmentLetter(s)) != std::string::npos;
            EXPECT_EQ(image.pixelColor(p.x(), p.y()), shouldLight ? fore : off)
                << c.legend << ", segment " << SegmentLetter(s);
        }
        // A spot inside the digit between the upper-left bar, the top bar and the dots.
        EXPECT_EQ(image.pixelColor(21, 28), back) << c.legend << ", background";
    }
}

TEST_F(WatDigitTest, ImageSitsOnePixelInAndOutlinesInOffColor) {
    // Column through the middle of the top bar of a lit "8" on a new digit: the bar spans rows
    // 10..17 in the image, so 11..18 on screen; its edges are the OffColor outline.
    TwatDigit digit;
    digit.SetDigit('8');
    digit.SetShape(TBevelShape::bsSpacer);
    const QImage image = digit.grab().toImage();
    const int x = SegmentCentreOnScreen(sbTop, 57, 81, 7, 10).x();
    const struct {
        const char* legend;
        int y;
        QColor colour;
    } rows[] = {
        {"above the bar: background", 10, QColor(0, 0, 0)}, {"top outline", 11, QColor(128, 0, 0)},
        {"first filled row", 12, QColor(255, 0, 0)},        {"last filled row", 17, QColor(255, 0, 0)},
        {"bottom outline", 18, QColor(128, 0, 0)},          {"below the bar: background", 19, QColor(0, 0, 0)},
    };
    for (const auto& r : rows) EXPECT_EQ(image.pixelColor(x, r.y), r.colour) << r.legend;
}

struct ColourCase {
    const char* legend;
    TColor colour;
    QColor expected;
};

TEST_F(WatDigitTest, ColourValuesHaveRedInTheLowByte) {
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(1, 2, 3));
    const ColourCase cases[] = {
        {"red", clRed, QColor(255, 0, 0)},
        {"maroon", clMaroon, QColor(128, 0, 0)},
        {"navy", clNavy, QColor(0, 0, 128)},
        {"the light grey of unlit clock segments", 14014941u, QColor(221, 217, 213)},
        {"button face is the palette's window colour", clBtnFace, QColor(1, 2, 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(ToQColor(c.colour, palette), c.expected) << c.legend;
}

// A sequence of assignments to a digit of a given size and the values it must hold after.
struct FitStep {
    enum What { kLineWidth, kBorder, kResize } what;
    int value;
    int value2;
};

struct FitSequenceCase {
    const char* legend;
    int width, height;
    std::vector<FitStep> steps;
    uint16_t lineWidth, border;
};

TEST_F(WatDigitTest, LineWidthAndBorderAcceptOnlyWhatFits) {
    const FitSequenceCase cases[] = {
        {"line width 3 then border 4 on a clock digit",
         30,
         37,
         {{FitStep::kLineWidth, 3, 0}, {FitStep::kBorder, 4, 0}},
         3,
         4},
        {"border 4 first does not fit the initial line width 7", 30, 37, {{FitStep::kBorder, 4, 0}}, 7, 10},
        {"line width back to 7 with border 10 is ignored",
         30,
         37,
         {{FitStep::kLineWidth, 3, 0}, {FitStep::kLineWidth, 7, 0}},
         3,
         10},
        {"border too wide is ignored", 57, 81, {{FitStep::kBorder, 19, 0}}, 7, 10},
        {"border at the exact limit across is taken", 57, 81, {{FitStep::kBorder, 18, 0}}, 7, 18},
        {"shrinking the control afterwards keeps the values", 57, 81, {{FitStep::kResize, 10, 10}}, 7, 10},
        {"a later assignment is checked against the shrunk size",
         57,
         81,
         {{FitStep::kResize, 30, 37}, {FitStep::kBorder, 9, 0}},
         7,
         10},
    };
    for (const auto& c : cases) {
        TwatDigit digit;
        digit.resize(c.width, c.height);
        for (const auto& step : c.steps) {
            switch (step.what) {
            case FitStep::kLineWidth: digit.SetLineWidth(static_cast<uint16_t>(step.value)); break;
            case FitStep::kBorder: digit.SetBorder(static_cast<uint16_t>(step.value)); break;
            case FitStep::kResize: digit.resize(step.value, step.value2); break;
            }
        }
        EXPECT_EQ(digit.LineWidth(), c.lineWidth) << c.legend;
        EXPECT_EQ(digit.Border(), c.border) << c.legend;
    }
}

TEST_F(WatDigitTest, TinyControlPaintsWithoutAnImage) {
    for (int size : {0, 1, 2, 3}) {
        TwatDigit digit;
        digit.resize(size, size);
        digit.SetDigit('8');
        EXPECT_EQ(digit.RenderSegments().isNull(), size <= 2) << "size " << size;
        (void)digit.grab();  // must not crash
    }
}

}  // namespace
}  // namespace sincrovia
