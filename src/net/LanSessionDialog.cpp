// The session-location dialog of the LAN transport.
#include "net/LanSessionDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

const QString LanSessionDialog::Title = QStringLiteral("セッションの場所");

LanSessionDialog::LanSessionDialog(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("LanSessionDialog"));
    setWindowTitle(Title);
    setModal(true);

    auto* label = new QLabel(QStringLiteral("セッションのホストのアドレスを入力してください。"
                                            "空欄のときはローカル ネットワークを検索します。"),
                             this);
    label->setWordWrap(true);
    AddressEdit = new QLineEdit(this);
    AddressEdit->setObjectName(QStringLiteral("AddressEdit"));
    label->setBuddy(AddressEdit);

    auto* buttons = new QDialogButtonBox(this);
    OkButton = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    OkButton->setObjectName(QStringLiteral("OkButton"));
    CancelButton = buttons->addButton(QStringLiteral("キャンセル"), QDialogButtonBox::RejectRole);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    OkButton->setDefault(true);
    OkButton->setAutoDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    layout->addWidget(AddressEdit);
    layout->addWidget(buttons);
    resize(360, sizeHint().height());
}

QString LanSessionDialog::Address() const {
    return AddressEdit->text().trimmed();
}

void LanSessionDialog::SetAddress(const QString& address) {
    AddressEdit->setText(address);
    AddressEdit->selectAll();
}
