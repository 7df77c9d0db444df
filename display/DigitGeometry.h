// Geometry of a seven-segment digit with two colon dots, free of any window toolkit: which
// segments a character lights, where each segment lies for a given control size, line width
// and border, and the octagon that outlines it. The painting code only fills what this
// returns. All divisions truncate toward zero, so odd sizes land on the same pixels always.
#pragma once

#include <array>
#include <cstdint>

namespace sincrovia {

/// One bit per segment of a digit; a character's mask is the OR of its lit segments.
enum TSegmentBit : uint16_t {
    sbTop = 1,
    sbMiddle = 2,
    sbBottom = 4,
    sbUpperLeft = 8,
    sbLowerLeft = 16,
    sbUpperRight = 32,
    sbLowerRight = 64,
    sbUpperDot = 128,
    sbLowerDot = 256,
};

/// Number of segments drawn for every character (seven bars and two dots).
inline constexpr int kDigitSegmentCount = 9;

/// The segments in drawing order.
inline constexpr std::array<TSegmentBit, kDigitSegmentCount> kDigitSegments = {
    sbTop, sbMiddle, sbBottom, sbUpperLeft, sbLowerLeft, sbUpperRight, sbLowerRight, sbUpperDot, sbLowerDot};

/// The characters a digit can show; every other character (character 0 included) shows dark.
inline constexpr char kDigitCharacters[] = "0123456789:";

/// Mask of lit segments of a character: "0".."9" and ":" light their segments, anything else 0.
uint16_t SegmentMask(char character);

/// A rectangle given by its left-top corner and its size (sizes may come out negative for a
/// control too small for its line width and border; they are kept as computed).
struct TSegmentRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

/// A polygon corner.
struct TSegmentPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const TSegmentPoint&, const TSegmentPoint&) = default;
};

/// The eight corners of a segment outline.
using TOctagon = std::array<TSegmentPoint, 8>;

/// Whether a line width and a border fit a control of the given size: two borders and three
/// line widths across, two borders and five line widths down.
bool DigitFits(int width, int height, int lineWidth, int border);

/// Rectangle of one segment in control coordinates.
TSegmentRect SegmentRect(TSegmentBit segment, int width, int height, int lineWidth, int border);

/// Octagon inscribed in a rectangle, each corner cut by `cut` pixels along both edges.
TOctagon SegmentOctagon(const TSegmentRect& rect, int cut);

/// One segment ready to fill: its bit, its outline and whether the character lights it.
struct TSegmentShape {
    TSegmentBit segment = sbTop;
    TOctagon outline{};
    bool lit = false;
};

/// All nine segments of a character, in drawing order, for the given size, line width and
/// border; the corner cut is half the line width.
std::array<TSegmentShape, kDigitSegmentCount> DigitSegments(char character, int width, int height, int lineWidth,
                                                            int border);

}  // namespace sincrovia
