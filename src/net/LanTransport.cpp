// The LAN transport object: the connection, searching for sessions, and opening one.
#include "net/LanTransport.h"

#include "net/LanDiscovery.h"
#include "net/LanLookup.h"
#include "net/LanPairing.h"
#include "net/LanRules.h"
#include "net/LanSession.h"
#include "net/LanSessionDialog.h"
#include "net/LanWire.h"

#include <QApplication>
#include <QThread>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

const QByteArray kConnectionTag = QByteArrayLiteral("LANTCP");
// A search sends its request every kSearchResend until an answer comes or the
// window ends: on a lossy network a request or its answer is often lost.
constexpr auto kDefaultSearchWindow = 750ms;
constexpr auto kSearchResend = 50ms;
constexpr auto kSearchSettle = 100ms;

// A typed address ("host" or "host:port") as the IPv4 address and port to ask.
// A name that is not found within the lookup's bound counts as not found.
HRESULT ResolveTypedAddress(const QString& address, std::uint32_t* ipv4, std::uint16_t* port) {
    std::string host;
    if (!lan::ParseHostAddress(address.toStdString(), &host, port))
        return DPERR_INVALIDHOSTADDRESS;
    return lan::ResolveIpv4Bounded(host, ipv4) ? DP_OK : DPERR_HOSTNOTFOUND;
}

} // namespace

QByteArray LanConnectionData(const QString& address) {
    return kConnectionTag + ':' + address.trimmed().toUtf8();
}

// ---- the transport object ----

LanTransport::LanTransport() : Preference(std::make_shared<lan::Pairing>()) {}

void LanTransport::SetReservationLapse(std::chrono::milliseconds lapse) {
    lan::Pairing::SetLapse(lapse);
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

void LanTransport::SetSessionAddress(const QString& address) {
    DialogAddress = address.trimmed();
}

QString LanTransport::SessionAddress() const {
    return DialogAddress;
}

void LanTransport::SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred) {
    std::vector<lanwire::Tag> tags;
    for (const GUID& g : preferred)
        tags.push_back(lan::ToWire(g));
    Preference->Set(lan::ToWire(own), tags);
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
    search.application = lan::ToWire(desc.guidApplication);
    search.flags = (flags & DPENUMSESSIONS_AVAILABLE) ? lanwire::kSearchAvailableOnly : 0u;
    search.tag = Preference->Own();
    search.window = window;
    search.resend = kSearchResend;
    search.settle = settle;
    search.port = port;
    search.wanted = [this](const lan::FoundSession& s) {
        return Preference->Admits(s.info.tag, std::chrono::steady_clock::now());
    };
    auto found = search.targets.empty() ? std::vector<lan::FoundSession>{} : lan::Search(search);
    // The preferred hosts' sessions first; while reserved, no other ones.
    std::stable_partition(found.begin(), found.end(), [this](const lan::FoundSession& s) {
        return Preference->Prefers(s.info.tag);
    });
    for (const lan::FoundSession& s : found) {
        if (!Preference->Admits(s.info.tag, std::chrono::steady_clock::now()))
            continue;
        DPSESSIONDESC2 d;
        d.dwFlags = s.info.flags;
        d.guidInstance = lan::FromWire(s.info.instance);
        d.guidApplication = lan::FromWire(s.info.application);
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
