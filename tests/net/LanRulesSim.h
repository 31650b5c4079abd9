// A simulated LAN in virtual time that drives several programs' session rules against each other.
#pragma once

#include "net/LanRules.h"

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <deque>
#include <functional>
#include <map>

namespace lansim {

using namespace std::chrono_literals;
using lan::LinkId;
using lan::Time;

struct Notice {
    Time at;
    std::uint32_t type;
    DPID player;
};

struct Node {
    lan::Endpoint address;
    std::unique_ptr<lan::SessionRules> rules;
    bool alive = true, icmp = false, listening = false, creating = false;
    DPID id = 0; // the local player
    std::vector<Notice> notices;
    std::vector<std::pair<DPID, QByteArray>> messages;
    std::map<LinkId, std::pair<std::size_t, int>> links; // open ones: connection and side

    const Notice* First(std::uint32_t type, DPID player = 0) const {
        const auto it = std::find_if(notices.begin(), notices.end(), [&](const Notice& n) {
            return n.type == type && n.player == player;
        });
        return it == notices.end() ? nullptr : &*it;
    }
    long Count(std::uint32_t type) const {
        return std::count_if(notices.begin(), notices.end(),
                             [&](const Notice& n) { return n.type == type; });
    }
    std::vector<DPID> Players() const {
        std::vector<DPID> ids;
        for (const auto& [id, name] : rules->PlayerList())
            ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
};

class Sim {
public:
    explicit Sim(std::uint32_t seed) : Seed(seed), Random(seed) { Ping(); }

    // A program at 10.0.0.N on the session port, not yet hosting or joining.
    int Add(lan::Opening opening) {
        const auto n = static_cast<std::uint32_t>(Nodes.size());
        Node& x = Nodes.emplace_back();
        x.address = {0x0A000001u + n, lanwire::kSessionPortFirst};
        opening.ownPort = x.address.port;
        opening.seed = Seed * 16 + n;
        x.rules = std::make_unique<lan::SessionRules>(opening, std::make_shared<lan::Pairing>());
        return static_cast<int>(n);
    }
    int Find(const lan::Endpoint& at) const {
        const auto it =
            std::find_if(Nodes.begin(), Nodes.end(), [&](auto& x) { return x.address == at; });
        return it == Nodes.end() ? -1 : static_cast<int>(it - Nodes.begin());
    }
    // Calls into a running program, then does what it asks.
    template <class F> void Call(int n, F&& call) {
        if (n < 0 || !Nodes[n].alive)
            return;
        call(*Nodes[n].rules);
        Drain(n);
    }
    // The local player; a guest's is finished once the host answered.
    void Create(int n) {
        const QString name = QStringLiteral("player%1").arg(n);
        Call(n, [&](auto& r) {
            r.CreatePlayer(DPNAME{name, name + "-long"}, Now, &Nodes[n].id, &Nodes[n].creating);
        });
    }
    HRESULT Send(int n, DPID to, const QByteArray& data) {
        HRESULT hr = DPERR_GENERIC;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
        Call(n, [&](auto& r) {
            hr = r.Send(Nodes[n].id, to, DPSEND_GUARANTEED, {bytes, bytes + data.size()}, Now);
        });
        return hr;
    }
    // The program stops: nothing reaches it or comes from it any more.
    void Kill(int n, bool icmp) {
        Nodes[n].alive = false;
        Nodes[n].icmp = icmp;
    }
    void Block(int from, int to, bool blocked) { Blocked[{from, to}] = blocked; }
    void BlockSearches(int from, int to) { SearchBlocked[{from, to}] = true; }
    void At(Time when, std::function<void()> event) { Events.emplace(when, std::move(event)); }

    bool RunFor(std::chrono::milliseconds d) { return RunUntil(Now + d); }
    // Delivers everything and serves every wake due until `end`; false when
    // time stops advancing (Failure says when).
    bool RunUntil(Time end) {
        for (int stuck = 0; Failure.empty();) {
            Time next = Events.empty() ? Time::max() : Events.begin()->first;
            for (const Node& x : Nodes) {
                if (const auto wake = x.alive ? x.rules->NextWake() : std::nullopt)
                    next = std::min(next, *wake);
            }
            if (next > end)
                break;
            if ((stuck = next <= Now ? stuck + 1 : 0) > 10000)
                Failure = "no progress at " + std::to_string((Now - Start) / 1ms) + " ms";
            Now = std::max(Now, next);
            for (int n = 0; n < static_cast<int>(Nodes.size()); ++n) {
                const auto wake = Nodes[n].alive ? Nodes[n].rules->NextWake() : std::nullopt;
                if (wake && *wake <= Now)
                    Call(n, [&](auto& r) { r.HandleTimeout(Now); });
            }
            while (!Events.empty() && Events.begin()->first <= Now) {
                const auto event = std::move(Events.begin()->second);
                Events.erase(Events.begin());
                event();
            }
        }
        Now = std::max(Now, end);
        return Failure.empty();
    }

    const Time Start = Time{} + 1h;
    Time Now = Start;
    std::deque<Node> Nodes;
    std::string Failure;
    std::function<void(int, const lan::Action&)> OnAction; // told of every action taken

private:
    enum Kind { Connect, Connected, Data, Lost };
    struct Item {
        Kind kind;
        Time at;
        lanwire::Bytes bytes;
    };
    struct End {
        int node = -1;
        LinkId link = 0;
        bool open = false, connected = false;
    };
    // pipe[d]: what end d sends reliably, in order, resent until it arrives.
    struct Conn {
        End end[2];
        std::deque<Item> pipe[2];
    };

    bool Reachable(int from, int to) {
        return from >= 0 && to >= 0 && Nodes[from].alive && Nodes[to].alive && !Blocked[{from, to}];
    }
    // A packet from `from` to the killed `to` is answered with "port unreachable".
    void Unreachable(int from, int to) {
        if (to < 0 || Nodes[to].alive || !Nodes[to].icmp || Blocked[{to, from}])
            return;
        const lan::IcmpError error{Nodes[to].address, Nodes[to].address.ipv4, true};
        At(Now + Latency(), [=, this] { Call(from, [&](auto& r) { r.SocketError(error, Now); }); });
    }
    std::chrono::milliseconds Latency() { return std::chrono::milliseconds(1 + Random() % 20); }

    void Drain(int n) {
        Node& x = Nodes[n];
        for (bool more = true; more;) {
            bool signal = false;
            const std::vector<lan::Action> actions = x.rules->TakeActions(&signal);
            if (signal)
                Read(x);
            for (const lan::Action& action : actions) {
                if (OnAction)
                    OnAction(n, action);
                std::visit([&](const auto& a) { Do(n, a); }, action);
            }
            more = !actions.empty();
            if (x.creating && x.rules->CreateAnswered()) {
                x.creating = false;
                x.rules->FinishCreate(&x.id);
                more = true;
            }
        }
    }
    void Read(Node& x) {
        for (;;) {
            DPID from = 0, to = 0, id = 0;
            std::uint32_t size = 0, type = 0;
            HRESULT hr = x.rules->Receive(&from, &to, nullptr, &size);
            QByteArray data(size, Qt::Uninitialized);
            if (hr == DPERR_BUFFERTOOSMALL)
                hr = x.rules->Receive(&from, &to, data.data(), &size);
            DPNAME name;
            if (hr != DP_OK)
                return;
            if (from != DPID_SYSMSG)
                x.messages.emplace_back(from, data);
            else if (ReadSystemMessage(data, &type, &id, &name))
                x.notices.push_back({Now, type, id});
            if (from == DPID_SYSMSG && type == DPSYS_JOINEDSESSION)
                x.id = id;
        }
    }

    void Do(int n, const lan::act::Connect& a) {
        Conn& c = Conns.emplace_back();
        c.end[0] = {n, a.link, true, false};
        c.end[1].node = Find(a.to);
        Nodes[n].links[a.link] = {Conns.size() - 1, 0};
        Push(Conns.size() - 1, 0, Connect, {});
    }
    // This LAN loses nothing that can arrive: unreliable sends arrive as reliable ones do.
    void Do(int n, const lan::act::Send& a) {
        if (const auto it = Nodes[n].links.find(a.link); it != Nodes[n].links.end())
            Push(it->second.first, it->second.second, Data, a.bytes);
    }
    void Do(int n, const lan::act::Close& a) { Shut(n, a.link, false, true); }
    void Do(int n, const lan::act::Forget& a) { Shut(n, a.link, false, false); }
    void Do(int n, const lan::act::CloseAfterSends& a) { Shut(n, a.link, true, true); }
    void Do(int n, const lan::act::Disconnect& a) { // the other side agrees, or is gone
        Shut(n, a.link, true, true);
        At(Now + 2 * Latency(), [=, this] { Call(n, [&](auto& r) { r.Lost(a.link, Now); }); });
    }
    void Do(int n, const lan::act::Search& a) {
        for (int m = 0; m < static_cast<int>(Nodes.size()); ++m) {
            for (const lanwire::Bytes& bytes : a.datagrams) {
                if (!SearchBlocked[{n, m}])
                    Post(n, m, Nodes[n].address, bytes, true);
            }
        }
    }
    void Do(int n, const lan::act::Datagram& a) { Post(n, Find(a.to), Nodes[n].address, a.bytes); }
    void Do(int n, const lan::act::Answer& a) {
        Post(n, Find(a.to), {Nodes[n].address.ipv4, lanwire::kDiscoveryPort}, a.bytes);
    }
    void Do(int n, const lan::act::ListenForSearches& a) { Nodes[n].listening = a.listen; }

    void Post(int from, int to, lan::Endpoint source, lanwire::Bytes bytes, bool search = false) {
        At(Now + Latency(), [=, this] {
            if (!search && source == Nodes[from].address)
                Unreachable(from, to);
            if (!Reachable(from, to) || (search && !Nodes[to].listening))
                return;
            Call(to, [&](auto& r) {
                search ? r.SearchDatagram(source, bytes, Now)
                       : r.SessionDatagram(source, bytes, Now);
            });
        });
    }
    // Close and Forget drop what is queued, Forget telling the other end nothing.
    void Shut(int n, LinkId link, bool afterSends, bool tell) {
        const auto it = Nodes[n].links.find(link);
        if (it == Nodes[n].links.end())
            return;
        const auto [ci, side] = it->second;
        Nodes[n].links.erase(it);
        Conns[ci].end[side].open = false;
        if (!afterSends)
            Conns[ci].pipe[side].clear();
        if (tell)
            Push(ci, side, Lost, {});
    }
    void Lose(std::size_t ci, int side) {
        End& e = Conns[ci].end[side];
        if (!std::exchange(e.open, false))
            return;
        Conns[ci].pipe[side].clear();
        Nodes[e.node].links.erase(e.link);
        Call(e.node, [&](auto& r) { r.Lost(e.link, Now); });
    }
    void Push(std::size_t ci, int d, Kind kind, lanwire::Bytes bytes) {
        const Time at = Now + Latency();
        Conns[ci].pipe[d].push_back({kind, at, std::move(bytes)});
        At(at, [=, this] { Pump(ci, d); });
    }
    void Pump(std::size_t ci, int d) {
        std::deque<Item>& pipe = Conns[ci].pipe[d];
        while (!pipe.empty() && pipe.front().at <= Now) {
            const int from = Conns[ci].end[d].node, to = Conns[ci].end[1 - d].node;
            if (!Nodes[from].alive)
                return pipe.clear();
            if (!Reachable(from, to)) {
                Unreachable(from, to);
                return At(Now + 100ms, [=, this] { Pump(ci, d); });
            }
            const Item item = std::move(pipe.front());
            pipe.pop_front();
            Deliver(ci, d, item);
        }
    }
    void Deliver(std::size_t ci, int d, const Item& item) {
        End &from = Conns[ci].end[d], &to = Conns[ci].end[1 - d];
        if (item.kind == Lost) {
            Lose(ci, 1 - d);
        } else if (item.kind == Connect) {
            Call(to.node, [&](auto& r) {
                to = {to.node, r.Accepted(Nodes[from.node].address, Now), true, true};
                Nodes[to.node].links[to.link] = {ci, 1 - d};
                Push(ci, 1 - d, Connected, {});
                r.Connected(to.link, Now);
            });
        } else if (to.open && (to.connected || item.kind == Connected)) {
            to.connected = true;
            Call(to.node, [&](auto& r) {
                r.Heard(to.link, Now, Now);
                item.kind == Connected ? r.Connected(to.link, Now)
                                       : r.Received(to.link, item.bytes, Now);
            });
        }
    }
    // ENet pings every 750 ms: a connection whose ends reach each other is
    // heard; a packet to a killed program is answered with "port
    // unreachable", and a ping to an end that closed is stray there.
    void Ping() {
        for (std::size_t ci = 0; ci < Conns.size(); ++ci) {
            for (int d = 0; d < 2; ++d) {
                const End &a = Conns[ci].end[d], &b = Conns[ci].end[1 - d];
                if (!a.open || b.node < 0 || !Nodes[a.node].alive)
                    continue;
                Unreachable(a.node, b.node); // a connecting end repeats its request
                if (!a.connected || !Reachable(a.node, b.node))
                    continue;
                At(Now + Latency(), [=, this, source = Nodes[a.node].address] {
                    End& to = Conns[ci].end[1 - d];
                    if (!Reachable(Conns[ci].end[d].node, to.node))
                        return;
                    Call(to.node, [&](auto& r) {
                        if (to.open && to.connected)
                            r.Heard(to.link, Now, Now);
                        else if (!to.open)
                            r.StrayPacket(source, Now);
                    });
                });
            }
        }
        At(Now + 750ms, [this] { Ping(); });
    }

    const std::uint32_t Seed;
    std::mt19937 Random;
    std::multimap<Time, std::function<void()>> Events; // in time order, then as added
    std::deque<Conn> Conns;
    std::map<std::pair<int, int>, bool> Blocked, SearchBlocked; // from, to
};

} // namespace lansim
