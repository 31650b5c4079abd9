// Tests of the LAN transport across separate programs on loopback, driven
// through the lanprobe tool: join, refusal, sends both ways, leaving, a
// killed peer, the host leaving; and the transport's figures on request.
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QUuid>
#include <algorithm>
#include <memory>
#include <unistd.h>

namespace {

// One lanprobe program: commands in, one line per answer or event out.
class Probe {
public:
    Probe(const QString& guid, const QString& player, int maxPlayers = 2) {
        Process.setProgram(QStringLiteral(VELTROY_LANPROBE_PATH));
        Process.setArguments(
            {"--guid", guid, "--player", player, "--max", QString::number(maxPlayers)});
        Process.start();
        Process.waitForStarted(5000);
        WaitFor("ready");
    }
    ~Probe() {
        if (Process.state() != QProcess::NotRunning) {
            Process.write("quit\n");
            if (!Process.waitForFinished(3000))
                Process.kill();
            Process.waitForFinished(1000);
        }
    }

    void Command(const QByteArray& line) {
        Process.write(line + '\n');
        Process.waitForBytesWritten(2000);
    }

    // Takes the first line not taken yet that starts with prefix; empty
    // when none came within ms. Lines of other kinds stay for later calls.
    QString WaitFor(const QString& prefix, int ms = 5000) {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            while (Process.canReadLine())
                Pending.append(QString::fromUtf8(Process.readLine()).trimmed());
            for (qsizetype i = 0; i < Pending.size(); ++i) {
                if (Pending[i].startsWith(prefix))
                    return Pending.takeAt(i);
            }
            const qint64 left = ms - timer.elapsed();
            if (left <= 0 || Process.state() == QProcess::NotRunning)
                return QString();
            Process.waitForReadyRead(static_cast<int>(left));
        }
    }

    // Forgets every line that came so far.
    void Forget() {
        WaitFor(QStringLiteral("\x01"), 0);
        Pending.clear();
    }

    // The value of key=value in a line.
    static QString Field(const QString& line, const QString& key) {
        for (const QString& word : line.split(' ')) {
            if (word.startsWith(key + '='))
                return word.mid(key.size() + 1);
        }
        return QString();
    }

    double CpuSeconds() const {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(Process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QString text = QString::fromUtf8(stat.readAll());
        const QStringList fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return (fields.at(11).toDouble() + fields.at(12).toDouble()) / sysconf(_SC_CLK_TCK);
    }

    QProcess Process;
    QStringList Pending;
};

QString NewGuid() {
    return QUuid::createUuid().toString();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

} // namespace

class TestLanProcesses : public QObject {
    Q_OBJECT
private slots:
    void twoProgramsExchangeAndLeave() {
        const QString guid = NewGuid();
        Probe host(guid, "alice");
        host.Command("host");
        QVERIFY(!host.WaitFor("player id=").isEmpty());
        Probe guest(guid, "bob");
        guest.Command("join");
        const QString joined = guest.WaitFor("players");
        QCOMPARE(joined.split(' ').size(), 3);
        QVERIFY2(joined.endsWith(":bob") && joined.contains(":alice "),
                 qPrintable("the guest's list is not host, guest: " + joined));
        QVERIFY(!host.WaitFor("created").isEmpty());

        guest.Command("send all 4096 g 3");
        guest.Command("send all 0 g 1");
        guest.Command("send all 700 g 100");
        host.Command("send all 4096 g 20");
        QVERIFY(!guest.WaitFor("sent").isEmpty());
        for (int i = 0; i < 104; ++i)
            QVERIFY2(!host.WaitFor("msg", 10000).isEmpty(), "a guaranteed message did not arrive");
        host.Command("stats");
        QCOMPARE(host.WaitFor("stats"),
                 QStringLiteral("stats received=104 inorder=1 corrupt=0 bytes=82288"));
        for (int i = 0; i < 20; ++i)
            QVERIFY(!guest.WaitFor("msg", 10000).isEmpty());
        guest.Command("stats");
        QCOMPARE(guest.WaitFor("stats"),
                 QStringLiteral("stats received=20 inorder=1 corrupt=0 bytes=81920"));

        QElapsedTimer timer;
        timer.start();
        guest.Command("close");
        QVERIFY(!host.WaitFor("destroyed", 2000).isEmpty());
        QVERIFY2(timer.elapsed() < 1000, "a closed session was not noticed at once");
    }

    void thirdProgramFindsNoRoom() {
        const QString guid = NewGuid();
        Probe a(guid, "a"), b(guid, "b"), c(guid, "c");
        a.Command("host");
        QVERIFY(!a.WaitFor("player id=").isEmpty());
        b.Command("join");
        QVERIFY(!b.WaitFor("player id=").isEmpty());
        c.Command("join");
        QCOMPARE(c.WaitFor("joinfail"), QStringLiteral("joinfail nosessions"));
        b.Command("close");
        QVERIFY(!a.WaitFor("destroyed").isEmpty());
        c.Command("join");
        QVERIFY2(!c.WaitFor("player id=").isEmpty(), "the freed place could not be taken");
    }

    void killedPeerIsNoticed_data() {
        QTest::addColumn<bool>("portTaken");
        QTest::newRow("the guest is killed") << false;
        QTest::newRow("the host is killed and its port taken at once") << true;
    }

    // Noticed at once: by the port unreachable of the ended program's port,
    // or, when a program started again at once holds that port, by its Gone.
    void killedPeerIsNoticed() {
        QFETCH(bool, portTaken);
        const QString guid = NewGuid();
        auto host = std::make_unique<Probe>(guid, "alice");
        host->Command("host");
        const QString port = Probe::Field(host->WaitFor("hosting"), "port");
        QVERIFY(!host->WaitFor("player id=").isEmpty());
        auto guest = std::make_unique<Probe>(guid, "bob");
        guest->Command("join");
        QVERIFY(!host->WaitFor("created").isEmpty());
        // The guest's join is over too: a host killed before would only fail it.
        QVERIFY(!guest->WaitFor("player id=").isEmpty());
        QElapsedTimer timer;
        timer.start();
        Probe& stayer = portTaken ? *guest : *host;
        // Started beforehand, so that it takes the port before the stayer's
        // next packet could find it closed.
        std::unique_ptr<Probe> next;
        if (portTaken)
            next = std::make_unique<Probe>(NewGuid(), "carol");
        (portTaken ? host : guest)->Process.kill();
        if (portTaken) {
            host->Process.waitForFinished(3000);
            next->Command("host");
            const QString taken = Probe::Field(next->WaitFor("hosting"), "port");
            if (taken != port)
                qInfo("the port was taken by another program of this machine: %s, not %s",
                      qPrintable(taken), qPrintable(port));
        }
        QVERIFY2(!stayer.WaitFor("destroyed", 8000).isEmpty(), "a killed peer was never noticed");
        qInfo("killed peer noticed after %lld ms", timer.elapsed());
        QVERIFY2(timer.elapsed() < 6000, "a killed peer took longer than about 5 s to notice");
    }

    void hostLeavesNewcomerJoinsTheStayer_data() {
        QTest::addColumn<bool>("kill");
        QTest::newRow("host closes") << false;
        QTest::newRow("host is killed") << true;
    }

    void hostLeavesNewcomerJoinsTheStayer() {
        QFETCH(bool, kill);
        const QString guid = NewGuid();
        auto host = std::make_unique<Probe>(guid, "alice");
        host->Command("host");
        QVERIFY(!host->WaitFor("player id=").isEmpty());
        Probe stayer(guid, "bob");
        stayer.Command("join");
        const QString stayerId = Probe::Field(stayer.WaitFor("player id="), "id");
        QVERIFY(!stayer.WaitFor("players").isEmpty());
        if (kill)
            host->Process.kill();
        else
            host->Command("close");
        QVERIFY(!stayer.WaitFor("destroyed", 8000).isEmpty());

        Probe newcomer(guid, "carol");
        newcomer.Command("join");
        QVERIFY2(!newcomer.WaitFor("player id=").isEmpty(), "the stayer's session was not joined");
        const QString list = newcomer.WaitFor("players");
        QVERIFY2(list.startsWith("players " + stayerId + ":bob "),
                 qPrintable("the list does not start with the stayer: " + list));
        QVERIFY(!stayer.WaitFor("created").isEmpty());
        stayer.Command("players");
        QVERIFY(stayer.WaitFor("players").endsWith(":carol"));
    }

    // The host of three is killed: the two others notice it at different
    // moments, and the one that notices first is turned away by the other
    // until that one has taken over. They stay in one session.
    void killedHostOfThreeHandsOver() {
        const QString guid = NewGuid();
        auto host = std::make_unique<Probe>(guid, "alice", 3);
        host->Command("host");
        QVERIFY(!host->WaitFor("player id=").isEmpty());
        Probe bob(guid, "bob", 3);
        bob.Command("join");
        QVERIFY(!bob.WaitFor("player id=").isEmpty());
        Probe carol(guid, "carol", 3);
        carol.Command("join");
        QVERIFY(!carol.WaitFor("player id=").isEmpty());
        QVERIFY(!bob.WaitFor("created").isEmpty());
        host->Process.kill();
        QVERIFY(!bob.WaitFor("destroyed", 8000).isEmpty());
        QVERIFY(!carol.WaitFor("destroyed", 8000).isEmpty());
        bob.Command("send all 32 g 1");
        carol.Command("send all 32 g 1");
        QVERIFY2(!carol.WaitFor("msg ", 8000).isEmpty(), "bob and carol were parted");
        QVERIFY2(!bob.WaitFor("msg ", 8000).isEmpty(), "carol and bob were parted");
        QVERIFY(bob.WaitFor("lost", 0).isEmpty() && carol.WaitFor("lost", 0).isEmpty());
    }

    // Figures for the record; set VELTROY_LAN_FIGURES=1 to take them (~40 s).
    void figures() {
        if (qEnvironmentVariableIntValue("VELTROY_LAN_FIGURES") != 1)
            QSKIP("figures are taken only with VELTROY_LAN_FIGURES=1");
        const QString guid = NewGuid();
        std::vector<std::unique_ptr<Probe>> hosts;
        auto searchTimes = [&]() -> double {
            std::vector<double> ms;
            Probe searcher(guid, "searcher");
            for (int i = 0; i < 7; ++i) {
                searcher.Command("search");
                const QString line = searcher.WaitFor("found");
                if (line.split(' ').value(1).toInt() != static_cast<int>(hosts.size()))
                    return -1; // a host was missed: shows as a negative figure
                ms.push_back(Probe::Field(line, "us").toDouble() / 1000);
            }
            return Median(ms);
        };
        for (int i = 0; i < 3; ++i) {
            hosts.push_back(std::make_unique<Probe>(guid, QStringLiteral("host%1").arg(i)));
            hosts.back()->Command("host");
            QVERIFY(!hosts.back()->WaitFor("player id=").isEmpty());
            if (i == 0)
                qInfo("search with one host: median %.1f ms", searchTimes());
        }
        qInfo("search with three hosts: median %.1f ms", searchTimes());

        std::vector<double> cpuBefore;
        for (auto& h : hosts)
            cpuBefore.push_back(h->CpuSeconds());
        QTest::qWait(10000);
        std::vector<double> cpu;
        for (std::size_t i = 0; i < hosts.size(); ++i)
            cpu.push_back(hosts[i]->CpuSeconds() - cpuBefore[i]);
        qInfo("CPU of an idle host in 10 s: median %.3f s (of %zu hosts)", Median(cpu), cpu.size());

        Probe guest(guid, "guest");
        guest.Command("join");
        QVERIFY(!guest.WaitFor("player id=").isEmpty());
        guest.Command("ping 200");
        qInfo("round trip on loopback: %s", qPrintable(guest.WaitFor("rtt", 20000)));

        std::vector<double> vanish;
        for (int run = 0; run < 3; ++run) {
            for (auto& h : hosts)
                h->Forget();
            auto peer = std::make_unique<Probe>(guid, "peer");
            peer->Command("join");
            QVERIFY(!peer->WaitFor("player id=").isEmpty());
            Probe* joined = nullptr;
            for (auto& h : hosts) {
                if (!joined && !h->WaitFor("created", 300).isEmpty())
                    joined = h.get();
            }
            QVERIFY(joined);
            QElapsedTimer timer;
            timer.start();
            peer->Process.kill();
            QVERIFY(!joined->WaitFor("destroyed", 8000).isEmpty());
            vanish.push_back(static_cast<double>(timer.elapsed()));
        }
        qInfo("killed peer noticed: median %.0f ms", Median(vanish));
    }
};

QTEST_GUILESS_MAIN(TestLanProcesses)
#include "tst_lanprocesses.moc"
