// The games kept on disk: the file's form, unreadable files, the check of two
// records against each other and the rules, and writes cut by a kill.
#include "GameScript.h"
#include "match/GameRecords.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>

namespace {

const QUuid kOpponent = QUuid::fromString(QStringLiteral("{0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0}"));
const QUuid kOther = QUuid::fromString(QStringLiteral("{11111111-2222-3333-4444-555555555555}"));

// The moves of a whole game with passes, from a fixed seed.
std::vector<TCellPos> GameWithPasses() {
    const matchtest::Game g = matchtest::FindGame(
        [](const matchtest::Game& game) { return game.passesA + game.passesB > 0; });
    std::vector<TCellPos> moves;
    int side = +1;
    for (const matchtest::Move& m : g.moves) {
        if (m.side != side)
            moves.push_back({0, 0});
        moves.push_back({m.c, m.r});
        side = -m.side;
    }
    return moves;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// The child of killedWhileWriting: keeps adding the moves of a long game
// (over and over) to one record until it is killed.
int WriteUntilKilled(const QString& folder) {
    TGameRecords records(folder);
    records.Keep({kOpponent, +1, {}});
    records.Flush();
    std::puts("writing");
    std::fflush(stdout);
    for (;;) {
        records.Keep({kOpponent, +1, {}});
        for (int i = 0; i < 120; ++i)
            records.AddMove(kOpponent, {1 + i % 8, 1 + (i / 8) % 8});
    }
}

} // namespace

class GameRecordsTest : public QObject {
    Q_OBJECT
private slots:
    void filesRoundTripAndRejectWhatTheyCannotBe();
    void storeKeepsGamesAcrossRunsAndSetsBadFilesAside();
    void checkSettlesTwoRecordsAlike();
    void killedWhileWriting();
};

void GameRecordsTest::filesRoundTripAndRejectWhatTheyCannotBe() {
    const std::vector<TGameRecord> records = {{kOpponent, -1, GameWithPasses()}, {kOther, +1, {}}};
    const QByteArray bytes = TGameRecords::Serialize(records);
    QCOMPARE(TGameRecords::Parse(bytes), std::optional(records));
    QVERIFY(bytes.startsWith("Veltroy games 1\n0f1e2d3c4b5a69788796a5b4c3d2e1f0 -1 "));
    QVERIFY(bytes.endsWith(" 1 -\nend\n"));

    // A file cut anywhere is not read as a shorter one.
    for (qsizetype n = 0; n < bytes.size(); ++n)
        QVERIFY2(!TGameRecords::Parse(bytes.left(n)),
                 qPrintable(QStringLiteral("cut at %1").arg(n)));

    const QByteArray id = "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
    const struct {
        const char* what;
        QByteArray bytes;
    } bad[] = {
        {"garbage", QByteArray("\x00\xff\x13garbage\n", 11)},
        {"a newer version", "Veltroy games 2\n" + id + " 1 -\nend\n"},
        {"no side", "Veltroy games 1\n" + id + " 0 -\nend\n"},
        {"a square off the board", "Veltroy games 1\n" + id + " 1 4590\nend\n"},
        {"half a move", "Veltroy games 1\n" + id + " 1 453\nend\n"},
        {"an id in capitals", "Veltroy games 1\n" + id.toUpper() + " 1 -\nend\n"},
        {"an opponent twice", "Veltroy games 1\n" + id + " 1 -\n" + id + " -1 -\nend\n"},
        {"a blank too many", "Veltroy games 1\n" + id + " 1  -\nend\n"},
        {"carriage returns", "Veltroy games 1\r\n" + id + " 1 -\r\nend\r\n"},
    };
    for (const auto& b : bad)
        QVERIFY2(!TGameRecords::Parse(b.bytes), b.what);
    std::vector<TGameRecord> many;
    for (int i = 0; i <= TGameRecords::kMaxRecords; ++i)
        many.push_back({QUuid::createUuid(), +1, {}});
    QVERIFY2(!TGameRecords::Parse(TGameRecords::Serialize(many)), "more records than are kept");
}

void GameRecordsTest::storeKeepsGamesAcrossRunsAndSetsBadFilesAside() {
    QTemporaryDir dir;
    const QString games = dir.filePath(TGameRecords::kGamesFile);
    QUuid id;
    {
        TGameRecords store(dir.path() + QStringLiteral("/new/folder"));
        id = store.Id();
        QVERIFY(!id.isNull());
        QCOMPARE(store.Id(), id);
    }
    QDir(dir.path())
        .rename(QStringLiteral("new/folder/") + TGameRecords::kIdFile, TGameRecords::kIdFile);
    {
        TGameRecords store(dir.path());
        QCOMPARE(store.Id(), id);
        QVERIFY(store.TakeNotes().isEmpty());
        store.Keep({kOther, +1, {}});
        store.Keep({kOpponent, -1, {}});
        store.AddMove(kOpponent, {5, 6});
        store.AddMove(kOpponent, {0, 0});
        store.AddMove(QUuid::createUuid(), {3, 3}); // no game with that one: nothing
        for (int i = 0; i < TGameRecords::kMaxRecords; ++i)
            store.Keep({QUuid::createUuid(), +1, {}});
        store.Keep({kOpponent, -1, {{5, 6}, {0, 0}}}); // the most recent again
        store.Drop(kOther);
    }
    TGameRecords again(dir.path());
    QCOMPARE(again.Id(), id);
    QCOMPARE(int(again.Opponents().size()), TGameRecords::kMaxRecords);
    QCOMPARE(again.Opponents().front(), kOpponent);
    QCOMPARE(again.Find(kOpponent)->Moves, (std::vector<TCellPos>{{5, 6}, {0, 0}}));
    QVERIFY(!again.Find(kOther));

    // Unreadable files are set aside under another name, said once each, and
    // the store goes on as if there had been none.
    WriteAll(games, QByteArray(3000, '\x7f'));
    WriteAll(dir.filePath(TGameRecords::kIdFile), "Veltroy id 1\nnot an id\n");
    TGameRecords fresh(dir.path());
    const QStringList notes = fresh.TakeNotes();
    QCOMPARE(notes.size(), 2);
    QVERIFY(notes[0].contains(TGameRecords::kIdFile) &&
            notes[1].contains(TGameRecords::kGamesFile));
    QVERIFY(fresh.Opponents().empty());
    QVERIFY(fresh.Id() != id);
    const QStringList aside = QDir(dir.path()).entryList({QStringLiteral("*.unreadable-*")});
    QCOMPARE(aside.size(), 2);
    QCOMPARE(ReadAll(dir.filePath(aside.filter(TGameRecords::kGamesFile).value(0))),
             QByteArray(3000, '\x7f'));
    fresh.Keep({kOpponent, +1, {{4, 3}}});
    fresh.Flush();
    QCOMPARE(TGameRecords::Parse(ReadAll(games))->front().Moves, (std::vector<TCellPos>{{4, 3}}));
}

void GameRecordsTest::checkSettlesTwoRecordsAlike() {
    const std::vector<TCellPos> game = GameWithPasses();
    const auto firstN = [&](std::size_t n) {
        return std::vector<TCellPos>(game.begin(), game.begin() + static_cast<long>(n));
    };
    std::vector<TCellPos> illegal = firstN(4);
    illegal.push_back({1, 1});
    std::vector<TCellPos> passWithMove = firstN(4);
    passWithMove.push_back({0, 0});
    std::vector<TCellPos> other = firstN(10);
    other[9] = other[9] == TCellPos{0, 0} ? TCellPos{1, 1} : TCellPos{0, 0};

    using C = TResumeCheck;
    const struct {
        const char* what;
        std::optional<TGameRecord> mine, theirs;
        C::Outcome outcome;
        std::size_t moves; // of the game offered
    } cases[] = {
        {"none on either side", {}, {}, C::NoRecords, 0},
        {"only here", TGameRecord{kOpponent, +1, firstN(10)}, {}, C::NoRecordThere, 0},
        {"only there", {}, TGameRecord{{}, -1, firstN(10)}, C::NoRecordHere, 0},
        {"the same", TGameRecord{kOpponent, +1, firstN(10)}, TGameRecord{{}, -1, firstN(10)},
         C::Offer, 10},
        {"no moves yet", TGameRecord{kOpponent, -1, {}}, TGameRecord{{}, +1, {}}, C::Offer, 0},
        {"one more here", TGameRecord{kOpponent, +1, firstN(11)}, TGameRecord{{}, -1, firstN(10)},
         C::Offer, 11},
        {"one more there", TGameRecord{kOpponent, -1, firstN(10)}, TGameRecord{{}, +1, firstN(11)},
         C::Offer, 11},
        {"two more there", TGameRecord{kOpponent, -1, firstN(9)}, TGameRecord{{}, +1, firstN(11)},
         C::Differ, 0},
        {"the same side", TGameRecord{kOpponent, +1, firstN(10)}, TGameRecord{{}, +1, firstN(10)},
         C::Differ, 0},
        {"another last move", TGameRecord{kOpponent, +1, firstN(10)}, TGameRecord{{}, -1, other},
         C::Differ, 0},
        {"an illegal move", TGameRecord{kOpponent, +1, illegal}, TGameRecord{{}, -1, firstN(4)},
         C::AgainstRules, 0},
        {"a pass with a move", TGameRecord{kOpponent, +1, firstN(4)},
         TGameRecord{{}, -1, passWithMove}, C::AgainstRules, 0},
        {"the whole game", TGameRecord{kOpponent, +1, game}, TGameRecord{{}, -1, game}, C::Finished,
         0},
    };
    for (const auto& c : cases) {
        const TResumeCheck here =
            CheckResume(c.mine ? &*c.mine : nullptr, c.theirs ? &*c.theirs : nullptr);
        QVERIFY2(here.Result == c.outcome, c.what);
        // The other side reaches the same outcome (seen from there) and the same moves.
        const TResumeCheck there =
            CheckResume(c.theirs ? &*c.theirs : nullptr, c.mine ? &*c.mine : nullptr);
        const C::Outcome mirrored = c.outcome == C::NoRecordHere    ? C::NoRecordThere
                                    : c.outcome == C::NoRecordThere ? C::NoRecordHere
                                                                    : c.outcome;
        QVERIFY2(there.Result == mirrored, c.what);
        if (c.outcome == C::Offer) {
            QCOMPARE(here.Game.Moves.size(), c.moves);
            QCOMPARE(here.Game.Moves, there.Game.Moves);
            QCOMPARE(here.Game.Side, c.mine->Side);
            QCOMPARE(here.Game.Opponent, kOpponent);
        }
    }

    // Replayed, the position and the side to move are the game's.
    TGRID board(GRIDSIZE, nullptr);
    QVERIFY(ReplayMoves(board, firstN(10)));
    int toMove = +1;
    for (std::size_t i = 0; i < 10; ++i)
        toMove = -toMove;
    QCOMPARE(board.Turn, toMove);
    QCOMPARE(board.ACount + board.BCount,
             4 + int(std::count_if(game.begin(), game.begin() + 10,
                                   [](TCellPos m) { return m.Col != 0; })));
}

void GameRecordsTest::killedWhileWriting() {
    // A program killed at any moment of its writing leaves a record that is
    // whole: one of the states it wrote, never a broken file.
    QTemporaryDir dir;
    const QString games = dir.filePath(TGameRecords::kGamesFile);
    for (int round = 0; round < 40; ++round) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("VELTROY_RECORD_WRITER"), dir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        // Killed at a random moment once it has begun to write.
        QVERIFY(child.waitForStarted() && child.waitForReadyRead(10000));
        QTest::qSleep(QRandomGenerator::global()->bounded(40));
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished());
        const auto records = TGameRecords::Parse(ReadAll(games));
        QVERIFY2(records, qPrintable(QStringLiteral("round %1: a broken file").arg(round)));
        QCOMPARE(int(records->size()), 1);
        const std::vector<TCellPos>& moves = records->front().Moves;
        for (std::size_t i = 0; i < moves.size(); ++i)
            QCOMPARE(moves[i], (TCellPos{int(1 + i % 8), int(1 + (i / 8) % 8)}));
    }
}

int main(int argc, char** argv) {
    if (const char* folder = std::getenv("VELTROY_RECORD_WRITER"))
        return WriteUntilKilled(QString::fromLocal8Bit(folder));
    QCoreApplication app(argc, argv);
    GameRecordsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gamerecords.moc"
