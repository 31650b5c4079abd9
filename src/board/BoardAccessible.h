// The board image as an accessible table of its squares, for screen readers.
#pragma once

#include "board/Unit2.h"

#include <QString>
#include <functional>

class TImage;

namespace boardaccess {

// A square as a screen reader speaks it: its column and row as the board
// numbers them, what stands there, and, on an empty square that is legal for
// the side to move, that a piece may go there and, with the count assist on,
// how many pieces it would take. Always the same words, e.g. "3列5行 空き
// おけます 2個とれます".
QString CellName(const TGRID& grid, std::int32_t c, std::int32_t r);

// The table's children: the column headers, then each row's header followed by
// its squares, as the board is read. Index of square (c, r), both from 1.
int CellIndex(std::int32_t c, std::int32_t r);

// Makes image the accessible table of the board that board() returns (it may
// be replaced at any time, or be null) with the keyboard cursor cursor().
// Nothing is built until a screen reader asks for it.
void Attach(TImage* image, std::function<const TGRID*()> board, std::function<TCellPos()> cursor);

// Gives a piece picture (of the side panel or the popup) its spoken name,
// without building anything before a screen reader asks.
void NamePicture(TImage* image, const QString& name);

// Tells a listening screen reader what changed since it was last told: the
// names of squares whose content changed, and the cursor's square as the
// focus while the board has the keyboard focus. Does nothing while no screen
// reader listens, or for an image that is not an attached board.
void Update(PaintTarget& image);
// The board has just taken the keyboard focus: its cursor's square takes the
// accessible focus once the board itself has announced it.
void FocusEntered(TImage* image);

} // namespace boardaccess
