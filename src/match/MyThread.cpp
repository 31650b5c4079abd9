// TMyThread: polls for the session-location dialog and sends it OK.
#include "match/MyThread.h"

#include "platform/WindowLookup.h"

#include <chrono>

const QString TMyThread::DialogTitle = QStringLiteral("セッションの場所");

TMyThread::TMyThread() : Thread([this] { Execute(); }) {}

TMyThread::~TMyThread() {
    Stop = true;
    if (Thread.joinable())
        Thread.join();
}

bool TMyThread::Pause(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!Stop.load()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(5)));
    }
    return false;
}

void TMyThread::Execute() {
    // Look every 20 ms until the dialog is up (for the rest of the run if it never is).
    do {
        if (!Pause(20)) {
            Done = true;
            return;
        }
    } while (!platform::FindTopLevelWindow(DialogTitle, Stop));
    if (!Pause(50)) {
        Done = true;
        return;
    }
    // Then every 10 ms: confirm it once, and go on until it has gone.
    while (Pause(10)) {
        if (!platform::FindTopLevelWindow(DialogTitle, Stop))
            break;
        if (!Sent.load() && platform::SendWindowCommand(DialogTitle, platform::IDOK_COMMAND, Stop))
            Sent = true;
    }
    Done = true;
}
