// The modal "セッションの場所" dialog: where to look for sessions.
#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;

// One address field (empty means: search the local network), OK and Cancel.
// OK is the default button, so the dialog is confirmed by accept() or Return;
// another thread finds it by its window title and calls accept() on it.
class LanSessionDialog : public QDialog {
    Q_OBJECT
public:
    static const QString Title;

    explicit LanSessionDialog(QWidget* parent = nullptr);

    // The address as typed, without surrounding blanks.
    QString Address() const;
    // Puts an address in the field, selected, so typing replaces it.
    void SetAddress(const QString& address);

    QLineEdit* AddressEdit = nullptr;
    QPushButton* OkButton = nullptr;
    QPushButton* CancelButton = nullptr;
};
