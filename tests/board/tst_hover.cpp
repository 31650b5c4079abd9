// Tests of the hover feedback: frame, cursor and repaints as the mouse crosses squares.
#include "BoardTestUtil.h"

#include "board/Unit2.h"

#include <QTest>
#include <vector>

namespace {

constexpr QRgb kLine = 0x0000FF; // LineColor clBlue as RGB

// Every full repaint ends by setting the count labels: counted here.
class CountingHost : public boardtest::FakeHost {
public:
    void SetCountLabels(const QString& a, const QString& b) override {
        FakeHost::SetCountLabels(a, b);
        ++Repaints;
    }
    int Repaints = 0;
};

// The board image: counts cursor changes.
class CountingImage : public PaintTarget {
public:
    int Width() const override { return 400; }
    int Height() const override { return 400; }
    QImage& Canvas() override { return Picture; }
    void SetPicture(const QImage& image) override { Picture = image; }
    void Changed() override {}
    void SetCursorShape(Qt::CursorShape shape) override {
        Cursor = shape;
        ++CursorCalls;
    }
    QImage Picture;
    int CursorCalls = 0;
    Qt::CursorShape Cursor = Qt::ArrowCursor;
};

struct Move {
    QPoint At;             // mouse position in pixels
    int Repaints;          // full repaints this move causes
    TCellPos Hover;        // HoverPos afterwards
    Qt::CursorShape Shape; // cursor afterwards
    TCellPos Framed;       // square carrying a frame on screen afterwards; (0, 0) none
};
using Moves = std::vector<Move>;

} // namespace

Q_DECLARE_METATYPE(Moves)

namespace {

// Board 400 x 400: squares of 46 from (15, 15). A point inside square (c, r):
QPoint In(int c, int r, int dx = 20, int dy = 20) {
    return {15 + (c - 1) * 46 + dx, 15 + (r - 1) * 46 + dy};
}

const TCellPos kNone{0, 0};
constexpr auto kHand = Qt::PointingHandCursor;
constexpr auto kArrow = Qt::ArrowCursor;

bool HasFrame(const QImage& canvas, const TGRID& g, int c, int r) {
    const TRect32 rc = g.Cells[c][r].Rect;
    const int mid = (rc.Top + rc.Bottom) / 2;
    return (canvas.pixel(rc.Left + 3, mid) & 0xFFFFFF) == kLine &&
           (canvas.pixel(rc.Right - 4, mid) & 0xFFFFFF) == kLine;
}

class TestHover : public QObject {
    Q_OBJECT

    CountingHost Host;

private slots:
    void init() {
        GRIDSIZE = 8;
        Host.Back = QImage(640, 480, QImage::Format_RGB32);
        Host.Back.fill(Qt::white);
    }

    void hoverFollowsTheMouse_data() {
        QTest::addColumn<int>("turn");
        QTest::addColumn<Moves>("moves");
        // Legal for +1 on the starting position: (4,6), (3,5), (5,3), (6,4).
        QTest::newRow("within one legal square: framed once, no repaint")
            << 1
            << Moves{{In(4, 6), 0, {4, 6}, kHand, {4, 6}},
                     {In(4, 6, 5, 30), 0, {4, 6}, kHand, {4, 6}},
                     {In(4, 6, 40, 2), 0, {4, 6}, kHand, {4, 6}}};
        QTest::newRow("legal to legal: one repaint, the new square framed")
            << 1
            << Moves{{In(4, 6), 0, {4, 6}, kHand, {4, 6}}, {In(3, 5), 1, {3, 5}, kHand, {3, 5}}};
        QTest::newRow("legal to occupied: frame removed, arrow")
            << 1
            << Moves{{In(6, 4), 0, {6, 4}, kHand, {6, 4}},
                     {In(5, 4), 1, kNone, kArrow, kNone},
                     {In(1, 1), 0, kNone, kArrow, kNone}};
        QTest::newRow("legal to beyond the squares: frame and hand stay")
            << 1
            << Moves{{In(5, 3), 0, {5, 3}, kHand, {5, 3}},
                     {QPoint(395, 200), 0, {5, 3}, kHand, {5, 3}},
                     {QPoint(200, 398), 0, {5, 3}, kHand, {5, 3}}};
        // Less than a square above the board still counts as row 1.
        QTest::newRow("margin above maps to row 1")
            << 1
            << Moves{{In(5, 3), 0, {5, 3}, kHand, {5, 3}},
                     {QPoint(100, 5), 1, kNone, kArrow, kNone}};
        QTest::newRow("no turn: arrow everywhere, never a repaint")
            << 0
            << Moves{{In(4, 6), 0, kNone, kArrow, kNone},
                     {In(3, 5), 0, kNone, kArrow, kNone},
                     {In(4, 4), 0, kNone, kArrow, kNone}};
        QTest::newRow("side -1 hovers its own squares")
            << -1
            << Moves{{In(4, 6), 0, kNone, kArrow, kNone}, {In(4, 3), 0, {4, 3}, kHand, {4, 3}}};
    }

    void hoverFollowsTheMouse() {
        QFETCH(int, turn);
        QFETCH(Moves, moves);
        TGRID g(8, &Host);
        g.LineColor = clBlue;
        g.Turn = turn;
        g.PUTSEARCH();
        CountingImage image;
        g.LAYOUT(image);
        Host.Repaints = 0;
        int step = 0;
        for (const Move& m : moves) {
            ++step;
            const int before = Host.Repaints;
            g.HOVER(m.At.x(), m.At.y(), image);
            const QString where =
                QStringLiteral("move %1 to (%2,%3)").arg(step).arg(m.At.x()).arg(m.At.y());
            QVERIFY2(
                Host.Repaints - before == m.Repaints,
                qPrintable(where + QStringLiteral(": %1 repaints").arg(Host.Repaints - before)));
            QVERIFY2(
                g.HoverPos == m.Hover,
                qPrintable(
                    where +
                    QStringLiteral(": HoverPos (%1,%2)").arg(g.HoverPos.Col).arg(g.HoverPos.Row)));
            QVERIFY2(image.Cursor == m.Shape, qPrintable(where + QStringLiteral(": wrong cursor")));
            for (int c = 1; c <= 8; ++c)
                for (int r = 1; r <= 8; ++r)
                    QVERIFY2(
                        HasFrame(image.Picture, g, c, r) == (m.Framed == TCellPos{c, r}),
                        qPrintable(where + QStringLiteral(": frame on (%1,%2) is %3")
                                               .arg(c)
                                               .arg(r)
                                               .arg(HasFrame(image.Picture, g, c, r) ? "there"
                                                                                     : "missing")));
        }
    }

    void outsideTheBoardNothingChanges() {
        TGRID g(8, &Host);
        g.Turn = +1;
        g.PUTSEARCH();
        CountingImage image;
        g.LAYOUT(image);
        Host.Repaints = 0;
        for (const QPoint& p : {QPoint(395, 395), QPoint(-50, 100), QPoint(100, 399)})
            g.HOVER(p.x(), p.y(), image);
        QCOMPARE(image.CursorCalls, 0);
        QCOMPARE(Host.Repaints, 0);
    }

    void repaintFromElsewhereHidesTheFrameUntilAnotherSquare() {
        TGRID g(8, &Host);
        g.LineColor = clBlue;
        g.Turn = +1;
        g.PUTSEARCH();
        CountingImage image;
        g.LAYOUT(image);
        g.HOVER(In(4, 6).x(), In(4, 6).y(), image);
        QVERIFY(HasFrame(image.Picture, g, 4, 6));
        g.DRAWGRID(image);
        QVERIFY(!HasFrame(image.Picture, g, 4, 6));
        QCOMPARE(g.HoverPos, (TCellPos{4, 6}));
        g.HOVER(In(4, 6, 30, 30).x(), In(4, 6, 30, 30).y(), image);
        QVERIFY2(!HasFrame(image.Picture, g, 4, 6), "the frame came back on the same square");
        g.HOVER(In(3, 5).x(), In(3, 5).y(), image);
        QVERIFY(HasFrame(image.Picture, g, 3, 5));
    }
};

} // namespace

QTEST_MAIN(TestHover)
#include "tst_hover.moc"
