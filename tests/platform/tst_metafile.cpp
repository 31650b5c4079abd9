// Tests of metafile pictures: hand-made enhanced metafiles and metafiles, their sizes and colours,
// damage refused.
#include "platform/Metafile.h"
#include "platform/PictureLoader.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <iterator>

namespace {

// Little-endian record writer.
class Bytes {
public:
    Bytes& U16(int v) {
        char b[2];
        qToLittleEndian<quint16>(quint16(v), b);
        Data.append(b, 2);
        return *this;
    }
    Bytes& U32(qint64 v) {
        char b[4];
        qToLittleEndian<quint32>(quint32(v), b);
        Data.append(b, 4);
        return *this;
    }
    Bytes& U32s(std::initializer_list<qint64> values) {
        for (qint64 v : values)
            U32(v);
        return *this;
    }
    Bytes& U16s(std::initializer_list<int> values) {
        for (int v : values)
            U16(v);
        return *this;
    }
    QByteArray Data;
};

constexpr quint32 kRed = 0x000000FF; // COLORREF 0x00BBGGRR
constexpr quint32 kBlue = 0x00FF0000;

// An enhanced metafile 200 x 100 logical units (= pixels) large, its frame
// given in hundredths of a millimetre: a red rectangle over the left half and
// a blue ellipse in the right half, drawn without outlines.
QByteArray MakeEmf(qint64 frameRight = 5292, qint64 frameBottom = 2646) {
    Bytes records;
    qint64 count = 1;
    auto emr = [&](quint32 type, std::initializer_list<qint64> params) {
        records.U32(type).U32(8 + 4 * qint64(params.size())).U32s(params);
        ++count;
    };
    emr(37, {0x80000008});       // SELECTOBJECT the null pen
    emr(39, {1, 0, kRed, 0});    // CREATEBRUSHINDIRECT #1, solid
    emr(37, {1});                // SELECTOBJECT #1
    emr(43, {0, 0, 100, 100});   // RECTANGLE
    emr(39, {2, 0, kBlue, 0});   // CREATEBRUSHINDIRECT #2
    emr(37, {2});                // SELECTOBJECT #2
    emr(42, {120, 20, 180, 80}); // ELLIPSE
    emr(14, {0, 16, 20});        // EOF
    Bytes header;
    header.U32s({1, 88})
        .U32s({0, 0, 199, 99})                 // bounds, pixels
        .U32s({0, 0, frameRight, frameBottom}) // frame, 0.01 mm
        .U32s({0x464D4520, 0x10000, 88 + records.Data.size(), count})
        .U16s({3, 0})                          // handles, reserved
        .U32s({0, 0, 0, 1024, 768, 271, 203}); // description, palette, device, mm
    return header.Data + records.Data;
}

// A metafile of the same drawing in 200 x 100 logical units; placeable (with
// unitsPerInch) or plain, where the window extent gives the size.
QByteArray MakeWmf(bool placeable = true, int unitsPerInch = 96, const QByteArray& text = {}) {
    Bytes records;
    int largest = 0;
    auto meta = [&](int function, std::initializer_list<int> params) {
        records.U32(3 + qint64(params.size())).U16(function).U16s(params);
        largest = std::max(largest, 3 + int(params.size()));
    };
    meta(0x020B, {0, 0});                              // SETWINDOWORG y, x
    meta(0x020C, {100, 200});                          // SETWINDOWEXT y, x
    meta(0x02FA, {5, 0, 0, 0, 0});                     // CREATEPENINDIRECT null -> #0
    meta(0x012D, {0});                                 // SELECTOBJECT #0
    meta(0x02FC, {0, kRed & 0xFFFF, kRed >> 16, 0});   // CREATEBRUSHINDIRECT -> #1
    meta(0x012D, {1});                                 //
    meta(0x041B, {100, 100, 0, 0});                    // RECTANGLE bottom, right, top, left
    meta(0x02FC, {0, kBlue & 0xFFFF, kBlue >> 16, 0}); // -> #2
    meta(0x012D, {2});                                 //
    meta(0x0418, {80, 180, 20, 120});                  // ELLIPSE bottom, right, top, left
    if (!text.isEmpty()) {
        QByteArray padded = text;
        if (padded.size() % 2)
            padded.append(' ');
        const int words = 3 + 1 + int(padded.size()) / 2 + 2;
        records.U32(words).U16(0x0521).U16(int(text.size())); // TEXTOUT
        records.Data.append(padded);
        records.U16s({90, 10});
        largest = std::max(largest, words);
    }
    meta(0x0000, {}); // EOF
    Bytes header;
    header.U16s({1, 9, 0x0300}).U32((18 + records.Data.size()) / 2).U16(3).U32(largest).U16(0);
    QByteArray out = header.Data + records.Data;
    if (placeable) {
        Bytes p;
        p.U32(0x9AC6CDD7).U16s({0, 0, 0, 200, 100, unitsPerInch}).U32(0);
        quint16 sum = 0;
        for (int i = 0; i < 20; i += 2)
            sum ^= qFromLittleEndian<quint16>(p.Data.constData() + i);
        p.U16(sum);
        out.prepend(p.Data);
    }
    return out;
}

QString Hex(QRgb c) {
    return QStringLiteral("#%1").arg(c & 0xFFFFFF, 6, 16, QLatin1Char('0'));
}

// Colours compared with a little room for anti-aliasing.
bool Near(QRgb a, QRgb b) {
    return std::abs(qRed(a) - qRed(b)) <= 8 && std::abs(qGreen(a) - qGreen(b)) <= 8 &&
           std::abs(qBlue(a) - qBlue(b)) <= 8;
}

} // namespace

class TstMetafile : public QObject {
    Q_OBJECT

private slots:
    void drawsTheFrameInItsColours_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("kind");
        const int emf = int(platform::MetafileKind::Enhanced);
        const int wmf = int(platform::MetafileKind::Windows);
        // 5292 x 2646 hundredths of a millimetre are 200 x 100 pixels at 96 per inch.
        QTest::newRow("enhanced metafile") << MakeEmf() << QSize(200, 100) << emf;
        QTest::newRow("enhanced, small frame grown") << MakeEmf(1323, 662) << QSize(128, 64) << emf;
        QTest::newRow("enhanced, large frame shrunk")
            << MakeEmf(52917, 26458) << QSize(1024, 512) << emf;
        QTest::newRow("placeable metafile") << MakeWmf() << QSize(200, 100) << wmf;
        QTest::newRow("placeable, 1440 units per inch")
            << MakeWmf(true, 1440) << QSize(128, 64) << wmf;
        QTest::newRow("placeable, 48 units per inch")
            << MakeWmf(true, 48) << QSize(400, 200) << wmf;
        QTest::newRow("plain metafile") << MakeWmf(false) << QSize(200, 100) << wmf;
    }

    void drawsTheFrameInItsColours() {
        QFETCH(QByteArray, data);
        QFETCH(QSize, size);
        QFETCH(int, kind);
        QCOMPARE(int(platform::DetectMetafile(data)), kind);
        const QImage picture = platform::DecodeMetafile(data);
        QVERIFY2(!picture.isNull(), "the metafile was not decoded");
        QCOMPARE(picture.size(), size);
        // Places in units of the 200 x 100 drawing.
        auto at = [&](int x, int y) {
            return picture.pixel(x * size.width() / 200, y * size.height() / 100);
        };
        const struct {
            int X, Y;
            QRgb Want;
            const char* What;
        } probes[] = {{50, 50, qRgb(255, 0, 0), "rectangle"},
                      {5, 95, qRgb(255, 0, 0), "rectangle corner"},
                      {150, 50, qRgb(0, 0, 255), "ellipse centre"},
                      {110, 50, qRgb(255, 255, 255), "gap"},
                      {195, 5, qRgb(255, 255, 255), "top right corner"},
                      {124, 24, qRgb(255, 255, 255), "outside the ellipse"}};
        for (const auto& p : probes) {
            QVERIFY2(Near(at(p.X, p.Y), p.Want),
                     qPrintable(QStringLiteral("%1 at (%2, %3) is %4, want %5")
                                    .arg(QLatin1String(p.What))
                                    .arg(p.X)
                                    .arg(p.Y)
                                    .arg(Hex(at(p.X, p.Y)), Hex(p.Want))));
        }
    }

    // The loader goes by content: a metafile under another name still decodes.
    void loaderRecognisesMetafilesByContent() {
        QTemporaryDir dir;
        const struct {
            const char* Name;
            QByteArray Data;
        } files[] = {{"drawing.jpg", MakeEmf()}, {"drawing", MakeWmf()}, {"d.emf", MakeWmf(false)}};
        for (const auto& f : files) {
            const QString path = dir.filePath(QLatin1String(f.Name));
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(f.Data);
            out.close();
            const QImage picture = platform::LoadPicture(path);
            QVERIFY2(picture.size() == QSize(200, 100), f.Name);
        }
    }

    void refusesDamagedAndAbsurdFiles_data() {
        QTest::addColumn<QByteArray>("data");
        const QByteArray emf = MakeEmf();
        const QByteArray wmf = MakeWmf();
        QTest::newRow("EMF header only") << emf.left(88);
        QTest::newRow("EMF cut inside a record") << emf.left(emf.size() - 30);
        QTest::newRow("EMF without its end record") << emf.left(emf.size() - 20);
        QByteArray overrun = emf;
        qToLittleEndian<quint32>(0x7FFFFFF0, overrun.data() + 88 + 4);
        QTest::newRow("EMF record longer than the file") << overrun;
        QByteArray odd = emf;
        qToLittleEndian<quint32>(10, odd.data() + 88 + 4);
        QTest::newRow("EMF record of odd length") << odd;
        QTest::newRow("EMF empty frame and bounds") << [&] {
            QByteArray d = MakeEmf(0, 0);
            qToLittleEndian<qint32>(-1, d.data() + 16); // bounds right < left
            return d;
        }();
        QTest::newRow("EMF frame a hundred thousand to one") << MakeEmf(5292000, 26);
        QByteArray signature = emf;
        signature[41] = 'X';
        QTest::newRow("EMF wrong signature") << signature;
        QTest::newRow("WMF header only") << wmf.left(22 + 18);
        QTest::newRow("WMF cut inside a record") << wmf.left(wmf.size() - 9);
        QTest::newRow("WMF without its end record") << wmf.left(wmf.size() - 6);
        QByteArray zeroInch = wmf;
        qToLittleEndian<quint16>(0, zeroInch.data() + 14);
        QTest::newRow("WMF zero units per inch") << zeroInch;
        QByteArray flat = wmf;
        qToLittleEndian<qint16>(0, flat.data() + 12); // bottom = top
        QTest::newRow("WMF empty frame") << flat;
        QByteArray tiny = wmf;
        qToLittleEndian<quint32>(1, tiny.data() + 22 + 18);
        QTest::newRow("WMF record shorter than its header") << tiny;
        // Text that would smuggle a reference to a file on disk into the drawing.
        QTest::newRow("WMF text with markup") << MakeWmf(
            true, 96,
            "</text><image width=\"9\" height=\"9\" xlink:href=\"/etc/hostname\"/><text>");
        QTest::newRow("not a metafile") << QByteArray("GIF89a not a metafile at all");
    }

    void refusesDamagedAndAbsurdFiles() {
        QFETCH(QByteArray, data);
        const QImage picture = platform::DecodeMetafile(data);
        QVERIFY2(picture.isNull(), qPrintable(QStringLiteral("decoded a %1 x %2 picture")
                                                  .arg(picture.width())
                                                  .arg(picture.height())));
    }

    // Random damage to the record contents (sizes kept, so the converters see
    // it) must never crash; whatever decodes stays within the size limits.
    void survivesDamagedRecords() {
        QRandomGenerator random(20260101);
        const QByteArray seeds[] = {MakeEmf(), MakeWmf(), MakeWmf(false), MakeWmf(true, 96, "Hi")};
        int decoded = 0;
        for (int round = 0; round < 120; ++round) {
            QByteArray data = seeds[round % std::size(seeds)];
            const int changes = 1 + int(random.bounded(6));
            for (int i = 0; i < changes; ++i) {
                const int at = 8 + int(random.bounded(int(data.size()) - 8));
                data[at] = char(random.bounded(2) ? 0xFF : random.bounded(256));
            }
            const QImage picture = platform::DecodeMetafile(data);
            if (!picture.isNull()) {
                ++decoded;
                QVERIFY(picture.width() <= 1024 && picture.height() <= 1024);
            }
        }
        qInfo("%d of 120 damaged files still decoded", decoded);
    }
};

QTEST_MAIN(TstMetafile)
#include "tst_metafile.moc"
