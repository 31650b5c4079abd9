// Metafile pictures: checked here, drawn by the helper Quorin-metafile in a process of its own.
#include "platform/Metafile.h"

#include "platform/MetafileFormat.h"
#include "platform/Platform.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {
namespace {

using namespace metafile;

constexpr qint64 kConvertDeadlineMs = 3000;
constexpr const char* kHelperName = "Quorin-metafile";

// The helper lies beside the executable.
QByteArray HelperPath() {
    return QFile::encodeName(QFileInfo(ExecutablePath()).path() + QLatin1Char('/') +
                             QLatin1String(kHelperName));
}

// Starts the helper with data as its input and hands back the pixels it
// writes. A file made to crash the libraries, loop in them or exhaust memory
// costs at most kConvertDeadlineMs, after which the helper is killed.
QImage DrawIsolated(const QByteArray& data) {
    // The input is a sealed-off memory file: the helper reads it at its own
    // pace, and nothing blocks when the helper dies early.
    const int input = ::memfd_create("metafile", MFD_CLOEXEC);
    if (input < 0)
        return {};
    int pipeFds[2] = {-1, -1};
    if (!WriteAll(input, data.constData(), data.size()) || ::lseek(input, 0, SEEK_SET) != 0 ||
        ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        ::close(input);
        return {};
    }
    const QByteArray path = HelperPath();
    char* argv[] = {const_cast<char*>(path.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, path.constData(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        qDebug("No metafile helper %s: %s", path.constData(), std::strerror(spawned));
        ::close(pipeFds[0]);
        return {};
    }

    constexpr qsizetype kMaxReceived = 8 + qsizetype(kMaxRenderSide) * kMaxRenderSide * 4;
    QByteArray received;
    bool overrun = false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = kConvertDeadlineMs - clock.elapsed();
        if (left <= 0) {
            overrun = true;
            break;
        }
        pollfd wait{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            overrun = true;
            break;
        }
        char chunk[65536];
        const ssize_t n = ::read(pipeFds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (received.size() + n > kMaxReceived) {
            overrun = true;
            break;
        }
        received.append(chunk, n);
    }
    ::close(pipeFds[0]);
    if (overrun)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (overrun || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || received.size() < 8)
        return {};
    const qint32 width = Read<qint32>(received, 0);
    const qint32 height = Read<qint32>(received, 4);
    if (width < 1 || height < 1 || width > kMaxRenderSide || height > kMaxRenderSide ||
        received.size() != 8 + qsizetype(width) * height * 4)
        return {};
    QImage picture(width, height, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    std::memcpy(picture.bits(), received.constData() + 8, std::size_t(picture.sizeInBytes()));
    return picture;
}

} // namespace

QImage DecodeMetafile(const QByteArray& data) {
    // A damaged, truncated or oversized file is refused here, before any
    // library sees it.
    if (!ExamineMetafile(data))
        return {};
    return DrawIsolated(data);
}

} // namespace platform
