// TForm1's local move input on the board image.
#include "app/Unit1.h"

#include "board/BoardAccessible.h"
#include "platform/Platform.h"

#include <QPlainTextEdit>

#include <algorithm>

void TForm1::SetBoardMouseUp(bool attached) {
    if (attached)
        Image1->OnMouseUp = [this](Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
            Image1MouseUp(b, s, x, y);
        };
    else
        Image1->OnMouseUp = nullptr;
}

void TForm1::SetBoardMouseMove(bool attached) {
    if (attached)
        Image1->OnMouseMove = [this](Qt::MouseButton b, Qt::KeyboardModifiers s, int x, int y) {
            Image1MouseMove(b, s, x, y);
        };
    else
        Image1->OnMouseMove = nullptr;
}

bool TForm1::Image1KeyPress(int key) {
    TCellPos next = KeyCursor;
    switch (key) {
    case Qt::Key_Left:
        next.Col = std::max(next.Col - 1, 1);
        break;
    case Qt::Key_Right:
        next.Col = std::min(next.Col + 1, GRIDSIZE);
        break;
    case Qt::Key_Up:
        next.Row = std::max(next.Row - 1, 1);
        break;
    case Qt::Key_Down:
        next.Row = std::min(next.Row + 1, GRIDSIZE);
        break;
    case Qt::Key_Home:
        next = {1, 1};
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        // Exactly a click on the cursor's square, while clicks are taken.
        if (Image1->OnMouseUp)
            Image1->OnMouseUp(Qt::NoButton, Qt::NoModifier, GRID->COLTOX(KeyCursor.Col),
                              GRID->ROWTOY(KeyCursor.Row));
        return true;
    case Qt::Key_Escape:
        return true;
    default:
        return false;
    }
    KeyCursor = next;
    ShowKeyCursor();
    boardaccess::Update(*Image1);
    return true;
}

void TForm1::ShowKeyCursor() {
    if (!GRID || !Image1->OnMouseMove || !GRID->IsSquare(KeyCursor.Col, KeyCursor.Row))
        return;
    // A repaint may have wiped the frame of the square the board last framed.
    GRID->HoverPos = {0, 0};
    GRID->HOVER(GRID->COLTOX(KeyCursor.Col), GRID->ROWTOY(KeyCursor.Row), *Image1);
}

void TForm1::FocusBoard() {
    if (Image1)
        Image1->setFocus(Qt::OtherFocusReason);
}

void TForm1::Image1MouseUp(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
    const std::int32_t c = GRID->XTOCOL(x);
    const std::int32_t r = GRID->YTOROW(y);
    if (!GRID->IsSquare(c, r) || GRID->Cells[c][r].PutSide == 0)
        return;
    // The marks may belong to the opponent while the opponent's move is shown.
    if (MySide == 0 || GRID->Turn != MySide)
        return;
    // What arrives while the move is placed is handled once it is done.
    HoldArrivals();
    struct Release {
        TForm1* form;
        ~Release() { form->ReleaseArrivals(); }
    } release{this};
    ++LocalMoves;
    SetBoardMouseUp(false);
    SetBoardMouseMove(false);
    Image1->SetCursorShape(Qt::ArrowCursor);
    // The move leaves before the local animation starts.
    SendMatchMessage(QStringLiteral("PUTOK %1%2")
                         .arg(c, 2, 10, QLatin1Char('0'))
                         .arg(r, 2, 10, QLatin1Char('0')));
    PlacePiece(x, y);
    KeepMove({c, r});
    GRID->Turn = 0;
    GRID->PUTSEARCH();
    GRID->DRAWGRID(*Image1);
    platform::ProcessMessages();
    if (GRID->GAMEOVER()) {
        owari();
        return;
    }
    AddLog(QStringLiteral("あなたは%1,%2におきました\r\n相手の番です").arg(c).arg(r));
}
