// TEMPORARY placeholder until the INI store lands.
#include "platform/IniFile.h"
namespace platform {
QString GetPrivateProfileString(const QString&, const QString&, const QString& def,
                                const QString&) {
    return def;
}
bool WritePrivateProfileString(const QString&, const QString&, const QString&, const QString&) {
    return true;
}
int ReadInteger(const QString&, const QString&, int def, const QString&) {
    return def;
}
} // namespace platform
