// The about window TOKBottomDlg: the emblem, name, version, a credit line and the web and mail
// links.
#pragma once

#include <QDialog>
#include <QLabel>
#include <functional>

class QFrame;
class QPushButton;
class TForm1;

// A label that runs OnClick when clicked with the left button.
class TLinkLabel : public QLabel {
public:
    explicit TLinkLabel(QWidget* parent) : QLabel(parent) {}
    std::function<void()> OnClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class TOKBottomDlg : public QDialog {
    Q_OBJECT
public:
    // Created once at start, hidden; shown modally by TForm1::About1Click.
    explicit TOKBottomDlg(TForm1* form1);

    static constexpr int kClientWidth = 286;
    static constexpr int kClientHeight = 200;

    QFrame* Bevel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    TLinkLabel* Label4 = nullptr;
    QLabel* Label6 = nullptr;
    TLinkLabel* Label5 = nullptr;
    QPushButton* OKBtn = nullptr;

    void FormCreate();
    // Open the web page and a new mail to the address, through the shell.
    void Label4Click();
    void Label5Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void CentreOnScreen();
    // The emblem at the resolution of the window's screen.
    void ShowEmblem();
    double EmblemRatio = 0.0;
};
