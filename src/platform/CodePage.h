// The system code page of this platform (UTF-8): the one place where text
// becomes bytes for the wire and back.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

// Bytes of text in the system code page, without a terminator.
QByteArray ToSystemCodePage(const QString& text);
// Text of bytes up to the first zero byte (or the end); invalid sequences
// become replacement characters, never a failure.
QString FromSystemCodePage(const char* data, std::size_t size);

// Character (code point) positions, as the messages count them.
// The characters of text from position first (0-based) on, at most count of them.
QString MidChars(const QString& text, int first, int count = -1);
int CharCount(const QString& text);

} // namespace platform
