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
    if (Stretch) {
        painter.drawImage(rect(), Picture);
        return;
    }
    // Only the damaged part of the top-left region is copied.
    const QRect area = event->rect() & Picture.rect();
    if (!area.isEmpty())
        painter.drawImage(area.topLeft(), Picture, area);
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
