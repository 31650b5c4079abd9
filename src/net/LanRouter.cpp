// Asking the home router to forward the game's ports: UPnP IGD, else NAT-PMP.
#include "net/LanRouter.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <natpmp.h>

#include "net/LanDiscovery.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace lan {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// UPnP errors of AddPortMapping.
constexpr int kUpnpConflict = 718;      // the port is forwarded to another computer
constexpr int kUpnpPermanentOnly = 725; // the router takes no lease times
// NAT-PMP sends again 250 ms after the first try, then 500 ms after that.
constexpr milliseconds kNatPmpWait{1800};
constexpr milliseconds kNatPmpRemoval{1000};
// The name the forwarding has in the router's list.
constexpr const char* kDescription = "Veltroy";

// The forwarding threads still running. Never freed: a thread may outlive
// the program's last destructors.
struct Removals {
    std::mutex mu;
    std::condition_variable done;
    int left = 0;
};
Removals& removals = *new Removals;

std::function<RouterReport(const std::vector<std::uint16_t>&)> routerOverride;

} // namespace

bool IsPublicIpv4(std::uint32_t ipv4) {
    struct Range {
        std::uint32_t base;
        int bits;
    };
    static constexpr Range kUnreachable[] = {
        {0x00000000, 8},  {0x0A000000, 8},  {0x64400000, 10}, {0x7F000000, 8},  {0xA9FE0000, 16},
        {0xAC100000, 12}, {0xC0000000, 24}, {0xC0000200, 24}, {0xC0A80000, 16}, {0xC6120000, 15},
        {0xC6336400, 24}, {0xCB007100, 24}, {0xE0000000, 3},
    };
    return std::none_of(std::begin(kUnreachable), std::end(kUnreachable), [&](const Range& r) {
        return (ipv4 >> (32 - r.bits)) == (r.base >> (32 - r.bits));
    });
}

struct RouterForwarding::State {
    std::vector<std::uint16_t> ports;
    std::chrono::seconds lease{0};
    std::mutex mu;
    std::condition_variable wake;
    bool stopping = false; // under mu
    std::atomic<bool> stopRequested{false};
    Report report; // under mu; called once, unless stopping
};

namespace {

// One router conversation: what is forwarded, over which protocol.
class Forwarder {
public:
    explicit Forwarder(const RouterForwarding::State& state) : St(state) {}
    ~Forwarder() {
        Remove();
        if (UpnpFound)
            FreeUPNPUrls(&Urls);
        if (NatOpen)
            closenatpmp(&Nat);
    }

    RouterReport Open() {
        RouterReport report;
        if (FindIgd()) {
            report = OpenUpnp();
        } else if (!St.stopRequested && OpenNatPmp()) {
            report = ForwardNatPmp();
            report.natPmp = true;
        }
        if (report.outcome != RouterOutcome::Forwarded)
            Remove();
        return report;
    }

    // Asks again for the lease on everything forwarded.
    void Renew() {
        for (std::uint16_t port : Added) {
            if (UpnpFound)
                AddUpnp(port);
            else
                MapNatPmp(port, port, static_cast<std::uint32_t>(St.lease.count()));
        }
    }

    void Remove() {
        for (std::uint16_t port : std::exchange(Added, {})) {
            if (UpnpFound) {
                const std::string text = std::to_string(port);
                UPNP_DeletePortMapping(Urls.controlURL, Data.first.servicetype, text.c_str(), "UDP",
                                       nullptr);
            } else {
                natpmpresp_t answer{};
                if (sendnewportmappingrequest(&Nat, NATPMP_PROTOCOL_UDP, port, 0, 0) >= 0)
                    Await(&answer, kNatPmpRemoval, false);
            }
        }
    }

private:
    bool FindIgd() {
        int error = 0;
        // Routers of the second version answer a search for the first: one
        // search, and one wait.
        UPNPDev* devices = upnpDiscoverDevice("urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                              static_cast<int>(kRouterSearch.count()), nullptr,
                                              nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (!devices)
            return false;
        const int igd = UPNP_GetValidIGD(devices, &Urls, &Data, LanAddress, sizeof LanAddress);
        freeUPNPDevlist(devices);
        if (igd == 0)
            return false;
        // The URLs are set for any device found: 1 and 2 are gateways.
        if (igd != 1 && igd != 2) {
            FreeUPNPUrls(&Urls);
            return false;
        }
        UpnpFound = true;
        return true;
    }

    RouterReport OpenUpnp() {
        RouterReport report;
        char external[40] = {};
        // A router with no address of its own on the internet tells none (or
        // 0.0.0.0): one that is not connected, or one behind another network
        // that will not tell its private address.
        if (UPNP_GetExternalIPAddress(Urls.controlURL, Data.first.servicetype, external) == 0)
            ParseIpv4(external, &report.external); // left 0 when it is no address
        if (!IsPublicIpv4(report.external)) {
            report.outcome = RouterOutcome::NotPublic;
            return report;
        }
        report.outcome = RouterOutcome::Refused;
        for (std::uint16_t port : St.ports) {
            if (St.stopRequested)
                return report;
            const int result = AddUpnp(port);
            if (result == kUpnpConflict) {
                report.outcome = RouterOutcome::PortTaken;
                report.port = port;
                return report;
            }
            if (result != 0)
                return report;
            Added.push_back(port);
        }
        report.outcome = RouterOutcome::Forwarded;
        return report;
    }

    int AddUpnp(std::uint16_t port) {
        const std::string text = std::to_string(port);
        auto add = [&](const char* lease) {
            return UPNP_AddPortMapping(Urls.controlURL, Data.first.servicetype, text.c_str(),
                                       text.c_str(), LanAddress, kDescription, "UDP", nullptr,
                                       lease);
        };
        const int result = add(std::to_string(St.lease.count()).c_str());
        // Such a router keeps the forwarding until it is removed or restarts.
        return result == kUpnpPermanentOnly ? add("0") : result;
    }

    bool OpenNatPmp() {
        NatOpen = initnatpmp(&Nat, 0, 0) == 0;
        return NatOpen;
    }

    RouterReport ForwardNatPmp() {
        RouterReport report;
        natpmpresp_t answer{};
        if (sendpublicaddressrequest(&Nat) < 0)
            return report;
        const int said = Await(&answer, kNatPmpWait, true);
        if (said == NATPMP_TRYAGAIN || said == NATPMP_ERR_RECVFROM ||
            said == NATPMP_ERR_NOGATEWAYSUPPORT)
            return report; // nobody answers for the gateway
        report.outcome = RouterOutcome::Refused;
        if (said < 0)
            return report;
        report.external = ntohl(answer.pnu.publicaddress.addr.s_addr);
        if (!IsPublicIpv4(report.external)) {
            report.outcome = RouterOutcome::NotPublic;
            return report;
        }
        for (std::uint16_t port : St.ports) {
            if (St.stopRequested)
                return report;
            std::uint16_t given = 0;
            if (MapNatPmp(port, port, static_cast<std::uint32_t>(St.lease.count()), &given) < 0)
                return report;
            Added.push_back(port);
            if (given != port) {
                // The router chose another port outside: this one is taken.
                report.outcome = RouterOutcome::PortTaken;
                report.port = port;
                return report;
            }
        }
        report.outcome = RouterOutcome::Forwarded;
        return report;
    }

    int MapNatPmp(std::uint16_t inside, std::uint16_t outside, std::uint32_t lease,
                  std::uint16_t* given = nullptr) {
        if (sendnewportmappingrequest(&Nat, NATPMP_PROTOCOL_UDP, inside, outside, lease) < 0)
            return NATPMP_ERR_SENDERR;
        natpmpresp_t answer{};
        const int said = Await(&answer, kNatPmpWait, true);
        if (said >= 0 && given)
            *given = answer.pnu.newportmapping.mappedpublicport;
        return said;
    }

    // The answer to the request just sent, resent as NAT-PMP does, within
    // `bound`: NATPMP_TRYAGAIN when none came (or the forwarding is ending
    // and `stoppable`).
    int Await(natpmpresp_t* answer, milliseconds bound, bool stoppable) {
        const Clock::time_point deadline = Clock::now() + bound;
        for (;;) {
            const int said = readnatpmpresponseorretry(&Nat, answer);
            if (said != NATPMP_TRYAGAIN)
                return said;
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || (stoppable && St.stopRequested))
                return NATPMP_TRYAGAIN;
            timeval retry{};
            getnatpmprequesttimeout(&Nat, &retry);
            const long retryMs = retry.tv_sec * 1000L + retry.tv_usec / 1000 + 1;
            pollfd fd{Nat.s, POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(std::clamp<long>(retryMs, 1, left.count())));
        }
    }

    const RouterForwarding::State& St;
    std::vector<std::uint16_t> Added;
    UPNPUrls Urls{};
    IGDdatas Data{};
    char LanAddress[64] = {};
    bool UpnpFound = false;
    natpmp_t Nat{};
    bool NatOpen = false;
};

void Work(const std::shared_ptr<RouterForwarding::State>& state) {
    const Clock::time_point start = Clock::now();
    {
        Forwarder forwarder(*state);
        RouterReport report = routerOverride ? routerOverride(state->ports) : forwarder.Open();
        report.took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        std::unique_lock lock(state->mu);
        if (!state->stopping && state->report)
            state->report(report);
        state->report = nullptr;
        if (report.outcome == RouterOutcome::Forwarded) {
            while (!state->wake.wait_for(lock, state->lease / 2, [&] { return state->stopping; })) {
                lock.unlock();
                forwarder.Renew();
                lock.lock();
            }
        }
    } // the forwarder removes what it forwarded
    std::lock_guard lock(removals.mu);
    --removals.left;
    removals.done.notify_all();
}

} // namespace

RouterForwarding::RouterForwarding(std::vector<std::uint16_t> ports, Report report,
                                   std::chrono::seconds lease)
    : Shared(std::make_shared<State>()) {
    Shared->ports = std::move(ports);
    Shared->lease = std::max(lease, std::chrono::seconds(2));
    Shared->report = std::move(report);
    {
        std::lock_guard lock(removals.mu);
        ++removals.left;
    }
    std::thread([state = Shared] { Work(state); }).detach();
}

RouterForwarding::~RouterForwarding() {
    std::lock_guard lock(Shared->mu);
    Shared->stopping = true;
    Shared->stopRequested = true;
    Shared->report = nullptr;
    Shared->wake.notify_all();
}

void SetRouterOverride(std::function<RouterReport(const std::vector<std::uint16_t>&)> answer) {
    routerOverride = std::move(answer);
}

void RouterForwarding::AwaitRemovals(milliseconds bound) {
    std::unique_lock lock(removals.mu);
    removals.done.wait_for(lock, bound, [] { return removals.left == 0; });
}

} // namespace lan
