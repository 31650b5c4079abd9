// TOKRightDlg: the settings dialog's controls, its refresh and handlers, and TForm1::N2Click.
#include "settings/Unit4.h"

#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "platform/Fonts.h"
#include "platform/PictureLoader.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>

#include <algorithm>

namespace {

constexpr int kPatternPanelSize = 33;
constexpr int kPatternPictureSize = 29;
constexpr int kPiecePreviewSize = 41;

// Left, top of Panel1..Panel8 inside XPGroupBox4.
constexpr QPoint kPatternPanelPos[8] = {{24, 16}, {24, 56}, {24, 96}, {24, 136},
                                        {80, 16}, {80, 56}, {80, 96}, {80, 136}};

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                        const QRect& bounds, const QString& hint) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(bounds);
    button->setToolTip(hint);
    return button;
}

TXPGroupBox* MakeGroupBox(QWidget* parent, const char* name, const QString& caption,
                          const QRect& bounds) {
    auto* box = new TXPGroupBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(bounds);
    return box;
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption,
                        const QRect& bounds) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setGeometry(bounds);
    // The design state; the refresh sets the settings' state, running the click
    // handler wherever that differs, so dependent controls follow.
    box->setChecked(true);
    return box;
}

// A piece image stretched over a picture of the preview's size.
// The piece stretched over a preview, at the device resolution of its screen.
QImage StretchedPiece(const QImage& piece, const QColor& background, double ratio) {
    const int side = DevicePixels(kPiecePreviewSize, ratio);
    QImage picture(side, side, QImage::Format_RGB32);
    picture.setDevicePixelRatio(ratio);
    picture.fill(background);
    if (!piece.isNull()) {
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRectF(0, 0, kPiecePreviewSize, kPiecePreviewSize), piece);
    }
    return picture;
}

} // namespace

// ---- TOpenPictureDialog ----

const QString TOpenPictureDialog::Filter = QStringLiteral(
    "すべてのファイル (*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf)|*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf|"
    "JPEG イメージファイル (*.jpg)|*.jpg|JPEG イメージファイル (*.jpeg)|*.jpeg|"
    "ビットマップ (*.bmp)|*.bmp|アイコン (*.ico)|*.ico|エンハンス メタファイル (*.emf)|*.emf|"
    "メタファイル (*.wmf)|*.wmf|全て|*.*");

QStringList TOpenPictureDialog::NameFilters(const QString& filter) {
    // Qt reads a filter's patterns from its last parentheses, separated by blanks;
    // with the pattern details hidden, the list shows the text before them, which
    // is the description unchanged.
    QStringList out;
    const QStringList parts = filter.split(QLatin1Char('|'));
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        out << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return out;
}

TOpenPictureDialog::TOpenPictureDialog(QWidget* parent) : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog, true);
    setOption(QFileDialog::HideNameFilterDetails, true);
    setFileMode(QFileDialog::ExistingFile);
    setAcceptMode(QFileDialog::AcceptOpen);
    const QStringList filters = NameFilters(Filter);
    setNameFilters(filters);
    selectNameFilter(filters.value(0));

    Preview = new QLabel(this);
    Preview->setObjectName(QStringLiteral("PicturePreview"));
    Preview->setFixedSize(kPreviewSize, kPreviewSize);
    Preview->setAlignment(Qt::AlignCenter);
    Preview->setFrameShape(QFrame::StyledPanel);
    // Qt's own dialog lays itself out on a grid: the preview becomes a column
    // to the right of the file list.
    if (auto* grid = qobject_cast<QGridLayout*>(layout()))
        grid->addWidget(Preview, 1, grid->columnCount(), 1, 1, Qt::AlignTop);
    connect(this, &QFileDialog::currentChanged, this, &TOpenPictureDialog::ShowPreview);
}

void TOpenPictureDialog::ShowPreview(const QString& path) {
    const QImage picture = QFileInfo(path).isFile() ? platform::LoadPicture(path) : QImage();
    if (picture.isNull()) {
        Preview->clear();
        return;
    }
    const QSize room(kPreviewSize - 4, kPreviewSize - 4);
    // Small pictures are shown as they are, large ones shrunk to fit.
    const QImage shown = picture.width() > room.width() || picture.height() > room.height()
                             ? picture.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                             : picture;
    Preview->setPixmap(QPixmap::fromImage(shown));
}

// ---- TOKRightDlg ----

TOKRightDlg::TOKRightDlg(TForm1* form1) : QDialog(form1), Form1(form1) {
    setObjectName(QStringLiteral("OKRightDlg"));
    setWindowTitle(QStringLiteral("設定"));
    setFont(platform::UiFont(12));
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    CreateControls();
    SetTabOrder();

    ColorDialog1 = [this](TColor current) -> std::optional<TColor> {
        const std::unique_ptr<QColorDialog> dialog = CreateColorDialog(current);
        if (dialog->exec() != QDialog::Accepted)
            return std::nullopt;
        return QColorToColor(dialog->selectedColor());
    };
    OpenPictureDialog1 = [this](const QString& fileName) -> std::optional<QString> {
        const std::unique_ptr<TOpenPictureDialog> dialog = CreatePictureDialog(fileName);
        if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty())
            return std::nullopt;
        return QFileInfo(dialog->selectedFiles().first()).absoluteFilePath();
    };
    AnnounceName = [](TForm1& form) {
        form.KAISI();
        form.SendNAME();
    };

    CentreOnScreen();
    // The creation event: show the loaded settings (this also recolours the main window).
    FormPaint();
}

TOKRightDlg::~TOKRightDlg() = default;

void TOKRightDlg::CreateControls() {
    XPGroupBox3 =
        MakeGroupBox(this, "XPGroupBox3", QStringLiteral("プレーヤーの名前"), QRect(8, 8, 401, 57));
    EDIT1 = new QLineEdit(XPGroupBox3);
    EDIT1->setObjectName(QStringLiteral("EDIT1"));
    EDIT1->setGeometry(16, 24, 361, 20);
    EDIT1->setMaxLength(TForm1::kMaxNameLength);
    EDIT1->setToolTip(QStringLiteral("プレーやの名前を指定してください"));
    EDIT1->installEventFilter(this);
    connect(EDIT1, &QLineEdit::textChanged, this, &TOKRightDlg::EDIT1Change);

    XPGroupBox1 =
        MakeGroupBox(this, "XPGroupBox1", QStringLiteral("色の設定"), QRect(8, 73, 401, 217));
    auto makePreview = [this](const char* name, int top) {
        auto* image = new TImage(XPGroupBox1);
        image->setObjectName(QLatin1String(name));
        image->setGeometry(16, top, kPiecePreviewSize, kPiecePreviewSize);
        return image;
    };
    auto makeLabel = [this](const char* name, const QString& caption, int top) {
        auto* label = new QLabel(caption, XPGroupBox1);
        label->setObjectName(QLatin1String(name));
        label->setGeometry(64, top, 24, 12);
        return label;
    };
    IMAGEAPIC = makePreview("IMAGEAPIC", 24);
    Label1 = makeLabel("Label1", QStringLiteral("先攻"), 40);
    ButtonSEN = MakeButton(XPGroupBox1, "ButtonSEN", QStringLiteral("色..."), QRect(96, 32, 41, 25),
                           QStringLiteral("先攻の駒の色を指定できます"));
    ButtonAPIC = MakeButton(XPGroupBox1, "ButtonAPIC", QStringLiteral("画像..."),
                            QRect(144, 32, 41, 25), QStringLiteral("先攻の駒の画像を指定できます"));
    ImageBPIC = makePreview("ImageBPIC", 72);
    Label2 = makeLabel("Label2", QStringLiteral("後攻"), 88);
    ButtonATO = MakeButton(XPGroupBox1, "ButtonATO", QStringLiteral("色..."), QRect(96, 80, 41, 25),
                           QStringLiteral("後攻の駒の色を指定できます"));
    ButtonBPIC = MakeButton(XPGroupBox1, "ButtonBPIC", QStringLiteral("画像..."),
                            QRect(144, 80, 41, 25), QStringLiteral("後攻の駒の画像を指定できます"));

    auto makeShape = [this](const char* name, int top) {
        auto* shape = new TShape(TShape::stRectangle, Qt::black, 1, Qt::white, XPGroupBox1);
        shape->setObjectName(QLatin1String(name));
        shape->setGeometry(16, top, 41, 25);
        return shape;
    };
    ShapePANELCOLOR = makeShape("ShapePANELCOLOR", 120);
    ButtonPANEL =
        MakeButton(XPGroupBox1, "ButtonPANEL", QStringLiteral("パネルの色..."),
                   QRect(64, 120, 81, 25), QStringLiteral("右側のゲームパネルの色を指定できます"));
    ShapePUTOKCOLOR = makeShape("ShapePUTOKCOLOR", 152);
    ButtonPUTOK =
        MakeButton(XPGroupBox1, "ButtonPUTOK", QStringLiteral("駒が置ける色..."),
                   QRect(64, 152, 81, 25), QStringLiteral("駒が置けるところの色を指定できます"));
    ShapeLINECOLOR = makeShape("ShapeLINECOLOR", 184);
    ButtonLINE =
        MakeButton(XPGroupBox1, "ButtonLINE", QStringLiteral("線の色..."), QRect(64, 184, 81, 25),
                   QStringLiteral("線およびフォントの色を指定できます"));

    XPGroupBox4 = MakeGroupBox(XPGroupBox1, "XPGroupBox4", QStringLiteral("ボードの模様"),
                               QRect(232, 16, 129, 185));
    XPGroupBox4->setToolTip(QStringLiteral("ゲームの盤の模様を指定できます"));
    for (int tag = 0; tag < 8; ++tag) {
        auto* panel = new TPanel(XPGroupBox4);
        panel->setObjectName(QStringLiteral("Panel%1").arg(tag + 1));
        panel->setGeometry(
            QRect(kPatternPanelPos[tag], QSize(kPatternPanelSize, kPatternPanelSize)));
        panel->SetBevels(TPanel::bvRaised, TPanel::bvRaised);
        panel->installEventFilter(this);
        // The tile shown unscaled from its top-left corner, inside the bevels. The
        // picture is disabled so that clicks go to the panel.
        auto* picture = new TImage(panel);
        picture->setObjectName(QStringLiteral("PatternImage%1").arg(tag + 1));
        const int border = panel->BorderWidth();
        picture->setGeometry(border, border, kPatternPictureSize, kPatternPictureSize);
        const QImage& twice =
            picture->devicePixelRatioF() > 1.0 ? Form1->PatternTile2x(tag) : QImage();
        picture->SetPicture(twice.isNull() ? Form1->ImageList1[tag] : twice);
        picture->setEnabled(false);
        PatternPanels[tag] = panel;
        PatternImages[tag] = picture;
    }
    Panel1 = PatternPanels[0];
    Panel2 = PatternPanels[1];
    Panel3 = PatternPanels[2];
    Panel4 = PatternPanels[3];
    Panel5 = PatternPanels[4];
    Panel6 = PatternPanels[5];
    Panel7 = PatternPanels[6];
    Panel8 = PatternPanels[7];

    XPGroupBox2 =
        MakeGroupBox(this, "XPGroupBox2", QStringLiteral("補助機能"), QRect(8, 296, 225, 97));
    PUTOK = MakeCheckBox(XPGroupBox2, "PUTOK", QStringLiteral("駒が置けるところの色を変える"),
                         QRect(8, 16, 177, 25));
    PUTCOUNT = MakeCheckBox(XPGroupBox2, "PUTCOUNT", QStringLiteral("取れる駒の数を表示"),
                            QRect(8, 40, 145, 25));
    SOUNDF =
        MakeCheckBox(XPGroupBox2, "SOUNDF", QStringLiteral("サウンドON"), QRect(8, 64, 145, 25));

    Buttonreset =
        MakeButton(this, "Buttonreset", QStringLiteral("リセット"), QRect(340, 312, 75, 25),
                   QStringLiteral("すべての設定を初期状態に戻します"));
    OKBtn = MakeButton(this, "OKBtn", QStringLiteral("OK"), QRect(244, 352, 75, 25),
                       QStringLiteral("設定を保存します"));
    OKBtn->setDefault(true);
    CancelBtn = MakeButton(this, "CancelBtn", QStringLiteral("キャンセル"), QRect(340, 350, 75, 25),
                           QStringLiteral("設定を破棄します"));

    connect(ButtonSEN, &QPushButton::clicked, this, &TOKRightDlg::ButtonSENClick);
    connect(ButtonATO, &QPushButton::clicked, this, &TOKRightDlg::ButtonATOClick);
    connect(ButtonPANEL, &QPushButton::clicked, this, &TOKRightDlg::ButtonPANELClick);
    connect(ButtonPUTOK, &QPushButton::clicked, this, &TOKRightDlg::ButtonPUTOKClick);
    connect(ButtonLINE, &QPushButton::clicked, this, &TOKRightDlg::ButtonLINEClick);
    connect(ButtonAPIC, &QPushButton::clicked, this, &TOKRightDlg::ButtonAPICClick);
    connect(ButtonBPIC, &QPushButton::clicked, this, &TOKRightDlg::ButtonBPICClick);
    // A change of state, by the user or by the refresh, is a click.
    connect(PUTOK, &QCheckBox::toggled, this, &TOKRightDlg::PUTOKClick);
    connect(PUTCOUNT, &QCheckBox::toggled, this, &TOKRightDlg::PUTCOUNTClick);
    connect(SOUNDF, &QCheckBox::toggled, this, &TOKRightDlg::SOUNDFClick);
    connect(Buttonreset, &QPushButton::clicked, this, &TOKRightDlg::ButtonresetClick);
    connect(OKBtn, &QPushButton::clicked, this, &TOKRightDlg::OKBtnClick);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
}

void TOKRightDlg::SetTabOrder() {
    // Top level: the name, colours and assist groups, then OK, Cancel, reset;
    // inside the colour group the colour buttons, the pattern group (whose
    // panels take no focus), then the picture buttons.
    QWidget* const order[] = {EDIT1,      ButtonSEN,  ButtonATO,  ButtonPANEL, ButtonPUTOK,
                              ButtonLINE, ButtonAPIC, ButtonBPIC, PUTOK,       PUTCOUNT,
                              SOUNDF,     OKBtn,      CancelBtn,  Buttonreset};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void TOKRightDlg::CentreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void TOKRightDlg::showEvent(QShowEvent* event) {
    CentreOnScreen();
    QDialog::showEvent(event);
}

std::unique_ptr<QColorDialog> TOKRightDlg::CreateColorDialog(TColor current) {
    auto dialog = std::make_unique<QColorDialog>(ColorToQColor(current), this);
    return dialog;
}

std::unique_ptr<TOpenPictureDialog> TOKRightDlg::CreatePictureDialog(const QString& fileName) {
    auto dialog = std::make_unique<TOpenPictureDialog>(this);
    if (!fileName.isEmpty())
        dialog->selectFile(fileName);
    return dialog;
}

void TOKRightDlg::RaiseAllPanels() {
    for (TPanel* panel : PatternPanels)
        panel->SetBevels(TPanel::bvRaised, TPanel::bvRaised);
}

void TOKRightDlg::FormPaint() {
    if (Form1->BMPINDEX >= 0 && Form1->BMPINDEX < int(PatternPanels.size()))
        PatternPanels[Form1->BMPINDEX]->SetBevels(TPanel::bvLowered, TPanel::bvLowered);

    ShapePANELCOLOR->SetBrushColor(ColorToQColor(Form1->GRID->PanelColor));
    ShapePUTOKCOLOR->SetBrushColor(ColorToQColor(Form1->GRID->PutColor));
    ShapeLINECOLOR->SetBrushColor(ColorToQColor(Form1->GRID->LineColor));

    // A different state runs the box's click handler, which refreshes again.
    PUTOK->setChecked(Form1->GRID->PutOkF);
    SOUNDF->setChecked(Form1->GRID->SoundF);
    PUTCOUNT->setChecked(Form1->GRID->PutCountF);

    EDIT1->setText(Form1->MyName);

    IMAGEAPIC->SetPicture(QImage());
    ImageBPIC->SetPicture(QImage());

    Form1->COLORRESET();

    const QColor face = palette().color(QPalette::Window);
    IMAGEAPIC->SetPicture(
        StretchedPiece(Form1->GRID->BigPieceA, face, IMAGEAPIC->devicePixelRatioF()));
    ImageBPIC->SetPicture(
        StretchedPiece(Form1->GRID->BigPieceB, face, ImageBPIC->devicePixelRatioF()));
}

void TOKRightDlg::ShowCurrentSettings() {
    RaiseAllPanels();
    FormPaint();
}

void TOKRightDlg::PickColor(TColor TGRID::*field, QString TGRID::*picture) {
    if (!ColorDialog1)
        return;
    // The board may be replaced while the picker is open (a new game), so the
    // fields are looked up on the current board afterwards.
    const std::optional<TColor> picked = ColorDialog1(Form1->GRID.get()->*field);
    if (!picked)
        return;
    if (picture)
        Form1->GRID.get()->*picture = QString();
    Form1->GRID.get()->*field = *picked;
    FormPaint();
}

void TOKRightDlg::PickPicture(QString TGRID::*field) {
    if (!OpenPictureDialog1)
        return;
    const std::optional<QString> chosen = OpenPictureDialog1(Form1->GRID.get()->*field);
    if (!chosen)
        return;
    Form1->GRID.get()->*field = *chosen;
    FormPaint();
}

void TOKRightDlg::ButtonSENClick() {
    PickColor(&TGRID::AColor, &TGRID::APicName);
}

void TOKRightDlg::ButtonATOClick() {
    PickColor(&TGRID::BColor, &TGRID::BPicName);
}

void TOKRightDlg::ButtonPANELClick() {
    PickColor(&TGRID::PanelColor, nullptr);
}

void TOKRightDlg::ButtonPUTOKClick() {
    PickColor(&TGRID::PutColor, nullptr);
}

void TOKRightDlg::ButtonLINEClick() {
    PickColor(&TGRID::LineColor, nullptr);
}

void TOKRightDlg::ButtonAPICClick() {
    PickPicture(&TGRID::APicName);
}

void TOKRightDlg::ButtonBPICClick() {
    PickPicture(&TGRID::BPicName);
}

void TOKRightDlg::PanelClick(TPanel* sender) {
    const auto it = std::find(PatternPanels.begin(), PatternPanels.end(), sender);
    if (it == PatternPanels.end())
        return;
    RaiseAllPanels();
    Form1->BMPINDEX = std::int32_t(it - PatternPanels.begin());
    sender->SetBevels(TPanel::bvLowered, TPanel::bvLowered);
    FormPaint();
}

void TOKRightDlg::PUTOKClick() {
    ButtonPUTOK->setEnabled(PUTOK->isChecked());
    Form1->GRID->PutOkF = PUTOK->isChecked();
    FormPaint();
}

void TOKRightDlg::PUTCOUNTClick() {
    Form1->GRID->PutCountF = PUTCOUNT->isChecked();
    FormPaint();
}

void TOKRightDlg::SOUNDFClick() {
    Form1->GRID->SoundF = SOUNDF->isChecked();
    FormPaint();
}

void TOKRightDlg::ButtonresetClick() {
    TGRID& g = *Form1->GRID;
    Form1->MyName.clear();
    Form1->BMPINDEX = 0;
    g.PanelColor = clTeal;
    g.AColor = clRed;
    g.BColor = clBlue;
    g.PutColor = clGreen;
    g.LineColor = clWhite;
    g.PutOkF = true;
    g.SoundF = true;
    g.PutCountF = true;
    RaiseAllPanels();
    g.APicName.clear();
    g.BPicName.clear();
    FormPaint();
}

void TOKRightDlg::EDIT1Change() {
    Form1->MyName = EDIT1->text();
}

void TOKRightDlg::EDIT1KeyPress(QChar& key) {
    if (key == QLatin1Char('\r'))
        key = QChar();
}

void TOKRightDlg::OKBtnClick() {
    if (EDIT1->text().isEmpty()) {
        platform::MessageBox(this, QStringLiteral("プレーヤーの名前を設定してください"),
                             QStringLiteral("Veltroy"), platform::MB_OK);
        return;
    }
    accept();
}

bool TOKRightDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == EDIT1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            QChar typed(QLatin1Char('\r'));
            EDIT1KeyPress(typed);
            // The discarded Enter acts on the default button.
            if (typed.isNull() && OKBtn->isEnabled())
                OKBtn->click();
            return true;
        }
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        auto* panel = qobject_cast<TPanel*>(watched);
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (panel && mouse->button() == Qt::LeftButton &&
            panel->rect().contains(mouse->position().toPoint()) &&
            std::find(PatternPanels.begin(), PatternPanels.end(), panel) != PatternPanels.end()) {
            PanelClick(panel);
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

// ---- Opening the dialog from the main window ----

void TForm1::N2Click() {
    if (!OKRightDlg || !GRID)
        return;

    struct Saved {
        QString MyName;
        std::int32_t BMPINDEX;
        TColor PanelColor, AColor, BColor, PutColor, LineColor;
        bool PutOkF, SoundF, PutCountF;
        QString APicName, BPicName;
    };
    const Saved copy{MyName,       BMPINDEX,        GRID->PanelColor, GRID->AColor,
                     GRID->BColor, GRID->PutColor,  GRID->LineColor,  GRID->PutOkF,
                     GRID->SoundF, GRID->PutCountF, GRID->APicName,   GRID->BPicName};

    // The dialog may still show a choice that was cancelled last time.
    OKRightDlg->ShowCurrentSettings();
    const int result = OKRightDlg->exec();
    if (!GRID)
        return;

    if (result != QDialog::Accepted) {
        MyName = copy.MyName;
        BMPINDEX = copy.BMPINDEX;
        GRID->PanelColor = copy.PanelColor;
        GRID->AColor = copy.AColor;
        GRID->BColor = copy.BColor;
        GRID->PutColor = copy.PutColor;
        GRID->LineColor = copy.LineColor;
        GRID->PutOkF = copy.PutOkF;
        GRID->SoundF = copy.SoundF;
        GRID->PutCountF = copy.PutCountF;
        GRID->APicName = copy.APicName;
        GRID->BPicName = copy.BPicName;
        COLORRESET();
    } else {
        SAVEINI();
        if (MyName != copy.MyName && START->text() == QStringLiteral("やめる") &&
            OKRightDlg->AnnounceName)
            OKRightDlg->AnnounceName(*this);
    }
    GRID->LAYOUT(*Image1);
    FocusBoard();
}
