// The session rules' timers, and liveness: silence, departure, ICMP errors and Gone.
#include "net/LanRules.h"

#include <algorithm>

namespace lan {

using lanwire::ByteView;

// ---- timers ----

// A host drops a system that connected and has not been welcomed in time.
std::optional<Time> SessionRules::HandshakeDue(const Link& link) const {
    if (SessionRole != Role::Host || !link.incoming || link.joined)
        return std::nullopt;
    return link.opened + kHandshakeLimit;
}

Time SessionRules::DepartureDue(const Link& link) const {
    return link.heard + kDepartureSilence;
}

std::optional<Time> SessionRules::Due(Timer timer) const {
    std::optional<Time> due;
    auto atMost = [&due](Time t) { due = due ? std::min(*due, t) : t; };
    switch (timer) {
    case Timer::Handshake:
        for (const auto& [id, link] : Links) {
            if (const auto due = HandshakeDue(link))
                atMost(*due);
        }
        break;
    case Timer::SeatHeld:
        for (const Player& p : Players) {
            if (SessionRole == Role::Host && p.awaitingRejoin)
                atMost(p.deadline);
        }
        break;
    case Timer::RejoinLimit:
        if (SessionRole == Role::Rejoining)
            atMost(RejoinDeadline);
        break;
    case Timer::RejoinRetry:
        if (SessionRole == Role::Rejoining && !HostLink && RejoinRetryAt)
            atMost(*RejoinRetryAt);
        break;
    case Timer::MergeLimit:
        if (MergeLink)
            atMost(MergeDeadline);
        break;
    case Timer::Probe:
        if (WasWaiting && Waiting())
            atMost(NextProbe);
        break;
    case Timer::Quiet:
        for (const auto& [id, link] : Links) {
            const bool watched = SessionRole == Role::Host    ? Find(link.player) != nullptr
                                 : SessionRole == Role::Guest ? id == HostLink && !HostQuiet
                                                              : false;
            if (watched && link.connected && !link.quiet)
                atMost(link.heard + kQuiet);
        }
        break;
    case Timer::Departure:
        for (const auto& [id, link] : Links)
            atMost(DepartureDue(link));
        break;
    case Timer::Shutdown:
        if (ShuttingDown)
            atMost(ShutdownDeadline);
        break;
    }
    return due;
}

std::optional<Time> SessionRules::NextWake() const {
    std::optional<Time> next;
    for (int t = 0; t < kTimerCount; ++t) {
        if (const auto due = Due(static_cast<Timer>(t)); due && (!next || *due < *next))
            next = due;
    }
    return next;
}

void SessionRules::HandleTimeout(Time now) {
    for (int t = 0; t < kTimerCount; ++t) {
        const auto timer = static_cast<Timer>(t);
        if (const auto due = Due(timer); due && *due <= now)
            Expire(timer, now);
    }
    NoteWaiting(now);
}

void SessionRules::Expire(Timer timer, Time now) {
    std::vector<LinkId> links;
    switch (timer) {
    case Timer::Handshake:
        for (const auto& [id, link] : Links) {
            if (const auto due = HandshakeDue(link); due && now >= *due)
                links.push_back(id);
        }
        for (LinkId link : links)
            CloseLink(link);
        break;
    case Timer::SeatHeld: {
        std::vector<DPID> expired;
        for (const Player& p : Players) {
            if (p.awaitingRejoin && now >= p.deadline)
                expired.push_back(p.id);
        }
        for (DPID id : expired)
            RemovePlayer(id, true);
        break;
    }
    case Timer::RejoinLimit:
        SessionLost();
        break;
    case Timer::RejoinRetry:
        RejoinRetryAt.reset();
        ConnectNewHost(now);
        break;
    case Timer::MergeLimit:
        EndMerge(now);
        break;
    case Timer::Probe:
        SendProbe(now);
        break;
    case Timer::Quiet:
        ReportSilence(now);
        break;
    case Timer::Departure:
        for (const auto& [id, link] : Links) {
            if (now >= DepartureDue(link))
                links.push_back(id);
        }
        for (LinkId link : links) {
            Do(act::Forget{link});
            Lost(link, now);
        }
        break;
    case Timer::Shutdown:
        break; // Finished() says so
    }
}

// ---- liveness ----

void SessionRules::Heard(LinkId link, Time when, Time now) {
    const auto it = Links.find(link);
    if (it == Links.end())
        return;
    it->second.heard = std::max(it->second.heard, when);
    ReportSilence(now);
}

// Tells the local side when a connected player has not been heard for
// kQuiet, and when it is heard again: the player stays in the session.
void SessionRules::ReportSilence(Time now) {
    auto silent = [now](const Link& link) { return link.connected && now - link.heard >= kQuiet; };
    if (SessionRole == Role::Host) {
        for (auto& [id, link] : Links) {
            const Player* p = link.player ? Find(link.player) : nullptr;
            if (!p || silent(link) == link.quiet)
                continue;
            link.quiet = !link.quiet;
            QueueSystem(link.quiet ? DPSYS_PLAYERSILENT : DPSYS_PLAYERHEARD, *p);
        }
    } else if (SessionRole == Role::Guest && HostLink && silent(Links.at(HostLink)) != HostQuiet) {
        HostQuiet = !HostQuiet;
        for (const Player& p : Players) {
            if (p.hostOwned && !p.local)
                QueueSystem(HostQuiet ? DPSYS_PLAYERSILENT : DPSYS_PLAYERHEARD, p);
        }
    }
}

// A "port unreachable" for the very address and port of a connected system,
// sent by that address, means its program has ended: it leaves at once
// instead of after the long silence. Anything else (a host or net
// unreachable while a link is down) is only silence.
void SessionRules::SocketError(const IcmpError& error, Time now) {
    if (error.portUnreachable && error.reporter == error.target.ipv4)
        DropSystem(error.target, now);
}

void SessionRules::DropSystem(const Endpoint& system, Time now) {
    std::vector<LinkId> dropped;
    for (const auto& [id, link] : Links) {
        if (link.address == system)
            dropped.push_back(id);
    }
    for (LinkId link : dropped) {
        Do(act::Forget{link});
        Lost(link, now);
    }
}

// A packet for a connection this port does not have: the program that
// system talked to has ended and another took its port. It is told so at
// once, at most every kGoneInterval, rather than left to its long silence.
void SessionRules::StrayPacket(const Endpoint& from, Time now) {
    std::erase_if(GoneTold, [&](const auto& told) { return now - told.second > kGoneInterval; });
    if (std::any_of(GoneTold.begin(), GoneTold.end(),
                    [&](const auto& told) { return told.first == from; }))
        return;
    GoneTold.emplace_back(from, now);
    Do(act::Datagram{from, lanwire::Encode(lanwire::Gone{})});
}

void SessionRules::SessionDatagram(const Endpoint& from, ByteView bytes, Time now) {
    if (const auto said = lanwire::ParseDiscovery(bytes);
        said && std::holds_alternative<lanwire::Gone>(*said))
        DropSystem(from, now);
    else
        TakeAnswer(from, bytes, now);
    NoteWaiting(now);
}

} // namespace lan
