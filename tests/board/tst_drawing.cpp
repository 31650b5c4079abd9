// Pixel tests of the board drawing: geometry, pattern, pieces, marks, frame, grid, labels.
#include "BoardTestUtil.h"

#include "board/Unit2.h"
#include "platform/ImageControl.h"

#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>

using boardtest::LoadPosition;

namespace {

constexpr int kArt = 144;
const QRect kDisc(11, 14, 121, 121);
constexpr QRgb kGrayInside = 0xFFCCCCCC;
constexpr QRgb kShadowGrey = 0xFF808080;
constexpr QRgb kSentinel = 0xFFFF00FF;

QRgb Rgb(QRgb p) {
    return p & 0x00FFFFFF;
}

QString Hex(QRgb p) {
    return QStringLiteral("#%1").arg(Rgb(p), 6, 16, QLatin1Char('0'));
}

// Tile i: red tells the pattern, green and blue the position inside the tile.
QRgb TilePixel(int index, int x, int y) {
    return qRgb(20 + 25 * index, 4 * (x % 60), 4 * (y % 60));
}

QImage Disc(QRgb outside, QRgb inside, QPoint offset = {}) {
    QImage img(kArt, kArt, QImage::Format_RGB32);
    img.fill(outside);
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(inside));
    p.drawEllipse(kDisc.translated(offset));
    return img;
}

// Synthetic artwork with the roles of the real one, so that every expected
// pixel can be worked out by hand.
class ArtHost : public TBoardHost {
public:
    ArtHost() {
        Back = QImage(640, 480, QImage::Format_RGB32);
        Back.fill(kSentinel);
        for (int i = 0; i < 8; ++i) {
            Tiles[i] = QImage(60, 60, QImage::Format_RGB32);
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 60; ++x)
                    Tiles[i].setPixel(x, y, TilePixel(i, x, y));
        }
        Mask = Disc(qRgb(0, 0, 0), qRgb(255, 255, 255));
        Gray = Disc(qRgb(255, 255, 255), kGrayInside);
        // A crescent below and right of the disc: the disc moved by 20, minus the disc.
        Shadow = Disc(qRgb(255, 255, 255), kShadowGrey, {20, 20});
        QPainter p(&Shadow);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawEllipse(kDisc);
        p.end();
        Kuro = Disc(qRgb(255, 255, 255), qRgb(0, 0, 0));
    }
    QImage& BackBmp() override { return Back; }
    int BmpIndex() const override { return Index; }
    const QImage& PatternTile(int index) const override { return Tiles[index]; }
    const QImage& ArtMask() const override { return Mask; }
    const QImage& ArtGray() const override { return Gray; }
    const QImage& ArtShadow() const override { return Shadow; }
    const QImage& ArtKuro() const override { return Kuro; }
    void SetCountLabels(const QString& a, const QString& b) override {
        Labels = {a, b};
        ++LabelCalls;
    }
    void PictureLoadFailed(const QString& path) override { Failed << path; }

    QImage Back;
    int Index = 0;
    QImage Tiles[8];
    QImage Mask, Gray, Shadow, Kuro;
    QStringList Labels;
    int LabelCalls = 0;
    QStringList Failed;
};

// An image control of fixed size whose picture may be smaller or larger.
class FixedImage : public PaintTarget {
public:
    FixedImage(int w, int h) : W(w), H(h) {}
    int Width() const override { return W; }
    int Height() const override { return H; }
    QImage& Canvas() override { return Picture; }
    void SetPicture(const QImage& image) override { Picture = image; }
    void Changed() override { ++ChangedCount; }
    void SetCursorShape(Qt::CursorShape) override {}
    int W, H;
    QImage Picture;
    int ChangedCount = 0;
};

// A point of a piece image of size s, given in artwork coordinates.
QPoint At(int s, double ax, double ay) {
    return QPoint(int(ax * s / kArt), int(ay * s / kArt));
}
const QPointF kDiscMiddle(71.5, 74.5);
// Outside the disc, well inside the shadow's crescent.
const QPointF kInCrescent(121, 124);

class TestDrawing : public QObject {
    Q_OBJECT

    ArtHost Host;

    void ExpectBackground(const QImage& piece, int index, QPoint p, const char* what) {
        QVERIFY2(Rgb(piece.pixel(p)) == Rgb(TilePixel(index, p.x(), p.y())),
                 qPrintable(QStringLiteral("%1 at (%2,%3) is %4, not the pattern %5")
                                .arg(what)
                                .arg(p.x())
                                .arg(p.y())
                                .arg(Hex(piece.pixel(p)), Hex(TilePixel(index, p.x(), p.y())))));
    }

    // The common shape of every piece image: frame, background corner, shadow.
    void ExpectPieceFrame(const QImage& piece, int s, QRgb line, int index) {
        QCOMPARE(piece.size(), QSize(s, s));
        for (const QPoint& p : {QPoint(0, 0), QPoint(s - 1, 0), QPoint(0, s - 1),
                                QPoint(s - 1, s - 1), QPoint(s / 2, 0), QPoint(0, s / 2)})
            QVERIFY2(Rgb(piece.pixel(p)) == Rgb(line),
                     qPrintable(QStringLiteral("frame pixel (%1,%2) is %3")
                                    .arg(p.x())
                                    .arg(p.y())
                                    .arg(Hex(piece.pixel(p)))));
        ExpectBackground(piece, index, QPoint(2, 2), "corner");
        const QPoint c = At(s, kInCrescent.x(), kInCrescent.y());
        const QRgb expected = TilePixel(index, c.x(), c.y()) & kShadowGrey;
        QVERIFY2(Rgb(piece.pixel(c)) == Rgb(expected),
                 qPrintable(QStringLiteral("shadow pixel is %1, expected pattern AND grey %2")
                                .arg(Hex(piece.pixel(c)), Hex(expected))));
    }

    QRgb Middle(const QImage& piece) {
        const QPoint m = At(piece.width(), kDiscMiddle.x(), kDiscMiddle.y());
        return Rgb(piece.pixel(m));
    }

private slots:
    void init() {
        Host = ArtHost();
        GRIDSIZE = 8;
    }

    void geometryFollowsTheShorterSide_data() {
        QTest::addColumn<int>("w");
        QTest::addColumn<int>("h");
        QTest::addColumn<int>("cell");
        QTest::addColumn<QRect>("board"); // left, top, right, bottom as x, y, w, h
        QTest::addColumn<QPoint>("center11");
        QTest::newRow("400x400") << 400 << 400 << 46 << QRect(15, 15, 383, 383) << QPoint(38, 38);
        QTest::newRow("500x400") << 500 << 400 << 46 << QRect(65, 15, 433, 383) << QPoint(88, 38);
        // Odd squares: half of 41 rounds down to 20, half of 43 up to 22.
        QTest::newRow("cell 41") << 358 << 358 << 41 << QRect(15, 15, 343, 343) << QPoint(36, 36);
        QTest::newRow("cell 43") << 374 << 374 << 43 << QRect(15, 15, 359, 359) << QPoint(36, 36);
        // The remainder of the span stays empty at the right and bottom.
        QTest::newRow("remainder") << 405 << 410 << 46 << QRect(15, 17, 383, 385) << QPoint(38, 40);
    }

    void geometryFollowsTheShorterSide() {
        QFETCH(int, w);
        QFETCH(int, h);
        QFETCH(int, cell);
        QFETCH(QRect, board);
        QFETCH(QPoint, center11);
        TGRID g(8, &Host);
        FixedImage image(w, h);
        g.LAYOUT(image);
        QCOMPARE(g.CellSize, cell);
        QCOMPARE(g.BoardRect, (TRect32{board.x(), board.y(), board.width(), board.height()}));
        QCOMPARE(g.Cells[1][1].Center, (TPoint32{center11.x(), center11.y()}));
        const TRect32 last = g.Cells[8][8].Rect;
        QCOMPARE(last, (TRect32{board.width() - cell, board.height() - cell, board.width(),
                                board.height()}));
        QCOMPARE(g.Cells[8][8].Center.X - g.Cells[1][1].Center.X, 7 * cell);
        QCOMPARE(g.PieceA.size(), QSize(cell, cell));
        QCOMPARE(g.BigPieceB.size(), QSize(100, 100));
    }

    void patternTilesTheImageAreaPlusOneTile_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<int>("drawn");
        QTest::newRow("pattern 3") << 3 << 3;
        QTest::newRow("pattern 7") << 7 << 7;
        QTest::newRow("9 draws pattern 0") << 9 << 0;
        QTest::newRow("-1 draws pattern 0") << -1 << 0;
    }

    void patternTilesTheImageAreaPlusOneTile() {
        QFETCH(int, index);
        QFETCH(int, drawn);
        Host.Index = index;
        TGRID g(8, &Host);
        FixedImage image(400, 250); // tiles 0..6 across, 0..4 down
        g.LAYOUT(image);
        for (const QPoint& p : {QPoint(0, 0), QPoint(419, 5), QPoint(7, 299), QPoint(419, 299)})
            QVERIFY2(Rgb(Host.Back.pixel(p)) == Rgb(TilePixel(drawn, p.x(), p.y())),
                     qPrintable(QStringLiteral("BACKBMP at (%1,%2) is %3")
                                    .arg(p.x())
                                    .arg(p.y())
                                    .arg(Hex(Host.Back.pixel(p)))));
        QCOMPARE(Hex(Host.Back.pixel(420, 5)), Hex(kSentinel));
        QCOMPARE(Hex(Host.Back.pixel(5, 300)), Hex(kSentinel));
        // The pieces take their background from the pattern just laid.
        ExpectBackground(g.PieceA, drawn, QPoint(3, 2), "PieceA corner");
    }

    void piecesByColourAndPicture_data() {
        QTest::addColumn<TColor>("color");
        QTest::addColumn<bool>("withPicture");
        QTest::addColumn<QRgb>("middle");
        QTest::newRow("black: built-in piece") << TColor(0) << false << QRgb(0x000000);
        QTest::newRow("red: shaded disc") << clRed << false << QRgb(0xCC0000);
        QTest::newRow("cream: shaded disc") << clCream << false << (QRgb(0xFFFBF0) & 0xCCCCCC);
        QTest::newRow("picture over colour") << clRed << true << QRgb(0x30C040);
        QTest::newRow("picture over black") << TColor(0) << true << QRgb(0x30C040);
    }

    void piecesByColourAndPicture() {
        QFETCH(TColor, color);
        QFETCH(bool, withPicture);
        QFETCH(QRgb, middle);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("green.bmp"));
        QImage picture(30, 20, QImage::Format_RGB32);
        picture.fill(qRgb(0x30, 0xC0, 0x40));
        QVERIFY(picture.save(path, "BMP"));

        Host.Index = 5;
        TGRID g(8, &Host);
        g.LineColor = clBlue;
        g.AColor = color;
        g.BColor = color;
        g.APicName = withPicture ? path : QString();
        g.BPicName = withPicture ? path : QString();
        FixedImage image(400, 400);
        g.LAYOUT(image);
        for (const QImage* piece : {&g.PieceA, &g.PieceB, &g.BigPieceA, &g.BigPieceB}) {
            ExpectPieceFrame(*piece, piece->width(), qRgb(0, 0, 255), 5);
            QCOMPARE(Hex(Middle(*piece)), Hex(middle));
        }
        QVERIFY(Host.Failed.isEmpty());
    }

    void missingPictureSilentlyGivesTheColourPiece() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("gone.bmp"));
        QImage picture(8, 8, QImage::Format_RGB32);
        picture.fill(Qt::green);
        QVERIFY(picture.save(path, "BMP"));
        TGRID g(8, &Host);
        g.AColor = clRed;
        g.APicName = path;
        FixedImage image(400, 400);
        g.LAYOUT(image);
        QCOMPARE(Hex(Middle(g.PieceA)), Hex(0x00FF00));
        QVERIFY(QFile::remove(path));
        g.LAYOUT(image);
        QCOMPARE(Hex(Middle(g.PieceA)), Hex(0xCC0000));
        QCOMPARE(Hex(Middle(g.BigPieceA)), Hex(0xCC0000));
        g.APicName = dir.path(); // a directory is not a picture file either
        g.LAYOUT(image);
        QCOMPARE(Hex(Middle(g.PieceA)), Hex(0xCC0000));
        QVERIFY2(Host.Failed.isEmpty(), qPrintable(Host.Failed.join(QLatin1Char(' '))));
    }

    void undecodablePictureIsReportedOnceAndTheBoardStillDrawn_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("name");
        QTest::addColumn<TColor>("color");
        QTest::addColumn<QRgb>("middle");
        QTest::newRow("random bytes as .jpg, colour")
            << QByteArray("\x01\x02 not a picture at all \x7f", 26) << "bad.jpg" << clRed
            << QRgb(0xCC0000);
        QTest::newRow("broken JPEG header, black") << QByteArray("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10)
                                                   << "cut.jpg" << TColor(0) << QRgb(0x000000);
        QTest::newRow("metafile") << QByteArray(64, '\x01') << "drawing.emf" << clRed
                                  << QRgb(0xCC0000);
    }

    void undecodablePictureIsReportedOnceAndTheBoardStillDrawn() {
        QFETCH(QByteArray, content);
        QFETCH(QString, name);
        QFETCH(TColor, color);
        QFETCH(QRgb, middle);
        QTemporaryDir dir;
        const QString bad = dir.filePath(name);
        QFile f(bad);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        const QString good = dir.filePath(QStringLiteral("blue.bmp"));
        QImage picture(16, 16, QImage::Format_RGB32);
        picture.fill(qRgb(0x20, 0x40, 0xE0));
        QVERIFY(picture.save(good, "BMP"));

        TGRID g(8, &Host);
        g.AColor = color;
        g.APicName = bad;
        g.BPicName = good;
        FixedImage image(400, 400);
        g.LAYOUT(image);
        QCOMPARE(Host.Failed, QStringList{bad});
        QCOMPARE(Hex(Middle(g.PieceA)), Hex(middle));
        QCOMPARE(Hex(Middle(g.BigPieceA)), Hex(middle));
        QCOMPARE(Hex(Middle(g.PieceB)), Hex(0x2040E0));
        QCOMPARE(Hex(Middle(g.BigPieceB)), Hex(0x2040E0));
        // The board was painted: the starting pieces stand on their squares.
        QCOMPARE(Host.LabelCalls, 1);
        const TRect32 r = g.Cells[4][4].Rect;
        QCOMPARE(Hex(image.Picture.pixel(r.Left + 23, r.Top + 24)), Hex(Middle(g.PieceA)));
    }

    void piecesLandOnTheirSquares() {
        TGRID g(8, &Host);
        g.AColor = clRed;
        g.BColor = clLime;
        LoadPosition(g, {"A.......", "........", "........", "...AB...", "...BA...", "........",
                         "........", ".......B"});
        FixedImage image(400, 400);
        g.LAYOUT(image);
        const QImage& canvas = image.Picture;
        for (int c = 1; c <= 8; ++c) {
            for (int r = 1; r <= 8; ++r) {
                const TGRIDCELL& cell = g.Cells[c][r];
                const QImage* piece = cell.State == +1   ? &g.PieceA
                                      : cell.State == -1 ? &g.PieceB
                                                         : nullptr;
                // Inside the grid lines and away from the text corner.
                for (const QPoint& d : {QPoint(2, 2), QPoint(23, 23), QPoint(40, 12)}) {
                    const QRgb expected =
                        piece ? piece->pixel(d)
                              : Host.Back.pixel(cell.Rect.Left + d.x(), cell.Rect.Top + d.y());
                    const QRgb got = canvas.pixel(cell.Rect.Left + d.x(), cell.Rect.Top + d.y());
                    QVERIFY2(Rgb(got) == Rgb(expected),
                             qPrintable(QStringLiteral("square (%1,%2) +(%3,%4): %5, expected %6")
                                            .arg(c)
                                            .arg(r)
                                            .arg(d.x())
                                            .arg(d.y())
                                            .arg(Hex(got), Hex(expected))));
                }
            }
        }
        QCOMPARE(Host.Labels, (QStringList{"3", "3"}));
    }

    void legalSquaresShowFillAndCount_data() {
        QTest::addColumn<bool>("putOk");
        QTest::addColumn<bool>("putCount");
        QTest::newRow("fill and count") << true << true;
        QTest::newRow("fill only") << true << false;
        QTest::newRow("count only") << false << true;
        QTest::newRow("neither: like an empty square") << false << false;
    }

    void legalSquaresShowFillAndCount() {
        QFETCH(bool, putOk);
        QFETCH(bool, putCount);
        TGRID g(8, &Host);
        g.PutColor = clYellow;
        g.LineColor = clBlue;
        g.PutOkF = putOk;
        g.PutCountF = putCount;
        g.Turn = +1;
        QVERIFY(g.PUTSEARCH());
        FixedImage image(400, 400);
        g.LAYOUT(image);
        const QImage& canvas = image.Picture;
        for (const TCellPos p : {TCellPos{4, 6}, TCellPos{5, 5}, TCellPos{1, 1}}) {
            const TGRIDCELL& cell = g.Cells[p.Col][p.Row];
            const bool legal = cell.PutSide != 0;
            const int l = cell.Rect.Left, t = cell.Rect.Top, r = cell.Rect.Right,
                      b = cell.Rect.Bottom;
            if (cell.State == 0) {
                const QRgb fill =
                    legal && putOk ? qRgb(255, 255, 0) : Host.Back.pixel(l + 5, t + 5);
                QCOMPARE(Hex(canvas.pixel(l + 5, t + 5)), Hex(fill));
                QCOMPARE(Hex(canvas.pixel(l + 1, b - 3)),
                         Hex(legal && putOk ? fill : Host.Back.pixel(l + 1, b - 3)));
            }
            // The count sits in the lower right corner, inside the grid lines.
            int marked = 0;
            for (int y = b - 15; y < b - 1; ++y)
                for (int x = r - 12; x < r - 1; ++x) {
                    const QRgb under = legal && putOk     ? qRgb(255, 255, 0)
                                       : cell.State == +1 ? g.PieceA.pixel(x - l, y - t)
                                       : cell.State == -1 ? g.PieceB.pixel(x - l, y - t)
                                                          : Host.Back.pixel(x, y);
                    marked += Rgb(canvas.pixel(x, y)) != Rgb(under);
                }
            const bool expectCount = legal && putCount;
            QVERIFY2(expectCount ? marked >= 6 : marked == 0,
                     qPrintable(QStringLiteral("square (%1,%2): %3 count pixels")
                                    .arg(p.Col)
                                    .arg(p.Row)
                                    .arg(marked)));
            // The grid lies over the fill.
            QCOMPARE(Hex(canvas.pixel(l + 10, b - 1)), Hex(qRgb(0, 0, 255)));
            QCOMPARE(Hex(canvas.pixel(r - 1, t + 10)), Hex(qRgb(0, 0, 255)));
        }
    }

    void onlyTheLastMoveIsFramed() {
        TGRID g(8, &Host);
        g.LineColor = clBlue;
        g.AColor = clRed;
        g.BColor = clWhite;
        g.Cells[4][6].State = +1;
        g.Cells[4][5].State = +1;
        g.LastPut = {4, 6};
        FixedImage image(400, 400);
        g.LAYOUT(image);
        const QImage& canvas = image.Picture;
        for (int c = 1; c <= 8; ++c) {
            for (int r = 1; r <= 8; ++r) {
                const TRect32 rc = g.Cells[c][r].Rect;
                const int mid = (rc.Top + rc.Bottom) / 2;
                const bool framed = c == 4 && r == 6;
                // The 3-pixel pen on the square inset by 3: columns +2..+4 and -5..-3.
                for (int x : {rc.Left + 2, rc.Left + 4, rc.Right - 5, rc.Right - 3}) {
                    const bool blue = Rgb(canvas.pixel(x, mid)) == 0x0000FF;
                    QVERIFY2(blue == framed, qPrintable(QStringLiteral("square (%1,%2) x=%3: %4")
                                                            .arg(c)
                                                            .arg(r)
                                                            .arg(x)
                                                            .arg(Hex(canvas.pixel(x, mid)))));
                }
                if (framed) {
                    QCOMPARE(Hex(canvas.pixel(rc.Left + 5, mid)),
                             Hex(g.PieceA.pixel(5, mid - rc.Top)));
                    QCOMPARE(Hex(canvas.pixel(rc.Left + 1, mid)),
                             Hex(g.PieceA.pixel(1, mid - rc.Top)));
                    QCOMPARE(Hex(canvas.pixel(rc.Left + 10, rc.Top + 2)), Hex(0x0000FF));
                    QCOMPARE(Hex(canvas.pixel(rc.Left + 10, rc.Bottom - 5)), Hex(0x0000FF));
                    QCOMPARE(Hex(canvas.pixel(rc.Left + 10, rc.Bottom - 6)),
                             Hex(g.PieceA.pixel(10, rc.Bottom - 6 - rc.Top)));
                }
            }
        }
    }

    void gridAndNumbersFrameTheBoard() {
        TGRID g(8, &Host);
        g.LineColor = clBlue;
        FixedImage image(400, 400);
        g.LAYOUT(image);
        const QImage& canvas = image.Picture;
        const TRect32 b = g.BoardRect;
        auto isLine = [&](int x, int y) { return Rgb(canvas.pixel(x, y)) == 0x0000FF; };
        // Outer lines, two pixels wide, centred on the board's edges.
        for (int k = 0; k <= 8; ++k) {
            const int at = b.Left + k * g.CellSize;
            for (int along : {b.Top + 5, b.Top + 200, b.Bottom - 1}) {
                QVERIFY2(isLine(at - 1, along) && isLine(at, along),
                         qPrintable(
                             QStringLiteral("vertical line %1 missing at y=%2").arg(k).arg(along)));
                QVERIFY2(
                    isLine(along, at - 1) && isLine(along, at),
                    qPrintable(
                        QStringLiteral("horizontal line %1 missing at x=%2").arg(k).arg(along)));
            }
            QVERIFY(!isLine(at + 1, b.Top + 30) || k == 8);
        }
        // Numbers above and left of the board, ink differing from the pattern.
        auto ink = [&](int x0, int y0, int w, int h) {
            int n = 0;
            for (int y = y0; y < y0 + h; ++y)
                for (int x = x0; x < x0 + w; ++x)
                    n += Rgb(canvas.pixel(x, y)) != Rgb(Host.Back.pixel(x, y));
            return n;
        };
        for (int k = 1; k <= 8; ++k) {
            const TPoint32 c = g.Cells[k][k].Center;
            QVERIFY2(ink(c.X, b.Top - 12, 10, 11) >= 4,
                     qPrintable(QStringLiteral("column %1").arg(k)));
            QVERIFY2(ink(b.Left - 9, c.Y, 8, 12) >= 4, qPrintable(QStringLiteral("row %1").arg(k)));
            // Nothing left of the column number's anchor.
            QCOMPARE(ink(c.X - 6, b.Top - 12, 5, 9), 0);
        }
    }

    void labelsFollowTheCounts() {
        TGRID g(8, &Host);
        FixedImage image(400, 400);
        g.LAYOUT(image);
        QCOMPARE(Host.Labels, (QStringList{"2", "2"}));
        g.ACount = 17;
        g.BCount = 0;
        g.DRAWGRID(image);
        QCOMPARE(Host.Labels, (QStringList{"17", "0"}));
        QCOMPARE(Host.LabelCalls, 2);
        QCOMPARE(image.ChangedCount, 2);
    }

    void repaintWipesEarlierDrawing() {
        TGRID g(8, &Host);
        FixedImage image(400, 400);
        g.LAYOUT(image);
        const QImage first = image.Picture.copy();
        image.Picture.fill(Qt::black);
        g.DRAWGRID(image);
        QCOMPARE(image.Picture, first);
        // A picture still held elsewhere is not painted over.
        const QImage held = image.Picture;
        g.LastPut = {1, 1};
        g.DRAWGRID(image);
        QCOMPARE(held, first);
        QVERIFY(image.Picture != first);
    }

    void imageLargerThanBackgroundStaysBlankBeyond() {
        Host.Back = QImage(600, 500, QImage::Format_RGB32);
        Host.Back.fill(kSentinel);
        TImage control;
        control.resize(700, 620);
        TGRID g(8, &Host);
        g.LineColor = clBlue;
        g.LAYOUT(control);
        QCOMPARE(control.Canvas().size(), QSize(600, 500));
        QCOMPARE(g.BoardRect, (TRect32{55, 15, 639, 599}));
        const QImage shown = control.grab().toImage();
        QCOMPARE(Hex(shown.pixel(5, 5)), Hex(TilePixel(0, 5, 5)));
        for (const QPoint& p : {QPoint(650, 100), QPoint(100, 550), QPoint(620, 580)}) {
            const QRgb got = shown.pixel(p);
            QVERIFY2(qRed(got) != qRed(TilePixel(0, 0, 0)) && Rgb(got) != 0x0000FF,
                     qPrintable(QStringLiteral("(%1,%2) shows %3 beyond the background")
                                    .arg(p.x())
                                    .arg(p.y())
                                    .arg(Hex(got))));
        }
    }
};

} // namespace

QTEST_MAIN(TestDrawing)
#include "tst_drawing.moc"
