// TXPGroupBox: a group box drawn by the visual-styles library when it can, plainly otherwise.
#pragma once

#include "platform/uxtheme/UxTheme.h"

#include <QGroupBox>

class TXPGroupBox : public QGroupBox {
    Q_OBJECT
public:
    explicit TXPGroupBox(QWidget* parent = nullptr);
    explicit TXPGroupBox(const QString& title, QWidget* parent = nullptr);
    ~TXPGroupBox() override;

    // The theme data opened for "BUTTON"; null before the widget is first polished,
    // without the library, or while visual styles are off.
    HTHEME Theme() const { return FTheme; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // True when the group box draws through the library.
    bool ThemingOn() const;
    // Paints the themed frame and caption; false when the library fails to.
    bool PaintThemed(QPainter& painter);
    void OpenTheme();
    void CloseTheme();
    // What the parent fills its static (label) controls with: its own background.
    QBrush ParentStaticBrush() const;

    HTHEME FTheme = nullptr;
    // The library load FTheme came from.
    unsigned FThemeGeneration = 0;
};
