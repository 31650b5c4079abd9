// The board TGRID: position, move rules, counts, geometry, piece images and drawing.
#pragma once

#include "platform/Color.h"
#include "platform/ImageControl.h"

#include <QImage>
#include <QSize>
#include <QString>
#include <cmath>
#include <cstdint>
#include <vector>

// Squares per side of the board; set to 8 by the main window before the board is built.
extern std::int32_t GRIDSIZE;

// Room for this many columns and rows; indices 1..MAXGRID are used, 0 never.
constexpr int MAXGRID = 20;

struct TCellPos {
    std::int32_t Col = 0;
    std::int32_t Row = 0;
    friend bool operator==(const TCellPos&, const TCellPos&) = default;
};

struct TRect32 {
    std::int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    friend bool operator==(const TRect32&, const TRect32&) = default;
};

struct TPoint32 {
    std::int32_t X = 0, Y = 0;
    friend bool operator==(const TPoint32&, const TPoint32&) = default;
};

// The device pixels that cover a length of logical pixels at the given ratio;
// partly covered pixels count.
inline int DevicePixels(int logical, double ratio) {
    return ratio == 1.0 ? logical : static_cast<int>(std::ceil(logical * ratio - 1e-6));
}

struct TGRIDCELL {
    TRect32 Rect;
    TPoint32 Center;
    std::int32_t State = 0;         // +1, -1 or 0
    std::int32_t PutSide = 0;       // side for which this square is legal; 0 if not
    std::int32_t TurnCount = 0;     // pieces a move here would turn
    std::vector<TCellPos> TurnList; // those pieces, in turning order
};

// What the board needs from the window that owns it: the artwork, the pattern
// tiles, the off-screen background, the count labels, and a place to report a
// picture file that could not be read.
class TBoardHost {
public:
    virtual ~TBoardHost() = default;
    // Off-screen bitmap as large as the work area, tiled with the pattern.
    virtual QImage& BackBmp() = 0;
    // The work area, when the host leaves BackBmp() null or smaller and LAYOUT
    // to give it the pixels the board needs, up to this size. Empty: BackBmp()
    // is used as it is.
    virtual QSize BackBmpExtent() const { return {}; }
    // Board pattern number (may lie outside 0..7; drawn as 0 then).
    virtual int BmpIndex() const = 0;
    // The 60 x 60 pattern tile of that number (0..7).
    virtual const QImage& PatternTile(int index) const = 0;
    // The 144 x 144 artwork: disc mask, grey shading, shadow, built-in black piece.
    virtual const QImage& ArtMask() const = 0;
    virtual const QImage& ArtGray() const = 0;
    virtual const QImage& ArtShadow() const = 0;
    virtual const QImage& ArtKuro() const = 0;
    // Label1 and Label2 of the side panel.
    virtual void SetCountLabels(const QString& a, const QString& b) = 0;
    // A picture file exists but could not be decoded; the colour piece is used.
    virtual void PictureLoadFailed(const QString& path) = 0;
    // The same tiles and artwork at twice their size, for a board image of more
    // than one device pixel per logical pixel. Null where there is none: the
    // picture above is stretched instead.
    virtual const QImage& PatternTile2x(int) const { return NoPicture(); }
    virtual const QImage& ArtMask2x() const { return NoPicture(); }
    virtual const QImage& ArtGray2x() const { return NoPicture(); }
    virtual const QImage& ArtShadow2x() const { return NoPicture(); }
    virtual const QImage& ArtKuro2x() const { return NoPicture(); }

protected:
    static const QImage& NoPicture() {
        static const QImage none;
        return none;
    }
};

class TGRID {
public:
    // Builds the starting position for an n x n board; owner supplies artwork and labels.
    TGRID(std::int32_t n, TBoardHost* host);
    TGRID(const TGRID&) = delete;
    TGRID& operator=(const TGRID&) = delete;
    ~TGRID() = default;

    TGRIDCELL Cells[MAXGRID + 1][MAXGRID + 1];
    TRect32 BoardRect;
    std::int32_t CellSize = 0;
    std::int32_t Turn = 0;
    std::int32_t ACount = 0;
    std::int32_t BCount = 0;
    TCellPos HoverPos;
    TColor PanelColor = 0;
    TColor AColor = 0;
    TColor BColor = 0;
    TColor PutColor = 0;
    TColor LineColor = 0;
    bool PutOkF = false;
    bool PutCountF = false;
    bool SoundF = false;
    QImage PieceA;
    QImage PieceB;
    QImage BigPieceA; // null until the first LAYOUT
    QImage BigPieceB;
    QString APicName;
    QString BPicName;
    TCellPos LastPut;
    // Device pixels per logical pixel of the board image at the last LAYOUT. The
    // geometry above is in logical pixels; BACKBMP and the piece images are
    // built at this resolution.
    double PixelRatio = 1.0;
    // Size of the board image at the last LAYOUT, in logical pixels.
    QSize LaidOutSize;

    // Pixel position to column/row: truncates toward zero, so a point less than a
    // square left of or above the board still maps to 1.
    std::int32_t XTOCOL(std::int32_t x) const;
    std::int32_t YTOROW(std::int32_t y) const;
    // A pixel inside the square of column c / row r.
    std::int32_t COLTOX(std::int32_t c) const;
    std::int32_t ROWTOY(std::int32_t r) const;
    // True when (c, r) is a square of the board.
    bool IsSquare(std::int32_t c, std::int32_t r) const;

    // Evaluates square (c, r) for Turn: fills TurnList/TurnCount/PutSide and
    // returns how many pieces a move there would turn.
    std::int32_t PUTCHECK(std::int32_t c, std::int32_t r);
    // Evaluates every empty square for Turn; true if Turn has a legal move.
    bool PUTSEARCH();
    // True when neither side can move; Turn and its marks are left as they were.
    bool GAMEOVER();
    // Places a piece for Turn on the legal square under pixel (x, y), turning the
    // pieces one animation step at a time; returns the number turned (0: no move).
    std::int32_t PUTPIECE(std::int32_t x, std::int32_t y, PaintTarget& image);
    // Places a piece for Turn on square (c, r) at once, without drawing: the
    // position and counts as PUTPIECE leaves them. False (nothing changed) when
    // the square is no legal move for Turn.
    bool PlaceWithoutAnimation(std::int32_t c, std::int32_t r);

    // Fits the board to the image, rebuilds the piece images, repaints.
    void LAYOUT(PaintTarget& image);
    // Builds one s x s piece image from a picture file, a colour, or the black piece.
    void MAKEPIECE(const QString& path, std::int32_t size, TColor color, QImage& target);
    // Paints the whole board from BACKBMP and sets the count labels.
    void DRAWGRID(PaintTarget& image);
    // Hover feedback for a mouse position over the board image.
    void HOVER(std::int32_t x, std::int32_t y, PaintTarget& image);

private:
    // One animation step: shows side's piece on square s, then sounds or
    // waits, then lets pending messages run.
    void ShowStep(const TCellPos& s, std::int32_t side, PaintTarget& image);
    // A move of side that turned this many pieces.
    void AddToCounts(std::int32_t side, std::int32_t turned);

    TBoardHost* Host;
    std::int32_t Size;
};
