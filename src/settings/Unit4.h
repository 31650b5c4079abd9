// TEMPORARY placeholder: the settings dialog TOKRightDlg is being built.
#pragma once
#include <QDialog>
class TForm1;
class TOKRightDlg : public QDialog {
    Q_OBJECT
public:
    explicit TOKRightDlg(TForm1* form1);
};
