// Colour values as the settings and the board store them, and their conversion to Qt.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>
#include <optional>

class QWidget;

// A 32-bit colour: 0x00BBGGRR for a plain colour (red in the lowest byte),
// 0x80000000 + index for a system colour, plus the two special values below.
using TColor = std::uint32_t;

constexpr TColor clBlack = 0x00000000;
constexpr TColor clMaroon = 0x00000080;
constexpr TColor clGreen = 0x00008000;
constexpr TColor clOlive = 0x00008080;
constexpr TColor clNavy = 0x00800000;
constexpr TColor clPurple = 0x00800080;
constexpr TColor clTeal = 0x00808000;
constexpr TColor clGray = 0x00808080;
constexpr TColor clSilver = 0x00C0C0C0;
constexpr TColor clRed = 0x000000FF;
constexpr TColor clLime = 0x0000FF00;
constexpr TColor clYellow = 0x0000FFFF;
constexpr TColor clBlue = 0x00FF0000;
constexpr TColor clFuchsia = 0x00FF00FF;
constexpr TColor clAqua = 0x00FFFF00;
constexpr TColor clWhite = 0x00FFFFFF;
constexpr TColor clCream = 0x00F0FBFF;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;
constexpr TColor clSystemColor = 0x80000000;
constexpr TColor clInactiveCaptionText = clSystemColor + 19;
constexpr TColor clBtnFace = clSystemColor + 15;

constexpr TColor RGB(int r, int g, int b) {
    return TColor(r & 0xFF) | (TColor(g & 0xFF) << 8) | (TColor(b & 0xFF) << 16);
}

// The one place where a colour value becomes a QColor. System colours map to
// the application palette; clNone is transparent, clDefault the window colour.
QColor ColorToQColor(TColor color);
// A QColor as a plain colour value (alpha dropped).
TColor QColorToColor(const QColor& color);

// The 52-entry colour-name table, searched from the top.
struct ColorName {
    const char* Name;
    TColor Value;
};
extern const ColorName ColorNames[52];

// "clTeal" for 0x00808000; nullopt when the value has no name.
std::optional<QString> ColorToIdent(TColor color);
// The value of a table name, compared without regard to case.
std::optional<TColor> IdentToColor(const QString& ident);
// Name when the value has one, else "$" and eight upper-case hex digits.
QString ColorToString(TColor color);
// A table name, or an integer: optional blanks and sign, then decimal digits,
// or "$", "x", "X" or "0x" followed by hexadecimal digits. nullopt otherwise.
std::optional<TColor> StringToColor(const QString& text);

// Gives a widget a background (window and base, filled) and/or a text colour.
void SetWidgetColors(QWidget* widget, std::optional<QColor> background,
                     std::optional<QColor> text = std::nullopt);
