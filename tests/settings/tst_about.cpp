// Tests of the about window: layout, version text, links through the shell, closing, the menu item.
#include "app/Unit1.h"
#include "platform/Platform.h"
#include "platform/Shell.h"
#include "settings/about.h"

#include <QApplication>
#include <QBitmap>
#include <QFrame>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class AboutTest : public QObject {
    Q_OBJECT
private:
    QStringList opened;

    static void Click(QWidget* widget) {
        QTest::mouseClick(widget, Qt::LeftButton, {}, QPoint(2, widget->height() / 2));
    }

private slots:
    void init() {
        opened.clear();
        platform::SetShellOpenHook([this](const QString& target) { opened << target; });
    }
    void cleanup() { platform::SetShellOpenHook({}); }

    void layout_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("bounds");
        QTest::addColumn<QString>("text"); // "" for controls without text
        QTest::newRow("Bevel1") << "Bevel1" << QRect(8, 8, 273, 145) << "";
        QTest::newRow("Image1") << "Image1" << QRect(16, 16, 80, 68) << "";
        QTest::newRow("Label1") << "Label1" << QRect(88, 24, 136, 19) << "Veltroy";
        QTest::newRow("Label2") << "Label2" << QRect(208, 48, 47, 12) << "Ver 1.0";
        QTest::newRow("Label3") << "Label3" << QRect(208, 66, 60, 12) << "";
        QTest::newRow("Label4") << "Label4" << QRect(40, 96, 213, 12)
                                << "https://veltroy.example.org/";
        QTest::newRow("Label6") << "Label6" << QRect(64, 120, 35, 12) << "Mail to";
        QTest::newRow("Label5") << "Label5" << QRect(112, 120, 108, 12) << "veltroy@example.com";
        QTest::newRow("OKBtn") << "OKBtn" << QRect(111, 164, 75, 25) << "OK";
    }

    // Labels may grow to fit their text, never shrink or move.
    void layout() {
        QFETCH(QString, name);
        QFETCH(QRect, bounds);
        QFETCH(QString, text);
        TOKBottomDlg dialog(nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("about"));
        QCOMPARE(dialog.size(), QSize(286, 200));
        QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
        auto* widget = dialog.findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name + " is missing"));
        const QRect got = widget->geometry();
        QCOMPARE(got.topLeft(), bounds.topLeft());
        QCOMPARE(got.height(), bounds.height());
        QVERIFY2(got.width() >= bounds.width(),
                 qPrintable(QStringLiteral("%1 is %2 wide").arg(name).arg(got.width())));
        QVERIFY2(got.right() <= 280 || name == "Bevel1" || name == "OKBtn",
                 qPrintable(name + " reaches past the frame"));
        if (!text.isEmpty()) {
            if (auto* label = qobject_cast<QLabel*>(widget))
                QCOMPARE(label->text(), text);
            else
                QCOMPARE(qobject_cast<QPushButton*>(widget)->text(), text);
        }
    }

    void emblemIsDrawnTransparently() {
        TOKBottomDlg dialog(nullptr);
        const QPixmap emblem = dialog.Image1->pixmap();
        QCOMPARE(emblem.size(), QSize(80, 68));
        QVERIFY2(!emblem.mask().isNull(), "the emblem has no transparent colour");
        const QImage mask = emblem.mask().toImage();
        QCOMPARE(mask.pixelIndex(0, 67), int(Qt::color0)); // bottom-left: cut out
    }

    void versionIsSetWhenCreated() {
        TOKBottomDlg dialog(nullptr);
        QCOMPARE(dialog.Label2->text(), QStringLiteral("Ver 1.0"));
        for (QLabel* label : dialog.findChildren<QLabel*>())
            QVERIFY2(!label->text().contains(QStringLiteral("x.xx")),
                     qPrintable(label->objectName() + " still shows the design text"));
    }

    void linksOpenTheirTargetsAndLeaveTheWindowOpen_data() {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::newRow("web") << "Label4"
                             << "https://veltroy.example.org/";
        QTest::newRow("mail") << "Label5"
                              << "mailto:veltroy@example.com";
    }
    void linksOpenTheirTargetsAndLeaveTheWindowOpen() {
        QFETCH(QString, link);
        QFETCH(QString, target);
        TOKBottomDlg dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy finished(&dialog, &QDialog::finished);
        auto* label = dialog.findChild<QLabel*>(link);
        QCOMPARE(label->cursor().shape(), Qt::PointingHandCursor);
        Click(label);
        QCOMPARE(opened, QStringList{target});
        QVERIFY2(dialog.isVisible(), "clicking the link closed the window");
        QCOMPARE(finished.count(), 0);
        // A right click or a press dragged off the label opens nothing.
        QTest::mouseClick(label, Qt::RightButton, {}, QPoint(2, 2));
        QTest::mousePress(label, Qt::LeftButton, {}, QPoint(2, 2));
        QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(-20, -20));
        QCOMPARE(opened.size(), 1);
    }

    void okAndEnterClose_data() {
        QTest::addColumn<bool>("enter");
        QTest::newRow("OK clicked") << false;
        QTest::newRow("Enter") << true;
    }
    void okAndEnterClose() {
        QFETCH(bool, enter);
        TOKBottomDlg dialog(nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        if (enter)
            QTest::keyClick(&dialog, Qt::Key_Return);
        else
            QTest::mouseClick(dialog.OKBtn, Qt::LeftButton);
        QVERIFY2(!dialog.isVisible(), "the window is still open");
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(opened.isEmpty());
    }

    // "バージョン情報" shows the program's about window modally; the handler
    // returns once it is closed.
    void aboutMenuShowsTheWindowModally() {
        QTemporaryDir dir;
        platform::SetWorkAreaOverride(QRect(0, 0, 1280, 1024));
        platform::SetSleepHook([](int) {});
        TApplicationWindows windows =
            CreateApplicationWindows(dir.filePath(QStringLiteral("Quorin.INI")));
        TOKBottomDlg* about = windows.OKBottomDlg.get();
        QVERIFY(about && !about->isVisible());
        QCOMPARE(about->Label2->text(), QStringLiteral("Ver 1.0"));
        QCOMPARE(windows.Form1->About1->text(), QStringLiteral("バージョン情報"));
        bool wasModal = false;
        QTimer::singleShot(0, about, [&] {
            wasModal = about->isVisible() && QApplication::activeModalWidget() == about;
            about->OKBtn->click();
        });
        windows.Form1->About1->trigger();
        QVERIFY2(wasModal, "the about window was not shown modally");
        QVERIFY(!about->isVisible());
        platform::SetSleepHook({});
    }
};

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
