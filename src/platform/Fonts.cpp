// The UI font family list, set in one place.
#include "platform/Fonts.h"

#include <QFontDatabase>
#include <QStringList>

#include <fontconfig/fontconfig.h>

#include <system_error>
#include <thread>

namespace platform {

namespace {

// The reading of the font configuration, while it runs. Started, waited for
// and ended on the main thread only.
std::thread configReader;

void WaitForFontConfig() {
    if (configReader.joinable())
        configReader.join();
}

// The layouts were drawn for the proportional Gothic; IPAPGothic has its metrics.
QStringList FamilyList() {
    return {QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
            QStringLiteral("IPAPGothic")};
}

// The first family of the list that is installed, looked up once. Given the
// whole list, the toolkit would search the font configuration for the
// fallbacks of each missing family again for every size and weight asked for,
// the slowest part of drawing the first window. With none of them installed
// the whole list is passed on, and the toolkit falls back as it would.
const QStringList& Families() {
    static const QStringList families = [] {
        WaitForFontConfig();
        const QStringList installed = QFontDatabase::families();
        for (const QString& family : FamilyList()) {
            if (installed.contains(family, Qt::CaseInsensitive))
                return QStringList{family};
        }
        return FamilyList();
    }();
    return families;
}

} // namespace

// Its rules and the cache of every installed font take several milliseconds
// to read, most of the font work of the first window; the toolkit reads them
// again only when they changed on disk. The thread touches no Qt object: the
// first thread that does so before the application object becomes, for Qt,
// the program's main thread.
FontConfigPreload::FontConfigPreload() {
    if (configReader.joinable())
        return;
    try {
        configReader = std::thread([] { FcInit(); });
    } catch (const std::system_error&) {
        // No thread to be had: the toolkit reads the configuration itself.
    }
}

FontConfigPreload::~FontConfigPreload() {
    WaitForFontConfig();
}

QFont UiFont(int pixelHeight, bool bold, bool italic) {
    QFont font;
    font.setFamilies(Families());
    font.setPixelSize(pixelHeight < 0 ? -pixelHeight : pixelHeight);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

} // namespace platform
