// TForm1's match flow: the opponent's moves and passes, game end, replay, leaving.
#include "app/Unit1.h"

#include "match/Unit3.h"
#include "net/Lanx.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "platform/Sound.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace {

const QString kCRLF = QStringLiteral("\r\n");

// A board coordinate of a "PUTOK " message: two decimal digits naming a
// column or row of the board, or 0.
int Coordinate(const QString& field) {
    if (field.size() != 2 || !field[0].isDigit() || !field[1].isDigit() ||
        field[0].unicode() > '9' || field[1].unicode() > '9')
        return 0;
    const int value = field.toInt();
    return value >= 1 && value <= GRIDSIZE ? value : 0;
}

} // namespace

std::int32_t TForm1::PlacePiece(std::int32_t x, std::int32_t y) {
    TGRID* board = GRID.get();
    ++AnimationDepth;
    const std::int32_t turned = board->PUTPIECE(x, y, *Image1);
    if (--AnimationDepth == 0)
        RetiredBoards.clear();
    return turned;
}

void TForm1::RESPUTOK(const QString& text) {
    // Until the guest acknowledges the host's choice its moves belong to a game
    // the host never played.
    if (AwaitingStartAck)
        return;
    const int column = Coordinate(platform::MidChars(text, 6, 2));
    const int row = Coordinate(platform::MidChars(text, 8, 2));
    if (column == 0 || row == 0 || platform::CharCount(text) != 10)
        return; // not a square of the board: nothing to apply

    platform::Sleep(200);
    GRID->Turn = -MySide;
    GRID->PUTSEARCH();
    if (PlacePiece(GRID->COLTOX(column), GRID->ROWTOY(row)) > 0)
        KeepMove({column, row});
    platform::Sleep(300);
    GRID->Turn = MySide;
    GRID->PUTSEARCH();
    GRID->DRAWGRID(*Image1);
    AddLog(QStringLiteral("相手は") + QString::number(column) + QStringLiteral("  ") +
           QString::number(row) + QStringLiteral("におきました") + kCRLF +
           QStringLiteral("あなたの番です"));
    SetBoardMouseUp(true);
    SetBoardMouseMove(true);
    const int movesBefore = LocalMoves;
    platform::ProcessMessages();
    // A click waiting in the queue may have made this side's move just now;
    // that move has handed the turn over and checked the end of the game.
    if (LocalMoves != movesBefore)
        return;
    if (GRID->GAMEOVER()) {
        owari();
        return;
    }
    GRID->Turn = MySide;
    if (!GRID->PUTSEARCH())
        PassTurn();
    // The start button must not keep the keyboard focus.
    START->setFocusPolicy(Qt::NoFocus);
    START->setEnabled(false);
    START->setEnabled(true);
}

void TForm1::PassTurn() {
    // The pass notice replaces whatever the popup shows.
    if (Form3->isVisible())
        Form3->hide();
    Form3->RESET();
    Form3->Tag = TForm3::modeNotice;
    Form3->Label1->setText(kCRLF + QStringLiteral("パスです"));
    Form3->SetLabelLayoutTop();
    Form3->BUTTON2->show();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONHAND);
    Form3->exec();
    SendMatchMessage(QStringLiteral("PASS  "));
    KeepMove({0, 0});
    GRID->Turn = 0;
    GRID->PUTSEARCH();
    GRID->DRAWGRID(*Image1);
    SetBoardMouseUp(false);
}

void TForm1::RESPASS() {
    if (AwaitingStartAck)
        return;
    KeepMove({0, 0});
    GRID->Turn = MySide;
    GRID->PUTSEARCH();
    GRID->DRAWGRID(*Image1);
    SetBoardMouseUp(true);
    SetBoardMouseMove(true);
    const int movesBefore = LocalMoves;
    platform::ProcessMessages();
    if (LocalMoves != movesBefore)
        return; // this side has already moved again
    if (GRID->PUTSEARCH()) {
        if (GRID->SoundF)
            platform::MessageBeep(platform::MB_ICONASTERISK);
        AddLog(QStringLiteral("相手はパスしました") + kCRLF + QStringLiteral("あなたの番です"));
    } else {
        owari();
    }
}

void TForm1::owari() {
    GameReachedResult();
    if (MySide == +1)
        endMES(GRID->ACount - GRID->BCount);
    else if (MySide == -1)
        endMES(GRID->BCount - GRID->ACount);
}

void TForm1::endMES(int diff) {
    platform::ProcessMessages();
    Form3->RESET();
    Form3->Tag = TForm3::modeResult;
    Form3->SetLabelLayoutTop();
    Form3->Image1->show();
    Form3->Image2->show();
    Form3->Image1->SetPicture(GRID->BigPieceA);
    Form3->Image2->SetPicture(GRID->BigPieceB);
    Form3->BUTTON1->setText(QStringLiteral("もう一度"));
    Form3->BUTTON3->setText(QStringLiteral("おわる"));
    Form3->BUTTON1->show();
    Form3->BUTTON3->show();
    platform::ProcessMessages();
    platform::Sleep(500);

    TColor brush = clCream;
    QString caption = QStringLiteral("ひきわけです");
    QString sound = QStringLiteral("HIKIWAV");
    if (diff > 0) {
        brush = clYellow;
        caption = QStringLiteral("あなたの勝ち");
        sound = QStringLiteral("KATIWAV");
    } else if (diff < 0) {
        brush = clSilver;
        caption = QStringLiteral("あなたの負け");
        sound = QStringLiteral("MAKEWAV");
    }
    Form3->Shape3->SetBrushColor(ColorToQColor(brush));
    Form3->Label1->setText(caption);
    if (GRID->SoundF)
        platform::PlaySound(sound, false);

    const QString a = QString::number(GRID->ACount);
    const QString b = QString::number(GRID->BCount);
    AddLog(Form3->Label1->text() + kCRLF + QStringLiteral("先攻") + a + QStringLiteral("個  後攻") +
           b + QStringLiteral("個"));
    Form3->Label1->setText(Form3->Label1->text() + kCRLF + a +
                           QStringLiteral("個                 ") + b + QStringLiteral("個"));
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::ENDMESRES(int choice) {
    setEnabled(true);
    if (choice == +1) {
        RESETGRID();
        RetryMayCross = true;
        SendMatchMessage(QStringLiteral("RETRY "));
        SENKOSET();
    } else {
        Form3->BUTTON3->setText(QStringLiteral("終了"));
        close();
    }
}

void TForm1::RESRETRY() {
    if (RetryMayCross) {
        // Sent before the opponent saw ours: both sides are in the new round already.
        RetryMayCross = false;
        return;
    }
    setEnabled(true);
    Form3->Shape3->SetBrushColor(ColorToQColor(clCream));
    Form3->RESET();
    Form3->Label1Color = ColorToQColor(clCream);
    Form3->Image1->hide();
    Form3->Image2->hide();
    Form3->BUTTON1->hide();
    Form3->BUTTON3->hide();
    Form3->close();
    RESETGRID();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONEXCLAMATION);
    SENKOSET();
}

void TForm1::RESETGRID() {
    SAVEINI();
    // A move being animated keeps its board until the placing is done.
    if (AnimationDepth > 0)
        RetiredBoards.push_back(std::move(GRID));
    GRID = std::make_unique<TGRID>(GRIDSIZE, this);
    KeyCursor = {4, 4};
    LOADINI(false);
    GRID->LAYOUT(*Image1);
    GRID->Turn = 0;
    GRID->PUTSEARCH();
    GRID->DRAWGRID(*Image1);
    SetBoardMouseUp(true);
    SetBoardMouseMove(true);
    platform::ProcessMessages();
}

void TForm1::Lanx1EscapeChallenger(TLanx*, TLanxPlayer*, const QString&, const QString&) {
    Arrive([this] { EXITPLAY(); });
}

void TForm1::EXITPLAY() {
    // Whoever stays holds the session (and its choice) from now on.
    IsHost = true;
    ChoseThisGame = false;
    AwaitingStartAck = false;
    RetryMayCross = false;
    // The game with the one who left is kept for their return.
    GameOpponent = QUuid();
    Resume = {};
    if (ResumeTimer)
        ResumeTimer->stop();
    UpdatePairingPreference();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONHAND);
    BringToFront();
    platform::ProcessMessages();
    Form3->RESET();
    Form3->Tag = TForm3::modeNotice;
    Form3->Label1->setText(kCRLF + OpponentName + QStringLiteral("さんがやめました"));
    Form3->SetLabelLayoutTop();
    Form3->BUTTON2->show();
    platform::ProcessMessages();
    RESETGRID();
    SetChatEnabled(false);
    AddLog(OpponentName + QStringLiteral("さんがやめました") + kCRLF + QStringLiteral("待機中"));
    Form3->show();
    setEnabled(false);
    WaitForOpponent();
}
