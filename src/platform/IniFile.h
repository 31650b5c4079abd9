// The private-profile (INI file) functions: read and write one value at a time.
#pragma once

#include <QString>
#include <optional>

namespace platform {

// Reads section/key from file. Section and key names match without regard to
// case; a value in a pair of double or single quotation marks comes back
// without them, otherwise with surrounding blanks removed; at most 2047
// characters. A missing file, section or key gives def.
QString GetPrivateProfileString(const QString& section, const QString& key, const QString& def,
                                const QString& file);

// Writes section/key=value: replaces the value in place (the line keeps the
// key's spelling from the file), or appends the key after the last key of its
// section, or appends the section at the end of the file. The value is written
// as given; a key that already holds exactly that text is left alone (true).
// The file is replaced atomically (temporary file in the same folder, then
// rename), so it is never left half-written, and keeps its permissions.
// Returns false, leaving the file as it was, when the file cannot be read or
// written or is marked read-only, or when a name would change the file's
// structure or inject lines: empty names, a line break or NUL anywhere, "]" in
// the section, "=" or a leading "[" or ";" in the key.
bool WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& file);

// An integer value: decimal with optional sign, or hexadecimal after "$" or
// "0x". Anything else, or a missing key, gives def.
int ReadInteger(const QString& section, const QString& key, int def, const QString& file);

// A switch: ReadInteger with def as 0 or 1; non-zero is true.
bool ReadBool(const QString& section, const QString& key, bool def, const QString& file);

// Writes value in decimal, "-" for negative values.
bool WriteInteger(const QString& section, const QString& key, int value, const QString& file);

// Writes "1" for true, "0" for false.
bool WriteBool(const QString& section, const QString& key, bool value, const QString& file);

// The conversion behind ReadInteger: surrounding blanks, an optional sign, then
// decimal digits within the 32-bit signed range, or hexadecimal digits up to
// FFFFFFFF after "$", "0x" or "0X" (wrapping into the signed range, so $FFFFFFFF
// is -1). With acceptBareX a lone "x" or "X" also introduces hexadecimal digits.
// nullopt for anything else.
std::optional<int> StrToInt(const QString& text, bool acceptBareX = false);

} // namespace platform
