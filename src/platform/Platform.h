// Stand-ins for the desktop system's basic services: sleeping, processing
// pending window messages, the work area, and the executable's path.
#pragma once

#include <QRect>
#include <QString>
#include <functional>

namespace platform {

// Blocks the calling (GUI) thread for ms milliseconds. Every wait of the game
// goes through here so that tests can run the real flow in shortened time.
void Sleep(int ms);
// Tests replace the sleep; an empty function restores the real one.
void SetSleepHook(std::function<void(int ms)> hook);

// Lets the window system process every pending message (input, paints,
// queued events). Does nothing before the application object exists.
void ProcessMessages();

// The primary screen's work area (desktop minus task bars) in screen pixels.
QRect WorkArea();
// Tests fix the work area; an empty rectangle restores the real one.
void SetWorkAreaOverride(const QRect& area);

// Full path of the running executable, e.g. /opt/veltroy/Quorin.
QString ExecutablePath();
// The settings file: the executable's path with the extension ".INI".
QString SettingsFilePath();
// Tests point the settings file elsewhere; empty restores the default.
void SetSettingsFileOverride(const QString& path);

} // namespace platform
