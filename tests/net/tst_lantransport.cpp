// Tests of the LAN transport in one process on loopback: hosting, searching,
// joining, refusing, sending, leaving, host migration, hostile input, and
// the session-location dialog.
#include "net/LanDiscovery.h"
#include "net/LanEnet.h"
#include "net/LanLookup.h"
#include "net/LanRouter.h"
#include "net/LanSessionDialog.h"
#include "net/LanTransport.h"
#include "net/LanWire.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUuid>
#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <enet/enet.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

GUID NewGuid() {
    const QUuid u = QUuid::createUuid();
    GUID g;
    g.Data1 = u.data1;
    g.Data2 = u.data2;
    g.Data3 = u.data3;
    std::copy(std::begin(u.data4), std::end(u.data4), std::begin(g.Data4));
    return g;
}

struct Arrived {
    DPID from = 0;
    QByteArray data;
};

// One program's transport with its player and everything it received.
class Node {
public:
    explicit Node(const QString& address = QStringLiteral("127.255.255.255")) {
        Transport.InitializeConnection(LanConnectionData(address), 0);
    }

    HRESULT Host(const GUID& app, std::uint32_t maxPlayers, const QString& name = "KORVAMESH") {
        DPSESSIONDESC2 desc;
        desc.dwFlags = DPSESSION_MIGRATEHOST | DPSESSION_KEEPALIVE;
        desc.guidApplication = app;
        desc.dwMaxPlayers = maxPlayers;
        const HRESULT hr = Transport.Open(desc, name, DPOPEN_CREATE);
        return hr == DP_OK ? Create() : hr;
    }

    std::vector<DPSESSIONDESC2> Search(const GUID& app, QStringList* names = nullptr) {
        std::vector<DPSESSIONDESC2> found;
        DPSESSIONDESC2 desc;
        desc.guidApplication = app;
        Transport.EnumSessions(
            desc, 0,
            [&](const DPSESSIONDESC2* d, const QString& name) {
                if (d) {
                    found.push_back(*d);
                    if (names)
                        names->append(name);
                }
                return true;
            },
            DPENUMSESSIONS_AVAILABLE);
        return found;
    }

    HRESULT Join(const DPSESSIONDESC2& desc) {
        const HRESULT hr = Transport.Open(desc, QString(), DPOPEN_JOIN);
        return hr == DP_OK ? Create() : hr;
    }

    HRESULT Create() { return Transport.CreatePlayer(&Id, DPNAME{Name, Name + "-long"}, Event); }

    QList<DPID> Players() {
        QList<DPID> ids;
        Transport.EnumPlayers(
            [&](DPID id, const DPNAME&) {
                ids.append(id);
                return true;
            },
            0);
        return ids;
    }

    HRESULT Send(DPID to, const QByteArray& data, bool guaranteed = true) {
        return Transport.Send(Id, to, guaranteed ? DPSEND_GUARANTEED : 0, data.constData(),
                              static_cast<std::uint32_t>(data.size()));
    }

    // Takes every waiting message into the lists below.
    void Pump() {
        for (;;) {
            DPID from = 0;
            DPID to = 0;
            std::uint32_t size = 0;
            HRESULT hr = Transport.Receive(&from, &to, DPRECEIVE_ALL, nullptr, &size);
            QByteArray data;
            if (hr == DPERR_BUFFERTOOSMALL) {
                data.resize(size);
                hr = Transport.Receive(&from, &to, DPRECEIVE_ALL, data.data(), &size);
            }
            if (hr != DP_OK)
                return;
            if (from == DPID_SYSMSG) {
                std::uint32_t type = 0;
                DPID id = 0;
                DPNAME name;
                if (ReadSystemMessage(data, &type, &id, &name)) {
                    if (type == DPSYS_CREATEPLAYERORGROUP)
                        Created.append(id);
                    else if (type == DPSYS_DESTROYPLAYERORGROUP)
                        Destroyed.append(id);
                    else if (type == DPSYS_JOINEDSESSION)
                        Joined.append(id);
                }
            } else {
                Messages.push_back({from, data});
            }
        }
    }
    int MessageCount() {
        Pump();
        return static_cast<int>(Messages.size());
    }
    bool SawCreated(DPID id) {
        Pump();
        return Created.contains(id);
    }
    bool SawDestroyed(DPID id) {
        Pump();
        return Destroyed.contains(id);
    }
    qsizetype JoinedCount() {
        Pump();
        return Joined.size();
    }

    QString Name = QStringLiteral("player");
    LanTransport Transport;
    std::shared_ptr<AutoResetEvent> Event = std::make_shared<AutoResetEvent>();
    DPID Id = 0;
    QList<DPID> Created;
    QList<DPID> Joined; // new local ids after joining another waiting host
    QList<DPID> Destroyed;
    std::vector<Arrived> Messages;
};

QByteArray Pattern(int size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + seed * 131 + (i >> 8)) & 0xFF);
    return bytes;
}

// Sends raw datagrams from a socket of its own, to loopback only.
void SendRaw(std::uint32_t ipv4, std::uint16_t port, const QList<QByteArray>& datagrams) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(ipv4);
    sa.sin_port = htons(port);
    for (const QByteArray& d : datagrams)
        ::sendto(fd, d.constData(), static_cast<size_t>(d.size()), 0,
                 reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    ::close(fd);
}

lanwire::WireGuid Wire(const GUID& g) {
    lanwire::WireGuid w{};
    std::memcpy(w.data(), &g, sizeof g); // little-endian fields
    return w;
}

// Sends one Search to the hosts on loopback as any program might, and returns
// the names of the sessions that answer, with "+tag" when a host's tag came.
QStringList AskRaw(const lanwire::Search& search) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    lan::SendDatagram(fd, lanwire::Encode(search), {0x7FFFFFFF, lan::DiscoveryPort()});
    QStringList answers;
    lanwire::Bytes bytes;
    lan::Endpoint from;
    pollfd pfd{fd, POLLIN, 0};
    while (::poll(&pfd, 1, 250) > 0 && lan::ReceiveDatagram(fd, &bytes, &from)) {
        const auto m = lanwire::ParseDiscovery(bytes);
        if (const auto* info = m ? std::get_if<lanwire::SessionInfo>(&*m) : nullptr)
            answers << QString::fromStdString(info->name) + (info->tag ? "+tag" : "");
    }
    ::close(fd);
    answers.sort();
    return answers;
}

QByteArray ToQ(const lanwire::Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

// A bare ENet client that connects to a session port and does as it is told.
class RawEnetClient {
public:
    explicit RawEnetClient(std::uint16_t port) {
        enet_initialize();
        Host = enet_host_create(nullptr, 1, 2, 0, 0);
        ENetAddress address{};
        address.host = htonl(INADDR_LOOPBACK);
        address.port = port;
        Peer = enet_host_connect(Host, &address, 2, 0);
    }
    ~RawEnetClient() {
        if (Peer && Connected)
            enet_peer_reset(Peer);
        enet_host_destroy(Host);
    }
    // Services the host until it sees the event type or the time is up.
    bool WaitFor(ENetEventType type, int ms) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) {
            ENetEvent event;
            while (enet_host_service(Host, &event, 10) > 0) {
                if (event.type == ENET_EVENT_TYPE_RECEIVE)
                    enet_packet_destroy(event.packet);
                if (event.type == ENET_EVENT_TYPE_CONNECT)
                    Connected = true;
                if (event.type == ENET_EVENT_TYPE_DISCONNECT)
                    Connected = false;
                if (event.type == type)
                    return true;
            }
        }
        return false;
    }
    void Send(const lanwire::Bytes& bytes) {
        enet_peer_send(Peer, 0,
                       enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE));
        enet_host_flush(Host);
    }

    ENetHost* Host = nullptr;
    ENetPeer* Peer = nullptr;
    bool Connected = false;
};

} // namespace

class TestLanTransport : public QObject {
    Q_OBJECT
private slots:
    // The router's own address, as the internet sees it: the private and
    // shared ranges, and their neighbours, which are public.
    void routerAddressesThatTheInternetReaches() {
        const struct {
            const char* address;
            bool reached;
        } cases[] = {
            {"45.67.89.1", true},   {"8.8.8.8", true},          {"9.255.255.255", true},
            {"10.0.0.1", false},    {"11.0.0.0", true},         {"100.63.255.255", true},
            {"100.64.0.0", false},  {"100.127.255.255", false}, {"100.128.0.0", true},
            {"127.0.0.1", false},   {"169.254.1.1", false},     {"172.15.255.255", true},
            {"172.16.0.0", false},  {"172.31.255.255", false},  {"172.32.0.0", true},
            {"192.168.1.1", false}, {"192.169.0.0", true},      {"203.0.113.5", false},
            {"0.0.0.0", false},     {"224.0.0.1", false},       {"255.255.255.255", false},
        };
        for (const auto& c : cases) {
            std::uint32_t ipv4 = 0;
            QVERIFY(lan::ParseIpv4(c.address, &ipv4));
            QVERIFY2(lan::IsPublicIpv4(ipv4) == c.reached, c.address);
        }
    }

    void cleanup() { LanTransport::SetReservationLapse(std::chrono::milliseconds(0)); }

    void hostSearchJoin() {
        const GUID app = NewGuid();
        Node host;
        host.Name = "alice";
        QCOMPARE(host.Host(app, 2, "ゲーム"), DP_OK);
        QVERIFY(host.Transport.IsHost());

        Node guest;
        guest.Name = "bob";
        QStringList names;
        const auto found = guest.Search(app, &names);
        QCOMPARE(found.size(), std::size_t(1));
        QCOMPARE(names, QStringList{"ゲーム"});
        QCOMPARE(found[0].dwFlags, 0x44u);
        QCOMPARE(found[0].dwMaxPlayers, 2u);
        QVERIFY(found[0].guidApplication == app);
        QVERIFY(found[0].guidInstance == host.Transport.SessionDesc().guidInstance);
        QVERIFY2(guest.Search(NewGuid()).empty(), "a session of another application was found");

        QCOMPARE(guest.Join(found[0]), DP_OK);
        QVERIFY(guest.Id != 0 && guest.Id != host.Id);
        // Both sides list the host first and the one who joined second.
        QCOMPARE(guest.Players(), (QList<DPID>{host.Id, guest.Id}));
        QTRY_VERIFY_WITH_TIMEOUT(host.SawCreated(guest.Id), 3000);
        QCOMPARE(host.Players(), (QList<DPID>{host.Id, guest.Id}));
        QVERIFY2(guest.Created.isEmpty(), "the guest was told about players it enumerated");
    }

    // Two hosts of two-player sessions that wait at the same time find each
    // other: one joins the other as a guest and messages flow both ways, also
    // those sent with the joiner's id of before. A session with a game in
    // progress, or of more players, is never joined.
    void waitingHostsPairByThemselves() {
        const GUID app = NewGuid();
        Node busy, busyGuest, four, a, b;
        QCOMPARE(busy.Host(app, 2), DP_OK);
        QCOMPARE(busyGuest.Join(busyGuest.Search(app).at(0)), DP_OK);
        QCOMPARE(four.Host(app, 4), DP_OK);
        QCOMPARE(a.Host(app, 2), DP_OK);
        QCOMPARE(b.Host(app, 2), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(a.JoinedCount() + b.JoinedCount() == 1, 5000);
        Node& joiner = a.Joined.isEmpty() ? b : a;
        Node& host = a.Joined.isEmpty() ? a : b;
        const DPID joinerId = joiner.Joined.first();
        QTRY_VERIFY_WITH_TIMEOUT(host.SawCreated(joinerId), 3000);
        QVERIFY(host.Transport.IsHost() && !joiner.Transport.IsHost());
        QCOMPARE(joiner.Players(), (QList<DPID>{host.Id, joinerId}));
        QCOMPARE(host.Players(), (QList<DPID>{host.Id, joinerId}));

        QCOMPARE(joiner.Send(DPID_ALLPLAYERS, "from the joiner"), DP_OK); // its id of before
        QCOMPARE(host.Send(joinerId, "from the host"), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(host.MessageCount() == 1 && joiner.MessageCount() == 1, 3000);
        QCOMPARE(host.Messages[0].from, joinerId);
        QCOMPARE(joiner.Messages[0].data, QByteArray("from the host"));

        QTest::qWait(500); // more searches of theirs: nothing else changes
        QCOMPARE(a.JoinedCount() + b.JoinedCount(), 1);
        QCOMPARE(busy.Players().size(), 2);
        QCOMPARE(four.Players().size(), 1);
        busy.Pump();
        four.Pump();
        QVERIFY(busy.Created.size() == 1 && four.Created.isEmpty());
    }

    // Waiting hosts: two reserved for each other, two unreserved, one reserved
    // for a program that never comes. Each pair meets its own; the one left
    // pairs with a newcomer once its reservation, made anew, has lapsed.
    void reservedWaitingHostsPair() {
        const GUID app = NewGuid();
        const GUID ta = NewGuid(), tb = NewGuid(), te = NewGuid(), absent = NewGuid();
        Node a, b, c, d, e, f;
        a.Transport.SetPairingPreference(ta, {tb});
        b.Transport.SetPairingPreference(tb, {ta});
        e.Transport.SetPairingPreference(te, {absent});
        for (Node* n : {&a, &c, &e, &d, &b})
            QCOMPARE(n->Host(app, 2), DP_OK);
        auto paired = [](Node& x, Node& y) {
            return x.Players().size() == 2 && y.Players().size() == 2 &&
                   x.Transport.SessionDesc().guidInstance == y.Transport.SessionDesc().guidInstance;
        };
        QTRY_VERIFY_WITH_TIMEOUT(paired(a, b) && paired(c, d), 5000);
        QCOMPARE(e.Players().size(), qsizetype(1));

        LanTransport::SetReservationLapse(std::chrono::milliseconds(1000));
        e.Transport.SetPairingPreference(te, {absent}); // anew: nobody seen since
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(f.Host(app, 2), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(paired(e, f), 6000);
        QVERIFY2(timer.elapsed() >= 1000, "paired before the reservation lapsed");
    }

    // A reserved host answers only tagged Searches of its partners, an
    // unreserved one everybody (a program without tags plainly), nobody a
    // twin. A reserved searcher lists only its partner's session until the
    // reservation lapses, then that one first; reserving again starts over.
    void pairingInDiscovery() {
        const GUID app = NewGuid(), t2 = NewGuid(), ts = NewGuid();
        Node one, two, searcher;
        two.Transport.SetPairingPreference(t2, {ts});
        searcher.Transport.SetPairingPreference(ts, {t2});
        QCOMPARE(one.Host(app, 3, "one"), DP_OK);
        QCOMPARE(two.Host(app, 3, "two"), DP_OK);
        const struct {
            std::uint32_t flags;
            std::optional<GUID> tag;
            QStringList answers;
        } asks[] = {
            {0, std::nullopt, {"one"}},
            {lanwire::kSearchHasTaggedTwin, std::nullopt, {}},
            {0, ts, {"one+tag", "two+tag"}},
            {0, NewGuid(), {"one+tag"}},
        };
        for (const auto& ask : asks) {
            const auto tag = ask.tag ? std::optional(Wire(*ask.tag)) : std::nullopt;
            QCOMPARE(AskRaw({Wire(app), 5, ask.flags, tag}), ask.answers);
        }

        LanTransport::SetReservationLapse(std::chrono::milliseconds(500));
        auto names = [&](Node& n) {
            QStringList listed;
            n.Search(app, &listed);
            return listed;
        };
        QCOMPARE(names(searcher), QStringList{"two"});
        QTest::qWait(600);
        QCOMPARE(names(searcher), (QStringList{"two", "one"}));
        searcher.Transport.SetPairingPreference(ts, {t2});
        QCOMPARE(names(searcher), QStringList{"two"});
    }

    void fullSessionRefusesAtOnce() {
        const GUID app = NewGuid();
        Node host, second, third;
        QCOMPARE(host.Host(app, 2), DP_OK);
        const auto found = third.Search(app); // seen while there was room
        QCOMPARE(found.size(), std::size_t(1));
        QCOMPARE(second.Join(second.Search(app).at(0)), DP_OK);
        QVERIFY2(third.Search(app).empty(), "a full session answered a search for available ones");
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(third.Join(found[0]), DPERR_UNAVAILABLE);
        QVERIFY2(timer.elapsed() < 1000, "the refusal of a full session was not at once");
        QTRY_VERIFY_WITH_TIMEOUT(host.SawCreated(second.Id), 3000);
        QCOMPARE(host.Players().size(), 2);
    }

    void sendsArriveByteExact_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("guaranteed");
        for (int size : {0, 1, 1399, 1400, int(lanwire::kMaxPayload)}) {
            QTest::addRow("%d bytes guaranteed", size) << size << true;
            QTest::addRow("%d bytes unguaranteed", size) << size << false;
        }
    }

    void sendsArriveByteExact() {
        QFETCH(int, size);
        QFETCH(bool, guaranteed);
        const GUID app = NewGuid();
        Node host, guest;
        QCOMPARE(host.Host(app, 2), DP_OK);
        QCOMPARE(guest.Join(guest.Search(app).at(0)), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(host.SawCreated(guest.Id), 3000);

        QCOMPARE(guest.Send(host.Id, Pattern(size, 1), guaranteed), DP_OK);
        QCOMPARE(host.Send(DPID_ALLPLAYERS, Pattern(size, 2), guaranteed), DP_OK);
        if (guaranteed) {
            QTRY_COMPARE_WITH_TIMEOUT(host.MessageCount(), 1, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(guest.MessageCount(), 1, 5000);
        } else {
            // Loopback loses nothing, but an unguaranteed message may be
            // dropped: what arrives must still be exact.
            QTRY_VERIFY_WITH_TIMEOUT(host.MessageCount() == 1 && guest.MessageCount() == 1, 3000);
        }
        for (Node* n : {&host, &guest}) {
            for (const Arrived& a : n->Messages) {
                const Node& other = n == &host ? guest : host;
                QCOMPARE(a.from, other.Id);
                QVERIFY2(a.data == Pattern(size, n == &host ? 1 : 2), "message bytes differ");
            }
        }
    }

    void guaranteedSendsKeepTheirOrder() {
        const GUID app = NewGuid();
        Node host, guest;
        QCOMPARE(host.Host(app, 2), DP_OK);
        QCOMPARE(guest.Join(guest.Search(app).at(0)), DP_OK);
        constexpr int kCount = 300;
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(
                guest.Send(DPID_ALLPLAYERS, Pattern(1 + (i * 997) % int(lanwire::kMaxPayload), i)),
                DP_OK);
        QTRY_COMPARE_WITH_TIMEOUT(host.MessageCount(), kCount, 10000);
        for (int i = 0; i < kCount; ++i)
            QVERIFY2(host.Messages[static_cast<std::size_t>(i)].data ==
                         Pattern(1 + (i * 997) % int(lanwire::kMaxPayload), i),
                     qPrintable(QStringLiteral("message %1 out of order or changed").arg(i)));
    }

    void sendEdgeCases() {
        const GUID app = NewGuid();
        Node host;
        QCOMPARE(host.Host(app, 2), DP_OK);
        QCOMPARE(host.Send(DPID_ALLPLAYERS, "nobody here"), DP_OK);
        QCOMPARE(host.Send(12345, "x"), DPERR_INVALIDPLAYER);
        QCOMPARE(host.Transport.Send(host.Id + 1, DPID_ALLPLAYERS, 0, "x", 1), DPERR_INVALIDPLAYER);
        const QByteArray huge(int(lanwire::kMaxPayload) + 1, 'h');
        QCOMPARE(host.Send(DPID_ALLPLAYERS, huge), DPERR_SENDTOOBIG);

        // A message to oneself: the size is reported first, then the bytes.
        QCOMPARE(host.Send(host.Id, "hello"), DP_OK);
        std::uint32_t size = 2;
        char small[2];
        DPID from = 0;
        DPID to = 0;
        QCOMPARE(host.Transport.Receive(&from, &to, DPRECEIVE_ALL, small, &size),
                 DPERR_BUFFERTOOSMALL);
        QCOMPARE(size, 5u);
        char buffer[5];
        QCOMPARE(host.Transport.Receive(&from, &to, DPRECEIVE_ALL, buffer, &size), DP_OK);
        QCOMPARE(QByteArray(buffer, 5), QByteArray("hello"));
        QCOMPARE(from, host.Id);
        QCOMPARE(host.Transport.Receive(&from, &to, DPRECEIVE_ALL, buffer, &size),
                 DPERR_NOMESSAGES);
    }

    void closingIsNoticedAtOnce() {
        const GUID app = NewGuid();
        Node host, guest;
        QCOMPARE(host.Host(app, 2), DP_OK);
        QCOMPARE(guest.Join(guest.Search(app).at(0)), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(host.SawCreated(guest.Id), 3000);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(guest.Transport.Close(), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(host.SawDestroyed(guest.Id), 1000);
        QVERIFY2(timer.elapsed() < 1000, "a closed session was not noticed at once");
        QCOMPARE(host.Players(), QList<DPID>{host.Id});
        // The room is free again.
        Node newcomer;
        QCOMPARE(newcomer.Join(newcomer.Search(app).at(0)), DP_OK);
    }

    void hostLeavingHandsTheSessionOver() {
        const GUID app = NewGuid();
        Node host, stayer;
        QCOMPARE(host.Host(app, 2, "KORVAMESH"), DP_OK);
        QCOMPARE(stayer.Join(stayer.Search(app).at(0)), DP_OK);
        const GUID instance = host.Transport.SessionDesc().guidInstance;
        const DPID oldHost = host.Id;
        host.Transport.Close();

        QTRY_VERIFY_WITH_TIMEOUT(stayer.SawDestroyed(oldHost), 2000);
        QTRY_VERIFY_WITH_TIMEOUT(stayer.Transport.IsHost(), 2000);
        QCOMPARE(stayer.Players(), QList<DPID>{stayer.Id});

        Node newcomer;
        QStringList names;
        const auto found = newcomer.Search(app, &names);
        QCOMPARE(found.size(), std::size_t(1));
        // Alone, it waits in a session of its own: the old host, should it
        // still be there after an outage, must see another session to join.
        QVERIFY2(found[0].guidInstance != instance, "the lone player kept the old instance");
        QCOMPARE(names, QStringList{"KORVAMESH"});
        QCOMPARE(found[0].dwFlags, 0x44u);
        QCOMPARE(newcomer.Join(found[0]), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(stayer.SawCreated(newcomer.Id), 3000);
        QCOMPARE(stayer.Players(), (QList<DPID>{stayer.Id, newcomer.Id}));
        QCOMPARE(newcomer.Players(), (QList<DPID>{stayer.Id, newcomer.Id}));
        QCOMPARE(newcomer.Send(stayer.Id, "after the move"), DP_OK);
        QTRY_COMPARE_WITH_TIMEOUT(stayer.MessageCount(), 1, 3000);
    }

    void threePlayersAndTheHostLeaves() {
        const GUID app = NewGuid();
        Node host, a, b;
        QCOMPARE(host.Host(app, 3), DP_OK);
        QCOMPARE(a.Join(a.Search(app).at(0)), DP_OK);
        QCOMPARE(b.Join(b.Search(app).at(0)), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(a.SawCreated(b.Id), 3000);
        QCOMPARE(a.Send(DPID_ALLPLAYERS, "to both"), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(host.MessageCount() == 1 && b.MessageCount() == 1, 3000);
        QCOMPARE(b.Messages[0].from, a.Id);

        host.Transport.Close();
        QTRY_VERIFY_WITH_TIMEOUT(a.SawDestroyed(host.Id) && b.SawDestroyed(host.Id), 2000);
        Node& newHost = a.Id < b.Id ? a : b;
        Node& other = a.Id < b.Id ? b : a;
        QTRY_VERIFY_WITH_TIMEOUT(newHost.Transport.IsHost(), 2000);
        const int before = newHost.MessageCount();
        // Sent while the other player may still be moving over: kept, not lost.
        QCOMPARE(other.Send(newHost.Id, "still here"), DP_OK);
        QTRY_COMPARE_WITH_TIMEOUT(newHost.MessageCount(), before + 1, 6000);
        QCOMPARE(newHost.Messages.back().data, QByteArray("still here"));
        QVERIFY2(!newHost.SawDestroyed(other.Id), "the third player was lost in the move");
    }

    void hostileInputChangesNothing() {
        const GUID app = NewGuid();
        Node host(QStringLiteral("127.255.255.255"));
        QCOMPARE(host.Host(app, 3), DP_OK);
        Node guest;
        QCOMPARE(guest.Join(guest.Search(app).at(0)), DP_OK);
        QTRY_VERIFY_WITH_TIMEOUT(host.SawCreated(guest.Id), 3000);
        const std::uint16_t port = host.Transport.SessionPort();

        const lanwire::WireGuid wireApp = Wire(app);
        QByteArray search = ToQ(lanwire::Encode(lanwire::Search{wireApp, 1, 0, {}}));
        QByteArray wrongMagic = search;
        wrongMagic[0] = 'W';
        QByteArray answer =
            ToQ(lanwire::Encode(lanwire::SessionInfo{1, {}, wireApp, 0, 2, 0, 1, "x", {}}));
        const QList<QByteArray> garbage{
            QByteArray(),
            QByteArray(1, '\0'),
            wrongMagic,
            search.left(12),
            search + "x",
            answer,
            QByteArray(2000, 'A'),
            Pattern(600, 3),
            ToQ(lanwire::Encode(lanwire::Send{0, 0, {}})),
        };
        SendRaw(0x7FFFFFFF, lanwire::kDiscoveryPort, garbage);
        SendRaw(0x7F000001, port, garbage);

        // A system that connects but never says hello is dropped; one that
        // sends a message without joining is dropped at once.
        RawEnetClient idle(port);
        QVERIFY(idle.WaitFor(ENET_EVENT_TYPE_CONNECT, 2000));
        RawEnetClient intruder(port);
        QVERIFY(intruder.WaitFor(ENET_EVENT_TYPE_CONNECT, 2000));
        const lanwire::Bytes injected{'e', 'v', 'i', 'l'};
        intruder.Send(
            lanwire::Encode(lanwire::Send{DPID_ALLPLAYERS, lanwire::kSendGuaranteed, injected}));
        intruder.Send(lanwire::Encode(lanwire::Deliver{guest.Id, host.Id, injected}));
        // A packet longer than any message is refused before it is put together.
        RawEnetClient flood(port);
        QVERIFY(flood.WaitFor(ENET_EVENT_TYPE_CONNECT, 2000));
        flood.Send(lanwire::Bytes(1 << 20, 'x'));
        QVERIFY2(intruder.WaitFor(ENET_EVENT_TYPE_DISCONNECT, 2000),
                 "a peer that had not joined was not dropped");
        QVERIFY2(idle.WaitFor(ENET_EVENT_TYPE_DISCONNECT, 6000),
                 "a half-finished handshake was kept");

        QCOMPARE(host.MessageCount(), 0);
        QCOMPARE(host.Players(), (QList<DPID>{host.Id, guest.Id}));
        QVERIFY(host.Destroyed.isEmpty());
        QCOMPARE(guest.Send(host.Id, "still fine"), DP_OK);
        QTRY_COMPARE_WITH_TIMEOUT(host.MessageCount(), 1, 3000);
        QCOMPARE(host.Messages[0].data, QByteArray("still fine"));
        Node late;
        QCOMPARE(late.Search(app).size(), std::size_t(1));
    }

    void dialogAsksWhereToSearch() {
        const GUID app = NewGuid();
        Node host;
        QCOMPARE(host.Host(app, 2), DP_OK);
        LanTransport searcher;
        QCOMPARE(searcher.InitializeConnection(QByteArray("LANTCP"), 0), DP_OK);

        // Cancel gives the cancel result and no sessions.
        QString title;
        QTimer::singleShot(0, [&] { Answer(&title, QString(), false); });
        int calls = 0;
        DPSESSIONDESC2 desc;
        desc.guidApplication = app;
        auto count = [&](const DPSESSIONDESC2* d, const QString&) {
            calls += d ? 1 : 0;
            return true;
        };
        QCOMPARE(searcher.EnumSessions(desc, 0, count, DPENUMSESSIONS_AVAILABLE), DPERR_USERCANCEL);
        QCOMPARE(title, QStringLiteral("セッションの場所"));
        QCOMPARE(calls, 0);

        // An address typed in and OK searches there, and is the one shown next.
        searcher.SetSessionAddress(QStringLiteral(" 10.0.0.9 "));
        QString shown;
        QTimer::singleShot(
            0, [&] { Answer(&title, QStringLiteral("127.255.255.255"), true, &shown); });
        QCOMPARE(searcher.EnumSessions(desc, 0, count, DPENUMSESSIONS_AVAILABLE), DP_OK);
        QCOMPARE(shown, QStringLiteral("10.0.0.9"));
        QCOMPARE(calls, 1);
        QCOMPARE(searcher.SessionAddress(), QStringLiteral("127.255.255.255"));

        // What is no address is not searched.
        QTimer::singleShot(0, [&] { Answer(&title, QStringLiteral("fe80::1"), true); });
        QCOMPARE(searcher.EnumSessions(desc, 0, count, DPENUMSESSIONS_AVAILABLE),
                 DPERR_INVALIDHOSTADDRESS);
        QCOMPARE(calls, 1);
    }

    // A name is looked up while the window goes on drawing, and a lookup that
    // hangs (a DNS server that drops every query) ends in "not found" at the bound.
    void namesLookedUpWithoutFreezing() {
        const struct {
            const char* name;
            int answerMs; // when the lookup answers; -1: never
            HRESULT result;
        } cases[] = {{"slow.example", 300, DP_OK}, {"dead-dns.example", -1, DPERR_HOSTNOTFOUND}};
        // Shared with lookup threads that may outlive this test.
        struct Gate {
            std::mutex mu;
            std::condition_variable released;
            bool release = false;
            std::atomic<int> delayMs{0};
        };
        const auto gate = std::make_shared<Gate>();
        lan::SetLookupOverride([gate](const std::string&, std::uint32_t* ipv4) {
            const int delay = gate->delayMs;
            std::unique_lock lock(gate->mu);
            gate->released.wait_for(lock, std::chrono::milliseconds(delay < 0 ? 60000 : delay),
                                    [&] { return gate->release; });
            *ipv4 = INADDR_LOOPBACK;
            return delay >= 0;
        });
        for (const auto& c : cases) {
            gate->delayMs = c.answerMs;
            LanTransport searcher;
            QCOMPARE(searcher.InitializeConnection(LanConnectionData(c.name), 0), DP_OK);
            int ticks = 0;
            QTimer ticker;
            QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
            ticker.start(50);
            DPSESSIONDESC2 desc;
            desc.guidApplication = NewGuid();
            QElapsedTimer clock;
            clock.start();
            QCOMPARE(searcher.EnumSessions(desc, 0, {}, DPENUMSESSIONS_AVAILABLE), c.result);
            const qint64 took = clock.elapsed();
            const qint64 lookup = c.answerMs < 0 ? lan::kLookupBound.count() : c.answerMs;
            QVERIFY2(took >= lookup - 50 && took < lookup + 1500,
                     qPrintable(QStringLiteral("%1: answered after %2 ms").arg(c.name).arg(took)));
            QVERIFY2(ticks >= lookup / 50 / 2,
                     qPrintable(QStringLiteral("%1: the window stood still (%2 ticks in %3 ms)")
                                    .arg(c.name)
                                    .arg(ticks)
                                    .arg(took)));
        }
        lan::SetLookupOverride({});
        std::lock_guard lock(gate->mu);
        gate->release = true;
        gate->released.notify_all();
    }

    // Resends stay 100 ms apart at most on a LAN and before the round trip is
    // measured; a longer measured round trip, with its variation or a margin,
    // is waited out before anything is sent again.
    void resendsFollowTheRoundTrip() {
        const struct {
            enet_uint32 heard, rtt, variance, cap;
        } cases[] = {{0, 500, 250, 100}, {1, 1, 1, 100},    {1, 60, 2, 100},
                     {1, 300, 2, 325},   {1, 300, 20, 380}, {1, 150, 50, 350}};
        for (const auto& c : cases) {
            ENetPeer peer{};
            peer.lastReceiveTime = c.heard;
            peer.roundTripTime = c.rtt;
            peer.roundTripTimeVariance = c.variance;
            QCOMPARE(lan::ResendCap(peer), c.cap);
        }
    }

    void typedAddresses() {
        const struct {
            const char* text;
            bool valid;
            const char* host;
            std::uint16_t port;
        } cases[] = {
            {"192.168.1.10", true, "192.168.1.10", lanwire::kDiscoveryPort},
            {"pc-02.example:50000", true, "pc-02.example", 50000},
            {"10.0.0.1:65535", true, "10.0.0.1", 65535},
            {"10.0.0.1:65536", false, "", 0},
            {"10.0.0.1:0", false, "", 0},
            {"10.0.0.1:", false, "", 0},
            {"10.0.0.1:12a", false, "", 0},
            {":43517", false, "", 0},
            {"my pc", false, "", 0},
            {"fe80::1", false, "", 0},
            {"", false, "", 0},
        };
        for (const auto& c : cases) {
            std::string host;
            std::uint16_t port = 0;
            QCOMPARE(lan::ParseHostAddress(c.text, &host, &port), c.valid);
            if (c.valid) {
                QCOMPARE(host, std::string(c.host));
                QCOMPARE(port, c.port);
            }
        }
        // What another player types: no loopback, no link-local addresses.
        for (std::uint32_t ipv4 : lan::LocalAddresses())
            QVERIFY((ipv4 >> 24) != 127 && (ipv4 >> 16) != 0xA9FE);
        QCOMPARE(lan::DottedIpv4(0x0A510102u), std::string("10.81.1.2"));
    }

private:
    // Finds the open dialog, types the address and confirms or cancels it.
    static void Answer(QString* title, const QString& address, bool ok, QString* shown = nullptr) {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<LanSessionDialog*>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            *title = dialog->windowTitle();
            if (shown)
                *shown = dialog->Address();
            dialog->AddressEdit->setText(address);
            QVERIFY(dialog->OkButton->isDefault());
            if (ok)
                QTest::keyClick(dialog->AddressEdit, Qt::Key_Return);
            else
                dialog->CancelButton->click();
            return;
        }
        QTimer::singleShot(10, [=] { Answer(title, address, ok, shown); });
    }
};

QTEST_MAIN(TestLanTransport)
#include "tst_lantransport.moc"
