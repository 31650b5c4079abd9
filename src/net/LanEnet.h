// ENet for the session's I/O: the library loaded on first use, and what is done to its peers.
#pragma once

#include "net/LanRules.h"
#include "platform/SharedLibrary.h"

#include <arpa/inet.h>
#include <enet/enet.h>

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

namespace lan {

VELTROY_FUNCTION_TABLE(EnetApi, VELTROY_ENET_FUNCTIONS, enet_)

// The ENet functions, ENet initialised, or null when the library or one of
// them is missing. Loaded once and never unloaded. A host exists only once
// this has succeeded, so everything that works on a host or its peers finds it.
const EnetApi* Enet();

// Pings and time-outs of a new connection.
void ConfigurePeer(ENetPeer* peer);
void SendPacket(ENetPeer* peer, const lanwire::Bytes& bytes, bool reliable);
// The longest wait before a reliable packet to this peer is sent again.
enet_uint32 ResendCap(const ENetPeer& peer);
// Keeps every reliable packet in flight resent at most ResendCap apart.
void CapResendTimes(ENetHost* host);

inline Endpoint EndpointOf(const ENetAddress& address) {
    return {ntohl(address.host), address.port};
}

// The link a peer carries, kept in ENet's user data; 0 for none.
inline LinkId LinkOf(const ENetPeer* peer) {
    return static_cast<LinkId>(reinterpret_cast<std::uintptr_t>(peer->data));
}

inline void SetLink(ENetPeer* peer, LinkId link) {
    peer->data = reinterpret_cast<void*>(static_cast<std::uintptr_t>(link));
}

} // namespace lan
