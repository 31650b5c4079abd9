// The private-profile (INI file) functions: read and write one value at a time.
#pragma once

#include <QString>

namespace platform {

// Reads section/key from file. Section and key names match without regard to
// case; a value in a pair of double or single quotation marks comes back
// without them, otherwise with surrounding blanks removed; at most 2047
// characters. A missing file, section or key gives def.
QString GetPrivateProfileString(const QString& section, const QString& key, const QString& def,
                                const QString& file);

// Writes section/key=value: replaces the value in place, or appends the key at
// the end of its section, or appends the section at the end of the file. The
// file is replaced atomically (temporary file in the same folder, then rename),
// so it is never left half-written. Returns false when it cannot be written.
bool WritePrivateProfileString(const QString& section, const QString& key, const QString& value,
                               const QString& file);

// An integer value: decimal with optional sign, or hexadecimal after "$" or
// "0x". Anything else, or a missing key, gives def.
int ReadInteger(const QString& section, const QString& key, int def, const QString& file);

} // namespace platform
