// Match-flow test bench: several programs in one process, paired over the loopback LAN.
#pragma once

#include "../board/BoardTestUtil.h"
#include "GameScript.h"
#include "app/Unit1.h"
#include "match/Unit3.h"
#include "net/LanDiscovery.h"
#include "net/LanTransport.h"
#include "net/Lanx.h"
#include "platform/Dialogs.h"
#include "platform/Platform.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <vector>

// Runs a helper that may fail the test, and leaves the test function if it did.
#define CHECKED(call)                                                                              \
    do {                                                                                           \
        call;                                                                                      \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (0)

namespace matchtest {

// Generous bounds: a pairing searches, joins and waits through shortened sleeps.
constexpr int kWaitMs = 20000;

const QString kCRLF = QStringLiteral("\r\n");

// ---- One program -------------------------------------------------------------

// A program as a person starts it: its four windows from its own settings file.
// Arriving match messages pass a gate that a test can close, to hold them "on
// the wire" (delivered later, in order, as on a slow network).
class Program {
public:
    Program(const QString& settingsFile, const QString& name, const QString& appGuid) : Name(name) {
        // The player's name is set and the sound is off, as a person would leave them.
        QFile ini(settingsFile);
        if (ini.open(QIODevice::WriteOnly))
            ini.write(
                QStringLiteral("[NAME]\r\nMYNAME=%1\r\n[PUT]\r\nSOUNDF=0\r\n").arg(name).toUtf8());
        ini.close();
        Windows = CreateApplicationWindows(settingsFile);
        f()->Lanx1->SetAppGuid(appGuid);
        f()->Lanx1->OnArriveMessage = [this](TLanx*, TLanxPlayer*, const void* data,
                                             std::uint32_t size) {
            const QByteArray bytes(static_cast<const char*>(data), static_cast<qsizetype>(size));
            Received.push_back(bytes);
            Held.push_back(bytes);
            Flush();
        };
        f()->show();
    }

    QString Name;
    TApplicationWindows Windows;
    // Every message that arrived, as its bytes.
    QList<QByteArray> Received;
    // Pass notices this program showed.
    int PassNotices = 0;

    TForm1* f() const { return Windows.Form1.get(); }
    TForm3* p() const { return Windows.Form3.get(); }

    // ---- the gate
    void CloseGate() { GateOpen = false; }
    void OpenGate() {
        GateOpen = true;
        Flush();
    }
    int HeldCount() const { return static_cast<int>(Held.size()); }

    // ---- what a person sees
    QStringList Log() const { return f()->Memo1->toPlainText().split(QLatin1Char('\n')); }
    QString LastLogLines(int n) const { return Log().mid(Log().size() - n).join(QLatin1Char('|')); }
    bool PopupShows(int mode) const { return p()->isVisible() && p()->Tag == mode; }
    bool InChoice() const {
        return PopupShows(TForm3::modeChoice) && p()->BUTTON1->isVisible() &&
               p()->BUTTON3->isVisible() && p()->BUTTON1->text() == QStringLiteral("先攻") &&
               p()->BUTTON3->text() == QStringLiteral("後攻") && !f()->isEnabled();
    }
    bool InResult() const {
        return PopupShows(TForm3::modeResult) && p()->BUTTON1->isVisible() &&
               p()->BUTTON3->isVisible() && !f()->isEnabled();
    }
    bool InNotice() const {
        return PopupShows(TForm3::modeNotice) && p()->BUTTON2->isVisible() && !f()->isEnabled();
    }
    // Free to play: nothing in front of the board.
    bool Idle() const { return !p()->isVisible() && f()->isEnabled(); }
    // The local player may click a square now.
    bool MayMove() const {
        return Idle() && f()->MySide != 0 && f()->GRID->Turn == f()->MySide &&
               bool(f()->Image1->OnMouseUp);
    }
    QString Board() const { return Position(*f()->GRID); }

    // ---- what a person does
    void Start() { f()->START->click(); }
    void Choose(int side) {
        QVERIFY2(InChoice(), qPrintable(Name + ": no choice popup to click"));
        (side > 0 ? p()->BUTTON1 : p()->BUTTON3)->click();
    }
    void PressOk() {
        QVERIFY2(p()->isVisible() && p()->BUTTON2->isVisible(),
                 qPrintable(Name + ": no OK button to press"));
        p()->BUTTON2->click();
    }
    void PressAgain() {
        QVERIFY2(InResult(), qPrintable(Name + ": no result popup"));
        p()->BUTTON1->click();
    }
    void PressEnd() {
        QVERIFY2(InResult(), qPrintable(Name + ": no result popup"));
        p()->BUTTON3->click();
    }
    // A mouse button released over the centre of square (c, r) of the board
    // image; a detached handler never hears it, as with a real click.
    void Click(int c, int r) {
        QVERIFY2(f()->isEnabled(), qPrintable(Name + ": the main window is disabled"));
        if (f()->Image1->OnMouseUp)
            f()->Image1->OnMouseUp(Qt::LeftButton, Qt::NoModifier, f()->GRID->COLTOX(c),
                                   f()->GRID->ROWTOY(r));
    }
    // Types or picks text in the chat box and sends it with Enter, which a real
    // key press delivers to the combo box, not to its line edit.
    void SendChatWithEnter(const QString& text) {
        f()->EDIT1->setEditText(text);
        QTest::keyClick(f()->EDIT1, Qt::Key_Return);
    }

private:
    void Flush() {
        if (Replaying)
            return; // a delivery is running: the next one follows when it returns
        Replaying = true;
        while (GateOpen && !Held.empty()) {
            const QByteArray bytes = Held.front();
            Held.pop_front();
            f()->Lanx1ArriveMessage(f()->Lanx1, nullptr, bytes.constData(),
                                    static_cast<std::uint32_t>(bytes.size()));
        }
        Replaying = false;
    }

    bool GateOpen = true;
    bool Replaying = false;
    std::deque<QByteArray> Held;
};

// ---- The bench -----------------------------------------------------------------

// Owns the programs of one test and the hooks that run them in shortened time:
// waits a fiftieth of their length, message boxes answered "yes" and recorded,
// the session component's halt recorded (a test with a halt fails), searches
// kept on 127.255.255.255, and a robot that answers each modal pass notice.
class Bench {
public:
    Bench() {
        lan::SetBroadcastTargetsOverride({0x7FFFFFFFu});
        // A program with a game in progress waits 2 s, not 10, for its old
        // opponent once it has seen another.
        LanTransport::SetReservationLapse(std::chrono::milliseconds(2000));
        platform::SetSleepHook([this](int ms) {
            SleptMs += ms;
            if (auto once = std::exchange(OnNextSleep, nullptr))
                once();
            if (ms >= 50)
                QThread::msleep(static_cast<unsigned long>(ms / 50));
        });
        platform::SetMessageBoxHook([this](const QString& text, const QString&, unsigned) {
            Boxes << text;
            return platform::IDYES;
        });
        lanx::SetHaltHook([this] { ++Halts; });
        // The offscreen platform cannot raise or shape windows, and says so each time.
        PreviousHandler = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext& context, const QString& text) {
                if (!text.startsWith(QStringLiteral("This plugin does not support")))
                    PreviousHandler(type, context, text);
            });
        // Each bench pairs only its own programs, whatever else runs on this machine.
        const quint64 r = QRandomGenerator::global()->generate64() & 0xFFFFFFFFFFFFull;
        AppGuid = QStringLiteral("{6BBC35C2-9331-43B2-8666-%1}").arg(r, 12, 16, QLatin1Char('0'));
        StartRobot();
    }
    ~Bench() {
        Robot.stop();
        Programs.clear();
        platform::SetSleepHook(nullptr);
        platform::SetMessageBoxHook(nullptr);
        lanx::SetHaltHook(nullptr);
        lan::SetBroadcastTargetsOverride({});
        LanTransport::SetReservationLapse(std::chrono::milliseconds(0));
        qInstallMessageHandler(PreviousHandler);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    QTemporaryDir Dir;
    QString AppGuid;
    int Halts = 0;
    QStringList Boxes;
    qint64 SleptMs = 0;
    std::vector<std::unique_ptr<Program>> Programs;
    // Runs once, at the next wait of the flow (which may be inside an animation).
    std::function<void()> OnNextSleep;
    // Called when a program shows its modal pass notice; by default it is
    // answered with "OK" at once.
    std::function<void(Program&)> OnPassNotice;

    // A program in a folder of its own (its settings, id and games), as on a
    // computer of its own; a folder given again starts that computer's program anew.
    Program& Add(const QString& name, int folder = -1) {
        const QString dir =
            Dir.filePath(QStringLiteral("P%1").arg(folder < 0 ? Folders++ : folder));
        QDir().mkpath(dir);
        Programs.push_back(
            std::make_unique<Program>(dir + QStringLiteral("/Quorin.INI"), name, AppGuid));
        return *Programs.back();
    }
    int FolderOf(const Program& program) const {
        return QFileInfo(program.f()->SettingsFile()).dir().dirName().mid(1).toInt();
    }
    // The program's windows go away, and with them its session.
    void Remove(Program& program) {
        for (auto it = Programs.begin(); it != Programs.end(); ++it)
            if (it->get() == &program) {
                Programs.erase(it);
                return;
            }
    }

private:
    void StartRobot() {
        Robot.setInterval(2);
        QObject::connect(&Robot, &QTimer::timeout, [this] { AnswerPassNotices(); });
        Robot.start();
    }
    void AnswerPassNotices() {
        for (const auto& program : Programs) {
            TForm3* popup = program->p();
            if (QApplication::activeModalWidget() != popup || popup->Tag != TForm3::modeNotice ||
                !popup->isVisible() || Answering)
                continue;
            if (!popup->Label1->text().contains(QStringLiteral("パスです")))
                continue;
            Answering = true;
            ++program->PassNotices;
            // A copy: the handler may replace itself.
            if (const std::function<void(Program&)> handler = OnPassNotice)
                handler(*program);
            if (popup->isVisible())
                popup->BUTTON2->click();
            Answering = false;
        }
    }

    QTimer Robot;
    int Folders = 0;
    bool Answering = false;
    static inline QtMessageHandler PreviousHandler = nullptr;
};

} // namespace matchtest

namespace matchtest {

// ---- Steps of a match, with what both programs must show ------------------------

// host searches first and waits; guest finds and joins it; both end in the
// first-move choice. Returns the time from the guest's start to both choice
// popups, less the flow's own (shortened) waits, in *overheadMs.
inline void Pair(Bench& bench, Program& host, Program& guest, qint64* overheadMs = nullptr) {
    host.Start();
    QCOMPARE(host.f()->START->text(), QStringLiteral("やめる"));
    QVERIFY2(host.Idle(), "the host must be back at its usable window while it waits");
    QCOMPARE(host.Log().constLast(), QStringLiteral("待機中"));

    QElapsedTimer clock;
    clock.start();
    const qint64 sleptBefore = bench.SleptMs;
    guest.Start();
    QTRY_VERIFY2_WITH_TIMEOUT(host.InChoice() && guest.InChoice(),
                              "both programs must show the first-move choice", kWaitMs);
    if (overheadMs)
        *overheadMs = clock.elapsed() - (bench.SleptMs - sleptBefore) / 50;
    QCOMPARE(guest.f()->OpponentName, host.Name);
    QCOMPARE(host.f()->OpponentName, guest.Name);
    QVERIFY(guest.Log().contains(host.Name + QStringLiteral("さんとはじめます")));
    QVERIFY(host.Log().contains(guest.Name + QStringLiteral("さんとはじめます")));
}

// chooser clicks side; the other program announces it and takes the other side.
inline void ChooseFirst(Program& chooser, int side, Program& other) {
    const QByteArray start = QStringLiteral("START %1").arg(side).toUtf8() + '\0';
    const int before = static_cast<int>(other.Received.count(start));
    CHECKED(chooser.Choose(side));
    QTRY_VERIFY2_WITH_TIMEOUT(other.Received.count(start) > before && other.Idle(),
                              "the other program must get the choice and announce it", kWaitMs);
    QCOMPARE(other.f()->MySide, -side);
    QVERIFY(chooser.Idle());
    QCOMPARE(chooser.f()->MySide, side);
    QVERIFY(chooser.f()->EDIT1->isEnabled() && other.f()->EDIT1->isEnabled());
}

// Plays moves [from, to) of game through the programs of side +1 (first) and
// side -1 (second), each move a click on the mover's board, and requires both
// boards to equal the model after every move. before(i) runs before move i.
inline void PlayMoves(Program& first, Program& second, const Game& game, std::size_t from,
                      std::size_t to, const std::function<void(std::size_t)>& before = {}) {
    for (std::size_t i = from; i < to && i < game.moves.size(); ++i) {
        if (before) {
            before(i);
            if (QTest::currentTestFailed())
                return;
        }
        const Move& m = game.moves[i];
        Program& mover = m.side > 0 ? first : second;
        Program& other = m.side > 0 ? second : first;
        const QString what =
            QStringLiteral("move %1 (%2,%3) by %4").arg(i).arg(m.c).arg(m.r).arg(mover.Name);
        QTRY_VERIFY2_WITH_TIMEOUT(mover.MayMove(), qPrintable(what + ": never the mover's turn"),
                                  kWaitMs);
        QVERIFY2(mover.f()->GRID->Cells[m.c][m.r].PutSide == m.side,
                 qPrintable(what + ": not marked legal"));
        const qsizetype received = mover.Received.size();
        CHECKED(mover.Click(m.c, m.r));
        // Input stays detached until the opponent's answer has been handled.
        QVERIFY2(!mover.f()->Image1->OnMouseUp || mover.Received.size() > received,
                 qPrintable(what + ": input still attached"));
        QTRY_COMPARE_WITH_TIMEOUT(other.Board(), game.after[i], kWaitMs);
        QCOMPARE(mover.Board(), game.after[i]);
    }
}

inline void PlayGame(Program& first, Program& second, const Game& game,
                     const std::function<void(std::size_t)>& before = {}) {
    PlayMoves(first, second, game, 0, game.moves.size(), before);
}

// The lines of the log after its first skip lines that report moves, in order.
inline QStringList MoveLines(const Program& p, int skip) {
    QStringList out;
    const QStringList log = p.Log().mid(skip);
    for (const QString& line : log)
        if ((line.startsWith(QStringLiteral("あなたは")) ||
             line.startsWith(QStringLiteral("相手は"))) &&
            line.endsWith(QStringLiteral("におきました")))
            out << line;
    return out;
}

// What the program of side must have logged for the moves of game.
inline QStringList ExpectedMoveLines(const Game& game, int side) {
    QStringList out;
    for (std::size_t i = 0; i < game.moves.size(); ++i) {
        const Move& m = game.moves[i];
        if (m.side != side)
            out << QStringLiteral("相手は%1  %2におきました").arg(m.c).arg(m.r);
        else if (i + 1 < game.moves.size()) // the move that ends the game logs nothing
            out << QStringLiteral("あなたは%1,%2におきました").arg(m.c).arg(m.r);
    }
    return out;
}

// The result popup and the log of the program of side after game.
inline void ExpectResult(const Program& p, int side, const Game& game) {
    const int diff = side > 0 ? game.a - game.b : game.b - game.a;
    const QString caption = diff > 0   ? QStringLiteral("あなたの勝ち")
                            : diff < 0 ? QStringLiteral("あなたの負け")
                                       : QStringLiteral("ひきわけです");
    const TColor brush = diff > 0 ? clYellow : diff < 0 ? clSilver : clCream;
    QTRY_VERIFY2_WITH_TIMEOUT(p.InResult(), qPrintable(p.Name + ": no result popup"), kWaitMs);
    QCOMPARE(p.p()->Shape3->BrushColor(), ColorToQColor(brush));
    QCOMPARE(p.p()->Label1->text(), caption + kCRLF + QString::number(game.a) +
                                        QStringLiteral("個                 ") +
                                        QString::number(game.b) + QStringLiteral("個"));
    QCOMPARE(p.p()->BUTTON1->text(), QStringLiteral("もう一度"));
    QCOMPARE(p.p()->BUTTON3->text(), QStringLiteral("おわる"));
    QVERIFY(p.p()->Image1->isVisible() && p.p()->Image2->isVisible());
    QCOMPARE(p.LastLogLines(2),
             caption + QStringLiteral("|先攻%1個  後攻%2個").arg(game.a).arg(game.b));
    QCOMPARE(p.f()->GRID->ACount, game.a);
    QCOMPARE(p.f()->GRID->BCount, game.b);
}

// After the opponent left: the notice, a fresh board, chat off, waiting again.
inline void ExpectLeft(const Program& stayer, const QString& leaverName) {
    QTRY_VERIFY2_WITH_TIMEOUT(stayer.InNotice(),
                              qPrintable(stayer.Name + ": no notice of the opponent leaving"),
                              kWaitMs);
    QCOMPARE(stayer.p()->Label1->text(), kCRLF + leaverName + QStringLiteral("さんがやめました"));
    QVERIFY(stayer.p()->BUTTON1->isHidden() && stayer.p()->BUTTON3->isHidden());
    QCOMPARE(stayer.Board(), StartPosition());
    QCOMPARE(stayer.f()->GRID->Turn, 0);
    QVERIFY(!stayer.f()->EDIT1->isEnabled());
    QCOMPARE(stayer.LastLogLines(2), leaverName + QStringLiteral("さんがやめました|待機中"));
    QCOMPARE(stayer.f()->START->text(), QStringLiteral("やめる"));
}

} // namespace matchtest
