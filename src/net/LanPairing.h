// Whom a program would rather pair with, and when its reservation lapses.
#pragma once

#include "net/DirectPlay.h"
#include "net/LanWire.h"

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

namespace lan {

// Shared by the transport object's searches and its session's network thread
// under a mutex of its own; no other lock is taken while it is held.
class Pairing {
public:
    using Time = std::chrono::steady_clock::time_point;
    static constexpr std::chrono::milliseconds kDefaultLapse{10000};

    // A reserved program (one with preferred tags) sees only those programs
    // until the lapse after it first saw another one since this call.
    void Set(const lanwire::Tag& own, const std::vector<lanwire::Tag>& preferred);
    lanwire::Tag Own() const;
    bool Prefers(const std::optional<lanwire::Tag>& tag) const;
    // Whether to pair with the program of this tag (none: an old program) now.
    // A reserved program refusing another program has seen one: its
    // reservation then lapses after a while. Its own tag is no other program.
    bool Admits(const std::optional<lanwire::Tag>& tag, Time now);

    // How long a reservation lasts once another program was seen; zero
    // restores the default. Applies to every pairing.
    static void SetLapse(std::chrono::milliseconds lapse);
    static std::chrono::milliseconds Lapse();

private:
    bool PrefersLocked(const std::optional<lanwire::Tag>& tag) const;

    mutable std::mutex Mu;
    lanwire::Tag OwnTag{};
    std::vector<lanwire::Tag> Preferred; // none: not reserved
    std::optional<Time> LapsesAt;
};

} // namespace lan
