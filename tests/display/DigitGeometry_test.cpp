#include "display/DigitGeometry.h"

#include <gtest/gtest.h>

namespace sincrovia {
namespace {

// Every digit's lit segments are checked on a painted digit; here the characters at the
// edges of the lookup, which must all stay dark, and the two masks the clock relies on most.
struct MaskCase {
    const char* legend;
    char character;
    uint16_t mask;
};

const MaskCase kMaskCases[] = {
    {"6 has no top bar", '6', sbMiddle | sbBottom | sbUpperLeft | sbLowerLeft | sbLowerRight},
    {"colon: both dots only", ':', sbUpperDot | sbLowerDot},
    {"character 0 is dark (not the end of the character list)", '\0', 0},
    {"space is dark", ' ', 0},
    {"a letter is dark", 'A', 0},
    {"'/' just before '0' is dark", '/', 0},
    {"';' just after ':' is dark", ';', 0},
    {"a dot separator is dark", '.', 0},
    {"a byte above 127 is dark", static_cast<char>(0xB0), 0},
};

TEST(SegmentMask, LightsTheSegmentsOfEachCharacter) {
    for (const auto& c : kMaskCases) {
        EXPECT_EQ(SegmentMask(c.character), c.mask) << c.legend;
    }
}

// Two borders and three line widths must fit across, two borders and five line widths down.
struct FitCase {
    const char* legend;
    int width, height, lineWidth, border;
    bool fits;
};

const FitCase kFitCases[] = {
    {"clock digit: line width 3 with the initial border 10", 30, 37, 3, 10, true},
    {"clock digit: then border 4", 30, 37, 3, 4, true},
    {"line width 7 with border 10 is too wide (20 + 21 > 30)", 30, 37, 7, 10, false},
    {"border 4 with line width 7 is too tall (8 + 35 > 37)", 30, 37, 7, 4, false},
    {"exactly the width and exactly the height", 29, 35, 3, 10, true},
    {"one pixel short across", 28, 35, 3, 10, false},
    {"one pixel short down", 29, 34, 3, 10, false},
    {"new digit with its initial values", 57, 81, 7, 10, true},
    {"zero line width and border fit any size", 0, 0, 0, 0, true},
    {"largest values do not overflow", 57, 81, 65535, 65535, false},
};

TEST(DigitFits, ChecksBothAxes) {
    for (const auto& c : kFitCases) {
        EXPECT_EQ(DigitFits(c.width, c.height, c.lineWidth, c.border), c.fits) << c.legend;
    }
}

// Segment rectangles worked out by hand for three controls: a new digit, a clock digit and a
// colon position (whose bars come out with a negative width and are kept so).
struct RectCase {
    const char* legend;
    int width, height, lineWidth, border;
    TSegmentBit segment;
    TSegmentRect rect;
};

const RectCase kRectCases[] = {
    {"new digit, top bar", 57, 81, 7, 10, sbTop, {14, 10, 29, 7}},
    {"new digit, middle bar", 57, 81, 7, 10, sbMiddle, {14, 37, 29, 7}},
    {"new digit, bottom bar", 57, 81, 7, 10, sbBottom, {14, 63, 29, 7}},
    {"new digit, upper-left bar", 57, 81, 7, 10, sbUpperLeft, {10, 14, 7, 25}},
    {"new digit, lower-left bar", 57, 81, 7, 10, sbLowerLeft, {10, 41, 7, 25}},
    {"new digit, upper-right bar", 57, 81, 7, 10, sbUpperRight, {40, 14, 7, 25}},
    {"new digit, lower-right bar", 57, 81, 7, 10, sbLowerRight, {40, 41, 7, 25}},
    {"new digit, upper dot", 57, 81, 7, 10, sbUpperDot, {25, 24, 7, 7}},
    {"new digit, lower dot", 57, 81, 7, 10, sbLowerDot, {25, 49, 7, 7}},
    {"clock digit, top bar", 30, 37, 3, 4, sbTop, {6, 4, 18, 3}},
    {"clock digit, middle bar", 30, 37, 3, 4, sbMiddle, {6, 17, 18, 3}},
    {"clock digit, bottom bar", 30, 37, 3, 4, sbBottom, {6, 29, 18, 3}},
    {"clock digit, lower-right bar", 30, 37, 3, 4, sbLowerRight, {23, 19, 3, 11}},
    {"clock digit, upper dot", 30, 37, 3, 4, sbUpperDot, {14, 11, 3, 3}},
    {"clock digit, lower dot", 30, 37, 3, 4, sbLowerDot, {14, 22, 3, 3}},
    {"colon position, upper dot", 10, 44, 7, 10, sbUpperDot, {2, 15, 7, 7}},
    {"colon position, lower dot", 10, 44, 7, 10, sbLowerDot, {2, 22, 7, 7}},
    {"colon position, top bar has a negative width", 10, 44, 7, 10, sbTop, {14, 10, -18, 7}},
    {"height below the borders: the dot offset truncates toward zero", 10, 15, 2, 10, sbUpperDot, {4, 8, 2, 2}},
    {"height below the borders: lower dot above the upper one", 10, 15, 2, 10, sbLowerDot, {4, 4, 2, 2}},
};

TEST(SegmentRect, PlacesEverySegment) {
    for (const auto& c : kRectCases) {
        const TSegmentRect r = SegmentRect(c.segment, c.width, c.height, c.lineWidth, c.border);
        EXPECT_EQ(r.left, c.rect.left) << c.legend;
        EXPECT_EQ(r.top, c.rect.top) << c.legend;
        EXPECT_EQ(r.width, c.rect.width) << c.legend;
        EXPECT_EQ(r.height, c.rect.height) << c.legend;
    }
}

struct OctagonCase {
    const char* legend;
    TSegmentRect rect;
    int cut;
    TOctagon points;
};

const OctagonCase kOctagonCases[] = {
    {"horizontal bar, cut 3",
     {14, 10, 29, 7},
     3,
     {{{14, 13}, {17, 10}, {40, 10}, {43, 13}, {43, 14}, {40, 17}, {17, 17}, {14, 14}}}},
    {"vertical bar, cut 1",
     {23, 19, 3, 11},
     1,
     {{{23, 20}, {24, 19}, {25, 19}, {26, 20}, {26, 29}, {25, 30}, {24, 30}, {23, 29}}}},
    {"no cut: the rectangle's corners, each twice",
     {0, 0, 4, 2},
     0,
     {{{0, 0}, {0, 0}, {4, 0}, {4, 0}, {4, 2}, {4, 2}, {0, 2}, {0, 2}}}},
};

TEST(SegmentOctagon, CutsEveryCorner) {
    for (const auto& c : kOctagonCases) {
        EXPECT_EQ(SegmentOctagon(c.rect, c.cut), c.points) << c.legend;
    }
}

TEST(DigitSegments, CutsCornersByHalfTheLineWidth) {
    // Line width 3 cuts one pixel (3 div 2), not one and a half rounded up.
    const auto shapes = DigitSegments('8', 30, 37, 3, 4);
    EXPECT_EQ(shapes[0].outline[0], (TSegmentPoint{6, 5}));
    EXPECT_EQ(shapes[0].outline[1], (TSegmentPoint{7, 4}));
}

}  // namespace
}  // namespace sincrovia
