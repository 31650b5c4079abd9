// The UI font family list, set in one place.
#include "platform/Fonts.h"

#include <QStringList>

namespace platform {

QFont UiFont(int pixelHeight, bool bold, bool italic) {
    QFont font;
    // The layouts were drawn for the proportional Gothic; IPAPGothic has its metrics.
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic")});
    font.setPixelSize(pixelHeight < 0 ? -pixelHeight : pixelHeight);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

} // namespace platform
