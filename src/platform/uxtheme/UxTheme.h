// The C interface of our visual-styles library libUxTheme.so: types, constants, signatures.
#pragma once

#include <QEvent>

#include <cstdint>

class QPainter;
class QWidget;

extern "C" {

// An open theme: the theme data of one window class, bound to the window it was opened for.
typedef struct UxThemeData* HTHEME;
// A drawing context is the painter that paints the window.
typedef QPainter* UxDC;
// A window is the widget.
typedef QWidget* UxWindow;
// 0 for success, a negative value (high bit set) for failure.
typedef std::int32_t UxResult;
// A rectangle whose right and bottom edges lie just outside it.
struct UxRect {
    int left;
    int top;
    int right;
    int bottom;
};

} // extern "C"

namespace uxtheme {

constexpr UxResult S_OK = 0;
constexpr UxResult E_FAIL = static_cast<UxResult>(0x80004005u);
constexpr UxResult E_INVALIDARG = static_cast<UxResult>(0x80070057u);
constexpr UxResult E_NOTIMPL = static_cast<UxResult>(0x80004001u);

inline bool Succeeded(UxResult r) {
    return r >= 0;
}

// Parts and states of the "BUTTON" class.
constexpr int BP_GROUPBOX = 4;
constexpr int GBS_NORMAL = 1;
constexpr int GBS_DISABLED = 2;

// Text flags of DrawThemeText and GetThemeTextExtent.
constexpr unsigned DT_TOP = 0x0;
constexpr unsigned DT_CENTER = 0x1;
constexpr unsigned DT_RIGHT = 0x2;
constexpr unsigned DT_VCENTER = 0x4;
constexpr unsigned DT_BOTTOM = 0x8;
constexpr unsigned DT_SINGLELINE = 0x20;
// Without it, '&' marks the next character as the mnemonic (underlined, "&&" is '&').
constexpr unsigned DT_NOPREFIX = 0x800;
constexpr unsigned DT_RTLREADING = 0x20000;

// Flags of GetThemeAppProperties / SetThemeAppProperties.
constexpr unsigned STAP_ALLOW_NONCLIENT = 0x1;
constexpr unsigned STAP_ALLOW_CONTROLS = 0x2;
constexpr unsigned STAP_ALLOW_WEBCONTENT = 0x4;

// Setting this environment variable to "0" or "off" starts the library with
// visual styles switched off (EnableTheming switches them at run time).
constexpr const char* ActiveVariable = "VELTROY_VISUAL_STYLES";

// DrawThemeParentBackground asks the child's parent to paint what it shows
// behind the child with this event: the painter is translated to the parent's
// coordinates and clipped to the child's area. A parent that paints accepts
// the event; otherwise the library fills the area with the parent's background.
class PrintClientEvent : public QEvent {
public:
    static constexpr QEvent::Type EventType = static_cast<QEvent::Type>(QEvent::User + 0x318);
    explicit PrintClientEvent(QPainter* painter) : QEvent(EventType), Painter(painter) { ignore(); }
    QPainter* const Painter;
};

// The signatures of the entry points. Texts are UTF-16, a length of -1 meaning
// "up to the terminating zero". A null rectangle pointer means "none".
using OpenThemeDataFn = HTHEME(UxWindow window, const char16_t* classList);
using CloseThemeDataFn = UxResult(HTHEME theme);
using DrawThemeBackgroundFn = UxResult(HTHEME theme, UxDC dc, int partId, int stateId,
                                       const UxRect* rect, const UxRect* clipRect);
using DrawThemeTextFn = UxResult(HTHEME theme, UxDC dc, int partId, int stateId,
                                 const char16_t* text, int length, unsigned textFlags,
                                 unsigned textFlags2, const UxRect* rect);
using GetThemeBackgroundContentRectFn = UxResult(HTHEME theme, UxDC dc, int partId, int stateId,
                                                 const UxRect* boundingRect, UxRect* contentRect);
using GetThemeTextExtentFn = UxResult(HTHEME theme, UxDC dc, int partId, int stateId,
                                      const char16_t* text, int length, unsigned textFlags,
                                      const UxRect* boundingRect, UxRect* extentRect);
using IsThemePartDefinedFn = int(HTHEME theme, int partId, int stateId);
using IsThemeActiveFn = int();
using IsAppThemedFn = int();
using GetWindowThemeFn = HTHEME(UxWindow window);
using GetThemeAppPropertiesFn = unsigned();
using SetThemeAppPropertiesFn = void(unsigned flags);
using GetCurrentThemeNameFn = UxResult(char16_t* themeFileName, int maxNameChars,
                                       char16_t* colorBuff, int maxColorChars, char16_t* sizeBuff,
                                       int maxSizeChars);
using DrawThemeParentBackgroundFn = UxResult(UxWindow child, UxDC dc, const UxRect* rect);
using EnableThemingFn = UxResult(int enable);

} // namespace uxtheme
