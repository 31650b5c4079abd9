// Asking the home router to forward the game's ports to this computer, for a
// friend on the internet: UPnP IGD, else NAT-PMP, on a thread of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace lan {

enum class RouterOutcome {
    Forwarded, // every port forwarded; `external` is the router's internet address
    NoRouter,  // no router answered over UPnP or NAT-PMP
    Refused,   // the router answered and would not forward
    PortTaken, // `port` is already forwarded to another computer
    NotPublic, // the router's own address is private or the provider's shared
               // one (`external`), or it has none to tell (`external` 0)
};

struct RouterReport {
    RouterOutcome outcome = RouterOutcome::NoRouter;
    std::uint32_t external = 0; // host order; Forwarded and NotPublic
    std::uint16_t port = 0;     // PortTaken
    bool natPmp = false;        // the router was asked over NAT-PMP, not UPnP
    std::chrono::milliseconds took{0};
};

// How long the search for a UPnP router waits for answers (always, since
// any router may answer). A router that answers over neither UPnP nor
// NAT-PMP costs this and 1.8 s more.
inline constexpr std::chrono::milliseconds kRouterSearch{1000};
// The lease the router is asked for, renewed at half of it while the
// forwarding lasts: after a crash the forwarding runs out by itself.
inline constexpr std::chrono::seconds kRouterLease{600};

// True for an address the internet can reach: not 0/8, 10/8, 100.64/10
// (shared by providers), 127/8, 169.254/16, 172.16/12, 192.168/16, nor
// multicast or above.
bool IsPublicIpv4(std::uint32_t ipv4);

// Tests: answers for the router instead of asking it (empty: the router is
// asked again). Set while no forwarding lives.
void SetRouterOverride(std::function<RouterReport(const std::vector<std::uint16_t>&)> answer);

// While it lives, the router forwards `ports` (UDP, the same number outside
// as inside) to this computer. The router is asked on a thread of its own;
// `report` is called there once, with the outcome, unless this is destroyed
// first. Destroying it returns at once: the thread removes the forwarding and
// ends by itself, within a few seconds.
class RouterForwarding {
public:
    using Report = std::function<void(const RouterReport&)>;
    // `lease`: shorter in tests of the renewal.
    RouterForwarding(std::vector<std::uint16_t> ports, Report report,
                     std::chrono::seconds lease = kRouterLease);
    ~RouterForwarding();
    RouterForwarding(const RouterForwarding&) = delete;
    RouterForwarding& operator=(const RouterForwarding&) = delete;

    // At the program's end: waits, at most `bound`, for the threads of
    // destroyed forwardings to have removed them.
    static void AwaitRemovals(std::chrono::milliseconds bound);

    struct State;

private:
    std::shared_ptr<State> Shared;
};

} // namespace lan
