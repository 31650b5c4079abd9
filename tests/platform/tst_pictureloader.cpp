// Tests of the picture loader: formats by content, damaged files refused, the cache.
#include "platform/PictureLoader.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <jpeglib.h>
#include <vector>

namespace {

// Encodes a w x h JPEG with libjpeg; pixel(x, y, out) fills one pixel's samples.
QByteArray EncodeJpeg(int w, int h, J_COLOR_SPACE space, int components,
                      const std::function<void(int, int, JSAMPLE*)>& pixel) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr errors{};
    cinfo.err = jpeg_std_error(&errors);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = components;
    cinfo.in_color_space = space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 95, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(w * components));
    while (cinfo.next_scanline < cinfo.image_height) {
        for (int x = 0; x < w; ++x)
            pixel(x, static_cast<int>(cinfo.next_scanline), &row[std::size_t(x * components)]);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    QByteArray out(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(size));
    std::free(buffer);
    return out;
}

// Left half red, right half blue: checks both colour and orientation.
QByteArray ColourJpeg(int w = 32, int h = 16) {
    return EncodeJpeg(w, h, JCS_RGB, 3, [w](int x, int, JSAMPLE* p) {
        const bool left = x < w / 2;
        p[0] = left ? 255 : 0;
        p[1] = 0;
        p[2] = left ? 0 : 255;
    });
}

QByteArray IcoOf(const QImage& image) {
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "ico");
    writer.write(image);
    return data;
}

// Joins single-image icon files into one with several images.
QByteArray JoinIcons(const QList<QByteArray>& icons) {
    const int count = static_cast<int>(icons.size());
    QByteArray header("\0\0\1\0", 4);
    header.append(char(count & 0xFF)).append(char(count >> 8));
    QByteArray entries, images;
    qint64 offset = 6 + 16 * count;
    for (const QByteArray& icon : icons) {
        QByteArray entry = icon.mid(6, 16);
        const QByteArray image = icon.mid(22);
        for (int i = 0; i < 4; ++i)
            entry[12 + i] = char((offset >> (8 * i)) & 0xFF);
        entries += entry;
        images += image;
        offset += image.size();
    }
    return header + entries + images;
}

bool Near(QRgb got, QRgb want, int tolerance = 4) {
    return std::abs(qRed(got) - qRed(want)) <= tolerance &&
           std::abs(qGreen(got) - qGreen(want)) <= tolerance &&
           std::abs(qBlue(got) - qBlue(want)) <= tolerance;
}

QString Hex(QRgb p) {
    return QStringLiteral("#%1").arg(p & 0xFFFFFF, 6, 16, QLatin1Char('0'));
}

class TestPictureLoader : public QObject {
    Q_OBJECT

    QTemporaryDir Dir;

    QString Write(const QString& name, const QByteArray& content) {
        const QString path = Dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            qFatal("cannot write %s", qPrintable(path));
        f.write(content);
        return path;
    }

    // Rewrites within one millisecond would share a time stamp: set it apart.
    static void SetModified(const QString& path, int secondsFromNow) {
        QFile file(path);
        if (!file.open(QIODevice::ReadWrite) ||
            !file.setFileTime(QDateTime::currentDateTime().addSecs(secondsFromNow),
                              QFileDevice::FileModificationTime))
            qFatal("cannot set the time of %s", qPrintable(path));
    }

private slots:
    void readsPicturesByContent_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QRgb>("left");  // pixel at (1, 1)
        QTest::addColumn<QRgb>("right"); // pixel at (w - 2, h - 2)

        QTest::newRow("colour JPEG")
            << ColourJpeg() << "photo.jpg" << QSize(32, 16) << qRgb(255, 0, 0) << qRgb(0, 0, 255);
        QTest::newRow("JPEG named .bmp")
            << ColourJpeg() << "photo.bmp" << QSize(32, 16) << qRgb(255, 0, 0) << qRgb(0, 0, 255);
        QTest::newRow("greyscale JPEG")
            << EncodeJpeg(16, 8, JCS_GRAYSCALE, 1,
                          [](int x, int, JSAMPLE* p) { p[0] = x < 8 ? 40 : 200; })
            << "grey.jpeg" << QSize(16, 8) << qRgb(40, 40, 40) << qRgb(200, 200, 200);
        // CMYK as Adobe writes it, inverted: red is no cyan, full magenta and yellow, no black.
        QTest::newRow("Adobe CMYK JPEG")
            << EncodeJpeg(16, 8, JCS_CMYK, 4,
                          [](int x, int, JSAMPLE* p) {
                              const bool left = x < 8;
                              p[0] = 255;
                              p[1] = left ? 0 : 255;
                              p[2] = left ? 0 : 128;
                              p[3] = left ? 255 : 128;
                          })
            << "print.jpg" << QSize(16, 8) << qRgb(255, 0, 0) << qRgb(128, 128, 64);

        QImage bmp(20, 10, QImage::Format_RGB32);
        bmp.fill(qRgb(10, 200, 30));
        bmp.setPixel(18, 8, qRgb(250, 5, 7));
        QByteArray bmpData;
        QBuffer buffer(&bmpData);
        buffer.open(QIODevice::WriteOnly);
        bmp.save(&buffer, "BMP");
        QTest::newRow("bitmap") << bmpData << "piece.bmp" << QSize(20, 10) << qRgb(10, 200, 30)
                                << qRgb(250, 5, 7);
        QTest::newRow("bitmap named .jpg")
            << bmpData << "piece.jpg" << QSize(20, 10) << qRgb(10, 200, 30) << qRgb(250, 5, 7);

        QImage small(16, 16, QImage::Format_ARGB32), large(48, 48, QImage::Format_ARGB32),
            middle(32, 32, QImage::Format_ARGB32);
        small.fill(qRgb(255, 0, 0));
        large.fill(qRgb(0, 0, 255));
        middle.fill(qRgb(0, 255, 0));
        QTest::newRow("icon: the largest image")
            << JoinIcons({IcoOf(small), IcoOf(large), IcoOf(middle)}) << "piece.ico"
            << QSize(48, 48) << qRgb(0, 0, 255) << qRgb(0, 0, 255);
    }

    void readsPicturesByContent() {
        QFETCH(QByteArray, content);
        QFETCH(QString, name);
        QFETCH(QSize, size);
        QFETCH(QRgb, left);
        QFETCH(QRgb, right);
        const QImage image = platform::LoadPicture(Write(name, content));
        QVERIFY2(!image.isNull(), "the picture was not decoded");
        QCOMPARE(image.size(), size);
        const QRgb l = image.pixel(1, 1);
        const QRgb r = image.pixel(size.width() - 2, size.height() - 2);
        QVERIFY2(Near(l, left),
                 qPrintable(QStringLiteral("left is %1, want %2").arg(Hex(l), Hex(left))));
        QVERIFY2(Near(r, right),
                 qPrintable(QStringLiteral("right is %1, want %2").arg(Hex(r), Hex(right))));
    }

    void refusesWhatItCannotRead_data() {
        QTest::addColumn<QString>("path"); // relative to the temporary folder; "" for empty
        QTest::addColumn<QByteArray>("content");
        const QByteArray jpeg = ColourJpeg(64, 64);
        QTest::newRow("truncated JPEG") << "cut.jpg" << jpeg.left(jpeg.size() / 2);
        QTest::newRow("JPEG start, then garbage")
            << "garbage.jpg"
            << QByteArray("\xFF\xD8\xFF\xC0\x00\x11\x08\xFF\xFF\xFF\xFF\x09junk", 17);
        QTest::newRow("random bytes as .jpg")
            << "noise.jpg" << QByteArray("\x13\x37\x00\x42 noise noise", 16);
        QTest::newRow("empty file") << "empty.bmp" << QByteArray();
        QTest::newRow("metafile") << "drawing.wmf"
                                  << QByteArray("\xD7\xCD\xC6\x9A\0\0\0\0\0\0", 10);
        // A valid JPEG whose frame header claims 60000 x 60000 pixels.
        QByteArray huge = jpeg;
        const qsizetype sof = huge.indexOf(QByteArray("\xFF\xC0", 2));
        for (int i = 5; i <= 8; ++i)
            huge[sof + i] = i % 2 ? char(0xEA) : char(0x60);
        QTest::newRow("absurd dimensions") << "huge.jpg" << huge;
    }

    void refusesWhatItCannotRead() {
        QFETCH(QString, path);
        QFETCH(QByteArray, content);
        const QImage image = platform::LoadPicture(Write(path, content));
        QVERIFY2(image.isNull(), qPrintable(QStringLiteral("decoded a %1 x %2 picture")
                                                .arg(image.width())
                                                .arg(image.height())));
    }

    void nothingToReadGivesNull() {
        QVERIFY(platform::LoadPicture(QString()).isNull());
        QVERIFY(platform::LoadPicture(Dir.filePath(QStringLiteral("absent.jpg"))).isNull());
        QDir(Dir.path()).mkdir(QStringLiteral("folder.jpg"));
        QVERIFY(platform::LoadPicture(Dir.filePath(QStringLiteral("folder.jpg"))).isNull());
    }

    void cacheKeepsDecodedFilesUntilTheyChange() {
        const QString path = Write(QStringLiteral("cached.jpg"), ColourJpeg(32, 16));
        const QImage first = platform::LoadPicture(path);
        QVERIFY(!first.isNull());
        QCOMPARE(platform::LoadPicture(path).cacheKey(), first.cacheKey());

        // Another size: decoded again.
        Write(QStringLiteral("cached.jpg"), ColourJpeg(40, 16));
        QCOMPARE(platform::LoadPicture(path).size(), QSize(40, 16));

        // Same size, new modification time: decoded again.
        const QByteArray blue = EncodeJpeg(40, 16, JCS_RGB, 3, [](int, int, JSAMPLE* p) {
            p[0] = 0;
            p[1] = 0;
            p[2] = 255;
        });
        QByteArray padded = blue;
        const QByteArray red40 = ColourJpeg(40, 16);
        QVERIFY(padded.size() <= red40.size());
        // JPEG readers stop at the end marker: pad to the old size byte for byte.
        padded.append(QByteArray(red40.size() - blue.size(), '\0'));
        Write(QStringLiteral("cached.jpg"), red40);
        SetModified(path, -3600);
        const QImage red = platform::LoadPicture(path);
        QVERIFY(Near(red.pixel(1, 1), qRgb(255, 0, 0)));
        Write(QStringLiteral("cached.jpg"), padded);
        SetModified(path, -1800);
        const QImage again = platform::LoadPicture(path);
        QVERIFY2(Near(again.pixel(1, 1), qRgb(0, 0, 255)),
                 qPrintable(QStringLiteral("stale picture: %1").arg(Hex(again.pixel(1, 1)))));

        // A file that became unreadable is not served from the cache.
        Write(QStringLiteral("cached.jpg"), QByteArray(red40.size(), 'x'));
        SetModified(path, -900);
        QVERIFY(platform::LoadPicture(path).isNull());
    }
};

} // namespace

QTEST_MAIN(TestPictureLoader)
#include "tst_pictureloader.moc"
