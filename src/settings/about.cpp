// The about window TOKBottomDlg and the main window's menu handler that shows it.
#include "settings/about.h"
#include "app/Unit1.h"
#include "platform/Color.h"
#include "platform/Fonts.h"
#include "platform/PictureLoader.h"
#include "platform/Shell.h"

#include <QBitmap>
#include <QFrame>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <initializer_list>

namespace {

const QString kWebAddress = QStringLiteral("https://veltroy.example.org/");
const QString kMailAddress = QStringLiteral("veltroy@example.com");
const QString kCredit = QStringLiteral("© 有志一同");

// The emblem with its background colour, that of its bottom-left pixel, cut out;
// the double-size one (device pixel ratio 2) on a screen of more than one device
// pixel per logical pixel.
QPixmap TransparentEmblem(double ratio) {
    QImage emblem;
    if (ratio > 1.0)
        emblem = platform::ReadOwnPicture(QStringLiteral(":/art/2x/EMBLEM@2x.bmp"), "bmp");
    if (emblem.isNull())
        emblem = platform::ReadOwnPicture(QStringLiteral(":/art/EMBLEM.bmp"), "bmp");
    if (emblem.isNull())
        return {};
    QPixmap pixmap = QPixmap::fromImage(emblem);
    const QColor transparent = emblem.pixelColor(0, emblem.height() - 1);
    pixmap.setMask(pixmap.createMaskFromColor(transparent, Qt::MaskInColor));
    return pixmap;
}

} // namespace

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        OnClick)
        OnClick();
}

TOKBottomDlg::TOKBottomDlg(TForm1* form1) : QDialog(form1) {
    setObjectName(QStringLiteral("OKBottomDlg"));
    setWindowTitle(QStringLiteral("about"));
    setFont(platform::UiFont(12));
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    QPalette face = palette();
    face.setColor(QPalette::Window, ColorToQColor(clBtnFace));
    setPalette(face);
    setAutoFillBackground(true);
    CreateControls();
    CentreOnScreen();
    FormCreate();
}

void TOKBottomDlg::CreateControls() {
    Bevel1 = new QFrame(this);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken); // an etched line
    Bevel1->setGeometry(8, 8, 273, 145);

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(16, 16, 80, 68);
    ShowEmblem();

    // Labels in black on the window's face; Label1 in the large font.
    auto label = [this](const char* name, const QString& text, QRect bounds) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(name));
        l->setGeometry(bounds);
        return l;
    };
    Label1 = label("Label1", QStringLiteral("Veltroy"), {88, 24, 136, 19});
    Label1->setFont(platform::UiFont(19));
    Label2 = label("Label2", QStringLiteral("VER x.xx"), {208, 48, 47, 12});
    Label3 = label("Label3", kCredit, {208, 66, 60, 12});
    Label6 = label("Label6", QStringLiteral("Mail to"), {64, 120, 35, 12});

    auto link = [this](const char* name, const QString& text, QRect bounds) {
        auto* l = new TLinkLabel(this);
        l->setObjectName(QLatin1String(name));
        l->setText(text);
        l->setGeometry(bounds);
        l->setCursor(Qt::PointingHandCursor);
        QPalette black = l->palette();
        black.setColor(QPalette::WindowText, Qt::black);
        l->setPalette(black);
        return l;
    };
    Label4 = link("Label4", kWebAddress, {40, 96, 213, 12});
    Label4->OnClick = [this] { Label4Click(); };
    Label5 = link("Label5", kMailAddress, {112, 120, 108, 12});
    Label5->OnClick = [this] { Label5Click(); };

    // Labels grow to their text, as auto-sized labels do; the design bounds
    // are the minimum.
    for (QLabel* l :
         std::initializer_list<QLabel*>{Label1, Label2, Label3, Label4, Label5, Label6}) {
        l->setTextFormat(Qt::PlainText);
        l->resize(std::max(l->width(), l->sizeHint().width()), l->height());
    }

    OKBtn = new QPushButton(QStringLiteral("OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setGeometry(111, 164, 75, 25);
    OKBtn->setDefault(true);
    OKBtn->setAutoDefault(true);
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);
    OKBtn->setFocus();
}

void TOKBottomDlg::FormCreate() {
    Label2->setText(QStringLiteral("Ver 1.0"));
}

void TOKBottomDlg::Label4Click() {
    platform::ShellOpen(Label4->text());
}

void TOKBottomDlg::Label5Click() {
    platform::ShellOpen(QStringLiteral("mailto:") + Label5->text());
}

void TOKBottomDlg::CentreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->geometry();
    move(area.x() + (area.width() - width()) / 2, area.y() + (area.height() - height()) / 2);
}

void TOKBottomDlg::ShowEmblem() {
    const double ratio = devicePixelRatioF();
    if (ratio == EmblemRatio)
        return;
    const QPixmap emblem = TransparentEmblem(ratio);
    if (!emblem.isNull()) {
        Image1->setPixmap(emblem);
        Image1->resize(emblem.deviceIndependentSize().toSize());
        EmblemRatio = ratio;
    }
}

void TOKBottomDlg::showEvent(QShowEvent* event) {
    CentreOnScreen();
    // The window may open on a screen of another scale than it was made for.
    ShowEmblem();
    QDialog::showEvent(event);
}

void TForm1::About1Click() {
    if (OKBottomDlg)
        OKBottomDlg->exec();
    FocusBoard();
}
