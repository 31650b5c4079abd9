// Whole games between two programs over the loopback LAN: results, passes, replays, leaving.
#include "MatchHarness.h"

using namespace matchtest;

namespace {
const QByteArray kRetry("RETRY \0", 7);
} // namespace

class MatchGamesTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Bench> bench;
    // Found once by seeded random play on the board model.
    Game wonWithPasses; // the first player wins; both sides pass
    Game fullDraw;      // 32 against 32
    Game endsEarly;     // neither side can move with squares still empty

private slots:
    void initTestCase() {
        GRIDSIZE = 8;
        wonWithPasses =
            FindGame([](const Game& g) { return g.a > g.b && g.passesA > 0 && g.passesB > 0; });
        fullDraw = FindGame([](const Game& g) { return g.Full() && g.a == g.b; });
        endsEarly = FindGame([](const Game& g) { return !g.Full() && g.moves.size() <= 24; });
        QVERIFY2(!wonWithPasses.moves.empty(), "no won game with passes on both sides found");
        QVERIFY2(!fullDraw.moves.empty(), "no drawn game found");
        QVERIFY2(!endsEarly.moves.empty(), "no game ending before the board is full found");
        QCOMPARE(fullDraw.a, 32);
    }
    void init() { bench = std::make_unique<Bench>(); }
    void cleanup() {
        const int halts = bench->Halts;
        bench.reset();
        QVERIFY2(halts == 0, "a failed session operation would have ended the program");
    }

    // Three games in one session: a win and a loss with passes on both sides,
    // a full-board draw, and a game that ends with empty squares; replays by
    // both players at once and by one while the other still reads the result;
    // chat waiting behind the modal pass notice and replacing the choice; and
    // the opponent leaving while the result is shown.
    void threeGamesThenLeaving() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        qint64 overhead = 0;
        CHECKED(Pair(*bench, H, G, &overhead));
        qInfo("pairing took %lld ms from the second start to both choice popups, beyond the "
              "flow's own waits",
              overhead);

        // ---- Game 1: the host moves first and wins; both sides pass.
        CHECKED(ChooseFirst(H, +1, G));
        QCOMPARE(H.LastLogLines(2), QStringLiteral("あなたは先攻を選びました|あなたの番です"));
        QCOMPARE(G.LastLogLines(2), QStringLiteral("相手が先攻を選びました|相手の番です"));
        QCOMPARE(H.f()->Label5->text(), QStringLiteral("ハルさん"));
        QCOMPARE(G.f()->Label5->text(), QStringLiteral("ハルさん"));
        QCOMPARE(G.f()->Label6->text(), QStringLiteral("ゲンさん"));
        QCOMPARE(H.f()->Panel3->toolTip(), QStringLiteral("あなたのコマの数です"));
        QCOMPARE(G.f()->Panel4->toolTip(), QStringLiteral("あなたのコマの数です"));
        const int hFrom = H.Log().size();
        const int gFrom = G.Log().size();

        // The first pass notice: a chat sent meanwhile is held back until "OK".
        Program* passer = nullptr;
        bench->OnPassNotice = [&](Program& p) {
            bench->OnPassNotice = nullptr;
            passer = &p;
            Program& other = &p == &H ? G : H;
            other.f()->EDIT1->setEditText(QStringLiteral("まだですかー???"));
            other.f()->EDIT1DblClick();
            // Nothing can show the chat while the modal notice waits for "OK";
            // give it ample time to arrive if it could.
            QTest::qWait(300);
            QVERIFY2(!p.Log().join(QString()).contains(QStringLiteral("メッセージを受信しました")),
                     "a chat was shown while the pass notice was open");
            QCOMPARE(p.p()->Label1->text(), kCRLF + QStringLiteral("パスです"));
        };
        bool chatSeen = false;
        CHECKED(PlayGame(H, G, wonWithPasses, [&](std::size_t) {
            if (!passer || chatSeen)
                return;
            chatSeen = true;
            Program& other = passer == &H ? G : H;
            QTRY_VERIFY_WITH_TIMEOUT(passer->InNotice(), kWaitMs);
            QCOMPARE(passer->p()->Label1->text(),
                     other.Name +
                         QStringLiteral(
                             "さんからの\r\nメッセージを受信しました\r\n「まだですかー???」"));
            CHECKED(passer->PressOk());
            QVERIFY(passer->Idle());
        }));
        QVERIFY2(chatSeen, "the game had no pass");
        CHECKED(ExpectResult(H, +1, wonWithPasses));
        CHECKED(ExpectResult(G, -1, wonWithPasses));
        QCOMPARE(MoveLines(H, hFrom), ExpectedMoveLines(wonWithPasses, +1));
        QCOMPARE(MoveLines(G, gFrom), ExpectedMoveLines(wonWithPasses, -1));
        QCOMPARE(H.PassNotices, wonWithPasses.passesA);
        QCOMPARE(G.PassNotices, wonWithPasses.passesB);
        QCOMPARE(H.Log().mid(hFrom).count(QStringLiteral("相手はパスしました")),
                 wonWithPasses.passesB);
        QCOMPARE(G.Log().mid(gFrom).count(QStringLiteral("相手はパスしました")),
                 wonWithPasses.passesA);

        // ---- Both players press "もう一度" before either "RETRY " arrives.
        H.CloseGate();
        G.CloseGate();
        CHECKED(H.PressAgain());
        CHECKED(G.PressAgain());
        QTRY_VERIFY_WITH_TIMEOUT(H.HeldCount() == 1 && G.HeldCount() == 1, kWaitMs);
        H.OpenGate();
        G.OpenGate();
        QTRY_VERIFY2_WITH_TIMEOUT(H.Received.count(kRetry) == 1 && G.Received.count(kRetry) == 1,
                                  "each side must get the other's RETRY once", kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && G.InChoice(), kWaitMs);
        QCOMPARE(H.Board(), StartPosition());
        QCOMPARE(G.Board(), StartPosition());

        // ---- Game 2: the guest moves first; a draw on a full board.
        CHECKED(ChooseFirst(G, +1, H));
        CHECKED(PlayGame(G, H, fullDraw));
        CHECKED(ExpectResult(G, +1, fullDraw));
        CHECKED(ExpectResult(H, -1, fullDraw));

        // ---- "もう一度" on one side while the other still reads its result.
        CHECKED(H.PressAgain());
        QVERIFY(H.InChoice());
        QTRY_VERIFY2_WITH_TIMEOUT(G.InChoice(), "RETRY must replace the result by the choice",
                                  kWaitMs);
        QCOMPARE(G.p()->Shape3->BrushColor(), ColorToQColor(clCream));
        QCOMPARE(G.Board(), StartPosition());

        // ---- A chat replaces the choice; the game goes on by the other's choice.
        H.f()->EDIT1->setEditText(QStringLiteral("どうしたの？"));
        H.f()->EDIT1DblClick();
        QTRY_VERIFY_WITH_TIMEOUT(G.InNotice(), kWaitMs);
        CHECKED(G.PressOk());
        QVERIFY(G.Idle());
        QVERIFY(G.p()->BUTTON1->isHidden() && G.p()->BUTTON3->isHidden());
        CHECKED(ChooseFirst(H, -1, G));
        QCOMPARE(G.LastLogLines(2), QStringLiteral("相手が後攻を選びました|あなたの番です"));

        // ---- Game 3 ends before the board is full, on both sides at once.
        const int passesBefore = H.PassNotices + G.PassNotices;
        CHECKED(PlayGame(G, H, endsEarly));
        CHECKED(ExpectResult(G, +1, endsEarly));
        CHECKED(ExpectResult(H, -1, endsEarly));
        QCOMPARE(H.PassNotices + G.PassNotices,
                 passesBefore + endsEarly.passesA + endsEarly.passesB);

        // ---- "おわる": the program closes without asking; the other is told.
        const int boxes = bench->Boxes.size();
        CHECKED(H.PressEnd());
        QVERIFY2(!H.f()->isVisible(), "おわる must close the main window");
        QCOMPARE(bench->Boxes.size(), boxes); // no "おわりますか"
        QCOMPARE(H.p()->BUTTON3->text(), QStringLiteral("終了"));
        bench->Remove(H);
        CHECKED(ExpectLeft(G, QStringLiteral("ハル")));
        CHECKED(G.PressOk());
        QVERIFY(G.Idle());
    }

    // A chat line replaces the result; after "OK" the game goes on by the
    // other side's "もう一度".
    void chatReplacesTheResult() {
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(H, +1, G));
        CHECKED(PlayGame(H, G, endsEarly));
        CHECKED(ExpectResult(H, +1, endsEarly));
        CHECKED(ExpectResult(G, -1, endsEarly));
        G.f()->EDIT1->setEditText(QStringLiteral("ありがとう"));
        G.f()->EDIT1DblClick();
        QTRY_VERIFY_WITH_TIMEOUT(H.InNotice(), kWaitMs);
        QCOMPARE(H.p()->Shape3->BrushColor(), ColorToQColor(clCream));
        CHECKED(H.PressOk());
        QVERIFY(H.Idle());
        QVERIFY(H.p()->BUTTON1->isHidden() && H.p()->BUTTON3->isHidden());
        CHECKED(G.PressAgain());
        QTRY_VERIFY_WITH_TIMEOUT(H.InChoice() && G.InChoice(), kWaitMs);
        CHECKED(ChooseFirst(H, -1, G));
    }

    // Both press "もう一度" at once and one of them chooses before the other's
    // "RETRY " has arrived: the crossing "RETRY " must not undo that choice.
    void crossingRetriesThenAQuickChoice_data() {
        QTest::addColumn<bool>("hostChooses");
        QTest::newRow("host chooses") << true;
        QTest::newRow("guest chooses") << false;
    }
    void crossingRetriesThenAQuickChoice() {
        QFETCH(bool, hostChooses);
        Program& H = bench->Add(QStringLiteral("ハル"));
        Program& G = bench->Add(QStringLiteral("ゲン"));
        CHECKED(Pair(*bench, H, G));
        CHECKED(ChooseFirst(H, +1, G));
        CHECKED(PlayGame(H, G, endsEarly));
        QTRY_VERIFY_WITH_TIMEOUT(H.InResult() && G.InResult(), kWaitMs);

        Program& chooser = hostChooses ? H : G;
        Program& other = hostChooses ? G : H;
        H.CloseGate();
        G.CloseGate();
        CHECKED(H.PressAgain());
        CHECKED(G.PressAgain());
        CHECKED(chooser.Choose(+1));
        QTRY_VERIFY_WITH_TIMEOUT(chooser.HeldCount() == 1 && other.HeldCount() == 2, kWaitMs);
        H.OpenGate();
        G.OpenGate();
        QTRY_VERIFY2_WITH_TIMEOUT(chooser.Idle() && other.Idle() && other.f()->MySide == -1,
                                  "both programs must start the game the chooser chose", kWaitMs);
        QCOMPARE(chooser.f()->MySide, +1);
        QCOMPARE(chooser.Board(), StartPosition());
        QCOMPARE(other.Board(), StartPosition());
        CHECKED(PlayMoves(chooser, other, endsEarly, 0, 3));
    }
};

QTEST_MAIN(MatchGamesTest)
#include "tst_matchgames.moc"
