// The I/O around a session's rules: the ENet host, its intercept, the sockets, the network thread.
#include "net/LanSession.h"

#include "net/LanDiscovery.h"
#include "net/LanEnet.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/errqueue.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
using lanwire::Bytes;
using lanwire::ByteView;

using namespace lan;

namespace {

constexpr auto kJoinWait = std::chrono::milliseconds(3000);
constexpr auto kCreateWait = std::chrono::milliseconds(3000);
// Longest sleep of the network thread when nothing is due: every resend, ping
// and timer of the rules is waited for exactly, so this only bounds a sleep.
constexpr int kIdleWakeMs = 1000;
constexpr std::size_t kMaxEventsPerTurn = 1000;
constexpr std::size_t kChannels = 2;

std::atomic<int> receiveLossPercent{0};

// The session whose network thread this is: ENet's intercept has no user data.
thread_local LanTransport::Session* servedSession = nullptr;

// Sees every datagram the session socket receives before ENet does: drops
// some when a test asks for loss, and takes this program's own datagrams
// (search answers, Gone), which arrive on this socket.
int ENET_CALLBACK InterceptDatagram(ENetHost* host, ENetEvent*) {
    if (receiveLossPercent > 0) {
        thread_local std::minstd_rand random{std::random_device{}()};
        if (static_cast<int>(random() % 100) < receiveLossPercent)
            return 1;
    }
    return servedSession && servedSession->TakeDatagram(host) ? 1 : 0;
}

} // namespace

void LanTransport::SetReceiveLossPercent(int percent) {
    receiveLossPercent = std::clamp(percent, 0, 100);
}

LanTransport::Session::Session(std::shared_ptr<lan::Pairing> preference)
    : Preference(std::move(preference)) {}

LanTransport::Session::~Session() {
    Stop();
}

bool LanTransport::Session::CreateEnetHost(std::uint32_t maxPlayers) {
    if (!Enet())
        return false;
    // The first free session port; any port when all of them are taken.
    for (std::uint16_t i = 0; i <= lanwire::kSessionPortCount && !Host; ++i) {
        ENetAddress any{};
        any.host = ENET_HOST_ANY;
        any.port = i < lanwire::kSessionPortCount
                       ? static_cast<std::uint16_t>(lanwire::kSessionPortFirst + i)
                       : 0;
        // One spare peer beyond the remote systems, so that an extra player is
        // told the session is full instead of being ignored by ENet.
        Host = Enet()->host_create(&any, lan::SystemLimit(maxPlayers) + 1, kChannels, 0, 0);
    }
    if (!Host)
        return false;
    Host->maximumPacketSize = lanwire::kMaxPayload + 64;
    // ENet drops, yet acknowledges, what arrives beyond this much undelivered
    // data, which stalls the connection: room for a burst of whole datagrams
    // (up to 256 are read at once), and a bound on what a peer can pile up.
    Host->maximumWaitingData = 1u << 20;
    Host->intercept = InterceptDatagram;
    // The kernel reports ICMP errors for what this socket sends, so that an
    // ended program's "port unreachable" is seen (TakeSocketErrors).
    const int on = 1;
    ::setsockopt(Host->socket, SOL_IP, IP_RECVERR, &on, sizeof on);
    ENetAddress bound{};
    if (Enet()->socket_get_address(Host->socket, &bound) == 0)
        EnetPort = bound.port;
    WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return WakeFd >= 0;
}

HRESULT LanTransport::Session::Start(const lan::Opening& base, bool host) {
    if (!CreateEnetHost(base.maxPlayers))
        return DPERR_GENERIC;
    lan::Opening opening = base;
    opening.ownPort = EnetPort;
    opening.seed = std::random_device{}();
    Rules = std::make_unique<lan::SessionRules>(opening, Preference);
    if (host)
        Rules->Host(Clock::now());
    else
        Rules->Join(Clock::now());
    // Before the thread runs: a listener or a connection that cannot be made
    // fails the opening.
    for (const lan::Action& action : Rules->TakeActions()) {
        std::vector<lan::LinkId> failed;
        Execute(action, &failed);
        if (!failed.empty() ||
            (std::holds_alternative<lan::act::ListenForSearches>(action) && DiscoveryFd < 0))
            return DPERR_GENERIC;
    }
    Thread = std::thread([this] { Run(); });
    return DP_OK;
}

HRESULT LanTransport::Session::StartHost(const DPSESSIONDESC2& desc, const QString& name,
                                         std::vector<std::uint32_t> searchTargets,
                                         std::uint16_t searchPort) {
    SearchTargets = std::move(searchTargets);
    SearchPort = searchPort;
    lan::Opening opening;
    opening.application = desc.guidApplication;
    opening.flags = desc.dwFlags;
    opening.maxPlayers = desc.dwMaxPlayers;
    opening.name = lanwire::FitName(name.toStdString());
    return Start(opening, true);
}

HRESULT LanTransport::Session::StartJoin(const DPSESSIONDESC2& desc,
                                         std::vector<std::uint32_t> searchTargets,
                                         std::uint16_t searchPort) {
    SearchTargets = std::move(searchTargets);
    SearchPort = searchPort;
    const lan::Endpoint target{desc.dwReserved1, static_cast<std::uint16_t>(desc.dwReserved2)};
    if (target.ipv4 == 0 || target.port == 0 || desc.dwReserved2 > 0xFFFF)
        return DPERR_NOSESSIONS;
    lan::Opening opening;
    opening.application = desc.guidApplication;
    opening.flags = desc.dwFlags;
    opening.maxPlayers = desc.dwMaxPlayers;
    opening.instance = desc.guidInstance;
    opening.host = target;
    if (const HRESULT started = Start(opening, false); started != DP_OK)
        return started;
    std::unique_lock lock(Mu);
    const bool answered =
        Cv.wait_for(lock, kJoinWait, [this] { return Rules->JoinAnswer().has_value(); });
    return answered ? *Rules->JoinAnswer() : DPERR_TIMEOUT;
}

void LanTransport::Session::Stop() {
    if (Thread.joinable()) {
        {
            std::lock_guard lock(Mu);
            StopRequested = true;
        }
        Wake();
        Thread.join();
    }
    if (Host) {
        Enet()->host_destroy(Host);
        Host = nullptr;
    }
    for (int* fd : {&DiscoveryFd, &WakeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void LanTransport::Session::Wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
}

void LanTransport::Session::AfterCallLocked() {
    if (Rules->TakeSignal() && Event)
        Event->Set();
    if (Rules->HasActions())
        Wake();
}

// ---- the window thread's calls ----

HRESULT LanTransport::Session::CreatePlayer(DPID* id, const DPNAME& name,
                                            std::shared_ptr<AutoResetEvent> event) {
    std::unique_lock lock(Mu);
    bool pending = false;
    HRESULT result = Rules->CreatePlayer(name, Clock::now(), id, &pending);
    if (result == DP_OK)
        Event = std::move(event);
    AfterCallLocked();
    if (pending) {
        Cv.wait_for(lock, kCreateWait, [this] { return Rules->CreateAnswered(); });
        result = Rules->FinishCreate(id);
    }
    return result;
}

HRESULT LanTransport::Session::Send(DPID from, DPID to, std::uint32_t flags, const void* data,
                                    std::uint32_t size) {
    if (!data && size > 0)
        return DPERR_INVALIDPARAMS;
    std::lock_guard lock(Mu);
    const HRESULT result = Rules->Send(
        from, to, flags, ByteView(static_cast<const std::uint8_t*>(data), size), Clock::now());
    AfterCallLocked();
    return result;
}

HRESULT LanTransport::Session::Receive(DPID* from, DPID* to, void* data, std::uint32_t* size) {
    std::lock_guard lock(Mu);
    return Rules->Receive(from, to, data, size);
}

std::vector<std::pair<DPID, DPNAME>> LanTransport::Session::PlayerList() const {
    std::lock_guard lock(Mu);
    return Rules->PlayerList();
}

bool LanTransport::Session::IsHost() const {
    std::lock_guard lock(Mu);
    return Rules->CurrentRole() == lan::SessionRules::Role::Host;
}

DPSESSIONDESC2 LanTransport::Session::Desc() const {
    std::lock_guard lock(Mu);
    return Rules->Desc();
}

// ---- the network thread ----

void LanTransport::Session::Run() {
    servedSession = this;
    int timeout = 0;
    for (;;) {
        pollfd fds[3] = {{Host->socket, POLLIN, 0}, {WakeFd, POLLIN, 0}, {DiscoveryFd, POLLIN, 0}};
        const nfds_t count = DiscoveryFd >= 0 ? 3 : 2;
        ::poll(fds, count, timeout);
        if (fds[1].revents & POLLIN) {
            std::uint64_t value = 0;
            [[maybe_unused]] const auto got = ::read(WakeFd, &value, sizeof value);
        }
        std::vector<lan::Action> actions;
        bool finished = false;
        {
            std::lock_guard lock(Mu);
            if (StopRequested)
                Rules->Stop(Clock::now());
            if (fds[0].revents & POLLERR)
                TakeSocketErrors();
            if (count == 3 && (fds[2].revents & POLLIN))
                AnswerSearches();
            ServiceEnet();
            NoteHeard();
            const Clock::time_point now = Clock::now();
            Rules->HandleTimeout(now);
            finished = Rules->Finished(now);
            bool signal = false;
            actions = Rules->TakeActions(&signal);
            if (signal && Event)
                Event->Set();
        }
        Cv.notify_all();
        Carry(std::move(actions));
        Enet()->host_flush(Host);
        if (finished)
            break;
        CapResendTimes(Host);
        timeout = NextWakeMs();
    }
}

// Milliseconds until ENet has a resend or a ping to make, or the rules' next
// timer is due. ENet resends at a peer's nextTimeout while reliable commands
// wait for their acknowledgement, and pings a quiet peer pingInterval after
// it last heard it.
int LanTransport::Session::NextWakeMs() {
    int wait = kIdleWakeMs;
    const enet_uint32 now = Enet()->time_get();
    for (std::size_t i = 0; i < Host->peerCount; ++i) {
        const ENetPeer& peer = Host->peers[i];
        if (peer.state == ENET_PEER_STATE_DISCONNECTED || peer.state == ENET_PEER_STATE_ZOMBIE)
            continue;
        const bool awaitingAck = !enet_list_empty(&peer.sentReliableCommands);
        const enet_uint32 due =
            awaitingAck ? peer.nextTimeout : peer.lastReceiveTime + peer.pingInterval;
        // At least 1 ms: work ENet left undone after a service is not spun on.
        wait = std::clamp(static_cast<int>(static_cast<std::int32_t>(due - now)), 1, wait);
    }
    std::lock_guard lock(Mu);
    if (const auto due = Rules->NextWake()) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count() + 1;
        wait = static_cast<int>(std::clamp<std::int64_t>(left, 1, wait));
    }
    return wait;
}

// With Mu held.
void LanTransport::Session::AnswerSearches() {
    Bytes bytes;
    lan::Endpoint from;
    for (int budget = 64; budget > 0 && lan::ReceiveDatagram(DiscoveryFd, &bytes, &from); --budget)
        Rules->SearchDatagram(from, bytes, Clock::now());
}

// With Mu held: ENet's intercept and events go to the rules.
void LanTransport::Session::ServiceEnet() {
    ENetEvent event;
    for (std::size_t n = 0; n < kMaxEventsPerTurn && Enet()->host_service(Host, &event, 0) > 0;
         ++n) {
        const Clock::time_point now = Clock::now();
        lan::LinkId link = LinkOf(event.peer);
        switch (event.type) {
        case ENET_EVENT_TYPE_CONNECT:
            ConfigurePeer(event.peer);
            if (link == 0) {
                link = Rules->Accepted(EndpointOf(event.peer->address), now);
                SetLink(event.peer, link);
                Links[link] = {event.peer, 0};
            } else {
                Rules->Connected(link, now);
            }
            break;
        case ENET_EVENT_TYPE_DISCONNECT:
            SetLink(event.peer, 0);
            Links.erase(link);
            Rules->Lost(link, now);
            break;
        case ENET_EVENT_TYPE_RECEIVE:
            Rules->Received(link, ByteView(event.packet->data, event.packet->dataLength), now);
            Enet()->packet_destroy(event.packet);
            break;
        case ENET_EVENT_TYPE_NONE:
            break;
        }
    }
}

// With Mu held: tells the rules when ENet last heard each connection.
void LanTransport::Session::NoteHeard() {
    const enet_uint32 enetNow = Enet()->time_get();
    const Clock::time_point now = Clock::now();
    for (auto& [link, peerLink] : Links) {
        const ENetPeer* peer = peerLink.peer;
        if (peer->state != ENET_PEER_STATE_CONNECTED || peer->lastReceiveTime == 0 ||
            peer->lastReceiveTime == peerLink.lastReceive)
            continue;
        peerLink.lastReceive = peer->lastReceiveTime;
        const auto age = static_cast<std::int32_t>(enetNow - peer->lastReceiveTime);
        Rules->Heard(link, now - std::chrono::milliseconds(std::max(age, 0)), now);
    }
}

// With Mu held: the ICMP errors the kernel queued for datagrams this socket sent.
void LanTransport::Session::TakeSocketErrors() {
    for (int budget = 64; budget > 0; --budget) {
        sockaddr_in target{};
        std::uint8_t quoted[64];
        alignas(cmsghdr) char control[256];
        iovec part{quoted, sizeof quoted};
        msghdr message{};
        message.msg_name = &target;
        message.msg_namelen = sizeof target;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (::recvmsg(Host->socket, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return;
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR ||
                target.sin_family != AF_INET)
                continue;
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            sockaddr_in offender;
            std::memcpy(&offender, CMSG_DATA(c) + sizeof error, sizeof offender);
            lan::IcmpError reported;
            reported.target = {ntohl(target.sin_addr.s_addr), ntohs(target.sin_port)};
            reported.reporter =
                offender.sin_family == AF_INET ? ntohl(offender.sin_addr.s_addr) : 0;
            reported.portUnreachable = error.ee_origin == SO_EE_ORIGIN_ICMP &&
                                       error.ee_type == ICMP_DEST_UNREACH &&
                                       error.ee_code == ICMP_PORT_UNREACH;
            Rules->SocketError(reported, Clock::now());
        }
    }
}

// From the intercept, inside ServiceEnet with Mu held.
bool LanTransport::Session::TakeDatagram(ENetHost* host) {
    const ByteView datagram(host->receivedData, host->receivedDataLength);
    const lan::Endpoint from = EndpointOf(host->receivedAddress);
    // ENet's own datagrams never start with the magic: their first bytes are
    // a small peer id.
    if (datagram.size() >= lanwire::kMagic.size() &&
        std::equal(lanwire::kMagic.begin(), lanwire::kMagic.end(), datagram.begin())) {
        Rules->SessionDatagram(from, datagram, Clock::now());
        return true;
    }
    // A packet of a connection (a connection request names no peer) from a
    // system ENet has no peer for.
    if (datagram.size() < 2 || (((datagram[0] << 8) | datagram[1]) &
                                ENET_PROTOCOL_MAXIMUM_PEER_ID) == ENET_PROTOCOL_MAXIMUM_PEER_ID)
        return false;
    for (std::size_t i = 0; i < host->peerCount; ++i) {
        const ENetPeer& peer = host->peers[i];
        if (peer.state != ENET_PEER_STATE_DISCONNECTED &&
            peer.address.host == host->receivedAddress.host &&
            peer.address.port == host->receivedAddress.port)
            return false;
    }
    Rules->StrayPacket(from, Clock::now());
    return false;
}

void LanTransport::Session::Carry(std::vector<lan::Action> actions) {
    while (!actions.empty()) {
        std::vector<lan::LinkId> failed;
        for (const lan::Action& action : actions)
            Execute(action, &failed);
        if (failed.empty())
            return;
        std::lock_guard lock(Mu);
        for (lan::LinkId link : failed)
            Rules->Lost(link, Clock::now());
        actions = Rules->TakeActions();
    }
}

void LanTransport::Session::Execute(const lan::Action& action, std::vector<lan::LinkId>* failed) {
    auto peerOf = [this](lan::LinkId link) -> ENetPeer* {
        const auto it = Links.find(link);
        return it == Links.end() ? nullptr : it->second.peer;
    };
    auto unlink = [this](ENetPeer* peer, lan::LinkId link) {
        SetLink(peer, 0);
        Links.erase(link);
    };
    std::visit(
        [&](const auto& a) {
            using A = std::decay_t<decltype(a)>;
            if constexpr (std::is_same_v<A, lan::act::Connect>) {
                ENetAddress address{};
                address.host = htonl(a.to.ipv4);
                address.port = a.to.port;
                ENetPeer* peer = Enet()->host_connect(Host, &address, kChannels, 0);
                if (!peer) {
                    failed->push_back(a.link);
                    return;
                }
                ConfigurePeer(peer);
                SetLink(peer, a.link);
                Links[a.link] = {peer, 0};
            } else if constexpr (std::is_same_v<A, lan::act::Send>) {
                if (ENetPeer* peer = peerOf(a.link))
                    SendPacket(peer, a.bytes, a.reliable);
            } else if constexpr (std::is_same_v<A, lan::act::Close>) {
                if (ENetPeer* peer = peerOf(a.link)) {
                    unlink(peer, a.link);
                    Enet()->peer_disconnect_now(peer, 0);
                }
            } else if constexpr (std::is_same_v<A, lan::act::Forget>) {
                if (ENetPeer* peer = peerOf(a.link)) {
                    unlink(peer, a.link);
                    Enet()->peer_reset(peer);
                }
            } else if constexpr (std::is_same_v<A, lan::act::CloseAfterSends>) {
                if (ENetPeer* peer = peerOf(a.link))
                    Enet()->peer_disconnect_later(peer, 0);
            } else if constexpr (std::is_same_v<A, lan::act::Disconnect>) {
                if (ENetPeer* peer = peerOf(a.link))
                    Enet()->peer_disconnect(peer, 0);
            } else if constexpr (std::is_same_v<A, lan::act::Search>) {
                const std::vector<std::uint32_t> targets =
                    SearchTargets.empty() ? lan::BroadcastTargets() : SearchTargets;
                for (std::uint32_t target : targets) {
                    for (const Bytes& datagram : a.datagrams)
                        lan::SendDatagram(Host->socket, datagram, {target, SearchPort});
                }
            } else if constexpr (std::is_same_v<A, lan::act::Datagram>) {
                lan::SendDatagram(Host->socket, a.bytes, a.to);
            } else if constexpr (std::is_same_v<A, lan::act::Answer>) {
                if (DiscoveryFd >= 0)
                    lan::SendDatagram(DiscoveryFd, a.bytes, a.to);
            } else if constexpr (std::is_same_v<A, lan::act::ListenForSearches>) {
                if (a.listen && DiscoveryFd < 0) {
                    DiscoveryFd = lan::OpenDiscoveryListener();
                } else if (!a.listen && DiscoveryFd >= 0) {
                    ::close(DiscoveryFd);
                    DiscoveryFd = -1;
                }
            }
        },
        action);
}
