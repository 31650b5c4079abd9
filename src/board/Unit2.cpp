// TGRID: construction, pixel conversions, move rules, placing a piece and its animation steps.
#include "board/Unit2.h"

#include "platform/Platform.h"
#include "platform/Sound.h"

#include <QPainter>

std::int32_t GRIDSIZE = 8;

namespace {
// Without sound an animation step lasts this long.
constexpr int kStepWaitMs = 300;
} // namespace

TGRID::TGRID(std::int32_t n, TBoardHost* host) : Host(host), Size(n) {
    // Cells start zeroed with empty lists by their own construction.
    ACount = 2;
    BCount = 2;
    const std::int32_t k = n / 2;
    Cells[k][k].State = +1;
    Cells[k + 1][k + 1].State = +1;
    Cells[k][k + 1].State = -1;
    Cells[k + 1][k].State = -1;
    Turn = 0;
    LastPut = {0, 0};
}

std::int32_t TGRID::XTOCOL(std::int32_t x) const {
    if (CellSize == 0)
        return 0;
    return (x - BoardRect.Left) / CellSize + 1;
}

std::int32_t TGRID::YTOROW(std::int32_t y) const {
    if (CellSize == 0)
        return 0;
    return (y - BoardRect.Top) / CellSize + 1;
}

std::int32_t TGRID::COLTOX(std::int32_t c) const {
    return c * CellSize + BoardRect.Left - CellSize / 2;
}

std::int32_t TGRID::ROWTOY(std::int32_t r) const {
    return r * CellSize + BoardRect.Top - CellSize / 2;
}

bool TGRID::IsSquare(std::int32_t c, std::int32_t r) const {
    return c >= 1 && c <= Size && r >= 1 && r <= Size;
}

std::int32_t TGRID::PUTCHECK(std::int32_t c, std::int32_t r) {
    TGRIDCELL& cell = Cells[c][r];
    cell.TurnList.clear();
    const std::int32_t t = Turn;
    std::int32_t total = 0;
    std::vector<TCellPos> run;
    for (int dc = -1; dc <= 1; ++dc) {
        for (int dr = -1; dr <= 1; ++dr) {
            if (dc == 0 && dr == 0)
                continue;
            run.clear();
            std::int32_t x = c + dc;
            std::int32_t y = r + dr;
            bool closed = false;
            while (IsSquare(x, y)) {
                const std::int32_t s = Cells[x][y].State;
                if (s != -t) {
                    closed = !run.empty() && s == t;
                    break;
                }
                run.push_back({x, y});
                x += dc;
                y += dr;
            }
            if (closed) {
                cell.TurnList.insert(cell.TurnList.end(), run.begin(), run.end());
                total += static_cast<std::int32_t>(run.size());
            }
        }
    }
    cell.TurnCount = total;
    cell.PutSide = total > 0 ? t : 0;
    return total;
}

bool TGRID::PUTSEARCH() {
    std::int32_t total = 0;
    for (std::int32_t c = 1; c <= Size; ++c) {
        for (std::int32_t r = 1; r <= Size; ++r) {
            Cells[c][r].PutSide = 0;
            if (Cells[c][r].State == 0)
                total += PUTCHECK(c, r);
        }
    }
    return total > 0;
}

bool TGRID::GAMEOVER() {
    const std::int32_t saved = Turn;
    Turn = +1;
    const bool a = PUTSEARCH();
    Turn = -1;
    const bool b = PUTSEARCH();
    Turn = saved;
    PUTSEARCH();
    return !a && !b;
}

std::int32_t TGRID::PUTPIECE(std::int32_t x, std::int32_t y, PaintTarget& image) {
    const std::int32_t c = XTOCOL(x);
    const std::int32_t r = YTOROW(y);
    if (!IsSquare(c, r))
        return 0;
    // Only an empty square marked for the side now moving takes a piece. A mark
    // left over from an earlier Turn, or on the square just played (it keeps its
    // mark until the next PUTSEARCH), would otherwise apply a stale TurnList and
    // corrupt the position and the counts.
    const TGRIDCELL& target = Cells[c][r];
    if (target.State != 0 || target.PutSide == 0 || target.PutSide != Turn)
        return 0;
    // The side is taken once: handlers that run while a step processes pending
    // messages may change Turn, and the move must stay one side's move.
    const std::int32_t side = Turn;
    Cells[c][r].State = side;
    LastPut = {c, r};
    ShowStep({c, r}, side, image);
    // The list is copied: a step processes pending messages, and nothing that
    // runs then may pull the list from under the loop.
    const std::vector<TCellPos> turned = Cells[c][r].TurnList;
    for (const TCellPos& p : turned) {
        Cells[p.Col][p.Row].State = side;
        ShowStep(p, side, image);
    }
    const auto n = static_cast<std::int32_t>(turned.size());
    AddToCounts(side, n);
    return n;
}

bool TGRID::PlaceWithoutAnimation(std::int32_t c, std::int32_t r) {
    if (!IsSquare(c, r) || Cells[c][r].State != 0 || Turn == 0 || PUTCHECK(c, r) == 0)
        return false;
    const std::int32_t side = Turn;
    Cells[c][r].State = side;
    LastPut = {c, r};
    for (const TCellPos& p : Cells[c][r].TurnList)
        Cells[p.Col][p.Row].State = side;
    AddToCounts(side, static_cast<std::int32_t>(Cells[c][r].TurnList.size()));
    return true;
}

void TGRID::AddToCounts(std::int32_t side, std::int32_t turned) {
    if (side == +1) {
        ACount += turned + 1;
        BCount -= turned;
    } else {
        BCount += turned + 1;
        ACount -= turned;
    }
}

void TGRID::ShowStep(const TCellPos& s, std::int32_t side, PaintTarget& image) {
    const TGRIDCELL& cell = Cells[s.Col][s.Row];
    const QImage& piece = side == +1 ? PieceA : PieceB;
    QImage& canvas = image.Canvas();
    if (!canvas.isNull() && !piece.isNull()) {
        QPainter painter(&canvas);
        // The square's size in the piece's own pixels.
        const int side = DevicePixels(CellSize, piece.devicePixelRatio());
        painter.drawImage(QPoint(cell.Rect.Left, cell.Rect.Top), piece, QRect(0, 0, side, side));
    }
    image.Changed();
    if (SoundF)
        platform::PlaySound(QStringLiteral("PIPOWAV"), true);
    else
        platform::Sleep(kStepWaitMs);
    platform::ProcessMessages();
}
