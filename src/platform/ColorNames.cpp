// TEMPORARY placeholder until the colour-name table lands.
#include "platform/Color.h"
const ColorName ColorNames[52] = {};
std::optional<QString> ColorToIdent(TColor) {
    return std::nullopt;
}
std::optional<TColor> IdentToColor(const QString&) {
    return std::nullopt;
}
QString ColorToString(TColor) {
    return {};
}
std::optional<TColor> StringToColor(const QString&) {
    return std::nullopt;
}
