// The session rules' core: opening, closing, the local side's commands and queue, links.
#include "net/LanRules.h"

#include <algorithm>
#include <cstring>

namespace lan {

using lanwire::Bytes;
using lanwire::ByteView;

namespace {
DPNAME ToDpName(const std::string& shortName, const std::string& longName) {
    return DPNAME{QString::fromStdString(shortName), QString::fromStdString(longName)};
}
} // namespace

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

SessionRules::SessionRules(const Opening& opening, std::shared_ptr<Pairing> preference)
    : Preference(std::move(preference)), Random(opening.seed), ProbeNonce(Random()),
      OwnPort(opening.ownPort), Instance(opening.instance), Application(opening.application),
      JoinAddress(opening.host), Flags(opening.flags), MaxPlayers(opening.maxPlayers),
      Name(opening.name) {}

void SessionRules::Host(Time now) {
    Instance = NewGuid();
    SessionRole = Role::Host;
    AnsweringSearches = true;
    Do(act::ListenForSearches{true});
    NoteWaiting(now);
}

void SessionRules::Join(Time now) {
    SessionRole = Role::Joining;
    HostLink = OpenLink(JoinAddress, now);
}

void SessionRules::Stop(Time now) {
    if (ShuttingDown)
        return;
    ShuttingDown = true;
    ShutdownDeadline = now + kShutdownLinger;
    for (const auto& [link, state] : Links)
        Do(act::Disconnect{link});
}

bool SessionRules::Finished(Time now) const {
    return ShuttingDown && (Links.empty() || now >= ShutdownDeadline);
}

// ---- the local side ----

HRESULT SessionRules::CreatePlayer(const DPNAME& name, Time now, DPID* id, bool* pending) {
    *pending = false;
    if (SessionRole == Role::Lost)
        return DPERR_CONNECTIONLOST;
    if (LocalId != 0 || CreatePending || (SessionRole != Role::Host && SessionRole != Role::Guest))
        return DPERR_CANTCREATEPLAYER;
    const std::string shortName = lanwire::FitName(name.ShortName.toStdString());
    const std::string longName = lanwire::FitName(name.LongName.toStdString());
    if (SessionRole == Role::Host) {
        Player p;
        p.id = NewId();
        p.shortName = shortName;
        p.longName = longName;
        p.local = true;
        p.hostOwned = true;
        Players.push_back(p);
        LocalId = p.id;
        *id = p.id;
        Broadcast(lanwire::Encode(lanwire::PlayerAdded{Entry(p)}), 0);
        NoteWaiting(now);
        return DP_OK;
    }
    CreatePending = true;
    PendingShort = shortName;
    PendingLong = longName;
    if (HostLink)
        SendTo(HostLink, lanwire::Encode(lanwire::CreatePlayer{PendingShort, PendingLong}), true);
    *pending = true;
    return DP_OK;
}

bool SessionRules::CreateAnswered() const {
    return LocalId != 0 || !CreatePending;
}

HRESULT SessionRules::FinishCreate(DPID* id) {
    CreatePending = false;
    if (LocalId == 0)
        return SessionRole == Role::Lost ? DPERR_CONNECTIONLOST : DPERR_CANTCREATEPLAYER;
    *id = LocalId;
    return DP_OK;
}

HRESULT SessionRules::Send(DPID from, DPID to, std::uint32_t flags, ByteView payload, Time) {
    if (payload.size() > lanwire::kMaxPayload)
        return DPERR_SENDTOOBIG;
    if (SessionRole == Role::Lost)
        return DPERR_CONNECTIONLOST;
    if (LocalId != 0 &&
        std::find(FormerLocalIds.begin(), FormerLocalIds.end(), from) != FormerLocalIds.end())
        from = LocalId;
    if (LocalId == 0 || from != LocalId)
        return DPERR_INVALIDPLAYER;
    if (to != DPID_ALLPLAYERS && !Find(to))
        return DPERR_INVALIDPLAYER;
    const bool guaranteed = (flags & DPSEND_GUARANTEED) != 0;
    if (to == LocalId) {
        Queue(from, QByteArray(reinterpret_cast<const char*>(payload.data()),
                               static_cast<qsizetype>(payload.size())));
        return DP_OK;
    }
    const lanwire::Send message{to, guaranteed ? lanwire::kSendGuaranteed : 0u, payload};
    if (SessionRole == Role::Host)
        Relay(from, to, guaranteed, payload);
    else if (SessionRole == Role::Guest && HostLink)
        SendTo(HostLink, lanwire::Encode(message), guaranteed);
    else if (SessionRole == Role::Rejoining && guaranteed)
        HeldSends.push_back(lanwire::Encode(message)); // until the new host took this player back
    return DP_OK;
}

HRESULT SessionRules::Receive(DPID* from, DPID* to, void* data, std::uint32_t* size) {
    if (!size)
        return DPERR_INVALIDPARAMS;
    if (Messages.empty())
        return DPERR_NOMESSAGES;
    Message& m = Messages.front();
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
    Messages.pop_front();
    return DP_OK;
}

std::vector<std::pair<DPID, DPNAME>> SessionRules::PlayerList() const {
    std::vector<std::pair<DPID, DPNAME>> list;
    for (const Player& p : Players)
        list.emplace_back(p.id, ToDpName(p.shortName, p.longName));
    return list;
}

DPSESSIONDESC2 SessionRules::Desc() const {
    DPSESSIONDESC2 d;
    d.dwFlags = Flags;
    d.guidInstance = Instance;
    d.guidApplication = Application;
    d.dwMaxPlayers = MaxPlayers;
    d.dwCurrentPlayers = static_cast<std::uint32_t>(Players.size());
    return d;
}

void SessionRules::Queue(DPID from, QByteArray data) {
    if (LocalId == 0)
        return;
    // A reader that stopped reading cannot make the queue grow without bound;
    // notices about players are always kept.
    if (from != DPID_SYSMSG &&
        QueuedBytes + static_cast<std::size_t>(data.size()) > kMaxQueuedBytes)
        return;
    QueuedBytes += static_cast<std::size_t>(data.size());
    Messages.push_back({from, LocalId, std::move(data)});
    Signal = true;
}

void SessionRules::QueueSystem(std::uint32_t type, const Player& player) {
    Queue(DPID_SYSMSG,
          MakeSystemMessage(type, player.id, ToDpName(player.shortName, player.longName)));
}

std::vector<Action> SessionRules::TakeActions(bool* signal) {
    if (signal)
        *signal = std::exchange(Signal, false);
    return std::exchange(Out, {});
}

// ---- links ----

LinkId SessionRules::OpenLink(const Endpoint& to, Time now) {
    const LinkId link = NextLink++;
    Links[link] = Link{to, now, now};
    Do(act::Connect{link, to});
    return link;
}

void SessionRules::CloseLink(LinkId link) {
    if (Links.erase(link))
        Do(act::Close{link});
}

void SessionRules::SendTo(LinkId link, const Bytes& bytes, bool reliable) {
    Do(act::Send{link, bytes, reliable});
}

void SessionRules::Connected(LinkId link, Time now) {
    const auto it = Links.find(link);
    if (it == Links.end())
        return;
    it->second.connected = true;
    it->second.heard = now;
    if (ShuttingDown)
        CloseLink(link);
    else if (link == MergeLink)
        SendTo(link, lanwire::Encode(lanwire::Hello{ToWire(MergeInstance), ToWire(Application)}),
               true);
    else if (link == HostLink)
        GuestConnected(link);
    NoteWaiting(now);
}

LinkId SessionRules::Accepted(const Endpoint& from, Time now) {
    const LinkId link = NextLink++;
    Link state{from, now, now};
    state.incoming = true;
    state.connected = true;
    Links[link] = state;
    // Nobody connects to a guest, nor to a program that is closing.
    if (ShuttingDown || SessionRole != Role::Host)
        CloseLink(link);
    NoteWaiting(now);
    return link;
}

void SessionRules::Lost(LinkId link, Time now) {
    const auto it = Links.find(link);
    if (it == Links.end())
        return;
    const Link state = it->second;
    Links.erase(it);
    if (link == MergeLink) {
        MergeLink = 0;
        EndMerge(now);
    } else if (SessionRole == Role::Host) {
        HostLost(state);
    } else if (link == HostLink) {
        HostLink = 0;
        GuestLost(now);
    }
    NoteWaiting(now);
}

void SessionRules::Received(LinkId link, ByteView bytes, Time now) {
    const auto it = Links.find(link);
    if (it == Links.end() || ShuttingDown)
        return;
    // A message is as good a sign of life as an acknowledgement, and comes
    // first after an outage when this side's resends still wait for an
    // address resolution to finish.
    Heard(link, now, now);
    const auto message = lanwire::ParseSession(bytes);
    if (link == MergeLink) {
        if (message)
            MergeReceive(*message, now);
    } else if (SessionRole == Role::Host) {
        if (message)
            HostReceive(link, *message, now);
        else if (!it->second.joined)
            CloseLink(link); // a system that has not joined yet gets no second chance
    } else if (link == HostLink && message) {
        GuestReceive(*message, now);
    }
    NoteWaiting(now);
}

// ---- players ----

SessionRules::Player* SessionRules::Find(DPID id) {
    const auto it =
        std::find_if(Players.begin(), Players.end(), [id](const Player& p) { return p.id == id; });
    return it == Players.end() ? nullptr : &*it;
}

const SessionRules::Player* SessionRules::Find(DPID id) const {
    return const_cast<SessionRules*>(this)->Find(id);
}

DPID SessionRules::NewId() {
    for (;;) {
        const DPID id = Random();
        if (id != lanwire::kNoPlayer && id != lanwire::kBadPlayer && !Find(id))
            return id;
    }
}

GUID SessionRules::NewGuid() {
    lanwire::WireGuid w{};
    for (auto& b : w)
        b = static_cast<std::uint8_t>(Random());
    GUID g = FromWire(w);
    g.Data3 = static_cast<std::uint16_t>((g.Data3 & 0x0FFF) | 0x4000);
    g.Data4[0] = static_cast<std::uint8_t>((g.Data4[0] & 0x3F) | 0x80);
    return g;
}

} // namespace lan
