// TOKRightDlg, the settings dialog: edits the player name, pieces, colours, board pattern and
// switches live.
#pragma once

#include "platform/Shape.h"

#include "platform/Color.h"
#include "platform/ImageControl.h"
#include "platform/Panel.h"

#include "settings/StdCtrlsXP.h"

#include <QDialog>
#include <QFileDialog>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QColorDialog;
class QLabel;
class QLineEdit;
class QPushButton;
class TForm1;
class TGRID;

// The file chooser for piece pictures: Qt's own (non-native) file dialog with the
// picture formats' filter list and a preview of the selected file beside the list.
class TOpenPictureDialog : public QFileDialog {
    Q_OBJECT
public:
    explicit TOpenPictureDialog(QWidget* parent = nullptr);
    // The filter list as description|pattern pairs, in order.
    static const QString Filter;
    // Filter converted to Qt's name filters, one per pair, in the same order.
    static QStringList NameFilters(const QString& filter);

    QLabel* Preview = nullptr;
    static constexpr int kPreviewSize = 160;

private:
    void ShowPreview(const QString& path);
};

class TOKRightDlg : public QDialog {
    Q_OBJECT
public:
    // Builds the controls and runs the refresh, which recolours form1.
    explicit TOKRightDlg(TForm1* form1);
    ~TOKRightDlg() override;

    static constexpr int kClientWidth = 423;
    static constexpr int kClientHeight = 398;

    // Controls, named as laid out.
    TXPGroupBox* XPGroupBox3 = nullptr;
    QLineEdit* EDIT1 = nullptr;
    TXPGroupBox* XPGroupBox1 = nullptr;
    TImage* IMAGEAPIC = nullptr;
    QLabel* Label1 = nullptr;
    QPushButton* ButtonSEN = nullptr;
    QPushButton* ButtonAPIC = nullptr;
    TImage* ImageBPIC = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* ButtonATO = nullptr;
    QPushButton* ButtonBPIC = nullptr;
    TShape* ShapePANELCOLOR = nullptr;
    QPushButton* ButtonPANEL = nullptr;
    TShape* ShapePUTOKCOLOR = nullptr;
    QPushButton* ButtonPUTOK = nullptr;
    TShape* ShapeLINECOLOR = nullptr;
    QPushButton* ButtonLINE = nullptr;
    TXPGroupBox* XPGroupBox4 = nullptr;
    TPanel* Panel1 = nullptr;
    TPanel* Panel2 = nullptr;
    TPanel* Panel3 = nullptr;
    TPanel* Panel4 = nullptr;
    TPanel* Panel5 = nullptr;
    TPanel* Panel6 = nullptr;
    TPanel* Panel7 = nullptr;
    TPanel* Panel8 = nullptr;
    // Panel1..Panel8 by tag (= pattern number), and the tile picture inside each.
    std::array<TPanel*, 8> PatternPanels{};
    std::array<TImage*, 8> PatternImages{};
    TXPGroupBox* XPGroupBox2 = nullptr;
    QCheckBox* PUTOK = nullptr;
    QCheckBox* PUTCOUNT = nullptr;
    QCheckBox* SOUNDF = nullptr;
    QPushButton* Buttonreset = nullptr;
    QPushButton* OKBtn = nullptr;
    QPushButton* CancelBtn = nullptr;

    // The colour picker: shows the picker preset with the current colour and
    // returns the confirmed colour, nullopt when cancelled. Tests replace it.
    std::function<std::optional<TColor>(TColor current)> ColorDialog1;
    // The file chooser: preset with a file name; returns the chosen file's full
    // path, nullopt when cancelled. Tests replace it.
    std::function<std::optional<QString>(const QString& fileName)> OpenPictureDialog1;
    // What OK does with a new name while a session is open: KAISI and the
    // "NAME  " message. Tests replace it to count the announcements.
    std::function<void(TForm1& form)> AnnounceName;

    // The real pickers, built but not shown (tests inspect them).
    std::unique_ptr<QColorDialog> CreateColorDialog(TColor current);
    std::unique_ptr<TOpenPictureDialog> CreatePictureDialog(const QString& fileName);

    // Refresh from the settings.
    void FormPaint();
    // Brings every control in line with the settings before the dialog is shown:
    // all pattern panels raised, then FormPaint.
    void ShowCurrentSettings();

    // Handlers.
    void ButtonSENClick();
    void ButtonATOClick();
    void ButtonPANELClick();
    void ButtonPUTOKClick();
    void ButtonLINEClick();
    void ButtonAPICClick();
    void ButtonBPICClick();
    void PanelClick(TPanel* sender);
    void PUTOKClick();
    void PUTCOUNTClick();
    void SOUNDFClick();
    void ButtonresetClick();
    void EDIT1Change();
    // Replaces an Enter by none (it never enters the text).
    void EDIT1KeyPress(QChar& key);
    void OKBtnClick();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void SetTabOrder();
    void RaiseAllPanels();
    // Shows the colour picker for a colour of the board; on confirmation clears
    // picture (when given), stores the colour and refreshes.
    void PickColor(TColor TGRID::*field, QString TGRID::*picture);
    void PickPicture(QString TGRID::*field);
    void CentreOnScreen();

    TForm1* Form1;
};
