// TForm1's interrupted games: kept move by move, and offered again when the
// same two programs pair again ("IDENT ", "RECORD" and "RESUME" messages).
#include "app/Unit1.h"

#include "match/GameRecords.h"
#include "match/Unit3.h"
#include "net/Lanx.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "platform/Sound.h"

#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace {

const QString kCRLF = QStringLiteral("\r\n");

// How long, after the greeting, a program waits for the opponent's id before
// it takes the opponent for a program that keeps no games: the opponent sent
// it as the pairing began, so it is already here unless it never comes.
constexpr int kIdentGraceMs = 500;
// How long it then waits for the opponent's record, which the opponent sends
// once its own greeting is over.
constexpr int kRecordWaitMs = 5000;

GUID ToGuid(const QUuid& id) {
    GUID g;
    g.Data1 = id.data1;
    g.Data2 = id.data2;
    g.Data3 = id.data3;
    std::copy(std::begin(id.data4), std::end(id.data4), std::begin(g.Data4));
    return g;
}

} // namespace

void TForm1::OpenGameRecords(const QString& settingsFile) {
    // Beside the debug log; a window given its own settings file (several
    // programs in one process) keeps its games beside that file.
    const QString folder = settingsFile.isEmpty() ? platform::ProgramFileLocations().DebugLogFolder
                                                  : QFileInfo(settingsFile).path();
    GameRecords = std::make_unique<TGameRecords>(folder);
    for (const QString& note : GameRecords->TakeNotes())
        AddLog(note);
    ResumeTimer = new QTimer(this);
    ResumeTimer->setSingleShot(true);
    connect(ResumeTimer, &QTimer::timeout, this, [this] {
        // The opponent keeps no games, or its record never came.
        if (Resume.Phase == TResumePhase::Waiting) {
            Resume.Phase = TResumePhase::Off;
            SENKOSET();
        }
    });
}

void TForm1::UpdatePairingPreference() {
    std::vector<GUID> preferred;
    for (const QUuid& id : GameRecords->Opponents())
        preferred.push_back(ToGuid(id));
    // The id goes out also without a game in progress: another program may
    // hold one with this one.
    Lanx1->SetPairingPreference(ToGuid(GameRecords->Id()), preferred);
}

void TForm1::BeginPairing() {
    Resume = {};
    Resume.Phase = TResumePhase::Greeting;
    GameOpponent = QUuid();
    SendMatchMessage(QStringLiteral("IDENT ") + QString::fromLatin1(IdText(GameRecords->Id())));
}

void TForm1::ResumeOrChoose() {
    if (Resume.Phase != TResumePhase::Greeting) {
        SENKOSET();
        return;
    }
    Resume.Phase = TResumePhase::Waiting;
    ResumeTimer->start(Resume.PeerId.isNull() ? kIdentGraceMs : kRecordWaitMs);
    TryResume();
}

void TForm1::RESIDENT(const QString& text) {
    const auto id = ParseId(text.mid(6).toLatin1());
    if (!id || !Resume.PeerId.isNull())
        return;
    Resume.PeerId = *id;
    // The record goes back at once. An id that comes after this side went on
    // to the choice still names the opponent of the next game, but nothing is
    // offered any more.
    const TGameRecord* mine = GameRecords->Find(*id);
    QString record = QStringLiteral("RECORD0");
    if (mine && Resume.Phase != TResumePhase::Off)
        record = QStringLiteral("RECORD%1 %2")
                     .arg(mine->Side)
                     .arg(QString::fromLatin1(FormatMoves(mine->Moves)));
    SendMatchMessage(record);
    if (Resume.Phase == TResumePhase::Waiting)
        ResumeTimer->start(kRecordWaitMs);
    TryResume();
}

void TForm1::RESRECORD(const QString& text) {
    if (Resume.PeerId.isNull() || Resume.PeerRecordIn)
        return;
    Resume.PeerRecordIn = true;
    Resume.PeerRecord.reset();
    const QString payload = text.mid(6);
    if (payload != QLatin1String("0")) {
        // A record that does not read is one that cannot be the game.
        TGameRecord theirs;
        const qsizetype blank = payload.indexOf(QLatin1Char(' '));
        const QString side = payload.left(blank);
        theirs.Side = side == QLatin1String("1") ? +1 : side == QLatin1String("-1") ? -1 : 0;
        const auto moves = blank < 0 ? std::nullopt : ParseMoves(payload.mid(blank + 1).toLatin1());
        if (moves)
            theirs.Moves = *moves;
        else
            theirs.Side = 0;
        Resume.PeerRecord = theirs;
    }
    TryResume();
}

void TForm1::TryResume() {
    if (Resume.Phase != TResumePhase::Waiting || Resume.PeerId.isNull() || !Resume.PeerRecordIn)
        return;
    ResumeTimer->stop();
    const TGameRecord* mine = GameRecords->Find(Resume.PeerId);
    Resume.Check = CheckResume(mine, Resume.PeerRecord ? &*Resume.PeerRecord : nullptr);
    QString why;
    switch (Resume.Check.Result) {
    case TResumeCheck::NoRecords:
        break;
    case TResumeCheck::Offer:
        if (Resume.PeerAnswer < 0)
            break; // the opponent has already chosen a new game
        AskResume();
        return;
    case TResumeCheck::NoRecordHere:
        why = QStringLiteral(
            "前回の対局の記録がこのコンピューターにないため、新しい対局をはじめます");
        break;
    case TResumeCheck::NoRecordThere:
        why = OpponentName +
              QStringLiteral(
                  "さんのコンピューターに前回の対局の記録がないため、新しい対局をはじめます");
        break;
    case TResumeCheck::Differ:
        why = QStringLiteral("前回の対局の記録が") + OpponentName +
              QStringLiteral("さんの記録と合わないため、新しい対局をはじめます");
        break;
    case TResumeCheck::AgainstRules:
        why = QStringLiteral("前回の対局の記録がルールに合わないため、新しい対局をはじめます");
        break;
    case TResumeCheck::Finished:
        why = QStringLiteral("前回の対局は終わっているため、新しい対局をはじめます");
        break;
    }
    // A record that cannot go on is of no more use.
    GameRecords->Drop(Resume.PeerId);
    Resume.Phase = TResumePhase::Off;
    if (!why.isEmpty())
        AddLog(why);
    SENKOSET();
}

void TForm1::AskResume() {
    Resume.Phase = TResumePhase::Asking;
    platform::ProcessMessages();
    BringToFront();
    Form3->RESET();
    Form3->Label1Color = ColorToQColor(clCream);
    Form3->Tag = TForm3::modeResume;
    Form3->Label1->setText(kCRLF + QStringLiteral("前回の対局の") + kCRLF +
                           QStringLiteral("続きをしますか?"));
    Form3->SetLabelLayoutTop();
    Form3->BUTTON1->setText(QStringLiteral("つづける"));
    Form3->BUTTON3->setText(QStringLiteral("はじめから"));
    Form3->BUTTON1->show();
    Form3->BUTTON3->show();
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONASTERISK);
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::RESUMEANSWER(int answer) {
    if (Resume.Phase != TResumePhase::Asking)
        return;
    Resume.Phase = TResumePhase::Answered;
    Resume.OwnAnswer = answer;
    SendMatchMessage(answer > 0 ? QStringLiteral("RESUME1") : QStringLiteral("RESUME0"));
    if (answer < 0) {
        StartAnew(QStringLiteral("新しい対局をはじめます"));
        return;
    }
    if (Resume.PeerAnswer > 0) {
        ContinueGame();
        return;
    }
    Form3->RESET();
    Form3->SetLabelLayoutCenter();
    Form3->Label1->setText(OpponentName + QStringLiteral("さんの") + kCRLF +
                           QStringLiteral("返事を待っています"));
    Form3->show();
    setEnabled(false);
}

void TForm1::RESRESUME(const QString& text) {
    const QString value = text.mid(6);
    const int answer = value == QLatin1String("1") ? +1 : value == QLatin1String("0") ? -1 : 0;
    if (answer == 0 || Resume.Phase == TResumePhase::Off || Resume.PeerAnswer != 0)
        return;
    Resume.PeerAnswer = answer;
    const bool asked = Resume.Phase == TResumePhase::Asking;
    const bool waiting = Resume.Phase == TResumePhase::Answered && Resume.OwnAnswer > 0;
    if (!asked && !waiting)
        return; // the question has not come up yet here: the answer waits for it
    if (answer < 0) {
        StartAnew(OpponentName + QStringLiteral("さんが新しい対局を選びました"));
    } else if (waiting) {
        ContinueGame();
    }
}

void TForm1::StartAnew(const QString& line) {
    Resume.Phase = TResumePhase::Off;
    GameRecords->Drop(Resume.PeerId);
    Form3->RESET();
    Form3->close();
    AddLog(line);
    SENKOSET();
}

void TForm1::ContinueGame() {
    Resume.Phase = TResumePhase::Off;
    TGameRecord game = Resume.Check.Game;
    game.Opponent = Resume.PeerId;
    Form3->RESET();
    Form3->close();
    setEnabled(true);
    show();
    RESETGRID();
    // The position at once, not move by move.
    ReplayMoves(*GRID, game.Moves);
    const int toMove = GRID->Turn;
    MySide = game.Side;
    ChoseThisGame = true;
    AwaitingStartAck = false;
    RetryMayCross = false;
    GameRecords->Keep(game);
    GameOpponent = game.Opponent;
    const bool mine = toMove == MySide;
    GRID->Turn = mine ? MySide : 0;
    AddLog(QStringLiteral("前回の対局を続けます") + kCRLF +
           (mine ? QStringLiteral("あなたの番です") : QStringLiteral("相手の番です")));
    GRID->PUTSEARCH();
    KAISI();
    GRID->DRAWGRID(*Image1);
    FocusBoard();
    // The game stopped where this side had to pass.
    if (mine && !GRID->PUTSEARCH())
        PassTurn();
}

void TForm1::KeepMove(TCellPos move) {
    if (!GameOpponent.isNull())
        GameRecords->AddMove(GameOpponent, move);
}

void TForm1::KeepNewGame() {
    if (Resume.PeerId.isNull())
        return; // an opponent that keeps no games: nothing to meet again
    GameOpponent = Resume.PeerId;
    GameRecords->Keep({GameOpponent, MySide, {}});
}

void TForm1::GameReachedResult() {
    if (!GameOpponent.isNull())
        GameRecords->Drop(GameOpponent);
    GameOpponent = QUuid();
}
