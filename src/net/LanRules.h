// The rules of one LAN session without I/O: roles, players, relaying, merging, migration, liveness.
#pragma once

#include "net/DirectPlay.h"
#include "net/LanDiscovery.h"
#include "net/LanPairing.h"
#include "net/LanWire.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace lan {

using Time = std::chrono::steady_clock::time_point;
// A connection to another system. The rules name every connection, the ones
// they open and the ones they accept; 0 names none.
using LinkId = std::uint32_t;

// Every timed rule of a session. NextWake() is the earliest one due; at that
// time HandleTimeout() carries out the rules whose time has come.
enum class Timer {
    Handshake, // host: a system that connected and has not said hello within kHandshakeLimit is
               // dropped
    SeatHeld,  // host, after migrating: a player of the old session not back within kRejoinLimit is
               // removed
    RejoinLimit, // guest: a new host not reached within kRejoinLimit of the old one leaving loses
                 // the session
    RejoinRetry, // guest: turned away by a new host that had not taken over yet, it asks again
                 // kRejoinRetry later
    MergeLimit,  // waiting host: joining another waiting host is given up after kMergeLimit
    Probe,       // waiting host: the next search for another waiting host
    Quiet,       // a connection not heard for kQuiet: its players are reported silent
    Departure,   // a connection not heard for kDepartureSilence is given up
    Shutdown,    // closing waits at most kShutdownLinger for the others to acknowledge
};
inline constexpr int kTimerCount = 9;

using namespace std::chrono_literals;
inline constexpr auto kHandshakeLimit = 3000ms;
// Networks go silent for seconds (Wi-Fi roaming, an address taken away and
// given back): silence up to 20 s, and the second or so a link takes to carry
// traffic again, is not a departure. A program that has ended is noticed at
// once instead, from its machine's "port unreachable" or from the Gone its
// port answers with.
inline constexpr auto kDepartureSilence = 23000ms;
inline constexpr auto kQuiet = 3000ms;
inline constexpr auto kRejoinLimit = 25000ms;
inline constexpr auto kRejoinRetry = 100ms;
inline constexpr auto kMergeLimit = 3000ms;
// A waiting host looks for other waiting hosts: often at first, then seldom.
inline constexpr auto kProbeFirstDelay = 100ms;
inline constexpr auto kProbeFastInterval = 250ms;
inline constexpr int kFastProbes = 8;
inline constexpr auto kProbeSlowInterval = 1500ms;
// A system sending to a connection this port does not have is told at most this often.
inline constexpr auto kGoneInterval = 500ms;
inline constexpr auto kShutdownLinger = 300ms;
inline constexpr std::uint32_t kMaxSystems = 32;
inline constexpr std::size_t kMaxQueuedBytes = 1u << 20;

// How many systems a session of maxPlayers (0: no limit) takes, this one included.
inline std::uint32_t SystemLimit(std::uint32_t maxPlayers) {
    return maxPlayers == 0 ? kMaxSystems : std::min(maxPlayers, kMaxSystems);
}

// What the rules ask of the I/O around them, in order.
namespace act {
struct Connect { // open a connection to the session port at `to`
    LinkId link;
    Endpoint to;
};
struct Send { // reliable: delivered once, in order with the link's other reliable sends
    LinkId link;
    lanwire::Bytes bytes;
    bool reliable;
};
struct Close { // at once, telling the other side; no event follows for the link
    LinkId link;
};
struct Forget { // at once, sending nothing: the other side is gone; no event follows
    LinkId link;
};
struct CloseAfterSends { // once the link's queued reliable sends are delivered
    LinkId link;
};
struct Disconnect { // politely; Lost follows once the other side agrees or is gone
    LinkId link;
};
struct Search { // the datagrams of a search for other waiting hosts, from the session port
    std::vector<lanwire::Bytes> datagrams;
};
struct Datagram { // one datagram from the session port
    Endpoint to;
    lanwire::Bytes bytes;
};
struct Answer { // an answer to a search, from the discovery port
    Endpoint to;
    lanwire::Bytes bytes;
};
struct ListenForSearches { // open or close the discovery port
    bool listen;
};
} // namespace act
using Action =
    std::variant<act::Connect, act::Send, act::Close, act::Forget, act::CloseAfterSends,
                 act::Disconnect, act::Search, act::Datagram, act::Answer, act::ListenForSearches>;

// An ICMP error the kernel reported for a datagram sent to `target`.
struct IcmpError {
    Endpoint target;
    std::uint32_t reporter = 0; // the address that sent the error
    bool portUnreachable = false;
};

// How a session is opened.
struct Opening {
    GUID application{};
    std::uint32_t flags = 0;
    std::uint32_t maxPlayers = 0;
    std::string name;          // hosting: the session's name
    GUID instance{};           // joining: the session to join
    Endpoint host;             // joining: where it is
    std::uint16_t ownPort = 0; // this session's port, told in search answers
    std::uint32_t seed = 0;    // player ids, instances, nonces and search jitter
};

class SessionRules {
public:
    enum class Role { Joining, Guest, Host, Rejoining, Lost };

    SessionRules(const Opening& opening, std::shared_ptr<Pairing> preference);

    // Opening: hosting begins at once; joining connects to the host.
    void Host(Time now);
    void Join(Time now);
    // Closing: goodbyes to everyone, then Finished().
    void Stop(Time now);
    bool Finished(Time now) const;

    // Commands of the local side.
    // Hosting, the player is made at once (DP_OK); as a guest the host is
    // asked and *pending set: CreateAnswered() tells when FinishCreate() may be called.
    HRESULT CreatePlayer(const DPNAME& name, Time now, DPID* id, bool* pending);
    bool CreateAnswered() const;
    HRESULT FinishCreate(DPID* id);
    HRESULT Send(DPID from, DPID to, std::uint32_t flags, lanwire::ByteView payload, Time now);
    HRESULT Receive(DPID* from, DPID* to, void* data, std::uint32_t* size);
    std::vector<std::pair<DPID, DPNAME>> PlayerList() const;
    // The outcome of Join(), once there is one.
    std::optional<HRESULT> JoinAnswer() const { return JoinResult; }
    Role CurrentRole() const { return SessionRole; }
    DPSESSIONDESC2 Desc() const;

    // What happened on the network.
    void Connected(LinkId link, Time now);
    LinkId Accepted(const Endpoint& from, Time now);
    void Lost(LinkId link, Time now);
    void Received(LinkId link, lanwire::ByteView bytes, Time now);
    // The last time anything was heard from a link (an acknowledgement or a ping).
    void Heard(LinkId link, Time when, Time now);
    void SocketError(const IcmpError& error, Time now);
    // A datagram on the discovery port.
    void SearchDatagram(const Endpoint& from, lanwire::ByteView bytes, Time now);
    // A datagram of this program's own wire format on the session port: a
    // search answer or a Gone.
    void SessionDatagram(const Endpoint& from, lanwire::ByteView bytes, Time now);
    // A packet of a connection from a system with no connection here.
    void StrayPacket(const Endpoint& from, Time now);

    void HandleTimeout(Time now);
    std::optional<Time> NextWake() const;
    std::optional<Time> Due(Timer timer) const;

    // Takes what is to be done. Messages or notices for the local side came
    // since the last call when *signal is set.
    std::vector<Action> TakeActions(bool* signal = nullptr);
    bool HasActions() const { return !Out.empty(); }
    // Whether messages or notices for the local side came since the last call.
    bool TakeSignal() { return std::exchange(Signal, false); }
    std::uint32_t SearchNonce() const { return ProbeNonce; }

private:
    struct Player {
        DPID id = 0;
        std::string shortName;
        std::string longName;
        bool local = false;     // this program's own player
        bool hostOwned = false; // belongs to the hosting system
        LinkId link = 0;
        Endpoint address;
        bool awaitingRejoin = false;
        Time deadline;
        // Guaranteed deliveries for it while it is moving over to this new host.
        std::vector<lanwire::Bytes> held;
    };
    struct Message {
        DPID from = 0;
        DPID to = 0;
        QByteArray data;
    };
    struct Link {
        Endpoint address;
        Time opened;
        Time heard;
        bool incoming = false;
        bool connected = false;
        bool joined = false; // host: said hello and was welcomed
        DPID player = 0;     // host: the player it owns
        bool quiet = false;  // its players were reported silent
    };

    // LanRules.cpp: links, the local queue, players.
    LinkId OpenLink(const Endpoint& to, Time now);
    void CloseLink(LinkId link);
    void Do(Action action) { Out.push_back(std::move(action)); }
    void SendTo(LinkId link, const lanwire::Bytes& bytes, bool reliable);
    void Queue(DPID from, QByteArray data);
    void QueueSystem(std::uint32_t type, const Player& player);
    Player* Find(DPID id);
    const Player* Find(DPID id) const;
    DPID NewId();
    GUID NewGuid();

    // LanRulesTimers.cpp: the timers, silence and departure.
    std::optional<Time> HandshakeDue(const Link& link) const;
    Time DepartureDue(const Link& link) const;
    void Expire(Timer timer, Time now);
    void ReportSilence(Time now);
    void DropSystem(const Endpoint& system, Time now);

    // LanRulesHost.cpp: the host's role.
    void HostLost(const Link& link);
    void HostReceive(LinkId link, const lanwire::SessionMessage& message, Time now);
    void Admit(LinkId link, const lanwire::SessionMessage& message, Time now);
    void Relay(DPID from, DPID to, bool guaranteed, lanwire::ByteView payload);
    void Broadcast(const lanwire::Bytes& bytes, LinkId except);
    void RemovePlayer(DPID id, bool announce);
    void AnswerSearch(const Endpoint& from, const lanwire::Search& search, Time now);
    bool HasRoom() const;
    lanwire::Welcome MakeWelcome() const;
    lanwire::PlayerEntry Entry(const Player& p) const;

    // LanRulesGuest.cpp: joining, the guest's role, migration and rejoining.
    void GuestConnected(LinkId link);
    void GuestLost(Time now);
    void GuestReceive(const lanwire::SessionMessage& message, Time now);
    void AdoptPlayers(const std::vector<lanwire::PlayerEntry>& entries, bool announce,
                      bool replace);
    void OldHostLeft(Time now);
    void BecomeHost(Time now);
    void ConnectNewHost(Time now);
    void SessionLost();
    void FinishJoin(HRESULT result);

    // LanRulesMerge.cpp: waiting hosts that find and join each other.
    bool Waiting() const;
    void NoteWaiting(Time now);
    void SendProbe(Time now);
    void TakeAnswer(const Endpoint& from, lanwire::ByteView bytes, Time now);
    void StartMerge(const FoundSession& target, Time now);
    void MergeReceive(const lanwire::SessionMessage& message, Time now);
    void EndMerge(Time now);

    const std::shared_ptr<Pairing> Preference;
    std::mt19937 Random;
    const std::uint32_t ProbeNonce;
    const std::uint16_t OwnPort;

    Role SessionRole = Role::Joining;
    GUID Instance{};
    GUID Application{};
    Endpoint JoinAddress;
    std::uint32_t Flags = 0;
    std::uint32_t MaxPlayers = 0;
    std::string Name;
    std::vector<Player> Players;
    DPID LocalId = 0;
    // The local player's ids before this program joined another waiting
    // host: sends from them are still this program's own.
    std::vector<DPID> FormerLocalIds;

    std::deque<Message> Messages;
    std::size_t QueuedBytes = 0;
    bool Signal = false;
    std::vector<Action> Out;

    std::optional<HRESULT> JoinResult;
    bool CreatePending = false;
    std::string PendingShort;
    std::string PendingLong;
    std::vector<lanwire::Bytes> HeldSends;

    std::map<LinkId, Link> Links;
    LinkId NextLink = 1;
    LinkId HostLink = 0;
    bool HostQuiet = false; // guest: the host's players were reported silent
    bool AnsweringSearches = false;
    bool ShuttingDown = false;
    Time ShutdownDeadline;
    Time RejoinDeadline;
    Endpoint RejoinAddress;
    std::optional<Time> RejoinRetryAt; // with no host link while rejoining
    std::vector<std::pair<Endpoint, Time>> GoneTold;

    // The waiting host's search for another waiting host, also after this
    // program became the host of a session it joined.
    bool WasWaiting = false;
    int ProbesSent = 0;
    Time NextProbe;
    LinkId MergeLink = 0;
    GUID MergeInstance{};
    bool MergeWelcomed = false;
    lanwire::Welcome MergeWelcome;
    Time MergeDeadline;
};

// GUIDs on the wire: Data1..Data3 little-endian, then Data4.
lanwire::WireGuid ToWire(const GUID& g);
GUID FromWire(const lanwire::WireGuid& w);

} // namespace lan
