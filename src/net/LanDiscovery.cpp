// UDP discovery: broadcast targets, the shared listener, and the search.
#include "net/LanDiscovery.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <ifaddrs.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace lan {

namespace {

sockaddr_in ToSockaddr(const Endpoint& e) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(e.ipv4);
    sa.sin_port = htons(e.port);
    return sa;
}

class Fd {
public:
    explicit Fd(int fd) : Value(fd) {}
    ~Fd() {
        if (Value >= 0)
            ::close(Value);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return Value; }

private:
    int Value;
};

std::mutex targetsOverrideMutex;
std::vector<std::uint32_t> targetsOverride;
std::atomic<std::uint16_t> discoveryPortOverride{0};

} // namespace

void SetBroadcastTargetsOverride(std::vector<std::uint32_t> targets) {
    std::lock_guard lock(targetsOverrideMutex);
    targetsOverride = std::move(targets);
}

std::vector<std::uint32_t> BroadcastTargets() {
    {
        std::lock_guard lock(targetsOverrideMutex);
        if (!targetsOverride.empty())
            return targetsOverride;
    }
    std::vector<std::uint32_t> targets{0x7FFFFFFFu}; // 127.255.255.255
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
            if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
                continue;
            if (!(ifa->ifa_flags & IFF_UP) || !(ifa->ifa_flags & IFF_BROADCAST))
                continue;
            const std::uint32_t own =
                ntohl(reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
            std::uint32_t address = 0;
            if (ifa->ifa_broadaddr)
                address = ntohl(
                    reinterpret_cast<const sockaddr_in*>(ifa->ifa_broadaddr)->sin_addr.s_addr);
            // An address configured without a broadcast address reports its
            // own address (or none) there: derive the broadcast from the mask.
            if ((address == 0 || address == own) && ifa->ifa_netmask) {
                const std::uint32_t mask =
                    ntohl(reinterpret_cast<const sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr);
                address = mask < 0xFFFFFFFEu ? (own | ~mask) : 0;
            }
            if (address != 0 && std::find(targets.begin(), targets.end(), address) == targets.end())
                targets.push_back(address);
        }
        freeifaddrs(list);
    }
    if (std::find(targets.begin(), targets.end(), 0xFFFFFFFFu) == targets.end())
        targets.push_back(0xFFFFFFFFu);
    return targets;
}

bool ParseIpv4(const std::string& text, std::uint32_t* ipv4) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        return false;
    *ipv4 = ntohl(parsed.s_addr);
    return true;
}

bool ResolveIpv4(const std::string& text, std::uint32_t* ipv4) {
    if (ParseIpv4(text, ipv4))
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || !result)
        return false;
    *ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(result);
    return true;
}

std::uint16_t DiscoveryPort() {
    const std::uint16_t port = discoveryPortOverride.load();
    return port != 0 ? port : lanwire::kDiscoveryPort;
}

void SetDiscoveryPortOverride(std::uint16_t port) {
    discoveryPortOverride = port;
}

bool ParseHostAddress(const std::string& text, std::string* host, std::uint16_t* port) {
    const std::size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    if (name.empty() || name.find_first_of(" \t\r\n") != std::string::npos)
        return false;
    std::uint16_t number = DiscoveryPort();
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            value == 0 || value > 65535)
            return false;
        number = static_cast<std::uint16_t>(value);
    }
    *host = name;
    *port = number;
    return true;
}

std::vector<std::uint32_t> LocalAddresses() {
    std::vector<std::uint32_t> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        if (!(ifa->ifa_flags & IFF_UP) || (ifa->ifa_flags & IFF_LOOPBACK))
            continue;
        const std::uint32_t own =
            ntohl(reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
        const bool loopback = (own >> 24) == 127;
        const bool linkLocal = (own >> 16) == 0xA9FE; // 169.254.0.0/16
        if (own != 0 && !loopback && !linkLocal &&
            std::find(addresses.begin(), addresses.end(), own) == addresses.end())
            addresses.push_back(own);
    }
    freeifaddrs(list);
    return addresses;
}

std::string DottedIpv4(std::uint32_t ipv4) {
    return std::to_string(ipv4 >> 24) + '.' + std::to_string((ipv4 >> 16) & 255) + '.' +
           std::to_string((ipv4 >> 8) & 255) + '.' + std::to_string(ipv4 & 255);
}

int OpenDiscoveryListener(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in sa = ToSockaddr({0, port});
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int OpenSearchSocket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    for (std::uint16_t i = 0; i <= lanwire::kSessionPortCount; ++i) {
        // The last try takes any free port: without a firewall that works as well.
        const std::uint16_t port =
            i < lanwire::kSessionPortCount ? lanwire::kSessionPortFirst + i : 0;
        const sockaddr_in sa = ToSockaddr({0, port});
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0)
            return fd;
    }
    ::close(fd);
    return -1;
}

bool ReceiveDatagram(int fd, lanwire::Bytes* bytes, Endpoint* from) {
    // One byte more than any valid datagram, so an oversized one is seen as such.
    bytes->resize(lanwire::kMaxDatagram + 1);
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    const ssize_t n = ::recvfrom(fd, bytes->data(), bytes->size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sa), &length);
    if (n < 0)
        return false;
    bytes->resize(static_cast<std::size_t>(n));
    from->ipv4 = ntohl(sa.sin_addr.s_addr);
    from->port = ntohs(sa.sin_port);
    return true;
}

bool SendDatagram(int fd, const lanwire::Bytes& bytes, const Endpoint& to) {
    const sockaddr_in sa = ToSockaddr(to);
    return ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&sa),
                    sizeof sa) == static_cast<ssize_t>(bytes.size());
}

std::optional<FoundSession> ReadAnswer(lanwire::ByteView datagram, const Endpoint& from,
                                       std::uint32_t nonce, const lanwire::WireGuid& application,
                                       std::uint32_t flags) {
    const auto message = lanwire::ParseDiscovery(datagram);
    if (!message)
        return std::nullopt;
    const auto* info = std::get_if<lanwire::SessionInfo>(&*message);
    if (!info || info->nonce != nonce || info->application != application)
        return std::nullopt;
    if ((flags & lanwire::kSearchAvailableOnly) && info->maxPlayers != 0 &&
        info->currentPlayers >= info->maxPlayers)
        return std::nullopt;
    return FoundSession{*info, {from.ipv4, info->port}};
}

std::array<lanwire::Bytes, 2> SearchDatagrams(lanwire::Search request, const lanwire::Tag& tag) {
    request.flags &= ~(lanwire::kSearchTagged | lanwire::kSearchHasTaggedTwin);
    request.tag = tag;
    lanwire::Bytes tagged = lanwire::Encode(request);
    request.tag.reset();
    request.flags |= lanwire::kSearchHasTaggedTwin;
    return {std::move(tagged), lanwire::Encode(request)};
}

std::vector<FoundSession> Search(const SearchOptions& options) {
    using Clock = std::chrono::steady_clock;
    std::vector<FoundSession> found;
    Fd fd(OpenSearchSocket());
    if (fd.Get() < 0)
        return found;

    std::random_device random;
    lanwire::Search request;
    request.application = options.application;
    request.nonce = random();
    request.flags = options.flags;
    const auto datagrams = SearchDatagrams(request, options.tag);
    auto sendRound = [&] {
        for (std::uint32_t target : options.targets) {
            for (const lanwire::Bytes& datagram : datagrams)
                SendDatagram(fd.Get(), datagram, {target, options.port});
        }
    };
    auto wanted = [&](const FoundSession& f) { return !options.wanted || options.wanted(f); };

    const Clock::time_point start = Clock::now();
    Clock::time_point end = start + options.window;
    Clock::time_point nextRound = start;
    const auto resend = std::max(options.resend, std::chrono::milliseconds(1));
    bool settling = false;
    lanwire::Bytes bytes;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= end)
            break;
        if (now >= nextRound) {
            sendRound();
            nextRound = now + resend;
        }
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(std::min(nextRound, end) - now);
        pollfd pfd{fd.Get(), POLLIN, 0};
        ::poll(&pfd, 1, static_cast<int>(std::max<long long>(wait.count(), 1)));
        Endpoint from;
        while (ReceiveDatagram(fd.Get(), &bytes, &from)) {
            const auto answer =
                ReadAnswer(bytes, from, request.nonce, options.application, options.flags);
            if (!answer)
                continue;
            const auto kept = std::find_if(found.begin(), found.end(), [&](const FoundSession& f) {
                return f.info.instance == answer->info.instance;
            });
            const FoundSession* added = nullptr;
            if (kept == found.end()) {
                found.push_back(*answer);
                added = &found.back();
            } else if (!kept->info.tag && answer->info.tag) {
                kept->info.tag = answer->info.tag;
                added = &*kept;
            }
            if (added && !settling && options.settle.count() > 0 && wanted(*added)) {
                settling = true;
                end = std::min(end, Clock::now() + options.settle);
            }
        }
    }
    return found;
}

} // namespace lan
