// TForm1's local move input on the board image.
#include "app/Unit1.h"

#include "platform/Platform.h"

#include <QPlainTextEdit>

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
