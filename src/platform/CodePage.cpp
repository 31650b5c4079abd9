// UTF-8 conversion and code point positions.
#include "platform/CodePage.h"

#include <QList>
#include <cstring>

namespace platform {

QByteArray ToSystemCodePage(const QString& text) {
    return text.toUtf8();
}

QString FromSystemCodePage(const char* data, std::size_t size) {
    if (!data)
        return {};
    const void* nul = std::memchr(data, 0, size);
    const std::size_t length =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : size;
    return QString::fromUtf8(data, static_cast<qsizetype>(length));
}

QString MidChars(const QString& text, int first, int count) {
    const QList<uint> chars = text.toUcs4();
    if (first < 0 || first >= chars.size())
        return {};
    const int n =
        count < 0 ? int(chars.size()) - first : std::min(count, int(chars.size()) - first);
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(chars.constData() + first), n);
}

int CharCount(const QString& text) {
    return int(text.toUcs4().size());
}

} // namespace platform
