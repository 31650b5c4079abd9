// The private-profile (INI file) functions over a UTF-8 text file that is replaced atomically.
#include "platform/IniFile.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringView>
#include <cstdint>

namespace platform {

namespace {

// At most this many characters (code points) of a value are returned.
constexpr qsizetype MaxValueLength = 2047;

const QByteArray Utf8Bom("\xEF\xBB\xBF");

bool IsBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QStringView TrimBlanks(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin);
}

bool SameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The file as lines without their line ends. Lines stay bytes, so that every
// line a write does not change goes back exactly as it was, whatever its
// encoding.
struct IniText {
    QList<QByteArray> Lines;
    bool Exists = false;
    bool Bom = false;
    bool CrLf = false; // new files use LF
};

// False when the file exists but cannot be read (or is no regular file); a
// missing file is an empty one.
bool Load(const QString& file, IniText& text) {
    const QFileInfo info(file);
    if (!info.exists()) {
        return true;
    }
    text.Exists = true;
    QFile in(file);
    if (!info.isFile() || !in.open(QIODevice::ReadOnly)) {
        return false;
    }
    QByteArray data = in.readAll();
    if (in.error() != QFileDevice::NoError) {
        return false;
    }
    if (data.startsWith(Utf8Bom)) {
        text.Bom = true;
        data.remove(0, Utf8Bom.size());
    }
    if (data.isEmpty()) {
        return true;
    }
    const qsizetype firstLf = data.indexOf('\n');
    text.CrLf = firstLf > 0 && data[firstLf - 1] == '\r';
    text.Lines = data.split('\n');
    if (data.endsWith('\n')) {
        text.Lines.removeLast();
    }
    for (QByteArray& line : text.Lines) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
    }
    return true;
}

bool Save(const QString& file, const IniText& text) {
    QByteArray data;
    if (text.Bom) {
        data += Utf8Bom;
    }
    const QByteArray eol = text.CrLf ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    for (const QByteArray& line : text.Lines) {
        data += line;
        data += eol;
    }
    // The new text goes to a temporary file beside the old one, which is then
    // renamed over it: a reader sees either the old file or the new one. A file
    // marked read-only is refused, and the new file gets the old one's
    // permissions.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly)) {
        return false;
    }
    if (out.write(data) != data.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit();
}

enum class LineKind { Other, Section, Key };

struct IniLine {
    LineKind Kind = LineKind::Other;
    QString Name;  // section or key name, blanks removed
    QString Value; // everything after the first "=", as written
};

IniLine Classify(const QByteArray& raw) {
    const QString line = QString::fromUtf8(raw);
    const QStringView text = TrimBlanks(line);
    if (text.startsWith(u'[')) {
        const qsizetype close = text.lastIndexOf(u']');
        const QStringView name = close > 0 ? text.sliced(1, close - 1) : text.sliced(1);
        return {LineKind::Section, TrimBlanks(name).toString(), {}};
    }
    if (text.startsWith(u';')) {
        return {};
    }
    const qsizetype equals = text.indexOf(u'=');
    if (equals < 0) {
        return {};
    }
    return {LineKind::Key, TrimBlanks(text.first(equals)).toString(),
            text.sliced(equals + 1).toString()};
}

QString CleanValue(QStringView raw) {
    QStringView value = TrimBlanks(raw);
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
        value.back() == value.front()) {
        value = value.sliced(1, value.size() - 2);
    }
    qsizetype end = 0;
    for (qsizetype count = 0; end < value.size() && count < MaxValueLength; ++count) {
        const bool pair = value[end].isHighSurrogate() && end + 1 < value.size() &&
                          value[end + 1].isLowSurrogate();
        end += pair ? 2 : 1;
    }
    return value.first(end).toString();
}

bool HasLineBreak(QStringView text) {
    return text.contains(u'\n') || text.contains(u'\r') || text.contains(QChar(0));
}

bool ValidSection(QStringView section) {
    return !section.isEmpty() && !HasLineBreak(section) && !section.contains(u']');
}

// A key must not turn its line into a section, a comment or a different key.
bool ValidKey(QStringView key) {
    return !key.isEmpty() && !HasLineBreak(key) && !key.contains(u'=') && !key.startsWith(u'[') &&
           !key.startsWith(u';');
}

int DigitValue(QChar c, int base) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') {
        return u - u'0';
    }
    if (base == 16 && u >= u'a' && u <= u'f') {
        return u - u'a' + 10;
    }
    if (base == 16 && u >= u'A' && u <= u'F') {
        return u - u'A' + 10;
    }
    return -1;
}

} // namespace

QString GetPrivateProfileString(const QString& section, const QString& key, const QString& def,
                                const QString& file) {
    IniText text;
    if (!Load(file, text)) {
        return def;
    }
    const QStringView wantedSection = TrimBlanks(section);
    const QStringView wantedKey = TrimBlanks(key);
    bool inSection = false;
    for (const QByteArray& raw : text.Lines) {
        const IniLine line = Classify(raw);
        if (line.Kind == LineKind::Section) {
            if (inSection) {
                break; // only the first matching section counts
            }
            inSection = SameName(line.Name, wantedSection);
        } else if (inSection && line.Kind == LineKind::Key && !line.Name.isEmpty() &&
                   SameName(line.Name, wantedKey)) {
            return CleanValue(line.Value);
        }
    }
    return def;
}

bool WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& file) {
    const QStringView sectionName = TrimBlanks(section);
    const QStringView keyName = TrimBlanks(key);
    if (!ValidSection(sectionName) || !ValidKey(keyName) || HasLineBreak(value)) {
        return false;
    }
    IniText text;
    if (!Load(file, text)) {
        return false; // rewriting a file we could not read would lose its contents
    }

    qsizetype sectionAt = -1;
    qsizetype lastKeyAt = -1;
    for (qsizetype i = 0; i < text.Lines.size(); ++i) {
        const IniLine line = Classify(text.Lines[i]);
        if (line.Kind == LineKind::Section) {
            if (sectionAt >= 0) {
                break;
            }
            if (SameName(line.Name, sectionName)) {
                sectionAt = lastKeyAt = i;
            }
        } else if (sectionAt >= 0 && line.Kind == LineKind::Key) {
            if (SameName(line.Name, keyName)) {
                if (line.Value == value) {
                    return true; // already there: spare the rewrite and its disk flush
                }
                // The line keeps the key as the file spells it.
                text.Lines[i] = (line.Name + u'=' + value).toUtf8();
                return Save(file, text);
            }
            lastKeyAt = i;
        }
    }

    const QByteArray newLine = (keyName.toString() + u'=' + value).toUtf8();
    if (sectionAt >= 0) {
        text.Lines.insert(lastKeyAt + 1, newLine);
    } else {
        text.Lines.append((u'[' + sectionName.toString() + u']').toUtf8());
        text.Lines.append(newLine);
    }
    return Save(file, text);
}

int ReadInteger(const QString& section, const QString& key, int def, const QString& file) {
    return StrToInt(GetPrivateProfileString(section, key, QString(), file)).value_or(def);
}

bool ReadBool(const QString& section, const QString& key, bool def, const QString& file) {
    return ReadInteger(section, key, def ? 1 : 0, file) != 0;
}

bool WriteInteger(const QString& section, const QString& key, int value, const QString& file) {
    return WritePrivateProfileString(section, key, QString::number(value), file);
}

bool WriteBool(const QString& section, const QString& key, bool value, const QString& file) {
    return WritePrivateProfileString(section, key,
                                     value ? QStringLiteral("1") : QStringLiteral("0"), file);
}

std::optional<int> StrToInt(const QString& text, bool acceptBareX) {
    QStringView digits = TrimBlanks(text);
    bool negative = false;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-')) {
        negative = digits.front() == u'-';
        digits = digits.sliced(1);
    }
    int base = 10;
    if (digits.startsWith(u'$')) {
        base = 16;
        digits = digits.sliced(1);
    } else if (digits.startsWith(u"0x") || digits.startsWith(u"0X")) {
        base = 16;
        digits = digits.sliced(2);
    } else if (acceptBareX && (digits.startsWith(u'x') || digits.startsWith(u'X'))) {
        base = 16;
        digits = digits.sliced(1);
    }
    if (digits.isEmpty()) {
        return std::nullopt;
    }
    // Hexadecimal covers all 32 bits; decimal stays within the signed range.
    const std::uint64_t limit = base == 16 ? 0xFFFFFFFFu : (negative ? 0x80000000u : 0x7FFFFFFFu);
    std::uint64_t magnitude = 0;
    for (QChar c : digits) {
        const int digit = DigitValue(c, base);
        if (digit < 0) {
            return std::nullopt;
        }
        magnitude = magnitude * base + digit;
        if (magnitude > limit) {
            return std::nullopt;
        }
    }
    const auto bits = static_cast<std::uint32_t>(magnitude);
    return static_cast<int>(negative ? 0u - bits : bits);
}

} // namespace platform
