// The image control: a widget that shows the top-left part of its picture and
// forwards mouse events to handlers that can be attached and detached.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

// What the board draws on: the picture ("canvas") of an image control.
class PaintTarget {
public:
    virtual ~PaintTarget() = default;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // The picture; drawing goes straight into it, then Changed() shows it.
    virtual QImage& Canvas() = 0;
    // Replaces the picture with a copy of image.
    virtual void SetPicture(const QImage& image) = 0;
    // The picture was drawn on: schedule a repaint of the control.
    virtual void Changed() = 0;
    virtual void SetCursorShape(Qt::CursorShape shape) = 0;
    // Device pixels per logical pixel where the picture is shown; sizes and
    // positions above are logical.
    virtual double DevicePixelRatio() const { return 1.0; }
};

class TImage : public QWidget, public PaintTarget {
    Q_OBJECT
public:
    using MouseHandler =
        std::function<void(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y)>;

    explicit TImage(QWidget* parent = nullptr);

    int Width() const override { return width(); }
    int Height() const override { return height(); }
    QImage& Canvas() override { return Picture; }
    void SetPicture(const QImage& image) override;
    void Changed() override { update(); }
    void SetCursorShape(Qt::CursorShape shape) override { setCursor(shape); }
    double DevicePixelRatio() const override { return devicePixelRatioF(); }

    // Stretch the picture over the whole control instead of showing its top-left part.
    bool Stretch = false;

    // Attached handlers; an empty function is a detached handler (never called).
    MouseHandler OnMouseUp;
    MouseHandler OnMouseMove;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QImage Picture;
};
