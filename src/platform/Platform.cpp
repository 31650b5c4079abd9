// Sleeping, message processing, work area and file locations.
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace platform {

namespace {
std::function<void(int)> sleepHook;
std::mutex wakeMutex;
std::condition_variable wakeCond;
std::uint64_t wakeCount = 0;
QRect workAreaOverride;
QString settingsOverride;

// The user's base folder named by variable, or home + fallback when it is unset
// or relative.
QString UserFolder(const QProcessEnvironment& env, const char* variable, const char* fallback) {
    const QString value = env.value(QLatin1String(variable));
    if (QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    QString home = env.value(QStringLiteral("HOME"));
    if (!QDir::isAbsolutePath(home)) {
        const passwd* entry = ::getpwuid(::getuid());
        home = entry && entry->pw_dir ? QFile::decodeName(entry->pw_dir) : QDir::rootPath();
    }
    return QDir::cleanPath(home + QLatin1Char('/') + QLatin1String(fallback));
}

// The same folder, resolving symbolic links where it exists.
QString Canonical(const QString& folder) {
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) : canonical;
}

} // namespace

void Sleep(int ms) {
    if (sleepHook) {
        sleepHook(ms);
        return;
    }
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

void SleepUnlessWoken(int ms, const std::function<bool()>& due) {
    if (sleepHook) {
        sleepHook(ms);
        return;
    }
    std::unique_lock lock(wakeMutex);
    const std::uint64_t seen = wakeCount;
    lock.unlock();
    if (due && due())
        return;
    lock.lock();
    wakeCond.wait_for(lock, std::chrono::milliseconds(std::max(ms, 0)),
                      [&] { return wakeCount != seen; });
}

void WakeSleeper() {
    {
        std::lock_guard lock(wakeMutex);
        ++wakeCount;
    }
    wakeCond.notify_all();
}

void SetSleepHook(std::function<void(int)> hook) {
    sleepHook = std::move(hook);
}

void ProcessMessages() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void ProcessMessagesUntilShown(QWidget* window, int maxMs) {
    ProcessMessages();
    QWindow* handle = window ? window->windowHandle() : nullptr;
    if (!handle || !window->isVisible() || handle->isExposed())
        return;
    // The timer ends the wait when the window never comes (minimised, say).
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(maxMs);
    while (!handle->isExposed() && deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    ProcessMessages();
}

QRect WorkArea() {
    if (!workAreaOverride.isEmpty())
        return workAreaOverride;
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        if (QScreen* screen = QGuiApplication::primaryScreen())
            return screen->availableGeometry();
    }
    return QRect(0, 0, 1024, 768);
}

void SetWorkAreaOverride(const QRect& area) {
    workAreaOverride = area;
}

QString ExecutablePath() {
    if (QCoreApplication::instance())
        return QCoreApplication::applicationFilePath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

FileLocations ChooseFileLocations(const QString& executable, bool folderWritable,
                                  const QString& installedFolder, const QProcessEnvironment& env) {
    const QFileInfo exe(executable);
    const QString settingsName = exe.completeBaseName() + QStringLiteral(".INI");
    const bool installed =
        !installedFolder.isEmpty() && Canonical(exe.path()) == Canonical(installedFolder);
    if (folderWritable && !installed)
        return {exe.path() + QLatin1Char('/') + settingsName, exe.path()};
    return {UserFolder(env, "XDG_CONFIG_HOME", ".config") + QStringLiteral("/veltroy/") +
                settingsName,
            UserFolder(env, "XDG_STATE_HOME", ".local/state") + QStringLiteral("/veltroy")};
}

const FileLocations& ProgramFileLocations() {
    static const FileLocations locations = [] {
        const QString executable = ExecutablePath();
        const QString folder = QFileInfo(executable).path();
        const bool writable = ::access(QFile::encodeName(folder).constData(), W_OK) == 0;
        return ChooseFileLocations(executable, writable, QStringLiteral(VELTROY_INSTALLED_DIR),
                                   QProcessEnvironment::systemEnvironment());
    }();
    return locations;
}

QString SettingsFilePath() {
    if (!settingsOverride.isEmpty())
        return settingsOverride;
    return ProgramFileLocations().SettingsFile;
}

void SetSettingsFileOverride(const QString& path) {
    settingsOverride = path;
}

} // namespace platform
