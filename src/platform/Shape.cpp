// The shape control's outline and fill.
#include "platform/Shape.h"

#include <QPainter>
#include <QPainterPath>

namespace {

// A rounded rectangle whose corner ellipses measure a quarter of the shorter
// side, less the pen.
QPainterPath RoundedShape(QSizeF size, int penWidth) {
    const int s = static_cast<int>(std::min(size.width(), size.height())) - penWidth + 1;
    const qreal corner = s / 4;
    QPainterPath path;
    path.addRoundedRect(QRectF(QPointF(0, 0), size), corner / 2, corner / 2);
    return path;
}

} // namespace

TShape::TShape(Kind kind, const QColor& pen, int penWidth, const QColor& brush, QWidget* parent)
    : QWidget(parent), ShapeKind(kind), Pen(pen), PenWidth(penWidth), Brush(brush) {}

void TShape::SetBrushColor(const QColor& color) {
    if (Brush == color)
        return;
    Brush = color;
    update();
}

QRegion TShape::Region() const {
    if (ShapeKind == stRectangle)
        return QRegion(rect());
    return QRegion(RoundedShape(size(), PenWidth).toFillPolygon().toPolygon());
}

void TShape::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(Pen, PenWidth));
    painter.setBrush(Brush);
    if (ShapeKind == stRectangle) {
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal half = PenWidth / 2.0;
    QPainterPath path = RoundedShape(size() - QSize(PenWidth, PenWidth), PenWidth);
    path.translate(half, half);
    painter.drawPath(path);
}
