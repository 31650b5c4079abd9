// Tests of the generated artwork, sounds and icon, on disk and embedded, and of their
// repeatability.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cmath>

namespace {

const QStringList ArtNames{"MASK",     "GRY",      "KAGE",     "IMGKURO",  "PATTERN0",
                           "PATTERN1", "PATTERN2", "PATTERN3", "PATTERN4", "PATTERN5",
                           "PATTERN6", "PATTERN7", "EMBLEM"};
const QStringList SoundNames{"PIPOWAV", "KATIWAV", "MAKEWAV", "HIKIWAV", "PIPIWAV",
                             "BEEP0",   "BEEP16",  "BEEP48",  "BEEP64"};
const QList<int> IconSizes{16, 22, 24, 32, 48, 64, 128, 256};

QString ArtPath(const QString& name) {
    return QStringLiteral(VELTROY_GENERATED_DIR "/art/") + name + ".bmp";
}
QString SoundPath(const QString& name) {
    return QStringLiteral(VELTROY_GENERATED_DIR "/sounds/") + name + ".wav";
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Little-endian fields; reading past the end gives 0.
quint16 U16(const QByteArray& b, qsizetype at) {
    const auto byte = [&](qsizetype i) { return i < b.size() ? static_cast<uchar>(b[i]) : 0u; };
    return static_cast<quint16>(byte(at) | byte(at + 1) << 8);
}
quint32 U32(const QByteArray& b, qsizetype at) {
    return U16(b, at) | static_cast<quint32>(U16(b, at + 2)) << 16;
}

QImage LoadArt(const QString& name) {
    QImage img(ArtPath(name));
    return img.convertToFormat(QImage::Format_RGB32);
}

int GreyAt(const QImage& img, int x, int y) {
    return qRed(img.pixel(x, y));
}

// Bounding box of the pixels for which `pick` holds.
template <typename Pick> QRect Bounds(const QImage& img, Pick pick) {
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (pick(img.pixel(x, y)))
                box |= QRect(x, y, 1, 1);
    return box;
}

QString BoxText(const QRect& r) {
    return QString("columns %1..%2, rows %3..%4")
        .arg(r.left())
        .arg(r.right())
        .arg(r.top())
        .arg(r.bottom());
}

bool IsWhite(QRgb p) {
    return (p & 0xFFFFFF) == 0xFFFFFF;
}

// The mask's disc, the reference for the other pieces of artwork.
QImage Mask() {
    return LoadArt("MASK");
}
bool InMask(const QImage& mask, int x, int y) {
    return IsWhite(mask.pixel(x, y));
}

struct Wave {
    QString error;
    int bits = 0;
    QByteArray data;
};

Wave Fail(const QString& error) {
    Wave w;
    w.error = error;
    return w;
}

// Parses a RIFF/WAVE file the way a strict reader would: fmt chunk first, 16 bytes, PCM.
Wave ParseWave(const QByteArray& b) {
    Wave w;
    if (b.size() < 44 || !b.startsWith("RIFF") || b.mid(8, 4) != "WAVE")
        return Fail("not a RIFF/WAVE file");
    if (U32(b, 4) != static_cast<quint32>(b.size() - 8))
        return Fail(QString("RIFF size %1 for a file of %2 bytes").arg(U32(b, 4)).arg(b.size()));
    if (b.mid(12, 4) != "fmt " || U32(b, 16) != 16)
        return Fail("the first chunk is not a 16-byte fmt chunk");
    const int format = U16(b, 20), channels = U16(b, 22), bits = U16(b, 34);
    const quint32 rate = U32(b, 24), byteRate = U32(b, 28);
    const int align = U16(b, 32);
    if (format != 1 || channels != 1 || rate != 22050 || (bits != 8 && bits != 16))
        return Fail(QString("format %1, %2 channels, %3 Hz, %4 bits; want PCM mono 22050 Hz 8/16")
                        .arg(format)
                        .arg(channels)
                        .arg(rate)
                        .arg(bits));
    if (align != bits / 8 || byteRate != rate * align)
        return Fail("block align or byte rate inconsistent");
    if (b.mid(36, 4) != "data" || 44 + U32(b, 40) > static_cast<quint32>(b.size()))
        return Fail("no data chunk after fmt, or it runs past the end");
    w.bits = bits;
    w.data = b.mid(44, U32(b, 40));
    return w;
}

// Samples scaled to -1..1.
std::vector<double> Samples(const Wave& w) {
    std::vector<double> out;
    if (w.bits == 8) {
        for (char c : w.data)
            out.push_back((static_cast<uchar>(c) - 128) / 128.0);
    } else {
        for (qsizetype i = 0; i + 1 < w.data.size(); i += 2)
            out.push_back(static_cast<qint16>(U16(w.data, i)) / 32768.0);
    }
    return out;
}

} // namespace

class TestResources : public QObject {
    Q_OBJECT

private slots:
    // Size and bit depth straight from the file headers; 8-bit pictures carry a grey ramp.
    void bitmapHeaders_data() {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("bits");
        QTest::newRow("MASK") << 144 << 144 << 1;
        QTest::newRow("GRY") << 144 << 144 << 24;
        QTest::newRow("KAGE") << 144 << 144 << 8;
        QTest::newRow("IMGKURO") << 144 << 144 << 8;
        for (int i = 0; i < 8; ++i)
            QTest::newRow(qPrintable(QString("PATTERN%1").arg(i))) << 60 << 60 << 24;
        QTest::newRow("EMBLEM") << 80 << 68 << 24;
    }
    void bitmapHeaders() {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, bits);
        const QByteArray b = ReadAll(ArtPath(QTest::currentDataTag()));
        QVERIFY2(b.size() > 54 && b.startsWith("BM"), "missing or not a bitmap");
        QCOMPARE(U32(b, 2), static_cast<quint32>(b.size()));
        QCOMPARE(U32(b, 14), 40u);
        QCOMPARE(static_cast<int>(U32(b, 18)), width);
        QCOMPARE(static_cast<int>(U32(b, 22)), height);
        QCOMPARE(static_cast<int>(U16(b, 28)), bits);
        QCOMPARE(U32(b, 30), 0u); // uncompressed
        const quint32 stride = ((width * bits + 31) / 32) * 4;
        QCOMPARE(U32(b, 10) + stride * height, static_cast<quint32>(b.size()));
        if (bits == 8) {
            for (int i = 0; i < 256; ++i)
                QVERIFY2(U32(b, 54 + 4 * i) == static_cast<quint32>(i * 0x010101),
                         qPrintable(QString("palette entry %1 is not grey level %1").arg(i)));
        }
        QVERIFY2(!QImage(ArtPath(QTest::currentDataTag())).isNull(), "QImage cannot read it");
    }

    void mask() {
        const QImage m = Mask();
        int white = 0;
        for (int y = 0; y < 144; ++y) {
            for (int x = 0; x < 144; ++x) {
                const QRgb p = m.pixel(x, y) & 0xFFFFFF;
                QVERIFY2(p == 0 || p == 0xFFFFFF, "mask has a pixel neither black nor white");
                // Centred horizontally: column x mirrors column 142 - x.
                QVERIFY2(InMask(m, x, y) == (x <= 142 && InMask(m, 142 - x, y)),
                         qPrintable(QString("disc not symmetric at %1,%2").arg(x).arg(y)));
                white += p ? 1 : 0;
            }
        }
        QCOMPARE(BoxText(Bounds(m, IsWhite)), BoxText(QRect(QPoint(11, 14), QPoint(131, 134))));
        // A round disc of diameter 121 covers about 11500 pixels.
        QVERIFY2(std::abs(white - 11499) < 120, qPrintable(QString("disc area %1").arg(white)));
    }

    void shading() {
        const QImage m = Mask(), g = LoadArt("GRY");
        int lo = 255, hi = 0;
        double upper = 0, lower = 0;
        for (int y = 0; y < 144; ++y) {
            for (int x = 0; x < 144; ++x) {
                const QRgb p = g.pixel(x, y);
                if (!InMask(m, x, y)) {
                    QVERIFY2(
                        IsWhite(p),
                        qPrintable(QString("not white outside the disc at %1,%2").arg(x).arg(y)));
                    continue;
                }
                QVERIFY2(qRed(p) == qGreen(p) && qGreen(p) == qBlue(p), "shading is not grey");
                lo = std::min(lo, qRed(p));
                hi = std::max(hi, qRed(p));
                if (y >= 24 && y < 54)
                    upper += qRed(p);
                if (y >= 104 && y < 134)
                    lower += qRed(p);
            }
        }
        QCOMPARE(hi, 242);
        QCOMPARE(lo, 73);
        QVERIFY2(lower < upper * 0.75, "the lower part of the disc is not darker");
    }

    // A crescent off the disc's lower right rim; the face of the disc stays clear.
    void shadow() {
        const QImage k = LoadArt("KAGE");
        QCOMPARE(BoxText(Bounds(k, [](QRgb p) { return !IsWhite(p); })),
                 BoxText(QRect(QPoint(7, 11), QPoint(142, 143))));
        int darkest = 255, darkestUpperLeft = 255;
        QPoint at;
        for (int y = 0; y < 144; ++y) {
            for (int x = 0; x < 144; ++x) {
                const int v = GreyAt(k, x, y);
                if (v < darkest) {
                    darkest = v;
                    at = {x, y};
                }
                if (x < 71 && y < 74)
                    darkestUpperLeft = std::min(darkestUpperLeft, v);
                if ((x - 71) * (x - 71) + (y - 74) * (y - 74) < 50 * 50)
                    QVERIFY2(v == 255, "shadow falls on the face of the disc");
            }
        }
        QCOMPARE(darkest, 116);
        QVERIFY2(at.x() > 71 && at.y() > 74, "darkest point is not at the lower right");
        QVERIFY2(darkestUpperLeft > 200, "upper left rim carries a heavy shadow");
    }

    void blackPiece() {
        const QImage m = Mask(), k = LoadArt("IMGKURO");
        const QRect box = Bounds(k, [](QRgb p) { return !IsWhite(p); });
        QCOMPARE(BoxText(box), BoxText(QRect(QPoint(11, 13), QPoint(132, 134))));
        int black = 0, area = 0, sheen = 0;
        for (int y = 0; y < 144; ++y) {
            for (int x = 0; x < 144; ++x) {
                if (!InMask(m, x, y))
                    continue;
                const int v = GreyAt(k, x, y);
                // Pure white would turn transparent when the piece is drawn.
                QVERIFY2(v <= 250,
                         qPrintable(QString("near-white %1 inside at %2,%3").arg(v).arg(x).arg(y)));
                ++area;
                black += v == 0 ? 1 : 0;
                sheen = std::max(sheen, v);
            }
        }
        QVERIFY2(black * 2 > area, "less than half of the disc is black");
        QVERIFY2(sheen >= 100, "no visible sheen");
    }

    // Seamless tiling and the average colour's hue, saturation and lightness class.
    void patterns_data() {
        QTest::addColumn<int>("hueMin"); // degrees, may be negative (reds)
        QTest::addColumn<int>("hueMax");
        QTest::addColumn<int>("satMin"); // HSL, 0..255
        QTest::addColumn<int>("satMax");
        QTest::addColumn<int>("lightMin");
        QTest::addColumn<int>("lightMax");
        QTest::newRow("PATTERN0 sea green") << 130 << 170 << 70 << 200 << 60 << 130;
        QTest::newRow("PATTERN1 blue") << 205 << 240 << 80 << 255 << 70 << 140;
        QTest::newRow("PATTERN2 red") << -15 << 10 << 100 << 255 << 70 << 130;
        QTest::newRow("PATTERN3 light grey") << -180 << 360 << 0 << 40 << 170 << 230;
        QTest::newRow("PATTERN4 beige") << 30 << 55 << 50 << 170 << 170 << 225;
        QTest::newRow("PATTERN5 pale yellow") << 45 << 65 << 120 << 255 << 180 << 235;
        QTest::newRow("PATTERN6 orange") << 20 << 40 << 120 << 255 << 100 << 170;
        QTest::newRow("PATTERN7 dark brown") << 15 << 40 << 40 << 160 << 35 << 90;
    }
    void patterns() {
        QFETCH(int, hueMin);
        QFETCH(int, hueMax);
        QFETCH(int, satMin);
        QFETCH(int, satMax);
        QFETCH(int, lightMin);
        QFETCH(int, lightMax);
        const QString name = QString(QTest::currentDataTag()).section(' ', 0, 0);
        const QImage t = LoadArt(name);
        QCOMPARE(t.size(), QSize(60, 60));
        auto diff = [&](int x0, int y0, int x1, int y1) {
            const QRgb a = t.pixel(x0, y0), b = t.pixel(x1, y1);
            return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                   std::abs(qBlue(a) - qBlue(b));
        };
        // The step across each tile edge is about as large as the roughest step inside
        // (one of them has to be the largest); an edge that does not continue stands out.
        double roughX = 0, roughY = 0, seamX = 0, seamY = 0;
        for (int j = 0; j < 60; ++j) {
            double stepX = 0, stepY = 0;
            for (int i = 0; i < 60; ++i) {
                stepX += diff(j, i, (j + 1) % 60, i);
                stepY += diff(i, j, i, (j + 1) % 60);
            }
            if (j == 59) {
                seamX = stepX;
                seamY = stepY;
            } else {
                roughX = std::max(roughX, stepX);
                roughY = std::max(roughY, stepY);
            }
        }
        QVERIFY2(seamX <= 1.2 * roughX && seamY <= 1.2 * roughY,
                 qPrintable(QString("seam steps %1 / %2, roughest inside %3 / %4")
                                .arg(seamX)
                                .arg(seamY)
                                .arg(roughX)
                                .arg(roughY)));
        double r = 0, g = 0, b = 0;
        for (int y = 0; y < 60; ++y) {
            for (int x = 0; x < 60; ++x) {
                r += qRed(t.pixel(x, y));
                g += qGreen(t.pixel(x, y));
                b += qBlue(t.pixel(x, y));
            }
        }
        const QColor avg(qRound(r / 3600), qRound(g / 3600), qRound(b / 3600));
        int hue = avg.hslHue();
        if (hue > 180 && hueMin < 0)
            hue -= 360;
        const QString got = QString("average %1: hue %2, saturation %3, lightness %4")
                                .arg(avg.name())
                                .arg(hue)
                                .arg(avg.hslSaturation())
                                .arg(avg.lightness());
        QVERIFY2(hue >= hueMin && hue <= hueMax, qPrintable(got));
        QVERIFY2(avg.hslSaturation() >= satMin && avg.hslSaturation() <= satMax, qPrintable(got));
        QVERIFY2(avg.lightness() >= lightMin && avg.lightness() <= lightMax, qPrintable(got));
    }

    // Drawn transparent by its bottom-left colour: white only around the green
    // square, which leaves the right part clear for the title beside it.
    void emblem() {
        const QImage e = LoadArt("EMBLEM");
        QVERIFY(IsWhite(e.pixel(0, 67)));
        int green = 0, dark = 0, light = 0;
        for (int y = 0; y < 68; ++y) {
            for (int x = 0; x < 80; ++x) {
                const QRgb p = e.pixel(x, y);
                if (x >= 8 && x < 60 && y >= 8 && y < 60)
                    QVERIFY2(!IsWhite(p), "pure white inside the emblem would show through");
                green += qGreen(p) > qRed(p) + 30 && qGreen(p) > qBlue(p) + 20 ? 1 : 0;
                dark += qGray(p) < 60 ? 1 : 0;
                light += qGray(p) > 200 && !IsWhite(p) ? 1 : 0;
            }
        }
        QVERIFY2(green > 80 * 68 / 3, "the board is not mostly green");
        QVERIFY2(dark > 200 && light > 200, "missing the dark or the light disc");
    }

    // A red piece on a green rounded square with transparent corners, at every size.
    void icons() {
        for (int size : IconSizes) {
            const QImage icon(QStringLiteral(VELTROY_GENERATED_DIR "/icons/%1.png").arg(size));
            QCOMPARE(icon.size(), QSize(size, size));
            QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
            const QRgb centre = icon.pixel(size / 2, size / 2);
            const QRgb edge = icon.pixel(size * 9 / 100, size / 2); // left of the piece's square
            QVERIFY2(qAlpha(centre) == 255 && qRed(centre) > 100 + qGreen(centre),
                     qPrintable(QString("centre of %1 is not red").arg(size)));
            QVERIFY2(qAlpha(edge) == 255 && qGreen(edge) > qRed(edge) + 20,
                     qPrintable(QString("edge of %1 is not green").arg(size)));
        }
    }

    void sounds_data() {
        QTest::addColumn<int>("bits");      // 0: 8 or 16
        QTest::addColumn<int>("dataBytes"); // 0: any
        QTest::addColumn<double>("minSeconds");
        QTest::addColumn<double>("maxSeconds");
        QTest::newRow("PIPOWAV") << 8 << 4564 << 0.2 << 0.21;
        QTest::newRow("KATIWAV") << 0 << 0 << 1.0 << 2.0;
        QTest::newRow("MAKEWAV") << 0 << 0 << 1.0 << 2.5;
        QTest::newRow("HIKIWAV") << 0 << 0 << 0.6 << 2.0;
        QTest::newRow("PIPIWAV") << 0 << 0 << 0.2 << 0.4;
        QTest::newRow("BEEP0") << 0 << 0 << 0.1 << 0.5;
        QTest::newRow("BEEP16") << 0 << 0 << 0.1 << 0.5;
        QTest::newRow("BEEP48") << 0 << 0 << 0.1 << 0.5;
        QTest::newRow("BEEP64") << 0 << 0 << 0.1 << 0.5;
    }
    void sounds() {
        QFETCH(int, bits);
        QFETCH(int, dataBytes);
        QFETCH(double, minSeconds);
        QFETCH(double, maxSeconds);
        const Wave w = ParseWave(ReadAll(SoundPath(QTest::currentDataTag())));
        QVERIFY2(w.error.isEmpty(), qPrintable(w.error));
        if (bits)
            QCOMPARE(w.bits, bits);
        if (dataBytes)
            QCOMPARE(w.data.size(), dataBytes);
        const std::vector<double> s = Samples(w);
        const double seconds = s.size() / 22050.0;
        QVERIFY2(seconds >= minSeconds && seconds <= maxSeconds,
                 qPrintable(QString("lasts %1 s").arg(seconds)));
        double peak = 0;
        for (double v : s)
            peak = std::max(peak, std::abs(v));
        QVERIFY2(peak < 0.97, qPrintable(QString("peak %1 of full scale: clipping").arg(peak)));
        QVERIFY2(peak > 0.2, qPrintable(QString("peak %1 of full scale: too quiet").arg(peak)));
        // Faded in and out: no click at either end.
        QVERIFY2(std::abs(s.front()) < 0.02 && std::abs(s.back()) < 0.02,
                 qPrintable(QString("ends at %1 and %2").arg(s.front()).arg(s.back())));
    }

    void embedded_data() {
        QTest::addColumn<QString>("resource");
        QTest::addColumn<QString>("file");
        for (const QString& n : ArtNames)
            QTest::newRow(qPrintable(n)) << ":/art/" + n + ".bmp" << ArtPath(n);
        for (const QString& n : SoundNames)
            QTest::newRow(qPrintable(n)) << ":/sounds/" + n + ".wav" << SoundPath(n);
        for (int size : IconSizes)
            QTest::newRow(qPrintable(QString("icon %1").arg(size)))
                << QString(":/icons/%1.png").arg(size)
                << QString(VELTROY_GENERATED_DIR "/icons/%1.png").arg(size);
    }
    void embedded() {
        QFETCH(QString, resource);
        QFETCH(QString, file);
        QFile r(resource);
        QVERIFY2(r.open(QIODevice::ReadOnly), qPrintable(resource + " is not embedded"));
        const QByteArray onDisk = ReadAll(file);
        QVERIFY(!onDisk.isEmpty());
        QVERIFY2(r.readAll() == onDisk, "embedded copy differs from the generated file");
    }

    // Two fresh runs and the build's own output are byte-identical.
    void generationIsRepeatable() {
        QTemporaryDir tmp;
        QVERIFY(tmp.isValid());
        for (const char* sub : {"a", "b"}) {
            QProcess gen;
            gen.start(QStringLiteral(VELTROY_ARTGEN_PATH), {tmp.filePath(sub)});
            QVERIFY2(gen.waitForFinished(120000), "artgen did not finish");
            QVERIFY2(gen.exitStatus() == QProcess::NormalExit && gen.exitCode() == 0,
                     gen.readAllStandardError().constData());
        }
        QStringList files;
        for (const QString& n : ArtNames)
            files << "art/" + n + ".bmp";
        for (const QString& n : SoundNames)
            files << "sounds/" + n + ".wav";
        for (int size : IconSizes)
            files << QString("icons/%1.png").arg(size);
        for (const char* sub : {"a", "b"})
            QCOMPARE(QDir(tmp.filePath(sub) + "/art").entryList(QDir::Files).size() +
                         QDir(tmp.filePath(sub) + "/sounds").entryList(QDir::Files).size() +
                         QDir(tmp.filePath(sub) + "/icons").entryList(QDir::Files).size(),
                     files.size());
        for (const QString& f : files) {
            const QByteArray a = ReadAll(tmp.filePath("a/" + f));
            QVERIFY2(!a.isEmpty(), qPrintable(f + " missing"));
            QVERIFY2(a == ReadAll(tmp.filePath("b/" + f)), qPrintable(f + " differs between runs"));
            QVERIFY2(a == ReadAll(QStringLiteral(VELTROY_GENERATED_DIR "/") + f),
                     qPrintable(f + " differs from the build's copy"));
        }
    }
};

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
