// Tests of the board rules: legal squares, turning order, counts, game end, pixel conversions,
// and the animation steps of a move. No application object and no widgets are needed.
#include "BoardTestUtil.h"

#include "board/Unit2.h"
#include "platform/Platform.h"
#include "platform/Sound.h"

#include <QTest>
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

using namespace boardtest;

namespace {

QString Text(const TCellPos& p) {
    return QStringLiteral("(%1,%2)").arg(p.Col).arg(p.Row);
}

QString Text(const std::vector<TCellPos>& list) {
    QStringList parts;
    for (const TCellPos& p : list)
        parts << Text(p);
    return parts.join(QLatin1Char(' '));
}

// Squares carrying a legal mark, column by column.
QString LegalText(const TGRID& g) {
    std::vector<TCellPos> marked;
    for (int c = 1; c <= GRIDSIZE; ++c)
        for (int r = 1; r <= GRIDSIZE; ++r)
            if (g.Cells[c][r].PutSide != 0)
                marked.push_back({c, r});
    return Text(marked);
}

const QStringList kStart = {"........", "........", "........", "...AB...",
                            "...BA...", "........", "........", "........"};

// Independent reference: the position as two bitboards, bit (r-1)*8 + (c-1).
using Bits = std::uint64_t;
constexpr Bits kNotFirstCol = 0xFEFEFEFEFEFEFEFEull;
constexpr Bits kNotLastCol = 0x7F7F7F7F7F7F7F7Full;
constexpr int kDirs[8][2] = {{-1, -1}, {-1, 0}, {-1, 1}, {0, -1}, {0, 1}, {1, -1}, {1, 0}, {1, 1}};

Bits BitOf(int c, int r) {
    return Bits(1) << ((r - 1) * 8 + (c - 1));
}

Bits Shift(Bits x, int dc, int dr) {
    if (dc == 1)
        x &= kNotLastCol;
    else if (dc == -1)
        x &= kNotFirstCol;
    const int d = dr * 8 + dc;
    return d > 0 ? x << d : x >> -d;
}

// All legal moves of `own` at once: runs of `opp` grown from every own piece.
Bits Moves(Bits own, Bits opp) {
    const Bits empty = ~(own | opp);
    Bits moves = 0;
    for (const auto& d : kDirs) {
        Bits t = Shift(own, d[0], d[1]) & opp;
        for (int i = 0; i < 5; ++i)
            t |= Shift(t, d[0], d[1]) & opp;
        moves |= Shift(t, d[0], d[1]) & empty;
    }
    return moves;
}

Bits Flips(Bits move, Bits own, Bits opp) {
    Bits flips = 0;
    for (const auto& d : kDirs) {
        Bits run = 0;
        Bits x = Shift(move, d[0], d[1]);
        while (x & opp) {
            run |= x;
            x = Shift(x, d[0], d[1]);
        }
        if (x & own)
            flips |= run;
    }
    return flips;
}

// Small deterministic generator (splitmix64) so that every run plays the same games.
struct Rng {
    std::uint64_t s;
    std::uint64_t Next() {
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int n) { return static_cast<int>(Next() % std::uint64_t(n)); }
};

int RandomMove(Bits moves, Rng& rng) {
    for (int k = rng.Below(std::popcount(moves)); k > 0; --k)
        moves &= moves - 1;
    return std::countr_zero(moves);
}

// The move turning the most pieces; the first such square in bit order.
int GreedyMove(Bits moves, Bits own, Bits opp) {
    int best = -1, bestFlips = -1;
    for (; moves != 0; moves &= moves - 1) {
        const int bit = std::countr_zero(moves);
        const int n = std::popcount(Flips(Bits(1) << bit, own, opp));
        if (n > bestFlips) {
            best = bit;
            bestFlips = n;
        }
    }
    return best;
}

// Checks the board's marks for Turn against the reference; empty string when they agree.
QString CompareMarks(const TGRID& g, Bits own, Bits opp) {
    const Bits moves = Moves(own, opp);
    for (int c = 1; c <= GRIDSIZE; ++c) {
        for (int r = 1; r <= GRIDSIZE; ++r) {
            const TGRIDCELL& cell = g.Cells[c][r];
            const QString at = Text(TCellPos{c, r});
            if (cell.PutSide != 0 && (cell.State != 0 || cell.PutSide != g.Turn))
                return at + QStringLiteral(" marked %1 with state %2, turn %3")
                                .arg(cell.PutSide)
                                .arg(cell.State)
                                .arg(g.Turn);
            if ((cell.PutSide != 0) != bool(moves & BitOf(c, r)))
                return at + QStringLiteral(" legal mark %1 disagrees").arg(cell.PutSide);
            if (cell.State != 0)
                continue;
            const Bits flips = Flips(BitOf(c, r), own, opp);
            Bits listed = 0;
            int prevKey = -1;
            for (const TCellPos& p : cell.TurnList) {
                listed |= BitOf(p.Col, p.Row);
                // Sort key: direction index in turning order, then distance outwards.
                const int dc = p.Col - c, dr = p.Row - r;
                const int key = ((dc > 0) - (dc < 0) + 1) * 48 + ((dr > 0) - (dr < 0) + 1) * 16 +
                                std::max(std::abs(dc), std::abs(dr));
                if (key <= prevKey)
                    return at + QStringLiteral(" turns out of order: ") + Text(cell.TurnList);
                prevKey = key;
            }
            if (listed != flips || cell.TurnCount != std::popcount(flips) ||
                cell.TurnList.size() != std::size_t(cell.TurnCount))
                return at + QStringLiteral(" would turn %1 (count %2), reference has %3")
                                .arg(Text(cell.TurnList))
                                .arg(cell.TurnCount)
                                .arg(std::popcount(flips));
        }
    }
    return {};
}

QString ComparePosition(const TGRID& g, Bits a, Bits b) {
    for (int c = 1; c <= GRIDSIZE; ++c)
        for (int r = 1; r <= GRIDSIZE; ++r) {
            const int want = (a & BitOf(c, r)) ? 1 : (b & BitOf(c, r)) ? -1 : 0;
            if (g.Cells[c][r].State != want)
                return QStringLiteral("state of %1 is %2, expected %3")
                    .arg(Text(TCellPos{c, r}))
                    .arg(g.Cells[c][r].State)
                    .arg(want);
        }
    if (g.ACount != std::popcount(a) || g.BCount != std::popcount(b))
        return QStringLiteral("counts %1/%2, pieces on board %3/%4")
            .arg(g.ACount)
            .arg(g.BCount)
            .arg(std::popcount(a))
            .arg(std::popcount(b));
    return {};
}

} // namespace

class TestRules : public QObject {
    Q_OBJECT

    QList<int> Waits;
    std::function<void()> OnWait; // runs at every wait, before it is recorded

private slots:
    void initTestCase() {
        platform::SetSleepHook([this](int ms) {
            if (OnWait)
                OnWait();
            Waits.push_back(ms);
        });
    }
    void cleanupTestCase() {
        platform::SetSleepHook({});
        platform::ShutdownSound();
    }
    void init() {
        Waits.clear();
        OnWait = {};
    }

    void freshBoardHasStartingPositionAndNoMove() {
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        QCOMPARE(PositionText(g), kStart);
        QCOMPARE(g.ACount, 2);
        QCOMPARE(g.BCount, 2);
        QCOMPARE(g.Turn, 0);
        QCOMPARE(g.LastPut, (TCellPos{0, 0}));
        QCOMPARE(g.HoverPos, (TCellPos{0, 0}));
        QCOMPARE(LegalText(g), QString());
        QVERIFY(!g.PUTSEARCH());
        QVERIFY(!g.GAMEOVER());
    }

    void startingPositionHasFourLegalSquaresTurningOne_data() {
        QTest::addColumn<int>("side");
        QTest::addColumn<QString>("legal");
        QTest::newRow("+1") << +1 << "(3,5) (4,6) (5,3) (6,4)";
        QTest::newRow("-1") << -1 << "(3,4) (4,3) (5,6) (6,5)";
    }
    void startingPositionHasFourLegalSquaresTurningOne() {
        QFETCH(int, side);
        QFETCH(QString, legal);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        g.Turn = side;
        QVERIFY(g.PUTSEARCH());
        QCOMPARE(LegalText(g), legal);
        for (int c = 1; c <= GRIDSIZE; ++c)
            for (int r = 1; r <= GRIDSIZE; ++r)
                if (g.Cells[c][r].PutSide != 0) {
                    QCOMPARE(g.Cells[c][r].PutSide, side);
                    QCOMPARE(g.Cells[c][r].TurnCount, 1);
                }
    }

    void firstMoveTurnsOnePieceAndKeepsCounts() {
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 10, 20, 10);
        FakeCanvas canvas;
        g.Turn = +1;
        g.PUTSEARCH();
        QCOMPARE(g.PUTPIECE(g.COLTOX(4), g.ROWTOY(6), canvas), 1);
        QCOMPARE(g.Cells[4][6].State, +1);
        QCOMPARE(g.Cells[4][5].State, +1);
        QCOMPARE(g.ACount, 4);
        QCOMPARE(g.BCount, 1);
        QCOMPARE(g.LastPut, (TCellPos{4, 6}));
        QCOMPARE(g.Turn, +1);
        QCOMPARE(g.Cells[4][6].PutSide, +1); // kept until the next PUTSEARCH
    }

    // Placing at (4,4) closes a run in every direction; each run has its own length.
    void runsTurnInDirectionOrderFromThePieceOutwards_data() {
        const QStringList rows = {"A..A....", ".B.B.A..", "..BBB...", ".AB.BBBA",
                                  "..BBB...", ".B.A.B..", "A.....B.", ".......A"};
        QTest::addColumn<int>("side");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("+1") << +1 << rows;
        QTest::newRow("-1") << -1 << Swapped(rows);
    }
    void runsTurnInDirectionOrderFromThePieceOutwards() {
        QFETCH(int, side);
        QFETCH(QStringList, rows);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 0, 0, 10);
        LoadPosition(g, rows);
        const int a = g.ACount, b = g.BCount;
        g.Turn = side;
        QVERIFY(g.PUTSEARCH());
        QCOMPARE(Text(g.Cells[4][4].TurnList), QStringLiteral("(3,3) (2,2) (3,4) (3,5) (2,6) "
                                                              "(4,3) (4,2) (4,5) (5,3) (5,4) "
                                                              "(6,4) (7,4) (5,5) (6,6) (7,7)"));
        QCOMPARE(g.Cells[4][4].TurnCount, 15);
        FakeCanvas canvas;
        QCOMPARE(g.PUTPIECE(g.COLTOX(4), g.ROWTOY(4), canvas), 15);
        const QStringList after = {"A..A....", ".A.A.A..", "..AAA...", ".AAAAAAA",
                                   "..AAA...", ".A.A.A..", "A.....A.", ".......A"};
        QCOMPARE(PositionText(g), side == +1 ? after : Swapped(after));
        QCOMPARE(side == +1 ? g.ACount : g.BCount, (side == +1 ? a : b) + 16);
        QCOMPARE(side == +1 ? g.BCount : g.ACount, (side == +1 ? b : a) - 15);
    }

    void putCheckTurnsOnlyClosedRuns_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("side");
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("turned");
        const QString e = QStringLiteral("........");
        QTest::newRow("run reaching the edge turns nothing")
            << QStringList{e, e, e, "BBBBBBB.", e, e, e, e} << +1 << 8 << 4 << "";
        QTest::newRow("diagonal run reaching the corner turns nothing")
            << QStringList{e,          ".B......", "..B.....", "...B....",
                           "....B...", ".....B..", "......B.", e}
            << +1 << 8 << 8 << "";
        QTest::newRow("run ending at an empty square turns nothing")
            << QStringList{"A.BB....", e, e, e, e, e, e, e} << +1 << 5 << 1 << "";
        QTest::newRow("own piece next to the square turns nothing")
            << QStringList{"AA......", e, e, e, e, e, e, e} << +1 << 3 << 1 << "";
        QTest::newRow("run across the whole row, nearest first")
            << QStringList{"ABBBBBB.", e, e, e, e, e, e, e} << +1 << 8 << 1
            << "(7,1) (6,1) (5,1) (4,1) (3,1) (2,1)";
        QTest::newRow("open run beside a closed one")
            << QStringList{e, e, e, "BBB.BA..", e, e, e, e} << +1 << 4 << 4 << "(5,4)";
        QTest::newRow("corner square")
            << QStringList{e, ".B......", "..A.....", e, e, e, e, e} << +1 << 1 << 1 << "(2,2)";
        QTest::newRow("side -1 closes with its own piece")
            << QStringList{"BA......", e, e, e, e, e, e, e} << -1 << 3 << 1 << "(2,1)";
        QTest::newRow("side -1 is not closed by +1")
            << QStringList{"AA......", e, e, e, e, e, e, e} << -1 << 3 << 1 << "";
    }
    void putCheckTurnsOnlyClosedRuns() {
        QFETCH(QStringList, rows);
        QFETCH(int, side);
        QFETCH(int, col);
        QFETCH(int, row);
        QFETCH(QString, turned);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        LoadPosition(g, rows);
        g.Turn = side;
        const int n = g.PUTCHECK(col, row);
        const TGRIDCELL& cell = g.Cells[col][row];
        QCOMPARE(Text(cell.TurnList), turned);
        QCOMPARE(n, int(cell.TurnList.size()));
        QCOMPARE(cell.TurnCount, n);
        QCOMPARE(cell.PutSide, n > 0 ? side : 0);
    }

    void turnZeroMakesNothingLegal() {
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        LoadPosition(g, {"A..A....", ".B.B.A..", "..BBB...", ".AB.BBBA", "..BBB...", ".B.A.B..",
                         "A.....B.", ".......A"});
        g.Turn = +1;
        QVERIFY(g.PUTSEARCH());
        g.Turn = 0;
        QVERIFY(!g.PUTSEARCH());
        QCOMPARE(LegalText(g), QString());
        for (int c = 1; c <= GRIDSIZE; ++c)
            for (int r = 1; r <= GRIDSIZE; ++r)
                if (g.Cells[c][r].State == 0)
                    QCOMPARE(g.Cells[c][r].TurnCount, 0);
    }

    void gameOverWhenNeitherSideCanMove_data() {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("turn");
        QTest::addColumn<bool>("over");
        const QString a = QStringLiteral("AAAAAAAA"), e = QStringLiteral("........");
        QTest::newRow("starting position") << kStart << 0 << false;
        QTest::newRow("full board")
            << QStringList{a, a, "BBBBBBBB", "ABABABAB", a, a, a, "BBBBBBBB"} << +1 << true;
        QTest::newRow("only +1 left, squares empty")
            << QStringList{e, e, e, "...AA...", e, e, e, e} << -1 << true;
        QTest::newRow("only -1 left, squares empty")
            << QStringList{e, e, e, "...BB...", e, e, e, e} << +1 << true;
        QTest::newRow("both sides blocked with a square empty")
            << QStringList{a, a, a, a, a, a, a, "BBBBBBB."} << +1 << true;
        QTest::newRow("only +1 can move, -1 to move")
            << QStringList{"ABBBBBB.", e, e, e, e, e, e, e} << -1 << false;
        QTest::newRow("only +1 can move, +1 to move")
            << QStringList{"ABBBBBB.", e, e, e, e, e, e, e} << +1 << false;
    }
    void gameOverWhenNeitherSideCanMove() {
        QFETCH(QStringList, rows);
        QFETCH(int, turn);
        QFETCH(bool, over);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        LoadPosition(g, rows);
        g.Turn = turn;
        g.PUTSEARCH();
        const QString marks = LegalText(g);
        // Leave marks of the other side behind: GAMEOVER must end on marks for Turn.
        g.Turn = -turn;
        g.PUTSEARCH();
        g.Turn = turn;
        QCOMPARE(g.GAMEOVER(), over);
        QCOMPARE(g.Turn, turn);
        QCOMPARE(LegalText(g), marks);
        QCOMPARE(PositionText(g), rows);
    }

    // Points relative to a board at (10, 20) with squares of 10 pixels.
    void putPieceOffALegalSquareChangesNothing_data() {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("y");
        QTest::newRow("occupied square") << 45 << 55;
        QTest::newRow("empty illegal square") << 35 << 45;
        QTest::newRow("corner square") << 10 << 20;
        QTest::newRow("a square left of the board") << -1 << 75;
        QTest::newRow("right of the board") << 90 << 55;
        QTest::newRow("below the board") << 65 << 100;
        QTest::newRow("above the board") << 65 << 9;
        QTest::newRow("far away") << -1000000 << 1000000;
    }
    void putPieceOffALegalSquareChangesNothing() {
        QFETCH(int, x);
        QFETCH(int, y);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 10, 20, 10);
        g.Turn = +1;
        g.PUTSEARCH();
        // Marks just off the board catch a missing bounds check.
        for (int i = 0; i <= GRIDSIZE + 1; ++i)
            for (TGRIDCELL* cell : {&g.Cells[0][i], &g.Cells[GRIDSIZE + 1][i], &g.Cells[i][0],
                                    &g.Cells[i][GRIDSIZE + 1]})
                cell->PutSide = +1;
        FakeCanvas canvas(100, 120);
        const QImage before = canvas.Image;
        const QString marks = LegalText(g);
        QCOMPARE(g.PUTPIECE(x, y, canvas), 0);
        QCOMPARE(PositionText(g), kStart);
        QCOMPARE(g.ACount, 2);
        QCOMPARE(g.BCount, 2);
        QCOMPARE(g.LastPut, (TCellPos{0, 0}));
        QCOMPARE(LegalText(g), marks);
        QVERIFY2(Waits.empty(), "a rejected move must not animate");
        QCOMPARE(canvas.ChangedCount, 0);
        QVERIFY(canvas.Image == before);
    }

    // Marks that do not belong to the current Turn, or a square already played,
    // never apply a move.
    void putPieceIgnoresStaleMarks() {
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 0, 0, 10);
        FakeCanvas canvas;
        g.Turn = +1;
        g.PUTSEARCH();
        QCOMPARE(g.PUTPIECE(g.COLTOX(4), g.ROWTOY(6), canvas), 1);
        const QStringList played = PositionText(g);
        QCOMPARE(g.PUTPIECE(g.COLTOX(4), g.ROWTOY(6), canvas), 0); // same square, no PUTSEARCH
        g.Turn = -1;                                               // marks still for +1
        QCOMPARE(g.PUTPIECE(g.COLTOX(5), g.ROWTOY(3), canvas), 0);
        g.Turn = 0;
        QCOMPARE(g.PUTPIECE(g.COLTOX(5), g.ROWTOY(3), canvas), 0);
        QCOMPARE(PositionText(g), played);
        QCOMPARE(g.ACount, 4);
        QCOMPARE(g.BCount, 1);
        QCOMPARE(g.LastPut, (TCellPos{4, 6}));
        QCOMPARE(int(Waits.size()), 2);
    }

    // Board at left 10, top 20, squares of 10 pixels.
    void pixelToSquareTruncatesTowardZero_data() {
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("col");
        QTest::addColumn<int>("y");
        QTest::addColumn<int>("row");
        QTest::newRow("first pixel of the board") << 10 << 1 << 20 << 1;
        QTest::newRow("last pixel of the first square") << 19 << 1 << 29 << 1;
        QTest::newRow("one pixel before the board") << 9 << 1 << 19 << 1;
        QTest::newRow("less than a square before") << 1 << 1 << 11 << 1;
        QTest::newRow("exactly a square before") << 0 << 0 << 10 << 0;
        QTest::newRow("more than a square before") << -11 << -1 << 9 << 0;
        QTest::newRow("last pixel of the board") << 89 << 8 << 99 << 8;
        QTest::newRow("first pixel past the board") << 90 << 9 << 100 << 9;
    }
    void pixelToSquareTruncatesTowardZero() {
        QFETCH(int, x);
        QFETCH(int, col);
        QFETCH(int, y);
        QFETCH(int, row);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 10, 20, 10);
        QCOMPARE(g.XTOCOL(x), col);
        QCOMPARE(g.YTOROW(y), row);
        QCOMPARE(g.IsSquare(col, row), col >= 1 && col <= GRIDSIZE && row >= 1 && row <= GRIDSIZE);
    }

    void squareToPixelLandsInsideTheSquare() {
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        QVERIFY2(!g.IsSquare(g.XTOCOL(5), g.YTOROW(5)), "no square before the geometry is set");
        for (int size : {2, 7, 10, 11, 60}) {
            SetGeometry(g, 13, 4, size);
            for (int i = 1; i <= GRIDSIZE; ++i) {
                const TRect32& rc = g.Cells[i][i].Rect;
                QVERIFY2(g.COLTOX(i) >= rc.Left && g.COLTOX(i) < rc.Right,
                         qPrintable(QStringLiteral("size %1 column %2").arg(size).arg(i)));
                QVERIFY2(g.ROWTOY(i) >= rc.Top && g.ROWTOY(i) < rc.Bottom,
                         qPrintable(QStringLiteral("size %1 row %2").arg(size).arg(i)));
                QCOMPARE(g.XTOCOL(g.COLTOX(i)), i);
                QCOMPARE(g.YTOROW(g.ROWTOY(i)), i);
            }
        }
    }

    // Random complete games, checked at every step against the bitboard reference.
    void randomGamesAgreeWithReference() {
        constexpr int kGames = 300;
        Rng rng{20240611};
        int fullEnds = 0, emptyEnds = 0, passes = 0;
        FakeCanvas canvas; // null picture: steps draw nothing
        for (int game = 0; game < kGames; ++game) {
            FakeHost host;
            TGRID g(GRIDSIZE, &host);
            SetGeometry(g, 7, 3, 10);
            Bits a = BitOf(4, 4) | BitOf(5, 5), b = BitOf(5, 4) | BitOf(4, 5);
            int side = +1;
            // Some games pit a greedy side against a random one: such games end
            // early with squares left empty far more often than random ones.
            const bool greedy[2] = {game % 3 == 1, game % 3 == 2};
            for (int ply = 0;; ++ply) {
                const auto where = [&] {
                    return QStringLiteral("game %1 ply %2 side %3: ").arg(game).arg(ply).arg(side);
                };
                Bits& own = side == +1 ? a : b;
                Bits& opp = side == +1 ? b : a;
                g.Turn = side;
                const Bits moves = Moves(own, opp);
                QVERIFY2(g.PUTSEARCH() == (moves != 0), qPrintable(where() + "PUTSEARCH"));
                QString err = CompareMarks(g, own, opp);
                QVERIFY2(err.isEmpty(), qPrintable(where() + err));
                const bool over = moves == 0 && Moves(opp, own) == 0;
                QVERIFY2(g.GAMEOVER() == over, qPrintable(where() + "GAMEOVER"));
                QCOMPARE(g.Turn, side);
                err = CompareMarks(g, own, opp);
                QVERIFY2(err.isEmpty(), qPrintable(where() + "after GAMEOVER " + err));
                if (over) {
                    ((a | b) == ~Bits(0) ? fullEnds : emptyEnds)++;
                    break;
                }
                if (moves != 0) {
                    const int bit =
                        greedy[side > 0] ? GreedyMove(moves, own, opp) : RandomMove(moves, rng);
                    const int c = bit % 8 + 1, r = bit / 8 + 1;
                    const Bits flips = Flips(Bits(1) << bit, own, opp);
                    const TRect32& rc = g.Cells[c][r].Rect;
                    Waits.clear();
                    const int n =
                        g.PUTPIECE(rc.Left + rng.Below(10), rc.Top + rng.Below(10), canvas);
                    QVERIFY2(n == std::popcount(flips), qPrintable(where() + "PUTPIECE result"));
                    QVERIFY2(int(Waits.size()) == n + 1, qPrintable(where() + "animation steps"));
                    QCOMPARE(g.LastPut, (TCellPos{c, r}));
                    own |= (Bits(1) << bit) | flips;
                    opp &= ~flips;
                    err = ComparePosition(g, a, b);
                    QVERIFY2(err.isEmpty(), qPrintable(where() + err));
                } else {
                    ++passes;
                }
                // Between turns the caller clears every mark.
                g.Turn = 0;
                QVERIFY(!g.PUTSEARCH());
                QVERIFY2(LegalText(g).isEmpty(), qPrintable(where() + "marks with Turn 0"));
                side = -side;
            }
        }
        qInfo("%d games: %d full board, %d with squares empty, %d passes", kGames, fullEnds,
              emptyEnds, passes);
        QVERIFY2(fullEnds > 0 && emptyEnds > 0 && passes > 0,
                 "the games should include both kinds of end and some passes");
    }

    // One step per piece shown: the placed piece first, then the turned ones in
    // list order, each already holding the mover's side. Without sound each step
    // waits 300 ms; with sound the sound sets the pace and nothing sleeps.
    void animationShowsEachPieceThenWaits_data() {
        QTest::addColumn<int>("side");
        QTest::addColumn<bool>("sound");
        QTest::newRow("+1 uses piece A") << +1 << false;
        QTest::newRow("-1 uses piece B") << -1 << false;
        QTest::newRow("sound on") << +1 << true;
    }
    void animationShowsEachPieceThenWaits() {
        QFETCH(int, side);
        QFETCH(bool, sound);
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 0, 0, 10);
        g.PieceA = SolidPiece(10, Qt::red);
        g.PieceB = SolidPiece(10, Qt::blue);
        g.SoundF = sound;
        const QStringList rows = {"...A....", "...B....", "...B....", ".AB.BBA.",
                                  "........", "........", "........", "........"};
        LoadPosition(g, side == +1 ? rows : Swapped(rows));
        g.Turn = side;
        g.PUTSEARCH();
        FakeCanvas canvas(80, 80);
        const QColor mine = side == +1 ? Qt::red : Qt::blue;
        QStringList shown; // at each wait: the squares showing the piece, row by row
        const auto showing = [&] {
            QStringList squares;
            for (int r = 1; r <= GRIDSIZE; ++r)
                for (int c = 1; c <= GRIDSIZE; ++c)
                    if (canvas.Image.pixelColor(c * 10 - 5, r * 10 - 5) == mine)
                        squares << Text(TCellPos{c, r}) +
                                       (g.Cells[c][r].State == side ? "" : "[state not set]");
            return squares.join(QLatin1Char(' '));
        };
        OnWait = [&] { shown << showing(); };
        QCOMPARE(g.PUTPIECE(35, 35, canvas), 5);
        const QStringList steps = {"(4,4)",
                                   "(3,4) (4,4)",
                                   "(4,3) (3,4) (4,4)",
                                   "(4,2) (4,3) (3,4) (4,4)",
                                   "(4,2) (4,3) (3,4) (4,4) (5,4)",
                                   "(4,2) (4,3) (3,4) (4,4) (5,4) (6,4)"};
        QCOMPARE(Waits, sound ? QList<int>() : QList<int>(6, 300));
        QCOMPARE(shown, sound ? QStringList() : steps);
        QCOMPARE(showing(), steps.last());
        QCOMPARE(canvas.ChangedCount, 6);
    }

    // A handler running during a step (a message processed mid-animation) may
    // change Turn; the move still places and turns for the side that started it.
    void turnChangedDuringAStepDoesNotSplitTheMove() {
        FakeHost host;
        TGRID g(GRIDSIZE, &host);
        SetGeometry(g, 0, 0, 10);
        g.Turn = +1;
        g.PUTSEARCH();
        OnWait = [&] { g.Turn = 0; };
        QCOMPARE(g.PUTPIECE(g.COLTOX(4), g.ROWTOY(6), *std::make_unique<FakeCanvas>(80, 80)), 1);
        QCOMPARE(g.Cells[4][6].State, +1);
        QCOMPARE(g.Cells[4][5].State, +1);
        QCOMPARE(g.ACount, 4);
        QCOMPARE(g.BCount, 1);
    }
};

QTEST_APPLESS_MAIN(TestRules)
#include "tst_rules.moc"
