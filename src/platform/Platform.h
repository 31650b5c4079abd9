// Stand-ins for the desktop system's basic services: sleeping, processing
// pending window messages, the work area, the executable's path and where the
// program keeps its files.
#pragma once

#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <functional>

class QWidget;

namespace platform {

// Blocks the calling (GUI) thread for ms milliseconds. Every wait of the game
// goes through here so that tests can run the real flow in shortened time.
void Sleep(int ms);
// Tests replace the sleep; an empty function restores the real one.
void SetSleepHook(std::function<void(int ms)> hook);
// Sleep(ms) that ends early once WakeSleeper() is called from any thread, or
// at once when due() is already true. due() is asked after the wake-ups are
// counted, so a wake-up that comes between the two is not missed.
void SleepUnlessWoken(int ms, const std::function<bool()>& due);
// Ends a SleepUnlessWoken now in progress, or the next one's wait.
void WakeSleeper();

// Lets the window system process every pending message (input, paints,
// queued events). Does nothing before the application object exists.
void ProcessMessages();
// ProcessMessages() for a window just shown, which the window system puts on
// the screen only a round trip later: waits (without spinning) until it is,
// at most maxMs, and lets it paint, so that a wait that follows shows it.
void ProcessMessagesUntilShown(QWidget* window, int maxMs = 500);

// The primary screen's work area (desktop minus task bars) in screen pixels.
QRect WorkArea();
// Tests fix the work area; an empty rectangle restores the real one.
void SetWorkAreaOverride(const QRect& area);

// Full path of the running executable, e.g. /opt/veltroy/Quorin.
QString ExecutablePath();

// Where the settings file and the debug log live.
struct FileLocations {
    QString SettingsFile;   // e.g. /opt/veltroy/Quorin.INI
    QString DebugLogFolder; // the folder of Lanx_DebugLog.txt
};

// The rule: beside the executable when its folder may be written (a copy in a
// folder of its own, the build folder), with the settings file named after the
// executable with ".INI". Otherwise, and always for a copy in installedFolder
// (the folder the install rules put the executable in, where root could write
// too), in the user's folders: $XDG_CONFIG_HOME/veltroy/ (by default
// ~/.config/veltroy/) for the settings, $XDG_STATE_HOME/veltroy/ (by default
// ~/.local/state/veltroy/) for the log. A relative XDG folder is ignored.
FileLocations ChooseFileLocations(const QString& executable, bool folderWritable,
                                  const QString& installedFolder, const QProcessEnvironment& env);

// The locations of this run: the rule applied to this executable and this
// environment once, on first use, and kept for the whole run.
const FileLocations& ProgramFileLocations();

// The settings file of this run (ProgramFileLocations, unless overridden).
QString SettingsFilePath();
// Tests point the settings file elsewhere; empty restores the default.
void SetSettingsFileOverride(const QString& path);

} // namespace platform
