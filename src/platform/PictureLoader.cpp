// The picture loader: JPEG through libjpeg, metafiles, bitmaps and icons through Qt; a small cache.
#include "platform/PictureLoader.h"
#include "platform/Metafile.h"
#include "platform/SharedLibrary.h"

#include <QBuffer>
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMutex>
#include <QMutexLocker>

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE declared first
#include <deque>
#include <jerror.h>
#include <jpeglib.h>

namespace platform {
namespace {

// Pictures beyond these bounds are refused rather than allocated.
constexpr qint64 kMaxFileBytes = 256LL * 1024 * 1024;
constexpr int kMaxSide = 32768;
constexpr qint64 kMaxPixels = 64LL * 1024 * 1024;
// The cache keeps a few recent pictures, within a memory budget.
constexpr std::size_t kCacheEntries = 8;
constexpr qint64 kCacheBytes = 128LL * 1024 * 1024;

bool SizeAcceptable(qint64 width, qint64 height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           width * height <= kMaxPixels;
}

bool LooksLikeJpeg(const QByteArray& data) {
    return data.size() >= 3 && static_cast<uchar>(data[0]) == 0xFF &&
           static_cast<uchar>(data[1]) == 0xD8 && static_cast<uchar>(data[2]) == 0xFF;
}

// libjpeg is loaded at the first JPEG, not at program start: the first window
// shows none.
constexpr const char* kJpegLibrary = "libjpeg.so.62";
#define VELTROY_JPEG_FUNCTIONS(X, P)                                                               \
    X(P, std_error)                                                                                \
    X(P, CreateDecompress)                                                                         \
    X(P, mem_src)                                                                                  \
    X(P, read_header)                                                                              \
    X(P, start_decompress)                                                                         \
    X(P, read_scanlines)                                                                           \
    X(P, finish_decompress)                                                                        \
    X(P, destroy_decompress)

VELTROY_FUNCTION_TABLE(JpegApi, VELTROY_JPEG_FUNCTIONS, jpeg_)

// The libjpeg functions, or null when the library or one of them is missing.
// Loaded once and never unloaded.
const JpegApi* Jpeg() {
    static const JpegApi* api = LoadFunctions<JpegApi>(kJpegLibrary, "No JPEG pictures");
    return api;
}

// libjpeg reports fatal errors through error_exit, which must not return: it
// jumps back into DecodeJpeg. Warnings are silenced; a premature end of the
// data is remembered, since the decoder then pads the picture with grey.
struct JpegErrors {
    jpeg_error_mgr Manager;
    std::jmp_buf Jump;
    bool Truncated;
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
    auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    std::longjmp(errors->Jump, 1);
}

void JpegEmitMessage(j_common_ptr cinfo, int level) {
    auto* errors = reinterpret_cast<JpegErrors*>(cinfo->err);
    if (level < 0 && cinfo->err->msg_code == JWRN_JPEG_EOF)
        errors->Truncated = true;
}

void JpegOutputMessage(j_common_ptr) {}

QRgb CmykToRgb(int c, int m, int y, int k, bool inverted) {
    // Adobe writes CMYK inverted (0 = full ink); plain CMYK stores the ink itself.
    if (!inverted) {
        c = 255 - c;
        m = 255 - m;
        y = 255 - y;
        k = 255 - k;
    }
    return qRgb(c * k / 255, m * k / 255, y * k / 255);
}

// Decodes a JPEG held in memory into out. Between setjmp and a possible
// longjmp only trivially destructible locals live in this frame; the picture
// itself belongs to the caller, so a jump skips no destructor and leaks nothing.
bool DecodeJpeg(const QByteArray& data, QImage& out) {
    const JpegApi* const jpeg = Jpeg();
    if (!jpeg)
        return false;
    jpeg_decompress_struct cinfo{};
    JpegErrors errors{};
    cinfo.err = jpeg->std_error(&errors.Manager);
    errors.Manager.error_exit = JpegErrorExit;
    errors.Manager.emit_message = JpegEmitMessage;
    errors.Manager.output_message = JpegOutputMessage;
    errors.Truncated = false;
    if (setjmp(errors.Jump)) {
        jpeg->destroy_decompress(&cinfo);
        out = QImage();
        return false;
    }
    // What the macro jpeg_create_decompress stands for.
    jpeg->CreateDecompress(&cinfo, JPEG_LIB_VERSION, sizeof(jpeg_decompress_struct));
    jpeg->mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.constData()),
                  static_cast<unsigned long>(data.size()));
    if (jpeg->read_header(&cinfo, TRUE) != JPEG_HEADER_OK ||
        !SizeAcceptable(cinfo.image_width, cinfo.image_height)) {
        jpeg->destroy_decompress(&cinfo);
        return false;
    }
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg->start_decompress(&cinfo);
    const int components = cmyk ? 4 : 3;
    if (cinfo.output_components != components) {
        jpeg->destroy_decompress(&cinfo);
        return false;
    }
    const int width = static_cast<int>(cinfo.output_width);
    out = QImage(width, static_cast<int>(cinfo.output_height), QImage::Format_RGB32);
    if (out.isNull()) {
        jpeg->destroy_decompress(&cinfo);
        return false;
    }
    const bool inverted = cinfo.saw_Adobe_marker;
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                width * components, 1);
    while (cinfo.output_scanline < cinfo.output_height) {
        const int line = static_cast<int>(cinfo.output_scanline);
        if (jpeg->read_scanlines(&cinfo, row, 1) != 1)
            break;
        auto* dst = reinterpret_cast<QRgb*>(out.scanLine(line));
        const JSAMPLE* src = row[0];
        for (int x = 0; x < width; ++x, src += components) {
            dst[x] = cmyk ? CmykToRgb(src[0], src[1], src[2], src[3], inverted)
                          : qRgb(src[0], src[1], src[2]);
        }
    }
    jpeg->finish_decompress(&cinfo);
    jpeg->destroy_decompress(&cinfo);
    if (errors.Truncated) {
        out = QImage();
        return false;
    }
    return true;
}

// Everything else Qt can read, recognised by content; of a multi-image icon,
// the largest image.
QImage DecodeWithQt(const QByteArray& data) {
    QBuffer buffer;
    buffer.setData(data);
    if (!buffer.open(QIODevice::ReadOnly))
        return {};
    QImageReader reader(&buffer);
    if (!reader.canRead())
        return {};
    const QSize declared = reader.size();
    if (declared.isValid() && !SizeAcceptable(declared.width(), declared.height()))
        return {};
    const int count = reader.imageCount();
    if (count <= 1)
        return reader.read();
    QImage best;
    for (int i = 0; i < count; ++i) {
        if (!reader.jumpToImage(i))
            break;
        const QImage image = reader.read();
        if (image.isNull())
            continue;
        const qint64 area = qint64(image.width()) * image.height();
        if (best.isNull() || area > qint64(best.width()) * best.height())
            best = image;
    }
    return best;
}

QImage Decode(const QString& path) {
    QFile file(path);
    if (file.size() > kMaxFileBytes || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    if (data.isEmpty())
        return {};
    QImage image;
    if (LooksLikeJpeg(data)) {
        if (!DecodeJpeg(data, image))
            return {};
    } else if (DetectMetafile(data) != MetafileKind::None) {
        image = DecodeMetafile(data);
    } else {
        image = DecodeWithQt(data);
    }
    if (image.isNull() || !SizeAcceptable(image.width(), image.height()))
        return {};
    return image;
}

struct CacheEntry {
    QString Path;
    qint64 Size = 0;
    qint64 Modified = 0;
    QImage Picture; // null: the file could not be decoded
};

QMutex CacheLock;
std::deque<CacheEntry> Cache; // most recently used first

} // namespace

QImage LoadPicture(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return {};
    const QString key = info.absoluteFilePath();
    const qint64 size = info.size();
    const qint64 modified = info.lastModified().toMSecsSinceEpoch();
    {
        QMutexLocker lock(&CacheLock);
        for (auto it = Cache.begin(); it != Cache.end(); ++it) {
            if (it->Path == key && it->Size == size && it->Modified == modified) {
                CacheEntry hit = std::move(*it);
                Cache.erase(it);
                Cache.push_front(std::move(hit));
                return Cache.front().Picture;
            }
        }
    }
    const QImage picture = Decode(path);
    QMutexLocker lock(&CacheLock);
    std::erase_if(Cache, [&](const CacheEntry& e) { return e.Path == key; });
    if (picture.sizeInBytes() > kCacheBytes)
        return picture;
    Cache.push_front({key, size, modified, picture});
    qint64 bytes = 0;
    std::size_t kept = 0;
    while (kept < Cache.size()) {
        bytes += Cache[kept].Picture.sizeInBytes();
        if (kept >= kCacheEntries || bytes > kCacheBytes)
            break;
        ++kept;
    }
    Cache.resize(std::max<std::size_t>(kept, 1));
    return picture;
}

QImage ReadOwnPicture(const QString& path, const char* format) {
    QImageReader reader(path, format);
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

} // namespace platform
