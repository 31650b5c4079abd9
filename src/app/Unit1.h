// TForm1, the main window: board image, side panel, log, chat box, menu, settings.
#pragma once

#include "board/Unit2.h"
#include "match/GameRecords.h"
#include "net/LanRouter.h"
#include "platform/Color.h"
#include "platform/ImageControl.h"
#include "platform/Panel.h"

#include <QImage>
#include <QMainWindow>
#include <QSet>
#include <QString>
#include <QUuid>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QAbstractButton;
class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSplitter;
class TForm3;
class TLanx;
class TLanxPlayer;
class TMyThread;
class QTimer;
class TOKRightDlg;
class TOKBottomDlg;

class TForm1;

// The program's four windows, created in this order; destroyed in reverse.
struct TApplicationWindows {
    std::unique_ptr<TForm1> Form1;
    std::unique_ptr<TForm3> Form3;
    std::unique_ptr<TOKRightDlg> OKRightDlg;
    std::unique_ptr<TOKBottomDlg> OKBottomDlg;
    TApplicationWindows();
    TApplicationWindows(TApplicationWindows&&) noexcept;
    TApplicationWindows& operator=(TApplicationWindows&& other) noexcept;
    ~TApplicationWindows();

private:
    void Release();
};
TApplicationWindows CreateApplicationWindows(const QString& settingsFile = {});

class TForm1 : public QMainWindow, public TBoardHost {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate. settingsFile overrides the program's
    // settings file (tests, several windows in one process).
    explicit TForm1(const QString& settingsFile = {});
    ~TForm1() override;

    // The title bar and borders around the client area at design size: the
    // stored Width and Height are the window's outer bounds.
    static constexpr int kFrameWidth = 8;
    static constexpr int kFrameHeight = 27;
    // The longest chat line and player name, in characters: what the chat box
    // and the name field let a person type, and what is shown of the
    // opponent's. The log keeps this many lines, the oldest dropped first.
    static constexpr int kMaxChatLength = 200;
    static constexpr int kMaxNameLength = 64;
    static constexpr int kMaxLogLines = 5000;

    // Controls, named as laid out.
    TPanel* Panel1 = nullptr;
    TImage* Image1 = nullptr;
    QSplitter* Splitter1 = nullptr;
    TPanel* Panel2 = nullptr;
    QPushButton* START = nullptr;
    TPanel* Panel3 = nullptr;
    QLabel* Label5 = nullptr;
    TImage* ImageA = nullptr;
    QLabel* Label1 = nullptr;
    TPanel* Panel4 = nullptr;
    QLabel* Label6 = nullptr;
    TImage* ImageB = nullptr;
    QLabel* Label2 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QComboBox* EDIT1 = nullptr;
    QMenu* File1 = nullptr;
    QAction* N1 = nullptr;
    // "アドレスを指定してはじめる...": the start with the session-location
    // dialog left to the player, to join a computer by its address.
    QAction* N4 = nullptr;
    // "インターネットの相手を待つ...": waits as a host, with the router asked
    // to forward the game's ports to this computer.
    QAction* N5 = nullptr;
    QAction* N2 = nullptr;
    QAction* N3 = nullptr;
    QMenu* Help1 = nullptr;
    QAction* About1 = nullptr;

    // Artwork (held in the resources rather than in hidden images) and the
    // eight 60 x 60 board pattern tiles.
    QImage ImageGRY;
    QImage ImageKAGE;
    QImage ImageMASK;
    QImage ImageKURO;
    std::array<QImage, 8> ImageList1;
    // The same at twice the size (device pixel ratio 2), for high-density
    // screens: read when first asked for, so that a screen at scale 1 never
    // pays for them.
    struct TArtwork2x {
        QImage GRY;
        QImage KAGE;
        QImage MASK;
        QImage KURO;
        std::array<QImage, 8> List;
    };
    const TArtwork2x& Artwork2x() const;

    // Program-wide values of the window.
    QImage BACKBMP;
    QSize BACKBMPExtent;
    std::unique_ptr<TGRID> GRID;
    // Settings of the window itself (the other ten live in GRID).
    QString MyName;
    std::int32_t BMPINDEX = 0;
    // The address last typed in the session-location dialog ("LAN", "ADDRESS").
    QString SessionAddress;

    // The popup's third button once the popup exists: its caption "終了" is the
    // quit marker that lets the window close without asking.
    QAbstractButton* QuitMarkerButton = nullptr;

    // The other three windows, created after this one (CreateApplicationWindows);
    // null until then. Not owned.
    TForm3* Form3 = nullptr;
    TOKRightDlg* OKRightDlg = nullptr;
    TOKBottomDlg* OKBottomDlg = nullptr;

    // Settings store.
    bool LOADINI(bool withPlacement);
    bool SAVEINI();
    void COLORRESET();
    QString SettingsFile() const { return IniPath; }

    // Window events.
    void FormCreate();
    void FormResize();
    bool FormCloseQuery();
    void FormClose();
    void FormDestroy();
    // The session component, created with the window.
    TLanx* Lanx1 = nullptr;
    // Match state: +1 first player, -1 second, 0 before the first choice.
    int MySide = 0;
    QString OpponentName;
    // How long a wait for an opponent lasts before the log says what to check.
    int WaitHintMs = 30000;
    // Confirms the session-location dialog during the search.
    std::unique_ptr<TMyThread> MyThread;

    // Pairing and the first-move choice.
    void STARTClick(QObject* Sender);
    void N4Click();
    void N5Click();
    enum class TStart {
        Search,    // the local network searched, its waiting player joined, else hosted
        ByAddress, // the session-location dialog waits for the player, and a typed
                   // address is joined or reported, never hosted
        Internet,  // hosted at once, the router asked to forward the game's ports
    };
    // Joins or creates the session.
    void AUTOSTART(TStart kind = TStart::Search);
    // The log line for the router's answer to "インターネットの相手を待つ...".
    static QString RouterLine(const lan::RouterReport& report);
    void Lanx1ComesNewChallenger(TLanx* Sender, TLanxPlayer* player, const QString& ShortName,
                                 const QString& LongName);
    void SENKOSET();
    void SENKOOK(int side);
    void RESSTART(const QString& text);
    void KAISI();

    // The match messages.
    void Lanx1ArriveMessage(TLanx* Sender, TLanxPlayer* from, const void* data,
                            std::uint32_t dataSize);
    // Sends text and its terminating zero byte to the opponent.
    void SendMatchMessage(const QString& text);

    // Local move input.
    void Image1MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);
    // Attach or detach the board image's mouse handlers.
    void SetBoardMouseUp(bool attached);
    void SetBoardMouseMove(bool attached);

    // Turns, passes, game end, replay and leaving.
    void RESPUTOK(const QString& text);
    void RESPASS();
    void owari();
    void endMES(int diff);
    void ENDMESRES(int choice);
    void RESRETRY();
    void RESETGRID();
    void Lanx1EscapeChallenger(TLanx* Sender, TLanxPlayer* player, const QString& ShortName,
                               const QString& LongName);
    void EXITPLAY();

    // Interrupted games: the games in progress on disk (the folder of the
    // debug log), and the question whether to go on with one when the same two
    // programs pair again.
    std::unique_ptr<TGameRecords> GameRecords;
    void RESIDENT(const QString& text);
    void RESRECORD(const QString& text);
    void RESRESUME(const QString& text);
    // The question's answer: +1 go on with the game, -1 a new game.
    void RESUMEANSWER(int answer);

    // Chat and name change.
    // Enter in the chat box; sets key to 0 when it was used.
    void Edit1KeyPress(QChar& key);
    void EDIT1DblClick();
    void RESCHAT(const QString& text);
    void RESNAME(const QString& text);
    // Tells the opponent the local player's new name ("NAME  ").
    void SendNAME();

    // Adds a line (or several, separated by line breaks) to the log.
    void AddLog(const QString& lines);
    // Brings the window to the foreground.
    void BringToFront();

    void N2Click();
    void N3Click();
    void About1Click();
    void Image1MouseMove(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

    // The board from the keyboard: a cursor square that the arrow keys and Home
    // move and Return or Space plays as a click on it would; a new board starts
    // it on column 4, row 4.
    TCellPos KeyCursor{4, 4};
    // A key pressed on the board image; true when the board used it.
    bool Image1KeyPress(int key);
    // Gives the board image the keyboard focus.
    void FocusBoard();

    // The canned chat phrases of EDIT1, in order.
    static const QStringList CannedPhrases;

    // Outer bounds as stored in the settings, and their application.
    QRect OuterBounds() const;
    void SetOuterBounds(const QRect& bounds);
    // 0 normal, 1 minimised, 2 maximised.
    int WindowStateValue() const;

    // TBoardHost
    QImage& BackBmp() override { return BACKBMP; }
    QSize BackBmpExtent() const override { return BACKBMPExtent; }
    int BmpIndex() const override { return BMPINDEX; }
    const QImage& PatternTile(int index) const override;
    const QImage& ArtMask() const override { return ImageMASK; }
    const QImage& ArtGray() const override { return ImageGRY; }
    const QImage& ArtShadow() const override { return ImageKAGE; }
    const QImage& ArtKuro() const override { return ImageKURO; }
    void SetCountLabels(const QString& a, const QString& b) override;
    void PictureLoadFailed(const QString& path) override;
    const QImage& PatternTile2x(int index) const override;
    const QImage& ArtMask2x() const override { return Artwork2x().MASK; }
    const QImage& ArtGray2x() const override { return Artwork2x().GRY; }
    const QImage& ArtShadow2x() const override { return Artwork2x().KAGE; }
    const QImage& ArtKuro2x() const override { return Artwork2x().KURO; }

signals:
    // The window has closed for good: the program ends.
    void Closed();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateSessionComponent();
    void CreateMenu();
    void LoadArtwork();
    void ApplyStoredState(int state);
    mutable std::unique_ptr<TArtwork2x> LoadedArtwork2x;
    void SetSettingsDefaults(int fromStep);

    // Places a piece for GRID->Turn at a pixel, with the animation. A board
    // replaced while the animation processes messages is kept alive until the
    // placing is done.
    std::int32_t PlacePiece(std::int32_t x, std::int32_t y);
    void SetChatEnabled(bool enabled);
    // Shows the keyboard cursor as the hover frame, by the mouse's own rule.
    void ShowKeyCursor();
    // With the sides settled: the turn, the legal marks, the side panel, the board.
    void BeginGame();

    QString IniPath;
    int AnimationDepth = 0;
    std::vector<std::unique_ptr<TGRID>> RetiredBoards;
    // Arrivals (messages, a player coming or leaving) wait while a local move is
    // placed and are then handled in their order: the animation lets pending
    // events run, and a reply must not land on a board whose own move is still
    // being turned, nor have its turn taken back when the move finishes.
    int HoldDepth = 0;
    std::deque<std::function<void()>> HeldArrivals;
    // Handles an arrival now, or queues it behind the held ones.
    void Arrive(std::function<void()> arrival);
    void HoldArrivals() { ++HoldDepth; }
    // Ends a hold; the outermost one handles everything that waited.
    void ReleaseArrivals();
    void HandleMatchMessage(const QString& text);
    void GreetNewChallenger();
    // Joins the first session found; false when that failed, which then is
    // not the end of the program: it hosts instead.
    bool JoinFirstSession();
    // Runs a session operation whose failure the flow handles itself: the
    // session component reports it but does not end the program. True when
    // it succeeded.
    bool WithoutHaltOnError(const std::function<std::uint32_t()>& operation);
    // After a search at a typed address: true when the start goes on; else the
    // player has been told why (unless they cancelled) and the program is idle.
    bool AddressSearchGoesOn(const QString& address);
    // Tells the player (a message box) and goes back to idle.
    void AbandonStart(const QString& message);
    // Back to idle after a start that went nowhere: no popup, "はじめる" again.
    void BackToIdle();
    // The waiting host's addresses, logged once so its player can pass them on.
    void LogOwnAddresses();
    bool OwnAddressesLogged = false;
    // While this program hosts after "インターネットの相手を待つ...": the
    // router's forwarding of its ports, removed when the session ends. Its
    // outcome is logged as one line.
    void ForwardRouterPorts();
    std::unique_ptr<lan::RouterForwarding> Forwarding;
    // The name of the other player of the session ("" when there is none).
    QString OtherPlayerName() const;
    // Waiting for an opponent begins: after 30 s without one, one log line
    // says what to check. A player's arrival ends the wait.
    void WaitForOpponent();
    QTimer* WaitHint = nullptr;
    // This side asked for a replay and the opponent may have asked at the same
    // time: the opponent's "RETRY " then crosses ours and must not undo what
    // this side did since (a choice). Its next game message ends the window.
    bool RetryMayCross = false;
    // Local moves made so far: a handler that lets pending input run sees
    // whether the player moved meanwhile.
    int LocalMoves = 0;
    // Settling a choice made on both sides at once: the host's choice stands.
    bool IsHost = false;
    bool ChoseThisGame = false;
    bool AwaitingStartAck = false;
    // The interrupted game, from pairing to the first move: each program
    // sends its id as the greeting begins ("IDENT "), answers the other's id
    // with its record of their game ("RECORD"), and, after the greeting, asks
    // its player when both records make one game; the game goes on when both
    // players answer so ("RESUME").
    enum class TResumePhase { Off, Greeting, Waiting, Asking, Answered };
    struct TResumeState {
        TResumePhase Phase = TResumePhase::Off;
        QUuid PeerId; // null until the opponent's "IDENT "
        bool PeerRecordIn = false;
        std::optional<TGameRecord> PeerRecord;
        TResumeCheck Check;
        int OwnAnswer = 0; // +1 go on, -1 anew, 0 not yet
        int PeerAnswer = 0;
    };
    TResumeState Resume;
    QTimer* ResumeTimer = nullptr;
    // The opponent of the game being kept on disk; null when none is.
    QUuid GameOpponent;
    void OpenGameRecords(const QString& settingsFile);
    // Tells the transport which waiting programs to pair with first.
    void UpdatePairingPreference();
    void BeginPairing();
    // After the greeting: the question, or the first-move choice.
    void ResumeOrChoose();
    void TryResume();
    void AskResume();
    void StartAnew(const QString& line);
    void ContinueGame();
    void KeepNewGame();
    void KeepMove(TCellPos move);
    void GameReachedResult();
    // This side has no legal move: the pass notice, then "PASS  ".
    void PassTurn();
    // FormResize is attached to the board image's resize until the window closes.
    bool ResizeAttached = false;
    // Picture files already reported as unreadable (one message per file).
    QSet<QString> ReportedPictures;
    // The board is redrawn at the resolution of the screen the window moves to.
    bool ScreenWatched = false;
    void WatchScreen();
};
