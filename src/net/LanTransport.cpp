// The LAN transport: searching, hosting and joining sessions, the network
// thread that serves a session's ENet host, relaying, and host migration.
#include "net/LanTransport.h"

#include "net/LanDiscovery.h"
#include "net/LanSessionDialog.h"
#include "net/LanWire.h"
#include "platform/SharedLibrary.h"

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <enet/enet.h>
#include <linux/errqueue.h>
#include <map>
#include <mutex>
#include <netinet/ip_icmp.h>
#include <optional>
#include <poll.h>
#include <random>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using lanwire::Bytes;
using lanwire::ByteView;

namespace {

using Clock = std::chrono::steady_clock;

const QByteArray kConnectionTag = QByteArrayLiteral("LANTCP");
// A search sends its request every kSearchResend until an answer comes or the
// window ends: on a lossy network a request or its answer is often lost.
constexpr auto kDefaultSearchWindow = 750ms;
constexpr auto kSearchResend = 50ms;
constexpr auto kSearchSettle = 100ms;
// A waiting host looks for other waiting hosts: often at first, then seldom.
constexpr auto kProbeFirstDelay = 100ms;
constexpr auto kProbeFastInterval = 250ms;
constexpr int kFastProbes = 8;
constexpr auto kProbeSlowInterval = 1500ms;
constexpr auto kMergeLimit = 3000ms;
// A system sending to a connection this port does not have is told at most this often.
constexpr auto kGoneInterval = 500ms;
constexpr auto kJoinWait = 3000ms;
constexpr auto kCreateWait = 3000ms;
constexpr auto kHandshakeLimit = 3000ms;
// Networks go silent for seconds (Wi-Fi roaming, an address taken away and
// given back): no side gives up on the other before about this much silence.
// A program that has ended is noticed at once instead, from the ICMP "port
// unreachable" its machine answers with.
constexpr auto kRejoinLimit = 25000ms;
// A player that noticed the host leaving before the new host did is turned
// away by it (still a guest); it asks again this much later, within the limit.
constexpr auto kRejoinRetry = 100ms;
constexpr auto kShutdownLinger = 300ms;
// Longest sleep of the network thread when nothing is due: every resend, ping,
// time-out and deadline is waited for exactly, so this only bounds a sleep.
constexpr int kIdleWakeMs = 1000;
// A quiet connection is pinged this often: a program that has ended is then
// noticed within it (its machine answers "port unreachable"), and a game in
// progress wakes a few times a second at most.
constexpr std::uint32_t kPingIntervalMs = 750;
constexpr std::uint32_t kTimeoutMinimumMs = 20000;
constexpr std::uint32_t kTimeoutMaximumMs = 23000;
// Silence after which the local side is told that a player is not heard.
constexpr std::uint32_t kQuietMs = 3000;
// ENet doubles a reliable packet's resend time on every loss, starting from a
// 500 ms guess before it has measured the round trip: on a lossy LAN a few
// losses in a row would stall a join or a move for seconds. Round trips on a
// LAN are milliseconds, so resends are kept at most this far apart.
constexpr enet_uint32 kMaxResendMs = 100;
constexpr std::uint32_t kMaxSystems = 32;
constexpr std::size_t kMaxQueuedBytes = 64u << 20;
constexpr std::size_t kMaxEventsPerTurn = 1000;
constexpr std::uint8_t kReliableChannel = 0;
constexpr std::uint8_t kUnreliableChannel = 1;
constexpr std::size_t kChannels = 2;

// ENet is loaded when the first session host is made, not at program start:
// the first window needs none of it.
constexpr const char* kEnetLibrary = "libenet.so.7";
#define VELTROY_ENET_FUNCTIONS(X, P)                                                               \
    X(P, initialize)                                                                               \
    X(P, deinitialize)                                                                             \
    X(P, time_get)                                                                                 \
    X(P, socket_get_address)                                                                       \
    X(P, host_create)                                                                              \
    X(P, host_destroy)                                                                             \
    X(P, host_connect)                                                                             \
    X(P, host_service)                                                                             \
    X(P, host_flush)                                                                               \
    X(P, packet_create)                                                                            \
    X(P, packet_destroy)                                                                           \
    X(P, peer_send)                                                                                \
    X(P, peer_timeout)                                                                             \
    X(P, peer_ping_interval)                                                                       \
    X(P, peer_disconnect)                                                                          \
    X(P, peer_disconnect_now)                                                                      \
    X(P, peer_disconnect_later)                                                                    \
    X(P, peer_reset)

VELTROY_FUNCTION_TABLE(EnetApi, VELTROY_ENET_FUNCTIONS, enet_)

// The ENet functions, ENet initialised, or null when the library or one of
// them is missing. Loaded once and never unloaded. A host exists only once
// this has succeeded, so everything that works on a host or its peers finds it.
const EnetApi* Enet() {
    static const EnetApi* api = [] {
        const EnetApi* loaded = platform::LoadFunctions<EnetApi>(kEnetLibrary, "No network play");
        if (loaded && loaded->initialize() == 0)
            std::atexit(loaded->deinitialize);
        return loaded;
    }();
    return api;
}

lanwire::WireGuid ToWire(const GUID& g) {
    lanwire::WireGuid w{};
    for (int i = 0; i < 4; ++i)
        w[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(g.Data1 >> (8 * i));
    w[4] = static_cast<std::uint8_t>(g.Data2);
    w[5] = static_cast<std::uint8_t>(g.Data2 >> 8);
    w[6] = static_cast<std::uint8_t>(g.Data3);
    w[7] = static_cast<std::uint8_t>(g.Data3 >> 8);
    std::copy(std::begin(g.Data4), std::end(g.Data4), w.begin() + 8);
    return w;
}

GUID FromWire(const lanwire::WireGuid& w) {
    GUID g;
    g.Data1 = static_cast<std::uint32_t>(w[0]) | (static_cast<std::uint32_t>(w[1]) << 8) |
              (static_cast<std::uint32_t>(w[2]) << 16) | (static_cast<std::uint32_t>(w[3]) << 24);
    g.Data2 = static_cast<std::uint16_t>(w[4] | (w[5] << 8));
    g.Data3 = static_cast<std::uint16_t>(w[6] | (w[7] << 8));
    std::copy(w.begin() + 8, w.end(), std::begin(g.Data4));
    return g;
}

GUID RandomGuid() {
    std::random_device random;
    lanwire::WireGuid w{};
    for (auto& b : w)
        b = static_cast<std::uint8_t>(random());
    GUID g = FromWire(w);
    g.Data3 = static_cast<std::uint16_t>((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

std::string ToUtf8(const QString& text) {
    return lanwire::FitName(text.toStdString());
}

DPNAME ToDpName(const std::string& shortName, const std::string& longName) {
    return DPNAME{QString::fromStdString(shortName), QString::fromStdString(longName)};
}

std::uint32_t SystemLimit(std::uint32_t maxPlayers) {
    return maxPlayers == 0 ? kMaxSystems : std::min(maxPlayers, kMaxSystems);
}

void ConfigurePeer(ENetPeer* peer) {
    Enet()->peer_timeout(peer, 0, kTimeoutMinimumMs, kTimeoutMaximumMs);
    Enet()->peer_ping_interval(peer, kPingIntervalMs);
}

void SendPacket(ENetPeer* peer, const Bytes& bytes, bool reliable) {
    ENetPacket* packet =
        Enet()->packet_create(bytes.data(), bytes.size(), reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (!packet)
        return;
    if (Enet()->peer_send(peer, reliable ? kReliableChannel : kUnreliableChannel, packet) < 0)
        Enet()->packet_destroy(packet);
}

std::atomic<int> receiveLossPercent{0};
std::atomic<std::int64_t> reservationLapseMs{0}; // 0: kReservationLapse

// The session whose network thread this is: ENet's intercept has no user data.
thread_local LanTransport::Session* servedSession = nullptr;

// Sees every datagram the session socket receives before ENet does: drops
// some when a test asks for loss, and takes the answers to the waiting
// host's own searches, which arrive on this socket.
int ENET_CALLBACK InterceptDatagram(ENetHost* host, ENetEvent*);

// Caps the resend time of every reliable packet in flight (see kMaxResendMs).
// Only the time-out maximum then ends a connection that goes unanswered.
void CapResendTimes(ENetHost* host) {
    for (std::size_t i = 0; i < host->peerCount; ++i) {
        ENetPeer& peer = host->peers[i];
        if (enet_list_empty(&peer.sentReliableCommands))
            continue;
        for (ENetListIterator it = enet_list_begin(&peer.sentReliableCommands);
             it != enet_list_end(&peer.sentReliableCommands); it = enet_list_next(it)) {
            auto* command = reinterpret_cast<ENetOutgoingCommand*>(it);
            if (command->roundTripTimeout > kMaxResendMs)
                command->roundTripTimeout = kMaxResendMs;
            command->roundTripTimeoutLimit = 0xFFFFFFFFu;
            const enet_uint32 due = command->sentTime + command->roundTripTimeout;
            if (static_cast<std::int32_t>(due - peer.nextTimeout) < 0)
                peer.nextTimeout = due;
        }
    }
}

lan::Endpoint EndpointOf(const ENetPeer* peer) {
    return {ntohl(peer->address.host), peer->address.port};
}

} // namespace

// Whom this program would rather pair with, shared by the transport object's
// searches and its session's network thread under a mutex of its own; no
// other lock is taken while it is held.
class LanTransport::Pairing {
public:
    void Set(const GUID& own, const std::vector<GUID>& preferred) {
        std::lock_guard lock(Mu);
        OwnTag = ToWire(own);
        Preferred.clear();
        for (const GUID& g : preferred) {
            const lanwire::Tag tag = ToWire(g);
            if (tag != lanwire::Tag{})
                Preferred.push_back(tag);
        }
        LapsesAt.reset();
    }

    lanwire::Tag Own() const {
        std::lock_guard lock(Mu);
        return OwnTag;
    }

    bool Prefers(const std::optional<lanwire::Tag>& tag) const {
        std::lock_guard lock(Mu);
        return PrefersLocked(tag);
    }

    // Whether to pair with the program of this tag (none: an old program) now.
    // A reserved program refusing another program has seen one: its
    // reservation then lapses after a while. Its own tag is no other program.
    bool Admits(const std::optional<lanwire::Tag>& tag) {
        std::lock_guard lock(Mu);
        if (Preferred.empty() || PrefersLocked(tag))
            return true;
        const Clock::time_point now = Clock::now();
        const bool self = tag && OwnTag != lanwire::Tag{} && *tag == OwnTag;
        if (!LapsesAt && !self) {
            const std::int64_t ms = reservationLapseMs;
            LapsesAt = now + (ms > 0 ? std::chrono::milliseconds(ms) : kReservationLapse);
        }
        return LapsesAt && now >= *LapsesAt;
    }

private:
    bool PrefersLocked(const std::optional<lanwire::Tag>& tag) const {
        return tag && std::find(Preferred.begin(), Preferred.end(), *tag) != Preferred.end();
    }

    mutable std::mutex Mu;
    lanwire::Tag OwnTag{};
    std::vector<lanwire::Tag> Preferred; // none: not reserved
    std::optional<Clock::time_point> LapsesAt;
};

QByteArray LanConnectionData(const QString& address) {
    return kConnectionTag + ':' + address.trimmed().toUtf8();
}

// One open session: its state, shared with the GUI thread under Mu, and the
// network thread that alone drives the ENet host once it runs.
class LanTransport::Session {
public:
    enum class Role { Joining, Guest, Host, Rejoining, Lost };

    explicit Session(std::shared_ptr<Pairing> preference) : Preference(std::move(preference)) {}
    ~Session() { Stop(); }

    // Hosts. A two-player session whose host is alone looks for another such
    // host at searchTargets (none: the local networks' broadcast addresses) and
    // joins the first one it finds.
    HRESULT StartHost(const DPSESSIONDESC2& desc, const QString& name,
                      std::vector<std::uint32_t> searchTargets, std::uint16_t searchPort);
    HRESULT StartJoin(const DPSESSIONDESC2& desc, std::vector<std::uint32_t> searchTargets,
                      std::uint16_t searchPort);
    void Stop();

    HRESULT CreatePlayer(DPID* id, const DPNAME& name, std::shared_ptr<AutoResetEvent> event);
    HRESULT Send(DPID from, DPID to, std::uint32_t flags, const void* data, std::uint32_t size);
    HRESULT Receive(DPID* from, DPID* to, void* data, std::uint32_t* size);
    std::vector<std::pair<DPID, DPNAME>> PlayerList() const;
    bool IsHost() const;
    std::uint16_t Port() const { return EnetPort; }
    DPSESSIONDESC2 Desc() const;

    // Network thread, from ENet's intercept: true when the datagram the host
    // socket just received was an answer to our search (and is now handled).
    bool TakeDatagram(ENetHost* host);
    // An ENet packet from a system this port has no connection with, for a
    // connection it names: the program that system talked to has ended and
    // another took its port. It is told so at once (at most every
    // kGoneInterval), rather than left to its long time-out.
    void TellGone(ENetHost* host, ByteView datagram);
    // Drops the connections to a system: its program has ended.
    void DropSystem(const ENetAddress& system);

private:
    struct Player {
        DPID id = 0;
        std::string shortName;
        std::string longName;
        bool local = false;     // this object's own player
        bool hostOwned = false; // belongs to the hosting system
        ENetPeer* peer = nullptr;
        lan::Endpoint address;
        bool awaitingRejoin = false;
        Clock::time_point deadline;
        // Guaranteed deliveries for it while it is moving over to this new host.
        std::vector<Bytes> held;
    };
    struct Message {
        DPID from = 0;
        DPID to = 0;
        QByteArray data;
    };
    struct PeerState {
        bool joined = false;
        DPID player = 0;
        Clock::time_point since;
        bool quiet = false; // its player was reported silent
    };

    bool CreateEnetHost(std::uint32_t maxPlayers);
    void StartThread();
    void Post(std::function<void()> command);

    // Network thread.
    void Run();
    int NextWakeMs();
    void RunCommands();
    void AnswerSearches();
    void ServiceEnet();
    bool Housekeeping();
    void OnConnect(ENetPeer* peer);
    void OnDisconnect(ENetPeer* peer);
    void OnReceive(ENetPeer* peer, const ENetPacket* packet);
    void TakeSocketErrors();
    // The systems that said Gone, dropped once ENet's servicing is over.
    void TakeGone();
    std::vector<ENetAddress> GoneFrom;
    std::vector<std::pair<ENetAddress, Clock::time_point>> GoneTold;
    void ReportSilenceLocked();
    // The waiting host's search for another waiting host, and joining it.
    void Probe();
    void StartMerge();
    void MergeReceiveLocked(const lanwire::SessionMessage& message);
    void EndMergeLocked();
    bool WaitingLocked() const;

    // Called with Mu held.
    void HostReceiveLocked(ENetPeer* peer, const lanwire::SessionMessage& message);
    void GuestReceiveLocked(const lanwire::SessionMessage& message);
    void RelayLocked(DPID from, DPID to, bool guaranteed, ByteView payload);
    void BroadcastLocked(const Bytes& bytes, bool reliable, ENetPeer* except);
    void RemovePlayerLocked(DPID id, bool announce);
    void HostLostLocked();
    void BecomeHostLocked();
    // Rejoining: connects to the new host at RejoinAddress, or loses the session.
    void ConnectNewHostLocked();
    void SessionLostLocked();
    void AdoptPlayersLocked(const std::vector<lanwire::PlayerEntry>& entries, bool announce,
                            bool replace);
    void FinishJoinLocked(HRESULT result);
    void QueueLocked(DPID from, QByteArray data);
    void QueueSystemLocked(std::uint32_t type, const Player& player);
    bool HasRoomLocked() const;
    Player* FindLocked(DPID id);
    DPID NewIdLocked();
    lanwire::Welcome WelcomeLocked() const;
    lanwire::PlayerEntry EntryLocked(const Player& p) const;

    mutable std::mutex Mu;
    std::condition_variable Cv;
    Role SessionRole = Role::Joining;
    GUID Instance;
    GUID Application;
    std::uint32_t Flags = 0;
    std::uint32_t MaxPlayers = 0;
    std::string Name;
    std::vector<Player> Players;
    DPID LocalId = 0;
    std::shared_ptr<AutoResetEvent> Event;
    std::deque<Message> Queue;
    std::size_t QueuedBytes = 0;
    bool JoinDone = false;
    HRESULT JoinResult = DP_OK;
    bool CreatePending = false;
    // The local player's ids before this program joined another waiting
    // host: sends from them are still this program's own.
    std::vector<DPID> FormerLocalIds;
    std::string PendingShort;
    std::string PendingLong;
    std::deque<std::function<void()>> Commands;
    std::vector<Bytes> HeldSends;
    bool StopRequested = false;
    std::mt19937 Random{std::random_device{}()};

    // Owned by the network thread while it runs.
    ENetHost* Host = nullptr;
    ENetPeer* HostPeer = nullptr;
    int DiscoveryFd = -1;
    int WakeFd = -1;
    std::map<ENetPeer*, PeerState> Peers;
    bool ShuttingDown = false;
    bool HostQuiet = false; // the host's players were reported silent
    Clock::time_point ShutdownDeadline;
    Clock::time_point RejoinDeadline;
    ENetAddress RejoinAddress{};
    Clock::time_point RejoinRetryAt; // with no HostPeer while rejoining
    std::atomic<std::uint16_t> EnetPort{0};
    std::thread Thread;

    // The waiting host's search, in two-player sessions only, also after this
    // program became the host of a session it joined (network thread; the
    // targets are fixed at start).
    std::vector<std::uint32_t> SearchTargets;
    std::uint16_t SearchPort = lan::DiscoveryPort();
    const std::uint32_t ProbeNonce = std::random_device{}();
    // Whom to pair with: asked by the searches and answers of both threads.
    const std::shared_ptr<Pairing> Preference;
    bool WasWaiting = false;
    int ProbesSent = 0;
    Clock::time_point NextProbe;
    std::optional<lan::FoundSession> Candidate; // found, not yet tried
    // Joining another waiting host: the connection, its session and deadline.
    ENetPeer* MergePeer = nullptr;
    GUID MergeInstance;
    bool MergeWelcomed = false;
    lanwire::Welcome MergeWelcome;
    Clock::time_point MergeDeadline;
};

namespace {
int ENET_CALLBACK InterceptDatagram(ENetHost* host, ENetEvent*) {
    if (receiveLossPercent > 0) {
        thread_local std::minstd_rand random{std::random_device{}()};
        if (static_cast<int>(random() % 100) < receiveLossPercent)
            return 1;
    }
    return servedSession && servedSession->TakeDatagram(host) ? 1 : 0;
}
} // namespace

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
        Host = Enet()->host_create(&any, SystemLimit(maxPlayers) + 1, kChannels, 0, 0);
    }
    if (!Host)
        return false;
    Host->maximumPacketSize = lanwire::kMaxPayload + 64;
    Host->maximumWaitingData = 4 * (lanwire::kMaxPayload + 64);
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

void LanTransport::Session::StartThread() {
    Thread = std::thread([this] { Run(); });
}

HRESULT LanTransport::Session::StartHost(const DPSESSIONDESC2& desc, const QString& name,
                                         std::vector<std::uint32_t> searchTargets,
                                         std::uint16_t searchPort) {
    Instance = RandomGuid();
    SearchTargets = std::move(searchTargets);
    SearchPort = searchPort;
    Application = desc.guidApplication;
    Flags = desc.dwFlags;
    MaxPlayers = desc.dwMaxPlayers;
    Name = ToUtf8(name);
    if (!CreateEnetHost(MaxPlayers))
        return DPERR_GENERIC;
    DiscoveryFd = lan::OpenDiscoveryListener();
    if (DiscoveryFd < 0)
        return DPERR_GENERIC;
    SessionRole = Role::Host;
    StartThread();
    return DP_OK;
}

HRESULT LanTransport::Session::StartJoin(const DPSESSIONDESC2& desc,
                                         std::vector<std::uint32_t> searchTargets,
                                         std::uint16_t searchPort) {
    SearchTargets = std::move(searchTargets);
    SearchPort = searchPort;
    const lan::Endpoint target{desc.dwReserved1, static_cast<std::uint16_t>(desc.dwReserved2)};
    if (target.ipv4 == 0 || target.port == 0 || desc.dwReserved2 > 0xFFFF)
        return DPERR_NOSESSIONS;
    Instance = desc.guidInstance;
    Application = desc.guidApplication;
    Flags = desc.dwFlags;
    MaxPlayers = desc.dwMaxPlayers;
    if (!CreateEnetHost(MaxPlayers))
        return DPERR_GENERIC;
    ENetAddress address{};
    address.host = htonl(target.ipv4);
    address.port = target.port;
    HostPeer = Enet()->host_connect(Host, &address, kChannels, 0);
    if (!HostPeer)
        return DPERR_GENERIC;
    ConfigurePeer(HostPeer);
    SessionRole = Role::Joining;
    StartThread();

    std::unique_lock lock(Mu);
    const bool answered = Cv.wait_for(lock, kJoinWait, [this] { return JoinDone; });
    return answered ? JoinResult : DPERR_TIMEOUT;
}

void LanTransport::Session::Stop() {
    if (Thread.joinable()) {
        {
            std::lock_guard lock(Mu);
            StopRequested = true;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
        Thread.join();
    }
    if (Host) {
        Enet()->host_destroy(Host);
        Host = nullptr;
    }
    HostPeer = nullptr;
    for (int* fd : {&DiscoveryFd, &WakeFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void LanTransport::Session::Post(std::function<void()> command) {
    {
        std::lock_guard lock(Mu);
        Commands.push_back(std::move(command));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
}

HRESULT LanTransport::Session::CreatePlayer(DPID* id, const DPNAME& name,
                                            std::shared_ptr<AutoResetEvent> event) {
    std::unique_lock lock(Mu);
    if (SessionRole == Role::Lost)
        return DPERR_CONNECTIONLOST;
    if (LocalId != 0 || CreatePending || (SessionRole != Role::Host && SessionRole != Role::Guest))
        return DPERR_CANTCREATEPLAYER;
    Event = std::move(event);
    if (SessionRole == Role::Host) {
        Player p;
        p.id = NewIdLocked();
        p.shortName = ToUtf8(name.ShortName);
        p.longName = ToUtf8(name.LongName);
        p.local = true;
        p.hostOwned = true;
        Players.push_back(p);
        LocalId = p.id;
        *id = p.id;
        const DPID created = p.id;
        lock.unlock();
        Post([this, created] {
            std::lock_guard lock(Mu);
            if (Player* p = FindLocked(created))
                BroadcastLocked(lanwire::Encode(lanwire::PlayerAdded{EntryLocked(*p)}), true,
                                nullptr);
        });
        return DP_OK;
    }
    CreatePending = true;
    PendingShort = ToUtf8(name.ShortName);
    PendingLong = ToUtf8(name.LongName);
    const Bytes request = lanwire::Encode(lanwire::CreatePlayer{PendingShort, PendingLong});
    lock.unlock();
    Post([this, request] {
        std::lock_guard lock(Mu);
        if (SessionRole == Role::Guest && HostPeer)
            SendPacket(HostPeer, request, true);
    });
    lock.lock();
    Cv.wait_for(lock, kCreateWait, [this] { return LocalId != 0 || !CreatePending; });
    CreatePending = false;
    if (LocalId == 0)
        return SessionRole == Role::Lost ? DPERR_CONNECTIONLOST : DPERR_CANTCREATEPLAYER;
    *id = LocalId;
    return DP_OK;
}

HRESULT LanTransport::Session::Send(DPID from, DPID to, std::uint32_t flags, const void* data,
                                    std::uint32_t size) {
    if (size > lanwire::kMaxPayload)
        return DPERR_SENDTOOBIG;
    if (!data && size > 0)
        return DPERR_INVALIDPARAMS;
    std::lock_guard lock(Mu);
    if (SessionRole == Role::Lost)
        return DPERR_CONNECTIONLOST;
    if (LocalId != 0 &&
        std::find(FormerLocalIds.begin(), FormerLocalIds.end(), from) != FormerLocalIds.end())
        from = LocalId;
    if (LocalId == 0 || from != LocalId)
        return DPERR_INVALIDPLAYER;
    if (to != DPID_ALLPLAYERS && !FindLocked(to))
        return DPERR_INVALIDPLAYER;
    const bool guaranteed = (flags & DPSEND_GUARANTEED) != 0;
    if (to == LocalId) {
        QueueLocked(from, QByteArray(static_cast<const char*>(data), static_cast<qsizetype>(size)));
        return DP_OK;
    }
    auto payload = std::make_shared<Bytes>(static_cast<const std::uint8_t*>(data),
                                           static_cast<const std::uint8_t*>(data) + size);
    Commands.push_back([this, from, to, guaranteed, payload] {
        std::lock_guard lock(Mu);
        if (SessionRole == Role::Host) {
            RelayLocked(from, to, guaranteed, *payload);
        } else if (SessionRole == Role::Guest && HostPeer) {
            lanwire::Send message{to, guaranteed ? lanwire::kSendGuaranteed : 0u, *payload};
            SendPacket(HostPeer, lanwire::Encode(message), guaranteed);
        } else if (SessionRole == Role::Rejoining && guaranteed) {
            // Held until the new host has taken this player back.
            HeldSends.push_back(
                lanwire::Encode(lanwire::Send{to, lanwire::kSendGuaranteed, *payload}));
        }
    });
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(WakeFd, &one, sizeof one);
    return DP_OK;
}

HRESULT LanTransport::Session::Receive(DPID* from, DPID* to, void* data, std::uint32_t* size) {
    if (!size)
        return DPERR_INVALIDPARAMS;
    std::lock_guard lock(Mu);
    if (Queue.empty())
        return DPERR_NOMESSAGES;
    Message& m = Queue.front();
    const auto needed = static_cast<std::uint32_t>(m.data.size());
    if (*size < needed || (!data && needed > 0)) {
        *size = needed;
        return DPERR_BUFFERTOOSMALL;
    }
    if (needed > 0)
        std::memcpy(data, m.data.constData(), needed);
    *size = needed;
    if (from)
        *from = m.from;
    if (to)
        *to = m.to;
    QueuedBytes -= m.data.size();
    Queue.pop_front();
    return DP_OK;
}

std::vector<std::pair<DPID, DPNAME>> LanTransport::Session::PlayerList() const {
    std::lock_guard lock(Mu);
    std::vector<std::pair<DPID, DPNAME>> list;
    for (const Player& p : Players)
        list.emplace_back(p.id, ToDpName(p.shortName, p.longName));
    return list;
}

bool LanTransport::Session::IsHost() const {
    std::lock_guard lock(Mu);
    return SessionRole == Role::Host;
}

DPSESSIONDESC2 LanTransport::Session::Desc() const {
    std::lock_guard lock(Mu);
    DPSESSIONDESC2 d;
    d.dwFlags = Flags;
    d.guidInstance = Instance;
    d.guidApplication = Application;
    d.dwMaxPlayers = MaxPlayers;
    d.dwCurrentPlayers = static_cast<std::uint32_t>(Players.size());
    return d;
}

// ---- network thread ----

// Sleeps until a socket is readable, a command is posted (WakeFd), or the
// next piece of timed work is due; a session without peers sleeps long.
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
        if (fds[0].revents & POLLERR)
            TakeSocketErrors();
        RunCommands();
        if (count == 3 && (fds[2].revents & POLLIN))
            AnswerSearches();
        ServiceEnet();
        TakeGone();
        if (Housekeeping())
            break;
        Probe();
        CapResendTimes(Host);
        timeout = NextWakeMs();
    }
    Enet()->host_flush(Host);
}

// Milliseconds until ENet has a resend, a ping or a time-out to make, or a
// handshake, rejoin or shutdown deadline passes. ENet resends and times out
// at a peer's nextTimeout while reliable commands wait for their
// acknowledgement, and pings a quiet peer pingInterval after it last heard it.
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
    const Clock::time_point clockNow = Clock::now();
    auto until = [&](Clock::time_point deadline) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - clockNow).count() + 1;
        wait = static_cast<int>(std::clamp<std::int64_t>(left, 1, wait));
    };
    std::lock_guard lock(Mu);
    if (ShuttingDown)
        until(ShutdownDeadline);
    for (const auto& [peer, state] : Peers) {
        if (!state.joined)
            until(state.since + kHandshakeLimit);
    }
    for (const Player& p : Players) {
        if (p.awaitingRejoin)
            until(p.deadline);
    }
    if (SessionRole == Role::Rejoining)
        until(HostPeer ? RejoinDeadline : std::min(RejoinDeadline, RejoinRetryAt));
    if (MergePeer)
        until(MergeDeadline);
    else if (Candidate)
        wait = 1;
    else if (MaxPlayers == 2 && WaitingLocked())
        until(WasWaiting ? NextProbe : clockNow + kProbeFirstDelay);
    return wait;
}

void LanTransport::Session::RunCommands() {
    std::deque<std::function<void()>> commands;
    {
        std::lock_guard lock(Mu);
        commands.swap(Commands);
    }
    for (auto& command : commands)
        command();
}

void LanTransport::Session::AnswerSearches() {
    Bytes bytes;
    lan::Endpoint from;
    for (int budget = 64; budget > 0 && lan::ReceiveDatagram(DiscoveryFd, &bytes, &from);
         --budget) {
        const auto message = lanwire::ParseDiscovery(bytes);
        const auto* search = message ? std::get_if<lanwire::Search>(&*message) : nullptr;
        // A plain twin of a tagged Search is answered through the tagged one;
        // this host's own search is not answered.
        if (!search || from.port == 0 ||
            (!search->tag && (search->flags & lanwire::kSearchHasTaggedTwin)) ||
            search->nonce == ProbeNonce)
            continue;
        Bytes answer;
        {
            std::lock_guard lock(Mu);
            if (SessionRole != Role::Host || ShuttingDown ||
                search->application != ToWire(Application))
                continue;
            if ((search->flags & lanwire::kSearchAvailableOnly) && !HasRoomLocked())
                continue;
            if (!Preference->Admits(search->tag))
                continue;
            lanwire::SessionInfo info;
            info.nonce = search->nonce;
            info.instance = ToWire(Instance);
            info.application = ToWire(Application);
            info.flags = Flags;
            info.maxPlayers = MaxPlayers;
            info.currentPlayers = static_cast<std::uint32_t>(Players.size());
            info.port = EnetPort;
            info.name = Name;
            // Only a tagged Search's sender reads the longer answer.
            if (search->tag)
                info.tag = Preference->Own();
            answer = lanwire::Encode(info);
        }
        lan::SendDatagram(DiscoveryFd, answer, from);
    }
}

void LanTransport::Session::ServiceEnet() {
    ENetEvent event;
    for (std::size_t n = 0; n < kMaxEventsPerTurn && Enet()->host_service(Host, &event, 0) > 0;
         ++n) {
        switch (event.type) {
        case ENET_EVENT_TYPE_CONNECT:
            OnConnect(event.peer);
            break;
        case ENET_EVENT_TYPE_DISCONNECT:
            OnDisconnect(event.peer);
            break;
        case ENET_EVENT_TYPE_RECEIVE:
            OnReceive(event.peer, event.packet);
            Enet()->packet_destroy(event.packet);
            break;
        case ENET_EVENT_TYPE_NONE:
            break;
        }
    }
    Enet()->host_flush(Host);
}

// Returns true when the thread is to end.
bool LanTransport::Session::Housekeeping() {
    const Clock::time_point now = Clock::now();
    std::lock_guard lock(Mu);
    if (StopRequested && !ShuttingDown) {
        ShuttingDown = true;
        ShutdownDeadline = now + kShutdownLinger;
        for (std::size_t i = 0; i < Host->peerCount; ++i) {
            ENetPeer* peer = &Host->peers[i];
            if (peer->state != ENET_PEER_STATE_DISCONNECTED)
                Enet()->peer_disconnect(peer, 0);
        }
        Enet()->host_flush(Host);
    }
    if (ShuttingDown) {
        bool anyConnected = false;
        for (std::size_t i = 0; i < Host->peerCount; ++i)
            anyConnected |= Host->peers[i].state != ENET_PEER_STATE_DISCONNECTED;
        return !anyConnected || now >= ShutdownDeadline;
    }
    if (SessionRole == Role::Host) {
        for (auto it = Peers.begin(); it != Peers.end();) {
            if (!it->second.joined && now - it->second.since > kHandshakeLimit) {
                Enet()->peer_disconnect_now(it->first, 0);
                it = Peers.erase(it);
            } else {
                ++it;
            }
        }
        std::vector<DPID> expired;
        for (const Player& p : Players) {
            if (p.awaitingRejoin && now > p.deadline)
                expired.push_back(p.id);
        }
        for (DPID id : expired)
            RemovePlayerLocked(id, true);
        if (MergePeer && now > MergeDeadline)
            EndMergeLocked();
        ReportSilenceLocked();
    } else if (SessionRole == Role::Rejoining && now > RejoinDeadline) {
        SessionLostLocked();
    } else if (SessionRole == Role::Rejoining && !HostPeer && now >= RejoinRetryAt) {
        ConnectNewHostLocked();
    } else if (SessionRole == Role::Guest) {
        ReportSilenceLocked();
    }
    return false;
}

// Reads the ICMP errors the kernel queued for datagrams this socket sent. A
// "port unreachable" for the very address and port of a system this one is
// connected to, sent by that address, means its program has ended: it leaves
// at once instead of after the long time-out. Anything else (a host or net
// unreachable while a link is down) is only silence.
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
            if (c->cmsg_level != SOL_IP || c->cmsg_type != IP_RECVERR)
                continue;
            sock_extended_err error;
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            sockaddr_in offender;
            std::memcpy(&offender, CMSG_DATA(c) + sizeof error, sizeof offender);
            if (error.ee_origin != SO_EE_ORIGIN_ICMP || error.ee_type != ICMP_DEST_UNREACH ||
                error.ee_code != ICMP_PORT_UNREACH || target.sin_family != AF_INET ||
                offender.sin_family != AF_INET ||
                offender.sin_addr.s_addr != target.sin_addr.s_addr)
                continue;
            DropSystem(ENetAddress{target.sin_addr.s_addr, ntohs(target.sin_port)});
        }
    }
}

void LanTransport::Session::DropSystem(const ENetAddress& system) {
    for (std::size_t i = 0; i < Host->peerCount; ++i) {
        ENetPeer* peer = &Host->peers[i];
        if (peer->state == ENET_PEER_STATE_DISCONNECTED || peer->address.host != system.host ||
            peer->address.port != system.port)
            continue;
        OnDisconnect(peer);
        Enet()->peer_reset(peer);
    }
}

void LanTransport::Session::TakeGone() {
    for (const ENetAddress& system : std::exchange(GoneFrom, {}))
        DropSystem(system);
}

void LanTransport::Session::TellGone(ENetHost* host, ByteView datagram) {
    // The peer id of ENet's header; a connection request names none.
    if (datagram.size() < 2 || (((datagram[0] << 8) | datagram[1]) &
                                ENET_PROTOCOL_MAXIMUM_PEER_ID) == ENET_PROTOCOL_MAXIMUM_PEER_ID)
        return;
    const ENetAddress from = host->receivedAddress;
    for (std::size_t i = 0; i < host->peerCount; ++i) {
        const ENetPeer& peer = host->peers[i];
        if (peer.state != ENET_PEER_STATE_DISCONNECTED && peer.address.host == from.host &&
            peer.address.port == from.port)
            return;
    }
    const Clock::time_point now = Clock::now();
    std::erase_if(GoneTold, [&](const auto& told) { return now - told.second > kGoneInterval; });
    const bool told = std::any_of(GoneTold.begin(), GoneTold.end(), [&](const auto& t) {
        return t.first.host == from.host && t.first.port == from.port;
    });
    if (told)
        return;
    GoneTold.emplace_back(from, now);
    lan::SendDatagram(host->socket, lanwire::Encode(lanwire::Gone{}),
                      {ntohl(from.host), from.port});
}

// Tells the local side when a connected player has not been heard for
// kQuietMs, and when it is heard again: the player stays in the session.
void LanTransport::Session::ReportSilenceLocked() {
    const enet_uint32 now = Enet()->time_get();
    auto silent = [now](const ENetPeer* peer) {
        return peer->state == ENET_PEER_STATE_CONNECTED &&
               static_cast<std::int32_t>(now - peer->lastReceiveTime) >=
                   static_cast<std::int32_t>(kQuietMs);
    };
    auto report = [this](const Player& p, bool quiet) {
        QueueSystemLocked(quiet ? DPSYS_PLAYERSILENT : DPSYS_PLAYERHEARD, p);
    };
    if (SessionRole == Role::Host) {
        for (auto& [peer, state] : Peers) {
            const Player* p = state.player ? FindLocked(state.player) : nullptr;
            if (!p || silent(peer) == state.quiet)
                continue;
            state.quiet = !state.quiet;
            report(*p, state.quiet);
        }
    } else if (SessionRole == Role::Guest && HostPeer && silent(HostPeer) != HostQuiet) {
        HostQuiet = !HostQuiet;
        for (const Player& p : Players) {
            if (p.hostOwned && !p.local)
                report(p, HostQuiet);
        }
    }
}

void LanTransport::Session::OnConnect(ENetPeer* peer) {
    std::lock_guard lock(Mu);
    ConfigurePeer(peer);
    if (ShuttingDown) {
        Enet()->peer_disconnect_now(peer, 0);
        return;
    }
    if (peer == MergePeer) {
        SendPacket(peer,
                   lanwire::Encode(lanwire::Hello{ToWire(MergeInstance), ToWire(Application)}),
                   true);
        return;
    }
    if (SessionRole == Role::Host) {
        Peers[peer] = PeerState{false, 0, Clock::now()};
        return;
    }
    if (peer != HostPeer) {
        // Nobody connects to a guest.
        Enet()->peer_disconnect_now(peer, 0);
        return;
    }
    if (SessionRole == Role::Joining)
        SendPacket(peer, lanwire::Encode(lanwire::Hello{ToWire(Instance), ToWire(Application)}),
                   true);
    else if (SessionRole == Role::Rejoining)
        SendPacket(peer,
                   lanwire::Encode(lanwire::Rejoin{ToWire(Instance), ToWire(Application), LocalId}),
                   true);
}

void LanTransport::Session::OnDisconnect(ENetPeer* peer) {
    std::lock_guard lock(Mu);
    if (peer == MergePeer) {
        MergePeer = nullptr;
        EndMergeLocked();
        return;
    }
    if (SessionRole == Role::Host) {
        const auto it = Peers.find(peer);
        if (it == Peers.end())
            return;
        const DPID player = it->second.player;
        Peers.erase(it);
        if (player != 0)
            RemovePlayerLocked(player, true);
        return;
    }
    if (peer != HostPeer)
        return;
    HostPeer = nullptr;
    switch (SessionRole) {
    case Role::Joining:
        FinishJoinLocked(DPERR_CONNECTIONLOST);
        break;
    case Role::Guest:
        if (!ShuttingDown)
            HostLostLocked();
        break;
    case Role::Rejoining:
        if (Clock::now() < RejoinDeadline && !ShuttingDown)
            RejoinRetryAt = Clock::now() + kRejoinRetry;
        else
            SessionLostLocked();
        break;
    default:
        break;
    }
}

void LanTransport::Session::OnReceive(ENetPeer* peer, const ENetPacket* packet) {
    const auto message = lanwire::ParseSession(ByteView(packet->data, packet->dataLength));
    std::lock_guard lock(Mu);
    if (ShuttingDown)
        return;
    if (peer == MergePeer) {
        if (message)
            MergeReceiveLocked(*message);
        return;
    }
    if (SessionRole == Role::Host) {
        const auto it = Peers.find(peer);
        if (it == Peers.end())
            return;
        if (!message) {
            // A system that has not joined yet gets no second chance.
            if (!it->second.joined) {
                Enet()->peer_disconnect_now(peer, 0);
                Peers.erase(it);
            }
            return;
        }
        HostReceiveLocked(peer, *message);
        return;
    }
    if (peer == HostPeer && message)
        GuestReceiveLocked(*message);
}

void LanTransport::Session::HostReceiveLocked(ENetPeer* peer,
                                              const lanwire::SessionMessage& message) {
    PeerState& state = Peers[peer];
    auto refuse = [&](lanwire::RefuseReason reason) {
        SendPacket(peer, lanwire::Encode(lanwire::Refuse{reason}), true);
        Enet()->peer_disconnect_later(peer, 0);
    };
    if (!state.joined) {
        if (const auto* hello = std::get_if<lanwire::Hello>(&message)) {
            // Two waiting hosts that found each other at once both try to
            // join: the one with the lower session instance stays the host.
            const bool joiningOther = MergePeer && !(ToWire(Instance) < ToWire(MergeInstance));
            if (hello->instance != ToWire(Instance) || hello->application != ToWire(Application))
                refuse(lanwire::RefuseReason::NoSuchSession);
            else if (joiningOther || !HasRoomLocked())
                refuse(lanwire::RefuseReason::Full);
            else {
                if (MergePeer)
                    EndMergeLocked();
                state.joined = true;
                SendPacket(peer, lanwire::Encode(WelcomeLocked()), true);
            }
        } else if (const auto* rejoin = std::get_if<lanwire::Rejoin>(&message)) {
            Player* p = FindLocked(rejoin->id);
            if (!p || !p->awaitingRejoin || rejoin->instance != ToWire(Instance) ||
                rejoin->application != ToWire(Application)) {
                refuse(lanwire::RefuseReason::NoSuchSession);
            } else {
                p->awaitingRejoin = false;
                p->peer = peer;
                p->address = EndpointOf(peer);
                state.joined = true;
                state.player = p->id;
                SendPacket(peer, lanwire::Encode(WelcomeLocked()), true);
                for (const Bytes& held : p->held)
                    SendPacket(peer, held, true);
                p->held.clear();
            }
        } else {
            Enet()->peer_disconnect_now(peer, 0);
            Peers.erase(peer);
        }
        return;
    }
    if (const auto* create = std::get_if<lanwire::CreatePlayer>(&message)) {
        if (state.player != 0)
            return;
        Player p;
        p.id = NewIdLocked();
        p.shortName = create->shortName;
        p.longName = create->longName;
        p.peer = peer;
        p.address = EndpointOf(peer);
        Players.push_back(p);
        state.player = p.id;
        SendPacket(peer, lanwire::Encode(lanwire::YourPlayer{p.id}), true);
        BroadcastLocked(lanwire::Encode(lanwire::PlayerAdded{EntryLocked(p)}), true, peer);
        QueueSystemLocked(DPSYS_CREATEPLAYERORGROUP, p);
    } else if (const auto* send = std::get_if<lanwire::Send>(&message)) {
        // The sender is the player this peer owns, whatever the packet says.
        if (state.player != 0)
            RelayLocked(state.player, send->to, (send->flags & lanwire::kSendGuaranteed) != 0,
                        send->payload);
    }
}

bool LanTransport::Session::WaitingLocked() const {
    if (SessionRole != Role::Host || ShuttingDown || LocalId == 0 || Players.size() != 1 ||
        !Peers.empty() || MergePeer)
        return false;
    return true;
}

bool LanTransport::Session::TakeDatagram(ENetHost* host) {
    const ByteView datagram(host->receivedData, host->receivedDataLength);
    // ENet's own datagrams never start with the magic: their first bytes are
    // a small peer id.
    if (datagram.size() < lanwire::kMagic.size() ||
        !std::equal(lanwire::kMagic.begin(), lanwire::kMagic.end(), datagram.begin())) {
        TellGone(host, datagram);
        return false;
    }
    const lan::Endpoint from{ntohl(host->receivedAddress.host), host->receivedAddress.port};
    if (const auto said = lanwire::ParseDiscovery(datagram);
        said && std::holds_alternative<lanwire::Gone>(*said)) {
        GoneFrom.push_back(host->receivedAddress);
        return true;
    }
    const auto answer = lan::ReadAnswer(datagram, from, ProbeNonce, ToWire(Application),
                                        lanwire::kSearchAvailableOnly);
    if (!answer || answer->info.instance == ToWire(Instance))
        return true;
    // Asked of every other host that answers: a reserved program sees it.
    const bool admitted = Preference->Admits(answer->info.tag);
    // Only another waiting host of a two-player session: never a game in progress.
    if (admitted && MaxPlayers == 2 && !MergePeer && !Candidate && answer->info.maxPlayers == 2 &&
        answer->info.currentPlayers == 1)
        Candidate = *answer;
    return true;
}

void LanTransport::Session::Probe() {
    const Clock::time_point now = Clock::now();
    std::unique_lock lock(Mu);
    if (MaxPlayers != 2 || !WaitingLocked()) {
        WasWaiting = MergePeer != nullptr;
        Candidate.reset();
        return;
    }
    if (!WasWaiting) {
        // Waiting begins (or begins again after a player left): search often.
        WasWaiting = true;
        ProbesSent = 0;
        NextProbe = now + kProbeFirstDelay;
    }
    if (Candidate) {
        StartMerge();
        return;
    }
    if (now < NextProbe)
        return;
    const auto interval = ProbesSent < kFastProbes ? kProbeFastInterval : kProbeSlowInterval;
    // Up to a fifth more, so that two hosts do not search in step.
    const auto jitter =
        std::chrono::milliseconds(Random() % static_cast<std::uint32_t>(interval.count() / 5 + 1));
    ++ProbesSent;
    NextProbe = now + interval + jitter;
    lock.unlock();

    lanwire::Search request;
    request.application = ToWire(Application);
    request.nonce = ProbeNonce;
    request.flags = lanwire::kSearchAvailableOnly;
    const auto datagrams = lan::SearchDatagrams(request, Preference->Own());
    const std::vector<std::uint32_t> targets =
        SearchTargets.empty() ? lan::BroadcastTargets() : SearchTargets;
    for (std::uint32_t target : targets) {
        for (const Bytes& datagram : datagrams)
            lan::SendDatagram(Host->socket, datagram, {target, SearchPort});
    }
}

// Called with Mu held, while waiting and with a candidate.
void LanTransport::Session::StartMerge() {
    const lan::FoundSession target = *Candidate;
    Candidate.reset();
    ENetAddress address{};
    address.host = htonl(target.host.ipv4);
    address.port = target.host.port;
    MergePeer = Enet()->host_connect(Host, &address, kChannels, 0);
    if (!MergePeer) {
        NextProbe = Clock::now() + kProbeFastInterval;
        return;
    }
    ConfigurePeer(MergePeer);
    MergeInstance = FromWire(target.info.instance);
    MergeWelcomed = false;
    MergeDeadline = Clock::now() + kMergeLimit;
}

// The other waiting host's answers while this one joins it: its welcome, then
// the player it makes for this program. Then this program is its guest, and
// says so with one notice; anything else gives up the attempt.
void LanTransport::Session::MergeReceiveLocked(const lanwire::SessionMessage& message) {
    if (const auto* welcome = std::get_if<lanwire::Welcome>(&message)) {
        const Player* local = FindLocked(LocalId);
        if (MergeWelcomed || !local || welcome->instance != ToWire(MergeInstance) ||
            welcome->application != ToWire(Application) || welcome->players.empty()) {
            EndMergeLocked();
            return;
        }
        MergeWelcomed = true;
        MergeWelcome = *welcome;
        SendPacket(MergePeer,
                   lanwire::Encode(lanwire::CreatePlayer{local->shortName, local->longName}), true);
        return;
    }
    const auto* mine = std::get_if<lanwire::YourPlayer>(&message);
    if (!mine) {
        if (std::holds_alternative<lanwire::Refuse>(message))
            EndMergeLocked();
        return; // nothing else is sent before the player is made
    }
    const bool known = std::any_of(MergeWelcome.players.begin(), MergeWelcome.players.end(),
                                   [&](const lanwire::PlayerEntry& e) { return e.id == mine->id; });
    const Player* local = FindLocked(LocalId);
    if (!MergeWelcomed || known || !local) {
        EndMergeLocked();
        return;
    }
    Player me = *local;
    me.id = mine->id;
    for (const auto& [peer, state] : Peers)
        Enet()->peer_disconnect_now(peer, 0);
    Peers.clear();
    if (DiscoveryFd >= 0) {
        ::close(DiscoveryFd); // guests answer no searches
        DiscoveryFd = -1;
    }
    Instance = MergeInstance;
    Name = MergeWelcome.name;
    Flags = MergeWelcome.flags;
    MaxPlayers = MergeWelcome.maxPlayers;
    FormerLocalIds.push_back(LocalId);
    Players.clear();
    AdoptPlayersLocked(MergeWelcome.players, false, false);
    Players.push_back(me);
    LocalId = me.id;
    HostPeer = MergePeer;
    MergePeer = nullptr;
    MergeWelcomed = false;
    MergeWelcome = {};
    SessionRole = Role::Guest;
    QueueLocked(DPID_SYSMSG,
                MakeSystemMessage(DPSYS_JOINEDSESSION, me.id, ToDpName(me.shortName, me.longName)));
}

// Gives up joining the other host: this one goes on hosting and searching.
void LanTransport::Session::EndMergeLocked() {
    if (MergePeer)
        Enet()->peer_disconnect_now(MergePeer, 0);
    MergePeer = nullptr;
    MergeWelcomed = false;
    MergeWelcome = {};
    NextProbe = Clock::now() + kProbeFastInterval;
}

void LanTransport::Session::GuestReceiveLocked(const lanwire::SessionMessage& message) {
    if (SessionRole == Role::Joining || SessionRole == Role::Rejoining) {
        if (const auto* welcome = std::get_if<lanwire::Welcome>(&message)) {
            if (welcome->instance != ToWire(Instance) ||
                welcome->application != ToWire(Application)) {
                if (SessionRole == Role::Joining)
                    FinishJoinLocked(DPERR_NOSESSIONS);
                else
                    SessionLostLocked();
                return;
            }
            const bool rejoining = SessionRole == Role::Rejoining;
            if (!rejoining) {
                Name = welcome->name;
                Flags = welcome->flags;
                MaxPlayers = welcome->maxPlayers;
            }
            AdoptPlayersLocked(welcome->players, rejoining, rejoining);
            SessionRole = Role::Guest;
            for (const Bytes& held : HeldSends)
                SendPacket(HostPeer, held, true);
            HeldSends.clear();
            if (!rejoining)
                FinishJoinLocked(DP_OK);
        } else if (const auto* refuse = std::get_if<lanwire::Refuse>(&message)) {
            if (SessionRole == Role::Joining)
                FinishJoinLocked(refuse->reason == lanwire::RefuseReason::Full ? DPERR_UNAVAILABLE
                                                                               : DPERR_NOSESSIONS);
            else
                SessionLostLocked();
        }
        return;
    }
    if (SessionRole != Role::Guest)
        return;
    if (const auto* added = std::get_if<lanwire::PlayerAdded>(&message)) {
        if (FindLocked(added->player.id))
            return;
        AdoptPlayersLocked({added->player}, true, false);
    } else if (const auto* mine = std::get_if<lanwire::YourPlayer>(&message)) {
        if (!CreatePending || LocalId != 0 || FindLocked(mine->id))
            return;
        Player p;
        p.id = mine->id;
        p.shortName = PendingShort;
        p.longName = PendingLong;
        p.local = true;
        Players.push_back(p);
        LocalId = p.id;
        Cv.notify_all();
    } else if (const auto* removed = std::get_if<lanwire::PlayerRemoved>(&message)) {
        if (removed->id == LocalId)
            SessionLostLocked();
        else
            RemovePlayerLocked(removed->id, false);
    } else if (const auto* deliver = std::get_if<lanwire::Deliver>(&message)) {
        if (LocalId == 0 || (deliver->to != DPID_ALLPLAYERS && deliver->to != LocalId) ||
            deliver->from == LocalId || !FindLocked(deliver->from))
            return;
        QueueLocked(deliver->from,
                    QByteArray(reinterpret_cast<const char*>(deliver->payload.data()),
                               static_cast<qsizetype>(deliver->payload.size())));
    }
}

// Takes the host's view of the players: new ones are added (and announced
// when asked); with replace, ones the host does not list are removed.
void LanTransport::Session::AdoptPlayersLocked(const std::vector<lanwire::PlayerEntry>& entries,
                                               bool announce, bool replace) {
    if (replace) {
        std::vector<DPID> gone;
        for (const Player& p : Players) {
            const bool listed = std::any_of(entries.begin(), entries.end(),
                                            [&](const auto& e) { return e.id == p.id; });
            if (!listed && !p.local)
                gone.push_back(p.id);
        }
        for (DPID id : gone)
            RemovePlayerLocked(id, false);
    }
    for (const lanwire::PlayerEntry& e : entries) {
        if (Player* known = FindLocked(e.id)) {
            known->hostOwned = e.hostOwned;
            if (!known->local)
                known->address = {e.ipv4, e.port};
            continue;
        }
        Player p;
        p.id = e.id;
        p.shortName = e.shortName;
        p.longName = e.longName;
        p.hostOwned = e.hostOwned;
        p.address = {e.ipv4, e.port};
        Players.push_back(p);
        if (announce)
            QueueSystemLocked(DPSYS_CREATEPLAYERORGROUP, p);
    }
}

void LanTransport::Session::RelayLocked(DPID from, DPID to, bool guaranteed, ByteView payload) {
    Bytes packet;
    auto encoded = [&]() -> const Bytes& {
        if (packet.empty())
            packet = lanwire::Encode(lanwire::Deliver{from, to, payload});
        return packet;
    };
    auto copy = [&] {
        return QByteArray(reinterpret_cast<const char*>(payload.data()),
                          static_cast<qsizetype>(payload.size()));
    };
    for (Player& p : Players) {
        if (p.id == from || (to != DPID_ALLPLAYERS && p.id != to))
            continue;
        if (p.local)
            QueueLocked(from, copy());
        else if (p.awaitingRejoin && guaranteed)
            p.held.push_back(encoded());
        else if (p.peer && !p.awaitingRejoin)
            SendPacket(p.peer, encoded(), guaranteed);
    }
}

void LanTransport::Session::BroadcastLocked(const Bytes& bytes, bool reliable, ENetPeer* except) {
    for (const auto& [peer, state] : Peers) {
        if (state.joined && peer != except)
            SendPacket(peer, bytes, reliable);
    }
}

void LanTransport::Session::RemovePlayerLocked(DPID id, bool announce) {
    const auto it =
        std::find_if(Players.begin(), Players.end(), [id](const Player& p) { return p.id == id; });
    if (it == Players.end() || it->local)
        return;
    const Player gone = *it;
    Players.erase(it);
    QueueSystemLocked(DPSYS_DESTROYPLAYERORGROUP, gone);
    if (announce)
        BroadcastLocked(lanwire::Encode(lanwire::PlayerRemoved{id}), true, gone.peer);
}

void LanTransport::Session::HostLostLocked() {
    std::vector<DPID> hostPlayers;
    for (const Player& p : Players) {
        if (p.hostOwned && !p.local)
            hostPlayers.push_back(p.id);
    }
    for (DPID id : hostPlayers)
        RemovePlayerLocked(id, false);
    if (!(Flags & DPSESSION_MIGRATEHOST) || LocalId == 0) {
        SessionLostLocked();
        return;
    }
    // The player with the lowest id hosts; everyone else rejoins it.
    const auto lowest =
        std::min_element(Players.begin(), Players.end(),
                         [](const Player& a, const Player& b) { return a.id < b.id; });
    if (lowest->local) {
        BecomeHostLocked();
        return;
    }
    if (lowest->address.ipv4 == 0) {
        SessionLostLocked();
        return;
    }
    RejoinAddress.host = htonl(lowest->address.ipv4);
    RejoinAddress.port = lowest->address.port;
    SessionRole = Role::Rejoining;
    RejoinDeadline = Clock::now() + kRejoinLimit;
    ConnectNewHostLocked();
}

void LanTransport::Session::ConnectNewHostLocked() {
    HostPeer = Enet()->host_connect(Host, &RejoinAddress, kChannels, 0);
    if (HostPeer)
        ConfigurePeer(HostPeer);
    else
        SessionLostLocked();
}

void LanTransport::Session::BecomeHostLocked() {
    SessionRole = Role::Host;
    HostQuiet = false;
    // Alone, this is a new waiting session: the old host, if it is still
    // there after an outage, must see it as another one to pair with.
    if (Players.size() == 1)
        Instance = RandomGuid();
    if (DiscoveryFd < 0)
        DiscoveryFd = lan::OpenDiscoveryListener();
    const Clock::time_point deadline = Clock::now() + kRejoinLimit;
    for (Player& p : Players) {
        p.hostOwned = p.local;
        p.peer = nullptr;
        p.awaitingRejoin = !p.local;
        p.deadline = deadline;
    }
    Peers.clear();
}

void LanTransport::Session::SessionLostLocked() {
    std::vector<DPID> others;
    for (const Player& p : Players) {
        if (!p.local)
            others.push_back(p.id);
    }
    for (DPID id : others)
        RemovePlayerLocked(id, false);
    if (HostPeer) {
        Enet()->peer_disconnect_now(HostPeer, 0);
        HostPeer = nullptr;
    }
    if (SessionRole != Role::Lost) {
        SessionRole = Role::Lost;
        QueueLocked(DPID_SYSMSG, MakeSystemMessage(DPSYS_SESSIONLOST, 0, DPNAME{}));
    }
    CreatePending = false;
    HeldSends.clear();
    Cv.notify_all();
}

void LanTransport::Session::FinishJoinLocked(HRESULT result) {
    if (JoinDone)
        return;
    JoinDone = true;
    JoinResult = result;
    Cv.notify_all();
}

void LanTransport::Session::QueueLocked(DPID from, QByteArray data) {
    if (LocalId == 0)
        return;
    // A reader that stopped reading cannot make the queue grow without bound;
    // notices about players are always kept.
    if (from != DPID_SYSMSG &&
        QueuedBytes + static_cast<std::size_t>(data.size()) > kMaxQueuedBytes)
        return;
    QueuedBytes += static_cast<std::size_t>(data.size());
    Queue.push_back({from, LocalId, std::move(data)});
    if (Event)
        Event->Set();
}

void LanTransport::Session::QueueSystemLocked(std::uint32_t type, const Player& player) {
    QueueLocked(DPID_SYSMSG,
                MakeSystemMessage(type, player.id, ToDpName(player.shortName, player.longName)));
}

bool LanTransport::Session::HasRoomLocked() const {
    std::uint32_t systems = 1;
    for (const auto& [peer, state] : Peers)
        systems += state.joined ? 1 : 0;
    for (const Player& p : Players)
        systems += p.awaitingRejoin ? 1 : 0;
    return systems < SystemLimit(MaxPlayers);
}

LanTransport::Session::Player* LanTransport::Session::FindLocked(DPID id) {
    const auto it =
        std::find_if(Players.begin(), Players.end(), [id](const Player& p) { return p.id == id; });
    return it == Players.end() ? nullptr : &*it;
}

DPID LanTransport::Session::NewIdLocked() {
    for (;;) {
        const DPID id = Random();
        if (id != lanwire::kNoPlayer && id != lanwire::kBadPlayer && !FindLocked(id))
            return id;
    }
}

lanwire::PlayerEntry LanTransport::Session::EntryLocked(const Player& p) const {
    lanwire::PlayerEntry e;
    e.id = p.id;
    e.shortName = p.shortName;
    e.longName = p.longName;
    e.ipv4 = p.address.ipv4;
    e.port = p.address.port;
    e.hostOwned = p.local;
    return e;
}

lanwire::Welcome LanTransport::Session::WelcomeLocked() const {
    lanwire::Welcome w;
    w.instance = ToWire(Instance);
    w.application = ToWire(Application);
    w.flags = Flags;
    w.maxPlayers = MaxPlayers;
    w.name = Name;
    for (const Player& p : Players)
        w.players.push_back(EntryLocked(p));
    return w;
}

// ---- the transport object ----

LanTransport::LanTransport() : Preference(std::make_shared<Pairing>()) {}

void LanTransport::SetReceiveLossPercent(int percent) {
    receiveLossPercent = std::clamp(percent, 0, 100);
}

void LanTransport::SetReservationLapse(std::chrono::milliseconds lapse) {
    reservationLapseMs = std::max<std::int64_t>(lapse.count(), 0);
}

LanTransport::~LanTransport() {
    Close();
}

HRESULT LanTransport::EnumConnections(const GUID&, const EnumConnectionsCallback& callback,
                                      std::uint32_t) {
    if (callback)
        callback(kConnectionTag, DPNAME{QStringLiteral("TCP/IP LAN 接続"), QString()});
    return DP_OK;
}

HRESULT LanTransport::InitializeConnection(const QByteArray& connection, std::uint32_t) {
    if (connection == kConnectionTag) {
        Address.clear();
        AddressGiven = false;
    } else if (connection.startsWith(kConnectionTag + ':')) {
        Address = QString::fromUtf8(connection.mid(kConnectionTag.size() + 1)).trimmed();
        AddressGiven = true;
    } else {
        return DPERR_INVALIDPARAMS;
    }
    Initialized = true;
    return DP_OK;
}

namespace {

// A typed address ("host" or "host:port") as the IPv4 address and port to ask.
HRESULT ResolveTypedAddress(const QString& address, std::uint32_t* ipv4, std::uint16_t* port) {
    std::string host;
    if (!lan::ParseHostAddress(address.toStdString(), &host, port))
        return DPERR_INVALIDHOSTADDRESS;
    return lan::ResolveIpv4(host, ipv4) ? DP_OK : DPERR_HOSTNOTFOUND;
}

} // namespace

void LanTransport::SetSessionAddress(const QString& address) {
    DialogAddress = address.trimmed();
}

QString LanTransport::SessionAddress() const {
    return DialogAddress;
}

void LanTransport::SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred) {
    Preference->Set(own, preferred);
}

HRESULT LanTransport::EnumSessions(const DPSESSIONDESC2& desc, std::uint32_t timeout,
                                   const EnumSessionsCallback& callback, std::uint32_t flags) {
    if (!Initialized)
        return DPERR_UNINITIALIZED;
    QString address = Address;
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (!AddressGiven && app && QThread::currentThread() == app->thread()) {
        LanSessionDialog dialog;
        dialog.SetAddress(DialogAddress);
        if (dialog.exec() != QDialog::Accepted)
            return DPERR_USERCANCEL;
        address = dialog.Address();
        DialogAddress = address;
    }
    std::vector<std::uint32_t> targets;
    std::uint16_t port = lan::DiscoveryPort();
    if (address.isEmpty()) {
        targets = lan::BroadcastTargets();
    } else {
        // One computer, asked directly: the way through routers, VPNs and
        // firewalls that keep broadcasts (or the answers to them) out.
        std::uint32_t ipv4 = 0;
        if (const HRESULT resolved = ResolveTypedAddress(address, &ipv4, &port); resolved != DP_OK)
            return resolved;
        targets.push_back(ipv4);
    }
    // The default search ends soon after the first answer; a given time-out
    // is waited out in full, to hear every host.
    const auto window = timeout == 0 ? std::chrono::milliseconds(kDefaultSearchWindow)
                                     : std::chrono::milliseconds(std::min(timeout, 10000u));
    const auto settle = timeout == 0 ? std::chrono::milliseconds(kSearchSettle) : 0ms;
    lan::SearchOptions search;
    search.targets = std::move(targets);
    search.application = ToWire(desc.guidApplication);
    search.flags = (flags & DPENUMSESSIONS_AVAILABLE) ? lanwire::kSearchAvailableOnly : 0u;
    search.tag = Preference->Own();
    search.window = window;
    search.resend = kSearchResend;
    search.settle = settle;
    search.port = port;
    search.wanted = [this](const lan::FoundSession& s) { return Preference->Admits(s.info.tag); };
    auto found = search.targets.empty() ? std::vector<lan::FoundSession>{} : lan::Search(search);
    // The preferred hosts' sessions first; while reserved, no other ones.
    std::stable_partition(found.begin(), found.end(), [this](const lan::FoundSession& s) {
        return Preference->Prefers(s.info.tag);
    });
    for (const lan::FoundSession& s : found) {
        if (!Preference->Admits(s.info.tag))
            continue;
        DPSESSIONDESC2 d;
        d.dwFlags = s.info.flags;
        d.guidInstance = FromWire(s.info.instance);
        d.guidApplication = FromWire(s.info.application);
        d.dwMaxPlayers = s.info.maxPlayers;
        d.dwCurrentPlayers = s.info.currentPlayers;
        // Where to join: the host's address and session port.
        d.dwReserved1 = s.host.ipv4;
        d.dwReserved2 = s.host.port;
        if (callback && !callback(&d, QString::fromStdString(s.info.name)))
            return DP_OK;
    }
    if (callback)
        callback(nullptr, QString());
    return DP_OK;
}

HRESULT LanTransport::Open(const DPSESSIONDESC2& desc, const QString& sessionName,
                           std::uint32_t flags) {
    if (!Initialized)
        return DPERR_UNINITIALIZED;
    if (Current || desc.dwSize != sizeof(DPSESSIONDESC2))
        return DPERR_INVALIDPARAMS;
    auto session = std::make_unique<Session>(Preference);
    HRESULT result = DPERR_INVALIDPARAMS;
    // A waiting host looks where the searches of this connection look.
    std::vector<std::uint32_t> searchTargets;
    std::uint16_t port = lan::DiscoveryPort();
    std::uint32_t ipv4 = 0;
    if (!Address.isEmpty() && ResolveTypedAddress(Address, &ipv4, &port) == DP_OK)
        searchTargets.push_back(ipv4);
    if (flags & DPOPEN_CREATE)
        result = session->StartHost(desc, sessionName, std::move(searchTargets), port);
    else if (flags & DPOPEN_JOIN)
        result = session->StartJoin(desc, std::move(searchTargets), port);
    if (result == DP_OK)
        Current = std::move(session);
    return result;
}

HRESULT LanTransport::EnumPlayers(const EnumPlayersCallback& callback, std::uint32_t) {
    if (!Current)
        return DPERR_NOCONNECTION;
    for (const auto& [id, name] : Current->PlayerList()) {
        if (callback && !callback(id, name))
            break;
    }
    return DP_OK;
}

HRESULT LanTransport::CreatePlayer(DPID* id, const DPNAME& name,
                                   std::shared_ptr<AutoResetEvent> event) {
    if (!id)
        return DPERR_INVALIDPARAMS;
    if (!Current)
        return DPERR_NOCONNECTION;
    return Current->CreatePlayer(id, name, std::move(event));
}

HRESULT LanTransport::Receive(DPID* from, DPID* to, std::uint32_t, void* data,
                              std::uint32_t* size) {
    if (!Current)
        return DPERR_NOMESSAGES;
    return Current->Receive(from, to, data, size);
}

HRESULT LanTransport::Send(DPID from, DPID to, std::uint32_t flags, const void* data,
                           std::uint32_t size) {
    if (!Current)
        return DPERR_NOCONNECTION;
    return Current->Send(from, to, flags, data, size);
}

HRESULT LanTransport::Close() {
    Current.reset();
    return DP_OK;
}

bool LanTransport::IsHost() const {
    return Current && Current->IsHost();
}

std::uint16_t LanTransport::SessionPort() const {
    return Current ? Current->Port() : 0;
}

DPSESSIONDESC2 LanTransport::SessionDesc() const {
    return Current ? Current->Desc() : DPSESSIONDESC2{};
}
