// Window lookup by title and commands to it, marshalled onto the GUI thread.
#include "platform/WindowLookup.h"

#include <QApplication>
#include <QDialog>
#include <QThread>
#include <QWidget>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {

namespace {

struct Call {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Finished = false;
    bool Abandoned = false;
};

QWidget* VisibleWindow(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle() == title)
            return w;
    return nullptr;
}

} // namespace

bool RunOnGuiThread(const std::function<void()>& work, const std::atomic<bool>& cancel) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return false;
    if (QThread::currentThread() == app->thread()) {
        work();
        return true;
    }
    auto call = std::make_shared<Call>();
    QMetaObject::invokeMethod(
        app,
        [call, work] {
            {
                std::lock_guard lock(call->Mutex);
                if (call->Abandoned)
                    return;
            }
            work();
            {
                std::lock_guard lock(call->Mutex);
                call->Finished = true;
            }
            call->Done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(call->Mutex);
    while (!call->Finished) {
        if (cancel.load()) {
            // The queued call may still run later; it sees this and does nothing.
            call->Abandoned = true;
            return false;
        }
        call->Done.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
}

bool FindTopLevelWindow(const QString& title, const std::atomic<bool>& cancel) {
    bool found = false;
    RunOnGuiThread([&] { found = VisibleWindow(title) != nullptr; }, cancel);
    return found;
}

bool SendWindowCommand(const QString& title, int command, const std::atomic<bool>& cancel) {
    bool sent = false;
    RunOnGuiThread(
        [&] {
            QWidget* window = VisibleWindow(title);
            if (!window)
                return;
            sent = true;
            if (auto* dialog = qobject_cast<QDialog*>(window)) {
                if (command == IDOK_COMMAND)
                    dialog->accept();
                else if (command == IDCANCEL_COMMAND)
                    dialog->reject();
            }
        },
        cancel);
    return sent;
}

} // namespace platform
