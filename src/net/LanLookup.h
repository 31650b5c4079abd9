// Looking up a typed computer name without freezing the window.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace lan {

// How long a name lookup may take: a DNS server that does not answer costs no more.
inline constexpr std::chrono::milliseconds kLookupBound{4000};

// ResolveIpv4 on a thread of its own, given up after `bound` (false, as for a
// name that does not resolve). Called on the window thread, it keeps the
// window drawing meanwhile; mouse and keys wait until the answer.
bool ResolveIpv4Bounded(const std::string& text, std::uint32_t* ipv4,
                        std::chrono::milliseconds bound = kLookupBound);

// Tests: replaces the lookup the thread makes (empty restores ResolveIpv4).
void SetLookupOverride(std::function<bool(const std::string&, std::uint32_t*)> lookup);

} // namespace lan
