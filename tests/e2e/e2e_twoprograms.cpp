// Two real Quorin processes, each on its own X display with a window manager,
// played from outside with xdotool and judged from screenshots.
#include "../match/GameScript.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>
#include <memory>
#include <optional>
#include <unistd.h>

using matchtest::Game;
using matchtest::Move;

namespace {

constexpr int kScreenW = 1280;
constexpr int kScreenH = 1024;
constexpr QSize kPopup(317, 165);
constexpr int kMenuHeight = 19;
constexpr int kSidePanel = 157 + 3;
constexpr QRgb kLime = qRgb(0, 255, 0);
constexpr QRgb kCream = qRgb(255, 251, 240);
constexpr QRgb kYellow = qRgb(255, 255, 0);
constexpr QRgb kSilver = qRgb(192, 192, 192);

// A push button's light grey face (a gradient), unlike any brush of the popup.
bool ButtonFace(QRgb p) {
    return qRed(p) == qGreen(p) && qGreen(p) == qBlue(p) && qRed(p) >= 225 && qRed(p) < 255;
}

struct Output {
    int Exit = -1;
    QByteArray Out;
};

// Runs a tool to its end, bounded in time.
Output Run(const QString& program, const QStringList& args, const QString& display = {},
           int timeoutMs = 15000) {
    QProcess p;
    if (!display.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), display);
        p.setProcessEnvironment(env);
    }
    p.start(program, args);
    Output o;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(2000);
        return o;
    }
    o.Exit = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.Out = p.readAllStandardOutput();
    return o;
}

bool Near(QRgb a, QRgb b, int tolerance = 6) {
    return std::abs(qRed(a) - qRed(b)) <= tolerance &&
           std::abs(qGreen(a) - qGreen(b)) <= tolerance &&
           std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

// One X server with a window manager: one computer's screen.
class XScreen {
public:
    ~XScreen() {
        for (QProcess* p : {&Manager, &Server}) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(3000))
                    p->kill();
                p->waitForFinished(2000);
            }
        }
    }

    bool Start(QString* why) {
        // The server picks a free display number and writes it to standard output.
        Server.start(QStringLiteral("Xvfb"),
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(kScreenW).arg(kScreenH),
                      QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QElapsedTimer clock;
        clock.start();
        QByteArray out;
        while (!out.contains('\n') && clock.elapsed() < 10000 &&
               Server.state() != QProcess::NotRunning) {
            Server.waitForReadyRead(500);
            out += Server.readAllStandardOutput();
        }
        if (!out.contains('\n')) {
            *why = QStringLiteral("Xvfb did not start");
            return false;
        }
        Name = QLatin1Char(':') + QString::fromLatin1(out.trimmed());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), Name);
        Manager.setProcessEnvironment(env);
        Manager.start(QStringLiteral("openbox"), {});
        // The window manager is up once it has announced itself on the root window.
        while (clock.elapsed() < 30000) {
            const Output o = Run(
                QStringLiteral("xprop"),
                {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")}, Name, 5000);
            if (o.Exit == 0 && o.Out.contains("window id"))
                return true;
            QThread::msleep(100);
        }
        *why = QStringLiteral("openbox did not start on %1").arg(Name);
        return false;
    }

    QImage Shot() const {
        const Output o =
            Run(QStringLiteral("import"),
                {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("-depth"),
                 QStringLiteral("8"), QStringLiteral("ppm:-")},
                Name);
        return QImage::fromData(o.Out, "PPM").convertToFormat(QImage::Format_RGB32);
    }
    void Click(QPoint at) const {
        // Without --sync, which waits forever when the pointer is already there;
        // the server takes the motion and the click in order anyway.
        Run(QStringLiteral("xdotool"),
            {QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
             QStringLiteral("click"), QStringLiteral("1")},
            Name);
    }
    void Key(const QString& keys) const {
        // Real key presses at the focused window, one after the other.
        Run(QStringLiteral("xdotool"),
            QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40")} +
                keys.split(QLatin1Char(' ')),
            Name);
    }
    void Type(const QString& text) const {
        Run(QStringLiteral("xdotool"), {QStringLiteral("type"), text}, Name);
    }
    // The visible window with exactly this title, or 0.
    qulonglong FindWindow(const QString& title) const {
        const Output o = Run(
            QStringLiteral("xdotool"),
            {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
             QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$')},
            Name);
        const QList<QByteArray> ids = o.Out.trimmed().split('\n');
        return o.Exit == 0 && !ids.isEmpty() ? ids.first().toULongLong() : 0;
    }
    // A window's client area in screen coordinates.
    QRect ClientRect(qulonglong window) const {
        const Output o =
            Run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)}, Name);
        const QString text = QString::fromUtf8(o.Out);
        auto field = [&](const char* label) {
            const QRegularExpression re(QString::fromLatin1(label) +
                                        QStringLiteral(":\\s+(-?\\d+)"));
            return re.match(text).captured(1).toInt();
        };
        return QRect(field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                     field("Height"));
    }

    QString Name;

private:
    QProcess Server;
    QProcess Manager;
};

// Network namespaces of the test's own: one machine (loopback only), or two
// hosts joined by a veth pair. Removed again when the test ends.
class Network {
public:
    ~Network() {
        for (const QString& ns : Spaces)
            Run(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), ns});
    }
    bool Create(bool twoHosts, QString* why) {
        const QString stem = QStringLiteral("vte2e%1").arg(::getpid());
        for (const QString& suffix : twoHosts ? QStringList{"a", "b"} : QStringList{"a"}) {
            const QString ns = stem + suffix;
            if (!Ip({"netns", "add", ns}) || !Ip({"-n", ns, "link", "set", "lo", "up"})) {
                *why = QStringLiteral("cannot create the network namespace %1").arg(ns);
                return false;
            }
            Spaces << ns;
        }
        if (twoHosts) {
            const QString a = QStringLiteral("ve%1a").arg(::getpid());
            const QString b = QStringLiteral("ve%1b").arg(::getpid());
            const bool ok = Ip({"link", "add", a, "netns", Spaces[0], "type", "veth", "peer",
                                "name", b, "netns", Spaces[1]}) &&
                            Ip({"-n", Spaces[0], "addr", "add", "10.231.7.1/24", "broadcast",
                                "10.231.7.255", "dev", a}) &&
                            Ip({"-n", Spaces[1], "addr", "add", "10.231.7.2/24", "broadcast",
                                "10.231.7.255", "dev", b}) &&
                            Ip({"-n", Spaces[0], "link", "set", a, "up"}) &&
                            Ip({"-n", Spaces[1], "link", "set", b, "up"});
            if (!ok) {
                *why = QStringLiteral("cannot join the namespaces with a veth pair");
                return false;
            }
        }
        return true;
    }
    QString Host(int i) const { return Spaces.at(std::min<qsizetype>(i, Spaces.size() - 1)); }

private:
    static bool Ip(const QStringList& args) { return Run(QStringLiteral("ip"), args).Exit == 0; }
    QStringList Spaces;
};

// What the popup shows, read from the screen's pixels alone.
struct PopupLook {
    bool Shown = false; // its lime border is on top at its place
    QRgb Brush = 0;
    bool TwoButtons = false; // a choice or a result
    bool Ok = false;         // a notice
};

// One Quorin from the build, copied into a folder of its own with its own
// settings file, started inside a network namespace on its own display.
class Program {
public:
    Program(const QString& name, XScreen& display) : Name(name), Screen(display) {}
    ~Program() {
        if (Process.state() != QProcess::NotRunning) {
            Process.kill();
            Process.waitForFinished(3000);
        }
    }

    bool Start(const QString& netns, QString* why) {
        const QDir bin(QStringLiteral(VELTROY_BIN_DIR));
        QStringList files =
            bin.entryList({QStringLiteral("lib*.so"), QStringLiteral("Quorin-*")}, QDir::Files);
        files << QStringLiteral("Quorin");
        for (const QString& f : files) {
            if (!QFile::copy(bin.filePath(f), Folder.filePath(f))) {
                *why = QStringLiteral("cannot copy %1").arg(f);
                return false;
            }
        }
        QFile ini(SettingsFile());
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write(QStringLiteral("[NAME]\r\nMYNAME=\"%1\"\r\n").arg(Name).toUtf8());
        ini.close();
        return Launch(netns, why);
    }

    // Ends the program as a crash would, then starts it again in its folder.
    bool KillAndLaunch(const QString& netns, QString* why) {
        Process.kill();
        Process.waitForFinished(3000);
        Window = 0;
        return Launch(netns, why);
    }

    bool Launch(const QString& netns, QString* why) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SDL_AUDIODRIVER"), QStringLiteral("dummy"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        Process.setProcessEnvironment(env);
        Process.setProcessChannelMode(QProcess::ForwardedChannels);
        Process.start(QStringLiteral("ip"),
                      {QStringLiteral("netns"), QStringLiteral("exec"), netns,
                       QStringLiteral("env"), QStringLiteral("DISPLAY=") + Screen.Name,
                       Folder.filePath(QStringLiteral("Quorin"))});
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            if (const qulonglong w = Screen.FindWindow(QStringLiteral("Veltroy"))) {
                Window = w;
                Client = Screen.ClientRect(w);
                return true;
            }
            QThread::msleep(100);
        }
        *why = QStringLiteral("%1's main window did not appear").arg(Name);
        return false;
    }

    QString SettingsFile() const { return Folder.filePath(QStringLiteral("Quorin.INI")); }
    bool Running() const { return Process.state() != QProcess::NotRunning; }
    // Waits for the process to end; its exit code, or -1.
    int WaitForExit(int ms) {
        if (!Process.waitForFinished(ms))
            return -1;
        return Process.exitStatus() == QProcess::NormalExit ? Process.exitCode() : -1;
    }

    // The centre of square (c, r) on the screen, by the board's own layout rule.
    QPoint Square(int c, int r) const {
        const int w = Client.width() - kSidePanel - 2;
        const int h = Client.height() - kMenuHeight - 2;
        const int span = std::min(w, h) - 30;
        const int cell = span / GRIDSIZE;
        const int half = int(std::nearbyint(cell * 0.5));
        return Client.topLeft() + QPoint(1, kMenuHeight + 1) +
               QPoint((w - span) / 2 + c * cell - half, (h - span) / 2 + r * cell - half);
    }
    // The position on the screen, in the rules' notation (column by column).
    QString Board(const QImage& shot) const {
        QString s;
        for (int c = 1; c <= GRIDSIZE; ++c) {
            for (int r = 1; r <= GRIDSIZE; ++r) {
                const QRgb p = shot.pixel(Square(c, r));
                const bool red = qRed(p) > 120 && qGreen(p) < 60 && qBlue(p) < 60;
                const bool blue = qBlue(p) > 120 && qRed(p) < 60 && qGreen(p) < 60;
                s += red ? 'A' : blue ? 'B' : '.';
            }
        }
        return s;
    }
    // Whether the board shows position, but for the squares under a popup.
    bool Shows(const QImage& shot, const QString& position) const {
        const QString seen = Board(shot);
        const bool covered = Popup(shot).Shown;
        const QRect popup(PopupPoint(0, 0), kPopup);
        for (int c = 1; c <= GRIDSIZE; ++c) {
            for (int r = 1; r <= GRIDSIZE; ++r) {
                const int i = (c - 1) * GRIDSIZE + (r - 1);
                if (seen[i] != position[i] && !(covered && popup.contains(Square(c, r))))
                    return false;
            }
        }
        return true;
    }
    PopupLook Popup(const QImage& shot) const {
        const QPoint at(kScreenW / 2 - (kPopup.width() - 1) / 2,
                        kScreenH / 2 - (kPopup.height() - 1) / 2);
        PopupLook look;
        // The left border at mid-height lies over the main window.
        look.Shown = Near(shot.pixel(at + QPoint(1, 82)), kLime, 10) &&
                     Near(shot.pixel(at + QPoint(kPopup.width() - 2, 82)), kLime, 10) &&
                     Client.contains(at + QPoint(1, 82));
        look.Brush = shot.pixel(at + QPoint(8, 82));
        look.TwoButtons = ButtonFace(shot.pixel(at + QPoint(22, 140))) &&
                          ButtonFace(shot.pixel(at + QPoint(290, 140)));
        look.Ok = ButtonFace(shot.pixel(at + QPoint(156, 131)));
        return look;
    }
    QPoint PopupPoint(int x, int y) const {
        return QPoint(kScreenW / 2 - (kPopup.width() - 1) / 2 + x,
                      kScreenH / 2 - (kPopup.height() - 1) / 2 + y);
    }
    // The first-move choice shows the first player's piece (red) where the
    // question whether to go on with a game has none.
    bool PieceInPopup(const QImage& shot) const {
        const QRgb p = shot.pixel(PopupPoint(65, 73));
        return qRed(p) > 120 && qGreen(p) < 60 && qBlue(p) < 60;
    }
    QPoint FirstButton() const { return PopupPoint(68, 120); }
    QPoint ThirdButton() const { return PopupPoint(244, 120); }
    QPoint OkButton() const { return PopupPoint(156, 112); }
    QPoint StartButton() const {
        return Client.topLeft() +
               QPoint(Client.width() - kSidePanel + 3 + 16 + 64, kMenuHeight + 16 + 20);
    }
    QPoint ChatBox() const {
        return Client.topLeft() + QPoint(Client.width() - 157 + 8 + 60,
                                         kMenuHeight + Client.height() - kMenuHeight - 347 + 322);
    }
    QPoint FileMenu() const { return Client.topLeft() + QPoint(20, kMenuHeight / 2); }
    // The window manager's close box at the right end of the title bar.
    QPoint CloseBox() const { return Client.topLeft() + QPoint(Client.width() - 11, -11); }

    const QString Name;
    XScreen& Screen;
    qulonglong Window = 0;
    QRect Client;

private:
    QTemporaryDir Folder;
    QProcess Process;
};

// Polls the screen until a condition holds on a screenshot, within ms.
bool WaitFor(const XScreen& d, const std::function<bool(const QImage&)>& ok, int ms = 15000,
             QImage* last = nullptr) {
    QElapsedTimer clock;
    clock.start();
    QImage shot;
    do {
        shot = d.Shot();
        if (!shot.isNull() && ok(shot)) {
            if (last)
                *last = shot;
            return true;
        }
        QThread::msleep(60);
    } while (clock.elapsed() < ms);
    if (last)
        *last = shot;
    return false;
}

#define WAIT_SCREEN(program, condition, what)                                                      \
    do {                                                                                           \
        QImage last_;                                                                              \
        if (!WaitFor((program).Screen, [&](const QImage& shot) { return condition; }, 15000,       \
                     &last_)) {                                                                    \
            last_.save(QDir::temp().filePath(QStringLiteral("e2e-failed.png")));                   \
            QFAIL(qPrintable(QStringLiteral("%1: %2 (screen saved as e2e-failed.png)")             \
                                 .arg((program).Name, QString(what))));                            \
        }                                                                                          \
    } while (0)

bool IsPopup(const Program& p, const QImage& shot, bool twoButtons, bool ok) {
    const PopupLook l = p.Popup(shot);
    return l.Shown && l.TwoButtons == twoButtons && l.Ok == ok;
}

// The shortest of many seeded random games in which a side passes and one side wins.
Game GameWithAPass(unsigned seed) {
    std::mt19937 rng(seed);
    Game best;
    for (int i = 0; i < 3000; ++i) {
        Game g = matchtest::RandomGame(rng);
        if (g.passesA + g.passesB > 0 && g.a != g.b &&
            (best.moves.empty() || g.moves.size() < best.moves.size()))
            best = std::move(g);
    }
    return best;
}

} // namespace

class TwoProgramsTest : public QObject {
    Q_OBJECT

    // The whole of one evening's play: pairing, a game with a pass, a chat line
    // each way, a rename, the result, "おわる" on one side and closing the other.
    // With alphaByKeys, alpha plays by keys alone once it has pressed "はじめる":
    // its choice, its moves, its notices and its "おわる".
    // With killAfter, beta is killed once that move is on both boards, started
    // again and "はじめる" pressed: both are asked, both go on, and the game
    // goes on from where it stopped.
    void Evening(bool twoHosts, const Game& game, bool closeWithEscape, bool alphaByKeys,
                 int killAfter = -1) {
        QString why;
        Network net;
        QVERIFY2(net.Create(twoHosts, &why), qPrintable(why));
        XScreen screenA, screenB;
        QVERIFY2(screenA.Start(&why) && screenB.Start(&why), qPrintable(why));
        Program a(QStringLiteral("alpha"), screenA), b(QStringLiteral("beta"), screenB);
        QVERIFY2(a.Start(net.Host(0), &why) && b.Start(net.Host(1), &why), qPrintable(why));
        const QString start = matchtest::StartPosition();
        for (Program* p : {&a, &b})
            WAIT_SCREEN(*p, p->Board(shot) == start, "the starting position is not on the board");

        // alpha hosts and waits; beta joins; both are asked who moves first.
        screenA.Click(a.StartButton());
        WAIT_SCREEN(a, a.Popup(shot).Shown, "no popup while searching");
        WAIT_SCREEN(a, !a.Popup(shot).Shown, "the host's popup did not close");
        screenB.Click(b.StartButton());
        // The host greets its opponent for 2 s, a popup without buttons.
        WAIT_SCREEN(a, IsPopup(a, shot, false, false), "the host's greeting never showed");
        for (Program* p : {&a, &b})
            WAIT_SCREEN(*p, IsPopup(*p, shot, true, false) && p->PieceInPopup(shot),
                        "no first-move choice");

        // beta moves first: beta takes "先攻", or alpha takes "後攻" by keys.
        if (alphaByKeys)
            screenA.Key(QStringLiteral("Tab Return"));
        else
            screenB.Click(b.FirstButton());
        Program* side[2] = {&b, &a}; // [0]: side +1, [1]: side -1
        WAIT_SCREEN(b, !b.Popup(shot).Shown, "the choice stayed on the screen");
        WAIT_SCREEN(a, !a.Popup(shot).Shown, "the announcement of the choice stayed");

        // "OK" of a notice: a click, or Return on the focused button.
        auto confirm = [&](Program& p) {
            if (alphaByKeys && &p == &a)
                p.Screen.Key(QStringLiteral("Return"));
            else
                p.Screen.Click(p.OkButton());
        };
        QString expected = start;
        int passes = 0;
        for (std::size_t i = 0; i < game.moves.size(); ++i) {
            const Move& m = game.moves[i];
            Program& mover = *side[m.side > 0 ? 0 : 1];
            Program& other = *side[m.side > 0 ? 1 : 0];
            if (alphaByKeys && &mover == &a) {
                // From the top-left corner to the square, then play it.
                QStringList keys{QStringLiteral("Home")};
                for (int k = 1; k < m.c; ++k)
                    keys << QStringLiteral("Right");
                for (int k = 1; k < m.r; ++k)
                    keys << QStringLiteral("Down");
                keys << QStringLiteral("Return");
                a.Screen.Key(keys.join(QLatin1Char(' ')));
            } else {
                mover.Screen.Click(mover.Square(m.c, m.r));
            }
            expected = game.after[i];
            for (Program* p : {&a, &b})
                WAIT_SCREEN(*p, p->Shows(shot, expected),
                            QStringLiteral("move %1 (%2,%3) not shown as expected")
                                .arg(i + 1)
                                .arg(m.c)
                                .arg(m.r));
            const bool last = i + 1 == game.moves.size();
            if (int(i) == killAfter) {
                QVERIFY2(!last && game.moves[i + 1].side != m.side, "no place to kill");
                QThread::msleep(400); // the receiver's record is written
                QVERIFY2(b.KillAndLaunch(net.Host(1), &why), qPrintable(why));
                WAIT_SCREEN(a, IsPopup(a, shot, false, true), "alpha was not told beta left");
                confirm(a);
                WAIT_SCREEN(b, b.Board(shot) == start, "beta did not start again");
                screenB.Click(b.StartButton());
                QElapsedTimer asked;
                asked.start();
                for (Program* p : {&a, &b})
                    WAIT_SCREEN(*p, IsPopup(*p, shot, true, false) && !p->PieceInPopup(shot),
                                "not asked whether to go on with the game");
                qInfo("beta started again: both asked %lld ms after its はじめる", asked.elapsed());
                screenA.Click(a.FirstButton());
                screenB.Click(b.FirstButton());
                for (Program* p : {&a, &b})
                    WAIT_SCREEN(*p, !p->Popup(shot).Shown && p->Board(shot) == expected,
                                "the game did not go on where it stopped");
            }
            if (!last && game.moves[i + 1].side == m.side) {
                // The other side cannot answer: its pass notice, on top, then "OK".
                WAIT_SCREEN(other, IsPopup(other, shot, false, true), "no pass notice");
                confirm(other);
                WAIT_SCREEN(other, !other.Popup(shot).Shown && other.Board(shot) == expected,
                            "the pass notice stayed, or hid a wrong position");
                ++passes;
            }
            if (i == 1) {
                // A typed chat line from alpha, sent with Enter, and a canned
                // phrase from beta, picked with the keyboard.
                QThread::msleep(400);
                screenA.Click(a.ChatBox());
                screenA.Type(QStringLiteral("hello beta"));
                screenA.Key(QStringLiteral("Return"));
                // Escape hands the keys back to the board.
                if (alphaByKeys)
                    screenA.Key(QStringLiteral("Escape"));
                WAIT_SCREEN(b, IsPopup(b, shot, false, true), "alpha's chat line did not arrive");
                screenB.Click(b.OkButton());
                WAIT_SCREEN(b, !b.Popup(shot).Shown, "the chat notice stayed");
                screenB.Click(b.ChatBox());
                screenB.Key(QStringLiteral("Down"));
                screenB.Key(QStringLiteral("Return"));
                WAIT_SCREEN(a, IsPopup(a, shot, false, true), "beta's chat line did not arrive");
                confirm(a);
                WAIT_SCREEN(a, !a.Popup(shot).Shown, "the chat notice stayed");
            }
            if (i == 3) {
                // beta renames itself in the settings while playing.
                QThread::msleep(400);
                screenB.Click(b.FileMenu());
                QThread::msleep(300);
                screenB.Key(QStringLiteral("Down"));
                screenB.Key(QStringLiteral("Return"));
                QElapsedTimer clock;
                clock.start();
                qulonglong dialog = 0;
                while (!(dialog = screenB.FindWindow(QStringLiteral("設定"))) &&
                       clock.elapsed() < 10000)
                    QThread::msleep(100);
                QVERIFY2(dialog, "the settings dialog did not open");
                const QRect d = screenB.ClientRect(dialog);
                screenB.Click(d.topLeft() + QPoint(24 + 100, 32 + 10));
                screenB.Key(QStringLiteral("ctrl+a"));
                screenB.Type(QStringLiteral("gamma"));
                screenB.Key(QStringLiteral("Return"));
                WAIT_SCREEN(a, IsPopup(a, shot, false, true), "the new name was not announced");
                confirm(a);
                WAIT_SCREEN(a, !a.Popup(shot).Shown, "the name notice stayed");
            }
        }
        QVERIFY2(passes > 0, "the game had no pass");

        // The result on both sides: the winner's popup yellow, the loser's silver.
        const bool firstWins = game.a > game.b;
        WAIT_SCREEN(*side[0],
                    IsPopup(*side[0], shot, true, false) &&
                        Near(side[0]->Popup(shot).Brush, firstWins ? kYellow : kSilver),
                    "no result for the first player");
        WAIT_SCREEN(*side[1],
                    IsPopup(*side[1], shot, true, false) &&
                        Near(side[1]->Popup(shot).Brush, firstWins ? kSilver : kYellow),
                    "no result for the second player");

        // "おわる" on alpha ends alpha; beta is told on top of its window.
        QElapsedTimer clock;
        clock.start();
        if (alphaByKeys)
            screenA.Key(QStringLiteral("Tab Return"));
        else
            screenA.Click(a.ThirdButton());
        QCOMPARE(a.WaitForExit(5000), 0);
        const qint64 endedMs = clock.elapsed();
        WAIT_SCREEN(b, IsPopup(b, shot, false, true) && Near(b.Popup(shot).Brush, kCream),
                    "beta was not told that alpha left");
        const qint64 toldMs = clock.elapsed();
        qInfo("おわる ended the program in %lld ms; the opponent showed the notice after %lld ms",
              endedMs, toldMs);
        screenB.Click(b.OkButton());
        WAIT_SCREEN(b, !b.Popup(shot).Shown && b.Board(shot) == start,
                    "beta does not wait with a fresh board");

        // Closing beta by its close box: "いいえ" by key keeps it, then it ends.
        auto askToClose = [&] {
            screenB.Click(b.CloseBox());
            QElapsedTimer wait;
            wait.start();
            while (!screenB.FindWindow(QStringLiteral("確認")) && wait.elapsed() < 10000)
                QThread::msleep(100);
            return screenB.FindWindow(QStringLiteral("確認")) != 0;
        };
        QVERIFY2(askToClose(), "the close box did not ask");
        screenB.Key(QStringLiteral("n"));
        QThread::msleep(1000);
        QVERIFY2(b.Running(), "いいえ ended the program");
        QFile::remove(b.SettingsFile());
        QVERIFY2(askToClose(), "the close box did not ask again");
        screenB.Key(closeWithEscape ? QStringLiteral("Escape") : QStringLiteral("y"));
        QCOMPARE(b.WaitForExit(5000), 0);
        QFile ini(b.SettingsFile());
        QVERIFY2(ini.open(QIODevice::ReadOnly), "the settings were not written");
        QVERIFY2(ini.readAll().contains("MYNAME=\"gamma\""), "the new name was not saved");
    }

private slots:
    void oneMachine() { Evening(false, GameWithAPass(1), false, false, 5); }
    void twoHostsOnALinkOneSideByKeys() { Evening(true, GameWithAPass(2), true, true); }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    GRIDSIZE = 8;
    if (::geteuid() != 0) {
        // Network namespaces need root; the programs must not search a real network.
        std::fprintf(stderr, "skipped: the two-program test needs root for its network "
                             "namespaces\n");
        return 77;
    }
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "import", "xwininfo", "xprop", "ip"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            std::fprintf(stderr, "the two-program test needs %s (scripts/install-deps.sh)\n", tool);
            return 1;
        }
    }
    TwoProgramsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "e2e_twoprograms.moc"
