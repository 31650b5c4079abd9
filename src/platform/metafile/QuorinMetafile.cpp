// The metafile helper, Quorin-metafile: draws one metafile from stdin and writes its pixels to
// stdout.
//
// The picture loader starts it for every metafile it decodes, so that the
// converting libraries and the SVG module are loaded only then, and only in a
// process of their own: they parse the file byte by byte in C, and drawing
// what they produce can take unbounded time (a single path of a million
// points crossing the picture). The loader kills it after its time limit; it
// limits its own address space first thing. Output: width and height as
// 32-bit little-endian integers, then the rows of 32-bit pixels. Exit status 0
// only when the picture was written.
#include "platform/MetafileFormat.h"

#include <QGuiApplication>
#include <QPainter>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <QtEndian>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

#include <emf2svg.h>
#include <libwmf/api.h>
#include <libwmf/svg.h>

namespace {

using namespace platform;
using namespace platform::metafile;

constexpr int kMaxSvgElements = 50000;
constexpr qsizetype kMaxSvgBytes = 16 * 1024 * 1024;
constexpr rlim_t kMemoryBytes = rlim_t(2) * 1024 * 1024 * 1024;

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

QByteArray ReadAll(int fd, qsizetype limit) {
    QByteArray data;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || data.size() + n > limit)
            return n == 0 ? data : QByteArray();
        data.append(chunk, n);
    }
}

std::optional<Converted> Convert(const QByteArray& data) {
    const std::optional<MetafileFacts> facts = ExamineMetafile(data);
    if (!facts)
        return {};
    if (DetectMetafile(data) == MetafileKind::Enhanced)
        return ConvertEmf(data, *facts);
    return ConvertWmf(data, *facts);
}

} // namespace

int main(int argc, char** argv) {
#ifndef __SANITIZE_ADDRESS__ // the sanitizer reserves far more address space
    const rlimit memory{kMemoryBytes, kMemoryBytes};
    ::setrlimit(RLIMIT_AS, &memory);
#endif
    // Text in the pictures needs the font database, which needs an application.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QByteArray data = ReadAll(STDIN_FILENO, kMaxMetafileBytes);
    const std::optional<Converted> converted = data.isEmpty() ? std::nullopt : Convert(data);
    const QImage picture = converted ? DrawSvg(converted->Svg, converted->Size) : QImage();
    bool ok = !picture.isNull() && picture.format() == QImage::Format_RGB32 &&
              picture.bytesPerLine() == picture.width() * 4;
    if (ok) {
        char header[8];
        qToLittleEndian<qint32>(picture.width(), header);
        qToLittleEndian<qint32>(picture.height(), header + 4);
        ok = WriteAll(STDOUT_FILENO, header, sizeof header) &&
             WriteAll(STDOUT_FILENO, reinterpret_cast<const char*>(picture.constBits()),
                      picture.sizeInBytes());
    }
    // Without the libraries' clean-up: a damaged file may have left them in any state.
    ::_exit(ok ? 0 : 1);
}
