// The program's icon and its choice of window system on a Wayland session.
#include "platform/Desktop.h"

#include <QByteArray>

namespace platform {

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1.png").arg(size), QSize(size, size));
    return icon;
}

void PreferXWayland() {
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    // The toolkit tries the names in turn.
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("xcb;wayland"));
}

} // namespace platform
