// What a screen reader reads and hears: the board as a table of squares, the
// cursor as the focus, moves as changed names, the popup and the log.
#include "app/Unit1.h"
#include "board/BoardAccessible.h"
#include "match/Unit3.h"
#include "net/Lanx.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#ifdef VELTROY_HAVE_QPA
#include <QtGui/private/qguiapplication_p.h>
#include <QtGui/qpa/qplatformaccessibility.h>
#include <QtGui/qpa/qplatformintegration.h>
#endif

namespace {

// Switches on the platform's accessibility, as a screen reader appearing on
// the bus does; false where this build cannot.
bool ReaderListens() {
#ifdef VELTROY_HAVE_QPA
    if (QPlatformAccessibility* platform =
            QGuiApplicationPrivate::platformIntegration()->accessibility()) {
        platform->setActive(true);
        return QAccessible::isActive();
    }
#endif
    return false;
}

#define LISTEN()                                                                                   \
    do {                                                                                           \
        if (!ReaderListens())                                                                      \
            QSKIP("this build cannot switch the platform's accessibility on");                     \
    } while (0)

struct Heard {
    QAccessible::Event Type;
    QObject* Object;
    int Child;
    QString Text; // the inserted text of a text insertion
};
QList<Heard> heard;

void Record(QAccessibleEvent* event) {
    QString text;
    if (event->type() == QAccessible::TextInserted)
        text = static_cast<QAccessibleTextInsertEvent*>(event)->textInserted();
    heard.push_back({event->type(), event->object(), event->child(), text});
}

// Queries for the board image's interface, answered by the program's own
// factory. (The toolkit itself builds plain interfaces for widgets it shows,
// hides or renames, listener or not.)
int boardQueries = 0;
QAccessibleInterface* CountBoardQueries(const QString& key, QObject* object) {
    if (key == QLatin1String("TImage") && object->objectName() == QLatin1String("Image1"))
        ++boardQueries;
    return nullptr;
}

QList<int> Children(QAccessible::Event type, QObject* object) {
    QList<int> children;
    for (const Heard& h : heard)
        if (h.Type == type && h.Object == object)
            children.push_back(h.Child);
    return children;
}

} // namespace

class AccessibilityTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    TApplicationWindows windows;
    TForm1* form() { return windows.Form1.get(); }
    TForm3* popup() { return windows.Form3.get(); }
    QAccessibleInterface* board() { return QAccessible::queryAccessibleInterface(form()->Image1); }
    QAccessibleInterface* cell(int c, int r) {
        return board()->tableInterface()->cellAt(r - 1, c - 1);
    }
    QStringList names() {
        QStringList all;
        for (int r = 1; r <= GRIDSIZE; ++r)
            for (int c = 1; c <= GRIDSIZE; ++c)
                all << cell(c, r)->text(QAccessible::Name);
        return all;
    }
    // The key cursor's square as a screen reader was last told it.
    TCellPos lastFocus() {
        const QList<int> focus = Children(QAccessible::Focus, form()->Image1);
        for (int r = 1; r <= GRIDSIZE; ++r)
            for (int c = 1; c <= GRIDSIZE; ++c)
                if (!focus.isEmpty() && focus.last() == boardaccess::CellIndex(c, r))
                    return {c, r};
        return {};
    }
    void openWindows() {
        windows = CreateApplicationWindows(dir.filePath(QStringLiteral("Quorin.INI")));
        form()->GRID->SoundF = false;
        form()->show();
        form()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form()));
        form()->FocusBoard();
        QTRY_VERIFY(form()->Image1->hasFocus());
        // What the focus change left queued is done before a test goes on.
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase() {
        QAccessible::installFactory(CountBoardQueries);
        platform::SetSleepHook([](int) {});
        platform::SetMessageBoxHook(
            [](const QString&, const QString&, unsigned) { return platform::IDYES; });
        lanx::SetHaltHook([] {});
    }
    void cleanup() {
        windows = TApplicationWindows();
        QAccessible::installUpdateHandler(nullptr);
        heard.clear();
    }

    // Runs first, while no screen reader has been seen: starting, drawing, the
    // key cursor, the mouse and a move by the opponent build nothing.
    void nothingIsBuiltWhileNoReaderListens() {
        QVERIFY(!QAccessible::isActive());
        QAccessible::installUpdateHandler(Record);
        openWindows();
        QTest::keyClick(form()->Image1, Qt::Key_Home);
        QTest::keyClick(form()->Image1, Qt::Key_Right);
        QTest::mouseMove(form()->Image1, {form()->GRID->COLTOX(5), form()->GRID->ROWTOY(3)});
        form()->MySide = -1;
        form()->RESPUTOK(QStringLiteral("PUTOK 0305"));
        form()->AddLog(QStringLiteral("待機中"));
        form()->Image1->repaint();
        QCOMPARE(boardQueries, 0);
        QCOMPARE(Children(QAccessible::Focus, form()->Image1), QList<int>{});
        QCOMPARE(Children(QAccessible::NameChanged, form()->Image1), QList<int>{});
    }

    void cellNamesSayWhatStandsAndWhatAMoveWouldTake() {
        TGRID g(8, nullptr);
        QCOMPARE(boardaccess::CellName(g, 4, 4), QStringLiteral("4列4行 先攻"));
        QCOMPARE(boardaccess::CellName(g, 5, 4), QStringLiteral("5列4行 後攻"));
        QCOMPARE(boardaccess::CellName(g, 3, 5), QStringLiteral("3列5行 空き"));
        // Legal squares of the side to move; the count only with its assist on.
        g.Turn = +1;
        g.PUTSEARCH();
        QCOMPARE(boardaccess::CellName(g, 3, 5), QStringLiteral("3列5行 空き おけます"));
        QCOMPARE(boardaccess::CellName(g, 3, 4), QStringLiteral("3列4行 空き"));
        g.PutCountF = true;
        QCOMPARE(boardaccess::CellName(g, 3, 5),
                 QStringLiteral("3列5行 空き おけます 1個とれます"));
    }

    // The board is a table of its 64 squares, read row by row after the
    // column numbers, each row after its number; every cell knows its place.
    void boardIsATableOfItsSquares() {
        LISTEN();
        openWindows();
        QAccessibleInterface* table = board();
        QVERIFY(table);
        QCOMPARE(table->role(), QAccessible::Table);
        QCOMPARE(table->text(QAccessible::Name), QStringLiteral("盤"));
        QCOMPARE(table->tableInterface()->rowCount(), 8);
        QCOMPARE(table->tableInterface()->columnCount(), 8);
        QCOMPARE(table->childCount(), 8 + 8 * 9);
        QCOMPARE(table->child(0)->role(), QAccessible::ColumnHeader);
        QCOMPARE(table->child(7)->text(QAccessible::Name), QStringLiteral("8"));
        QCOMPARE(table->child(8)->role(), QAccessible::RowHeader);
        QCOMPARE(table->child(9)->text(QAccessible::Name), QStringLiteral("1列1行 空き"));
        const TGRID& g = *form()->GRID;
        for (int r = 1; r <= 8; ++r) {
            for (int c = 1; c <= 8; ++c) {
                QAccessibleInterface* cell = this->cell(c, r);
                QVERIFY(cell);
                QCOMPARE(cell->role(), QAccessible::Cell);
                QCOMPARE(cell->parent(), table);
                QCOMPARE(table->indexOfChild(cell), boardaccess::CellIndex(c, r));
                QCOMPARE(table->child(boardaccess::CellIndex(c, r)), cell);
                QAccessibleTableCellInterface* place = cell->tableCellInterface();
                QVERIFY(place);
                QCOMPARE(place->rowIndex(), r - 1);
                QCOMPARE(place->columnIndex(), c - 1);
                QCOMPARE(place->rowHeaderCells().value(0)->text(QAccessible::Name),
                         QString::number(r));
                QCOMPARE(place->columnHeaderCells().value(0)->text(QAccessible::Name),
                         QString::number(c));
                // Where it is on the screen: a point on the square finds it.
                const QPoint centre = form()->Image1->mapToGlobal(QPoint(g.COLTOX(c), g.ROWTOY(r)));
                QVERIFY(cell->rect().contains(centre));
                QCOMPARE(cell->rect().width(), g.CellSize);
                QCOMPARE(table->childAt(centre.x(), centre.y()), cell);
            }
        }
        QCOMPARE(cell(4, 4)->text(QAccessible::Name), QStringLiteral("4列4行 先攻"));
        QCOMPARE(cell(4, 5)->text(QAccessible::Name), QStringLiteral("4列5行 後攻"));
        QCOMPARE(table->childAt(form()->Image1->mapToGlobal(QPoint(2, 2)).x(),
                                form()->Image1->mapToGlobal(QPoint(2, 2)).y()),
                 nullptr);
    }

    // The key cursor and the mouse move the focus from square to square; a
    // new board, and the board taking the focus, put it on the cursor's square.
    void focusFollowsTheCursor() {
        LISTEN();
        openWindows();
        QAccessible::installUpdateHandler(Record);
        QObject* image = form()->Image1;
        QTest::keyClick(form()->Image1, Qt::Key_Home);
        QCOMPARE(lastFocus(), (TCellPos{1, 1}));
        QTest::keyClick(form()->Image1, Qt::Key_Right);
        QTest::keyClick(form()->Image1, Qt::Key_Down);
        QCOMPARE(lastFocus(), (TCellPos{2, 2}));
        QAccessibleInterface* focused = board()->focusChild();
        QCOMPARE(focused, cell(2, 2));
        QVERIFY(focused->state().focused);
        QVERIFY(!cell(1, 1)->state().focused);
        // At the edge the cursor stays, and so does the focus: nothing is said.
        QTest::keyClick(form()->Image1, Qt::Key_Up);
        const qsizetype told = Children(QAccessible::Focus, image).size();
        QTest::keyClick(form()->Image1, Qt::Key_Up);
        QCOMPARE(Children(QAccessible::Focus, image).size(), told);

        const TGRID& g = *form()->GRID;
        QTest::mouseMove(form()->Image1, {g.COLTOX(6), g.ROWTOY(3)});
        QCOMPARE(lastFocus(), (TCellPos{6, 3}));
        // Moving within the square says nothing more.
        QTest::mouseMove(form()->Image1, {g.COLTOX(6) + 2, g.ROWTOY(3) + 1});
        QCOMPARE(Children(QAccessible::Focus, image).size(), told + 1);

        form()->RESETGRID();
        QCOMPARE(lastFocus(), (TCellPos{4, 4}));

        // Back from the start button: the board is announced, then its square.
        form()->START->setFocus();
        QTRY_VERIFY(form()->START->hasFocus());
        heard.clear();
        form()->FocusBoard();
        QTRY_COMPARE(lastFocus(), (TCellPos{4, 4}));
        QCOMPARE(Children(QAccessible::Focus, image).first(), -1);
        // Return still plays the cursor's square as a click there would.
        form()->MySide = +1;
        form()->GRID->Turn = +1;
        form()->GRID->PUTSEARCH();
        QTest::keyClick(form()->Image1, Qt::Key_Up);
        QTest::keyClick(form()->Image1, Qt::Key_Right); // (5, 3): legal for the first player
        QCOMPARE(lastFocus(), (TCellPos{5, 3}));
        QCOMPARE(cell(5, 3)->text(QAccessible::Name),
                 QStringLiteral("5列3行 空き おけます 1個とれます"));
        QTest::keyClick(form()->Image1, Qt::Key_Return);
        QCOMPARE(cell(5, 3)->text(QAccessible::Name), QStringLiteral("5列3行 先攻"));
    }

    // The opponent's move: exactly the squares whose name changed are told,
    // once each, and the log's new lines arrive as inserted text.
    void aMoveChangesTheNamesOfTheSquaresItChanges() {
        LISTEN();
        openWindows();
        form()->GRID->PutCountF = true;
        const QStringList before = names();
        QCOMPARE(before.at(8 * 4 + 3), QStringLiteral("4列5行 後攻"));
        QAccessible::installUpdateHandler(Record);
        form()->MySide = -1;
        form()->RESPUTOK(QStringLiteral("PUTOK 0305"));
        const QStringList after = names();
        QCOMPARE(after.at(8 * 4 + 2), QStringLiteral("3列5行 先攻"));
        QCOMPARE(after.at(8 * 4 + 3), QStringLiteral("4列5行 先攻"));
        QCOMPARE(after.at(8 * 3 + 2), QStringLiteral("3列4行 空き おけます 1個とれます"));
        QList<int> changed;
        for (int r = 1; r <= 8; ++r)
            for (int c = 1; c <= 8; ++c)
                if (before.at(8 * (r - 1) + c - 1) != after.at(8 * (r - 1) + c - 1))
                    changed << boardaccess::CellIndex(c, r);
        QList<int> told = Children(QAccessible::NameChanged, form()->Image1);
        std::sort(told.begin(), told.end());
        QCOMPARE(told, changed);

        QString inserted;
        for (const Heard& h : heard)
            if (h.Type == QAccessible::TextInserted && h.Object == form()->Memo1)
                inserted += h.Text;
        QVERIFY2(inserted.contains(QStringLiteral("相手は3  5におきました")), qPrintable(inserted));
        QVERIFY(inserted.contains(QStringLiteral("あなたの番です")));
    }

    // The popup is a dialog named by the text it shows, with its buttons.
    void popupIsADialogNamedByItsText() {
        LISTEN();
        openWindows();
        form()->MySide = +1;
        form()->endMES(2);
        QAccessibleInterface* dialog = QAccessible::queryAccessibleInterface(popup());
        QCOMPARE(dialog->role(), QAccessible::Dialog);
        QCOMPARE(dialog->text(QAccessible::Name), QStringLiteral("あなたの勝ち 2個 2個"));
        QStringList shown;
        for (int i = 0; i < dialog->childCount(); ++i) {
            QAccessibleInterface* child = dialog->child(i);
            if (!child->state().invisible && child->role() != QAccessible::Graphic)
                shown << child->text(QAccessible::Name);
        }
        QVERIFY2(shown.contains(QStringLiteral("もう一度")) &&
                     shown.contains(QStringLiteral("おわる")),
                 qPrintable(shown.join(u'|')));
        QVERIFY(!shown.contains(QStringLiteral("OK")));
        QCOMPARE(QAccessible::queryAccessibleInterface(popup()->Image1)->text(QAccessible::Name),
                 QStringLiteral("先攻の駒"));
        QTRY_VERIFY(QAccessible::queryAccessibleInterface(popup()->BUTTON1)->state().focused);

        // The pass notice replaces it: off the screen, filled anew, shown. A
        // reader that read the result learns the new name; shown again with
        // the same text there is nothing new to say.
        QAccessible::installUpdateHandler(Record);
        popup()->hide();
        popup()->RESET();
        popup()->Tag = TForm3::modeNotice;
        popup()->Label1->setText(QStringLiteral("\r\nパスです"));
        popup()->BUTTON2->show();
        popup()->show();
        QCOMPARE(Children(QAccessible::NameChanged, popup()), QList<int>{-1});
        popup()->show();
        QCOMPARE(Children(QAccessible::NameChanged, popup()), QList<int>{-1});
        QCOMPARE(dialog->text(QAccessible::Name), QStringLiteral("パスです"));
        QCOMPARE(QAccessible::queryAccessibleInterface(popup()->BUTTON2)->role(),
                 QAccessible::Button);
        popup()->RESET();
        QCOMPARE(dialog->text(QAccessible::Name), QStringLiteral("ちょっとまっててね!"));
    }
};

QTEST_MAIN(AccessibilityTest)
#include "tst_accessibility.moc"
