// Opening a web page or a new mail through the desktop's URL handler, with a hook for tests.
#include "platform/Shell.h"

#include <QDesktopServices>
#include <QUrl>

namespace platform {
namespace {

std::function<void(const QString&)>& ShellOpenHook() {
    static std::function<void(const QString&)> hook;
    return hook;
}

} // namespace

void ShellOpen(const QString& target) {
    if (const auto& hook = ShellOpenHook()) {
        hook(target);
        return;
    }
    QDesktopServices::openUrl(QUrl(target, QUrl::StrictMode));
}

void SetShellOpenHook(std::function<void(const QString& target)> hook) {
    ShellOpenHook() = std::move(hook);
}

} // namespace platform
