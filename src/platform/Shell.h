// Opening a web page or a new mail with the desktop's default program.
#pragma once

#include <QString>
#include <functional>

namespace platform {

// Asks the desktop to open target, a web address or a "mailto:" address, with
// its default program. Whether that worked is not reported.
void ShellOpen(const QString& target);

// Replaces the desktop's URL handler (tests observe the targets this way); an
// empty function restores it.
void SetShellOpenHook(std::function<void(const QString& target)> hook);

} // namespace platform
