// The LAN transport: sessions over ENet, found by UDP broadcast, behind IDirectPlay.
#pragma once

#include "net/DirectPlay.h"
#include "net/LanPairing.h"

#include <chrono>
#include <memory>

// Connection data of the transport's one connection. With an address
// ("host" or "host:port") the search goes there and shows no dialog; a
// broadcast address (for example 127.255.255.255) searches that network.
QByteArray LanConnectionData(const QString& address = {});

// The transport object. Operations are called from one thread (the GUI
// thread); a session's ENet host and its discovery answers are served by the
// session's own network thread, which touches no widget.
class LanTransport : public IDirectPlay {
public:
    // How long a reserved program keeps waiting for a preferred one after it
    // first saw another program.
    static constexpr std::chrono::milliseconds kReservationLapse = lan::Pairing::kDefaultLapse;

    LanTransport();
    ~LanTransport() override;

    HRESULT EnumConnections(const GUID& application, const EnumConnectionsCallback& callback,
                            std::uint32_t flags) override;
    HRESULT InitializeConnection(const QByteArray& connection, std::uint32_t flags) override;
    HRESULT EnumSessions(const DPSESSIONDESC2& desc, std::uint32_t timeout,
                         const EnumSessionsCallback& callback, std::uint32_t flags) override;
    // The dialog's address. A typed address, "host" or "host:port", is asked
    // directly; one that is no address fails the search with
    // DPERR_INVALIDHOSTADDRESS, a name that does not resolve with DPERR_HOSTNOTFOUND.
    void SetSessionAddress(const QString& address) override;
    QString SessionAddress() const override;
    // Kept by this object for every session it opens. A reserved program (one
    // with preferred tags) sees only those programs until kReservationLapse
    // after it first saw another one since this call; an old program without
    // tags counts as another one.
    void SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred) override;
    HRESULT Open(const DPSESSIONDESC2& desc, const QString& sessionName,
                 std::uint32_t flags) override;
    HRESULT EnumPlayers(const EnumPlayersCallback& callback, std::uint32_t flags) override;
    HRESULT CreatePlayer(DPID* id, const DPNAME& name,
                         std::shared_ptr<AutoResetEvent> event) override;
    HRESULT Receive(DPID* from, DPID* to, std::uint32_t flags, void* data,
                    std::uint32_t* size) override;
    HRESULT Send(DPID from, DPID to, std::uint32_t flags, const void* data,
                 std::uint32_t size) override;
    HRESULT Close() override;

    // For tests and the probe: whether this object hosts its open session, the
    // session's ENet port (0 with none), and its description.
    bool IsHost() const;
    std::uint16_t SessionPort() const override;
    DPSESSIONDESC2 SessionDesc() const;

    // Test tool: drops this percentage of the datagrams that every session
    // opened afterwards receives, as a lossy network would.
    static void SetReceiveLossPercent(int percent);
    // Test tool: how long a reservation lasts once another program was seen;
    // zero restores kReservationLapse.
    static void SetReservationLapse(std::chrono::milliseconds lapse);

    class Session;

private:
    bool Initialized = false;
    bool AddressGiven = false;                // false: ask with the dialog
    QString Address;                          // empty: search the local network
    QString DialogAddress;                    // shown in the dialog; then the one typed
    std::shared_ptr<lan::Pairing> Preference; // shared with the session's network thread
    std::unique_ptr<Session> Current;
};
