// The seven-segment digit control: one character, a digit or a colon, painted as lit and
// unlit segments on an off-screen image, over a bevel. Colours are 32-bit values with red in
// the low byte, then green, then blue; values with the system flag name a palette colour.
#pragma once

#include <QImage>
#include <QWidget>

#include <cstdint>

namespace sincrovia {

/// A colour: 0x00BBGGRR, or kSystemColorFlag | index for a colour of the system palette.
using TColor = uint32_t;

/// Marks a TColor as a system colour whose low byte is the index below.
inline constexpr TColor kSystemColorFlag = 0x80000000u;
/// Black.
inline constexpr TColor clBlack = 0x000000u;
/// Pure red.
inline constexpr TColor clRed = 0x0000FFu;
/// Dark red.
inline constexpr TColor clMaroon = 0x000080u;
/// Dark blue.
inline constexpr TColor clNavy = 0x800000u;
/// The system colour of dialog backgrounds.
inline constexpr TColor clBtnFace = kSystemColorFlag | 15u;
/// The system colour of the dark edge of a raised element.
inline constexpr TColor clBtnShadow = kSystemColorFlag | 16u;
/// The system colour of the light edge of a raised element.
inline constexpr TColor clBtnHighlight = kSystemColorFlag | 20u;

/// Resolves a TColor to a Qt colour; system colours come from the given palette (an unknown
/// system index gives the palette's window colour).
QColor ToQColor(TColor color, const QPalette& palette);

/// Outline drawn by a bevel.
enum class TBevelShape { bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer };
/// Whether a bevel looks pressed in or standing out.
enum class TBevelStyle { bsLowered, bsRaised };

/// A control that draws a sunken or raised outline (box, double frame, one edge line) or,
/// as a spacer, nothing at all.
class TBevel : public QWidget {
    Q_OBJECT
public:
    /// A lowered box.
    explicit TBevel(QWidget* parent = nullptr);

    /// The outline drawn.
    TBevelShape Shape() const { return shape_; }
    /// Changes the outline and repaints.
    void SetShape(TBevelShape value);
    /// Lowered or raised.
    TBevelStyle Style() const { return style_; }
    /// Changes the style and repaints.
    void SetStyle(TBevelStyle value);

protected:
    void paintEvent(QPaintEvent* event) override;
    /// Draws the bevel's outline with an open painter.
    void PaintBevel(QPainter& painter);

private:
    TBevelShape shape_ = TBevelShape::bsBox;
    TBevelStyle style_ = TBevelStyle::bsLowered;
};

/// One seven-segment character (digits "0".."9" and ":"; anything else shows dark). Unlike a
/// fully opaque control it lets the parent's background show in the 1-pixel margin that the
/// segment image leaves around itself, so the margin never shows stale pixels.
class TwatDigit : public TBevel {
    Q_OBJECT
public:
    /// Initial width of a new digit, in pixels.
    static constexpr int kInitialWidth = 57;
    /// Initial height of a new digit, in pixels.
    static constexpr int kInitialHeight = 81;
    /// Initial segment thickness, in pixels.
    static constexpr uint16_t kInitialLineWidth = 7;
    /// Initial distance of the segments from the edge, in pixels.
    static constexpr uint16_t kInitialBorder = 10;

    /// A 57 x 81 digit showing character 0 (dark), red on black with maroon unlit segments.
    explicit TwatDigit(QWidget* parent = nullptr);

    /// Background of the digit area.
    TColor BackColor() const { return backColor_; }
    /// Fill of lit segments.
    TColor ForeColor() const { return foreColor_; }
    /// Fill of unlit segments and outline of every segment.
    TColor OffColor() const { return offColor_; }
    /// Segment thickness in pixels.
    uint16_t LineWidth() const { return lineWidth_; }
    /// Distance of the segments from the control's edge, in pixels.
    uint16_t Border() const { return border_; }
    /// The character shown.
    char Digit() const { return digit_; }

    /// Changes the background and repaints (nothing happens for the same value).
    void SetBackColor(TColor value);
    /// Changes the fill of lit segments and repaints (nothing happens for the same value).
    void SetForeColor(TColor value);
    /// Changes the unlit fill and outline and repaints (nothing happens for the same value).
    void SetOffColor(TColor value);
    /// Changes the character shown and repaints (nothing happens for the same character).
    void SetDigit(char value);
    /// Changes the line width only if it fits the current size with the current border (see
    /// DigitFits), then repaints; a value that does not fit is ignored silently. A later
    /// resize is not checked.
    void SetLineWidth(uint16_t value);
    /// Changes the border only if it fits the current size with the current line width, then
    /// repaints; a value that does not fit is ignored silently.
    void SetBorder(uint16_t value);

    /// The off-screen image painted inside the 1-pixel margin: (width - 2) x (height - 2)
    /// filled with BackColor, with the nine segments drawn at control coordinates. Null when
    /// the control is too small to hold one.
    QImage RenderSegments() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TColor backColor_ = clBlack;
    TColor foreColor_ = clRed;
    TColor offColor_ = clMaroon;
    uint16_t lineWidth_ = kInitialLineWidth;
    uint16_t border_ = kInitialBorder;
    char digit_ = '\0';
};

}  // namespace sincrovia
