// The match flow between programs over the loopback LAN: simultaneous choices,
// chat and name changes, notices over popups, the opponent leaving, a newcomer.
#include "MatchHarness.h"

#include "net/LanRouter.h"
#include "net/LanSessionDialog.h"
#include "settings/Unit4.h"

#include <QMenu>
#include <QMouseEvent>
#include <QScopeGuard>

#include <mutex>

using namespace matchtest;

namespace {

QByteArray Wire(const QString& text) {
    return text.toUtf8() + '\0';
}

QStringList StartsIn(const Program& p) {
    QStringList out;
    for (const QByteArray& m : p.Received)
        if (m.startsWith("START "))
            out << QString::fromUtf8(m.constData());
    return out;
}

// A game of plies moves from the start position: prefix first, then the
// first legal square of the side to move each time.
Game Continuation(const std::vector<Move>& prefix, int plies) {
    boardtest::FakeHost host;
    TGRID g(GRIDSIZE, &host);
    Game game;
    int side = +1;
    for (const Move& m : prefix) {
        ApplyMove(g, m.side, m.c, m.r);
        game.moves.push_back(m);
        game.after.push_back(Position(g));
        side = -m.side;
    }
    for (int i = 0; i < plies; ++i) {
        std::vector<TCellPos> legal = LegalSquares(g, side);
        if (legal.empty())
            break;
        ApplyMove(g, side, legal[0].Col, legal[0].Row);
        game.moves.push_back({side, legal[0].Col, legal[0].Row});
        game.after.push_back(Position(g));
        side = -side;
    }
    return game;
}

// The first player's opening squares, in board order.
std::vector<TCellPos> Openings() {
    boardtest::FakeHost host;
    TGRID g(GRIDSIZE, &host);
    return LegalSquares(g, +1);
}

// Acts on the session-location dialog as soon as it is the modal window, from
// within the event loop it runs.
void WhenDialogShows(std::function<void(LanSessionDialog&)> act) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (auto* dialog = qobject_cast<LanSessionDialog*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            act(*dialog);
        }
    });
    poll->start();
}

void TypeInDialog(const QString& address) {
    WhenDialogShows([address](LanSessionDialog& dialog) {
        dialog.AddressEdit->setText(address);
        dialog.OkButton->click();
    });
}

} // namespace

class MatchFlowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Bench> bench;

private slots:
    void initTestCase() { GRIDSIZE = 8; }
    void init() { bench = std::make_unique<Bench>(); }
    void cleanup() {
        const int halts = bench->Halts;
        bench.reset();
        QVERIFY2(halts == 0, "a failed session operation would have ended the program");
    }

    // Both players choose before either choice arrives, and the first player(s)
    // may already have moved. The host's choice stands: the two programs end
    // with opposite sides and the same board, and play goes on.
    void simultaneousChoices_data() {
        QTest::addColumn<int>("hostSide");
        QTest::addColumn<int>("guestSide");
        QTest::addColumn<bool>("hostMoves");
        QTest::addColumn<bool>("guestMoves");
        QTest::newRow("both first") << +1 << +1 << false << false;
        QTest::newRow("both first, host moved") << +1 << +1 << true << false;
        QTest::newRow("both first, guest moved") << +1 << +1 << false << true;
        QTest::newRow("both first, both moved") << +1 << +1 << true << true;
        QTest::newRow("host first, guest second") << +1 << -1 << false << false;
        QTest::newRow("host first and moved, guest second") << +1 << -1 << true << false;
        QTest::newRow("host second, guest first") << -1 << +1 << false << false;
        QTest::newRow("host second, guest first and moved") << -1 << +1 << false << true;
        QTest::newRow("both second") << -1 << -1 << false << false;
    }
    void simultaneousChoices() {
        QFETCH(int, hostSide);
        QFETCH(int, guestSide);
        QFETCH(bool, hostMoves);
        QFETCH(bool, guestMoves);
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        const std::vector<TCellPos> open = Openings();
        const Move hostMove{+1, open[0].Col, open[0].Row};
        const Move guestMove{+1, open[1].Col, open[1].Row};

        // Everything either side sends now is still on the wire.
        H.CloseGate();
        G.CloseGate();
        CHECKED(H.Choose(hostSide));
        CHECKED(G.Choose(guestSide));
        const int hLog = H.Log().size();
        const int gLog = G.Log().size();
        if (hostMoves)
            CHECKED(H.Click(hostMove.c, hostMove.r));
        if (guestMoves)
            CHECKED(G.Click(guestMove.c, guestMove.r));
        QTRY_VERIFY_WITH_TIMEOUT(H.HeldCount() == 1 + guestMoves && G.HeldCount() == 1 + hostMoves,
                                 kWaitMs);
        H.OpenGate();
        G.OpenGate();

        // The guest takes the side opposite the host's and says so once more.
        QTRY_VERIFY2_WITH_TIMEOUT(StartsIn(H).size() == 2 && H.Idle() && G.Idle(),
                                  "the guest must acknowledge the host's choice", kWaitMs);
        QCOMPARE(StartsIn(H).last(), QStringLiteral("START %1").arg(-hostSide));
        QCOMPARE(StartsIn(G), QStringList{QStringLiteral("START %1").arg(hostSide)});
        QCOMPARE(H.f()->MySide, hostSide);
        QCOMPARE(G.f()->MySide, -hostSide);

        // The host's move stands when the host moves first; the guest's early
        // move was made in a game that never was.
        std::vector<Move> prefix;
        if (hostMoves && hostSide == +1)
            prefix.push_back(hostMove);
        const Game game = Continuation(prefix, 3);
        const QString expected = prefix.empty() ? StartPosition() : game.after[0];
        QTRY_COMPARE_WITH_TIMEOUT(G.Board(), expected, kWaitMs);
        QCOMPARE(H.Board(), expected);

        // No second announcement and no second turn on the host.
        for (const QString& line : H.Log().mid(hLog))
            QVERIFY2(!line.startsWith(QStringLiteral("相手が")),
                     qPrintable("the host announced a choice: " + line));
        QVERIFY(G.Log().mid(gLog).contains(
            QStringLiteral("相手が") +
            (hostSide > 0 ? QStringLiteral("先攻") : QStringLiteral("後攻")) +
            QStringLiteral("を選びました")));

        Program& first = hostSide > 0 ? H : G;
        Program& second = hostSide > 0 ? G : H;
        CHECKED(PlayMoves(first, second, game, prefix.size(), game.moves.size()));
    }

    // The host's choice arrives while the guest's own early move is still
    // being animated: it is handled once the move is done.
    void choiceArrivingDuringTheGuestsMove_data() {
        QTest::addColumn<int>("hostSide");
        QTest::newRow("host first") << +1;
        QTest::newRow("host second") << -1;
    }
    void choiceArrivingDuringTheGuestsMove() {
        QFETCH(int, hostSide);
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        G.CloseGate();
        CHECKED(H.Choose(hostSide));
        CHECKED(G.Choose(+1));
        QTRY_COMPARE_WITH_TIMEOUT(G.HeldCount(), 1, kWaitMs);
        const std::vector<TCellPos> open = Openings();
        bool opened = false;
        bench->OnNextSleep = [&] {
            opened = true;
            G.OpenGate();
        };
        CHECKED(G.Click(open[1].Col, open[1].Row));
        QVERIFY2(opened, "the move was not animated");

        QTRY_VERIFY2_WITH_TIMEOUT(StartsIn(H).size() == 2 && H.Idle() && G.Idle(),
                                  "the guest must acknowledge the host's choice", kWaitMs);
        QCOMPARE(G.f()->MySide, -hostSide);
        QCOMPARE(G.Board(), StartPosition());
        QCOMPARE(H.Board(), StartPosition());
        Program& first = hostSide > 0 ? H : G;
        Program& second = hostSide > 0 ? G : H;
        QVERIFY2(first.MayMove(), "the first player must be able to move");
        QVERIFY(!second.MayMove());
        const Game game = Continuation({}, 2);
        CHECKED(PlayMoves(first, second, game, 0, game.moves.size()));
    }

    // Chat lines sent with Enter and with a double click arrive exactly, as
    // notices with their log lines; Enter in an empty box sends nothing.
    void chat() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(H, +1, G));

        // A canned phrase ending in a blank, picked from the list.
        G.f()->EDIT1->setCurrentIndex(8);
        const QString phrase = QStringLiteral("この勝負もらった ");
        QCOMPARE(G.f()->EDIT1->currentText(), phrase);
        QTest::keyClick(G.f()->EDIT1, Qt::Key_Return);
        QCOMPARE(G.Log().constLast(), QStringLiteral("\"この勝負もらった \"を送信しました"));
        QVERIFY(G.f()->EDIT1->currentText().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(H.InNotice(), kWaitMs);
        QCOMPARE(H.Received.constLast(), Wire(QStringLiteral("CHAT  ") + phrase));
        QCOMPARE(H.Received.constLast().size(), phrase.toUtf8().size() + 7);
        QCOMPARE(
            H.p()->Label1->text(),
            QStringLiteral("ゲンさんからの\r\nメッセージを受信しました\r\n「この勝負もらった 」"));
        QCOMPARE(H.LastLogLines(2),
                 QStringLiteral("ゲンさんからのメッセージを受信しました|「この勝負もらった 」"));
        CHECKED(H.PressOk());
        QVERIFY(H.Idle() && H.MayMove());

        // Typed text with leading blanks, sent by a double click.
        H.f()->EDIT1->setEditText(QStringLiteral("  よろしく"));
        QTest::mouseDClick(H.f()->EDIT1->lineEdit(), Qt::LeftButton);
        QCOMPARE(H.Log().constLast(), QStringLiteral("\"  よろしく\"を送信しました"));
        QTRY_VERIFY_WITH_TIMEOUT(G.InNotice(), kWaitMs);
        QCOMPARE(G.LastLogLines(2),
                 QStringLiteral("ハルさんからのメッセージを受信しました|「  よろしく」"));
        CHECKED(G.PressOk());

        // Enter in the empty box sends nothing: the next line is the next message.
        const qsizetype before = H.Received.size();
        const int logLines = G.Log().size();
        QTest::keyClick(G.f()->EDIT1, Qt::Key_Return);
        QCOMPARE(G.Log().size(), logLines);
        G.SendChatWithEnter(QStringLiteral("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(H.Received.size(), before + 1, kWaitMs);
        QCOMPARE(H.Received.constLast(), Wire(QStringLiteral("CHAT  ok")));
    }

    // A move that arrives while a chat notice is open is applied, but the
    // player must press "OK" before the board takes a click.
    void moveArrivingUnderAChatNotice() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(H, +1, G));
        const Game game = Continuation({}, 3);
        CHECKED(PlayMoves(H, G, game, 0, 1));
        G.SendChatWithEnter(QStringLiteral("ちょっとまってて (^∧^)"));
        QTRY_VERIFY_WITH_TIMEOUT(H.InNotice(), kWaitMs);
        CHECKED(PlayMoves(H, G, game, 1, 2));
        QVERIFY2(H.InNotice(), "the notice must stay in front of the board");
        QVERIFY(!H.f()->isEnabled());
        QCOMPARE(H.f()->GRID->Turn, H.f()->MySide);
        CHECKED(H.PressOk());
        QVERIFY(H.MayMove());
        CHECKED(PlayMoves(H, G, game, 2, 3));
    }

    // Clicks made while the opponent's move is shown: one on a square only the
    // opponent could take does nothing; one that waits in the queue until the
    // board is handed over is one move, after which the turn stays with the
    // opponent.
    void clicksDuringTheOpponentsMoveAreOneMove() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(H, +1, G));
        const Game game = Continuation({}, 3);
        G.CloseGate();
        const Move& first = game.moves[0];
        const Move& reply = game.moves[1];
        CHECKED(H.Click(first.c, first.r));
        QTRY_COMPARE_WITH_TIMEOUT(G.HeldCount(), 1, kWaitMs);

        // The receiver sleeps before the move, once per piece shown, and after it.
        int sleeps = 0;
        std::function<void()> arm;
        arm = [&] {
            bench->OnNextSleep = [&] {
                ++sleeps;
                TForm1& g = *G.f();
                if (sleeps == 2 && g.Image1->OnMouseUp) {
                    // While the move is shown the squares are marked for the opponent.
                    g.Image1->OnMouseUp(Qt::LeftButton, Qt::NoModifier, g.GRID->COLTOX(first.c),
                                        g.GRID->ROWTOY(first.r));
                }
                if (sleeps == 4) {
                    const QPointF at(g.GRID->COLTOX(reply.c), g.GRID->ROWTOY(reply.r));
                    QCoreApplication::postEvent(
                        g.Image1, new QMouseEvent(QEvent::MouseButtonRelease, at, at,
                                                  Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
                }
                if (sleeps < 4)
                    arm();
            };
        };
        arm();
        G.OpenGate();
        QTRY_COMPARE_WITH_TIMEOUT(H.Board(), game.after[1], kWaitMs);
        QCOMPARE(G.Board(), game.after[1]);
        QCOMPARE(sleeps, 4);
        QCOMPARE(G.f()->GRID->Turn, 0);
        QVERIFY2(!G.f()->Image1->OnMouseUp, "input must stay detached after the move");
        QTRY_VERIFY_WITH_TIMEOUT(H.MayMove(), kWaitMs);
        CHECKED(PlayMoves(H, G, game, 2, 3));
    }

    // A new name while playing: the notice names the old name and the new
    // one, and both side panels show the new name.
    void nameChangeWhilePlaying() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(H, +1, G));
        G.f()->MyName = QStringLiteral("ゲンジ");
        G.Windows.OKRightDlg->AnnounceName(*G.f());
        QCOMPARE(G.f()->Label6->text(), QStringLiteral("ゲンジさん"));
        QTRY_VERIFY_WITH_TIMEOUT(H.InNotice(), kWaitMs);
        QCOMPARE(H.Received.constLast(), Wire(QStringLiteral("NAME  ゲンジ")));
        QCOMPARE(H.p()->Label1->text(),
                 QStringLiteral("ゲンさんが\r\n名前を変えました\r\nあたらしい名前 ゲンジ"));
        QCOMPARE(H.LastLogLines(2),
                 QStringLiteral("ゲンさんが名前を変えました|あたらしい名前「ゲンジ」"));
        QCOMPARE(H.f()->OpponentName, QStringLiteral("ゲンジ"));
        QCOMPARE(H.f()->Label5->text(), QStringLiteral("ハルさん"));
        QCOMPARE(H.f()->Label6->text(), QStringLiteral("ゲンジさん"));
        CHECKED(H.PressOk());
        QVERIFY(H.MayMove());
        // The next notice uses the new name.
        G.SendChatWithEnter(QStringLiteral("ありがとう"));
        QTRY_VERIFY_WITH_TIMEOUT(H.InNotice(), kWaitMs);
        QCOMPARE(H.LastLogLines(2),
                 QStringLiteral("ゲンジさんからのメッセージを受信しました|「ありがとう」"));
    }

    // A new name while the host waits alone: the panel is relabelled, chat is
    // enabled, the message goes nowhere without harm, and pairing still works.
    void nameChangeWhileWaiting() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        H.Start();
        QCOMPARE(H.Log().constLast(), QStringLiteral("待機中"));
        H.f()->MyName = QStringLiteral("ハルカ");
        H.Windows.OKRightDlg->AnnounceName(*H.f());
        QCOMPARE(H.f()->Label5->text(), QStringLiteral("ハルカさん"));
        QCOMPARE(H.f()->Label6->text(), QStringLiteral("さん"));
        QCOMPARE(H.f()->Panel3->BevelWidth(), 3);
        QVERIFY(H.f()->EDIT1->isEnabled());
        QCOMPARE(bench->Halts, 0);

        Program& G = bench->Add(QStringLiteral("ゲン"));
        G.Start();
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && G.InChoice(), kWaitMs);
        QCOMPARE(H.f()->OpponentName, QStringLiteral("ゲン"));
        CHECKED(ChooseFirst(G, +1, H));
        QCOMPARE(H.f()->Label6->text(), QStringLiteral("ハルカさん"));
    }

    // The guest leaves while both choose; the host is told, waits with a
    // fresh board, and a newcomer pairs with it and plays.
    void guestLeavesDuringTheChoiceThenANewcomerJoins() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        bench->Remove(G);
        CHECKED(ExpectLeft(H, QStringLiteral("ゲン")));
        QVERIFY(H.p()->Image1->isHidden() && H.p()->Image2->isHidden());
        CHECKED(H.PressOk());
        QVERIFY(H.Idle());

        Program& C = bench->Add(QStringLiteral("ミナ"));
        C.Start();
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && C.InChoice(), kWaitMs);
        QCOMPARE(C.f()->OpponentName, QStringLiteral("ハル"));
        QCOMPARE(H.f()->OpponentName, QStringLiteral("ミナ"));
        CHECKED(ChooseFirst(C, +1, H));
        QVERIFY(H.f()->EDIT1->isEnabled());
        const Game game = Continuation({}, 2);
        CHECKED(PlayMoves(C, H, game, 0, game.moves.size()));
    }

    // A third program waits beside a game in progress and is left alone. When
    // one player of that game leaves, the one who stays and the third, both
    // waiting now, find each other by themselves; choices made at once on both
    // sides are settled the same way on both, and they play. Waiting without
    // an opponent, the log says what to check, once per wait.
    void waitingProgramsFindEachOther() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(G, +1, H));
        Program& C = bench->Add(QStringLiteral("ミナ"));
        C.f()->WaitHintMs = 300;
        C.Start();
        QCOMPARE(C.LastLogLines(1), QStringLiteral("待機中"));
        const auto hints = [](const Program& p) {
            return p.Log().filter(QStringLiteral("ファイアウォール")).size();
        };
        QTRY_COMPARE_WITH_TIMEOUT(hints(C), 1, kWaitMs);
        QTest::qWait(1000);
        QVERIFY2(C.Idle() && H.Idle() && G.Idle(), "a game in progress was joined");
        QCOMPARE(hints(C), 1);

        bench->Remove(G);
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && C.InChoice(), kWaitMs);
        QCOMPARE(H.f()->OpponentName, QStringLiteral("ミナ"));
        QCOMPARE(C.f()->OpponentName, QStringLiteral("ハル"));
        QVERIFY(H.Log().contains(QStringLiteral("ミナさんとはじめます")));
        QVERIFY(C.Log().contains(QStringLiteral("ハルさんとはじめます")));

        H.CloseGate();
        C.CloseGate();
        CHECKED(H.Choose(+1));
        CHECKED(C.Choose(+1));
        QTRY_VERIFY_WITH_TIMEOUT(H.HeldCount() == 1 && C.HeldCount() == 1, kWaitMs);
        H.OpenGate();
        C.OpenGate();
        QTRY_VERIFY_WITH_TIMEOUT(
            (StartsIn(H).size() == 2 || StartsIn(C).size() == 2) && H.Idle() && C.Idle(), kWaitMs);
        QCOMPARE(H.f()->MySide, -C.f()->MySide);
        Program& first = H.f()->MySide > 0 ? H : C;
        Program& second = H.f()->MySide > 0 ? C : H;
        const Game game = Continuation({}, 2);
        CHECKED(PlayMoves(first, second, game, 0, game.moves.size()));
        QCOMPARE(hints(H) + hints(C), 1);
    }

    // The wait for a friend on the internet hosts at once, asks the router to
    // forward the discovery port and the session's, and logs its answer in
    // one line; a program that presses "はじめる" joins it without asking the
    // router. Every answer but a forwarding says what to do instead.
    void waitForTheInternet() {
        const auto port =
            static_cast<std::uint16_t>(20000 + QRandomGenerator::global()->bounded(20000));
        lan::SetDiscoveryPortOverride(port);
        std::mutex mu;
        std::vector<std::vector<std::uint16_t>> asked;
        lan::SetRouterOverride([&](const std::vector<std::uint16_t>& ports) {
            std::lock_guard lock(mu);
            asked.push_back(ports);
            return lan::RouterReport{lan::RouterOutcome::Forwarded, 0x2D435901};
        });
        const auto restore = qScopeGuard([] {
            lan::SetDiscoveryPortOverride(0);
            lan::SetRouterOverride({});
        });

        Program& H = bench->Add(QStringLiteral("ハル"));
        QCOMPARE(H.f()->File1->actions().indexOf(H.f()->N5), 2);
        H.f()->N5->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(
            H.Log().contains(QStringLiteral("インターネットの相手に伝えるアドレス: 45.67.89.1")),
            kWaitMs);
        QVERIFY(H.Log().contains(QStringLiteral("待機中")));
        QVERIFY(!H.f()->N1->isEnabled() && !H.f()->N4->isEnabled() && !H.f()->N5->isEnabled());
        Program& G = bench->Add(QStringLiteral("ゲン"));
        G.Start();
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && G.InChoice(), kWaitMs);
        {
            std::lock_guard lock(mu);
            const std::vector<std::vector<std::uint16_t>> once{{port, H.f()->Lanx1->SessionPort()}};
            QCOMPARE(asked, once);
        }

        const lan::RouterReport failures[] = {{lan::RouterOutcome::NoRouter},
                                              {lan::RouterOutcome::Refused},
                                              {lan::RouterOutcome::PortTaken, 0, 43517},
                                              {lan::RouterOutcome::NotPublic, 0x64400001},
                                              {lan::RouterOutcome::NotPublic, 0}};
        for (const lan::RouterReport& failure : failures) {
            const QString line = TForm1::RouterLine(failure);
            QVERIFY2(line.contains(QStringLiteral("UDP 43517〜43525")) &&
                         line.contains(QStringLiteral("VPN")) && !line.contains(QLatin1Char('\n')),
                     qPrintable(line));
        }
    }

    // The start by address leaves the session-location dialog to the player.
    // Cancel goes back to idle; an address where nobody waits and one that is
    // no address are told, and neither makes this program host; the host's
    // address joins it, and is the one shown next time.
    void startByAddress() {
        // A unicast to 127.0.0.1 reaches one listener of a shared port: this
        // bench's hosts listen on a port of their own.
        const auto port =
            static_cast<std::uint16_t>(20000 + QRandomGenerator::global()->bounded(20000));
        lan::SetDiscoveryPortOverride(port);
        const auto restore = qScopeGuard([] { lan::SetDiscoveryPortOverride(0); });

        Program& H = bench->Add(QStringLiteral("ハル"));
        H.Start();
        QCOMPARE(H.Log().constLast(), QStringLiteral("待機中"));
        QStringList own;
        for (std::uint32_t ipv4 : lan::LocalAddresses())
            own << QString::fromStdString(lan::DottedIpv4(ipv4));
        const QStringList told = H.Log().filter(QStringLiteral("このコンピューターのアドレス: "));
        QCOMPARE(told.size(), own.isEmpty() ? 0 : 1);
        if (!own.isEmpty())
            QCOMPARE(told.first(),
                     QStringLiteral("このコンピューターのアドレス: ") + own.join(", "));

        Program& G = bench->Add(QStringLiteral("ゲン"));
        TForm1& g = *G.f();
        QCOMPARE(g.File1->actions().indexOf(g.N4), 1);
        QCOMPARE(g.N4->text(), QStringLiteral("アドレスを指定してはじめる..."));
        const auto idle = [&] {
            return g.START->text() == QStringLiteral("はじめる") && g.N1->isEnabled() &&
                   g.N4->isEnabled() && G.Idle() && g.Lanx1->Players().Count() == 0;
        };

        g.SessionAddress = QStringLiteral("192.0.2.7");
        QString shown;
        bool stayed = false;
        WhenDialogShows([&](LanSessionDialog& dialog) {
            shown = dialog.Address();
            QTest::qWait(300); // the dialog thread would have confirmed it by now
            stayed = dialog.isVisible();
            dialog.CancelButton->click();
        });
        g.N4->trigger();
        QCOMPARE(shown, QStringLiteral("192.0.2.7"));
        QVERIFY2(stayed, "the dialog must wait for the player");
        QVERIFY(idle());
        QCOMPARE(g.SessionAddress, QStringLiteral("192.0.2.7"));
        QVERIFY(bench->Boxes.isEmpty());

        const struct {
            QString address;
            QString told;
        } failures[] = {
            {QStringLiteral("127.0.0.1:%1").arg(port + 1),
             QStringLiteral("127.0.0.1:%1 には、待っているプレーヤーが見つかりませんでした。")
                 .arg(port + 1)},
            {QStringLiteral("127.0.0.1:0"),
             QStringLiteral("「127.0.0.1:0」はアドレスとして正しくありません。")},
        };
        for (const auto& failure : failures) {
            bench->Boxes.clear();
            TypeInDialog(failure.address);
            QElapsedTimer clock;
            clock.start();
            g.N4->trigger();
            QVERIFY2(clock.elapsed() < 3000, qPrintable(failure.address));
            QCOMPARE(bench->Boxes.size(), 1);
            QVERIFY2(bench->Boxes.first().startsWith(failure.told),
                     qPrintable(bench->Boxes.first()));
            QVERIFY2(idle(), qPrintable(failure.address + " must leave the program idle"));
            QCOMPARE(g.SessionAddress, failure.address);
        }
        QCOMPARE(bench->Halts, 0);

        bench->Boxes.clear();
        TypeInDialog(QStringLiteral(" 127.0.0.1 "));
        g.N4->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && G.InChoice(), kWaitMs);
        QCOMPARE(g.OpponentName, H.Name);
        QCOMPARE(H.f()->OpponentName, G.Name);
        QVERIFY(!g.N1->isEnabled() && !g.N4->isEnabled());
        QCOMPARE(g.SessionAddress, QStringLiteral("127.0.0.1"));
        QVERIFY(bench->Boxes.isEmpty());
        CHECKED(ChooseFirst(G, +1, H));
        const Game game = Continuation({}, 2);
        CHECKED(PlayMoves(G, H, game, 0, game.moves.size()));
    }

    // The host leaves in the middle of a game; the guest keeps the session,
    // is told, and a newcomer finds it there.
    void hostLeavesDuringPlayThenANewcomerJoins() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(G, +1, H));
        const Game game = Continuation({}, 3);
        CHECKED(PlayMoves(G, H, game, 0, game.moves.size()));
        bench->Remove(H);
        CHECKED(ExpectLeft(G, QStringLiteral("ハル")));
        CHECKED(G.PressOk());

        Program& C = bench->Add(QStringLiteral("ミナ"));
        C.Start();
        QTRY_VERIFY_WITH_TIMEOUT(G.InChoice() && C.InChoice(), kWaitMs);
        QCOMPARE(C.f()->OpponentName, QStringLiteral("ゲン"));
        QCOMPARE(G.f()->OpponentName, QStringLiteral("ミナ"));
        // Both choose at once: the one who holds the session now (the one who
        // stayed, or the newcomer it joined when it had waited for its old
        // opponent in vain) has its choice stand.
        const TLanx* lanx = G.f()->Lanx1;
        Program& holder = lanx->Players().Items(0) == lanx->LocalPlayer() ? G : C;
        Program& other = &holder == &G ? C : G;
        G.CloseGate();
        C.CloseGate();
        CHECKED(G.Choose(-1));
        CHECKED(C.Choose(-1));
        QTRY_VERIFY_WITH_TIMEOUT(G.HeldCount() == 1 && C.HeldCount() == 1, kWaitMs);
        G.OpenGate();
        C.OpenGate();
        QTRY_VERIFY_WITH_TIMEOUT(StartsIn(holder).size() == 2 && G.Idle() && C.Idle(), kWaitMs);
        QCOMPARE(holder.f()->MySide, -1);
        QCOMPARE(other.f()->MySide, +1);
        const Game next = Continuation({}, 2);
        CHECKED(PlayMoves(other, holder, next, 0, next.moves.size()));
    }
};

QTEST_MAIN(MatchFlowTest)
#include "tst_matchflow.moc"
