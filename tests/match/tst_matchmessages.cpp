// Malformed match messages, sent over the loopback LAN by a bare session component
// and handed to the dispatcher directly; and a computer without a TCP connection.
#include "../net/ScriptedDirectPlay.h"
#include "MatchHarness.h"

#include "match/MyThread.h"
#include "platform/CodePage.h"

using namespace matchtest;

namespace {

QByteArray Bytes(const char* text) {
    return QByteArray(text);
}

// Everything a person could see change, and the state that decides the game.
QString Snapshot(const Program& p) {
    QStringList buttons;
    for (QPushButton* b : {p.p()->BUTTON1, p.p()->BUTTON2, p.p()->BUTTON3})
        buttons << (b->isVisible() ? b->text() : QStringLiteral("-"));
    return QStringList{p.Board(),
                       QString::number(p.f()->GRID->Turn),
                       QString::number(p.f()->MySide),
                       p.f()->OpponentName,
                       p.f()->Memo1->toPlainText(),
                       QString::number(p.p()->isVisible()),
                       QString::number(p.p()->Tag),
                       p.p()->Label1->text(),
                       buttons.join(QLatin1Char(',')),
                       QString::number(p.f()->isEnabled()),
                       QString::number(bool(p.f()->Image1->OnMouseUp)),
                       QString::number(p.PassNotices)}
        .join(QLatin1Char('|'));
}

// Messages that must change nothing, whatever state the receiver is in.
QList<QByteArray> Malformed() {
    QList<QByteArray> m = {
        QByteArray(),
        QByteArray(1, '\0'),
        Bytes("S"),
        Bytes("START"),
        Bytes("START "),
        Bytes("START 0"),
        Bytes("START 2"),
        Bytes("START -2"),
        Bytes("START 11"),
        Bytes("START 1x"),
        Bytes("START x"),
        Bytes("START -"),
        QByteArray("START 0\0 1", 10),
        Bytes("START \xff\xfe"),
        Bytes("PUTOK"),
        Bytes("PUTOK "),
        Bytes("PUTOK 0"),
        Bytes("PUTOK 03"),
        Bytes("PUTOK 030"),
        Bytes("PUTOK 0a05"),
        Bytes("PUTOK 05x4"),
        Bytes("PUTOK 0900"),
        Bytes("PUTOK 0009"),
        Bytes("PUTOK 0000"),
        Bytes("PUTOK 9999"),
        Bytes("PUTOK -105"),
        Bytes("PUTOK  305"),
        Bytes("PUTOK 3 5 "),
        Bytes("PUTOK +3+5"),
        Bytes("PUTOK \xef\xbc\x90\xef\xbc\x93\xef\xbc\x90\xef\xbc\x95"), // full-width 0305
        Bytes("PUTOK \xff\xff\xff\xff"),
        QByteArray("PUTOK 03\0"
                   "05",
                   11),
        Bytes("PASS"),
        Bytes("PASS "),
        Bytes("pass  "),
        Bytes("RETRY"),
        Bytes("retry "),
        Bytes("CHAT "),
        Bytes("NAME "),
        Bytes("chat  hello"),
        Bytes("\xff\xfe\xfd\xfc\xfb\xfa\xf9"),
        Bytes("\xc3\x28\xa0\xa1\xe2\x28\xa1"),
        Bytes("\xf0\x28\x8c\xbc PUTOK 0305"),
    };
    // Random bytes of every length up to 40 from a fixed seed, unless they
    // happen to begin with a command.
    std::mt19937 rng(7);
    for (int i = 0; i < 120; ++i) {
        QByteArray b(static_cast<qsizetype>(rng() % 41), '\0');
        for (char& c : b)
            c = static_cast<char>(rng() & 0xFF);
        const QString text = platform::FromSystemCodePage(b.constData(), b.size());
        const QString command = text.left(6);
        if (command != QStringLiteral("START ") && command != QStringLiteral("PUTOK ") &&
            command != QStringLiteral("PASS  ") && command != QStringLiteral("RETRY ") &&
            command != QStringLiteral("CHAT  ") && command != QStringLiteral("NAME  "))
            m << b;
    }
    return m;
}

QString Printable(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toPercentEncoding(" "));
}

} // namespace

class MatchMessagesTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Bench> bench;
    // A bare session component that hosts the session the program joins.
    std::unique_ptr<TLanx> raw;
    QList<QByteArray> rawReceived;

    void HostBare() {
        raw = std::make_unique<TLanx>(nullptr);
        raw->SetAppGuid(bench->AppGuid);
        raw->SetMaxPlayers(2);
        raw->OnArriveMessage = [this](TLanx*, TLanxPlayer*, const void* data, std::uint32_t size) {
            rawReceived << QByteArray(static_cast<const char*>(data), size);
        };
        raw->Loaded();
        {
            // The search dialog is confirmed as in the game.
            TMyThread confirm;
            QCOMPARE(raw->Connect(0), DP_OK);
        }
        QCOMPARE(raw->Sessions().Count(), 0);
        QCOMPARE(raw->CreateSession(QStringLiteral("KORVAMESH"), QStringLiteral("ロー"),
                                    QStringLiteral("ロー")),
                 DP_OK);
    }

    // The messages, all over the wire and then each handed straight to the
    // dispatcher, leave the program as it was.
    void ExpectNoChange(Program& p, const QString& state) {
        const QString before = Snapshot(p);
        const QList<QByteArray> messages = Malformed();
        const qsizetype received = p.Received.size();
        for (const QByteArray& m : messages)
            raw->SendData(0, m.constData(), static_cast<std::uint32_t>(m.size()));
        QTRY_COMPARE_WITH_TIMEOUT(p.Received.size(), received + messages.size(), kWaitMs);
        QCOMPARE(p.Received.mid(received), messages);
        QVERIFY2(Snapshot(p) == before,
                 qPrintable(state + ": the messages sent changed the program"));
        for (const QByteArray& m : messages) {
            p.f()->Lanx1ArriveMessage(p.f()->Lanx1, nullptr, m.constData(),
                                      static_cast<std::uint32_t>(m.size()));
            QVERIFY2(Snapshot(p) == before,
                     qPrintable(state + ": \"" + Printable(m) + "\" changed the program"));
        }
    }

private slots:
    void initTestCase() { GRIDSIZE = 8; }
    void init() {
        bench = std::make_unique<Bench>();
        rawReceived.clear();
    }
    void cleanup() {
        raw.reset();
        SetDirectPlayFactory(nullptr);
        const int halts = bench->Halts;
        bench.reset();
        QVERIFY2(halts == 0, "a failed session operation would have ended the program");
    }

    // Malformed, cut-short, empty, invalid UTF-8 and random messages change
    // nothing, while choosing and while playing; well-formed ones still work.
    void malformedMessagesChangeNothing() {
        CHECKED(HostBare());
        Program& A = bench->Add(QStringLiteral("アキ"));
        A.Start();
        QTRY_VERIFY_WITH_TIMEOUT(A.InChoice(), kWaitMs);
        QCOMPARE(A.f()->OpponentName, QStringLiteral("ロー"));
        CHECKED(ExpectNoChange(A, QStringLiteral("choosing")));

        raw->SendData(0, "START 1", 8);
        QTRY_VERIFY_WITH_TIMEOUT(A.Idle() && A.f()->MySide == -1, kWaitMs);
        CHECKED(ExpectNoChange(A, QStringLiteral("playing")));

        // The first player's move still arrives and hands the turn over.
        boardtest::FakeHost host;
        TGRID model(GRIDSIZE, &host);
        const TCellPos move = LegalSquares(model, +1).front();
        const QByteArray putok = QStringLiteral("PUTOK %1%2")
                                     .arg(move.Col, 2, 10, QLatin1Char('0'))
                                     .arg(move.Row, 2, 10, QLatin1Char('0'))
                                     .toUtf8();
        raw->SendData(0, putok.constData(), static_cast<std::uint32_t>(putok.size() + 1));
        QTRY_VERIFY_WITH_TIMEOUT(A.MayMove(), kWaitMs);
        ApplyMove(model, +1, move.Col, move.Row);
        QCOMPARE(A.Board(), Position(model));
        QCOMPARE(
            A.LastLogLines(2),
            QStringLiteral("相手は%1  %2におきました|あなたの番です").arg(move.Col).arg(move.Row));
        CHECKED(ExpectNoChange(A, QStringLiteral("to move")));

        // The local answer leaves with its exact bytes, after the program's id,
        // which it sent as the pairing began and this bare peer ignores.
        const TCellPos reply = LegalSquares(model, -1).front();
        CHECKED(A.Click(reply.Col, reply.Row));
        QTRY_COMPARE_WITH_TIMEOUT(rawReceived.size(), 2, kWaitMs);
        QVERIFY(rawReceived.at(0).startsWith("IDENT ") && rawReceived.at(0).size() == 6 + 32 + 1);
        QCOMPARE(rawReceived.at(1), QStringLiteral("PUTOK %1%2")
                                            .arg(reply.Col, 2, 10, QLatin1Char('0'))
                                            .arg(reply.Row, 2, 10, QLatin1Char('0'))
                                            .toUtf8() +
                                        '\0');
    }

    // Text that is not valid UTF-8 in a chat line or a name arrives with
    // replacement characters; a payload is cut at its first zero byte, and one
    // longer than this side's own field takes is cut there, with a log line.
    void chatAndNamePayloads_data() {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("opponent");
        QTest::addColumn<QString>("lastLog");
        const QString chat = QStringLiteral("あ").repeated(TForm1::kMaxChatLength);
        const QString name = QStringLiteral("名").repeated(TForm1::kMaxNameLength);
        const QString heard = QStringLiteral("「」");
        QTest::newRow("empty chat")
            << QByteArray("CHAT  ") << QStringLiteral("「」") << QStringLiteral("ロー") << heard;
        QTest::newRow("chat cut at zero")
            << QByteArray("CHAT  ab\0cd", 11) << QStringLiteral("「ab」") << QStringLiteral("ロー")
            << QStringLiteral("「ab」");
        QTest::newRow("invalid chat") << QByteArray("CHAT  \xff!") << QStringLiteral("「\uFFFD!」")
                                      << QStringLiteral("ロー") << QStringLiteral("「\uFFFD!」");
        QTest::newRow("invalid name")
            << QByteArray("NAME  \xc3(") << QStringLiteral("\uFFFD(") << QStringLiteral("\uFFFD(")
            << QStringLiteral("あたらしい名前「\uFFFD(」");
        QTest::newRow("empty name") << QByteArray("NAME  ") << QStringLiteral("あたらしい名前 ")
                                    << QString() << QStringLiteral("あたらしい名前「」");
        QTest::newRow("chat too long")
            << "CHAT  " + (chat + QStringLiteral("いう")).toUtf8() << "「" + chat + "」"
            << QStringLiteral("ロー")
            << QStringLiteral("長すぎるメッセージなので、はじめの%1文字だけを表示しました")
                   .arg(TForm1::kMaxChatLength);
        QTest::newRow("name too long")
            << "NAME  " + (name + QStringLiteral("前")).toUtf8()
            << QStringLiteral("あたらしい名前 ") + name << name
            << QStringLiteral("長すぎる名前なので、はじめの%1文字だけを使います")
                   .arg(TForm1::kMaxNameLength);
    }
    void chatAndNamePayloads() {
        QFETCH(QByteArray, message);
        QFETCH(QString, label);
        QFETCH(QString, opponent);
        QFETCH(QString, lastLog);
        CHECKED(HostBare());
        Program& A = bench->Add(QStringLiteral("アキ"));
        A.Start();
        QTRY_VERIFY_WITH_TIMEOUT(A.InChoice(), kWaitMs);
        raw->SendData(0, message.constData(), static_cast<std::uint32_t>(message.size()));
        QTRY_VERIFY_WITH_TIMEOUT(A.InNotice(), kWaitMs);
        QVERIFY2(A.p()->Label1->text().endsWith(label), qPrintable(A.p()->Label1->text()));
        QCOMPARE(A.f()->OpponentName, opponent);
        QCOMPARE(A.LastLogLines(1), lastLog);
    }

    // A join that fails (the session closed, or the network lost it) is not
    // the end: the program hosts instead and waits, without a word.
    void failedJoinHostsInstead() {
        auto script = std::make_shared<DpScript>();
        script->sessions = {{QStringLiteral("KORVAMESH"), DPSESSIONDESC2{}}};
        script->FailNext(QStringLiteral("Open"), DPERR_TIMEOUT);
        InstallScript(script);
        Program& A = bench->Add(QStringLiteral("アキ"));
        A.Start();
        QVERIFY2(bench->Boxes.isEmpty(), qPrintable(bench->Boxes.join('|')));
        QCOMPARE(A.LastLogLines(1), QStringLiteral("待機中"));
        QVERIFY(A.Idle() && A.f()->isVisible());
        QCOMPARE(
            script->Calls().filter(QStringLiteral("Open ")),
            (QStringList{QStringLiteral("Open 1 name="), QStringLiteral("Open 2 name=KORVAMESH")}));
    }

    // An opponent not heard for a while, and heard again: one log line each,
    // and nothing else changes.
    void silenceAndReturnAreLogged() {
        auto script = std::make_shared<DpScript>();
        InstallScript(script);
        Program& A = bench->Add(QStringLiteral("アキ"));
        A.Start();
        script->QueueSystem(DPSYS_CREATEPLAYERORGROUP, 0x7001, QStringLiteral("ベン"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(A.InChoice(), kWaitMs);
        CHECKED(A.Choose(+1));
        const QString board = A.Board();
        script->QueueSystem(DPSYS_PLAYERSILENT, 0x7001, QStringLiteral("ベン"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(
            A.LastLogLines(1),
            QStringLiteral("相手との通信が途切れています。つながるのを待っています"), kWaitMs);
        script->QueueSystem(DPSYS_PLAYERHEARD, 0x7001, QStringLiteral("ベン"), QString());
        QTRY_COMPARE_WITH_TIMEOUT(A.LastLogLines(1), QStringLiteral("相手との通信がもどりました"),
                                  kWaitMs);
        QVERIFY(A.MayMove());
        QCOMPARE(A.Board(), board);
    }

    // A failure that still ends the program says what failed first.
    void failureThatEndsTheProgramSaysWhy() {
        auto script = std::make_shared<DpScript>();
        script->FailNext(QStringLiteral("Open"), DPERR_GENERIC);
        InstallScript(script);
        Program& A = bench->Add(QStringLiteral("アキ"));
        A.Start();
        QCOMPARE(bench->Halts, 1);
        QCOMPARE(bench->Boxes, QStringList{QStringLiteral(
                                   "通信に失敗したため、終了します。\r\n\r\n"
                                   "セッションのオープンに失敗しました(Error Code(80004005))")});
        bench->Halts = 0; // seen: the halt was the point here
    }

    // Without a connection whose name contains "TCP" the program says it
    // cannot run here and closes without asking.
    void noTcpConnection() {
        auto script = std::make_shared<DpScript>();
        script->connections = {{QStringLiteral("Modem"), "modem"}, {QStringLiteral("IPX"), "ipx"}};
        InstallScript(script);
        Program& A = bench->Add(QStringLiteral("アキ"));
        A.Start();
        QCOMPARE(bench->Boxes,
                 QStringList{QStringLiteral("このコンピューターでは実行出来ません。\r\n\r\n"
                                            "　　　　　　　　　Error 1")});
        QCOMPARE(A.p()->BUTTON3->text(), QStringLiteral("終了"));
        QVERIFY2(!A.f()->isVisible(), "the main window must close");
        for (const QString& call : script->Calls())
            QVERIFY2(!call.startsWith(QStringLiteral("InitializeConnection")),
                     qPrintable("no connection may be tried: " + call));
    }
};

QTEST_MAIN(MatchMessagesTest)
#include "tst_matchmessages.moc"
