// The settings store: defaults, the file's forms, the window placement and the error paths.
#include "app/Unit1.h"
#include "net/Lanx.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

class SettingsTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QStringList errors;
    // A work area that does not start at the origin, to catch mixed-up edges.
    const QRect wa{50, 30, 1024, 700};

    QString ini() const { return dir.filePath(QStringLiteral("Quorin.INI")); }
    void writeIni(const QByteArray& text) {
        QFile f(ini());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    }
    QString readIni() const {
        QFile f(ini());
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    static QStringList lines(const QString& text) {
        QStringList out;
        for (const QString& l : text.split(QRegularExpression(QStringLiteral("\r?\n"))))
            if (!l.isEmpty())
                out << l;
        return out;
    }

private slots:
    void init() {
        QFile::remove(ini());
        errors.clear();
        platform::SetWorkAreaOverride(wa);
        platform::SetSleepHook([](int) {});
        lanx::SetHaltHook([] { QFAIL("the session component ended the program"); });
        platform::SetMessageBoxHook([this](const QString& text, const QString&, unsigned) {
            errors << text;
            return platform::IDYES;
        });
    }
    void cleanup() { platform::SetMessageBoxHook({}); }

    void noFileGivesTheDefaults() {
        TForm1 form(ini());
        const TGRID& g = *form.GRID;
        QCOMPARE(form.MyName, QString());
        QCOMPARE(form.BMPINDEX, 0);
        QCOMPARE(g.PanelColor, clTeal);
        QCOMPARE(g.AColor, clRed);
        QCOMPARE(g.BColor, clBlue);
        QCOMPARE(g.PutColor, clGreen);
        QCOMPARE(g.LineColor, clWhite);
        QVERIFY(g.PutOkF && g.PutCountF && g.SoundF);
        QVERIFY(g.APicName.isEmpty() && g.BPicName.isEmpty());
        QCOMPARE(form.OuterBounds(), QRect(wa.left() + 200, wa.top() + 200, 541, 393));
        QCOMPARE(form.WindowStateValue(), 0);
        QVERIFY(errors.isEmpty());
        // The colours reach the window.
        QCOMPARE(form.Panel2->Color(), QColor(0, 128, 128));
        QCOMPARE(form.Memo1->palette().color(QPalette::Text), QColor(Qt::white));
        QCOMPARE(form.Label5->palette().color(QPalette::WindowText), QColor(Qt::white));
    }

    void saveWritesAFreshFileInOrder() {
        {
            TForm1 form(ini());
            form.MyName = QStringLiteral("  太郎 ");
            form.GRID->AColor = RGB(64, 128, 255);
            form.GRID->BColor = RGB(0, 128, 128);
            form.GRID->SoundF = false;
            form.GRID->APicName = QStringLiteral("/tmp/a b.jpg");
            QVERIFY(form.SAVEINI());
        }
        const QStringList expected = {"[NAME]",
                                      "MYNAME=\"  太郎 \"",
                                      "[COLOR]",
                                      "BMP=0",
                                      "PANELCOLOR=\"clTeal\"",
                                      "ACOLOR=\"$00FF8040\"",
                                      "BCOLOR=\"clTeal\"",
                                      "LINECOLOR=\"clWhite\"",
                                      "PUTCOLOR=\"clGreen\"",
                                      "APICNAME=\"/tmp/a b.jpg\"",
                                      "BPICNAME=\"\"",
                                      "[PUT]",
                                      "PUTOKF=1",
                                      "SOUNDF=0",
                                      "PUTCOUNTF=1",
                                      "[Form]",
                                      "WindowState=0",
                                      "Top=230",
                                      "Left=250",
                                      "Width=541",
                                      "Height=393",
                                      "[LAN]",
                                      "ADDRESS=\"\""};
        QCOMPARE(lines(readIni()), expected);

        TForm1 again(ini());
        QCOMPARE(again.MyName, QStringLiteral("  太郎 "));
        QCOMPARE(again.GRID->AColor, RGB(64, 128, 255));
        QCOMPARE(again.GRID->BColor, clTeal);
        QVERIFY(!again.GRID->SoundF);
        QCOMPARE(again.GRID->APicName, QStringLiteral("/tmp/a b.jpg"));
    }

    void handEditedValuesAreRead() {
        writeIni("[color]\r\nPanelColor = clteal\r\nacolor=$000080FF\r\nBCOLOR=255\r\n"
                 "bmp=12\r\n[put]\r\nsoundf=0\r\nputokf=yes\r\n[form]\r\nwindowstate=7\r\n");
        TForm1 form(ini());
        QCOMPARE(form.GRID->PanelColor, clTeal);
        QCOMPARE(form.GRID->AColor, TColor(0x000080FF));
        QCOMPARE(form.GRID->BColor, TColor(255));
        QCOMPARE(form.BMPINDEX, 12); // stored unchanged; drawn as pattern 0
        QVERIFY(!form.GRID->SoundF);
        QVERIFY(form.GRID->PutOkF); // not an integer: the default
        QCOMPARE(form.WindowStateValue(), 0);
        QVERIFY(errors.isEmpty());
        QVERIFY(form.SAVEINI());
        QVERIFY(readIni().contains(QStringLiteral("bmp=12")));
    }

    void badColourStopsLoadingWithDefaultsForTheRest() {
        writeIni("[NAME]\nMYNAME=\"Ann\"\n[COLOR]\nPANELCOLOR=clNavy\nACOLOR=banana\n"
                 "BCOLOR=clLime\n[PUT]\nSOUNDF=0\n");
        TForm1 form(ini());
        QCOMPARE(errors, QStringList{QStringLiteral("'banana' は整数ではありません")});
        QCOMPARE(form.MyName, QStringLiteral("Ann"));
        QCOMPARE(form.GRID->PanelColor, clNavy); // read before the bad key
        QCOMPARE(form.GRID->AColor, clRed);      // the rest: defaults, never black
        QCOMPARE(form.GRID->BColor, clBlue);
        QCOMPARE(form.GRID->LineColor, clWhite);
        QCOMPARE(form.GRID->PutColor, clGreen);
        QVERIFY(form.GRID->SoundF);
        QCOMPARE(form.OuterBounds(), QRect(wa.left() + 200, wa.top() + 200, 541, 393));
    }

    void unwritableFileIsReported() {
        // The user's configuration folder appears with the first save.
        const QString fresh = dir.filePath(QStringLiteral("config/veltroy/Quorin.INI"));
        QVERIFY(TForm1(fresh).SAVEINI());
        QVERIFY(QFile::exists(fresh));
        // A plain file where the folder should be: the folder cannot be made.
        QFile blocker(dir.filePath(QStringLiteral("blocker")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        const QString bad = blocker.fileName() + QStringLiteral("/veltroy/Quorin.INI");
        TForm1 form(bad);
        QVERIFY(!form.SAVEINI());
        QCOMPARE(errors, QStringList{bad + QStringLiteral(" に書き込めません")});
    }

    void placementIsClampedToTheWorkArea_data() {
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("top");
        QTest::addColumn<QPoint>("placed");
        const int right = wa.x() + wa.width(), bottom = wa.y() + wa.height();
        QTest::newRow("far right") << 5000 << 100 << QPoint(wa.left(), 100);
        QTest::newRow("right - 100 stays") << right - 100 << 100 << QPoint(right - 100, 100);
        QTest::newRow("right - 99 moves") << right - 99 << 100 << QPoint(wa.left(), 100);
        QTest::newRow("left - 100 stays") << wa.left() - 100 << 100 << QPoint(wa.left() - 100, 100);
        QTest::newRow("left - 101 moves") << wa.left() - 101 << 100 << QPoint(wa.left(), 100);
        QTest::newRow("top - 100 stays") << 100 << wa.top() - 100 << QPoint(100, wa.top() - 100);
        QTest::newRow("top - 101 moves") << 100 << wa.top() - 101 << QPoint(100, wa.top());
        QTest::newRow("bottom - 100 stays") << 100 << bottom - 100 << QPoint(100, bottom - 100);
        QTest::newRow("bottom - 99 moves") << 100 << bottom - 99 << QPoint(100, wa.top());
    }
    void placementIsClampedToTheWorkArea() {
        QFETCH(int, left);
        QFETCH(int, top);
        QFETCH(QPoint, placed);
        writeIni(QStringLiteral("[Form]\nTop=%1\nLeft=%2\nWidth=700\nHeight=500\n")
                     .arg(top)
                     .arg(left)
                     .toUtf8());
        TForm1 form(ini());
        QCOMPARE(form.OuterBounds(), QRect(placed, QSize(700, 500)));
    }

    void maximisedAndMinimisedKeepTheNormalBounds() {
        writeIni("[Form]\nTop=120\nLeft=140\nWidth=600\nHeight=450\n");
        {
            TForm1 form(ini());
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            form.setWindowState(Qt::WindowMaximized);
            QTRY_COMPARE(form.WindowStateValue(), 2);
            QVERIFY(form.SAVEINI());
        }
        QString text = readIni();
        QVERIFY(text.contains(QStringLiteral("WindowState=2")));
        QVERIFY(text.contains(QStringLiteral("Top=120")));
        QVERIFY(text.contains(QStringLiteral("Width=600")));
        {
            TForm1 form(ini());
            QCOMPARE(form.WindowStateValue(), 2);
            QCOMPARE(form.OuterBounds(), QRect(140, 120, 600, 450));
        }
        writeIni("[Form]\nTop=120\nLeft=140\nWidth=600\nHeight=450\nWindowState=1\n");
        TForm1 form(ini());
        QCOMPARE(form.WindowStateValue(), 1);
    }

    void sessionAddressIsKeptAndOldFilesLoadUnchanged() {
        // A file written before the address existed: read as before, untouched.
        const QByteArray old = "[NAME]\r\nMYNAME=\"Bo\"\r\n[PUT]\r\nSOUNDF=0\r\n";
        writeIni(old);
        {
            TForm1 form(ini());
            QCOMPARE(form.SessionAddress, QString());
            QCOMPARE(form.MyName, QStringLiteral("Bo"));
            QVERIFY(!form.GRID->SoundF);
            QCOMPARE(readIni().toUtf8(), old);
            form.SessionAddress = QStringLiteral(" pc-02.example:43517 ");
            QVERIFY(form.SAVEINI());
        }
        QVERIFY(
            readIni().contains(QStringLiteral("[LAN]\r\nADDRESS=\" pc-02.example:43517 \"\r\n")));
        TForm1 again(ini());
        QCOMPARE(again.SessionAddress, QStringLiteral(" pc-02.example:43517 "));
        QVERIFY(errors.isEmpty());
    }

    void newGameLoadMovesNothing() {
        writeIni("[Form]\nTop=120\nLeft=140\nWidth=600\nHeight=450\n[NAME]\nMYNAME=Bo\n");
        TForm1 form(ini());
        form.move(300, 310);
        form.resize(640, 480);
        QVERIFY(form.LOADINI(false));
        QCOMPARE(form.pos(), QPoint(300, 310));
        QCOMPARE(form.size(), QSize(640, 480));
        QCOMPARE(form.MyName, QStringLiteral("Bo"));
    }
};

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
