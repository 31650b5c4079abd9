// Sleeping, message processing, work area and file locations.
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

namespace platform {

namespace {
std::function<void(int)> sleepHook;
QRect workAreaOverride;
QString settingsOverride;
} // namespace

void Sleep(int ms) {
    if (sleepHook) {
        sleepHook(ms);
        return;
    }
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

void SetSleepHook(std::function<void(int)> hook) {
    sleepHook = std::move(hook);
}

void ProcessMessages() {
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
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

QString SettingsFilePath() {
    if (!settingsOverride.isEmpty())
        return settingsOverride;
    const QFileInfo exe(ExecutablePath());
    return exe.path() + QLatin1Char('/') + exe.completeBaseName() + QStringLiteral(".INI");
}

void SetSettingsFileOverride(const QString& path) {
    settingsOverride = path;
}

} // namespace platform
