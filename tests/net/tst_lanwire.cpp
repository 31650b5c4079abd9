// Tests of the LAN wire format: every message survives a round trip, and
// malformed input of every kind is rejected by the parsers.
#include "net/DirectPlay.h"
#include "net/LanDiscovery.h"
#include "net/LanWire.h"

#include <QTest>
#include <cstring>

using namespace lanwire;

Q_DECLARE_METATYPE(lanwire::Bytes)

namespace {

WireGuid Guid(std::uint8_t seed) {
    WireGuid g{};
    for (std::size_t i = 0; i < g.size(); ++i)
        g[i] = static_cast<std::uint8_t>(seed + i);
    return g;
}

Bytes FromText(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes Header(std::uint8_t type) {
    return Bytes{'V', 'L', 'T', 'Y', kVersion, type, 0, 0};
}

template <typename T> T ParsedAs(const Bytes& bytes) {
    const auto parsed = ParseSession(bytes);
    if (!parsed || !std::holds_alternative<T>(*parsed))
        qFatal("message did not parse back as its own type");
    return std::get<T>(*parsed);
}

} // namespace

class TestLanWire : public QObject {
    Q_OBJECT
private slots:
    void discoveryRoundTrip() {
        const Search search{Guid(1), 0xDEADBEEF, kSearchAvailableOnly, {}};
        const auto parsed = ParseDiscovery(Encode(search));
        QVERIFY(parsed && std::holds_alternative<Search>(*parsed));
        QCOMPARE(std::get<Search>(*parsed).nonce, 0xDEADBEEFu);
        QVERIFY(std::get<Search>(*parsed).application == Guid(1));

        SessionInfo info{7, Guid(2), Guid(3), 0x44, 2, 1, 5000, "KORVAMESH", {}};
        const auto back = ParseDiscovery(Encode(info));
        QVERIFY(back && std::holds_alternative<SessionInfo>(*back));
        const auto& got = std::get<SessionInfo>(*back);
        QCOMPARE(got.name, std::string("KORVAMESH"));
        QCOMPARE(got.port, std::uint16_t(5000));
        QCOMPARE(got.maxPlayers, 2u);
        QVERIFY(got.instance == Guid(2) && got.application == Guid(3) && !got.tag);

        // Tags: a search's tagged Search and plain twin, and the answer to it.
        const auto [tagged, twin] = lan::SearchDatagrams(search, Guid(7));
        info.tag = Guid(8);
        const Bytes gone = Encode(Gone{});
        QCOMPARE(gone.size(), kHeaderSize);
        for (const Bytes& bytes : {tagged, twin, Encode(info), gone}) {
            const auto m = ParseDiscovery(bytes);
            QVERIFY(m && std::visit([](const auto& x) { return Encode(x); }, *m) == bytes);
        }
        QCOMPARE(tagged.size(), std::size_t(48));
        QVERIFY(std::get<Search>(*ParseDiscovery(tagged)).tag == Guid(7));
        QCOMPARE(std::get<Search>(*ParseDiscovery(twin)).flags,
                 kSearchAvailableOnly | kSearchHasTaggedTwin);
        QVERIFY(std::get<SessionInfo>(*ParseDiscovery(Encode(info))).tag == Guid(8));
        // Session messages are not discovery messages and the other way round.
        QVERIFY(!ParseSession(Encode(search)));
        QVERIFY(!ParseDiscovery(Encode(Hello{Guid(1), Guid(2)})));
    }

    void sessionRoundTrip() {
        const PlayerEntry host{0x11, "ホスト", "long name", 0x7F000001, 4000, true};
        const PlayerEntry guest{0x22, "guest", "", 0x0A4D0002, 4001, false};
        Welcome welcome{Guid(4), Guid(5), 0x4C, 2, "", {host, guest}};
        const auto w = ParsedAs<Welcome>(Encode(welcome));
        QCOMPARE(w.players.size(), std::size_t(2));
        QVERIFY(w.players[0] == host && w.players[1] == guest);
        QCOMPARE(w.flags, 0x4Cu);

        QCOMPARE(ParsedAs<Rejoin>(Encode(Rejoin{Guid(1), Guid(2), 99})).id, 99u);
        QCOMPARE(ParsedAs<Refuse>(Encode(Refuse{RefuseReason::Full})).reason, RefuseReason::Full);
        QCOMPARE(ParsedAs<CreatePlayer>(Encode(CreatePlayer{"a", "b"})).longName, std::string("b"));
        QVERIFY(ParsedAs<PlayerAdded>(Encode(PlayerAdded{guest})).player == guest);
        QCOMPARE(ParsedAs<YourPlayer>(Encode(YourPlayer{5})).id, 5u);
        QCOMPARE(ParsedAs<PlayerRemoved>(Encode(PlayerRemoved{6})).id, 6u);

        const Bytes payload{0, 1, 2, 0, 255};
        const auto sent = Encode(Send{0, kSendGuaranteed, payload});
        const auto s = ParsedAs<Send>(sent);
        QCOMPARE(Bytes(s.payload.begin(), s.payload.end()), payload);
        const auto d = ParsedAs<Deliver>(Encode(Deliver{3, 0, {}}));
        QCOMPARE(d.from, 3u);
        QVERIFY(d.payload.empty());
    }

    void malformedIsRejected_data() {
        QTest::addColumn<Bytes>("bytes");
        const Bytes hello = Encode(Hello{Guid(1), Guid(2)});
        Bytes wrongMagic = hello;
        wrongMagic[0] = 'X';
        Bytes wrongVersion = hello;
        wrongVersion[4] = kVersion + 1;
        Bytes reservedSet = hello;
        reservedSet[6] = 1;
        const Bytes truncated(hello.begin(), hello.end() - 1);
        Bytes trailing = hello;
        trailing.push_back(0);
        Bytes unknownType = Header(0x7F);

        auto withName = [](Bytes name) {
            Bytes b = Header(static_cast<std::uint8_t>(Type::CreatePlayer));
            b.push_back(static_cast<std::uint8_t>(name.size()));
            b.push_back(static_cast<std::uint8_t>(name.size() >> 8));
            b.insert(b.end(), name.begin(), name.end());
            b.insert(b.end(), {0, 0}); // empty long name
            return b;
        };
        Bytes nameTooLong = withName(Bytes(kMaxNameBytes + 1, 'a'));
        Bytes nameLengthPastEnd = withName(FromText("abc"));
        nameLengthPastEnd[8] = 200;
        Bytes welcomeCountTooBig = Header(static_cast<std::uint8_t>(Type::Welcome));
        welcomeCountTooBig.resize(welcomeCountTooBig.size() + 32 + 8 + 2, 0);
        welcomeCountTooBig.push_back(0xFF);
        welcomeCountTooBig.push_back(0xFF);
        const PlayerEntry p{9, "x", "y", 0, 0, false};
        Bytes duplicateIds = Encode(Welcome{Guid(1), Guid(2), 0, 2, "", {p, p}});
        Bytes badOwnedFlag = Encode(PlayerAdded{p});
        badOwnedFlag.back() = 2;

        const Bytes tagged = lan::SearchDatagrams(Search{Guid(1), 1, 0, {}}, Guid(2))[0];
        Bytes answer = Encode(SessionInfo{1, Guid(1), Guid(2), 0, 2, 0, 9, "", Guid(3)});
        QTest::newRow("tagged search without the tag") << Bytes(tagged.begin(), tagged.end() - 16);
        QTest::newRow("search tag cut short") << Bytes(tagged.begin(), tagged.end() - 1);
        QTest::newRow("answer tag cut short") << Bytes(answer.begin(), answer.end() - 1);
        answer.push_back(0);
        QTest::newRow("answer tag and a byte more") << answer;

        QTest::newRow("empty") << Bytes{};
        QTest::newRow("header only, no type") << Bytes{'V', 'L', 'T', 'Y', kVersion};
        QTest::newRow("wrong magic") << wrongMagic;
        QTest::newRow("wrong version") << wrongVersion;
        QTest::newRow("reserved bytes set") << reservedSet;
        QTest::newRow("truncated") << truncated;
        QTest::newRow("trailing byte") << trailing;
        QTest::newRow("unknown type") << unknownType;
        QTest::newRow("name over the limit") << nameTooLong;
        QTest::newRow("name length past the end") << nameLengthPastEnd;
        QTest::newRow("NUL inside a name") << withName(Bytes{'a', 0, 'b'});
        QTest::newRow("invalid UTF-8") << withName(Bytes{0xC3, 0x28});
        QTest::newRow("overlong UTF-8") << withName(Bytes{0xC0, 0xAF});
        QTest::newRow("UTF-8 surrogate") << withName(Bytes{0xED, 0xA0, 0x80});
        QTest::newRow("UTF-8 cut short") << withName(Bytes{0xE3, 0x81});
        QTest::newRow("player count over the limit") << welcomeCountTooBig;
        QTest::newRow("player listed twice") << duplicateIds;
        QTest::newRow("owner flag not 0 or 1") << badOwnedFlag;
        QTest::newRow("player id 0") << Encode(YourPlayer{0});
        QTest::newRow("player id all ones") << Encode(PlayerRemoved{0xFFFFFFFFu});
        QTest::newRow("deliver from nobody") << Encode(Deliver{0, 0, {}});
        QTest::newRow("send with unknown flag") << Encode(Send{0, 0x80, {}});
        QTest::newRow("refuse with unknown reason") << Encode(Refuse{RefuseReason(9)});
        QTest::newRow("text") << FromText("GET / HTTP/1.0\r\n\r\n");
    }

    void malformedIsRejected() {
        QFETCH(Bytes, bytes);
        QVERIFY2(!ParseSession(bytes), "a malformed session packet was accepted");
        QVERIFY2(!ParseDiscovery(bytes), "a malformed datagram was accepted");
    }

    void discoveryLimits() {
        SessionInfo info{1, Guid(1), Guid(2), 0, 2, 0, 0, "x", {}};
        QVERIFY2(!ParseDiscovery(Encode(info)), "an answer with session port 0 was accepted");
        Bytes big = Encode(Search{Guid(1), 1, 0, {}});
        big.resize(kMaxDatagram + 1);
        QVERIFY(!ParseDiscovery(big));
    }

    void payloadLimit() {
        const Bytes atLimit(kMaxPayload, 0x5A);
        QVERIFY(ParseSession(Encode(Send{0, 0, atLimit})));
        const Bytes over(kMaxPayload + 1, 0x5A);
        QVERIFY2(!ParseSession(Encode(Send{0, 0, over})), "an oversized message was accepted");
    }

    void namesAreFittedForSending() {
        // A long Japanese name is cut at a character boundary, never inside one.
        std::string name;
        for (int i = 0; i < 100; ++i)
            name += "あ";
        const std::string fitted = FitName(name);
        QVERIFY(fitted.size() <= kMaxNameBytes);
        QCOMPARE(fitted.size() % 3, std::size_t(0));
        QVERIFY(IsValidName(fitted));
        QCOMPARE(FitName(std::string("a\0b", 3)), std::string("ab"));
        QCOMPARE(FitName("\xC3\x28"), std::string());
    }

    void systemMessages_data() {
        QTest::addColumn<QString>("shortName");
        QTest::addColumn<QString>("longName");
        QTest::newRow("both") << QStringLiteral("たろう") << QStringLiteral("long");
        QTest::newRow("empty names") << QString() << QString();
    }

    void systemMessages() {
        QFETCH(QString, shortName);
        QFETCH(QString, longName);
        const QByteArray bytes =
            MakeSystemMessage(DPSYS_CREATEPLAYERORGROUP, 0x01020304, DPNAME{shortName, longName});
        QCOMPARE(bytes.left(8), QByteArray("\x03\0\0\0\x04\x03\x02\x01", 8));
        std::uint32_t type = 0;
        DPID id = 0;
        DPNAME name;
        QVERIFY(ReadSystemMessage(bytes, &type, &id, &name));
        QCOMPARE(type, DPSYS_CREATEPLAYERORGROUP);
        QCOMPARE(id, DPID(0x01020304));
        QCOMPARE(name.ShortName, shortName);
        QCOMPARE(name.LongName, longName);
    }

    void systemMessageReading() {
        std::uint32_t type = 0;
        DPID id = 0;
        DPNAME name{QStringLiteral("old"), QStringLiteral("old")};
        QVERIFY(!ReadSystemMessage(QByteArray("\x05\0\0", 3), &type, &id, &name));
        QVERIFY2(!ReadSystemMessage(QByteArray("\x05\0\0\0\x01\0\0\0abc", 11), &type, &id, &name),
                 "an unterminated name was accepted");
        QVERIFY(ReadSystemMessage(QByteArray("\x31\0\0\0\0\0\0\0", 8), &type, &id, &name));
        QCOMPARE(type, DPSYS_SESSIONLOST);
        QVERIFY(name.ShortName.isEmpty() && name.LongName.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLanWire)
#include "tst_lanwire.moc"
