// The host's role: answering searches, admitting systems, making their players, relaying.
#include "net/LanRules.h"

#include <algorithm>

namespace lan {

using lanwire::Bytes;
using lanwire::ByteView;

void SessionRules::SearchDatagram(const Endpoint& from, ByteView bytes, Time now) {
    const auto message = lanwire::ParseDiscovery(bytes);
    const auto* search = message ? std::get_if<lanwire::Search>(&*message) : nullptr;
    // A plain twin of a tagged Search is answered through the tagged one;
    // this host's own search is not answered.
    if (!search || from.port == 0 ||
        (!search->tag && (search->flags & lanwire::kSearchHasTaggedTwin)) ||
        search->nonce == ProbeNonce)
        return;
    AnswerSearch(from, *search, now);
}

void SessionRules::AnswerSearch(const Endpoint& from, const lanwire::Search& search, Time now) {
    if (SessionRole != Role::Host || ShuttingDown || !AnsweringSearches ||
        search.application != ToWire(Application))
        return;
    if ((search.flags & lanwire::kSearchAvailableOnly) && !HasRoom())
        return;
    if (!Preference->Admits(search.tag, now))
        return;
    lanwire::SessionInfo info;
    info.nonce = search.nonce;
    info.instance = ToWire(Instance);
    info.application = ToWire(Application);
    info.flags = Flags;
    info.maxPlayers = MaxPlayers;
    info.currentPlayers = static_cast<std::uint32_t>(Players.size());
    info.port = OwnPort;
    info.name = Name;
    // Only a tagged Search's sender reads the longer answer.
    if (search.tag)
        info.tag = Preference->Own();
    Do(act::Answer{from, lanwire::Encode(info)});
}

void SessionRules::HostLost(const Link& link) {
    if (link.player != 0)
        RemovePlayer(link.player, true);
}

void SessionRules::HostReceive(LinkId link, const lanwire::SessionMessage& message, Time now) {
    Link& state = Links.at(link);
    if (!state.joined) {
        Admit(link, message, now);
        return;
    }
    if (const auto* create = std::get_if<lanwire::CreatePlayer>(&message)) {
        if (state.player != 0)
            return;
        Player p;
        p.id = NewId();
        p.shortName = create->shortName;
        p.longName = create->longName;
        p.link = link;
        p.address = state.address;
        Players.push_back(p);
        state.player = p.id;
        SendTo(link, lanwire::Encode(lanwire::YourPlayer{p.id}), true);
        Broadcast(lanwire::Encode(lanwire::PlayerAdded{Entry(p)}), link);
        QueueSystem(DPSYS_CREATEPLAYERORGROUP, p);
    } else if (const auto* send = std::get_if<lanwire::Send>(&message)) {
        // The sender is the player this link owns, whatever the packet says.
        if (state.player != 0)
            Relay(state.player, send->to, (send->flags & lanwire::kSendGuaranteed) != 0,
                  send->payload);
    }
}

// The first message of a system that connected: a Hello to join, or a Rejoin
// to come back to this new host. Anything else closes the connection.
void SessionRules::Admit(LinkId link, const lanwire::SessionMessage& message, Time now) {
    Link& state = Links.at(link);
    auto refuse = [&](lanwire::RefuseReason reason) {
        SendTo(link, lanwire::Encode(lanwire::Refuse{reason}), true);
        Do(act::CloseAfterSends{link});
    };
    if (const auto* hello = std::get_if<lanwire::Hello>(&message)) {
        // Two waiting hosts that found each other at once both try to join:
        // the one with the lower session instance stays the host.
        const bool joiningOther = MergeLink && !(ToWire(Instance) < ToWire(MergeInstance));
        if (hello->instance != ToWire(Instance) || hello->application != ToWire(Application)) {
            refuse(lanwire::RefuseReason::NoSuchSession);
        } else if (joiningOther || !HasRoom()) {
            refuse(lanwire::RefuseReason::Full);
        } else {
            if (MergeLink)
                EndMerge(now);
            state.joined = true;
            SendTo(link, lanwire::Encode(MakeWelcome()), true);
        }
    } else if (const auto* rejoin = std::get_if<lanwire::Rejoin>(&message)) {
        Player* p = Find(rejoin->id);
        if (!p || !p->awaitingRejoin || rejoin->instance != ToWire(Instance) ||
            rejoin->application != ToWire(Application)) {
            refuse(lanwire::RefuseReason::NoSuchSession);
            return;
        }
        p->awaitingRejoin = false;
        p->link = link;
        p->address = state.address;
        state.joined = true;
        state.player = p->id;
        SendTo(link, lanwire::Encode(MakeWelcome()), true);
        for (const Bytes& held : p->held)
            SendTo(link, held, true);
        p->held.clear();
    } else {
        CloseLink(link);
    }
}

void SessionRules::Relay(DPID from, DPID to, bool guaranteed, ByteView payload) {
    Bytes packet;
    auto encoded = [&]() -> const Bytes& {
        if (packet.empty())
            packet = lanwire::Encode(lanwire::Deliver{from, to, payload});
        return packet;
    };
    for (Player& p : Players) {
        if (p.id == from || (to != DPID_ALLPLAYERS && p.id != to))
            continue;
        if (p.local)
            Queue(from, QByteArray(reinterpret_cast<const char*>(payload.data()),
                                   static_cast<qsizetype>(payload.size())));
        else if (p.awaitingRejoin && guaranteed)
            p.held.push_back(encoded());
        else if (p.link && !p.awaitingRejoin)
            SendTo(p.link, encoded(), guaranteed);
    }
}

void SessionRules::Broadcast(const Bytes& bytes, LinkId except) {
    for (const auto& [id, link] : Links) {
        if (link.joined && id != except)
            SendTo(id, bytes, true);
    }
}

void SessionRules::RemovePlayer(DPID id, bool announce) {
    const auto it =
        std::find_if(Players.begin(), Players.end(), [id](const Player& p) { return p.id == id; });
    if (it == Players.end() || it->local)
        return;
    const Player gone = *it;
    Players.erase(it);
    QueueSystem(DPSYS_DESTROYPLAYERORGROUP, gone);
    if (announce)
        Broadcast(lanwire::Encode(lanwire::PlayerRemoved{id}), gone.link);
}

bool SessionRules::HasRoom() const {
    std::uint32_t systems = 1;
    for (const auto& [id, link] : Links)
        systems += link.joined ? 1 : 0;
    for (const Player& p : Players)
        systems += p.awaitingRejoin ? 1 : 0;
    return systems < SystemLimit(MaxPlayers);
}

lanwire::PlayerEntry SessionRules::Entry(const Player& p) const {
    lanwire::PlayerEntry e;
    e.id = p.id;
    e.shortName = p.shortName;
    e.longName = p.longName;
    e.ipv4 = p.address.ipv4;
    e.port = p.address.port;
    e.hostOwned = p.local;
    return e;
}

lanwire::Welcome SessionRules::MakeWelcome() const {
    lanwire::Welcome w;
    w.instance = ToWire(Instance);
    w.application = ToWire(Application);
    w.flags = Flags;
    w.maxPlayers = MaxPlayers;
    w.name = Name;
    for (const Player& p : Players)
        w.players.push_back(Entry(p));
    return w;
}

} // namespace lan
