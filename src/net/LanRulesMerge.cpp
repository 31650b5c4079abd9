// Waiting hosts of two-player sessions that look for each other, and the one that joins the other.
#include "net/LanRules.h"

#include <algorithm>

namespace lan {

// Alone in its own session, with its player made: a host waiting for a
// partner, which looks for other waiting hosts. Never a game in progress.
bool SessionRules::Waiting() const {
    return SessionRole == Role::Host && !ShuttingDown && LocalId != 0 && Players.size() == 1 &&
           !MergeLink && std::none_of(Links.begin(), Links.end(), [](const auto& link) {
               return link.second.incoming;
           });
}

// Called after every event: waiting begins (or begins again after a player
// left) with frequent searches.
void SessionRules::NoteWaiting(Time now) {
    if (MaxPlayers != 2 || !Waiting()) {
        WasWaiting = MergeLink != 0;
        return;
    }
    if (!WasWaiting) {
        WasWaiting = true;
        ProbesSent = 0;
        NextProbe = now + kProbeFirstDelay;
    }
}

void SessionRules::SendProbe(Time now) {
    const auto interval = ProbesSent < kFastProbes ? kProbeFastInterval : kProbeSlowInterval;
    // Up to a fifth more, so that two hosts do not search in step.
    const auto jitter =
        std::chrono::milliseconds(Random() % static_cast<std::uint32_t>(interval.count() / 5 + 1));
    ++ProbesSent;
    NextProbe = now + interval + jitter;
    lanwire::Search request;
    request.application = ToWire(Application);
    request.nonce = ProbeNonce;
    request.flags = lanwire::kSearchAvailableOnly;
    const auto datagrams = SearchDatagrams(request, Preference->Own());
    Do(act::Search{{datagrams.begin(), datagrams.end()}});
}

// An answer to this host's search: another waiting host of a two-player
// session is joined at once.
void SessionRules::TakeAnswer(const Endpoint& from, lanwire::ByteView bytes, Time now) {
    const auto answer =
        ReadAnswer(bytes, from, ProbeNonce, ToWire(Application), lanwire::kSearchAvailableOnly);
    if (!answer || answer->info.instance == ToWire(Instance))
        return;
    // Asked of every other host that answers: a reserved program sees it.
    const bool admitted = Preference->Admits(answer->info.tag, now);
    if (admitted && MaxPlayers == 2 && Waiting() && answer->info.maxPlayers == 2 &&
        answer->info.currentPlayers == 1)
        StartMerge(*answer, now);
}

void SessionRules::StartMerge(const FoundSession& target, Time now) {
    MergeLink = OpenLink(target.host, now);
    MergeInstance = FromWire(target.info.instance);
    MergeWelcomed = false;
    MergeDeadline = now + kMergeLimit;
    WasWaiting = true;
}

// The other waiting host's answers while this one joins it: its welcome, then
// the player it makes for this program. Then this program is its guest, and
// says so with one notice; anything else gives up the attempt.
void SessionRules::MergeReceive(const lanwire::SessionMessage& message, Time now) {
    if (const auto* welcome = std::get_if<lanwire::Welcome>(&message)) {
        const Player* local = Find(LocalId);
        if (MergeWelcomed || !local || welcome->instance != ToWire(MergeInstance) ||
            welcome->application != ToWire(Application) || welcome->players.empty()) {
            EndMerge(now);
            return;
        }
        MergeWelcomed = true;
        MergeWelcome = *welcome;
        SendTo(MergeLink, lanwire::Encode(lanwire::CreatePlayer{local->shortName, local->longName}),
               true);
        return;
    }
    const auto* mine = std::get_if<lanwire::YourPlayer>(&message);
    if (!mine) {
        if (std::holds_alternative<lanwire::Refuse>(message))
            EndMerge(now);
        return; // nothing else is sent before the player is made
    }
    const bool known = std::any_of(MergeWelcome.players.begin(), MergeWelcome.players.end(),
                                   [&](const lanwire::PlayerEntry& e) { return e.id == mine->id; });
    const Player* local = Find(LocalId);
    if (!MergeWelcomed || known || !local) {
        EndMerge(now);
        return;
    }
    Player me = *local;
    me.id = mine->id;
    std::vector<LinkId> others;
    for (const auto& [id, link] : Links) {
        if (id != MergeLink)
            others.push_back(id);
    }
    for (LinkId link : others)
        CloseLink(link);
    AnsweringSearches = false; // guests answer no searches
    Do(act::ListenForSearches{false});
    Instance = MergeInstance;
    Name = MergeWelcome.name;
    Flags = MergeWelcome.flags;
    MaxPlayers = MergeWelcome.maxPlayers;
    FormerLocalIds.push_back(LocalId);
    Players.clear();
    AdoptPlayers(MergeWelcome.players, false, false);
    Players.push_back(me);
    LocalId = me.id;
    HostLink = std::exchange(MergeLink, 0);
    MergeWelcomed = false;
    MergeWelcome = {};
    SessionRole = Role::Guest;
    Queue(DPID_SYSMSG, MakeSystemMessage(DPSYS_JOINEDSESSION, me.id,
                                         DPNAME{QString::fromStdString(me.shortName),
                                                QString::fromStdString(me.longName)}));
}

// Gives up joining the other host: this one goes on hosting and searching.
void SessionRules::EndMerge(Time now) {
    if (MergeLink)
        CloseLink(MergeLink);
    MergeLink = 0;
    MergeWelcomed = false;
    MergeWelcome = {};
    NextProbe = now + kProbeFastInterval;
}

} // namespace lan
