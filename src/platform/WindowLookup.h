// Finding a top-level window by its title from any thread, and sending it a
// command that its own (possibly modal) loop on the GUI thread carries out.
#pragma once

#include <QString>
#include <atomic>
#include <functional>

namespace platform {

// Commands with the desktop system's values.
constexpr int IDOK_COMMAND = 1;
constexpr int IDCANCEL_COMMAND = 2;

// Runs work on the GUI thread and waits for it, unless cancel becomes true
// first (checked every few milliseconds): a thread that is being stopped never
// stays blocked on a GUI thread that is waiting for it. Returns true when the
// work ran. On the GUI thread itself the work runs at once.
bool RunOnGuiThread(const std::function<void()>& work, const std::atomic<bool>& cancel);

// True when a visible top-level window has exactly this title.
bool FindTopLevelWindow(const QString& title, const std::atomic<bool>& cancel);

// Sends command (IDOK_COMMAND, IDCANCEL_COMMAND) to the visible top-level
// window with this title, synchronously: a dialog accepts or rejects. Returns
// false when there was no such window.
bool SendWindowCommand(const QString& title, int command, const std::atomic<bool>& cancel);

} // namespace platform
