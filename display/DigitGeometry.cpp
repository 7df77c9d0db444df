#include "display/DigitGeometry.h"

#include <string_view>

namespace sincrovia {

namespace {

// Masks by position in kDigitCharacters plus one; position 0 is "not a digit character".
constexpr std::array<uint16_t, 12> kMaskByPosition = {
    0,    // any other character
    125,  // 0: top, bottom, both left, both right
    96,   // 1: both right
    55,   // 2: top, middle, bottom, lower-left, upper-right
    103,  // 3: top, middle, bottom, both right
    106,  // 4: middle, upper-left, both right
    79,   // 5: top, middle, bottom, upper-left, lower-right
    94,   // 6: middle, bottom, both left, lower-right
    97,   // 7: top, both right
    127,  // 8: all seven bars
    111,  // 9: top, middle, bottom, upper-left, both right
    384,  // ':': both dots
};

// Bars across the width take three line widths (two verticals and the gap), bars down the
// height five (three horizontals and two gaps).
constexpr int kLineWidthsAcross = 3;
constexpr int kLineWidthsDown = 5;
constexpr int kBordersPerAxis = 2;

}  // namespace

uint16_t SegmentMask(char character) {
    // A view without the terminating zero, so that character 0 is not found in it.
    constexpr std::string_view characters(kDigitCharacters, sizeof(kDigitCharacters) - 1);
    const auto at = characters.find(character);
    if (at == std::string_view::npos) return kMaskByPosition[0];
    return kMaskByPosition[at + 1];
}

bool DigitFits(int width, int height, int lineWidth, int border) {
    return kBordersPerAxis * border + kLineWidthsAcross * lineWidth <= width &&
           kBordersPerAxis * border + kLineWidthsDown * lineWidth <= height;
}

TSegmentRect SegmentRect(TSegmentBit segment, int width, int height, int lineWidth, int border) {
    const int h = lineWidth / 2;
    const int hh = height / 2;
    const int wh = width / 2;
    const int x0 = border + h + 1;
    const int barLength = width - 2 * x0;
    const int sideLength = hh - border - h - 2;
    const int rightLeft = width - border - lineWidth;
    const int dotOffset = (hh - border) / 2 + h / 2;
    switch (segment) {
    case sbTop: return {x0, border, barLength, lineWidth};
    case sbMiddle: return {x0, hh - h, barLength, lineWidth};
    case sbBottom: return {x0, height - lineWidth - border - 1, barLength, lineWidth};
    case sbUpperLeft: return {border, border + h + 1, lineWidth, sideLength};
    case sbLowerLeft: return {border, hh + 1, lineWidth, sideLength};
    case sbUpperRight: return {rightLeft, border + h + 1, lineWidth, sideLength};
    case sbLowerRight: return {rightLeft, hh + 1, lineWidth, sideLength};
    case sbUpperDot: return {wh - h, hh - dotOffset, lineWidth, lineWidth};
    case sbLowerDot: return {wh - h, hh + dotOffset - lineWidth, lineWidth, lineWidth};
    }
    return {};
}

TOctagon SegmentOctagon(const TSegmentRect& r, int cut) {
    const int x = r.left;
    const int y = r.top;
    const int w = r.width;
    const int t = r.height;
    return {{{x, y + cut},
             {x + cut, y},
             {x + w - cut, y},
             {x + w, y + cut},
             {x + w, y + t - cut},
             {x + w - cut, y + t},
             {x + cut, y + t},
             {x, y + t - cut}}};
}

std::array<TSegmentShape, kDigitSegmentCount> DigitSegments(char character, int width, int height, int lineWidth,
                                                            int border) {
    const uint16_t mask = SegmentMask(character);
    const int cut = lineWidth / 2;
    std::array<TSegmentShape, kDigitSegmentCount> shapes{};
    for (int i = 0; i < kDigitSegmentCount; ++i) {
        const TSegmentBit segment = kDigitSegments[static_cast<size_t>(i)];
        TSegmentShape& shape = shapes[static_cast<size_t>(i)];
        shape.segment = segment;
        shape.outline = SegmentOctagon(SegmentRect(segment, width, height, lineWidth, border), cut);
        shape.lit = (mask & segment) != 0;
    }
    return shapes;
}

}  // namespace sincrovia
