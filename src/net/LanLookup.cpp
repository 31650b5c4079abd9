// Looking up a typed computer name on a thread of its own, within a bound, while the window draws.
#include "net/LanLookup.h"

#include "net/LanDiscovery.h"

#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace lan {

namespace {

std::mutex overrideMu;
std::function<bool(const std::string&, std::uint32_t*)> lookupOverride;

// What the lookup thread found, shared with the caller, who may have given
// up and gone: the thread then finishes alone and drops it.
struct Lookup {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    bool found = false;
    std::uint32_t ipv4 = 0;
    int doneFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); // readable once done
    ~Lookup() {
        if (doneFd >= 0)
            ::close(doneFd);
    }
};

} // namespace

void SetLookupOverride(std::function<bool(const std::string&, std::uint32_t*)> lookup) {
    std::lock_guard lock(overrideMu);
    lookupOverride = std::move(lookup);
}

bool ResolveIpv4Bounded(const std::string& text, std::uint32_t* ipv4,
                        std::chrono::milliseconds bound) {
    std::function<bool(const std::string&, std::uint32_t*)> lookup;
    {
        std::lock_guard lock(overrideMu);
        lookup = lookupOverride ? lookupOverride : ResolveIpv4;
    }
    if (ParseIpv4(text, ipv4))
        return true;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    auto state = std::make_shared<Lookup>();
    if (state->doneFd < 0)
        return false;
    // Detached: a lookup stuck in the resolver outlives the bound, and the
    // program does not wait for it.
    std::thread([state, text, lookup] {
        std::uint32_t address = 0;
        const bool found = lookup(text, &address);
        std::lock_guard lock(state->mu);
        state->done = true;
        state->found = found;
        state->ipv4 = address;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(state->doneFd, &one, sizeof one);
        state->cv.notify_all();
    }).detach();

    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app && QThread::currentThread() == app->thread()) {
        // The window repaints and answers the window manager; what the player
        // clicks or types meanwhile is handled after the answer.
        QEventLoop loop;
        QSocketNotifier done(state->doneFd, QSocketNotifier::Read);
        QObject::connect(&done, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        QTimer::singleShot(bound, &loop, &QEventLoop::quit);
        bool finished = false;
        {
            std::lock_guard lock(state->mu);
            finished = state->done;
        }
        if (!finished)
            loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    std::unique_lock lock(state->mu);
    // Off the window thread, or when the loop ended for another reason.
    state->cv.wait_until(lock, deadline, [&] { return state->done; });
    if (!state->done || !state->found)
        return false;
    *ipv4 = state->ipv4;
    return true;
}

} // namespace lan
