// The board on a screen of two device pixels per logical pixel: drawn at device resolution, with
// hard grid lines, while its geometry and the mouse stay in logical pixels.
#include "BoardTestUtil.h"
#include "app/Unit1.h"
#include "match/Unit3.h"
#include "net/Lanx.h"
#include "platform/Platform.h"
#include "settings/Unit4.h"
#include "settings/about.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Before the application object exists: every screen doubles.
const bool kScaleSet = [] {
    qputenv("QT_SCALE_FACTOR", "2");
    return true;
}();

// Share of the aligned 2 x 2 blocks of device pixels within rect that are not one colour.
double MixedBlocks(const QImage& image, const QRect& rect) {
    int mixed = 0, blocks = 0;
    for (int y = rect.top() & ~1; y + 1 <= rect.bottom(); y += 2) {
        for (int x = rect.left() & ~1; x + 1 <= rect.right(); x += 2) {
            const QRgb p = image.pixel(x, y);
            mixed += image.pixel(x + 1, y) != p || image.pixel(x, y + 1) != p ||
                     image.pixel(x + 1, y + 1) != p;
            ++blocks;
        }
    }
    return blocks == 0 ? 0.0 : double(mixed) / blocks;
}

} // namespace

class HiDpiTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;

private slots:
    void init() {
        platform::SetWorkAreaOverride(QRect(0, 0, 1280, 1024));
        platform::SetSleepHook([](int) {});
        lanx::SetHaltHook([] { QFAIL("the session component ended the program"); });
    }
    void cleanup() { platform::SetSleepHook({}); }

    void boardIsCrispWhileGeometryAndClicksStayLogical() {
        QVERIFY(kScaleSet);
        TApplicationWindows windows = CreateApplicationWindows(dir.filePath("Quorin.INI"));
        TForm1& form = *windows.Form1;
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.Image1->devicePixelRatioF(), 2.0);
        QCOMPARE(form.GRID->PixelRatio, 2.0);
        TGRID& g = *form.GRID;

        // The geometry is that of the same image at a ratio of 1.
        boardtest::FakeHost host;
        TGRID plain(GRIDSIZE, &host);
        boardtest::FakeCanvas canvas1(form.Image1->width(), form.Image1->height());
        plain.LAYOUT(canvas1);
        QCOMPARE(g.CellSize, plain.CellSize);
        QCOMPARE(g.BoardRect, plain.BoardRect);
        for (int c = 1; c <= GRIDSIZE; ++c)
            for (int r = 1; r <= GRIDSIZE; ++r) {
                QCOMPARE(g.Cells[c][r].Rect, plain.Cells[c][r].Rect);
                QCOMPARE(g.Cells[c][r].Center, plain.Cells[c][r].Center);
            }

        // Device pixels that are no blown-up copy: inside the board, within the pieces, in
        // the side panel's piece pictures.
        const QImage& board = form.Image1->Canvas();
        QCOMPARE(board.devicePixelRatio(), 2.0);
        const TRect32& b = g.BoardRect;
        const QRect boardDevice(2 * b.Left, 2 * b.Top, 2 * (b.Right - b.Left),
                                2 * (b.Bottom - b.Top));
        const double mixed = MixedBlocks(board, boardDevice);
        QVERIFY2(mixed > 0.05, qPrintable(QString("mixed 2x2 blocks: %1").arg(mixed)));
        QCOMPARE(g.PieceA.size(), QSize(2 * g.CellSize, 2 * g.CellSize));
        QCOMPARE(g.BigPieceA.size(), QSize(200, 200));
        QVERIFY(MixedBlocks(g.PieceA, g.PieceA.rect()) > 0.05);
        QCOMPARE(form.ImageA->Canvas().size(), QSize(62, 62));
        QVERIFY(MixedBlocks(form.ImageA->Canvas(), form.ImageA->Canvas().rect()) > 0.05);
        QCOMPARE(windows.OKRightDlg->IMAGEAPIC->Canvas().size(), QSize(82, 82));
        QCOMPARE(windows.OKRightDlg->PatternImages[0]->Canvas().devicePixelRatio(), 2.0);
        const QLabel* emblem = windows.OKBottomDlg->Image1;
        QCOMPARE(emblem->pixmap().devicePixelRatio(), 2.0);
        QCOMPARE(emblem->size(), QSize(80, 68));

        // A piece square shows the piece image pixel for pixel, inside the grid lines.
        const TRect32& sq = g.Cells[4][4].Rect;
        for (int y = 4; y < 2 * g.CellSize - 4; ++y)
            for (int x = 4; x < 2 * g.CellSize - 4; ++x)
                QCOMPARE(board.pixel(2 * sq.Left + x, 2 * sq.Top + y), g.PieceA.pixel(x, y));

        // The grid line right of column 1 is exactly 4 device pixels of the line colour;
        // its neighbours on both sides are the untouched background.
        const QRgb line = ColorToQColor(g.LineColor).rgb();
        const int x = 2 * g.Cells[1][1].Rect.Right;
        for (int y = 2 * sq.Top + 4; y < 2 * sq.Bottom - 4; ++y) {
            for (int dx = -2; dx <= 1; ++dx)
                QCOMPARE(board.pixel(x + dx, y), line);
            QCOMPARE(board.pixel(x - 3, y), form.BACKBMP.pixel(x - 3, y));
            QCOMPARE(board.pixel(x + 2, y), form.BACKBMP.pixel(x + 2, y));
        }

        // The same moves as at a ratio of 1: every square's centre, clicked on the widget
        // or chosen by keys,
        // arrives as the same logical point and maps to that square; a legal one makes
        // the same move.
        g.Turn = plain.Turn = +1;
        g.PUTSEARCH();
        plain.PUTSEARCH();
        g.DRAWGRID(*form.Image1);
        QPoint clicked;
        form.Image1->OnMouseUp = [&](Qt::MouseButton, Qt::KeyboardModifiers, int px, int py) {
            clicked = {px, py};
        };
        int moves = 0;
        for (int c = 1; c <= GRIDSIZE; ++c) {
            for (int r = 1; r <= GRIDSIZE; ++r) {
                const QPoint at(plain.COLTOX(c), plain.ROWTOY(r));
                // A key on the square plays the very point a click on it does.
                QTest::keyClick(form.Image1, Qt::Key_Home);
                for (int k = 1; k < c; ++k)
                    QTest::keyClick(form.Image1, Qt::Key_Right);
                for (int k = 1; k < r; ++k)
                    QTest::keyClick(form.Image1, Qt::Key_Down);
                clicked = {};
                QTest::keyClick(form.Image1, Qt::Key_Return);
                QCOMPARE(clicked, at);
                QTest::mouseClick(form.Image1, Qt::LeftButton, {}, at);
                QCOMPARE(clicked, at);
                QCOMPARE(g.XTOCOL(clicked.x()), c);
                QCOMPARE(g.YTOROW(clicked.y()), r);
                if (moves == 0 && g.Cells[c][r].PutSide != 0) {
                    QCOMPARE(g.PUTPIECE(clicked.x(), clicked.y(), *form.Image1),
                             plain.PUTPIECE(at.x(), at.y(), canvas1));
                    QCOMPARE(boardtest::PositionText(g), boardtest::PositionText(plain));
                    // The animation step drew the piece at device resolution, in place.
                    const TRect32& placed = g.Cells[c][r].Rect;
                    for (int d = 4; d < 2 * g.CellSize - 4; ++d)
                        QCOMPARE(board.pixel(2 * placed.Left + d, 2 * placed.Top + d),
                                 g.PieceA.pixel(d, d));
                    ++moves;
                }
            }
        }
        QCOMPARE(moves, 1);
    }
};

QTEST_MAIN(HiDpiTest)
#include "tst_hidpi.moc"
