// A shape control: a rectangle or rounded rectangle filled with a brush colour
// and outlined with a pen.
#pragma once

#include <QColor>
#include <QRegion>
#include <QWidget>

class TShape : public QWidget {
    Q_OBJECT
public:
    enum Kind { stRectangle, stRoundRect };

    TShape(Kind kind, const QColor& pen, int penWidth, const QColor& brush,
           QWidget* parent = nullptr);

    void SetBrushColor(const QColor& color);
    QColor BrushColor() const { return Brush; }
    // The area the shape covers at its current size (a window's mask).
    QRegion Region() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Kind ShapeKind;
    QColor Pen;
    int PenWidth;
    QColor Brush;
};
