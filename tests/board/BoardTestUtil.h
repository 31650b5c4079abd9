// Board test helpers: a display-free host and canvas, positions drawn as text, simple geometry.
#pragma once

#include "board/Unit2.h"

#include <QImage>
#include <QString>
#include <QStringList>

namespace boardtest {

// Host without a window: null artwork, a remembered pair of count labels.
class FakeHost : public TBoardHost {
public:
    QImage& BackBmp() override { return Back; }
    int BmpIndex() const override { return 0; }
    const QImage& PatternTile(int) const override { return Empty; }
    const QImage& ArtMask() const override { return Empty; }
    const QImage& ArtGray() const override { return Empty; }
    const QImage& ArtShadow() const override { return Empty; }
    const QImage& ArtKuro() const override { return Empty; }
    void SetCountLabels(const QString& a, const QString& b) override { Labels = {a, b}; }
    void PictureLoadFailed(const QString& path) override { FailedPictures << path; }

    QImage Back;
    QImage Empty;
    QStringList Labels;
    QStringList FailedPictures;
};

// A plain image standing in for the board image control.
class FakeCanvas : public PaintTarget {
public:
    explicit FakeCanvas(int w = 0, int h = 0) {
        if (w > 0 && h > 0) {
            Image = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
            Image.fill(Qt::white);
        }
    }
    int Width() const override { return Image.width(); }
    int Height() const override { return Image.height(); }
    QImage& Canvas() override { return Image; }
    void SetPicture(const QImage& image) override { Image = image; }
    void Changed() override { ++ChangedCount; }
    void SetCursorShape(Qt::CursorShape shape) override { Cursor = shape; }

    QImage Image;
    int ChangedCount = 0;
    Qt::CursorShape Cursor = Qt::ArrowCursor;
};

// Loads a position written one string per row, top row first: 'A' = +1,
// 'B' = -1, anything else empty. The counts are set from the position, since a
// loaded position has no move history to keep them by.
inline void LoadPosition(TGRID& g, const QStringList& rows) {
    g.ACount = 0;
    g.BCount = 0;
    for (int r = 1; r <= GRIDSIZE; ++r) {
        for (int c = 1; c <= GRIDSIZE; ++c) {
            const QChar ch = rows.at(r - 1).at(c - 1);
            const int s = ch == QLatin1Char('A') ? +1 : ch == QLatin1Char('B') ? -1 : 0;
            g.Cells[c][r].State = s;
            g.ACount += s == +1;
            g.BCount += s == -1;
        }
    }
}

// The same position with the two sides exchanged.
inline QStringList Swapped(QStringList rows) {
    for (QString& row : rows) {
        for (QChar& ch : row)
            ch = ch == QLatin1Char('A')   ? QLatin1Char('B')
                 : ch == QLatin1Char('B') ? QLatin1Char('A')
                                          : ch;
    }
    return rows;
}

// The position as one string per row, in the notation LoadPosition reads.
inline QStringList PositionText(const TGRID& g) {
    QStringList out;
    for (int r = 1; r <= GRIDSIZE; ++r) {
        QString line;
        for (int c = 1; c <= GRIDSIZE; ++c) {
            const int s = g.Cells[c][r].State;
            line += s == +1 ? QLatin1Char('A') : s == -1 ? QLatin1Char('B') : QLatin1Char('.');
        }
        out << line;
    }
    return out;
}

// A board of square cells of the given size whose top-left corner is (left, top),
// set up by hand so that pixel conversions and animation steps have a geometry.
inline void SetGeometry(TGRID& g, int left, int top, int cell) {
    g.CellSize = cell;
    g.BoardRect = {left, top, left + GRIDSIZE * cell, top + GRIDSIZE * cell};
    for (int c = 1; c <= GRIDSIZE; ++c) {
        for (int r = 1; r <= GRIDSIZE; ++r) {
            TGRIDCELL& cl = g.Cells[c][r];
            cl.Rect = {left + (c - 1) * cell, top + (r - 1) * cell, left + c * cell,
                       top + r * cell};
            cl.Center = {(cl.Rect.Left + cl.Rect.Right) / 2, (cl.Rect.Top + cl.Rect.Bottom) / 2};
        }
    }
}

// A solid square piece image.
inline QImage SolidPiece(int size, Qt::GlobalColor color) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(color);
    return img;
}

} // namespace boardtest
