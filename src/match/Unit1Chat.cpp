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

// The opponent's text from its seventh character, no longer than this side's
// own field lets a person type: *cut tells whether it was longer.
QString Payload(const QString& text, int limit, bool* cut) {
    const QString payload = platform::MidChars(text, 6);
    *cut = platform::CharCount(payload) > limit;
    return *cut ? platform::MidChars(payload, 0, limit) : payload;
}
} // namespace

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
    bool cut = false;
    const QString c = Payload(text, kMaxChatLength, &cut);
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
    if (cut)
        AddLog(QStringLiteral("長すぎるメッセージなので、はじめの%1文字だけを表示しました")
                   .arg(kMaxChatLength));
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::RESNAME(const QString& text) {
    bool cut = false;
    const QString n = Payload(text, kMaxNameLength, &cut);
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
    if (cut)
        AddLog(
            QStringLiteral("長すぎる名前なので、はじめの%1文字だけを使います").arg(kMaxNameLength));
    OpponentName = n;
    KAISI();
    platform::ProcessMessages();
    Form3->show();
    setEnabled(false);
}

void TForm1::SendNAME() {
    SendMatchMessage(QStringLiteral("NAME  ") + MyName);
}
