// TForm3: the popup's layout, its shape, RESET and the button handler.
#include "match/Unit3.h"

#include "app/Unit1.h"
#include "board/BoardAccessible.h"
#include "platform/Color.h"
#include "platform/Fonts.h"
#include "platform/ImageControl.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWindow>

namespace {

constexpr QSize kClient(317, 165);
constexpr int kPenWidth = 3;
const char* const kTagProperty = "Tag";

// The popup as a screen reader sees it: a dialog named by the text it shows,
// since its title is never on the screen.
QString AccessibleName(const TForm3* popup) {
    const QString shown = popup->Label1->text().simplified();
    return shown.isEmpty() ? popup->windowTitle() : shown;
}

class PopupAccessible : public QAccessibleWidget {
public:
    explicit PopupAccessible(TForm3* popup) : QAccessibleWidget(popup, QAccessible::Dialog) {}
    QString text(QAccessible::Text type) const override {
        if (type == QAccessible::Name)
            return AccessibleName(static_cast<const TForm3*>(widget()));
        return QAccessibleWidget::text(type);
    }
};

QAccessibleInterface* PopupFactory(const QString& key, QObject* object) {
    if (key == QLatin1String("TForm3"))
        return new PopupAccessible(static_cast<TForm3*>(object));
    return nullptr;
}

} // namespace

TForm3::TForm3(TForm1* form1) : QDialog(nullptr), Form1(form1) {
    static const bool accessible = [] {
        QAccessible::installFactory(PopupFactory);
        return true;
    }();
    (void)accessible;
    setWindowTitle(QStringLiteral("ちょっとまっててね!"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setFixedSize(kClient);
    setFont(platform::UiFont(12));
    // Outside the rounded shape the window is cut away.
    QPalette pal = palette();
    pal.setColor(QPalette::Window, ColorToQColor(0x00011400));
    setPalette(pal);

    Shape3 = new TShape(TShape::stRoundRect, ColorToQColor(clLime), kPenWidth,
                        ColorToQColor(clCream), this);
    Shape3->setGeometry(QRect(QPoint(0, 0), kClient));
    setMask(Shape3->Region());

    Label1 = new QLabel(this);
    Label1->setGeometry(0, 0, 312, 177);
    Label1->setWordWrap(true);
    Label1->setFont(platform::UiFont(21, false, true));
    SetWidgetColors(Label1, std::nullopt, ColorToQColor(clGreen));

    Image1 = new TImage(this);
    Image1->setGeometry(41, 49, 48, 48);
    Image1->Stretch = true;
    Image2 = new TImage(this);
    Image2->setGeometry(224, 51, 48, 48);
    Image2->Stretch = true;

    auto makeButton = [this](const QString& caption, QRect bounds, int pixels, bool bold, int tag) {
        auto* button = new QPushButton(caption, this);
        button->setGeometry(bounds);
        button->setFont(platform::UiFont(pixels, bold));
        button->setProperty(kTagProperty, tag);
        button->setAutoDefault(false);
        button->hide();
        connect(button, &QPushButton::clicked, this, [this, button] { BUTTON1Click(button); });
        return button;
    };
    BUTTON2 = makeButton(QStringLiteral("OK"), QRect(112, 88, 89, 49), 32, true, 0);
    BUTTON1 = makeButton(QStringLiteral("先攻一度"), QRect(16, 96, 105, 49), 24, false, 1);
    BUTTON3 = makeButton(QStringLiteral("後攻"), QRect(192, 96, 105, 49), 24, false, -1);

    Image1->hide();
    Image2->hide();
    // The left picture is always the first player's piece, the right one the second's.
    boardaccess::NamePicture(Image1, QStringLiteral("先攻の駒"));
    boardaccess::NamePicture(Image2, QStringLiteral("後攻の駒"));
    SetLabelLayoutTop();

    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

void TForm3::SetLabelLayoutTop() {
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
}

void TForm3::SetLabelLayoutCenter() {
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
}

int TForm3::ButtonTag(const QPushButton* button) {
    return button->property(kTagProperty).toInt();
}

void TForm3::RESET() {
    Tag = modeIdle;
    Shape3->SetBrushColor(ColorToQColor(clCream));
    SetLabelLayoutTop();
    Label1Color = ColorToQColor(clCream);
    Label1->clear();
    for (QPushButton* button : {BUTTON1, BUTTON2, BUTTON3})
        button->hide();
    // The OK button keeps its caption; clearing BUTTON3 also clears the quit marker.
    BUTTON1->setText(QString());
    BUTTON3->setText(QString());
    Image1->hide();
    Image2->hide();
}

void TForm3::BUTTON1Click(QPushButton* sender) {
    const int side = ButtonTag(sender);
    switch (Tag) {
    case modeChoice:
        RESET();
        close();
        Form1->SENKOOK(side);
        break;
    case modeNotice:
        RESET();
        close();
        Form1->setEnabled(true);
        break;
    case modeResult:
        RESET();
        Form1->ENDMESRES(side);
        break;
    case modeResume:
        RESET();
        close();
        Form1->RESUMEANSWER(side);
        break;
    default:
        break;
    }
}

void TForm3::setVisible(bool visible) {
    // Owned by the main window for the window manager (kept above it), but not
    // a child widget: disabling the main window must not disable the popup.
    if (visible && Form1 && Form1->isWindow()) {
        winId();
        Form1->winId();
        if (QWindow* own = windowHandle())
            own->setTransientParent(Form1->windowHandle());
    }
    // Every use shows a new text, which is the popup's name: a screen reader
    // that read an earlier one learns it before the popup comes up.
    if (visible && QAccessible::isActive() && AccessibleName(this) != NameTold) {
        NameTold = AccessibleName(this);
        QAccessibleEvent event(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
    QDialog::setVisible(visible);
    if (visible) {
        raise();
        activateWindow();
        // The first button of a choice, a result or a notice takes the keys.
        for (QPushButton* first : {BUTTON1, BUTTON2}) {
            if (first->isVisibleTo(this)) {
                first->setFocus(Qt::OtherFocusReason);
                break;
            }
        }
    }
}

void TForm3::keyPressEvent(QKeyEvent* event) {
    // Escape must not close the popup behind the match flow's back.
    if (event->key() == Qt::Key_Escape)
        return;
    // Tab and the arrow keys go from button to button; Return presses the
    // focused one (Space does so by itself).
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
        focusNextPrevChild(false);
        return;
    case Qt::Key_Right:
    case Qt::Key_Down:
        focusNextPrevChild(true);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            button && button->isVisible()) {
            button->click();
            return;
        }
        break;
    default:
        break;
    }
    QDialog::keyPressEvent(event);
}
