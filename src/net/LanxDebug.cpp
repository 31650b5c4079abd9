// Failure reporting of the session component: the debug log file, ELanx and the halt.
#include "net/Lanx.h"
#include "platform/Platform.h"

#include <QDir>
#include <QFile>
#include <cstdio>
#include <cstdlib>

namespace {

// Unit-wide state, used by the GUI thread only.
TLanxDebugOption debugFlags = dpoHaltOnError;
int lineCounter = 0;
bool fileStarted = false; // the first line of a run empties the file
QString logFolder;
std::function<void()> haltHook;
std::function<void(const QString&)> haltNotice;
bool noticeShown = false;

QString LogFolder() {
    return logFolder.isEmpty() ? platform::ProgramFileLocations().DebugLogFolder : logFolder;
}

// Ends the program as an ordinary exit. Static destructors are skipped on
// purpose: other threads (receive, transport, audio) may still be running and
// must not see globals torn down beneath them. The log is closed after every
// line, so only the standard streams need flushing.
[[noreturn]] void Halt() {
    std::fflush(nullptr);
    std::quick_exit(0);
}

} // namespace

namespace lanx {

TLanxDebugOption DebugFlags() {
    return debugFlags;
}

void SetDebugFlags(TLanxDebugOption flags) {
    debugFlags = flags;
}

void SetDebugLogFolder(const QString& folder) {
    logFolder = folder;
    lineCounter = 0;
    fileStarted = false;
}

void SetHaltHook(std::function<void()> hook) {
    haltHook = std::move(hook);
}

void SetHaltNotice(std::function<void(const QString& text)> notice) {
    haltNotice = std::move(notice);
}

} // namespace lanx

void DebugLog(const QString& Text) {
    if (debugFlags.testFlag(dpoDebugMessage)) {
        // The user's state folder may not exist yet; a failure shows when opening.
        const QString folder = LogFolder();
        QDir().mkpath(folder);
        const QString path = folder + QStringLiteral("/Lanx_DebugLog.txt");
        QFile file(path);
        const QIODevice::OpenMode mode = fileStarted ? QIODevice::WriteOnly | QIODevice::Append
                                                     : QIODevice::WriteOnly | QIODevice::Truncate;
        if (!file.open(mode))
            throw ELanxIOError(path + QStringLiteral(": ") + file.errorString());
        fileStarted = true;
        ++lineCounter;
        const QByteArray line = (QStringLiteral("debug#") +
                                 QString::number(lineCounter).rightJustified(5, QLatin1Char('0')) +
                                 QStringLiteral(" ... ") + Text)
                                    .toUtf8() +
                                "\r\n";
        if (file.write(line) != line.size() || !file.flush())
            throw ELanxIOError(path + QStringLiteral(": ") + file.errorString());
        file.close();
    }
    if (debugFlags.testFlag(dpoExceptOnError))
        throw ELanx(Text);
}

HRESULT CheckResult(HRESULT Result, const QString& Text) {
    if (Result == DP_OK || Result == DPERR_USERCANCEL)
        return Result;
    const QString report =
        Text + QStringLiteral("(Error Code(%1))").arg(QString::number(Result, 16).toUpper());
    DebugLog(report);
    if (debugFlags.testFlag(dpoHaltOnError)) {
        if (haltNotice && !noticeShown) {
            noticeShown = true;
            const auto notice = haltNotice;
            notice(report);
        }
        if (!haltHook)
            Halt();
        haltHook();
    }
    return Result;
}
