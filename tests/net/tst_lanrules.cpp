// Virtual-time tests of the session rules on a simulated LAN, each case under many message orders.
#include "LanRulesSim.h"

#include <QTest>

using lansim::Sim;
using namespace std::chrono_literals;
using Role = lan::SessionRules::Role;

namespace {

const GUID kApp{0x5EC7A11Au, 0x4E11, 0x4A3B, {0x9C, 1, 2, 3, 4, 5, 6, 7}};

// A case's first broken expectation with its line; empty: none.
using Outcome = std::string;
#define EXPECT(cond, what)                                                                         \
    do {                                                                                           \
        if (!(cond))                                                                               \
            return "line " + std::to_string(__LINE__) + ": " + (what);                             \
    } while (0)
#define RUN(sim, duration) EXPECT((sim).RunFor(duration), (sim).Failure)

// Each seed gives other latencies, and so another order of the messages.
constexpr std::uint32_t kSeeds = 300;

template <class Case> void ForSeeds(const char* name, Case run) {
    for (std::uint32_t seed = 1; seed <= kSeeds; ++seed) {
        Sim sim(seed);
        if (const Outcome failed = run(sim, seed); !failed.empty())
            QFAIL(qPrintable(
                QStringLiteral("%1, seed %2, %3").arg(name).arg(seed).arg(failed.c_str())));
    }
}

Role RoleOf(const Sim& sim, int n) {
    return sim.Nodes[n].rules->CurrentRole();
}
template <class T> bool Says(const lan::Action& action) { // sends a message of type T
    const auto* send = std::get_if<lan::act::Send>(&action);
    const auto message = send ? lanwire::ParseSession(send->bytes) : std::nullopt;
    return message && std::holds_alternative<T>(*message);
}

// A program that hosts, with its player made.
int AddHost(Sim& sim, std::uint32_t flags = 0, std::uint32_t maxPlayers = 2) {
    const int n = sim.Add({kApp, flags, maxPlayers, {}, {}, {}, 0, 0});
    sim.Call(n, [&](auto& r) { r.Host(sim.Now); });
    sim.Create(n);
    return n;
}
// A program that joins the session of `host`, with its player made once let in.
int AddGuest(Sim& sim, int host) {
    const DPSESSIONDESC2 d = sim.Nodes[host].rules->Desc();
    const int n = sim.Add(
        {kApp, d.dwFlags, d.dwMaxPlayers, {}, d.guidInstance, sim.Nodes[host].address, 0, 0});
    sim.Call(n, [&](auto& r) { r.Join(sim.Now); });
    for (int i = 0; i < 100 && !sim.Nodes[n].rules->JoinAnswer(); ++i)
        sim.RunFor(10ms);
    if (sim.Nodes[n].rules->JoinAnswer() == DP_OK)
        sim.Create(n);
    sim.RunFor(500ms);
    return n;
}

// a and b are host and guest of one session of the two, and messages flow both ways.
Outcome OneSession(Sim& sim, int a, int b) {
    lansim::Node &x = sim.Nodes[a], &y = sim.Nodes[b];
    EXPECT((RoleOf(sim, a) == Role::Host) != (RoleOf(sim, b) == Role::Host) &&
               (RoleOf(sim, a) == Role::Guest) != (RoleOf(sim, b) == Role::Guest),
           "not one host and one guest");
    const std::vector<DPID> both{std::min(x.id, y.id), std::max(x.id, y.id)};
    EXPECT(x.Players() == both && y.Players() == both, "the player lists differ");
    EXPECT(x.rules->Desc().guidInstance == y.rules->Desc().guidInstance, "instances differ");
    x.messages.clear();
    y.messages.clear();
    EXPECT(sim.Send(a, DPID_ALLPLAYERS, "to all") == DP_OK && sim.Send(b, x.id, "to a") == DP_OK,
           "a send was refused");
    RUN(sim, 500ms);
    EXPECT(y.messages == (std::vector{std::pair(x.id, QByteArray("to all"))}) &&
               x.messages == (std::vector{std::pair(y.id, QByteArray("to a"))}),
           "a message did not arrive once");
    return {};
}

} // namespace

class TestLanRules : public QObject {
    Q_OBJECT
private slots:
    // Two waiting hosts that start at once become one session, whoever starts
    // and when the searches of only one reach the other; when both asked to
    // join the other, the lower instance hosts. Full, the session is neither
    // merged with a waiting host nor joined by a fourth program. Only "port
    // unreachable" from the guest's own address drops the guest; the host,
    // alone again, then pairs with the waiting one.
    void waitingHostsPair() {
        const struct {
            const char* name;
            int first, onlySearcher; // -1: both searches arrive
        } cases[] = {{"a starts", 0, -1},
                     {"b starts", 1, -1},
                     {"only a's searches reach b", 0, 0},
                     {"only b's searches reach a", 1, 1}};
        for (const auto& c : cases) {
            ForSeeds(c.name, [&](Sim& sim, std::uint32_t) -> Outcome {
                sim.Add({kApp, 0, 2, {}, {}, {}, 0, 0});
                sim.Add({kApp, 0, 2, {}, {}, {}, 0, 0});
                if (c.onlySearcher >= 0)
                    sim.BlockSearches(1 - c.onlySearcher, c.onlySearcher);
                int hellos[2] = {};
                sim.OnAction = [&](int n, const lan::Action& a) {
                    hellos[n] += Says<lanwire::Hello>(a);
                };
                for (int n : {c.first, 1 - c.first}) {
                    sim.Call(n, [&](auto& r) { r.Host(sim.Now); });
                    sim.Create(n);
                }
                const bool aLower = lan::ToWire(sim.Nodes[0].rules->Desc().guidInstance) <
                                    lan::ToWire(sim.Nodes[1].rules->Desc().guidInstance);
                RUN(sim, 5s);
                const int host = RoleOf(sim, 0) == Role::Host ? 0 : 1, guest = 1 - host;
                EXPECT(c.onlySearcher < 0 || host != c.onlySearcher, "the found one joined");
                EXPECT(!hellos[0] || !hellos[1] || (host == 0) == aLower,
                       "both asked to join the other and the higher instance hosts");
                if (Outcome o = OneSession(sim, 0, 1); !o.empty())
                    return o;
                sim.OnAction = nullptr;
                const int waiting = AddHost(sim);
                RUN(sim, 10s);
                EXPECT(sim.Nodes[guest].Count(DPSYS_JOINEDSESSION) == 1 &&
                           !sim.Nodes[host].Count(DPSYS_JOINEDSESSION),
                       "the guest was not told once that it joined");
                EXPECT(sim.Nodes[host].Players() == sim.Nodes[guest].Players() &&
                           sim.Nodes[waiting].Players() == std::vector{sim.Nodes[waiting].id},
                       "the waiting host and the pair merged");
                EXPECT(sim.Nodes[AddGuest(sim, host)].rules->JoinAnswer() == DPERR_UNAVAILABLE,
                       "a program joining the full session was not turned away");
                const lan::Endpoint at = sim.Nodes[guest].address, otherPort{at.ipv4, 1};
                const lan::IcmpError errors[] = {{at, at.ipv4 + 1, true},
                                                 {otherPort, at.ipv4, true},
                                                 {at, at.ipv4, false},
                                                 {at, at.ipv4, true}};
                for (const lan::IcmpError& error : errors) {
                    sim.Call(host, [&](auto& r) { r.SocketError(error, sim.Now); });
                    const bool proof = &error == &errors[3];
                    EXPECT(!!sim.Nodes[host].First(DPSYS_DESTROYPLAYERORGROUP,
                                                   sim.Nodes[guest].id) == proof,
                           proof ? "not dropped at once" : "dropped for what proves nothing");
                    RUN(sim, 1s);
                }
                RUN(sim, 5s);
                return OneSession(sim, host, waiting);
            });
        }
    }

    // The host being joined dies before the merge finished: the other gives
    // up at the port unreachable or after kMergeLimit, waits alone again and
    // pairs with a newcomer.
    void hostKilledDuringMerge() {
        for (bool icmp : {true, false}) {
            ForSeeds(icmp ? "port unreachable" : "silently", [&](Sim& sim, std::uint32_t seed) {
                AddHost(sim);
                AddHost(sim);
                sim.BlockSearches(1, 0); // 0 joins 1
                lan::Time killedAt{};
                sim.OnAction = [&](int, const lan::Action& action) {
                    if (killedAt != lan::Time{} ||
                        !std::holds_alternative<lan::act::Connect>(action))
                        return;
                    // Within the merge's six one-way trips of at least 1 ms.
                    killedAt = sim.Now + std::chrono::milliseconds(seed % 6);
                    sim.At(killedAt, [&] { sim.Kill(1, icmp); });
                };
                for (int i = 0; i < 200 && killedAt == lan::Time{}; ++i)
                    RUN(sim, 10ms);
                EXPECT(killedAt != lan::Time{}, "no merge began");
                EXPECT(sim.RunUntil(killedAt + (icmp ? 1s : lan::kMergeLimit + 200ms)),
                       sim.Failure);
                const lansim::Node& s = sim.Nodes[0];
                EXPECT(RoleOf(sim, 0) == Role::Host && s.Players() == std::vector{s.id},
                       "the survivor is not alone in its own session");
                EXPECT(s.rules->Due(lan::Timer::Probe), "the survivor does not search again");
                AddHost(sim);
                RUN(sim, 6s);
                return OneSession(sim, 0, 2);
            });
        }
    }

    // The host of a migrating three-player session is killed: the player with
    // the lowest id hosts, the other rejoins it with what it sent on the way,
    // also when turned away at first by the new host that had not noticed yet.
    void hostMigrates() {
        for (bool late : {false, true}) {
            ForSeeds(late ? "the new host late" : "at once", [&](Sim& sim, std::uint32_t) {
                AddHost(sim, DPSESSION_MIGRATEHOST, 3);
                const DPID old = sim.Nodes[0].id;
                std::vector<DPID> remaining{sim.Nodes[AddGuest(sim, 0)].id,
                                            sim.Nodes[AddGuest(sim, 0)].id};
                EXPECT(remaining[0] && remaining[1], "a guest could not join");
                const int next = remaining[0] < remaining[1] ? 1 : 2, mover = 3 - next;
                std::sort(remaining.begin(), remaining.end());
                // The new host hears of the old one's end only by its silence.
                sim.Block(0, next, late);
                sim.Block(next, 0, late);
                int tries = 0;
                sim.OnAction = [&](int n, const lan::Action& a) {
                    tries += n == mover && std::holds_alternative<lan::act::Connect>(a);
                };
                sim.Kill(0, true);
                for (int i = 0; i < 3000 && RoleOf(sim, mover) != Role::Rejoining; ++i)
                    RUN(sim, 1ms);
                EXPECT(sim.Send(mover, sim.Nodes[next].id, "on the way") == DP_OK,
                       "the other player did not rejoin");
                RUN(sim, late ? 30s : 5s);
                EXPECT(RoleOf(sim, next) == Role::Host && RoleOf(sim, mover) == Role::Guest,
                       "the lowest id does not host, or the other is not its guest");
                for (int n : {next, mover}) {
                    EXPECT(sim.Nodes[n].First(DPSYS_DESTROYPLAYERORGROUP, old) &&
                               sim.Nodes[n].Players() == remaining,
                           "a player was not told that the old host left, or lists others");
                }
                EXPECT(sim.Nodes[next].messages ==
                           (std::vector{std::pair(sim.Nodes[mover].id, QByteArray("on the way"))}),
                       "what the rejoiner sent on the way did not arrive once");
                EXPECT(!late || tries >= 2, "the rejoiner was never turned away");
                return Outcome();
            });
        }
    }

    // Host and guest stop hearing each other: both are told after kQuiet.
    // Heard again before kDepartureSilence nobody leaves; later each gives the
    // other up, and with migration the two, each hosting alone, pair anew.
    void silence() {
        const struct {
            const char* name;
            int seconds;
            bool migrate;
        } cases[] = {{"19 s", 19, true}, {"24 s, migrating", 24, true}, {"24 s", 24, false}};
        for (const auto& c : cases) {
            ForSeeds(c.name, [&](Sim& sim, std::uint32_t) -> Outcome {
                AddHost(sim, c.migrate ? DPSESSION_MIGRATEHOST : 0);
                AddGuest(sim, 0);
                const DPID ids[] = {sim.Nodes[0].id, sim.Nodes[1].id};
                const lan::Time t0 = sim.Now, back = t0 + std::chrono::seconds(c.seconds);
                for (bool blocked : {true, false}) {
                    sim.Block(0, 1, blocked);
                    sim.Block(1, 0, blocked);
                    EXPECT(sim.RunUntil(blocked ? back : back + 10s), sim.Failure);
                }
                const bool gone = c.seconds * 1s >= lan::kDepartureSilence;
                auto within = [](const lansim::Notice* n, lan::Time from, lan::Time to) {
                    return n && n->at >= from && n->at <= to;
                };
                for (int n : {0, 1}) {
                    const lansim::Node& x = sim.Nodes[n];
                    const DPID other = ids[1 - n];
                    EXPECT(within(x.First(DPSYS_PLAYERSILENT, other), t0 + lan::kQuiet - 1s,
                                  t0 + lan::kQuiet),
                           "not told of the silence in time");
                    EXPECT(gone || within(x.First(DPSYS_PLAYERHEARD, other), back, back + 1s),
                           "not told in time that the other is heard again");
                    const lansim::Notice* left = x.First(DPSYS_DESTROYPLAYERORGROUP, other);
                    EXPECT(gone ? within(left, t0 + lan::kDepartureSilence - 1s,
                                         t0 + lan::kDepartureSilence)
                                : !left && !x.Count(DPSYS_SESSIONLOST),
                           "a departure too early or not after kDepartureSilence");
                }
                if (!gone || c.migrate)
                    return OneSession(sim, 0, 1);
                EXPECT(RoleOf(sim, 1) == Role::Lost && sim.Nodes[1].Count(DPSYS_SESSIONLOST),
                       "without migration the guest kept the session");
                EXPECT(sim.Nodes[0].Players() == std::vector{ids[0]}, "the host kept the guest");
                return {};
            });
        }
    }
};

QTEST_GUILESS_MAIN(TestLanRules)
#include "tst_lanrules.moc"
