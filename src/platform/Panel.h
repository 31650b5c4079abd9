// A panel: a filled area with an optional raised or lowered outer and inner bevel.
#pragma once

#include <QColor>
#include <QWidget>

class TPanel : public QWidget {
    Q_OBJECT
public:
    enum Bevel { bvNone, bvLowered, bvRaised };

    explicit TPanel(QWidget* parent = nullptr);

    void SetColor(const QColor& color);
    QColor Color() const { return Fill; }
    void SetBevels(Bevel outer, Bevel inner);
    Bevel BevelOuter() const { return Outer; }
    Bevel BevelInner() const { return Inner; }
    // Width of each bevel in pixels (1 by default).
    void SetBevelWidth(int width);
    int BevelWidth() const { return Width; }
    // Width of the bevels: aligned children sit inside it.
    int BorderWidth() const { return ((Outer != bvNone) + (Inner != bvNone)) * Width; }

signals:
    // The bevels changed, and with them the room left for aligned children.
    void BevelsChanged();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor Fill;
    Bevel Outer = bvRaised;
    Bevel Inner = bvNone;
    int Width = 1;
};
