// The main window: its controls as laid out, live re-fitting, minimum sizes and closing.
#include "app/Unit1.h"
#include "net/Lanx.h"
#include "platform/Desktop.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"
#include "platform/Sound.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class MainWindowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir;
    QString ini() const { return dir.filePath(QStringLiteral("Quorin.INI")); }
    struct Box {
        QString Text, Caption;
        unsigned Flags;
    };
    QList<Box> boxes;
    int answer = platform::IDYES;

private slots:
    void init() {
        QFile::remove(ini());
        boxes.clear();
        answer = platform::IDYES;
        platform::SetWorkAreaOverride(QRect(0, 0, 1280, 1024));
        platform::SetSleepHook([](int) {});
        lanx::SetHaltHook([] { QFAIL("the session component ended the program"); });
        platform::SetMessageBoxHook([this](const QString& t, const QString& c, unsigned f) {
            boxes.push_back({t, c, f});
            return answer;
        });
    }
    void cleanup() {
        platform::SetMessageBoxHook({});
        platform::SetSleepHook({});
    }

    // Runs first, while no image has been read in this process: building and
    // showing the main window under the program's style reads its pictures with
    // the built-in readers alone, loading no image format plugin; and the board
    // is drawn once at creation, at the size the window then shows it at, for
    // the design size and for a stored one.
    void startsWithoutImagePluginsAndDrawsTheBoardOnce_data() {
        QTest::addColumn<QSize>("stored");
        QTest::addColumn<QSize>("board");
        QTest::newRow("design") << QSize() << QSize(371, 345);
        QTest::newRow("stored") << QSize(700, 500) << QSize(530, 452);
    }
    void startsWithoutImagePluginsAndDrawsTheBoardOnce() {
        QFETCH(QSize, stored);
        QFETCH(QSize, board);
        QApplication::setStyle(platform::ProgramStyle());
        if (stored.isValid()) {
            QFile file(ini());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QStringLiteral("[Form]\r\nWidth=%1\r\nHeight=%2\r\n")
                           .arg(stored.width())
                           .arg(stored.height())
                           .toLatin1());
        }
        TForm1 form(ini());
        QCOMPARE(form.Image1->Canvas().size(), board);
        const qint64 drawn = form.Image1->Canvas().cacheKey();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.Image1->size(), board);
        QCOMPARE(form.Image1->Canvas().cacheKey(), drawn);
        // The background holds the tiles drawn, not the whole work area.
        QCOMPARE(form.BACKBMP.size(),
                 QSize((board.width() / 60 + 1) * 60, (board.height() / 60 + 1) * 60));

        QFile maps(QStringLiteral("/proc/self/maps"));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        QVERIFY(!maps.readAll().contains("imageformats/"));
    }

    // The background grows with the board, up to the work area: a board grown
    // after start is drawn as one that started at that size, and a board larger
    // than the work area stays blank beyond it.
    void backgroundGrowsWithTheBoardUpToTheWorkArea() {
        QFile file(ini());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Form]\r\nWidth=700\r\nHeight=500\r\n");
        file.close();
        QImage started;
        QSize outer;
        {
            TForm1 form(ini());
            started = form.Image1->Canvas().copy();
            outer = form.size();
        }
        QVERIFY(QFile::remove(ini()));
        TForm1 form(ini());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.resize(outer);
        QTRY_COMPARE(form.Image1->size(), QSize(530, 452));
        QCOMPARE(form.BACKBMP.size(), QSize(540, 480));
        QCOMPARE(form.Image1->Canvas(), started);

        platform::SetWorkAreaOverride(QRect(0, 0, 500, 400));
        TForm1 small(ini());
        small.resize(outer);
        small.show();
        QVERIFY(QTest::qWaitForWindowExposed(&small));
        QTRY_COMPARE(small.Image1->size(), QSize(530, 452));
        QCOMPARE(small.BACKBMP.size(), QSize(500, 400));
        QCOMPARE(small.Image1->Canvas().size(), QSize(500, 400));
    }

    // The program's style reads a standard icon when it is first used, and it
    // is then the toolkit style's own.
    void styleGivesTheToolkitsStandardIcons() {
        std::unique_ptr<QStyle> style(platform::ProgramStyle());
        const QStyle* toolkit = qobject_cast<QProxyStyle*>(style.get())->baseStyle();
        for (auto which : {QStyle::SP_ToolBarHorizontalExtensionButton,
                           QStyle::SP_MessageBoxQuestion, QStyle::SP_DialogOkButton}) {
            const QIcon deferred = style->standardIcon(which);
            const QIcon own = toolkit->standardIcon(which);
            QVERIFY(!deferred.isNull());
            QCOMPARE(deferred.availableSizes(), own.availableSizes());
            QCOMPARE(deferred.pixmap(QSize(16, 16)).toImage(), own.pixmap(QSize(16, 16)).toImage());
        }
    }

    void controlsAreLaidOutAtDesignSize() {
        TForm1 form(ini());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.windowTitle(), QStringLiteral("Veltroy"));
        QCOMPARE(form.centralWidget()->size(), QSize(533, 347));
        QCOMPARE(form.Panel2->size(), QSize(157, 347));
        QCOMPARE(form.Panel1->size(), QSize(373, 347));
        QCOMPARE(form.Image1->geometry(), QRect(1, 1, 371, 345));

        struct Placed {
            QWidget* Control;
            QRect Bounds;
        };
        const Placed placed[] = {
            {form.START, {16, 16, 129, 41}},  {form.Panel3, {8, 68, 145, 39}},
            {form.Panel4, {8, 116, 145, 39}}, {form.Memo1, {8, 160, 145, 142}},
            {form.EDIT1, {8, 312, 145, 20}},  {form.ImageA, {80, 3, 31, 31}},
            {form.ImageB, {80, 3, 31, 31}},   {form.Label5, {2, 2, 79, 35}},
            {form.Label6, {2, 2, 80, 35}},    {form.Label1, {112, 2, 31, 35}},
        };
        for (const Placed& p : placed)
            QVERIFY2(p.Control->geometry() == p.Bounds,
                     qPrintable(p.Control->objectName() + QStringLiteral(" misplaced")));
    }

    void captionsFontsAndHints() {
        TForm1 form(ini());
        QCOMPARE(form.START->text(), QStringLiteral("はじめる"));
        QCOMPARE(form.START->font().pixelSize(), 19);
        QCOMPARE(form.Label5->text(), QStringLiteral("あなた"));
        QCOMPARE(form.Label6->text(), QStringLiteral("相手"));
        QVERIFY(form.Label5->font().bold());
        QCOMPARE(form.Label5->font().pixelSize(), 16);
        QCOMPARE(form.Label1->font().pixelSize(), 18);
        QVERIFY(form.Label1->alignment() & Qt::AlignRight);
        QCOMPARE(form.Memo1->font().pixelSize(), 13);
        QVERIFY(form.Memo1->isReadOnly());
        QVERIFY(form.font().families().contains(QStringLiteral("IPAPGothic")));
        QCOMPARE(form.font().pixelSize(), 12);
        QCOMPARE(form.Memo1->toolTip(), QStringLiteral("ゲームの進行状況が表記されます"));
        QCOMPARE(form.EDIT1->toolTip(),
                 QStringLiteral(
                     "メッセージを入力してダブルクリック又はエンターキーで相手に送信できます"));

        QCOMPARE(form.File1->title(), QStringLiteral("ファイル"));
        QCOMPARE(form.N1->text(), QStringLiteral("はじめる"));
        QCOMPARE(form.N2->text(), QStringLiteral("設定..."));
        QCOMPARE(form.N3->text(), QStringLiteral("おわる..."));
        QCOMPARE(form.Help1->title(), QStringLiteral("ヘルプ"));
        QCOMPARE(form.About1->text(), QStringLiteral("バージョン情報"));
    }

    void chatBoxHoldsTheCannedPhrases() {
        TForm1 form(ini());
        QVERIFY(!form.EDIT1->isEnabled());
        QVERIFY(form.EDIT1->isEditable());
        QVERIFY(!form.EDIT1->completer());
        QCOMPARE(form.EDIT1->count(), 22);
        QCOMPARE(form.EDIT1->itemText(0), QStringLiteral("どうしたの？"));
        QCOMPARE(form.EDIT1->itemText(8), QStringLiteral("この勝負もらった "));
        QCOMPARE(form.EDIT1->itemText(13), QStringLiteral("なにやってんの "));
        QCOMPARE(form.EDIT1->itemText(21), QStringLiteral("ありがとう"));
        QVERIFY(form.EDIT1->currentText().isEmpty());
    }

    void startsInTheStartingPosition() {
        TForm1 form(ini());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.GRID->Turn, 0);
        QCOMPARE(form.Label1->text(), QStringLiteral("2"));
        QCOMPARE(form.Label2->text(), QStringLiteral("2"));
        QVERIFY(form.Memo1->toPlainText().isEmpty());
        QCOMPARE(form.GRID->Cells[4][4].State, 1);
        QCOMPARE(form.GRID->Cells[5][4].State, -1);
    }

    void boardRefitsLiveOnResizeAndSplitter() {
        TForm1 form(ini());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        // 371 x 345: span 315, cell 39, left (371 - 315) / 2, top (345 - 315) / 2.
        QCOMPARE(form.GRID->CellSize, 39);
        QCOMPARE(form.GRID->BoardRect.Left, 28);
        QCOMPARE(form.GRID->BoardRect.Top, 15);

        form.resize(form.width() + 200, form.height() + 100);
        QTRY_COMPARE(form.Image1->size(), QSize(571, 445));
        QCOMPARE(form.Panel2->width(), 157); // the side panel keeps its width
        QCOMPARE(form.GRID->CellSize, (445 - 30) / 8);
        QCOMPARE(form.GRID->BoardRect.Left, (571 - 415) / 2);

        // Dragging the splitter left widens the side panel and narrows the board.
        form.Splitter1->setSizes({form.centralWidget()->width() - 3 - 328, 328});
        QTRY_COMPARE(form.Panel2->width(), 328);
        QCOMPARE(form.Image1->width(), 733 - 3 - 328 - 2);
        QCOMPARE(form.GRID->CellSize, (400 - 30) / 8);
        QCOMPARE(form.START->width(), 129 + 328 - 157); // anchored left and right
    }

    void minimumSizes() {
        TForm1 form(ini());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.resize(10, 10);
        QTRY_VERIFY(form.width() + TForm1::kFrameWidth >= 276);
        QVERIFY(form.height() + TForm1::kFrameHeight >= 274);
        QVERIFY(form.Image1->width() >= 107);
        QVERIFY(form.Image1->height() >= 149);
        QVERIFY(form.Panel2->width() >= 157);
        form.Splitter1->setSizes({2000, 0});
        QTRY_VERIFY(form.Panel2->width() >= 157);
        form.Splitter1->setSizes({0, 2000});
        QTRY_VERIFY(form.Image1->width() >= 107);
    }

    void unreadablePictureIsReportedOncePerFile() {
        const QString bad = dir.filePath(QStringLiteral("broken.jpg"));
        {
            QFile f(bad);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("not a picture at all");
        }
        {
            QFile f(ini());
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QStringLiteral("[COLOR]\nAPICNAME=\"%1\"\n").arg(bad).toUtf8());
        }
        TForm1 form(ini());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QTRY_COMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].Text.contains(bad), qPrintable(boxes[0].Text));
        // The side falls back to its colour piece and the board is drawn.
        QCOMPARE(form.Label1->text(), QStringLiteral("2"));
        QVERIFY(!form.GRID->PieceA.isNull());
        // Re-fitting the board does not repeat the message.
        form.resize(form.width() + 40, form.height() + 40);
        QTRY_COMPARE(form.Image1->width(), 371 + 40);
        QTest::qWait(20);
        QCOMPARE(boxes.size(), 1);
        QFile::remove(ini());
    }

    void closingAsks() {
        TForm1 form(ini());
        form.show();
        answer = platform::IDNO;
        QVERIFY(!form.close());
        QVERIFY(form.isVisible());
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].Text, QStringLiteral("おわりますか"));
        QCOMPARE(boxes[0].Caption, QStringLiteral("確認"));
        QCOMPARE(boxes[0].Flags, unsigned(platform::MB_YESNO | platform::MB_ICONQUESTION));
        QVERIFY(!QFile::exists(ini())); // nothing saved while the window stays

        answer = platform::IDCANCEL; // any other way out of the box lets it close
        QVERIFY(form.close());
        QVERIFY(QFile::exists(ini()));
    }

    // The real question box: only "いいえ(&N)" answers no; Escape and the close
    // box end it without an answer, which lets the closing go ahead.
    void closingQuestionBoxAnswers_data() {
        QTest::addColumn<int>("key"); // 0: the window's close box
        QTest::addColumn<int>("result");
        QTest::newRow("n") << int(Qt::Key_N) << int(platform::IDNO);
        QTest::newRow("y") << int(Qt::Key_Y) << int(platform::IDYES);
        QTest::newRow("Return") << int(Qt::Key_Return) << int(platform::IDYES);
        QTest::newRow("Escape") << int(Qt::Key_Escape) << int(platform::IDCANCEL);
        QTest::newRow("close box") << 0 << int(platform::IDCANCEL);
    }
    void closingQuestionBoxAnswers() {
        QFETCH(int, key);
        QFETCH(int, result);
        platform::SetMessageBoxHook({});
        TForm1 form(ini());
        form.show();
        QTimer::singleShot(0, [key] {
            QWidget* box = QApplication::activeModalWidget();
            QVERIFY(box);
            if (key)
                QTest::keyClick(box, Qt::Key(key));
            else
                box->close();
        });
        const int answer =
            platform::MessageBox(&form, QStringLiteral("おわりますか"), QStringLiteral("確認"),
                                 platform::MB_YESNO | platform::MB_ICONQUESTION);
        QCOMPARE(answer, result);
    }

    void closingBeepsOnlyWithSound() {
        QStringList sounds;
        platform::SetSoundObserver([&](const QString& name, bool) { sounds << name; });
        for (bool soundOn : {true, false}) {
            sounds.clear();
            TForm1 form(ini());
            form.GRID->SoundF = soundOn;
            form.show();
            answer = platform::IDNO;
            QVERIFY(!form.close());
            QCOMPARE(sounds, soundOn ? QStringList{QStringLiteral("BEEP48")} : QStringList());
            QCOMPARE(boxes.size(), soundOn ? 1 : 2);
        }
        platform::SetSoundObserver({});
    }

    void quitMarkerClosesWithoutAsking() {
        TForm1 form(ini());
        QPushButton marker(QStringLiteral("終了"));
        form.QuitMarkerButton = &marker;
        form.show();
        QVERIFY(form.close());
        QVERIFY(boxes.isEmpty());

        TForm1 again(ini());
        marker.setText(QString()); // a reset popup asks again
        again.QuitMarkerButton = &marker;
        again.show();
        QVERIFY(again.close());
        QCOMPARE(boxes.size(), 1);
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
