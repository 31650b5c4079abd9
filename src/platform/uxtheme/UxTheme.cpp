// Our visual-styles library: the "BUTTON" theme class, drawn with the application's Qt style.
#include "platform/uxtheme/UxTheme.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QWidget>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#define UXTHEME_EXPORT extern "C" __attribute__((visibility("default")))

using namespace uxtheme;

struct UxThemeData {
    QPointer<QWidget> window;
};

namespace {

// Every open handle. Whatever is still open when the library is unloaded goes
// with it: its handles mean nothing without it.
struct OpenThemes {
    std::vector<HTHEME> Handles;
    ~OpenThemes() {
        for (HTHEME theme : Handles)
            delete theme;
    }
} openThemes;

// Read once, when the library is loaded; EnableTheming changes it later.
bool ActiveFromEnvironment() {
    const char* value = std::getenv(ActiveVariable);
    return !(value && (std::strcmp(value, "0") == 0 || std::strcmp(value, "off") == 0));
}

bool themeActive = ActiveFromEnvironment();
unsigned appProperties = STAP_ALLOW_NONCLIENT | STAP_ALLOW_CONTROLS | STAP_ALLOW_WEBCONTENT;

bool Active() {
    return themeActive;
}

bool AppThemed() {
    return Active() && (appProperties & STAP_ALLOW_CONTROLS) != 0;
}

QString FromUtf16(const char16_t* text, int length) {
    if (length < 0)
        return QString::fromUtf16(text);
    return QString::fromUtf16(text, length);
}

QRect ToQRect(const UxRect& r) {
    return QRect(QPoint(r.left, r.top), QPoint(r.right - 1, r.bottom - 1));
}

QStyle* StyleOf(const UxThemeData* theme) {
    if (theme->window)
        return theme->window->style();
    return QApplication::style();
}

QPalette PaletteOf(const UxThemeData* theme) {
    return theme->window ? theme->window->palette() : QApplication::palette();
}

bool ValidState(int partId, int stateId) {
    return partId == BP_GROUPBOX && (stateId == GBS_NORMAL || stateId == GBS_DISABLED);
}

QStyleOptionFrame GroupFrameOption(const UxThemeData* theme, const QPainter& painter, int stateId) {
    QStyleOptionFrame option;
    if (theme->window)
        option.initFrom(theme->window);
    else
        option.palette = QApplication::palette();
    option.fontMetrics = QFontMetrics(painter.font());
    // The thin line group boxes are drawn with.
    option.lineWidth = 1;
    option.midLineWidth = 0;
    option.features = QStyleOptionFrame::None;
    option.frameShape = QFrame::StyledPanel;
    if (stateId == GBS_DISABLED) {
        option.state &= ~QStyle::State_Enabled;
        option.palette.setCurrentColorGroup(QPalette::Disabled);
    } else {
        option.state |= QStyle::State_Enabled;
    }
    return option;
}

// Styles may place a group box frame below the top of the rectangle they are
// given (leaving room for a caption above it). Measure where this style really
// draws, so that the frame can be put exactly on the rectangle asked for.
QMargins FrameInsets(QStyle* style, QStyleOptionFrame option) {
    const int side = std::max(128, 6 * option.fontMetrics.height());
    QImage probe(side, side, QImage::Format_ARGB32_Premultiplied);
    probe.fill(Qt::transparent);
    {
        QPainter painter(&probe);
        option.rect = probe.rect();
        style->drawPrimitive(QStyle::PE_FrameGroupBox, &option, &painter, nullptr);
    }
    int top = side, left = side, bottom = -1, right = -1;
    for (int y = 0; y < side; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(probe.constScanLine(y));
        for (int x = 0; x < side; ++x) {
            if (qAlpha(line[x]) == 0)
                continue;
            top = std::min(top, y);
            bottom = std::max(bottom, y);
            left = std::min(left, x);
            right = std::max(right, x);
        }
    }
    if (bottom < 0)
        return QMargins();
    return QMargins(left, top, side - 1 - right, side - 1 - bottom);
}

int TextFlagsOf(unsigned flags) {
    int qtFlags = Qt::AlignLeft;
    if (flags & DT_CENTER)
        qtFlags = Qt::AlignHCenter;
    else if (flags & DT_RIGHT)
        qtFlags = Qt::AlignRight;
    if (flags & DT_VCENTER)
        qtFlags |= Qt::AlignVCenter;
    else if (flags & DT_BOTTOM)
        qtFlags |= Qt::AlignBottom;
    else
        qtFlags |= Qt::AlignTop;
    if (flags & DT_SINGLELINE)
        qtFlags |= Qt::TextSingleLine;
    if (!(flags & DT_NOPREFIX))
        qtFlags |= Qt::TextShowMnemonic;
    return qtFlags;
}

} // namespace

UXTHEME_EXPORT HTHEME OpenThemeData(UxWindow window, const char16_t* classList) {
    if (!classList || !AppThemed())
        return nullptr;
    const QStringList classes = QString::fromUtf16(classList).split(QLatin1Char(';'));
    for (const QString& name : classes) {
        if (name.trimmed().compare(QLatin1String("BUTTON"), Qt::CaseInsensitive) == 0) {
            auto* theme = new UxThemeData;
            theme->window = window;
            openThemes.Handles.push_back(theme);
            return theme;
        }
    }
    return nullptr;
}

UXTHEME_EXPORT UxResult CloseThemeData(HTHEME theme) {
    auto& handles = openThemes.Handles;
    const auto it = std::find(handles.begin(), handles.end(), theme);
    if (it == handles.end())
        return E_INVALIDARG;
    handles.erase(it);
    delete theme;
    return S_OK;
}

UXTHEME_EXPORT UxResult DrawThemeBackground(HTHEME theme, UxDC dc, int partId, int stateId,
                                            const UxRect* rect, const UxRect* clipRect) {
    if (!theme || !dc || !rect || !ValidState(partId, stateId))
        return E_INVALIDARG;
    QStyle* style = StyleOf(theme);
    QStyleOptionFrame option = GroupFrameOption(theme, *dc, stateId);
    const QMargins insets = FrameInsets(style, option);
    option.rect = ToQRect(*rect).marginsAdded(insets);
    dc->save();
    if (clipRect)
        dc->setClipRect(ToQRect(*clipRect), Qt::IntersectClip);
    style->drawPrimitive(QStyle::PE_FrameGroupBox, &option, dc, nullptr);
    dc->restore();
    return S_OK;
}

UXTHEME_EXPORT UxResult DrawThemeText(HTHEME theme, UxDC dc, int partId, int stateId,
                                      const char16_t* text, int length, unsigned textFlags,
                                      unsigned /*textFlags2*/, const UxRect* rect) {
    if (!theme || !dc || !text || !rect || !ValidState(partId, stateId))
        return E_INVALIDARG;
    const QString caption = FromUtf16(text, length);
    QPalette palette = PaletteOf(theme);
    const bool enabled = stateId != GBS_DISABLED;
    palette.setCurrentColorGroup(enabled ? QPalette::Active : QPalette::Disabled);
    dc->save();
    dc->setLayoutDirection((textFlags & DT_RTLREADING) ? Qt::RightToLeft : Qt::LeftToRight);
    StyleOf(theme)->drawItemText(dc, ToQRect(*rect), TextFlagsOf(textFlags), palette, enabled,
                                 caption, QPalette::WindowText);
    dc->restore();
    return S_OK;
}

UXTHEME_EXPORT UxResult GetThemeTextExtent(HTHEME theme, UxDC dc, int partId, int stateId,
                                           const char16_t* text, int length, unsigned textFlags,
                                           const UxRect* boundingRect, UxRect* extentRect) {
    if (!theme || !dc || !text || !extentRect || !ValidState(partId, stateId))
        return E_INVALIDARG;
    const QFontMetrics metrics(dc->font(), dc->device());
    const QSize size = metrics.size(TextFlagsOf(textFlags), FromUtf16(text, length));
    const int left = boundingRect ? boundingRect->left : 0;
    const int top = boundingRect ? boundingRect->top : 0;
    *extentRect = UxRect{left, top, left + size.width(), top + size.height()};
    return S_OK;
}

UXTHEME_EXPORT UxResult GetThemeBackgroundContentRect(HTHEME theme, UxDC dc, int partId,
                                                      int stateId, const UxRect* boundingRect,
                                                      UxRect* contentRect) {
    if (!theme || !dc || !boundingRect || !contentRect || !ValidState(partId, stateId))
        return E_INVALIDARG;
    const int inset = StyleOf(theme)->pixelMetric(QStyle::PM_DefaultFrameWidth) + 1;
    *contentRect = UxRect{boundingRect->left + inset, boundingRect->top + inset,
                          boundingRect->right - inset, boundingRect->bottom - inset};
    return S_OK;
}

UXTHEME_EXPORT int IsThemePartDefined(HTHEME theme, int partId, int /*stateId*/) {
    return theme && partId == BP_GROUPBOX;
}

UXTHEME_EXPORT int IsThemeActive() {
    return Active();
}

UXTHEME_EXPORT int IsAppThemed() {
    return AppThemed();
}

UXTHEME_EXPORT HTHEME GetWindowTheme(UxWindow window) {
    const auto& handles = openThemes.Handles;
    const auto it = std::find_if(handles.rbegin(), handles.rend(), [window](HTHEME theme) {
        return window && theme->window == window;
    });
    return it == handles.rend() ? nullptr : *it;
}

UXTHEME_EXPORT unsigned GetThemeAppProperties() {
    return appProperties;
}

UXTHEME_EXPORT void SetThemeAppProperties(unsigned flags) {
    appProperties = flags;
}

UXTHEME_EXPORT UxResult GetCurrentThemeName(char16_t* themeFileName, int maxNameChars,
                                            char16_t* colorBuff, int maxColorChars,
                                            char16_t* sizeBuff, int maxSizeChars) {
    if (!Active())
        return E_FAIL;
    const auto copy = [](char16_t* target, int capacity, const QString& value) {
        if (!target || capacity <= 0)
            return;
        const int n = std::min(capacity - 1, static_cast<int>(value.size()));
        std::memcpy(target, value.utf16(), sizeof(char16_t) * static_cast<size_t>(n));
        target[n] = u'\0';
    };
    const QString style = QApplication::style() ? QApplication::style()->name() : QString();
    copy(themeFileName, maxNameChars, style);
    copy(colorBuff, maxColorChars, QStringLiteral("Normal"));
    copy(sizeBuff, maxSizeChars, QStringLiteral("Normal"));
    return S_OK;
}

// Paints what the child's parent shows behind the child: whatever the parent
// paints on request, or else its background.
UXTHEME_EXPORT UxResult DrawThemeParentBackground(UxWindow child, UxDC dc, const UxRect* rect) {
    if (!child || !dc || !child->parentWidget())
        return E_INVALIDARG;
    QWidget* parent = child->parentWidget();
    const QRect area = rect ? ToQRect(*rect) : child->rect();
    dc->save();
    dc->setClipRect(area, Qt::IntersectClip);
    dc->translate(-child->pos());
    PrintClientEvent request(dc);
    QCoreApplication::sendEvent(parent, &request);
    if (!request.isAccepted())
        dc->fillRect(area.translated(child->pos()),
                     parent->palette().brush(parent->backgroundRole()));
    dc->restore();
    return S_OK;
}

// Switches visual styles on or off and tells every window, as a theme change.
UXTHEME_EXPORT UxResult EnableTheming(int enable) {
    themeActive = enable != 0;
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        const QList<QWidget*> widgets = QApplication::allWidgets();
        for (QWidget* widget : widgets) {
            QEvent change(QEvent::ThemeChange);
            QCoreApplication::sendEvent(widget, &change);
        }
    }
    return S_OK;
}

static_assert(std::is_same_v<decltype(OpenThemeData), OpenThemeDataFn>);
static_assert(std::is_same_v<decltype(CloseThemeData), CloseThemeDataFn>);
static_assert(std::is_same_v<decltype(DrawThemeBackground), DrawThemeBackgroundFn>);
static_assert(std::is_same_v<decltype(DrawThemeText), DrawThemeTextFn>);
static_assert(
    std::is_same_v<decltype(GetThemeBackgroundContentRect), GetThemeBackgroundContentRectFn>);
static_assert(std::is_same_v<decltype(GetThemeTextExtent), GetThemeTextExtentFn>);
static_assert(std::is_same_v<decltype(IsThemePartDefined), IsThemePartDefinedFn>);
static_assert(std::is_same_v<decltype(IsThemeActive), IsThemeActiveFn>);
static_assert(std::is_same_v<decltype(IsAppThemed), IsAppThemedFn>);
static_assert(std::is_same_v<decltype(GetWindowTheme), GetWindowThemeFn>);
static_assert(std::is_same_v<decltype(GetThemeAppProperties), GetThemeAppPropertiesFn>);
static_assert(std::is_same_v<decltype(SetThemeAppProperties), SetThemeAppPropertiesFn>);
static_assert(std::is_same_v<decltype(GetCurrentThemeName), GetCurrentThemeNameFn>);
static_assert(std::is_same_v<decltype(DrawThemeParentBackground), DrawThemeParentBackgroundFn>);
static_assert(std::is_same_v<decltype(EnableTheming), EnableThemingFn>);
