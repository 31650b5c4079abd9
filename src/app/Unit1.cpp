// TForm1: creating the main window and its controls, resizing, closing.
#include "app/Unit1.h"

#include "board/BoardAccessible.h"
#include "match/MyThread.h"
#include "match/Unit3.h"
#include "net/Lanx.h"
#include "platform/Anchors.h"
#include "platform/Dialogs.h"
#include "platform/Fonts.h"
#include "platform/PictureLoader.h"
#include "platform/Platform.h"
#include "platform/Sound.h"
#include "settings/Unit4.h"
#include "settings/about.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QSplitterHandle>
#include <QTimer>
#include <QWindow>

#include <algorithm>

namespace {

// Client area of the window below the menu at design size.
constexpr QSize kDesignClient(533, 347);
constexpr QSize kSidePanelDesign(157, 347);
constexpr QSize kPlayerRowDesign(145, 39);
constexpr int kSplitterWidth = 3;
constexpr int kMenuHeight = 19;
// The board panel's bevel: one pixel on each side of the board image.
constexpr int kPanelBevels = 2;

// A splitter handle painted as a beveled bar in the panel colour.
class BevelHandle : public QSplitterHandle {
public:
    using QSplitterHandle::QSplitterHandle;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), palette().color(QPalette::Window));
        painter.setPen(palette().color(QPalette::Light));
        painter.drawLine(0, 0, 0, height() - 1);
        painter.setPen(palette().color(QPalette::Dark));
        painter.drawLine(width() - 1, 0, width() - 1, height() - 1);
    }
};

class BevelSplitter : public QSplitter {
public:
    using QSplitter::QSplitter;

protected:
    QSplitterHandle* createHandle() override { return new BevelHandle(orientation(), this); }
};

} // namespace

const QStringList TForm1::CannedPhrases = {
    QStringLiteral("どうしたの？"),
    QStringLiteral("まだですかー???"),
    QStringLiteral("早くしてください (^_^)"),
    QStringLiteral("はやくしろ～ (^_^メ)"),
    QStringLiteral("わかりました (^_^;"),
    QStringLiteral("わかったよ (-_-メ)"),
    QStringLiteral("ちょっとまってて (^∧^)"),
    QStringLiteral("ウーム 考え中です"),
    QStringLiteral("この勝負もらった "),
    QStringLiteral("どうだ、まいたか～ ☆(^◇^)"),
    QStringLiteral("すごいだろう！ (^-^)"),
    QStringLiteral("なかなかやりますな～"),
    QStringLiteral("まだまだ、これから (｀へ´)"),
    QStringLiteral("なにやってんの "),
    QStringLiteral("まいりました m(._.)m"),
    QStringLiteral("もーダメ (x_x)"),
    QStringLiteral("ごめんなさい m(__)m"),
    QStringLiteral("ムムム 負けそう (T_T)"),
    QStringLiteral("しばらくお待ちください"),
    QStringLiteral("席を離れます"),
    QStringLiteral("ごめん"),
    QStringLiteral("ありがとう"),
};

TForm1::TForm1(const QString& settingsFile)
    : IniPath(settingsFile.isEmpty() ? platform::SettingsFilePath() : settingsFile) {
    setWindowTitle(QStringLiteral("Veltroy"));
    setFont(platform::UiFont(12));
    CreateMenu();
    CreateControls();
    LoadArtwork();
    // Design placement, until the settings place the window.
    move(386, 159);
    resize(kDesignClient.width(), kDesignClient.height() + kMenuHeight);
    setMinimumSize(276 - kFrameWidth, 274 - kFrameHeight);
    CreateSessionComponent();
    FormCreate();
    OpenGameRecords(settingsFile);
}

TForm1::~TForm1() {
    lanx::SetHaltNotice({});
    // The session goes first, so that no event reaches a window being torn down.
    MyThread.reset();
    delete Lanx1;
    Lanx1 = nullptr;
    FormDestroy();
}

void TForm1::CreateSessionComponent() {
    Lanx1 = new TLanx(this);
    Lanx1->SetDebugOption(dpoHaltOnError);
    Lanx1->SetAppGuid(QStringLiteral("{6BBC35C2-9331-43B2-8666-666666666666}"));
    Lanx1->SetMaxPlayers(2);
    Lanx1->OnArriveMessage = [this](TLanx* sender, TLanxPlayer* from, const void* data,
                                    std::uint32_t size) {
        Lanx1ArriveMessage(sender, from, data, size);
    };
    Lanx1->OnComesNewChallenger = [this](TLanx* sender, TLanxPlayer* player, const QString& s,
                                         const QString& l) {
        Lanx1ComesNewChallenger(sender, player, s, l);
    };
    Lanx1->OnEscapeChallenger = [this](TLanx* sender, TLanxPlayer* player, const QString& s,
                                       const QString& l) {
        Lanx1EscapeChallenger(sender, player, s, l);
    };
    Lanx1->OnChallengerSilent = [this](TLanx*, TLanxPlayer*, const QString&, const QString&) {
        Arrive([this] {
            AddLog(QStringLiteral("相手との通信が途切れています。つながるのを待っています"));
        });
    };
    Lanx1->OnChallengerHeardAgain = [this](TLanx*, TLanxPlayer*, const QString&, const QString&) {
        Arrive([this] { AddLog(QStringLiteral("相手との通信がもどりました")); });
    };
    Lanx1->Loaded();
    // A failed network operation that ends the program says so first.
    lanx::SetHaltNotice([this](const QString& text) {
        platform::MessageBox(this,
                             QStringLiteral("通信に失敗したため、終了します。") +
                                 QStringLiteral("\r\n\r\n") + text,
                             QStringLiteral("Veltroy"), platform::MB_OK | platform::MB_ICONHAND);
    });
}

void TForm1::CreateMenu() {
    // The menu bar has the height it was laid out with, so the client area below
    // it keeps its design size.
    menuBar()->setFixedHeight(kMenuHeight);
    File1 = menuBar()->addMenu(QStringLiteral("ファイル"));
    N1 = File1->addAction(QStringLiteral("はじめる"));
    N4 = File1->addAction(QStringLiteral("アドレスを指定してはじめる..."));
    N5 = File1->addAction(QStringLiteral("インターネットの相手を待つ..."));
    N2 = File1->addAction(QStringLiteral("設定..."));
    N3 = File1->addAction(QStringLiteral("おわる..."));
    Help1 = menuBar()->addMenu(QStringLiteral("ヘルプ"));
    About1 = Help1->addAction(QStringLiteral("バージョン情報"));
    connect(N1, &QAction::triggered, this, [this] { STARTClick(N1); });
    connect(N4, &QAction::triggered, this, &TForm1::N4Click);
    connect(N5, &QAction::triggered, this, &TForm1::N5Click);
    connect(N2, &QAction::triggered, this, &TForm1::N2Click);
    connect(N3, &QAction::triggered, this, &TForm1::N3Click);
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
}

void TForm1::CreateControls() {
    Splitter1 = new BevelSplitter(Qt::Horizontal, this);
    Splitter1->setHandleWidth(kSplitterWidth);
    Splitter1->setChildrenCollapsible(false);
    // The board follows the splitter while it is dragged.
    Splitter1->setOpaqueResize(true);
    setCentralWidget(Splitter1);

    Panel1 = new TPanel(Splitter1);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    // The board image keeps at least 107 x 149 inside the panel's 1-pixel bevel.
    Panel1->setMinimumSize(107 + kPanelBevels, 149 + kPanelBevels);
    Image1 = new TImage(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setMinimumSize(107, 149);
    auto* panel1Anchors = new AnchorLayout(Panel1, QSize(373, 347));
    panel1Anchors->Add(Image1, QRect(1, 1, 371, 345), akLeft | akTop | akRight | akBottom);
    Image1->installEventFilter(this);
    Image1->setFocusPolicy(Qt::StrongFocus);
    SetBoardMouseUp(true);
    SetBoardMouseMove(true);
    boardaccess::Attach(
        Image1, [this] { return static_cast<const TGRID*>(GRID.get()); },
        [this] { return KeyCursor; });

    Panel2 = new TPanel(Splitter1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setMinimumWidth(kSidePanelDesign.width());
    Panel2->SetColor(ColorToQColor(clTeal));
    auto* side = new AnchorLayout(Panel2, kSidePanelDesign);

    Splitter1->addWidget(Panel1);
    Splitter1->addWidget(Panel2);
    // The side panel keeps its width when the window is resized.
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({373, kSidePanelDesign.width()});

    START = new QPushButton(QStringLiteral("はじめる"), Panel2);
    START->setObjectName(QStringLiteral("START"));
    START->setFont(platform::UiFont(19));
    connect(START, &QPushButton::clicked, this, [this] { STARTClick(START); });
    side->Add(START, QRect(16, 16, 129, 41), akLeft | akTop | akRight);

    auto makeRow = [&](TPanel*& panel, QLabel*& name, TImage*& piece, QLabel*& count,
                       const QString& caption, int nameWidth, int top) {
        panel = new TPanel(Panel2);
        panel->SetBevels(TPanel::bvRaised, TPanel::bvLowered);
        side->Add(panel, QRect(8, top, kPlayerRowDesign.width(), kPlayerRowDesign.height()),
                  akLeft | akTop | akRight);
        // The name sits at the left and the count at the right inside the bevels,
        // which grow for the local player's row.
        auto nameBounds = [panel, nameWidth] {
            const int border = panel->BorderWidth();
            return QRect(border, border, nameWidth, kPlayerRowDesign.height() - 2 * border);
        };
        auto countBounds = [panel] {
            const int border = panel->BorderWidth();
            return QRect(kPlayerRowDesign.width() - border - 31, border, 31,
                         kPlayerRowDesign.height() - 2 * border);
        };
        auto* row = new AnchorLayout(panel, kPlayerRowDesign);
        name = new QLabel(caption, panel);
        name->setFont(platform::UiFont(16, true));
        name->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        row->Add(name, nameBounds(), akLeft | akTop | akBottom);
        piece = new TImage(panel);
        piece->Stretch = true;
        row->Add(piece, QRect(80, 3, 31, 31), akTop | akRight);
        count = new QLabel(QStringLiteral("99"), panel);
        count->setFont(platform::UiFont(18, true));
        count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        row->Add(count, countBounds(), akTop | akRight | akBottom);
        connect(panel, &TPanel::BevelsChanged, this, [=] {
            row->SetBounds(name, nameBounds());
            row->SetBounds(count, countBounds());
        });
    };
    makeRow(Panel3, Label5, ImageA, Label1, QStringLiteral("あなた"), 79, 68);
    makeRow(Panel4, Label6, ImageB, Label2, QStringLiteral("相手"), 80, 116);
    boardaccess::NamePicture(ImageA, QStringLiteral("先攻の駒"));
    boardaccess::NamePicture(ImageB, QStringLiteral("後攻の駒"));
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Label5->setObjectName(QStringLiteral("Label5"));
    Label6->setObjectName(QStringLiteral("Label6"));
    Label1->setObjectName(QStringLiteral("Label1"));
    Label2->setObjectName(QStringLiteral("Label2"));

    Memo1 = new QPlainTextEdit(Panel2);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setMaximumBlockCount(kMaxLogLines);
    Memo1->setFont(platform::UiFont(13));
    Memo1->setToolTip(QStringLiteral("ゲームの進行状況が表記されます"));
    SetWidgetColors(Memo1, ColorToQColor(clTeal), ColorToQColor(clWhite));
    side->Add(Memo1, QRect(8, 160, 145, 142), akLeft | akTop | akRight | akBottom);

    EDIT1 = new QComboBox(Panel2);
    EDIT1->setObjectName(QStringLiteral("EDIT1"));
    EDIT1->setEditable(true);
    EDIT1->setCompleter(nullptr);
    EDIT1->setInsertPolicy(QComboBox::NoInsert);
    EDIT1->addItems(CannedPhrases);
    EDIT1->setCurrentIndex(-1);
    EDIT1->setEditText(QString());
    EDIT1->lineEdit()->setMaxLength(kMaxChatLength);
    EDIT1->setEnabled(false);
    EDIT1->setToolTip(
        QStringLiteral("メッセージを入力してダブルクリック又はエンターキーで相手に送信できます"));
    SetWidgetColors(EDIT1, ColorToQColor(clInactiveCaptionText));
    side->Add(EDIT1, QRect(8, 312, 145, 20), akLeft | akRight | akBottom);
    EDIT1->installEventFilter(this);
    EDIT1->lineEdit()->installEventFilter(this);
}

namespace {

// Reads the artwork and the pattern tiles from the resources; pathPattern turns
// a picture's name into its path.
void LoadArtSet(const QString& pathPattern, QImage& mask, QImage& gray, QImage& shadow,
                QImage& kuro, std::array<QImage, 8>& tiles) {
    auto load = [&pathPattern](const QString& name) {
        return platform::ReadOwnPicture(pathPattern.arg(name), "bmp")
            .convertToFormat(QImage::Format_RGB32);
    };
    mask = load(QStringLiteral("MASK"));
    gray = load(QStringLiteral("GRY"));
    shadow = load(QStringLiteral("KAGE"));
    kuro = load(QStringLiteral("IMGKURO"));
    for (int i = 0; i < int(tiles.size()); ++i)
        tiles[i] = load(QStringLiteral("PATTERN%1").arg(i));
}

} // namespace

void TForm1::LoadArtwork() {
    LoadArtSet(QStringLiteral(":/art/%1.bmp"), ImageMASK, ImageGRY, ImageKAGE, ImageKURO,
               ImageList1);
}

const TForm1::TArtwork2x& TForm1::Artwork2x() const {
    if (!LoadedArtwork2x) {
        // The "@2x" in the name gives them a device pixel ratio of 2.
        auto art = std::make_unique<TArtwork2x>();
        LoadArtSet(QStringLiteral(":/art/2x/%1@2x.bmp"), art->MASK, art->GRY, art->KAGE, art->KURO,
                   art->List);
        LoadedArtwork2x = std::move(art);
    }
    return *LoadedArtwork2x;
}

const QImage& TForm1::PatternTile(int index) const {
    return ImageList1[index >= 0 && index < int(ImageList1.size()) ? index : 0];
}

const QImage& TForm1::PatternTile2x(int index) const {
    const auto& list = Artwork2x().List;
    return list[index >= 0 && index < int(list.size()) ? index : 0];
}

void TForm1::WatchScreen() {
    if (ScreenWatched || windowHandle() == nullptr)
        return;
    ScreenWatched = true;
    // Queued: the window takes on the new screen's scale before the board is rebuilt.
    connect(
        windowHandle(), &QWindow::screenChanged, this,
        [this] {
            if (GRID && ResizeAttached && Image1->devicePixelRatioF() != GRID->PixelRatio)
                COLORRESET();
        },
        Qt::QueuedConnection);
}

void TForm1::SetCountLabels(const QString& a, const QString& b) {
    Label1->setText(a);
    Label2->setText(b);
}

void TForm1::PictureLoadFailed(const QString& path) {
    if (ReportedPictures.contains(path))
        return;
    ReportedPictures.insert(path);
    // Shown once the layout in progress has finished: a modal box must not run
    // inside a resize or a repaint.
    QTimer::singleShot(0, this, [this, path] {
        platform::MessageBox(this,
                             QStringLiteral("画像ファイル「%1」を読み込めませんでした。\r\n"
                                            "この駒は色で表示します。")
                                 .arg(path),
                             QStringLiteral("Veltroy"),
                             platform::MB_OK | platform::MB_ICONEXCLAMATION);
    });
}

void TForm1::FormCreate() {
    GRIDSIZE = 8;
    // BACKBMP spans the work area; LAYOUT gives it the pixels the board uses.
    const QRect wa = platform::WorkArea();
    BACKBMPExtent = QSize(wa.x() + wa.width(), wa.y() + wa.height());
    GRID = std::make_unique<TGRID>(GRIDSIZE, this);
    LOADINI(true);
    // Until the window is first shown its controls keep the sizes they were
    // made with; the board image takes the size the layout will give it in the
    // window placed now, so that the board is drawn once, at the size shown.
    if (!isVisible()) {
        const QSize client = size();
        Image1->resize(
            std::max(client.width() - kSidePanelDesign.width() - kSplitterWidth - kPanelBevels,
                     Image1->minimumWidth()),
            std::max(client.height() - kMenuHeight - kPanelBevels, Image1->minimumHeight()));
    }
    COLORRESET();
    ResizeAttached = true;
}

void TForm1::FormResize() {
    // The resize event that showing the window sends may bring the size the
    // board was already fitted to.
    if (GRID &&
        (GRID->LaidOutSize != Image1->size() || GRID->PixelRatio != Image1->devicePixelRatioF()))
        GRID->LAYOUT(*Image1);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // The board image changes size when the window is resized or the splitter moves.
    if (watched == Image1 && event->type() == QEvent::Resize && ResizeAttached)
        FormResize();
    if (watched == Image1 && event->type() == QEvent::KeyPress &&
        Image1KeyPress(static_cast<QKeyEvent*>(event)->key()))
        return true;
    if (watched == Image1 && event->type() == QEvent::FocusIn) {
        ShowKeyCursor();
        boardaccess::FocusEntered(Image1);
    }
    // The window exists on a screen once the board image is first shown.
    if (watched == Image1 && event->type() == QEvent::Show)
        WatchScreen();
    // A key typed into the chat box reaches the combo box, which hands it on to
    // its line edit; a click lands on the line edit itself.
    if (watched == EDIT1 || watched == EDIT1->lineEdit()) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Escape) {
                FocusBoard();
                return true;
            }
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                QChar typed(13);
                Edit1KeyPress(typed);
                if (typed.isNull())
                    return true; // used: the box does not see the key
            }
        } else if (event->type() == QEvent::MouseButtonDblClick) {
            EDIT1DblClick();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TForm1::FormCloseQuery() {
    if (QuitMarkerButton && QuitMarkerButton->text() == QStringLiteral("終了")) {
        ResizeAttached = false;
        return true;
    }
    if (GRID && GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONEXCLAMATION);
    const int answer =
        platform::MessageBox(this, QStringLiteral("おわりますか"), QStringLiteral("確認"),
                             platform::MB_YESNO | platform::MB_ICONQUESTION);
    if (answer == platform::IDNO)
        return false;
    ResizeAttached = false;
    return true;
}

void TForm1::FormClose() {
    ResizeAttached = false;
    SAVEINI();
    // The router's forwarding goes with the session: a router slow to answer
    // delays the end by a few seconds at most.
    Forwarding.reset();
    lan::RouterForwarding::AwaitRemovals(std::chrono::milliseconds(3000));
}

void TForm1::FormDestroy() {
    ResizeAttached = false;
    BACKBMP = QImage();
    GRID.reset();
}

void TForm1::changeEvent(QEvent* event) {
    // The main window is enabled again when a popup in front of it closes.
    if (event->type() == QEvent::EnabledChange && isEnabled())
        FocusBoard();
    QMainWindow::changeEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    // The program ends with its main window, whatever else is on the screen.
    for (QWidget* other : {static_cast<QWidget*>(Form3), static_cast<QWidget*>(OKRightDlg),
                           static_cast<QWidget*>(OKBottomDlg)})
        if (other)
            other->hide();
    emit Closed();
}

void TForm1::N3Click() {
    close();
}

void TForm1::Image1MouseMove(Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) {
    const std::int32_t c = GRID->XTOCOL(x);
    const std::int32_t r = GRID->YTOROW(y);
    if (GRID->IsSquare(c, r))
        KeyCursor = {c, r};
    GRID->HOVER(x, y, *Image1);
    boardaccess::Update(*Image1);
}

QRect TForm1::OuterBounds() const {
    return QRect(pos(), size() + QSize(kFrameWidth, kFrameHeight));
}

void TForm1::SetOuterBounds(const QRect& bounds) {
    move(bounds.topLeft());
    resize(bounds.width() - kFrameWidth, bounds.height() - kFrameHeight);
}

int TForm1::WindowStateValue() const {
    if (windowState() & Qt::WindowMinimized)
        return 1;
    if (windowState() & Qt::WindowMaximized)
        return 2;
    return 0;
}

void TForm1::ApplyStoredState(int state) {
    switch (state) {
    case 1:
        setWindowState(Qt::WindowMinimized);
        break;
    case 2:
        setWindowState(Qt::WindowMaximized);
        break;
    default: // 0, and any other stored value, is a normal window
        setWindowState(Qt::WindowNoState);
        break;
    }
}
