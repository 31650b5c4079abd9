// TXPGroupBox: theming test, themed frame and caption, themed background of its children.
#include "settings/StdCtrlsXP.h"

#include "settings/UxThemeRT.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>

#include <string>

using namespace uxtheme;

namespace {

const char16_t* const ThemeClass = u"BUTTON";
constexpr int CaptionIndent = 8;

QRect ToQRect(const UxRect& r) {
    return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
}

// Buttons and labels are the children that take their background from the group box.
bool TakesParentBackground(QObject* child) {
    return qobject_cast<QAbstractButton*>(child) || qobject_cast<QLabel*>(child);
}

} // namespace

TXPGroupBox::TXPGroupBox(QWidget* parent) : QGroupBox(parent) {}

TXPGroupBox::TXPGroupBox(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

TXPGroupBox::~TXPGroupBox() {
    CloseTheme();
}

bool TXPGroupBox::ThemingOn() const {
    using namespace UxThemeRT;
    // The entry points a themed paint may call must all be there: a library
    // lacking one draws nothing rather than half a group box.
    return ThemeLibraryLoaded() && !isFlat() && FTheme &&
           FThemeGeneration == ThemeLibraryGeneration() && IsThemeActive && IsThemeActive() &&
           IsAppThemed && IsAppThemed() && CloseThemeData && GetThemeTextExtent &&
           DrawThemeBackground && DrawThemeText && DrawThemeParentBackground && !isCheckable();
}

void TXPGroupBox::OpenTheme() {
    CloseTheme();
    if (UxThemeRT::ThemeLibraryLoaded() && UxThemeRT::OpenThemeData) {
        FTheme = UxThemeRT::OpenThemeData(this, ThemeClass);
        FThemeGeneration = UxThemeRT::ThemeLibraryGeneration();
    }
}

void TXPGroupBox::CloseTheme() {
    // A handle of a library released since belongs to nobody any more.
    if (FTheme && UxThemeRT::ThemeLibraryLoaded() &&
        FThemeGeneration == UxThemeRT::ThemeLibraryGeneration() && UxThemeRT::CloseThemeData)
        UxThemeRT::CloseThemeData(FTheme);
    FTheme = nullptr;
}

QBrush TXPGroupBox::ParentStaticBrush() const {
    const QWidget* parent = parentWidget();
    return parent->palette().brush(parent->backgroundRole());
}

bool TXPGroupBox::event(QEvent* event) {
    switch (event->type()) {
    case QEvent::Polish: {
        // The widget is being readied for the screen: its window comes to be.
        const bool handled = QGroupBox::event(event);
        OpenTheme();
        return handled;
    }
    case QEvent::ThemeChange:
        if (testAttribute(Qt::WA_WState_Polished))
            OpenTheme();
        update();
        return true;
    case QEvent::StyleChange:
    case QEvent::PaletteChange:
        // The look may have changed with them; the base group box needs them too.
        if (testAttribute(Qt::WA_WState_Polished))
            OpenTheme();
        update();
        break;
    case QEvent::ChildPolished: {
        QObject* child = static_cast<QChildEvent*>(event)->child();
        if (TakesParentBackground(child))
            child->installEventFilter(this);
        break;
    }
    case QEvent::ChildRemoved:
        static_cast<QChildEvent*>(event)->child()->removeEventFilter(this);
        break;
    default:
        if (event->type() == PrintClientEvent::EventType) {
            // A child asks for what the group box shows behind it.
            QPainter* painter = static_cast<PrintClientEvent*>(event)->Painter;
            painter->save();
            if (ThemingOn() && parentWidget() && PaintThemed(*painter))
                event->accept();
            painter->restore();
            return true;
        }
        break;
    }
    return QGroupBox::event(event);
}

// A button or label child that fills its own background has done so by the time
// its paint event arrives: paint the group box's background over that fill, so
// the child draws its content on the themed background. Children that do not
// fill their background already show the group box through them.
bool TXPGroupBox::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Paint && watched->parent() == this) {
        auto* child = static_cast<QWidget*>(watched);
        if (child->autoFillBackground() && ThemingOn()) {
            QPainter painter(child);
            painter.setClipRegion(static_cast<QPaintEvent*>(event)->region());
            UxThemeRT::DrawThemeParentBackground(child, &painter, nullptr);
        }
    }
    return QGroupBox::eventFilter(watched, event);
}

void TXPGroupBox::paintEvent(QPaintEvent* event) {
    if (ThemingOn() && parentWidget()) {
        QPainter painter(this);
        if (PaintThemed(painter))
            return;
    }
    QGroupBox::paintEvent(event);
}

bool TXPGroupBox::PaintThemed(QPainter& painter) {
    const std::u16string caption = title().toStdU16String();
    const int captionMargin = caption.empty() ? 0 : 8;
    unsigned textFlags = DT_SINGLELINE | DT_CENTER;
    if (layoutDirection() == Qt::RightToLeft)
        textFlags |= DT_RTLREADING;
    const int state = isEnabled() ? GBS_NORMAL : GBS_DISABLED;
    painter.setFont(font());

    UxRect extent{};
    if (!Succeeded(UxThemeRT::GetThemeTextExtent(FTheme, &painter, BP_GROUPBOX, state, u"0", -1,
                                                 textFlags, nullptr, &extent)))
        return false;
    const int lineHeight = extent.bottom;
    if (!Succeeded(UxThemeRT::GetThemeTextExtent(FTheme, &painter, BP_GROUPBOX, state,
                                                 caption.c_str(), -1, textFlags, nullptr, &extent)))
        return false;
    const int captionWidth = extent.right;

    const UxRect frame{0, lineHeight / 2 - 1, width() - 1, height() - 1};
    // Centred in its rectangle, the caption leaves half the margin of frame line
    // free on either side of the text.
    UxRect captionRect{CaptionIndent, 0, CaptionIndent + captionWidth + captionMargin, lineHeight};
    if (textFlags & DT_RTLREADING)
        captionRect = UxRect{frame.right - captionWidth - CaptionIndent - captionMargin, 0,
                             frame.right - CaptionIndent, lineHeight};

    painter.save();
    painter.setBrushOrigin(-pos());
    painter.fillRect(rect(), ParentStaticBrush());
    painter.restore();

    painter.save();
    painter.setClipRegion(QRegion(rect()).subtracted(ToQRect(captionRect)), Qt::IntersectClip);
    const UxResult drawn =
        UxThemeRT::DrawThemeBackground(FTheme, &painter, BP_GROUPBOX, state, &frame, nullptr);
    painter.restore();
    if (!Succeeded(drawn))
        return false;
    UxThemeRT::DrawThemeText(FTheme, &painter, BP_GROUPBOX, state, caption.c_str(), -1, textFlags,
                             0, &captionRect);
    return true;
}
