// TGRID drawing: layout to the image, piece images, painting the board, hover feedback.
#include "board/Unit2.h"

#include "board/BoardAccessible.h"

#include "platform/Fonts.h"
#include "platform/PictureLoader.h"

#include <QFileInfo>
#include <QPainter>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kTileSize = 60;
constexpr int kPatternCount = 8;
// The board leaves this much of the shorter side of the image for the numbers.
constexpr int kBoardMargin = 30;
constexpr int kBigPieceSize = 100;
// Last-move and hover frame: a 3-pixel pen on the square inset by 3 pixels.
constexpr int kFrameInset = 3;
constexpr int kFramePen = 3;
// Grid lines: a 2-pixel pen.
constexpr int kGridPen = 2;
// Where the texts sit relative to their square or the board edge.
constexpr int kCountLeftOfRight = 12;
constexpr int kCountAboveBottom = 15;
constexpr int kColumnNumberAbove = 12;
constexpr int kRowNumberLeft = 9;
constexpr int kTextPixels = 12;
constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kRgbMask = 0x00FFFFFF;

// Half of n rounded to the nearest integer, ties to even (20 for 41, 22 for 43).
int HalfRoundedToEven(int n) {
    int h = n / 2;
    if (n % 2 != 0 && h % 2 != 0)
        ++h;
    return h;
}

// Opaque 32-bit copy of a picture; transparent parts of icons become white.
QImage Opaque(const QImage& source) {
    if (!source.hasAlphaChannel())
        return source.convertToFormat(QImage::Format_RGB32);
    QImage flat(source.size(), QImage::Format_RGB32);
    flat.setDevicePixelRatio(source.devicePixelRatio());
    flat.fill(kWhite);
    QPainter painter(&flat);
    painter.drawImage(0, 0, source);
    return flat;
}

// How a source is stretched to a square.
enum class Stretch {
    // Area averaging when shrinking: photos, the grey shading, the shadow.
    Smooth,
    // Nearest pixel: the black piece, whose white surround is a colour key;
    // averaging would leave a ring of light grey around the disc.
    Sharp,
    // Averaged, then cut at half: the disc mask stays pure black and white
    // with the best-fitting edge, so no grey ring lands on the piece.
    TwoLevel,
};

// Artwork and pictures stretched to s x s. Every layout rebuilds four pieces
// from the same few sources at the same two sizes, and shrinking a large photo
// is slow, so the results are kept. Averaging keeps uniform areas at their
// exact colour, which the colour keys rely on.
class ScaledCache {
public:
    const QImage& Get(const QImage& source, int s, Stretch mode) {
        const qint64 key = source.cacheKey();
        if (const QImage* hit = Find(key, s, mode))
            return *hit;
        // A large photo is first reduced once; every square size then starts
        // from the reduction instead of from millions of pixels.
        const QImage* from = &source;
        if (source.width() > kReducedSide || source.height() > kReducedSide) {
            from = Find(key, kReduced, Stretch::Smooth);
            if (from == nullptr)
                from = &Add(key, kReduced, Stretch::Smooth,
                            Opaque(source).scaled(std::min(source.width(), kReducedSide),
                                                  std::min(source.height(), kReducedSide),
                                                  Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
        }
        // Copied: adding may drop the reduction from the cache.
        const QImage base = Opaque(*from);
        QImage scaled =
            base.scaled(s, s, Qt::IgnoreAspectRatio,
                        mode == Stretch::Sharp ? Qt::FastTransformation : Qt::SmoothTransformation);
        if (mode == Stretch::TwoLevel)
            CutAtHalf(scaled);
        // The pieces are composed pixel by pixel: every scaled source is plain pixels.
        scaled.setDevicePixelRatio(1.0);
        return Add(key, s, mode, std::move(scaled));
    }

private:
    static constexpr int kReduced = -1; // size key of the reduced source
    static constexpr int kReducedSide = 512;

    static void CutAtHalf(QImage& image) {
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = qGray(line[x]) >= 128 ? kWhite : 0xFF000000;
        }
    }

    const QImage* Find(qint64 key, int s, Stretch mode) {
        for (auto it = Entries.begin(); it != Entries.end(); ++it) {
            if (it->Key == key && it->Size == s && it->Mode == mode) {
                std::rotate(it, it + 1, Entries.end());
                return &Entries.back().Image;
            }
        }
        return nullptr;
    }

    const QImage& Add(qint64 key, int s, Stretch mode, QImage image) {
        if (Entries.size() >= kCapacity)
            Entries.erase(Entries.begin());
        Entries.push_back({key, s, mode, std::move(image)});
        return Entries.back().Image;
    }

    struct Entry {
        qint64 Key;
        int Size;
        Stretch Mode;
        QImage Image;
    };
    // Four artworks and two pictures at two sizes, with room for a resize.
    static constexpr std::size_t kCapacity = 24;
    std::vector<Entry> Entries;
};

ScaledCache& Scaled() {
    static ScaledCache cache;
    return cache;
}

const QImage* ScaledOrNull(const QImage& source, int s, Stretch mode) {
    if (source.isNull())
        return nullptr;
    return &Scaled().Get(source, s, mode);
}

// The host's picture to stretch for a ratio: the double-size one above 1 where
// there is one. The double-size one is asked for only then, since a host may
// read it on demand.
using ArtGetter = const QImage& (TBoardHost::*)() const;
const QImage& ForRatio(const TBoardHost& host, ArtGetter single, ArtGetter twice, double ratio) {
    if (ratio > 1.0) {
        const QImage& picture = (host.*twice)();
        if (!picture.isNull())
            return picture;
    }
    return (host.*single)();
}

// A black bitmap whose memory is taken from the system only where it is drawn on.
QImage ZeroedBitmap(int width, int height) {
    if (width <= 0 || height <= 0)
        return {};
    const qsizetype rowBytes = qsizetype(width) * 4;
    void* pixels = std::calloc(std::size_t(height), std::size_t(rowBytes));
    if (!pixels)
        return {};
    return QImage(static_cast<uchar*>(pixels), width, height, rowBytes, QImage::Format_RGB32,
                  std::free, pixels);
}

// Fits BACKBMP to the board image's resolution and, where the host gives the
// work area as its `extent`, to the `needed` logical pixels at its top left.
// BACKBMP keeps its size in logical pixels; a new resolution starts it white.
// With an extent it holds only what the board has needed so far, growing and
// keeping its contents, never beyond the extent: in a bitmap as wide as the
// screen each row drawn would take a fresh page of memory of its own, and first
// touching a page can cost more than drawing on it. The tiles cover every pixel
// the board shows, so holding less changes no picture.
void FitBack(QImage& back, QSize extent, QSize needed, double ratio) {
    const bool newRatio = !back.isNull() && back.devicePixelRatio() != ratio;
    QSize logical = back.isNull() ? QSize(0, 0) : back.deviceIndependentSize().toSize();
    if (!extent.isEmpty())
        logical = logical.expandedTo(needed).boundedTo(extent);
    QSize size(DevicePixels(logical.width(), ratio), DevicePixels(logical.height(), ratio));
    if (size.isEmpty() || (!back.isNull() && !newRatio && back.width() >= size.width() &&
                           back.height() >= size.height()))
        return;
    const bool keep = !back.isNull() && !newRatio;
    if (keep)
        size = size.expandedTo(back.size());
    QImage fitted = ZeroedBitmap(size.width(), size.height());
    if (fitted.isNull())
        return;
    if (ratio != 1.0 || newRatio)
        fitted.fill(Qt::white);
    if (keep) {
        const auto rowBytes = static_cast<std::size_t>(back.bytesPerLine());
        for (int y = 0; y < back.height(); ++y)
            std::memcpy(fitted.scanLine(y), back.constScanLine(y), rowBytes);
    }
    fitted.setDevicePixelRatio(ratio);
    back = std::move(fitted);
}

// The pattern tile as drawn at the ratio: the device pixels of 60 x 60 logical ones.
QImage TileForRatio(const TBoardHost& host, int index, double ratio) {
    const QImage& single = host.PatternTile(index);
    if (ratio == 1.0)
        return single;
    const QImage& twice = ratio > 1.0 ? host.PatternTile2x(index) : single;
    return Scaled().Get(twice.isNull() ? single : twice, DevicePixels(kTileSize, ratio),
                        Stretch::Smooth);
}

// Draws src onto dst at (0, 0), leaving dst unchanged wherever src has exactly
// the key colour. Both are 32-bit RGB.
void DrawKeyed(QImage& dst, const QImage& src, QRgb key) {
    const int w = std::min(dst.width(), src.width());
    const int h = std::min(dst.height(), src.height());
    key &= kRgbMask;
    for (int y = 0; y < h; ++y) {
        const auto* s = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        auto* d = reinterpret_cast<QRgb*>(dst.scanLine(y));
        for (int x = 0; x < w; ++x) {
            if ((s[x] & kRgbMask) != key)
                d[x] = s[x] | 0xFF000000;
        }
    }
}

// dst := dst AND src, bit by bit, where both have pixels; both are opaque.
// By hand: a painter's raster operation costs more to set up than the few
// thousand pixels of a piece, and splits larger ones over pool threads.
void AndInto(QImage& dst, const QImage* src) {
    if (src == nullptr)
        return;
    const QImage rgb = src->convertToFormat(QImage::Format_RGB32);
    const int w = std::min(dst.width(), rgb.width());
    const int h = std::min(dst.height(), rgb.height());
    for (int y = 0; y < h; ++y) {
        const auto* s = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        auto* d = reinterpret_cast<QRgb*>(dst.scanLine(y));
        for (int x = 0; x < w; ++x)
            d[x] = (d[x] & s[x]) | 0xFF000000;
    }
}

QRgb BottomLeft(const QImage& image) {
    return image.pixel(0, image.height() - 1);
}

// The s x s device pixels at the top left of the background, black beyond it.
QImage BackgroundCorner(const QImage& back, int s) {
    QImage corner(s, s, QImage::Format_RGB32);
    const QImage rgb = back.convertToFormat(QImage::Format_RGB32);
    const int w = std::min(s, rgb.width());
    const int h = std::min(s, rgb.height());
    if (w < s || h < s)
        corner.fill(Qt::black);
    for (int y = 0; y < h; ++y) {
        const auto* from = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        auto* to = reinterpret_cast<QRgb*>(corner.scanLine(y));
        for (int x = 0; x < w; ++x)
            to[x] = from[x] | 0xFF000000;
    }
    return corner;
}

// The frame of a wide pen centred on the outline of (l, t, r, b), the right
// and bottom edges exclusive as for a filled rectangle.
void DrawPenFrame(QPainter& painter, int l, int t, int r, int b, int pen, const QColor& color) {
    const int lo = pen / 2;
    const QRect outer(QPoint(l - lo, t - lo), QPoint(r - 1 - lo + pen - 1, b - 1 - lo + pen - 1));
    if (outer.isEmpty())
        return;
    painter.fillRect(QRect(outer.left(), outer.top(), outer.width(), pen), color);
    painter.fillRect(QRect(outer.left(), outer.bottom() - pen + 1, outer.width(), pen), color);
    painter.fillRect(QRect(outer.left(), outer.top(), pen, outer.height()), color);
    painter.fillRect(QRect(outer.right() - pen + 1, outer.top(), pen, outer.height()), color);
}

// The last-move and hover frame on a square.
void DrawSquareFrame(QPainter& painter, const TRect32& rect, const QColor& color) {
    DrawPenFrame(painter, rect.Left + kFrameInset, rect.Top + kFrameInset, rect.Right - kFrameInset,
                 rect.Bottom - kFrameInset, kFramePen, color);
}

// A 2-pixel grid line from (x1, y1) to (x2, y2), horizontal or vertical, with
// the pen's round ends reaching one pixel beyond both end points.
void DrawGridLine(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& color) {
    const int half = kGridPen / 2;
    const QRect box(
        QPoint(std::min(x1, x2) - half, std::min(y1, y2) - half),
        QPoint(std::max(x1, x2) + kGridPen - half - 1, std::max(y1, y2) + kGridPen - half - 1));
    painter.fillRect(box, color);
}

// Text with its top-left corner at (x, y), on a transparent background.
void DrawTextAt(QPainter& painter, int x, int y, const QString& text) {
    painter.drawText(QRect(x, y, 1, 1), Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, text);
}

// The image's picture becomes a copy of the background, as far as the control
// shows it: its top-left part, as large as the control (the rest of a
// screen-sized background is never seen). A picture of the same size is
// overwritten in place: a fresh bitmap for every repaint would cost an
// allocation and its page faults on top of the copy.
void ShowBackground(PaintTarget& image, const QImage& back) {
    const double ratio = back.devicePixelRatio();
    const QSize shown = back.size().boundedTo(
        QSize(DevicePixels(image.Width(), ratio), DevicePixels(image.Height(), ratio)));
    if (back.isNull() || shown.isEmpty()) {
        image.SetPicture(back);
        return;
    }
    QImage& picture = image.Canvas();
    if (picture.size() == shown && picture.format() == back.format() &&
        picture.devicePixelRatio() == ratio && picture.cacheKey() != back.cacheKey()) {
        const auto rowBytes = static_cast<std::size_t>(shown.width()) * (back.depth() / 8);
        for (int y = 0; y < shown.height(); ++y)
            std::memcpy(picture.scanLine(y), back.constScanLine(y), rowBytes);
        return;
    }
    if (shown == back.size()) {
        image.SetPicture(back);
        return;
    }
    QImage part = back.copy(QRect(QPoint(), shown));
    part.setDevicePixelRatio(ratio);
    image.SetPicture(part);
}

// Made once; kept to the end of the program, since a font must not outlive
// the application object as a static would.
const QFont& BoardFont() {
    static const QFont* font = new QFont(platform::UiFont(kTextPixels));
    return *font;
}

// Paths already reported during the running LAYOUT: each of its two sizes
// would otherwise report the same file again.
QStringList* ReportedInLayout = nullptr;

} // namespace

void TGRID::LAYOUT(PaintTarget& image) {
    const int w = image.Width();
    const int h = image.Height();
    const double ratio = image.DevicePixelRatio();
    PixelRatio = ratio > 0.0 ? ratio : 1.0;
    LaidOutSize = QSize(w, h);
    if (Host != nullptr) {
        int index = Host->BmpIndex();
        if (index < 0 || index >= kPatternCount)
            index = 0;
        QImage& back = Host->BackBmp();
        // The tiles cover the image and reach past its right and bottom edges.
        FitBack(back, Host->BackBmpExtent(),
                QSize((w / kTileSize + 1) * kTileSize, (h / kTileSize + 1) * kTileSize),
                PixelRatio);
        const QImage tile = TileForRatio(*Host, index, PixelRatio);
        if (!back.isNull() && !tile.isNull()) {
            QPainter painter(&back);
            // Device pixels placed in device pixels: each tile a plain copy, not a
            // resampling through the scale.
            if (PixelRatio != 1.0)
                painter.scale(1.0 / PixelRatio, 1.0 / PixelRatio);
            for (int i = 0; i <= w / kTileSize; ++i)
                for (int j = 0; j <= h / kTileSize; ++j)
                    painter.drawImage(qRound(i * kTileSize * PixelRatio),
                                      qRound(j * kTileSize * PixelRatio), tile);
        }
        // The image's picture becomes a copy of BACKBMP in DRAWGRID below,
        // before anything can show it.
    }

    // A control smaller than the margin gets an empty board, not a negative one.
    const int span = std::max(std::min(w, h) - kBoardMargin, 0);
    CellSize = span / Size;
    const int left = (w - span) / 2;
    const int top = (h - span) / 2;
    BoardRect = {left, top, left + CellSize * Size, top + CellSize * Size};
    const int half = HalfRoundedToEven(CellSize);
    for (int c = 1; c <= Size; ++c) {
        for (int r = 1; r <= Size; ++r) {
            TGRIDCELL& cell = Cells[c][r];
            cell.Rect = {left + (c - 1) * CellSize, top + (r - 1) * CellSize, left + c * CellSize,
                         top + r * CellSize};
            cell.Center = {left + c * CellSize - half, top + r * CellSize - half};
        }
    }

    QStringList reported;
    ReportedInLayout = &reported;
    MAKEPIECE(APicName, CellSize, AColor, PieceA);
    MAKEPIECE(BPicName, CellSize, BColor, PieceB);
    MAKEPIECE(APicName, kBigPieceSize, AColor, BigPieceA);
    MAKEPIECE(BPicName, kBigPieceSize, BColor, BigPieceB);
    ReportedInLayout = nullptr;

    DRAWGRID(image);
}

void TGRID::MAKEPIECE(const QString& path, std::int32_t size, TColor color, QImage& target) {
    if (size <= 0 || Host == nullptr) {
        target = QImage();
        return;
    }
    // The piece covers size x size logical pixels; it is composed in device pixels.
    const double ratio = PixelRatio;
    const int s = DevicePixels(size, ratio);
    QImage picture;
    if (!path.isEmpty() && QFileInfo(path).isFile()) {
        picture = platform::LoadPicture(path);
        if (picture.isNull() && !(ReportedInLayout && ReportedInLayout->contains(path))) {
            if (ReportedInLayout)
                ReportedInLayout->append(path);
            Host->PictureLoadFailed(path);
        }
    }

    // The scratch square S is drawn transparently, keyed on its bottom-left pixel.
    const QImage& maskArt = ForRatio(*Host, &TBoardHost::ArtMask, &TBoardHost::ArtMask2x, ratio);
    QImage scratch(s, s, QImage::Format_RGB32);
    if (!picture.isNull()) {
        // Picture cut to the disc: black outside, the picture inside.
        scratch.fill(kWhite);
        if (const QImage* mask = ScaledOrNull(maskArt, s, Stretch::TwoLevel))
            DrawKeyed(scratch, *mask, kWhite);
        AndInto(scratch, ScaledOrNull(picture, s, Stretch::Smooth));
    } else if (color != 0) {
        // Coloured disc on black, shaded by the grey artwork.
        scratch.fill(ColorToQColor(color).rgb());
        if (const QImage* mask = ScaledOrNull(maskArt, s, Stretch::TwoLevel))
            DrawKeyed(scratch, *mask, kWhite);
        AndInto(scratch,
                ScaledOrNull(ForRatio(*Host, &TBoardHost::ArtGray, &TBoardHost::ArtGray2x, ratio),
                             s, Stretch::Smooth));
    } else {
        // The built-in black piece on white.
        scratch.fill(kWhite);
        if (const QImage* kuro =
                ScaledOrNull(ForRatio(*Host, &TBoardHost::ArtKuro, &TBoardHost::ArtKuro2x, ratio),
                             s, Stretch::Sharp))
            DrawKeyed(scratch, *kuro, kWhite);
    }
    target = BackgroundCorner(Host->BackBmp(), s);
    DrawKeyed(target, scratch, BottomLeft(scratch));

    AndInto(target,
            ScaledOrNull(ForRatio(*Host, &TBoardHost::ArtShadow, &TBoardHost::ArtShadow2x, ratio),
                         s, Stretch::Smooth));
    // The frame is one logical pixel wide.
    target.setDevicePixelRatio(ratio);
    QPainter painter(&target);
    DrawPenFrame(painter, 0, 0, size, size, 1, ColorToQColor(LineColor));
}

void TGRID::DRAWGRID(PaintTarget& image) {
    if (Host == nullptr)
        return;
    ShowBackground(image, Host->BackBmp());
    QImage& canvas = image.Canvas();
    if (!canvas.isNull()) {
        QPainter painter(&canvas);
        const QColor line = ColorToQColor(LineColor);
        painter.setFont(BoardFont());
        painter.setPen(line);
        for (int c = 1; c <= Size; ++c) {
            for (int r = 1; r <= Size; ++r) {
                const TGRIDCELL& cell = Cells[c][r];
                const QPoint at(cell.Rect.Left, cell.Rect.Top);
                if (cell.State == +1) {
                    painter.drawImage(at, PieceA);
                } else if (cell.State == -1) {
                    painter.drawImage(at, PieceB);
                } else if (cell.PutSide != 0) {
                    if (PutOkF)
                        painter.fillRect(
                            QRect(at, QPoint(cell.Rect.Right - 1, cell.Rect.Bottom - 1)),
                            ColorToQColor(PutColor));
                    if (PutCountF)
                        DrawTextAt(painter, cell.Rect.Right - kCountLeftOfRight,
                                   cell.Rect.Bottom - kCountAboveBottom,
                                   QString::number(cell.TurnCount));
                }
            }
        }

        if (LastPut.Col != 0 && IsSquare(LastPut.Col, LastPut.Row))
            DrawSquareFrame(painter, Cells[LastPut.Col][LastPut.Row].Rect, line);

        const TRect32& b = BoardRect;
        DrawGridLine(painter, b.Right, b.Top, b.Left, b.Top, line);
        DrawGridLine(painter, b.Left, b.Top, b.Left, b.Bottom, line);
        for (int k = 1; k <= Size; ++k) {
            const int y = Cells[1][k].Rect.Bottom;
            DrawGridLine(painter, b.Left, y, b.Right, y, line);
            const int x = Cells[k][1].Rect.Right;
            DrawGridLine(painter, x, b.Top, x, b.Bottom, line);
            DrawTextAt(painter, Cells[k][1].Center.X, b.Top - kColumnNumberAbove,
                       QString::number(k));
            DrawTextAt(painter, b.Left - kRowNumberLeft, Cells[1][k].Center.Y, QString::number(k));
        }
    }
    image.Changed();
    Host->SetCountLabels(QString::number(ACount), QString::number(BCount));
    boardaccess::Update(image);
}

void TGRID::HOVER(std::int32_t x, std::int32_t y, PaintTarget& image) {
    const std::int32_t c = XTOCOL(x);
    const std::int32_t r = YTOROW(y);
    if (!IsSquare(c, r))
        return;
    if (Cells[c][r].PutSide == 0) {
        image.SetCursorShape(Qt::ArrowCursor);
        if (HoverPos.Col != 0) {
            HoverPos = {0, 0};
            DRAWGRID(image);
        }
        return;
    }
    image.SetCursorShape(Qt::PointingHandCursor);
    if (HoverPos == TCellPos{c, r})
        return;
    if (HoverPos.Col != 0) {
        HoverPos = {0, 0};
        DRAWGRID(image);
    }
    QImage& canvas = image.Canvas();
    if (!canvas.isNull()) {
        QPainter painter(&canvas);
        DrawSquareFrame(painter, Cells[c][r].Rect, ColorToQColor(LineColor));
    }
    image.Changed();
    HoverPos = {c, r};
}
