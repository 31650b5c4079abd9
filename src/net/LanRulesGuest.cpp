// The guest's role: joining, the host's player list, and migrating or rejoining when it leaves.
#include "net/LanRules.h"

#include <algorithm>

namespace lan {

using lanwire::Bytes;

void SessionRules::GuestConnected(LinkId link) {
    if (SessionRole == Role::Joining)
        SendTo(link, lanwire::Encode(lanwire::Hello{ToWire(Instance), ToWire(Application)}), true);
    else if (SessionRole == Role::Rejoining)
        SendTo(link,
               lanwire::Encode(lanwire::Rejoin{ToWire(Instance), ToWire(Application), LocalId}),
               true);
}

void SessionRules::GuestLost(Time now) {
    switch (SessionRole) {
    case Role::Joining:
        FinishJoin(DPERR_CONNECTIONLOST);
        break;
    case Role::Guest:
        if (!ShuttingDown)
            OldHostLeft(now);
        break;
    case Role::Rejoining:
        if (now < RejoinDeadline && !ShuttingDown)
            RejoinRetryAt = now + kRejoinRetry;
        else
            SessionLost();
        break;
    default:
        break;
    }
}

void SessionRules::GuestReceive(const lanwire::SessionMessage& message, Time) {
    if (SessionRole == Role::Joining || SessionRole == Role::Rejoining) {
        const bool rejoining = SessionRole == Role::Rejoining;
        if (const auto* welcome = std::get_if<lanwire::Welcome>(&message)) {
            if (welcome->instance != ToWire(Instance) ||
                welcome->application != ToWire(Application)) {
                if (rejoining)
                    SessionLost();
                else
                    FinishJoin(DPERR_NOSESSIONS);
                return;
            }
            if (!rejoining) {
                Name = welcome->name;
                Flags = welcome->flags;
                MaxPlayers = welcome->maxPlayers;
            }
            AdoptPlayers(welcome->players, rejoining, rejoining);
            SessionRole = Role::Guest;
            for (const Bytes& held : HeldSends)
                SendTo(HostLink, held, true);
            HeldSends.clear();
            if (!rejoining)
                FinishJoin(DP_OK);
        } else if (const auto* refuse = std::get_if<lanwire::Refuse>(&message)) {
            if (rejoining)
                SessionLost();
            else
                FinishJoin(refuse->reason == lanwire::RefuseReason::Full ? DPERR_UNAVAILABLE
                                                                         : DPERR_NOSESSIONS);
        }
        return;
    }
    if (SessionRole != Role::Guest)
        return;
    if (const auto* added = std::get_if<lanwire::PlayerAdded>(&message)) {
        if (!Find(added->player.id))
            AdoptPlayers({added->player}, true, false);
    } else if (const auto* mine = std::get_if<lanwire::YourPlayer>(&message)) {
        if (!CreatePending || LocalId != 0 || Find(mine->id))
            return;
        Player p;
        p.id = mine->id;
        p.shortName = PendingShort;
        p.longName = PendingLong;
        p.local = true;
        Players.push_back(p);
        LocalId = p.id;
    } else if (const auto* removed = std::get_if<lanwire::PlayerRemoved>(&message)) {
        if (removed->id == LocalId)
            SessionLost();
        else
            RemovePlayer(removed->id, false);
    } else if (const auto* deliver = std::get_if<lanwire::Deliver>(&message)) {
        if (LocalId == 0 || (deliver->to != DPID_ALLPLAYERS && deliver->to != LocalId) ||
            deliver->from == LocalId || !Find(deliver->from))
            return;
        Queue(deliver->from, QByteArray(reinterpret_cast<const char*>(deliver->payload.data()),
                                        static_cast<qsizetype>(deliver->payload.size())));
    }
}

// Takes the host's view of the players: new ones are added (and announced
// when asked); with replace, ones the host does not list are removed.
void SessionRules::AdoptPlayers(const std::vector<lanwire::PlayerEntry>& entries, bool announce,
                                bool replace) {
    if (replace) {
        std::vector<DPID> gone;
        for (const Player& p : Players) {
            const bool listed = std::any_of(entries.begin(), entries.end(),
                                            [&](const auto& e) { return e.id == p.id; });
            if (!listed && !p.local)
                gone.push_back(p.id);
        }
        for (DPID id : gone)
            RemovePlayer(id, false);
    }
    for (const lanwire::PlayerEntry& e : entries) {
        if (Player* known = Find(e.id)) {
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
            QueueSystem(DPSYS_CREATEPLAYERORGROUP, p);
    }
}

// The host's players leave with it. In a session that migrates, the player
// with the lowest id hosts next and everyone else rejoins it.
void SessionRules::OldHostLeft(Time now) {
    std::vector<DPID> hostPlayers;
    for (const Player& p : Players) {
        if (p.hostOwned && !p.local)
            hostPlayers.push_back(p.id);
    }
    for (DPID id : hostPlayers)
        RemovePlayer(id, false);
    if (!(Flags & DPSESSION_MIGRATEHOST) || LocalId == 0) {
        SessionLost();
        return;
    }
    const auto lowest =
        std::min_element(Players.begin(), Players.end(),
                         [](const Player& a, const Player& b) { return a.id < b.id; });
    if (lowest->local) {
        BecomeHost(now);
        return;
    }
    if (lowest->address.ipv4 == 0) {
        SessionLost();
        return;
    }
    RejoinAddress = lowest->address;
    SessionRole = Role::Rejoining;
    RejoinDeadline = now + kRejoinLimit;
    ConnectNewHost(now);
}

void SessionRules::ConnectNewHost(Time now) {
    HostLink = OpenLink(RejoinAddress, now);
}

void SessionRules::BecomeHost(Time now) {
    SessionRole = Role::Host;
    HostQuiet = false;
    // Alone, this is a new waiting session: the old host, if it is still
    // there after an outage, must see it as another one to pair with.
    if (Players.size() == 1)
        Instance = NewGuid();
    if (!AnsweringSearches) {
        AnsweringSearches = true;
        Do(act::ListenForSearches{true});
    }
    for (Player& p : Players) {
        p.hostOwned = p.local;
        p.link = 0;
        p.awaitingRejoin = !p.local;
        p.deadline = now + kRejoinLimit;
    }
}

void SessionRules::SessionLost() {
    std::vector<DPID> others;
    for (const Player& p : Players) {
        if (!p.local)
            others.push_back(p.id);
    }
    for (DPID id : others)
        RemovePlayer(id, false);
    if (HostLink) {
        CloseLink(HostLink);
        HostLink = 0;
    }
    if (SessionRole != Role::Lost) {
        SessionRole = Role::Lost;
        Queue(DPID_SYSMSG, MakeSystemMessage(DPSYS_SESSIONLOST, 0, DPNAME{}));
    }
    CreatePending = false;
    HeldSends.clear();
}

void SessionRules::FinishJoin(HRESULT result) {
    if (!JoinResult)
        JoinResult = result;
}

} // namespace lan
