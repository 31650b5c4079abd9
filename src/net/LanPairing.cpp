// Whom a program would rather pair with, and when its reservation lapses.
#include "net/LanPairing.h"

#include <algorithm>
#include <atomic>

namespace lan {

namespace {
std::atomic<std::int64_t> lapseMs{0}; // 0: kDefaultLapse
} // namespace

void Pairing::Set(const lanwire::Tag& own, const std::vector<lanwire::Tag>& preferred) {
    std::lock_guard lock(Mu);
    OwnTag = own;
    Preferred.clear();
    for (const lanwire::Tag& tag : preferred) {
        if (tag != lanwire::Tag{})
            Preferred.push_back(tag);
    }
    LapsesAt.reset();
}

lanwire::Tag Pairing::Own() const {
    std::lock_guard lock(Mu);
    return OwnTag;
}

bool Pairing::Prefers(const std::optional<lanwire::Tag>& tag) const {
    std::lock_guard lock(Mu);
    return PrefersLocked(tag);
}

bool Pairing::Admits(const std::optional<lanwire::Tag>& tag, Time now) {
    std::lock_guard lock(Mu);
    if (Preferred.empty() || PrefersLocked(tag))
        return true;
    const bool self = tag && OwnTag != lanwire::Tag{} && *tag == OwnTag;
    if (!LapsesAt && !self)
        LapsesAt = now + Lapse();
    return LapsesAt && now >= *LapsesAt;
}

void Pairing::SetLapse(std::chrono::milliseconds lapse) {
    lapseMs = std::max<std::int64_t>(lapse.count(), 0);
}

std::chrono::milliseconds Pairing::Lapse() {
    const std::int64_t ms = lapseMs;
    return ms > 0 ? std::chrono::milliseconds(ms) : kDefaultLapse;
}

bool Pairing::PrefersLocked(const std::optional<lanwire::Tag>& tag) const {
    return tag && std::find(Preferred.begin(), Preferred.end(), *tag) != Preferred.end();
}

} // namespace lan
