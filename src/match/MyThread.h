// TMyThread: finds the session-location dialog by its title and confirms it.
#pragma once

#include <QString>
#include <atomic>
#include <thread>

class TMyThread {
public:
    // The title the transport's dialog carries.
    static const QString DialogTitle;

    // Starts at once.
    TMyThread();
    // Stops the thread and waits for it; it never waits for the GUI thread then.
    ~TMyThread();
    TMyThread(const TMyThread&) = delete;
    TMyThread& operator=(const TMyThread&) = delete;

    // The dialog was found and sent its OK command.
    bool Confirmed() const { return Sent.load(); }
    bool Finished() const { return Done.load(); }

private:
    void Execute();
    // Sleeps ms unless a stop comes first; false when stopped.
    bool Pause(int ms);

    std::atomic<bool> Stop{false};
    std::atomic<bool> Sent{false};
    std::atomic<bool> Done{false};
    std::thread Thread;
};
