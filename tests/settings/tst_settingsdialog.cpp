// The settings dialog: layout, live editing, OK and Cancel through N2Click, the pickers and the
// name change.
#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "settings/Unit4.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class SettingsDialogTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    std::optional<TApplicationWindows> w;
    QStringList messages;
    int announced = 0;

    QString ini() const { return dir.filePath(QStringLiteral("Quorin.INI")); }
    TForm1* form() const { return w->Form1.get(); }
    TOKRightDlg* dlg() const { return w->OKRightDlg.get(); }
    QByteArray fileBytes() const {
        QFile f(ini());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString picture(const char* name, const QColor& color) const {
        const QString path = dir.filePath(QLatin1String(name));
        QImage image(12, 12, QImage::Format_RGB32);
        image.fill(color);
        image.save(path, "BMP");
        return path;
    }
    void create() {
        w.emplace(CreateApplicationWindows(ini()));
        dlg()->AnnounceName = [this](TForm1&) { ++announced; };
        // No test may open a real picker.
        dlg()->ColorDialog1 = [](TColor) -> std::optional<TColor> {
            qFatal("colour picker opened without a test answer");
        };
        dlg()->OpenPictureDialog1 = [](const QString&) -> std::optional<QString> {
            qFatal("file chooser opened without a test answer");
        };
    }
    // Runs N2Click; once the dialog is up, script acts on it and must close it.
    void openDialog(const std::function<void(TOKRightDlg&)>& script) {
        bool ran = false;
        bool leftOpen = false;
        QTimer::singleShot(0, dlg(), [&] {
            ran = true;
            QVERIFY2(dlg()->isVisible(), "N2Click did not show the dialog");
            script(*dlg());
        });
        QTimer guard;
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, dlg(), [&] {
            leftOpen = dlg()->isVisible();
            dlg()->reject();
        });
        guard.start(10000);
        form()->N2Click();
        QVERIFY2(ran, "the dialog's script never ran");
        QVERIFY2(!leftOpen, "the script left the dialog open");
        QVERIFY(!dlg()->isVisible());
    }
    QList<TPanel*> loweredPanels() const {
        QList<TPanel*> out;
        for (TPanel* p : dlg()->PatternPanels) {
            if (p->BevelOuter() == TPanel::bvLowered && p->BevelInner() == TPanel::bvLowered)
                out << p;
            else if (p->BevelOuter() != TPanel::bvRaised || p->BevelInner() != TPanel::bvRaised)
                qWarning("%s has mixed bevels", qPrintable(p->objectName()));
        }
        return out;
    }
    // A pixel of the board image that shows the background (bottom-right corner,
    // beside or below the square board), and what tile pattern would put there.
    QRgb boardBackgroundPixel() const {
        TImage* image = form()->Image1;
        return image->Canvas().pixel(image->width() - 1, image->height() - 1);
    }
    QRgb tilePixel(int pattern) const {
        TImage* image = form()->Image1;
        return form()->ImageList1[pattern].pixel((image->width() - 1) % 60,
                                                 (image->height() - 1) % 60);
    }

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        platform::SetSleepHook([](int) {});
        platform::SetMessageBoxHook([this](const QString& text, const QString&, unsigned) {
            messages << text;
            return platform::IDOK;
        });
    }
    void init() {
        QFile::remove(ini());
        messages.clear();
        announced = 0;
    }
    void cleanup() { w.reset(); }
    void cleanupTestCase() { platform::SetMessageBoxHook({}); }

    void controlsAreLaidOutAsDesigned() {
        create();
        TOKRightDlg& d = *dlg();
        QCOMPARE(d.windowTitle(), QStringLiteral("設定"));
        QCOMPARE(d.size(), QSize(423, 398));
        QCOMPARE(d.minimumSize(), d.maximumSize());

        struct Row {
            const char* name;
            const char* parent;
            QRect bounds;
            const char* caption;
            const char* hint;
        };
        const Row rows[] = {
            {"XPGroupBox3", "OKRightDlg", {8, 8, 401, 57}, "プレーヤーの名前", ""},
            {"EDIT1", "XPGroupBox3", {16, 24, 361, 20}, "", "プレーやの名前を指定してください"},
            {"XPGroupBox1", "OKRightDlg", {8, 73, 401, 217}, "色の設定", ""},
            {"IMAGEAPIC", "XPGroupBox1", {16, 24, 41, 41}, "", ""},
            {"Label1", "XPGroupBox1", {64, 40, 24, 12}, "先攻", ""},
            {"ButtonSEN", "XPGroupBox1", {96, 32, 41, 25}, "色...", "先攻の駒の色を指定できます"},
            {"ButtonAPIC",
             "XPGroupBox1",
             {144, 32, 41, 25},
             "画像...",
             "先攻の駒の画像を指定できます"},
            {"ImageBPIC", "XPGroupBox1", {16, 72, 41, 41}, "", ""},
            {"Label2", "XPGroupBox1", {64, 88, 24, 12}, "後攻", ""},
            {"ButtonATO", "XPGroupBox1", {96, 80, 41, 25}, "色...", "後攻の駒の色を指定できます"},
            {"ButtonBPIC",
             "XPGroupBox1",
             {144, 80, 41, 25},
             "画像...",
             "後攻の駒の画像を指定できます"},
            {"ShapePANELCOLOR", "XPGroupBox1", {16, 120, 41, 25}, "", ""},
            {"ButtonPANEL",
             "XPGroupBox1",
             {64, 120, 81, 25},
             "パネルの色...",
             "右側のゲームパネルの色を指定できます"},
            {"ShapePUTOKCOLOR", "XPGroupBox1", {16, 152, 41, 25}, "", ""},
            {"ButtonPUTOK",
             "XPGroupBox1",
             {64, 152, 81, 25},
             "駒が置ける色...",
             "駒が置けるところの色を指定できます"},
            {"ShapeLINECOLOR", "XPGroupBox1", {16, 184, 41, 25}, "", ""},
            {"ButtonLINE",
             "XPGroupBox1",
             {64, 184, 81, 25},
             "線の色...",
             "線およびフォントの色を指定できます"},
            {"XPGroupBox4",
             "XPGroupBox1",
             {232, 16, 129, 185},
             "ボードの模様",
             "ゲームの盤の模様を指定できます"},
            {"Panel1", "XPGroupBox4", {24, 16, 33, 33}, "", ""},
            {"Panel2", "XPGroupBox4", {24, 56, 33, 33}, "", ""},
            {"Panel3", "XPGroupBox4", {24, 96, 33, 33}, "", ""},
            {"Panel4", "XPGroupBox4", {24, 136, 33, 33}, "", ""},
            {"Panel5", "XPGroupBox4", {80, 16, 33, 33}, "", ""},
            {"Panel6", "XPGroupBox4", {80, 56, 33, 33}, "", ""},
            {"Panel7", "XPGroupBox4", {80, 96, 33, 33}, "", ""},
            {"Panel8", "XPGroupBox4", {80, 136, 33, 33}, "", ""},
            {"XPGroupBox2", "OKRightDlg", {8, 296, 225, 97}, "補助機能", ""},
            {"PUTOK", "XPGroupBox2", {8, 16, 177, 25}, "駒が置けるところの色を変える", ""},
            {"PUTCOUNT", "XPGroupBox2", {8, 40, 145, 25}, "取れる駒の数を表示", ""},
            {"SOUNDF", "XPGroupBox2", {8, 64, 145, 25}, "サウンドON", ""},
            {"Buttonreset",
             "OKRightDlg",
             {340, 312, 75, 25},
             "リセット",
             "すべての設定を初期状態に戻します"},
            {"OKBtn", "OKRightDlg", {244, 352, 75, 25}, "OK", "設定を保存します"},
            {"CancelBtn", "OKRightDlg", {340, 350, 75, 25}, "キャンセル", "設定を破棄します"},
        };
        for (const Row& r : rows) {
            const QString name = QString::fromUtf8(r.name);
            auto* widget = d.findChild<QWidget*>(name);
            QVERIFY2(widget, qPrintable(name + " is missing"));
            QCOMPARE(widget->parentWidget()->objectName(), QString::fromUtf8(r.parent));
            if (widget->geometry() != r.bounds)
                QFAIL(qPrintable(QStringLiteral("%1 at %2,%3 %4x%5")
                                     .arg(name)
                                     .arg(widget->x())
                                     .arg(widget->y())
                                     .arg(widget->width())
                                     .arg(widget->height())));
            QString caption;
            if (auto* b = qobject_cast<QAbstractButton*>(widget))
                caption = b->text();
            else if (auto* g = qobject_cast<QGroupBox*>(widget))
                caption = g->title();
            else if (auto* l = qobject_cast<QLabel*>(widget))
                caption = l->text();
            QCOMPARE(caption, QString::fromUtf8(r.caption));
            QCOMPARE(widget->toolTip(), QString::fromUtf8(r.hint));
        }
        QVERIFY(d.OKBtn->isDefault());
        QCOMPARE(d.EDIT1->maxLength(), TForm1::kMaxNameLength);

        // Pattern panels: the tile unscaled from its top-left, in a disabled 29 x 29
        // picture inside the bevels.
        for (int tag = 0; tag < 8; ++tag) {
            TImage* image = d.PatternImages[tag];
            QCOMPARE(image->parentWidget(), d.PatternPanels[tag]);
            QCOMPARE(image->geometry(), QRect(2, 2, 29, 29));
            QVERIFY(!image->isEnabled());
            QCOMPARE(image->Canvas(), form()->ImageList1[tag]);
        }
    }

    void tabOrderFollowsTheDesign() {
        create();
        TOKRightDlg& d = *dlg();
        const QList<QWidget*> expected = {d.EDIT1,       d.ButtonSEN,  d.ButtonATO,  d.ButtonPANEL,
                                          d.ButtonPUTOK, d.ButtonLINE, d.ButtonAPIC, d.ButtonBPIC,
                                          d.PUTOK,       d.PUTCOUNT,   d.SOUNDF,     d.OKBtn,
                                          d.CancelBtn,   d.Buttonreset};
        QList<QWidget*> chain;
        QWidget* at = d.EDIT1;
        do {
            if (at->focusPolicy() & Qt::TabFocus)
                chain << at;
            at = at->nextInFocusChain();
        } while (at != d.EDIT1 && chain.size() < 50);
        QCOMPARE(chain, expected);
    }

    void resetThenOkNeedsAName() {
        create();
        form()->MyName = QStringLiteral("花子");
        openDialog([&](TOKRightDlg& d) {
            d.Buttonreset->click();
            QCOMPARE(d.EDIT1->text(), QString());
            QCOMPARE(form()->GRID->PanelColor, clTeal);
            d.OKBtn->click();
            QCOMPARE(messages, QStringList{QStringLiteral("プレーヤーの名前を設定してください")});
            QVERIFY2(d.isVisible(), "OK with an empty name closed the dialog");
            QTest::keyClicks(d.EDIT1, QStringLiteral("Taro"));
            QCOMPARE(form()->MyName, QStringLiteral("Taro"));
            d.OKBtn->click();
        });
        QCOMPARE(dlg()->result(), int(QDialog::Accepted));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(fileBytes().contains("MYNAME=\"Taro\""), fileBytes().constData());
    }

    void resetRestoresEveryDefault() {
        QFile f(ini());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[NAME]\nMYNAME=x\n[COLOR]\nBMP=3\nPANELCOLOR=clRed\nACOLOR=clLime\nBCOLOR=clAqua\n"
                "LINECOLOR=clBlack\nPUTCOLOR=clNavy\nAPICNAME=/a.bmp\nBPICNAME=/b.bmp\n"
                "[PUT]\nPUTOKF=0\nSOUNDF=0\nPUTCOUNTF=0\n");
        f.close();
        create();
        QVERIFY(!dlg()->ButtonPUTOK->isEnabled()); // the loaded PUTOKF=0 shows at creation
        QCOMPARE(loweredPanels(), QList<TPanel*>{dlg()->Panel4});
        const QByteArray before = fileBytes();
        dlg()->ButtonresetClick();
        const TGRID& g = *form()->GRID;
        QCOMPARE(form()->MyName, QString());
        QCOMPARE(form()->BMPINDEX, 0);
        QCOMPARE(g.PanelColor, clTeal);
        QCOMPARE(g.AColor, clRed);
        QCOMPARE(g.BColor, clBlue);
        QCOMPARE(g.PutColor, clGreen);
        QCOMPARE(g.LineColor, clWhite);
        QVERIFY(g.PutOkF && g.SoundF && g.PutCountF);
        QVERIFY(g.APicName.isEmpty() && g.BPicName.isEmpty());
        QVERIFY(dlg()->PUTOK->isChecked() && dlg()->ButtonPUTOK->isEnabled());
        QCOMPARE(loweredPanels(), QList<TPanel*>{dlg()->Panel1});
        QCOMPARE(fileBytes(), before);
    }

    void colourButtonsPresetStoreAndRefresh_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("field");   // index into the colour fields below
        QTest::addColumn<int>("picture"); // 0 none, 1 APicName, 2 BPicName
        QTest::addColumn<QString>("shape");
        QTest::newRow("first player") << "ButtonSEN" << 0 << 1 << "";
        QTest::newRow("second player") << "ButtonATO" << 1 << 2 << "";
        QTest::newRow("panel") << "ButtonPANEL" << 2 << 0 << "ShapePANELCOLOR";
        QTest::newRow("legal squares") << "ButtonPUTOK" << 3 << 0 << "ShapePUTOKCOLOR";
        QTest::newRow("lines") << "ButtonLINE" << 4 << 0 << "ShapeLINECOLOR";
    }
    void colourButtonsPresetStoreAndRefresh() {
        QFETCH(QString, button);
        QFETCH(int, field);
        QFETCH(int, picture);
        QFETCH(QString, shape);
        create();
        TColor TGRID::*const fields[] = {&TGRID::AColor, &TGRID::BColor, &TGRID::PanelColor,
                                         &TGRID::PutColor, &TGRID::LineColor};
        TGRID& g = *form()->GRID;
        g.APicName = picture == 1 ? this->picture("a.bmp", Qt::yellow) : QString();
        g.BPicName = picture == 2 ? this->picture("b.bmp", Qt::yellow) : QString();
        const TColor before = g.*fields[field];
        const TColor picked = RGB(64, 128, 255);
        std::optional<TColor> answer;
        QList<TColor> presets;
        dlg()->ColorDialog1 = [&](TColor current) {
            presets << current;
            return answer;
        };
        auto* b = dlg()->findChild<QPushButton*>(button);

        // Cancelled: nothing changes.
        const QString aPic = g.APicName, bPic = g.BPicName;
        b->click();
        QCOMPARE(presets, QList<TColor>{before});
        QCOMPARE(g.*fields[field], before);
        QCOMPARE(g.APicName, aPic);
        QCOMPARE(g.BPicName, bPic);

        answer = picked;
        b->click();
        QCOMPARE(g.*fields[field], picked);
        // A piece colour drops that side's picture, so the colour shows.
        QCOMPARE(g.APicName.isEmpty(), picture == 1 || aPic.isEmpty());
        QCOMPARE(g.BPicName.isEmpty(), picture == 2 || bPic.isEmpty());
        if (!shape.isEmpty())
            QCOMPARE(dlg()->findChild<TShape*>(shape)->BrushColor(), ColorToQColor(picked));
        if (field == 2)
            QCOMPARE(form()->Panel2->Color(), ColorToQColor(picked));
        if (field < 2) {
            // The piece preview shows the new colour at its centre.
            TImage* preview = field == 0 ? dlg()->IMAGEAPIC : dlg()->ImageBPIC;
            const QColor centre = preview->Canvas().pixelColor(20, 20);
            QVERIFY2(centre.blue() > centre.red() && centre.blue() > 100,
                     qPrintable(centre.name()));
        }
    }

    void pictureChoiceKeepsTheColour() {
        create();
        TGRID& g = *form()->GRID;
        const QString path = picture("yellow.bmp", Qt::yellow);
        QList<QString> presets;
        std::optional<QString> answer;
        dlg()->OpenPictureDialog1 = [&](const QString& name) {
            presets << name;
            return answer;
        };
        dlg()->ButtonAPICClick();
        QVERIFY(g.APicName.isEmpty());
        answer = path;
        dlg()->ButtonAPICClick();
        QCOMPARE(presets, (QList<QString>{QString(), QString()}));
        QCOMPARE(g.APicName, path);
        QCOMPARE(g.AColor, clRed);
        const QColor centre = dlg()->IMAGEAPIC->Canvas().pixelColor(20, 20);
        QVERIFY2(centre.red() > 150 && centre.green() > 150 && centre.blue() < 100,
                 qPrintable("the preview does not show the picture: " + centre.name()));
        // The second side, preset with its current name.
        g.BPicName = path;
        answer = std::nullopt;
        dlg()->ButtonBPICClick();
        QCOMPARE(presets.last(), path);
        QCOMPARE(g.BPicName, path);
        QCOMPARE(g.BColor, clBlue);
    }

    void pickersArePresetAndFiltered() {
        create();
        const std::unique_ptr<QColorDialog> colour = dlg()->CreateColorDialog(RGB(1, 2, 3));
        QCOMPARE(colour->currentColor(), QColor(1, 2, 3));

        const QString path = picture("big.bmp", Qt::red);
        const std::unique_ptr<TOpenPictureDialog> files = dlg()->CreatePictureDialog(path);
        QVERIFY(files->testOption(QFileDialog::DontUseNativeDialog));
        const QStringList descriptions = {"すべてのファイル (*.jpg;*.jpeg;*.bmp;*.ico;*.emf;*.wmf)",
                                          "JPEG イメージファイル (*.jpg)",
                                          "JPEG イメージファイル (*.jpeg)",
                                          "ビットマップ (*.bmp)",
                                          "アイコン (*.ico)",
                                          "エンハンス メタファイル (*.emf)",
                                          "メタファイル (*.wmf)",
                                          "全て"};
        const QStringList patterns = {"*.jpg *.jpeg *.bmp *.ico *.emf *.wmf",
                                      "*.jpg",
                                      "*.jpeg",
                                      "*.bmp",
                                      "*.ico",
                                      "*.emf",
                                      "*.wmf",
                                      "*.*"};
        QStringList expected;
        for (int i = 0; i < descriptions.size(); ++i)
            expected << descriptions[i] + " (" + patterns[i] + ")";
        QCOMPARE(files->nameFilters(), expected);
        // Qt names the selected filter by the text shown, the description.
        QCOMPARE(files->selectedNameFilter(), descriptions.first());
        auto* model = files->findChild<QFileSystemModel*>();
        QVERIFY(model);
        QCOMPARE(model->nameFilters(), patterns.first().split(' '));
        // The list the user sees carries the descriptions unchanged.
        auto* combo = files->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QVERIFY(combo);
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemText(i);
        QCOMPARE(shown, descriptions);
        QCOMPARE(combo->currentIndex(), 0);

        QCOMPARE(files->directory().absolutePath(), QFileInfo(path).absolutePath());
        QCOMPARE(files->selectedFiles(), QStringList{path});
        // The preview shows the file under the cursor.
        emit files->currentChanged(path);
        QVERIFY(files->Preview->isVisibleTo(files.get()));
        const QImage shownPicture = files->Preview->pixmap().toImage();
        QCOMPARE(shownPicture.size(), QSize(12, 12));
        QCOMPARE(shownPicture.pixelColor(5, 5), QColor(Qt::red));
        if (const QByteArray out = qgetenv("VELTROY_SCREENSHOT_DIR"); !out.isEmpty()) {
            files->resize(760, 420);
            files->grab().save(QString::fromLocal8Bit(out) +
                               QStringLiteral("/picture-chooser.png"));
        }
        emit files->currentChanged(dir.path());
        QVERIFY(files->Preview->pixmap().isNull());
    }

    void liveEditsAndCancelRestore_data() {
        QTest::addColumn<int>("how"); // 0 CancelBtn, 1 Escape, 2 close box
        QTest::newRow("cancel button") << 0;
        QTest::newRow("escape") << 1;
        QTest::newRow("close box") << 2;
    }
    void liveEditsAndCancelRestore() {
        QFETCH(int, how);
        create();
        form()->MyName = QStringLiteral("太郎");
        QVERIFY(form()->SAVEINI());
        const QByteArray saved = fileBytes();
        const QRgb tile0 = tilePixel(0);
        QCOMPARE(boardBackgroundPixel(), tile0);
        dlg()->ColorDialog1 = [](TColor) { return std::optional<TColor>(RGB(200, 10, 10)); };
        openDialog([&](TOKRightDlg& d) {
            d.ButtonPANEL->click();
            QCOMPARE(form()->Panel2->Color(), QColor(200, 10, 10));
            QCOMPARE(form()->Panel3->Color(), QColor(200, 10, 10));
            d.ButtonLINE->click();
            QCOMPARE(form()->Label5->palette().color(QPalette::WindowText), QColor(200, 10, 10));
            d.PanelClick(d.Panel6);
            QCOMPARE(boardBackgroundPixel(), tilePixel(5));
            d.SOUNDF->click();
            QVERIFY(!form()->GRID->SoundF);
            d.EDIT1->setText(QStringLiteral("次郎"));
            if (how == 0)
                d.CancelBtn->click();
            else if (how == 1)
                QTest::keyClick(&d, Qt::Key_Escape);
            else
                d.close();
        });
        QCOMPARE(dlg()->result(), int(QDialog::Rejected));
        const TGRID& g = *form()->GRID;
        QCOMPARE(form()->MyName, QStringLiteral("太郎"));
        QCOMPARE(form()->BMPINDEX, 0);
        QCOMPARE(g.PanelColor, clTeal);
        QCOMPARE(g.LineColor, clWhite);
        QVERIFY(g.SoundF);
        QCOMPARE(form()->Panel2->Color(), ColorToQColor(clTeal));
        QCOMPARE(form()->Label5->palette().color(QPalette::WindowText), QColor(Qt::white));
        QCOMPARE(boardBackgroundPixel(), tile0);
        QCOMPARE(fileBytes(), saved);
        QCOMPARE(announced, 0);
    }

    void reopeningShowsTheCurrentSettings() {
        create();
        form()->MyName = QStringLiteral("太郎");
        dlg()->ColorDialog1 = [](TColor) { return std::optional<TColor>(RGB(1, 2, 3)); };
        openDialog([&](TOKRightDlg& d) {
            d.PanelClick(d.Panel6);
            d.PUTOK->click();
            d.SOUNDF->click();
            d.ButtonPANEL->click();
            QTest::keyClicks(d.EDIT1, QStringLiteral("x"));
            d.reject();
        });
        openDialog([&](TOKRightDlg& d) {
            QCOMPARE(d.EDIT1->text(), QStringLiteral("太郎"));
            QVERIFY(d.PUTOK->isChecked());
            QVERIFY(d.ButtonPUTOK->isEnabled());
            QVERIFY(d.SOUNDF->isChecked());
            QCOMPARE(d.ShapePANELCOLOR->BrushColor(), ColorToQColor(clTeal));
            QCOMPARE(loweredPanels(), QList<TPanel*>{d.Panel1});
            d.reject();
        });
    }

    void patternPanelsShowTheChoice() {
        create();
        TOKRightDlg& d = *dlg();
        d.show();
        QVERIFY(QTest::qWaitForWindowExposed(&d));
        QCOMPARE(loweredPanels(), QList<TPanel*>{d.Panel1});
        // A click on the tile picture reaches its panel.
        QTest::mouseClick(d.PatternImages[5], Qt::LeftButton, {}, QPoint(10, 10));
        QCOMPARE(form()->BMPINDEX, 5);
        QCOMPARE(loweredPanels(), QList<TPanel*>{d.Panel6});
        QCOMPARE(boardBackgroundPixel(), tilePixel(5));
        QTest::mouseClick(d.Panel3, Qt::LeftButton, {}, QPoint(1, 1));
        QCOMPARE(form()->BMPINDEX, 2);
        QCOMPARE(loweredPanels(), QList<TPanel*>{d.Panel3});
        d.hide();

        // A number outside 0..7 highlights no panel.
        form()->BMPINDEX = 12;
        d.ShowCurrentSettings();
        QCOMPARE(loweredPanels(), QList<TPanel*>{});
        form()->BMPINDEX = -1;
        d.ShowCurrentSettings();
        QCOMPARE(loweredPanels(), QList<TPanel*>{});
    }

    void putOkSwitchesItsColourButton() {
        create();
        TOKRightDlg& d = *dlg();
        QVERIFY(d.ButtonPUTOK->isEnabled());
        d.PUTOK->click();
        QVERIFY(!d.PUTOK->isChecked());
        QVERIFY(!d.ButtonPUTOK->isEnabled());
        QVERIFY(!form()->GRID->PutOkF);
        d.PUTOK->click();
        QVERIFY(d.ButtonPUTOK->isEnabled());
        QVERIFY(form()->GRID->PutOkF);
        d.PUTCOUNT->click();
        QVERIFY(!form()->GRID->PutCountF);
        // The refresh sets a box to a changed setting as a click would.
        form()->GRID->PutOkF = false;
        d.FormPaint();
        QVERIFY(!d.PUTOK->isChecked());
        QVERIFY(!d.ButtonPUTOK->isEnabled());
    }

    void enterInTheNameField_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("named") << "太郎";
        QTest::newRow("empty") << "";
    }
    void enterInTheNameField() {
        QFETCH(QString, name);
        create();
        bool closedByEnter = false;
        openDialog([&](TOKRightDlg& d) {
            d.EDIT1->setText(name);
            QTest::keyClick(d.EDIT1, Qt::Key_Return);
            closedByEnter = !d.isVisible();
            QCOMPARE(d.EDIT1->text(), name);
            if (!closedByEnter)
                d.reject();
        });
        if (name.isEmpty()) {
            QVERIFY2(!closedByEnter, "Enter with an empty name closed the dialog");
            QCOMPARE(messages, QStringList{QStringLiteral("プレーヤーの名前を設定してください")});
        } else {
            QVERIFY2(closedByEnter, "Enter did not act on OK");
            QCOMPARE(dlg()->result(), int(QDialog::Accepted));
            QVERIFY(messages.isEmpty());
            QVERIFY(fileBytes().contains("MYNAME=\"太郎\""));
        }
    }

    void nameChangeIsAnnouncedOnlyInASession_data() {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QStringList>("typed"); // names set one after the other
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("expected");
        const QString on = QStringLiteral("やめる");
        const QString off = QStringLiteral("はじめる");
        QTest::newRow("rename in a session") << on << QStringList{"次郎"} << true << 1;
        QTest::newRow("letter case counts") << on << QStringList{"taro"} << true << 1;
        QTest::newRow("rename, no session") << off << QStringList{"次郎"} << true << 0;
        QTest::newRow("rename and back") << on << QStringList{"次郎", "Taro"} << true << 0;
        QTest::newRow("rename, cancel") << on << QStringList{"次郎"} << false << 0;
        QTest::newRow("unchanged") << on << QStringList{} << true << 0;
    }
    void nameChangeIsAnnouncedOnlyInASession() {
        QFETCH(QString, start);
        QFETCH(QStringList, typed);
        QFETCH(bool, ok);
        QFETCH(int, expected);
        create();
        form()->MyName = QStringLiteral("Taro");
        form()->START->setText(start);
        QString nameWhenAnnounced;
        dlg()->AnnounceName = [&](TForm1& f) {
            ++announced;
            nameWhenAnnounced = f.MyName;
            // Saved before the opponent hears of it.
            QVERIFY(fileBytes().contains(("MYNAME=\"" + f.MyName + "\"").toUtf8()));
        };
        openDialog([&](TOKRightDlg& d) {
            for (const QString& n : typed)
                d.EDIT1->setText(n);
            ok ? d.OKBtn->click() : d.CancelBtn->click();
        });
        QCOMPARE(announced, expected);
        if (expected)
            QCOMPARE(nameWhenAnnounced, typed.last());
    }

    void screenshotMatchesTheLayout() {
        create();
        TOKRightDlg& d = *dlg();
        form()->GRID->PutColor = RGB(10, 200, 30);
        d.ShowCurrentSettings();
        const QImage shot = d.grab().toImage();
        if (const QByteArray out = qgetenv("VELTROY_SCREENSHOT_DIR"); !out.isEmpty())
            shot.save(QString::fromLocal8Bit(out) + QStringLiteral("/settings-dialog.png"));
        auto at = [&](QWidget* widget, QPoint p) { return shot.pixelColor(widget->mapTo(&d, p)); };
        // Shapes: black outline, filled inside.
        QCOMPARE(at(d.ShapePUTOKCOLOR, {0, 0}), QColor(Qt::black));
        QCOMPARE(at(d.ShapePUTOKCOLOR, {20, 12}), QColor(10, 200, 30));
        QCOMPARE(at(d.ShapePANELCOLOR, {20, 12}), ColorToQColor(clTeal));
        // Pattern pictures show their tile's top-left unscaled.
        for (int tag : {0, 7})
            QCOMPARE(at(d.PatternImages[tag], {3, 4}).rgb(), form()->ImageList1[tag].pixel(3, 4));
    }
};

QTEST_MAIN(SettingsDialogTest)
#include "tst_settingsdialog.moc"
