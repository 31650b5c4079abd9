// The image control's painting and mouse forwarding.
#include "platform/ImageControl.h"

#include <QMouseEvent>
#include <QPainter>

TImage::TImage(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TImage::SetPicture(const QImage& image) {
    Picture = image;
    update();
}

void TImage::paintEvent(QPaintEvent* event) {
    if (Picture.isNull())
        return;
    QPainter painter(this);
    const qreal ratio = Picture.devicePixelRatio();
    if (Stretch) {
        // Off the plain one-to-one screen the picture is resampled anyway: then smoothly.
        if (ratio != 1.0 || devicePixelRatioF() != 1.0)
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(rect(), Picture);
        return;
    }
    // Only the damaged part of the top-left region is copied.
    if (ratio == 1.0) {
        const QRect area = event->rect() & Picture.rect();
        if (!area.isEmpty())
            painter.drawImage(area.topLeft(), Picture, area);
        return;
    }
    // A picture of several device pixels per logical pixel: the area is logical,
    // its source in the picture's own pixels.
    const QRect area =
        event->rect() & QRect(QPoint(0, 0), Picture.deviceIndependentSize().toSize());
    if (!area.isEmpty())
        painter.drawImage(QRectF(area), Picture,
                          QRectF(area.x() * ratio, area.y() * ratio, area.width() * ratio,
                                 area.height() * ratio));
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    if (OnMouseUp) {
        const QPoint p = event->position().toPoint();
        OnMouseUp(event->button(), event->modifiers(), p.x(), p.y());
    }
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
    if (OnMouseMove) {
        const QPoint p = event->position().toPoint();
        OnMouseMove(Qt::NoButton, event->modifiers(), p.x(), p.y());
    }
}
