// TEMPORARY placeholder: the about window TOKBottomDlg is being built.
#include "settings/about.h"
#include "app/Unit1.h"
TOKBottomDlg::TOKBottomDlg(TForm1* form1) : QDialog(form1) { setWindowTitle(QStringLiteral("about")); }
void TForm1::About1Click() {}
