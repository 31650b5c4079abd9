// Benchmark of the board drawing and move search; "--png DIR" also saves painted boards.
#include "board/Unit2.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QImage LoadArt(const QString& name) {
    return QImage(QStringLiteral(":/art/%1.bmp").arg(name)).convertToFormat(QImage::Format_RGB32);
}

// The main window's part: artwork from the resources, a work-area sized background.
class BenchHost : public TBoardHost {
public:
    BenchHost() {
        Back = QImage(1920, 1080, QImage::Format_RGB32);
        Back.fill(Qt::white);
        Mask = LoadArt(QStringLiteral("MASK"));
        Gray = LoadArt(QStringLiteral("GRY"));
        Shadow = LoadArt(QStringLiteral("KAGE"));
        Kuro = LoadArt(QStringLiteral("IMGKURO"));
        for (int i = 0; i < 8; ++i)
            Tiles[i] = LoadArt(QStringLiteral("PATTERN%1").arg(i));
        Mask2 = LoadArt(QStringLiteral("2x/MASK@2x"));
        Gray2 = LoadArt(QStringLiteral("2x/GRY@2x"));
        Shadow2 = LoadArt(QStringLiteral("2x/KAGE@2x"));
        Kuro2 = LoadArt(QStringLiteral("2x/IMGKURO@2x"));
        for (int i = 0; i < 8; ++i)
            Tiles2[i] = LoadArt(QStringLiteral("2x/PATTERN%1@2x").arg(i));
    }
    QImage& BackBmp() override { return Back; }
    int BmpIndex() const override { return Index; }
    const QImage& PatternTile(int index) const override { return Tiles[index]; }
    const QImage& ArtMask() const override { return Mask; }
    const QImage& ArtGray() const override { return Gray; }
    const QImage& ArtShadow() const override { return Shadow; }
    const QImage& ArtKuro() const override { return Kuro; }
    const QImage& PatternTile2x(int index) const override { return Tiles2[index]; }
    const QImage& ArtMask2x() const override { return Mask2; }
    const QImage& ArtGray2x() const override { return Gray2; }
    const QImage& ArtShadow2x() const override { return Shadow2; }
    const QImage& ArtKuro2x() const override { return Kuro2; }
    void SetCountLabels(const QString&, const QString&) override {}
    void PictureLoadFailed(const QString& path) override {
        std::fprintf(stderr, "picture failed: %s\n", qPrintable(path));
    }
    bool ArtworkPresent() const { return !Mask.isNull() && !Tiles[0].isNull(); }

    QImage Back;
    int Index = 0;
    std::array<QImage, 8> Tiles;
    QImage Mask, Gray, Shadow, Kuro;
    std::array<QImage, 8> Tiles2;
    QImage Mask2, Gray2, Shadow2, Kuro2;
};

class BenchImage : public PaintTarget {
public:
    BenchImage(int w, int h, double ratio = 1.0) : W(w), H(h), Ratio(ratio) {}
    int Width() const override { return W; }
    int Height() const override { return H; }
    QImage& Canvas() override { return Picture; }
    void SetPicture(const QImage& image) override { Picture = image; }
    void Changed() override {}
    void SetCursorShape(Qt::CursorShape) override {}
    double DevicePixelRatio() const override { return Ratio; }
    int W, H;
    double Ratio;
    QImage Picture;
};

// Median of reps runs of fn, in microseconds.
double Median(int reps, const std::function<void(int)>& fn) {
    std::vector<double> times;
    times.reserve(std::size_t(reps));
    QElapsedTimer timer;
    for (int i = 0; i < reps; ++i) {
        timer.start();
        fn(i);
        times.push_back(double(timer.nsecsElapsed()) / 1000.0);
    }
    std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
    return times[std::size_t(reps / 2)];
}

void Report(const char* what, double us) {
    std::printf("%-52s %10.1f us\n", what, us);
}

// A mid-game position with legal marks for +1 and a last move.
void SetUpGame(TGRID& g) {
    const char* rows[8] = {"........", "..B.....", "..BBA...", "..AAB...",
                           "...BAB..", "....A...", "........", "........"};
    for (int r = 1; r <= 8; ++r)
        for (int c = 1; c <= 8; ++c) {
            const char ch = rows[r - 1][c - 1];
            g.Cells[c][r].State = ch == 'A' ? 1 : ch == 'B' ? -1 : 0;
        }
    g.AColor = 0;
    g.BColor = 0x00FFFFFF;
    g.PutColor = 0x0080FFFF;
    g.LineColor = 0;
    g.PutOkF = true;
    g.PutCountF = true;
    g.Turn = +1;
    g.PUTSEARCH();
    g.LastPut = {5, 6};
}

// A large photo-like JPEG made with Qt's writer, for the picture piece.
QString MakePhoto(const QTemporaryDir& dir) {
    QImage photo(4000, 3000, QImage::Format_RGB32);
    QPainter p(&photo);
    QLinearGradient gradient(0, 0, 4000, 3000);
    gradient.setColorAt(0, QColor(200, 60, 40));
    gradient.setColorAt(1, QColor(40, 90, 220));
    p.fillRect(photo.rect(), gradient);
    p.setBrush(QColor(250, 220, 80));
    p.drawEllipse(QRect(1200, 700, 1600, 1600));
    p.end();
    const QString path = dir.filePath(QStringLiteral("photo.jpg"));
    if (!photo.save(path, "JPEG", 90))
        return {};
    return path;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QString pngDir;
    const QStringList args = app.arguments();
    if (const qsizetype i = args.indexOf(QStringLiteral("--png")); i >= 0 && i + 1 < args.size())
        pngDir = args.at(i + 1);

    GRIDSIZE = 8;
    BenchHost host;
    if (!host.ArtworkPresent())
        std::printf("note: the generated artwork is missing; figures are without artwork\n");

    {
        TGRID g(GRIDSIZE, &host);
        SetUpGame(g);
        BenchImage small(400, 400), large(1920, 1080);
        Report("LAYOUT (incl. DRAWGRID) 400x400", Median(200, [&](int) { g.LAYOUT(small); }));
        Report("LAYOUT (incl. DRAWGRID) 1920x1080", Median(100, [&](int) { g.LAYOUT(large); }));
        // A live resize: every call a new square size, so nothing scaled is reused.
        Report("LAYOUT while resizing (new square size each time)", Median(100, [&](int i) {
                   BenchImage sized(1200, 300 + 8 * i);
                   g.LAYOUT(sized);
               }));
        g.LAYOUT(small);
        Report("DRAWGRID 400x400", Median(500, [&](int) { g.DRAWGRID(small); }));
        g.LAYOUT(large);
        Report("DRAWGRID 1920x1080", Median(200, [&](int) { g.DRAWGRID(large); }));
        // The same logical sizes on a screen of scale 2 and 1.5 (BACKBMP and the pieces
        // at device resolution). Back to 1 afterwards, so the figures below are unchanged.
        for (double ratio : {2.0, 1.5}) {
            BenchImage small2(400, 400, ratio), large2(1920, 1080, ratio);
            const QByteArray at = QByteArray::number(ratio);
            Report(("LAYOUT (incl. DRAWGRID) 400x400 at " + at).constData(),
                   Median(200, [&](int) { g.LAYOUT(small2); }));
            Report(("LAYOUT (incl. DRAWGRID) 1920x1080 at " + at).constData(),
                   Median(100, [&](int) { g.LAYOUT(large2); }));
            g.LAYOUT(small2);
            Report(("DRAWGRID 400x400 at " + at).constData(),
                   Median(500, [&](int) { g.DRAWGRID(small2); }));
            g.LAYOUT(large2);
            Report(("DRAWGRID 1920x1080 at " + at).constData(),
                   Median(200, [&](int) { g.DRAWGRID(large2); }));
        }
        g.LAYOUT(large);
        QImage target;
        Report("MAKEPIECE colour 46",
               Median(500, [&](int) { g.MAKEPIECE(QString(), 46, 0x000000FF, target); }));
        Report("MAKEPIECE black 46",
               Median(500, [&](int) { g.MAKEPIECE(QString(), 46, 0, target); }));
        Report("MAKEPIECE colour 100",
               Median(500, [&](int) { g.MAKEPIECE(QString(), 100, 0x000000FF, target); }));
        Report("PUTSEARCH", Median(2000, [&](int) { g.PUTSEARCH(); }));

        if (!pngDir.isEmpty()) {
            QDir().mkpath(pngDir);
            for (int index : {0, 4, 7}) {
                host.Index = index;
                BenchImage shot(560, 520);
                g.LAYOUT(shot);
                g.Cells[3][3].PutSide = 0; // a legal square without fill below
                shot.Picture.copy(0, 0, 560, 520)
                    .save(QStringLiteral("%1/board%2.png").arg(pngDir).arg(index));
            }
            host.Index = 0;
        }
    }

    QTemporaryDir dir;
    const QString photo = MakePhoto(dir);
    if (!photo.isEmpty()) {
        TGRID g(GRIDSIZE, &host);
        SetUpGame(g);
        g.APicName = photo;
        BenchImage large(1920, 1080);
        QElapsedTimer timer;
        timer.start();
        g.LAYOUT(large);
        Report("LAYOUT 1920x1080, 4000x3000 JPEG piece, first",
               double(timer.nsecsElapsed()) / 1000.0);
        Report("LAYOUT 1920x1080, 4000x3000 JPEG piece, again",
               Median(50, [&](int) { g.LAYOUT(large); }));
        Report("LAYOUT with that piece while resizing", Median(50, [&](int i) {
                   BenchImage sized(1200, 300 + 8 * i);
                   g.LAYOUT(sized);
               }));
        QImage target;
        Report("MAKEPIECE picture 46",
               Median(200, [&](int) { g.MAKEPIECE(photo, 46, 0, target); }));
        if (!pngDir.isEmpty()) {
            BenchImage shot(560, 520);
            g.LAYOUT(shot);
            shot.Picture.copy(0, 0, 560, 520).save(pngDir + QStringLiteral("/board-photo.png"));
            g.BigPieceA.save(pngDir + QStringLiteral("/big-photo.png"));
        }
    }
    return 0;
}
