// Interrupted games: a program ended mid-game and started again in its folder
// pairs with its opponent, both are asked, and the game goes on or starts anew.
#include "MatchHarness.h"

using namespace matchtest;

namespace {

bool Asked(const Program& p) {
    return p.PopupShows(TForm3::modeResume) && p.p()->BUTTON1->isVisible() &&
           p.p()->BUTTON3->isVisible() && p.p()->BUTTON1->text() == QStringLiteral("つづける") &&
           p.p()->BUTTON3->text() == QStringLiteral("はじめから") &&
           p.p()->Label1->text().contains(QStringLiteral("続きをしますか?")) && !p.f()->isEnabled();
}

void Answer(Program& p, int answer) {
    QVERIFY2(Asked(p), qPrintable(p.Name + ": not asked"));
    (answer > 0 ? p.p()->BUTTON1 : p.p()->BUTTON3)->click();
}

const TGameRecord* RecordOf(const Program& p, const Program& opponent) {
    return p.f()->GameRecords->Find(opponent.f()->GameRecords->Id());
}

// A game long enough to stop in the middle, without a pass in its first
// eleven moves and with one later on.
const Game& LongGame() {
    static const Game game = FindGame([](const Game& g) {
        if (g.moves.size() < 40 || g.passesA + g.passesB == 0)
            return false;
        for (int i = 0; i < 11; ++i)
            if (g.moves[i].side != (i % 2 == 0 ? +1 : -1))
                return false;
        return true;
    });
    return game;
}

} // namespace

class MatchResumeTest : public QObject {
    Q_OBJECT
private slots:
    void killedMidGameGoesOnToTheResult();
    void newGameOnEitherSide();
    void recordsThatDiffer();
};

// Pairs host and guest, host first, plays moves [0, n) of LongGame and waits
// until the move has been handled on both sides.
static void PlayInto(Bench& bench, Program& host, Program& guest, std::size_t n) {
    CHECKED(Pair(bench, host, guest));
    CHECKED(ChooseFirst(host, +1, guest));
    CHECKED(PlayMoves(host, guest, LongGame(), 0, n));
    QTRY_VERIFY_WITH_TIMEOUT(host.MayMove() || guest.MayMove(), kWaitMs);
    QCOMPARE(int(RecordOf(host, guest)->Moves.size()), int(n));
    QCOMPARE(int(RecordOf(guest, host)->Moves.size()), int(n));
}

// The guest's program ends and is started again; it pairs with the host,
// which still waits, and both are asked.
static Program& Restart(Bench& bench, Program& host, Program& guest) {
    const int folder = bench.FolderOf(guest);
    const QString name = guest.Name;
    bench.Remove(guest);
    ExpectLeft(host, name);
    Program& again = bench.Add(name, folder);
    again.Start();
    return again;
}

void MatchResumeTest::killedMidGameGoesOnToTheResult() {
    Bench bench;
    Program& a = bench.Add(QStringLiteral("ありさ"));
    Program* b = &bench.Add(QStringLiteral("ぼたん"));
    CHECKED(PlayInto(bench, a, *b, 10));
    const QString before = a.Board();

    b = &Restart(bench, a, *b);
    QTRY_VERIFY2_WITH_TIMEOUT(Asked(a) && Asked(*b), "both must be asked", kWaitMs);
    CHECKED(Answer(*b, +1));
    QTRY_COMPARE_WITH_TIMEOUT(b->p()->Label1->text(),
                              a.Name + QStringLiteral("さんの\r\n返事を待っています"), kWaitMs);
    QVERIFY(Asked(a));
    CHECKED(Answer(a, +1));

    // At once the position of the kill, the sides, and move 10's side to move.
    QTRY_VERIFY_WITH_TIMEOUT(a.MayMove() && b->Idle(), kWaitMs);
    QCOMPARE(a.Board(), before);
    QCOMPARE(b->Board(), before);
    QCOMPARE(a.f()->MySide, +1);
    QCOMPARE(b->f()->MySide, -1);
    QCOMPARE(b->f()->GRID->Turn, 0);
    QCOMPARE(b->f()->GRID->ACount, a.f()->GRID->ACount);
    QCOMPARE(b->f()->Label5->text(), a.Name + QStringLiteral("さん"));
    QCOMPARE(a.LastLogLines(2), QStringLiteral("前回の対局を続けます|あなたの番です"));
    QCOMPARE(b->LastLogLines(2), QStringLiteral("前回の対局を続けます|相手の番です"));

    CHECKED(PlayMoves(a, *b, LongGame(), 10, LongGame().moves.size()));
    CHECKED(ExpectResult(a, +1, LongGame()));
    CHECKED(ExpectResult(*b, -1, LongGame()));
    QVERIFY(!RecordOf(a, *b) && !RecordOf(*b, a));

    // A game that reached its result is not offered again.
    const int folder = bench.FolderOf(*b);
    bench.Remove(*b);
    QTRY_VERIFY_WITH_TIMEOUT(a.InNotice(), kWaitMs);
    Program& c = bench.Add(QStringLiteral("ぼたん"), folder);
    c.Start();
    QTRY_VERIFY2_WITH_TIMEOUT(a.InChoice() && c.InChoice(), "a finished game is not asked about",
                              kWaitMs);
}

void MatchResumeTest::newGameOnEitherSide() {
    // +1: the host answers anew, -1: the guest; 0: the host goes on and the
    // guest answers anew at the same moment, the answers crossing on the wire.
    for (int side : {+1, -1, 0}) {
        Bench bench;
        Program& a = bench.Add(QStringLiteral("ありさ"));
        Program* b = &bench.Add(QStringLiteral("ぼたん"));
        CHECKED(PlayInto(bench, a, *b, 6));
        b = &Restart(bench, a, *b);
        QTRY_VERIFY_WITH_TIMEOUT(Asked(a) && Asked(*b), kWaitMs);
        Program& anew = side > 0 ? a : *b;
        Program& other = side > 0 ? *b : a;
        if (side == 0) {
            a.CloseGate();
            b->CloseGate();
            CHECKED(Answer(a, +1));
        }
        CHECKED(Answer(anew, -1));
        a.OpenGate();
        b->OpenGate();
        QTRY_VERIFY2_WITH_TIMEOUT(a.InChoice() && b->InChoice(), "both go to the choice", kWaitMs);
        QCOMPARE(anew.Log().constLast(), QStringLiteral("新しい対局をはじめます"));
        QCOMPARE(other.Log().constLast(),
                 anew.Name + QStringLiteral("さんが新しい対局を選びました"));
        QVERIFY(!RecordOf(a, *b) && !RecordOf(*b, a));
        QCOMPARE(a.Board(), StartPosition());
        // The new game is kept from its first move.
        CHECKED(ChooseFirst(other, +1, anew));
        CHECKED(PlayMoves(other, anew, LongGame(), 0, 1));
        QTRY_COMPARE_WITH_TIMEOUT(int(RecordOf(anew, other)->Moves.size()), 1, kWaitMs);
        QCOMPARE(RecordOf(other, anew)->Side, +1);
    }
}

void MatchResumeTest::recordsThatDiffer() {
    Bench bench;
    Program& a = bench.Add(QStringLiteral("ありさ"));
    Program* b = &bench.Add(QStringLiteral("ぼたん"));
    CHECKED(PlayInto(bench, a, *b, 6));
    const QString games =
        QFileInfo(b->f()->SettingsFile()).path() + QLatin1Char('/') + TGameRecords::kGamesFile;
    const QUuid aId = a.f()->GameRecords->Id();
    // The program that wrote it has ended: its record is on disk.
    const auto rewrite = [&](const std::function<void(TGameRecord&)>& change) {
        QFile file(games);
        QVERIFY(file.open(QIODevice::ReadOnly));
        auto records = TGameRecords::Parse(file.readAll());
        file.close();
        QVERIFY(records && records->size() == 1);
        change(records->front());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(TGameRecords::Serialize(*records));
    };

    // The last move sent as the link broke: the longer record is the game.
    int folder = bench.FolderOf(*b);
    bench.Remove(*b);
    CHECKED(rewrite([](TGameRecord& r) { r.Moves.pop_back(); }));
    b = &bench.Add(QStringLiteral("ぼたん"), folder);
    b->Start();
    QTRY_VERIFY_WITH_TIMEOUT(Asked(a) && Asked(*b), kWaitMs);
    CHECKED(Answer(a, +1));
    CHECKED(Answer(*b, +1));
    QTRY_VERIFY_WITH_TIMEOUT(a.Idle() && b->Idle() && (a.MayMove() || b->MayMove()), kWaitMs);
    QCOMPARE(b->Board(), LongGame().after[5]);
    QCOMPARE(int(RecordOf(*b, a)->Moves.size()), 6);

    // A record of another opponent is not offered; the log says why.
    folder = bench.FolderOf(*b);
    bench.Remove(*b);
    CHECKED(rewrite([](TGameRecord& r) { r.Opponent = QUuid::createUuid(); }));
    b = &bench.Add(QStringLiteral("ぼたん"), folder);
    b->Start();
    QTRY_VERIFY2_WITH_TIMEOUT(a.InChoice() && b->InChoice(), "not offered: the choice", kWaitMs);
    QVERIFY(b->Log().contains(
        QStringLiteral("前回の対局の記録がこのコンピューターにないため、新しい対局をはじめます")));
    QVERIFY(a.Log().contains(
        b->Name + QStringLiteral(
                      "さんのコンピューターに前回の対局の記録がないため、新しい対局をはじめます")));
    QVERIFY(!RecordOf(a, *b));
    QVERIFY(b->f()->GameRecords->Find(aId) == nullptr);
}

QTEST_MAIN(MatchResumeTest)
#include "tst_matchresume.moc"
