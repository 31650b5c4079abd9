// Panel painting: background, then the outer and inner bevel lines.
#include "platform/Panel.h"

#include <QPainter>

TPanel::TPanel(QWidget* parent) : QWidget(parent), Fill(palette().color(QPalette::Window)) {}

void TPanel::SetColor(const QColor& color) {
    if (Fill == color)
        return;
    Fill = color;
    update();
}

void TPanel::SetBevels(Bevel outer, Bevel inner) {
    Outer = outer;
    Inner = inner;
    update();
    emit BevelsChanged();
}

void TPanel::SetBevelWidth(int width) {
    Width = width;
    update();
    emit BevelsChanged();
}

void TPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Fill);
    QRect r = rect();
    for (Bevel bevel : {Outer, Inner}) {
        if (bevel == bvNone)
            continue;
        // The desktop's button highlight and shadow, whatever the fill.
        const QColor light = palette().color(QPalette::Light);
        const QColor dark = palette().color(QPalette::Dark);
        const QColor& topLeft = bevel == bvRaised ? light : dark;
        const QColor& bottomRight = bevel == bvRaised ? dark : light;
        for (int i = 0; i < Width; ++i) {
            painter.setPen(topLeft);
            painter.drawLine(r.left(), r.top(), r.right(), r.top());
            painter.drawLine(r.left(), r.top(), r.left(), r.bottom());
            painter.setPen(bottomRight);
            painter.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
            painter.drawLine(r.right(), r.top(), r.right(), r.bottom());
            r.adjust(1, 1, -1, -1);
        }
    }
}
