// Metafile checks: header recognition, the walk over the records, the frame and the drawing size.
#include "platform/MetafileFormat.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace platform {
namespace metafile {
namespace {

constexpr qint64 kMaxRecords = 50000;
constexpr int kMinRenderSide = 128;
// Drawing costs about records x pixels; above this budget the picture shrinks.
constexpr double kDrawWorkBudget = 1e9;
constexpr double kMinRenderPixels = 64.0 * 64.0;

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

} // namespace

std::optional<MetafileFacts> ExamineMetafile(const QByteArray& data) {
    if (data.size() > kMaxMetafileBytes)
        return {};
    switch (DetectMetafile(data)) {
    case MetafileKind::Enhanced:
        return ExamineEmf(data);
    case MetafileKind::Windows:
        return ExamineWmf(data);
    case MetafileKind::None:
        break;
    }
    return {};
}

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

} // namespace metafile

MetafileKind DetectMetafile(const QByteArray& data) {
    using namespace metafile;
    if (EmfHeaderOk(data))
        return MetafileKind::Enhanced;
    if (Placeable(data) ? WmfHeaderOk(data, kPlaceableBytes) : WmfHeaderOk(data, 0))
        return MetafileKind::Windows;
    return MetafileKind::None;
}

} // namespace platform
