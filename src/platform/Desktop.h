// The program's place on the desktop: its icon, its desktop entry, its window system.
#pragma once

#include <QIcon>
#include <QString>

namespace platform {

// The name of the desktop entry and the AppStream component, and of the icon.
inline constexpr const char* DesktopEntryId = "org.example.veltroy";

// The program's icon, a piece on the board pattern, at every size it comes in.
QIcon ProgramIcon();

// The program places its windows and shapes its popup, which a Wayland client
// cannot do: on a Wayland session it asks the toolkit for X11 (XWayland), or
// for Wayland only where there is no X server. A QT_QPA_PLATFORM of the user's
// own is left alone. Runs before the application object exists.
void PreferXWayland();

} // namespace platform
