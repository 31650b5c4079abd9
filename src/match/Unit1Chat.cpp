// TForm1's chat and name change.
#include "app/Unit1.h"

#include "match/Unit3.h"
#include "platform/CodePage.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "platform/Sound.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace {
const QString kCRLF = QStringLiteral("\r\n");
}

void TForm1::Edit1KeyPress(QChar& key) {
    if (START->text() != QStringLiteral("やめる") || key != QChar(13) ||
        EDIT1->currentText().isEmpty())
        return;
    key = QChar(0);
    EDIT1DblClick();
}

void TForm1::EDIT1DblClick() {
    const QString text = EDIT1->currentText();
    if (START->text() != QStringLiteral("やめる") || text.isEmpty())
        return;
    if (GRID->SoundF)
        platform::MessageBeep(platform::MB_ICONASTERISK);
    SendMatchMessage(QStringLiteral("CHAT  ") + text);
    AddLog(QLatin1Char('"') + text + QLatin1Char('"') + QStringLiteral("を送信しました"));
    EDIT1->setCurrentIndex(-1);
    EDIT1->setEditText(QString());
}

void TForm1::RESCHAT(const QString& text) {
    const QString c = platform::MidChars(text, 6);
    BringToFront();
    Form3->RESET();
    Form3->Tag = TForm3::modeNotice;
    Form3->Label1->setText(OpponentName + QStringLiteral("さんからの") + kCRLF +
                           QStringLiteral("メッセージを受信しました") + kCRLF +
                           QStringLiteral("「") + c + QStringLiteral("」"));
    Form3->SetLabelLayoutTop();
    Form3->BUTTON2->show();
    if (GRID->SoundF)
        platform::PlaySound(QStringLiteral("PIPIWAV"), false);
    AddLog(OpponentName + QStringLiteral("さんからのメッセージを受信しました") + kCRLF +
           QStringLiteral("「") + c + QStringLiteral("」"));
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::RESNAME(const QString& text) {
    const QString n = platform::MidChars(text, 6);
    BringToFront();
    Form3->RESET();
    Form3->Tag = TForm3::modeNotice;
    Form3->Label1->setText(OpponentName + QStringLiteral("さんが") + kCRLF +
                           QStringLiteral("名前を変えました") + kCRLF +
                           QStringLiteral("あたらしい名前 ") + n);
    Form3->SetLabelLayoutTop();
    Form3->BUTTON2->show();
    if (GRID->SoundF)
        platform::PlaySound(QStringLiteral("PIPIWAV"), false);
    AddLog(OpponentName + QStringLiteral("さんが名前を変えました") + kCRLF +
           QStringLiteral("あたらしい名前「") + n + QStringLiteral("」"));
    OpponentName = n;
    KAISI();
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::SendNAME() {
    SendMatchMessage(QStringLiteral("NAME  ") + MyName);
}
