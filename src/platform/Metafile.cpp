// Metafile pictures: header and record checks, conversion to SVG by libemf2svg or libwmf, drawing.
#include "platform/Metafile.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QRectF>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <type_traits>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <emf2svg.h>
#include <libwmf/api.h>
#include <libwmf/svg.h>

namespace platform {
namespace {

// Limits that keep a hostile file from costing much time or memory.
constexpr qsizetype kMaxMetafileBytes = 16 * 1024 * 1024;
constexpr qint64 kMaxRecords = 50000;
constexpr int kMaxSvgElements = 50000;
constexpr qsizetype kMaxSvgBytes = 16 * 1024 * 1024;
constexpr int kMaxRenderSide = 1024;
constexpr int kMinRenderSide = 128;
// Drawing costs about records x pixels; above this budget the picture shrinks.
constexpr double kDrawWorkBudget = 1e9;
constexpr double kMinRenderPixels = 64.0 * 64.0;
constexpr qint64 kConvertDeadlineMs = 3000;
constexpr rlim_t kChildMemoryBytes = rlim_t(2) * 1024 * 1024 * 1024;

constexpr double kScreenDpi = 96.0;
constexpr double kHundredthsMmPerInch = 2540.0;

constexpr quint32 kEmrHeader = 1;
constexpr quint32 kEmrEof = 14;
constexpr quint32 kEmfSignature = 0x464D4520; // " EMF"
constexpr qsizetype kEmfHeaderBytes = 88;

constexpr quint32 kPlaceableKey = 0x9AC6CDD7;
constexpr qsizetype kPlaceableBytes = 22;
constexpr qsizetype kWmfHeaderBytes = 18;
constexpr quint16 kMetaSetWindowOrg = 0x020B;
constexpr quint16 kMetaSetWindowExt = 0x020C;
constexpr double kPointsPerInch = 72.0;

// A little-endian integer at offset, which the caller has checked lies inside.
template <typename T> T Read(const QByteArray& data, qsizetype offset) {
    using Unsigned = std::make_unsigned_t<T>;
    Unsigned value = 0;
    for (qsizetype i = 0; i < qsizetype(sizeof(T)); ++i)
        value = Unsigned(value | Unsigned(uchar(data.at(offset + i))) << (8 * i));
    return T(value);
}

// What the header and the walk over the records found.
struct MetafileFacts {
    double Width = 0; // natural size in pixels; 0 when the file states none
    double Height = 0;
    qint64 Records = 0;
    qsizetype Length = 0;        // bytes up to and including the end-of-file record
    std::optional<QRectF> Frame; // of a metafile, in libwmf's device units
};

bool EmfHeaderOk(const QByteArray& data) {
    return data.size() >= kEmfHeaderBytes && Read<quint32>(data, 0) == kEmrHeader &&
           Read<quint32>(data, 40) == kEmfSignature;
}

bool WmfHeaderOk(const QByteArray& data, qsizetype at) {
    if (data.size() < at + kWmfHeaderBytes)
        return false;
    const quint16 type = Read<quint16>(data, at);
    const quint16 headerWords = Read<quint16>(data, at + 2);
    const quint16 version = Read<quint16>(data, at + 4);
    return (type == 1 || type == 2) && headerWords == 9 && (version == 0x0100 || version == 0x0300);
}

bool Placeable(const QByteArray& data) {
    return data.size() >= kPlaceableBytes && Read<quint32>(data, 0) == kPlaceableKey;
}

// Every record must lie inside the data and the list must end with the
// end-of-file record; a damaged or truncated file is refused here, before any
// library sees it.
std::optional<MetafileFacts> ExamineEmf(const QByteArray& data) {
    MetafileFacts facts;
    qsizetype at = 0;
    bool ended = false;
    while (!ended && at + 8 <= data.size()) {
        const quint32 type = Read<quint32>(data, at);
        const quint32 size = Read<quint32>(data, at + 4);
        if (size < 8 || size % 4 != 0 || size > quint64(data.size() - at))
            return {};
        if (at == 0 && (type != kEmrHeader || size < kEmfHeaderBytes))
            return {};
        if (++facts.Records > kMaxRecords)
            return {};
        ended = type == kEmrEof;
        at += size;
    }
    if (!ended)
        return {};
    facts.Length = at;
    // The frame is in hundredths of a millimetre; the bounds, inclusive, in pixels.
    const qint64 frameW = qint64(Read<qint32>(data, 32)) - Read<qint32>(data, 24);
    const qint64 frameH = qint64(Read<qint32>(data, 36)) - Read<qint32>(data, 28);
    const qint64 boundsW = qint64(Read<qint32>(data, 16)) - Read<qint32>(data, 8) + 1;
    const qint64 boundsH = qint64(Read<qint32>(data, 20)) - Read<qint32>(data, 12) + 1;
    if (frameW > 0 && frameH > 0) {
        facts.Width = double(frameW) * kScreenDpi / kHundredthsMmPerInch;
        facts.Height = double(frameH) * kScreenDpi / kHundredthsMmPerInch;
    } else if (boundsW > 0 && boundsH > 0) {
        facts.Width = double(boundsW);
        facts.Height = double(boundsH);
    } else {
        return {};
    }
    return facts;
}

// Without a placeable header, the first window extent gives the size in
// logical units, taken as pixels. libwmf draws in device units measured from
// the window origin: points (1/72 inch) for a placeable file, logical units
// otherwise; Frame is the picture's frame in those units.
std::optional<MetafileFacts> ExamineWmf(const QByteArray& data) {
    MetafileFacts facts;
    qsizetype at = 0;
    const bool placeable = Placeable(data);
    if (placeable)
        at = kPlaceableBytes;
    if (!WmfHeaderOk(data, at))
        return {};
    at += kWmfHeaderBytes;
    bool ended = false;
    std::optional<QPointF> origin;
    std::optional<QPointF> extent;
    while (!ended && at + 6 <= data.size()) {
        const quint64 bytes = quint64(Read<quint32>(data, at)) * 2;
        const quint16 function = Read<quint16>(data, at + 4);
        if (bytes < 6 || bytes > quint64(data.size() - at))
            return {};
        if (++facts.Records > kMaxRecords)
            return {};
        if (bytes >= 10 && (function == kMetaSetWindowOrg || function == kMetaSetWindowExt)) {
            const QPointF point(Read<qint16>(data, at + 8), Read<qint16>(data, at + 6));
            auto& first = function == kMetaSetWindowOrg ? origin : extent;
            if (!first)
                first = point;
        }
        ended = function == 0;
        at += qsizetype(bytes);
    }
    if (!ended)
        return {};
    facts.Length = at;
    const QPointF org = origin.value_or(QPointF());
    if (placeable) {
        const QPointF topLeft(Read<qint16>(data, 6), Read<qint16>(data, 8));
        const QPointF bottomRight(Read<qint16>(data, 10), Read<qint16>(data, 12));
        const quint16 unitsPerInch = Read<quint16>(data, 14);
        if (unitsPerInch == 0)
            return {};
        const QRectF logical = QRectF(topLeft, bottomRight).normalized();
        facts.Width = logical.width() * kScreenDpi / unitsPerInch;
        facts.Height = logical.height() * kScreenDpi / unitsPerInch;
        const double toPoints = kPointsPerInch / unitsPerInch;
        facts.Frame = QRectF((logical.topLeft() - org) * toPoints, logical.size() * toPoints);
        if (facts.Width == 0 || facts.Height == 0)
            return {};
    } else if (extent && extent->x() != 0 && extent->y() != 0) {
        facts.Frame = QRectF(QPointF(), *extent).normalized();
        facts.Width = facts.Frame->width();
        facts.Height = facts.Frame->height();
    }
    return facts;
}

// The natural size fitted to the drawing limits; nothing for an empty or
// absurd frame (one so long and thin that a side would vanish).
std::optional<QSize> FitFrame(double width, double height, qint64 records) {
    if (!(width > 0 && height > 0 && std::isfinite(width) && std::isfinite(height)))
        return {};
    const double longSide = std::max(width, height);
    double scale = 1;
    if (longSide > kMaxRenderSide)
        scale = kMaxRenderSide / longSide;
    else if (longSide < kMinRenderSide)
        scale = kMinRenderSide / longSide;
    const double pixelBudget =
        std::clamp(kDrawWorkBudget / double(std::max<qint64>(records, 1)), kMinRenderPixels,
                   double(kMaxRenderSide) * kMaxRenderSide);
    const double pixels = width * scale * height * scale;
    if (pixels > pixelBudget)
        scale *= std::sqrt(pixelBudget / pixels);
    const long w = std::lround(width * scale);
    const long h = std::lround(height * scale);
    if (w < 1 || h < 1 || w > kMaxRenderSide || h > kMaxRenderSide)
        return {};
    return QSize(int(w), int(h));
}

// The converters copy text from the file into the SVG, and libwmf without
// escaping it, so a file could smuggle in markup. Only a well-formed document
// without entities and with inline images alone is drawn: nothing outside the
// picture is ever read. The element count bounds the drawing time.
bool SelfContained(const QByteArray& svg) {
    QXmlStreamReader xml(svg);
    int elements = 0;
    xml.setNamespaceProcessing(false); // as the SVG renderer reads it; libwmf declares no xlink
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            if (xml.text().contains(u'['))
                return false;
            break;
        case QXmlStreamReader::EntityReference:
            return false;
        case QXmlStreamReader::StartElement:
            if (++elements > kMaxSvgElements)
                return false;
            for (const QXmlStreamAttribute& attribute : xml.attributes()) {
                if ((attribute.qualifiedName() == u"href" ||
                     attribute.qualifiedName().endsWith(u":href")) &&
                    !attribute.value().trimmed().startsWith(u"data:", Qt::CaseInsensitive))
                    return false;
            }
            break;
        default:
            break;
        }
    }
    return !xml.hasError();
}

QImage DrawSvg(const QByteArray& svg, QSize size) {
    if (!SelfContained(svg))
        return {};
    QSvgRenderer renderer;
    if (!renderer.load(svg) || !renderer.isValid())
        return {};
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return picture;
}

// What a converter produced: the SVG and the pixel size to draw it at.
struct Converted {
    QSize Size;
    QByteArray Svg;
};

std::optional<Converted> ConvertEmf(const QByteArray& data, const MetafileFacts& facts) {
    const std::optional<QSize> size = FitFrame(facts.Width, facts.Height, facts.Records);
    if (!size)
        return {};
    // The converter gets exactly the checked records, with a header that says so.
    QByteArray copy = data.left(facts.Length);
    qToLittleEndian<quint32>(quint32(facts.Length), copy.data() + 48);
    qToLittleEndian<quint32>(quint32(facts.Records), copy.data() + 52);
    generatorOptions options{};
    char nameSpace[] = ""; // a prefix would make it close clip paths with the wrong tag
    options.nameSpace = nameSpace;
    options.verbose = false;
    options.emfplus = false; // dual files carry a plain drawing too; EMF+ alone draws nothing
    options.svgDelimiter = true;
    options.imgWidth = size->width();
    options.imgHeight = size->height();
    char* out = nullptr;
    size_t outLength = 0;
    const int converted =
        emf2svg(copy.data(), std::size_t(copy.size()), &out, &outLength, &options);
    Converted result{*size, {}};
    if (converted && out && outLength <= std::size_t(kMaxSvgBytes))
        result.Svg = QByteArray(out, qsizetype(outLength));
    std::free(out);
    if (result.Svg.isEmpty())
        return {};
    return result;
}

// libwmf writes its SVG through this stream, into a bounded buffer.
struct SvgSink {
    QByteArray Text;
    bool Overflow = false;
};

int SinkPut(char* text, void* context) {
    auto* sink = static_cast<SvgSink*>(context);
    const qsizetype length = qsizetype(std::strlen(text));
    if (sink->Overflow || sink->Text.size() + length > kMaxSvgBytes) {
        sink->Overflow = true;
        return EOF;
    }
    sink->Text.append(text, length);
    return 0;
}

int SinkReset(void* context) {
    auto* sink = static_cast<SvgSink*>(context);
    sink->Text.clear();
    sink->Overflow = false;
    return 0;
}

// Owns one libwmf session.
class WmfSession {
public:
    WmfSession() {
        wmfAPI_Options options{};
        options.function = wmf_svg_function;
        const unsigned long flags =
            WMF_OPT_FUNCTION | WMF_OPT_IGNORE_NONFATAL | WMF_OPT_NO_ERROR | WMF_OPT_NO_DEBUG;
        if (wmf_api_create(&Api, flags, &options) != wmf_E_None && Api) {
            wmf_api_destroy(Api);
            Api = nullptr;
        }
    }
    ~WmfSession() {
        if (Api)
            wmf_api_destroy(Api);
    }
    WmfSession(const WmfSession&) = delete;
    WmfSession& operator=(const WmfSession&) = delete;

    wmfAPI* Api = nullptr;
};

std::optional<Converted> ConvertWmf(const QByteArray& data, const MetafileFacts& facts) {
    QByteArray copy = data.left(facts.Length);
    WmfSession session;
    wmfAPI* api = session.Api;
    if (!api)
        return {};
    if (wmf_mem_open(api, reinterpret_cast<unsigned char*>(copy.data()), long(copy.size())) !=
        wmf_E_None)
        return {};
    wmfD_Rect box{};
    if (wmf_scan(api, 0, &box) != wmf_E_None)
        return {};
    // Without a stated frame, the extent of what is drawn.
    if (facts.Frame) {
        box.TL = {float(facts.Frame->left()), float(facts.Frame->top())};
        box.BR = {float(facts.Frame->right()), float(facts.Frame->bottom())};
    }
    const double width = facts.Frame ? facts.Width : double(box.BR.x) - double(box.TL.x);
    const double height = facts.Frame ? facts.Height : double(box.BR.y) - double(box.TL.y);
    const std::optional<QSize> size = FitFrame(width, height, facts.Records);
    if (!size || !(box.BR.x > box.TL.x) || !(box.BR.y > box.TL.y))
        return {};
    SvgSink sink;
    wmfStream stream{&sink, SinkPut, SinkReset};
    wmf_svg_t* device = WMF_SVG_GetData(api);
    device->out = &stream;
    char description[] = "picture";
    device->Description = description;
    device->bbox = box;
    device->width = unsigned(size->width());
    device->height = unsigned(size->height());
    device->flags |= WMF_SVG_INLINE_IMAGES;
    const wmf_error_t played = wmf_play(api, 0, &box);
    wmf_mem_close(api);
    if (played != wmf_E_None || sink.Overflow || sink.Text.isEmpty())
        return {};
    return Converted{*size, sink.Text};
}

bool WriteAll(int fd, const char* bytes, qsizetype length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, std::size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= n;
    }
    return true;
}

// The converting libraries parse the file byte by byte in C, and the drawing
// of what they produce can take unbounded time (a single path of a million
// points crossing the picture). So both run in a child process that hands
// back only the pixels through a pipe; a file made to crash the libraries,
// loop in them or exhaust memory costs at most kConvertDeadlineMs, after
// which the child is killed.
QImage DrawIsolated(const std::function<std::optional<Converted>()>& convert) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return {};
    }
    if (child == 0) {
        ::close(pipeFds[0]);
#ifndef __SANITIZE_ADDRESS__ // the sanitizer reserves far more address space
        const rlimit memory{kChildMemoryBytes, kChildMemoryBytes};
        ::setrlimit(RLIMIT_AS, &memory);
#endif
        const std::optional<Converted> converted = convert();
        const QImage picture = converted ? DrawSvg(converted->Svg, converted->Size) : QImage();
        bool ok = !picture.isNull() && picture.format() == QImage::Format_RGB32 &&
                  picture.bytesPerLine() == picture.width() * 4;
        if (ok) {
            char header[8];
            qToLittleEndian<qint32>(picture.width(), header);
            qToLittleEndian<qint32>(picture.height(), header + 4);
            ok = WriteAll(pipeFds[1], header, sizeof header) &&
                 WriteAll(pipeFds[1], reinterpret_cast<const char*>(picture.constBits()),
                          picture.sizeInBytes());
        }
        ::_exit(ok ? 0 : 1);
    }
    ::close(pipeFds[1]);
    constexpr qsizetype kMaxReceived = 8 + qsizetype(kMaxRenderSide) * kMaxRenderSide * 4;
    QByteArray received;
    bool overrun = false;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        const qint64 left = kConvertDeadlineMs - clock.elapsed();
        if (left <= 0) {
            overrun = true;
            break;
        }
        pollfd wait{pipeFds[0], POLLIN, 0};
        const int ready = ::poll(&wait, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            overrun = true;
            break;
        }
        char chunk[65536];
        const ssize_t n = ::read(pipeFds[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (received.size() + n > kMaxReceived) {
            overrun = true;
            break;
        }
        received.append(chunk, n);
    }
    ::close(pipeFds[0]);
    if (overrun)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (overrun || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || received.size() < 8)
        return {};
    const qint32 width = Read<qint32>(received, 0);
    const qint32 height = Read<qint32>(received, 4);
    if (width < 1 || height < 1 || width > kMaxRenderSide || height > kMaxRenderSide ||
        received.size() != 8 + qsizetype(width) * height * 4)
        return {};
    QImage picture(width, height, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    std::memcpy(picture.bits(), received.constData() + 8, std::size_t(picture.sizeInBytes()));
    return picture;
}

} // namespace

MetafileKind DetectMetafile(const QByteArray& data) {
    if (EmfHeaderOk(data))
        return MetafileKind::Enhanced;
    if (Placeable(data) ? WmfHeaderOk(data, kPlaceableBytes) : WmfHeaderOk(data, 0))
        return MetafileKind::Windows;
    return MetafileKind::None;
}

QImage DecodeMetafile(const QByteArray& data) {
    if (data.size() > kMaxMetafileBytes)
        return {};
    switch (DetectMetafile(data)) {
    case MetafileKind::Enhanced:
        if (const auto facts = ExamineEmf(data))
            return DrawIsolated([&] { return ConvertEmf(data, *facts); });
        return {};
    case MetafileKind::Windows:
        if (const auto facts = ExamineWmf(data))
            return DrawIsolated([&] { return ConvertWmf(data, *facts); });
        return {};
    case MetafileKind::None:
        break;
    }
    return {};
}

} // namespace platform
