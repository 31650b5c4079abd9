// Session discovery over UDP: the hosts' shared listening socket and the
// searcher that broadcasts a request and collects the unicast answers.
#pragma once

#include "net/LanWire.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace lan {

// An IPv4 address and port, both in host byte order.
struct Endpoint {
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 0;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// The addresses a search of the local network goes to: 127.255.255.255, the
// broadcast address of every interface that is up and can broadcast, and
// 255.255.255.255, without repeats.
std::vector<std::uint32_t> BroadcastTargets();
// Tests keep searches on this machine: a non-empty list replaces the targets
// above (e.g. only 127.255.255.255); an empty one restores them.
void SetBroadcastTargetsOverride(std::vector<std::uint32_t> targets);

// Reads a dotted IPv4 address; false for anything else (a name, say).
bool ParseIpv4(const std::string& text, std::uint32_t* ipv4);
// Resolves a typed host address (dotted IPv4 or a name) to an IPv4 address.
bool ResolveIpv4(const std::string& text, std::uint32_t* ipv4);

// The port every host listens on for searches (kDiscoveryPort). Tests that
// must not hear other programs on this machine move it; 0 restores it.
std::uint16_t DiscoveryPort();
void SetDiscoveryPortOverride(std::uint16_t port);

// Splits a typed address, "host" or "host:port", into the host (a dotted IPv4
// address or a name) and the port (DiscoveryPort() when none is given). False
// when it cannot be an address: empty, blanks inside, a port that is not a
// number from 1 to 65535, or more than one colon (IPv6 is not used).
bool ParseHostAddress(const std::string& text, std::string* host, std::uint16_t* port);

// This machine's IPv4 addresses on interfaces that are up, in interface order,
// without loopback and link-local (169.254.0.0/16) ones: what another player
// types to reach it.
std::vector<std::uint32_t> LocalAddresses();
// Dotted form of an address in host byte order.
std::string DottedIpv4(std::uint32_t ipv4);

// Binds 0.0.0.0 on the discovery port with SO_REUSEADDR, as every host does so
// that several hosts on one machine share the port. Returns the descriptor or -1.
int OpenDiscoveryListener(std::uint16_t port = DiscoveryPort());

// A UDP socket with SO_BROADCAST bound to the first free session port, or to
// any port when all of them are taken. Returns the descriptor or -1.
int OpenSearchSocket();

// Reads one datagram from a listener; false when none is waiting.
bool ReceiveDatagram(int fd, lanwire::Bytes* bytes, Endpoint* from);
// Sends one datagram; failures are ignored by the callers (a target may be
// unreachable), so this only reports them.
bool SendDatagram(int fd, const lanwire::Bytes& bytes, const Endpoint& to);

struct FoundSession {
    lanwire::SessionInfo info;
    Endpoint host; // the session's ENet endpoint
};

// The answer to a search of ours, when it is one: the session and where to join it.
std::optional<FoundSession> ReadAnswer(lanwire::ByteView datagram, const Endpoint& from,
                                       std::uint32_t nonce, const lanwire::WireGuid& application,
                                       std::uint32_t flags);

// The two datagrams of one search: the Search with the searcher's tag, and
// its plain twin, which programs that know no tags answer instead.
std::array<lanwire::Bytes, 2> SearchDatagrams(lanwire::Search request, const lanwire::Tag& tag);

struct SearchOptions {
    std::vector<std::uint32_t> targets;
    lanwire::WireGuid application{};
    std::uint32_t flags = 0;
    lanwire::Tag tag{}; // the searcher's; all zero: none
    std::chrono::milliseconds window{750};
    std::chrono::milliseconds resend{50};
    // Not zero: the search ends this long after the first wanted answer.
    std::chrono::milliseconds settle{0};
    std::uint16_t port = DiscoveryPort();
    // Whether an answer is one the searcher wants (empty: every one).
    std::function<bool(const FoundSession&)> wanted;
};

// Sends the search to every target at the start and again every resend
// interval (a lossy network drops some requests and some answers), collects
// answers until the window ends, or settle after the first wanted answer when
// settle is not zero, and returns the sessions of the application in the
// order of their first answer, one per session instance (with the host's tag
// when any answer of that instance carried one).
std::vector<FoundSession> Search(const SearchOptions& options);

} // namespace lan
