// TForm3, the rounded popup: waits, the first-move choice, notices and results.
#pragma once

#include "platform/Shape.h"

#include <QDialog>

class QLabel;
class QPushButton;
class TForm1;
class TImage;

class TForm3 : public QDialog {
    Q_OBJECT
public:
    // Mode held in Tag.
    enum Mode { modeIdle = 0, modeChoice = 1, modeNotice = 2, modeResult = 3, modeResume = 4 };

    explicit TForm3(TForm1* form1);

    TShape* Shape3 = nullptr;
    QLabel* Label1 = nullptr;
    TImage* Image1 = nullptr;
    TImage* Image2 = nullptr;
    QPushButton* BUTTON2 = nullptr;
    QPushButton* BUTTON1 = nullptr;
    QPushButton* BUTTON3 = nullptr;
    int Tag = modeIdle;

    // Label1's vertical layout: top, or centred.
    void SetLabelLayoutTop();
    void SetLabelLayoutCenter();
    // Label1's colour property (the label is transparent, so it does not show).
    QColor Label1Color;

    // Back to idle: no mode, cream shape, empty label, no buttons, no pictures.
    void RESET();
    // The common click handler of the three buttons; sender's tag: +1, 0 or -1.
    void BUTTON1Click(QPushButton* sender);
    // The value a button passes on.
    static int ButtonTag(const QPushButton* button);

    // Shows the popup above the main window that owns it, also when it is
    // already on the screen.
    void setVisible(bool visible) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    TForm1* Form1;
    // The popup's name as a screen reader was last told it.
    QString NameTold;
};
