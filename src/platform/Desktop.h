// The program's place on the desktop: its icon, its desktop entry, its window system.
#pragma once

#include <QIcon>
#include <QString>

class QStyle;

namespace platform {

// The name of the desktop entry and the AppStream component, and of the icon.
inline constexpr const char* DesktopEntryId = "org.example.veltroy";

// The program's window icon, a piece on the board pattern, at the sizes of a
// window's icon (16 to 64 pixels).
QIcon ProgramIcon();

// The toolkit's own style, except that its standard icons are read at their
// first use. The menu bar asks for one at its creation, for a button shown only
// when the menus do not fit, and reading it would load every image format
// plugin and the SVG module while the first window is being built.
// For QApplication::setStyle, which takes it over.
QStyle* ProgramStyle();

// The program places its windows and shapes its popup, which a Wayland client
// cannot do: on a Wayland session it asks the toolkit for X11 (XWayland), or
// for Wayland only where there is no X server. A QT_QPA_PLATFORM of the user's
// own is left alone. Runs before the application object exists.
void PreferXWayland();

} // namespace platform
