// TEMPORARY placeholder: the about window TOKBottomDlg is being built.
#pragma once
#include <QDialog>
class TForm1;
class TOKBottomDlg : public QDialog {
    Q_OBJECT
public:
    explicit TOKBottomDlg(TForm1* form1);
};
