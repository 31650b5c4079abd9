// The popup: its shape and controls, RESET, the modes of its one button handler.
#include "app/Unit1.h"
#include "match/Unit3.h"
#include "net/Lanx.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "settings/Unit4.h"

#include <QTimer>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

class PopupTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    TApplicationWindows windows;
    TForm1* form() { return windows.Form1.get(); }
    TForm3* popup() { return windows.Form3.get(); }
    // Sending without a session fails; the failure would end the program.
    int halts = 0;

private slots:
    void init() {
        platform::SetSleepHook([](int) {});
        halts = 0;
        lanx::SetHaltHook([this] { ++halts; });
        platform::SetMessageBoxHook(
            [](const QString&, const QString&, unsigned) { return platform::IDYES; });
        windows = CreateApplicationWindows(dir.filePath(QStringLiteral("Quorin.INI")));
        form()->GRID->SoundF = false;
        form()->show();
    }
    void cleanup() { windows = TApplicationWindows(); }

    void layoutAndShape() {
        TForm3& p = *popup();
        QCOMPARE(p.windowTitle(), QStringLiteral("ちょっとまっててね!"));
        QVERIFY(p.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(p.size(), QSize(317, 165));
        QCOMPARE(p.Label1->geometry(), QRect(0, 0, 312, 177));
        QCOMPARE(p.Image1->geometry(), QRect(41, 49, 48, 48));
        QCOMPARE(p.Image2->geometry(), QRect(224, 51, 48, 48));
        QCOMPARE(p.BUTTON2->geometry(), QRect(112, 88, 89, 49));
        QCOMPARE(p.BUTTON1->geometry(), QRect(16, 96, 105, 49));
        QCOMPARE(p.BUTTON3->geometry(), QRect(192, 96, 105, 49));
        QCOMPARE(p.BUTTON2->text(), QStringLiteral("OK"));
        QCOMPARE(TForm3::ButtonTag(p.BUTTON1), 1);
        QCOMPARE(TForm3::ButtonTag(p.BUTTON2), 0);
        QCOMPARE(TForm3::ButtonTag(p.BUTTON3), -1);
        QVERIFY(p.Label1->font().italic());
        // The rounded corners are cut away; the middle and the edges' centres stay.
        const QRegion shape = p.mask();
        QVERIFY(!shape.contains(QPoint(0, 0)));
        QVERIFY(!shape.contains(QPoint(316, 164)));
        QVERIFY(shape.contains(QPoint(158, 82)));
        QVERIFY(shape.contains(QPoint(158, 1)));
        QVERIFY(shape.contains(QPoint(1, 82)));
        // The window is the quit marker's keeper.
        QCOMPARE(form()->QuitMarkerButton, static_cast<QAbstractButton*>(p.BUTTON3));
    }

    void resetReturnsToIdleAndClearsTheQuitMarker() {
        TForm3& p = *popup();
        p.Tag = TForm3::modeResult;
        p.Shape3->SetBrushColor(Qt::yellow);
        p.Label1->setText(QStringLiteral("あなたの勝ち"));
        p.BUTTON1->setText(QStringLiteral("もう一度"));
        p.BUTTON3->setText(QStringLiteral("終了"));
        p.BUTTON1->show();
        p.BUTTON3->show();
        p.Image1->show();
        p.RESET();
        QCOMPARE(p.Tag, 0);
        QCOMPARE(p.Shape3->BrushColor(), QColor(0xFF, 0xFB, 0xF0));
        QVERIFY(p.Label1->text().isEmpty());
        QVERIFY(p.Label1->alignment() & Qt::AlignTop);
        QVERIFY(p.BUTTON1->isHidden() && p.BUTTON2->isHidden() && p.BUTTON3->isHidden());
        QVERIFY(p.BUTTON1->text().isEmpty() && p.BUTTON3->text().isEmpty());
        QCOMPARE(p.BUTTON2->text(), QStringLiteral("OK"));
        QVERIFY(p.Image1->isHidden() && p.Image2->isHidden());
        // With the marker gone, closing the main window asks again.
        int asked = 0;
        platform::SetMessageBoxHook([&](const QString&, const QString&, unsigned) {
            ++asked;
            return platform::IDNO;
        });
        QVERIFY(!form()->close());
        QCOMPARE(asked, 1);
    }

    void clickInIdleModeDoesNothing() {
        TForm3& p = *popup();
        p.RESET();
        p.show();
        form()->setEnabled(false);
        p.BUTTON1Click(p.BUTTON2);
        p.BUTTON1Click(p.BUTTON1);
        QVERIFY(p.isVisible());
        QVERIFY(!form()->isEnabled());
    }

    void noticeOkClosesAndEnablesTheMainWindow() {
        TForm3& p = *popup();
        // A notice that replaced a choice which had disabled the main window.
        form()->SENKOSET();
        QVERIFY(!form()->isEnabled());
        p.RESET();
        p.Tag = TForm3::modeNotice;
        p.BUTTON2->show();
        QTest::mouseClick(p.BUTTON2, Qt::LeftButton);
        QVERIFY(!p.isVisible());
        QVERIFY(form()->isEnabled());
        QCOMPARE(p.Tag, 0);
    }

    // The popup belongs to the main window for the window manager, so it stays
    // above it, yet keeps working while the main window is disabled; showing it
    // again while it is up brings it to the front.
    void popupIsOwnedByTheMainWindow() {
        TForm3& p = *popup();
        form()->SENKOSET();
        QVERIFY(p.isVisible());
        QVERIFY(!form()->isEnabled());
        QVERIFY(p.isEnabled());
        QVERIFY(p.windowHandle());
        QCOMPARE(p.windowHandle()->transientParent(), form()->windowHandle());
        QVERIFY(!p.parentWidget());
        form()->raise();
        p.show();
        QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget*>(&p));
    }

    void choiceModeAppliesTheChoice() {
        TForm3& p = *popup();
        form()->SENKOSET();
        QCOMPARE(p.Tag, int(TForm3::modeChoice));
        QCOMPARE(p.BUTTON1->text(), QStringLiteral("先攻"));
        QCOMPARE(p.BUTTON3->text(), QStringLiteral("後攻"));
        QVERIFY(p.Image1->isVisibleTo(&p) && p.Image2->isVisibleTo(&p));
        QTest::mouseClick(p.BUTTON3, Qt::LeftButton);
        QVERIFY(!p.isVisible());
        QCOMPARE(form()->MySide, -1);
        QCOMPARE(form()->GRID->Turn, 0);
        QVERIFY(form()->isEnabled());
        QVERIFY(form()->Memo1->toPlainText().contains(QStringLiteral("あなたは後攻を選びました")));
        QCOMPARE(halts, 1); // the "START " found no session to go to
    }

    // The local player's row gets the thick bevel and the hint; its name and
    // count move inside the wider bevel.
    void sidePanelForEachSide() {
        TForm1& f = *form();
        f.MyName = QStringLiteral("太郎");
        f.OpponentName = QStringLiteral("花子");
        for (int side : {+1, -1}) {
            f.MySide = side;
            f.KAISI();
            TPanel* mine = side == +1 ? f.Panel3 : f.Panel4;
            TPanel* theirs = side == +1 ? f.Panel4 : f.Panel3;
            QLabel* myCount = side == +1 ? f.Label1 : f.Label2;
            QCOMPARE(mine->BevelWidth(), 3);
            QCOMPARE(theirs->BevelWidth(), 1);
            QCOMPARE(mine->toolTip(), QStringLiteral("あなたのコマの数です"));
            QCOMPARE(theirs->toolTip(), QStringLiteral("相手のコマの数です"));
            QCOMPARE(myCount->geometry(), QRect(145 - 6 - 31, 6, 31, 39 - 12));
            QCOMPARE(f.Label5->text(), (side == +1 ? f.MyName : f.OpponentName) + "さん");
            QCOMPARE(f.Label6->text(), (side == +1 ? f.OpponentName : f.MyName) + "さん");
            QVERIFY(f.EDIT1->isEnabled());
        }
    }

    // Starting without a name asks for one in the settings dialog; leaving it
    // without a name abandons the start with nothing changed.
    void startWithoutANameOpensTheSettings() {
        QStringList boxes;
        platform::SetMessageBoxHook([&](const QString& text, const QString&, unsigned) {
            boxes << text;
            return platform::IDOK;
        });
        form()->MyName.clear();
        bool dialogShown = false;
        QTimer::singleShot(0, [&] {
            dialogShown = windows.OKRightDlg->isVisible();
            windows.OKRightDlg->reject();
        });
        form()->STARTClick(form()->START);
        QCOMPARE(boxes, QStringList{QStringLiteral("プレーヤーの名前を設定してください")});
        QVERIFY(dialogShown);
        QCOMPARE(form()->START->text(), QStringLiteral("はじめる"));
        QVERIFY(form()->N1->isEnabled());
        QVERIFY(!popup()->isVisible());
        QCOMPARE(halts, 0);
    }
};

QTEST_MAIN(PopupTest)
#include "tst_popup.moc"
