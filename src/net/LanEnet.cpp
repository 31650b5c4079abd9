// ENet for the session's I/O: loading the library, configuring peers, sending, capping resends.
#include "net/LanEnet.h"

#include <algorithm>
#include <cstdlib>

namespace lan {

namespace {

// ENet is loaded when the first session host is made, not at program start:
// the first window needs none of it.
constexpr const char* kEnetLibrary = "libenet.so.7";
// A quiet connection is pinged this often: a program that has ended is then
// noticed within it (its machine answers "port unreachable"), silence is
// measured from the answers, and a game in progress wakes a few times a
// second at most.
constexpr std::uint32_t kPingIntervalMs = 750;
// The rules give a silent connection up; ENet's own time-out is only a backstop.
constexpr std::uint32_t kEnetTimeoutMs = 30000;
// ENet doubles a reliable packet's resend time on every loss, starting from a
// 500 ms guess before it has measured the round trip: on a lossy LAN a few
// losses in a row would stall a join or a move for seconds. Round trips on a
// LAN are milliseconds, so resends are kept at most this far apart; once a
// connection's round trip is measured and longer (across the internet), at
// most that round trip and its variation apart, plus a margin for the time
// the other side takes to answer, so that nothing is sent again before its
// acknowledgement could arrive.
constexpr enet_uint32 kMaxResendMs = 100;
constexpr enet_uint32 kAnswerMarginMs = 25;
constexpr std::uint8_t kReliableChannel = 0;
constexpr std::uint8_t kUnreliableChannel = 1;

} // namespace

const EnetApi* Enet() {
    static const EnetApi* api = [] {
        const EnetApi* loaded = platform::LoadFunctions<EnetApi>(kEnetLibrary, "No network play");
        if (loaded && loaded->initialize() == 0)
            std::atexit(loaded->deinitialize);
        return loaded;
    }();
    return api;
}

void ConfigurePeer(ENetPeer* peer) {
    Enet()->peer_timeout(peer, 0, kEnetTimeoutMs, kEnetTimeoutMs);
    Enet()->peer_ping_interval(peer, kPingIntervalMs);
}

void SendPacket(ENetPeer* peer, const lanwire::Bytes& bytes, bool reliable) {
    ENetPacket* packet =
        Enet()->packet_create(bytes.data(), bytes.size(), reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (!packet)
        return;
    if (Enet()->peer_send(peer, reliable ? kReliableChannel : kUnreliableChannel, packet) < 0)
        Enet()->packet_destroy(packet);
}

enet_uint32 ResendCap(const ENetPeer& peer) {
    // ENet has measured the round trip once an acknowledgement came.
    if (peer.lastReceiveTime == 0)
        return kMaxResendMs;
    return std::max(kMaxResendMs,
                    peer.roundTripTime +
                        std::max<enet_uint32>(4 * peer.roundTripTimeVariance, kAnswerMarginMs));
}

// Only the rules' silence bound then ends a connection that goes unanswered.
void CapResendTimes(ENetHost* host) {
    for (std::size_t i = 0; i < host->peerCount; ++i) {
        ENetPeer& peer = host->peers[i];
        if (enet_list_empty(&peer.sentReliableCommands))
            continue;
        const enet_uint32 cap = ResendCap(peer);
        for (ENetListIterator it = enet_list_begin(&peer.sentReliableCommands);
             it != enet_list_end(&peer.sentReliableCommands); it = enet_list_next(it)) {
            auto* command = reinterpret_cast<ENetOutgoingCommand*>(it);
            if (command->roundTripTimeout > cap)
                command->roundTripTimeout = cap;
            command->roundTripTimeoutLimit = 0xFFFFFFFFu;
            const enet_uint32 due = command->sentTime + command->roundTripTimeout;
            if (static_cast<std::int32_t>(due - peer.nextTimeout) < 0)
                peer.nextTimeout = due;
        }
    }
}

} // namespace lan
