// Button images drawn with QPainter on a 100 x 100 logical canvas scaled to the icon size.
#include "app/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace sincrovia {

namespace {

constexpr qreal kCanvas = 100.0;

const QColor kInk{0, 0, 128};
const QColor kGo{0, 140, 0};
const QColor kStop{200, 0, 0};
const QColor kFace{250, 250, 235};
const QColor kMetal{160, 160, 170};
const QColor kPanel{40, 80, 170};

void DrawClockFace(QPainter& p, const QPointF& centre, qreal radius) {
    p.setPen(QPen(kInk, 5));
    p.setBrush(kFace);
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(kInk, 3));
    constexpr int kHourMarks = 12;
    for (int i = 0; i < kHourMarks; ++i) {
        p.save();
        p.translate(centre);
        p.rotate(360.0 * i / kHourMarks);
        p.drawLine(QPointF(0, -radius + 3), QPointF(0, -radius + 8));
        p.restore();
    }
    p.setPen(QPen(kInk, 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, centre + QPointF(0, -radius * 0.6));
    p.setPen(QPen(kStop, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(centre, centre + QPointF(radius * 0.55, radius * 0.2));
}

void DrawPlug(QPainter& p, const QColor& body) {
    p.setPen(QPen(kInk, 4));
    p.setBrush(body);
    p.drawRoundedRect(QRectF(30, 35, 40, 30), 6, 6);
    p.setBrush(kMetal);
    p.drawRect(QRectF(38, 18, 8, 17));
    p.drawRect(QRectF(54, 18, 8, 17));
    p.setPen(QPen(kInk, 6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(50, 65), QPointF(50, 90));
}

void DrawTurningArrow(QPainter& p, const QRectF& box, qreal startDeg, qreal spanDeg, const QColor& colour) {
    QPainterPath arc;
    arc.arcMoveTo(box, startDeg);
    arc.arcTo(box, startDeg, spanDeg);
    p.setPen(QPen(colour, 6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawPath(arc);
    // Arrow head at the end of the arc, pointing along it.
    const QPointF tip = arc.currentPosition();
    const qreal angle = arc.angleAtPercent(1.0);
    p.save();
    p.translate(tip);
    p.rotate(-angle);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPolygon(QPolygonF({QPointF(8, 0), QPointF(-6, -8), QPointF(-6, 8)}));
    p.restore();
}

void Paint(QPainter& p, IconKind kind) {
    switch (kind) {
    case IconKind::PortOpen: DrawPlug(p, kGo); break;
    case IconKind::PortClose:
        DrawPlug(p, kMetal);
        p.setPen(QPen(kStop, 9, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(18, 18), QPointF(82, 82));
        p.drawLine(QPointF(82, 18), QPointF(18, 82));
        break;
    case IconKind::ReadClock:
        DrawClockFace(p, QPointF(45, 45), 36);
        p.setPen(QPen(kInk, 8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(72, 72), QPointF(92, 92));
        break;
    case IconKind::SyncClock:
        DrawClockFace(p, QPointF(50, 50), 28);
        DrawTurningArrow(p, QRectF(8, 8, 84, 84), 100, 140, kGo);
        DrawTurningArrow(p, QRectF(8, 8, 84, 84), 280, 140, kGo);
        break;
    case IconKind::AutoSync: {
        DrawClockFace(p, QPointF(42, 50), 34);
        QFont font;
        font.setPixelSize(40);
        font.setBold(true);
        p.setFont(font);
        p.setPen(kGo);
        p.drawText(QRectF(58, 52, 42, 46), Qt::AlignCenter, "A");
        break;
    }
    case IconKind::ResetReader:
        DrawTurningArrow(p, QRectF(15, 15, 70, 70), 60, 300, kStop);
        p.setPen(QPen(kInk, 6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(50, 50), 10, 14);
        break;
    case IconKind::ResetGps:
        p.save();
        p.translate(50, 50);
        p.rotate(-30);
        p.setPen(QPen(kInk, 3));
        p.setBrush(kPanel);
        p.drawRect(QRectF(-46, -10, 30, 20));
        p.drawRect(QRectF(16, -10, 30, 20));
        p.setBrush(kMetal);
        p.drawRect(QRectF(-14, -14, 28, 28));
        p.restore();
        DrawTurningArrow(p, QRectF(55, 55, 40, 40), 0, 270, kStop);
        break;
    }
}

}  // namespace

QIcon MakeIcon(IconKind kind, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / kCanvas, size / kCanvas);
    Paint(painter, kind);
    painter.end();
    return QIcon(pixmap);
}

}  // namespace sincrovia
