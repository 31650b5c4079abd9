// TEMPORARY placeholder: the settings dialog TOKRightDlg is being built.
#include "settings/Unit4.h"
#include "app/Unit1.h"
TOKRightDlg::TOKRightDlg(TForm1* form1) : QDialog(form1) { setWindowTitle(QStringLiteral("設定")); }
void TForm1::N2Click() {}
