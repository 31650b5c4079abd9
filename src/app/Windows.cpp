// Creating the program's four windows in their order.
#include "app/Unit1.h"
#include "match/Unit3.h"

#include "settings/Unit4.h"
#include "settings/about.h"
#include <QPushButton>

TApplicationWindows::TApplicationWindows() = default;
TApplicationWindows::TApplicationWindows(TApplicationWindows&&) noexcept = default;

TApplicationWindows& TApplicationWindows::operator=(TApplicationWindows&& other) noexcept {
    if (this != &other) {
        Release();
        Form1 = std::move(other.Form1);
        Form3 = std::move(other.Form3);
        OKRightDlg = std::move(other.OKRightDlg);
        OKBottomDlg = std::move(other.OKBottomDlg);
    }
    return *this;
}

TApplicationWindows::~TApplicationWindows() {
    Release();
}

void TApplicationWindows::Release() {
    // The dialogs go first: the main window refers to them until it is gone.
    if (Form1) {
        Form1->OKBottomDlg = nullptr;
        Form1->OKRightDlg = nullptr;
        Form1->Form3 = nullptr;
        Form1->QuitMarkerButton = nullptr;
    }
    OKBottomDlg.reset();
    OKRightDlg.reset();
    Form3.reset();
    Form1.reset();
}

TApplicationWindows CreateApplicationWindows(const QString& settingsFile) {
    TApplicationWindows w;
    // The main window is first: its creation reads the settings and draws the
    // board while the other windows do not exist yet.
    w.Form1 = std::make_unique<TForm1>(settingsFile);
    w.Form3 = std::make_unique<TForm3>(w.Form1.get());
    w.Form1->Form3 = w.Form3.get();
    w.Form1->QuitMarkerButton = w.Form3->BUTTON3;
    w.OKRightDlg = std::make_unique<TOKRightDlg>(w.Form1.get());
    w.Form1->OKRightDlg = w.OKRightDlg.get();
    w.OKBottomDlg = std::make_unique<TOKBottomDlg>(w.Form1.get());
    w.Form1->OKBottomDlg = w.OKBottomDlg.get();
    return w;
}
