// Colour values to QColor and back.
#include "platform/Color.h"

#include <QGuiApplication>
#include <QPalette>
#include <QWidget>

namespace {

// System colour index to the application palette's role.
QColor SystemColor(unsigned index) {
    const QPalette pal = QGuiApplication::palette();
    switch (index) {
    case 0:  // scroll bar
    case 15: // button face
    case 4:  // menu
    case 30: // menu bar
        return pal.color(QPalette::Button);
    case 1:  // desktop
    case 12: // application workspace
        return pal.color(QPalette::Dark);
    case 2: // active caption
    case 27:
    case 13: // highlight
    case 29: // menu highlight
        return pal.color(QPalette::Highlight);
    case 3: // inactive caption
    case 28:
        return pal.color(QPalette::Inactive, QPalette::Highlight);
    case 5: // window
        return pal.color(QPalette::Base);
    case 6:  // window frame
    case 21: // 3D dark shadow
        return pal.color(QPalette::Shadow);
    case 7:  // menu text
    case 8:  // window text
    case 18: // button text
        return pal.color(QPalette::WindowText);
    case 9:  // caption text
    case 14: // highlight text
        return pal.color(QPalette::HighlightedText);
    case 10: // active border
    case 11: // inactive border
        return pal.color(QPalette::Window);
    case 16: // button shadow
        return pal.color(QPalette::Mid);
    case 17: // grey text
        return pal.color(QPalette::Disabled, QPalette::Text);
    case 19: // inactive caption text
        return pal.color(QPalette::Inactive, QPalette::HighlightedText).darker(110);
    case 20: // button highlight
        return pal.color(QPalette::Light);
    case 22: // 3D light
        return pal.color(QPalette::Midlight);
    case 23: // tool tip text
        return pal.color(QPalette::ToolTipText);
    case 24: // tool tip background
        return pal.color(QPalette::ToolTipBase);
    case 26: // hot light
        return pal.color(QPalette::Link);
    default:
        return pal.color(QPalette::Window);
    }
}

} // namespace

QColor ColorToQColor(TColor color) {
    if (color == clNone)
        return QColor(Qt::transparent);
    if (color == clDefault)
        return QGuiApplication::palette().color(QPalette::Window);
    if (color & clSystemColor)
        return SystemColor(color & 0xFF);
    return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

TColor QColorToColor(const QColor& color) {
    return RGB(color.red(), color.green(), color.blue());
}

void SetWidgetColors(QWidget* widget, std::optional<QColor> background,
                     std::optional<QColor> text) {
    QPalette pal = widget->palette();
    if (background) {
        pal.setColor(QPalette::Window, *background);
        pal.setColor(QPalette::Base, *background);
    }
    if (text) {
        pal.setColor(QPalette::WindowText, *text);
        pal.setColor(QPalette::Text, *text);
    }
    widget->setPalette(pal);
    if (background)
        widget->setAutoFillBackground(true);
}
