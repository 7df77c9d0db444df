#include "display/watDigit.h"

#include <QPainter>
#include <QPalette>

#include <array>

#include "display/DigitGeometry.h"

namespace sincrovia {

namespace {

constexpr TColor kSystemIndexMask = 0xFFu;
constexpr int kRedShift = 0;
constexpr int kGreenShift = 8;
constexpr int kBlueShift = 16;
constexpr TColor kChannelMask = 0xFFu;

// System colour indices understood by ToQColor.
constexpr TColor kIndexBtnFace = clBtnFace & kSystemIndexMask;
constexpr TColor kIndexBtnShadow = clBtnShadow & kSystemIndexMask;
constexpr TColor kIndexBtnHighlight = clBtnHighlight & kSystemIndexMask;

// The image sits one pixel in from every edge of the control.
constexpr int kSegmentMargin = 1;

int Channel(TColor color, int shift) { return static_cast<int>((color >> shift) & kChannelMask); }

}  // namespace

QColor ToQColor(TColor color, const QPalette& palette) {
    if ((color & kSystemColorFlag) != 0) {
        switch (color & kSystemIndexMask) {
        case kIndexBtnFace: return palette.color(QPalette::Window);
        case kIndexBtnShadow: return palette.color(QPalette::Dark);
        case kIndexBtnHighlight: return palette.color(QPalette::Light);
        default: return palette.color(QPalette::Window);
        }
    }
    return QColor(Channel(color, kRedShift), Channel(color, kGreenShift), Channel(color, kBlueShift));
}

// ---------------------------------------------------------------------------------------------
// TBevel

TBevel::TBevel(QWidget* parent) : QWidget(parent) {}

void TBevel::SetShape(TBevelShape value) {
    if (shape_ == value) return;
    shape_ = value;
    update();
}

void TBevel::SetStyle(TBevelStyle value) {
    if (style_ == value) return;
    style_ = value;
    update();
}

void TBevel::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    PaintBevel(painter);
}

void TBevel::PaintBevel(QPainter& painter) {
    if (shape_ == TBevelShape::bsSpacer) return;
    const QColor shadow = ToQColor(clBtnShadow, palette());
    const QColor light = ToQColor(clBtnHighlight, palette());
    // A lowered bevel is dark on its top-left edges, a raised one on its bottom-right edges.
    const QColor first = style_ == TBevelStyle::bsLowered ? shadow : light;
    const QColor second = style_ == TBevelStyle::bsLowered ? light : shadow;
    const int right = width() - 1;
    const int bottom = height() - 1;
    painter.setRenderHint(QPainter::Antialiasing, false);
    auto line = [&painter](const QColor& color, int x1, int y1, int x2, int y2) {
        painter.setPen(QPen(color, 0));
        painter.drawLine(x1, y1, x2, y2);
    };
    auto box = [&line](const QColor& topLeft, const QColor& bottomRight, int l, int t, int r, int b) {
        line(topLeft, l, b, l, t);
        line(topLeft, l, t, r, t);
        line(bottomRight, r, t, r, b);
        line(bottomRight, r, b, l, b);
    };
    switch (shape_) {
    case TBevelShape::bsBox: box(first, second, 0, 0, right, bottom); break;
    case TBevelShape::bsFrame:
        // An etched double line: the inner one offset by a pixel in the other colour.
        box(second, second, 1, 1, right, bottom);
        box(first, first, 0, 0, right - 1, bottom - 1);
        break;
    case TBevelShape::bsTopLine:
        line(first, 0, 0, right, 0);
        line(second, 0, 1, right, 1);
        break;
    case TBevelShape::bsBottomLine:
        line(first, 0, bottom - 1, right, bottom - 1);
        line(second, 0, bottom, right, bottom);
        break;
    case TBevelShape::bsLeftLine:
        line(first, 0, 0, 0, bottom);
        line(second, 1, 0, 1, bottom);
        break;
    case TBevelShape::bsRightLine:
        line(first, right - 1, 0, right - 1, bottom);
        line(second, right, 0, right, bottom);
        break;
    case TBevelShape::bsSpacer: break;
    }
}

// ---------------------------------------------------------------------------------------------
// TwatDigit

TwatDigit::TwatDigit(QWidget* parent) : TBevel(parent) { resize(kInitialWidth, kInitialHeight); }

void TwatDigit::SetBackColor(TColor value) {
    if (backColor_ == value) return;
    backColor_ = value;
    update();
}

void TwatDigit::SetForeColor(TColor value) {
    if (foreColor_ == value) return;
    foreColor_ = value;
    update();
}

void TwatDigit::SetOffColor(TColor value) {
    if (offColor_ == value) return;
    offColor_ = value;
    update();
}

void TwatDigit::SetDigit(char value) {
    if (digit_ == value) return;
    digit_ = value;
    update();
}

void TwatDigit::SetLineWidth(uint16_t value) {
    if (lineWidth_ == value || !DigitFits(width(), height(), value, border_)) return;
    lineWidth_ = value;
    update();
}

void TwatDigit::SetBorder(uint16_t value) {
    if (border_ == value || !DigitFits(width(), height(), lineWidth_, value)) return;
    border_ = value;
    update();
}

QImage TwatDigit::RenderSegments() const {
    const int imageWidth = width() - 2 * kSegmentMargin;
    const int imageHeight = height() - 2 * kSegmentMargin;
    if (imageWidth <= 0 || imageHeight <= 0) return {};
    QImage image(imageWidth, imageHeight, QImage::Format_RGB32);
    const QPalette& pal = palette();
    image.fill(ToQColor(backColor_, pal));
    const QColor off = ToQColor(offColor_, pal);
    const QColor fore = ToQColor(foreColor_, pal);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(off, 0));
    for (const TSegmentShape& shape : DigitSegments(digit_, width(), height(), lineWidth_, border_)) {
        std::array<QPoint, std::tuple_size_v<TOctagon>> points;
        for (size_t i = 0; i < points.size(); ++i) points[i] = QPoint(shape.outline[i].x, shape.outline[i].y);
        painter.setBrush(shape.lit ? fore : off);
        painter.drawPolygon(points.data(), static_cast<int>(points.size()));
    }
    return image;
}

void TwatDigit::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    PaintBevel(painter);
    const QImage image = RenderSegments();
    if (!image.isNull()) painter.drawImage(kSegmentMargin, kSegmentMargin, image);
}

}  // namespace sincrovia
