// Message boxes over QMessageBox, with a hook for tests.
#include "platform/Dialogs.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

namespace platform {

namespace {
MessageBoxHook boxHook;

// A box that Escape and the close button end without pressing any of its
// buttons: a question then has no answer, rather than the answer "no".
class UnansweredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
            QDialog::reject();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override { QDialog::closeEvent(event); }
};
} // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    boxHook = std::move(hook);
}

int MessageBox(QWidget* parent, const QString& text, const QString& caption, unsigned flags) {
    if (boxHook)
        return boxHook(text, caption, flags);

    UnansweredBox box(parent);
    box.setWindowTitle(caption);
    box.setText(text);
    switch (flags & 0xF0) {
    case MB_ICONHAND:
        box.setIcon(QMessageBox::Critical);
        break;
    case MB_ICONQUESTION:
        box.setIcon(QMessageBox::Question);
        break;
    case MB_ICONEXCLAMATION:
        box.setIcon(QMessageBox::Warning);
        break;
    case MB_ICONASTERISK:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    QPushButton* ok = nullptr;
    if ((flags & 0x0F) == MB_YESNO) {
        yes = box.addButton(QStringLiteral("はい(&Y)"), QMessageBox::YesRole);
        no = box.addButton(QStringLiteral("いいえ(&N)"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
    } else {
        ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    }
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked && clicked == yes)
        return IDYES;
    if (clicked && clicked == no)
        return IDNO;
    if (clicked && clicked == ok)
        return IDOK;
    return IDCANCEL;
}

void ShowError(QWidget* parent, const QString& text) {
    MessageBox(parent, text, QStringLiteral("エラー"), MB_OK | MB_ICONHAND);
}

} // namespace platform
