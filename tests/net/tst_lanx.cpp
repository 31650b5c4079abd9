// Tests of TLanx on a scripted transport: properties, AppGuid, the operations'
// calls and arguments, the players list, and failure reporting.
#include "ScriptedDirectPlay.h"
#include "net/Lanx.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>

Q_DECLARE_METATYPE(TLanxDebugOption)

namespace {

const QString kGameGuid = "{6BBC35C2-9331-43B2-8666-666666666666}";

QString Hex(const GUID& g) {
    QString bytes;
    for (auto b : g.Data4)
        bytes += QString::asprintf("%.2X ", static_cast<unsigned>(b));
    return QString::asprintf("%.8X %.4X %.4X ", static_cast<unsigned>(g.Data1),
                             static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3)) +
           bytes.trimmed();
}

} // namespace

class TestLanx : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::shared_ptr<DpScript> script_;
    std::unique_ptr<TLanx> lanx_;
    int halts_ = 0;

    QString logPath() const { return dir_.filePath("Lanx_DebugLog.txt"); }
    QByteArray log() const {
        QFile f(logPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<no log file>");
    }
    // Loaded, connected through "TCP/IP", and hosting.
    void host(const QString& name = "KORVAMESH") {
        lanx_->Loaded();
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QCOMPARE(lanx_->CreateSession(name, "me", "me long"), DP_OK);
    }

private slots:
    // Run as a child by realHalt: reports a failure with the real halt.
    void initTestCase() {
        const QByteArray folder = qgetenv("LANX_HALT_CHILD_LOG");
        if (folder.isEmpty())
            return;
        lanx::SetDebugLogFolder(QString::fromLocal8Bit(folder));
        lanx::SetDebugFlags(dpoDebugMessage | dpoHaltOnError);
        CheckResult(DPERR_GENERIC, "halt");
        std::fputs("still running after the halt\n", stdout);
        std::exit(3);
    }

    void init() {
        QVERIFY(dir_.isValid());
        QFile::remove(logPath());
        lanx::SetDebugLogFolder(dir_.path());
        halts_ = 0;
        lanx::SetHaltHook([this] { ++halts_; });
        script_ = std::make_shared<DpScript>();
        InstallScript(script_);
        lanx_ = std::make_unique<TLanx>(nullptr);
    }
    void cleanup() {
        lanx_.reset();
        SetDirectPlayFactory(nullptr);
        lanx::SetHaltHook(nullptr);
        lanx::SetDebugLogFolder(QString());
    }

    void valuesAtCreation() {
        lanx::SetDebugFlags(dpoDebugMessage);
        TLanx fresh(nullptr);
        QCOMPARE(fresh.DebugOption(), TLanxDebugOption(dpoHaltOnError));
        QCOMPARE(lanx::DebugFlags(), TLanxDebugOption(dpoHaltOnError));
        QCOMPARE(fresh.AppGuid(), QString("{00000000-0000-0000-0000-000000000000}"));
        QVERIFY(fresh.SendGuaranteed());
        QCOMPARE(fresh.MaxPlayers(), 4);
        QVERIFY(!fresh.NoMessageID());
        QVERIFY(!fresh.OnArriveMessage && !fresh.OnComesNewChallenger && !fresh.OnEscapeChallenger);
        QVERIFY(!fresh.LocalPlayer());
        QCOMPARE(fresh.Players().Count(), 0);
    }

    void appGuidAccepted_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("readBack");
        QTest::addColumn<QString>("fields");
        QTest::newRow("game guid")
            << kGameGuid << kGameGuid << "6BBC35C2 9331 43B2 86 66 66 66 66 66 66 66";
        QTest::newRow("lower case") << "{6bbc35c2-9331-43b2-8666-66666666abcd}"
                                    << "{6BBC35C2-9331-43B2-8666-66666666ABCD}"
                                    << "6BBC35C2 9331 43B2 86 66 66 66 66 66 AB CD";
        QTest::newRow("blanks and controls around") << " \t" + kGameGuid + "\r\n " << kGameGuid
                                                    << "6BBC35C2 9331 43B2 86 66 66 66 66 66 66 66";
        QTest::newRow("Data4 from consecutive pairs")
            << "{00000001-0002-0003-0123-456789ABCDEF}"
            << "{00000001-0002-0003-0123-456789ABCDEF}"
            << "00000001 0002 0003 01 23 45 67 89 AB CD EF";
        QTest::newRow("braces are not looked at") << "[FFFFFFFF-0000-FFFF-0000-FFFFFFFFFFFF]"
                                                  << "{FFFFFFFF-0000-FFFF-0000-FFFFFFFFFFFF}"
                                                  << "FFFFFFFF 0000 FFFF 00 00 FF FF FF FF FF FF";
    }
    void appGuidAccepted() {
        QFETCH(QString, text);
        QFETCH(QString, readBack);
        QFETCH(QString, fields);
        lanx_->SetAppGuid(text);
        QCOMPARE(lanx_->AppGuid(), readBack);
        // The GUID the transport sees, field by field.
        host();
        QCOMPARE(Hex(script_->openDesc.guidApplication), fields);
        QCOMPARE(Hex(script_->enumDesc.guidApplication), fields);
    }

    void appGuidRejected_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("named");
        QTest::newRow("group 4 without its '-'") << "{6BBC35C2-9331-43B2-8666666666666666}"
                                                 << "8666666666666666}";
        QTest::newRow("no '-' at all") << "{6BBC35C293314}"
                                       << "6BBC35C293314}";
        QTest::newRow("group 1 short") << "{6BBC35C-9331-43B2-8666-666666666666}"
                                       << "6BBC35C";
        QTest::newRow("group 3 one digit short") << "{6BBC35C2-9331-43B-8666-666666666666}"
                                                 << "43B";
        QTest::newRow("group 5 long") << "{6BBC35C2-9331-43B2-8666-6666666666660}"
                                      << "6666666666660";
        QTest::newRow("bad digit in group 2") << "{6BBC35C2-93G1-43B2-8666-666666666666}"
                                              << "93G1";
        QTest::newRow("bad digit in group 5") << "{6BBC35C2-9331-43B2-8666-66666666666G}"
                                              << "66666666666G";
        QTest::newRow("bad digit in group 4 names group 5")
            << "{6BBC35C2-9331-43B2-86x6-666666666666}"
            << "666666666666";
        QTest::newRow("sign in group 1") << "{+BBC35C2-9331-43B2-8666-666666666666}"
                                         << "+BBC35C2";
        QTest::newRow("empty") << ""
                               << "";
    }
    void appGuidRejected() {
        QFETCH(QString, text);
        QFETCH(QString, named);
        const QString before = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
        lanx_->SetAppGuid(before);
        lanx_->SetDebugOption({}); // raised whatever the options
        try {
            lanx_->SetAppGuid(text);
            QFAIL("accepted a malformed GUID");
        } catch (const ELanx& e) {
            QCOMPARE(e.Message(), named + "は無効なプロパティです");
        }
        QCOMPARE(lanx_->AppGuid(), before);
        QCOMPARE(halts_, 0);
    }

    void hostingArguments_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("noMessageId");
        QTest::addColumn<int>("maxPlayers");
        QTest::addColumn<QString>("openCall");
        QTest::addColumn<quint32>("flags");
        QTest::newRow("game") << "KORVAMESH" << false << 2 << "Open 2 name=KORVAMESH" << 0x44u;
        QTest::newRow("no message ids") << "x" << true << 4 << "Open 2 name=x" << 0x4Cu;
        QTest::newRow("empty name") << "" << false << 8 << "Open 2 name=" << 0x44u;
    }
    void hostingArguments() {
        QFETCH(QString, name);
        QFETCH(bool, noMessageId);
        QFETCH(int, maxPlayers);
        QFETCH(QString, openCall);
        QFETCH(quint32, flags);
        lanx_->SetNoMessageID(noMessageId);
        lanx_->SetMaxPlayers(maxPlayers);
        lanx_->SetAppGuid(kGameGuid);
        host(name);
        QCOMPARE(script_->Calls(),
                 QStringList({"Create", "EnumConnections 1", "InitializeConnection 0",
                              "EnumSessions 0 1", openCall, "EnumPlayers 0",
                              "CreatePlayer me/me long"}));
        QCOMPARE(script_->initializedData, QByteArray("tcp\0data", 8));
        QCOMPARE(script_->enumDesc.dwSize, 80u);
        QCOMPARE(script_->enumDesc.dwFlags, 0u);
        QCOMPARE(script_->enumDesc.dwMaxPlayers, 0u);
        const DPSESSIONDESC2& d = script_->openDesc;
        QCOMPARE(d.dwSize, 80u);
        QCOMPARE(d.dwFlags, flags);
        QCOMPARE(d.dwMaxPlayers, quint32(maxPlayers));
        QVERIFY2(name.isEmpty() == script_->openName.isNull(), "an empty name passes no name");
        QCOMPARE(lanx_->Players().Count(), 1);
        QCOMPARE(lanx_->Players().Items(0), lanx_->LocalPlayer());
        QCOMPARE(lanx_->LocalPlayer()->ID, 0x1001u);
        QCOMPARE(lanx_->LocalPlayer()->LongName, QString("me long"));
        QVERIFY(lanx_->ReceiveThread() && !lanx_->ReceiveThread()->Finished());
    }

    void joinerIsSecond() {
        DPSESSIONDESC2 found;
        found.dwFlags = 0x44;
        found.dwUser3 = 77; // a copy of the whole description is joined with
        script_->sessions = {{"KORVAMESH", found}};
        script_->players = {{0x500, "host", "host long"}};
        lanx_->Loaded();
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QCOMPARE(lanx_->Sessions().Count(), 1);
        QCOMPARE(lanx_->Sessions().Strings(0), QString("KORVAMESH"));
        QCOMPARE(lanx_->JoinSession(0, "guest", "guest"), DP_OK);
        QCOMPARE(script_->Calls().mid(4, 1), QStringList({"Open 1 name="}));
        QCOMPARE(script_->openDesc.dwUser3, 77u);
        QCOMPARE(lanx_->Players().Count(), 2);
        QCOMPARE(lanx_->Players().Items(0)->ShortName, QString("host"));
        QCOMPARE(lanx_->Players().Items(0)->LongName, QString("host long"));
        QCOMPARE(lanx_->Players().Items(1), lanx_->LocalPlayer());
    }

    void secondConnectStartsAfresh() {
        host();
        QVERIFY(lanx_->ReceiveThread());
        script_->connections = {{"TCP/IP again", "other"}};
        script_->ClearCalls();
        QCOMPARE(lanx_->Connect(0), DP_OK);
        QCOMPARE(script_->CallsBut("Receive"),
                 QStringList({"Close", "Release", "Create", "EnumConnections 1",
                              "InitializeConnection 0", "EnumSessions 0 1"}));
        QCOMPARE(lanx_->Connections().Count(), 1);
        QCOMPARE(script_->initializedData, QByteArray("other"));
        QVERIFY2(!lanx_->ReceiveThread(), "the closed session's thread is still there");
        QCOMPARE(TLanxReceiveThread::Count(), 0);
        // Not open any more: hosting again closes nothing.
        script_->ClearCalls();
        QCOMPARE(lanx_->CreateSession("x", "a", "b"), DP_OK);
        QVERIFY(!script_->Calls().contains("Close"));
    }

    // Given before the platform object exists, it reaches that one and every
    // later one; given while a session is open, the current one.
    void pairingPreferenceIsKept() {
        lanx_->SetPairingPreference(GUID{7}, {GUID{8}});
        host();
        lanx_->SetPairingPreference(GUID{7}, {});
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QCOMPARE(script_->Calls().filter(QRegularExpression("^(Create$|Close|SetPairing)")),
                 QStringList({"Create", "SetPairingPreference 7 1", "SetPairingPreference 7 0",
                              "Close", "Create", "SetPairingPreference 7 0"}));
    }

    void sending_data() {
        QTest::addColumn<bool>("guaranteed");
        QTest::addColumn<quint32>("flags");
        QTest::newRow("guaranteed") << true << 1u;
        QTest::newRow("not guaranteed") << false << 0u;
    }
    void sending() {
        QFETCH(bool, guaranteed);
        QFETCH(quint32, flags);
        host();
        lanx_->SetSendGuaranteed(guaranteed);
        const QByteArray text("PUTOK 34\0", 9);
        lanx_->SendData(0, text.constData(), 9);
        QCOMPARE(script_->sent.size(), 1);
        QCOMPARE(script_->sent[0].from, lanx_->LocalPlayer()->ID);
        QCOMPARE(script_->sent[0].to, 0u);
        QCOMPARE(script_->sent[0].flags, flags);
        QCOMPARE(script_->sent[0].bytes, text);
    }

    void playersList() {
        TLanxPlayers players;
        players.Add(std::make_unique<TLanxPlayer>(1, "a", "A"));
        players.Add(std::make_unique<TLanxPlayer>(2, "b", "B"));
        players.Add(std::make_unique<TLanxPlayer>(1, "c", "C"));
        QCOMPARE(players.IndexOfID(1), 2);
        QCOMPARE(players.FindByID(1)->ShortName, QString("c"));
        QCOMPARE(players.IndexOfID(9), -1);
        QVERIFY(!players.FindByID(9));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, players.Items(3));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, players.Items(-1));
    }

    void indexErrors() {
        lanx_->Loaded();
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lanx_->Connect(2));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lanx_->Connections().Strings(-1));
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lanx_->JoinSession(0, "a", "b"));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lanx_->Players().Items(0));
    }

    // Each failing step: what is returned, what is logged, what is not done.
    void failures_data() {
        QTest::addColumn<QString>("op");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("notCalled");
        QTest::newRow("open") << "Open" << DPERR_GENERIC
                              << "セッションのオープンに失敗しました(Error Code(80004005))"
                              << "EnumPlayers 0";
        QTest::newRow("player list") << "EnumPlayers" << DPERR_INVALIDPARAMS
                                     << "プレイヤーの列挙に失敗しました(Error Code(80070057))"
                                     << "CreatePlayer me/me";
        QTest::newRow("player") << "CreatePlayer" << DPERR_CANTCREATEPLAYER
                                << "プレーヤの作成に失敗しました(Error Code(88770046))"
                                << "";
        QTest::newRow("send") << "Send" << DPERR_SENDTOOBIG
                              << "メッセージの送信に失敗しました(Error Code(887700E6))"
                              << "";
        QTest::newRow("close") << "Close" << DPERR_CONNECTIONLOST
                               << "セッションのクローズに失敗しました(Error Code(8877012C))"
                               << "";
    }
    void failures() {
        QFETCH(QString, op);
        QFETCH(quint32, code);
        QFETCH(QString, line);
        QFETCH(QString, notCalled);
        lanx_->SetDebugOption(dpoDebugMessage);
        lanx_->Loaded();
        QCOMPARE(lanx_->Connect(1), DP_OK);
        if (op == "Send" || op == "Close")
            QCOMPARE(lanx_->CreateSession("s", "me", "me"), DP_OK);
        script_->FailNext(op, code);
        script_->ClearCalls();
        if (op == "Send") {
            lanx_->SendData(0, "x", 2);
        } else {
            const HRESULT result = lanx_->CreateSession("s", "me", "me");
            QCOMPARE(result, op == "Close" ? DP_OK : code);
            QCOMPARE(lanx_->LocalPlayer() != nullptr, op == "Close");
            QCOMPARE(lanx_->ReceiveThread() != nullptr, op == "Close");
        }
        QCOMPARE(QString::fromUtf8(log()), "debug#00001 ... " + line + "\r\n");
        if (!notCalled.isEmpty())
            QVERIFY2(!script_->Calls().contains(notCalled), qPrintable(notCalled + " was called"));
    }

    void connectFailures() {
        lanx_->SetDebugOption(dpoDebugMessage);
        lanx_->Loaded();
        // Initialisation failed: logged without the code suffix; no session search.
        script_->FailNext("InitializeConnection", DPERR_UNAVAILABLE);
        QCOMPARE(lanx_->Connect(1), DPERR_UNAVAILABLE);
        QVERIFY(!script_->Calls().contains("EnumSessions 0 1"));
        // The search failed: reported, but Connect succeeds.
        script_->FailNext("EnumSessions", DPERR_NOSESSIONS);
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QCOMPARE(QString::fromUtf8(log()),
                 "debug#00001 ... TCP/IPに接続できません887700FA\r\n"
                 "debug#00002 ... セッションの列挙に失敗しました(Error Code(887700C8))\r\n");
        // Without the log the failed initialisation still searches.
        lanx_->SetDebugOption({});
        script_->ClearCalls();
        script_->FailNext("InitializeConnection", DPERR_UNAVAILABLE);
        QCOMPARE(lanx_->Connect(1), DPERR_UNAVAILABLE);
        QVERIFY(script_->Calls().contains("EnumSessions 0 1"));
    }

    void cancelledSearchKeepsWhatWasFound() {
        lanx_->SetDebugOption(dpoDebugMessage | dpoExceptOnError | dpoHaltOnError);
        script_->sessions = {{"one", {}}, {"two", {}}};
        lanx_->Loaded();
        script_->FailNext("EnumSessions", DPERR_USERCANCEL);
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QCOMPARE(lanx_->Sessions().Count(), 2);
        // A cancelled open stops the operation but is not reported either.
        script_->FailNext("Open", DPERR_USERCANCEL);
        QCOMPARE(lanx_->JoinSession(1, "a", "b"), DPERR_USERCANCEL);
        QVERIFY(!lanx_->LocalPlayer());
        QCOMPARE(log(), QByteArray("<no log file>"));
        QCOMPARE(halts_, 0);
    }

    // With the given options, a failed send: what is logged, raised, halted.
    void debugOptions_data() {
        QTest::addColumn<TLanxDebugOption>("options");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<bool>("logged");
        QTest::addColumn<bool>("raised");
        QTest::addColumn<int>("halts");
        const quint32 failed = DPERR_GENERIC;
        QTest::newRow("halt (the game's)")
            << TLanxDebugOption(dpoHaltOnError) << failed << false << false << 1;
        QTest::newRow("halt, user cancel")
            << TLanxDebugOption(dpoHaltOnError) << DPERR_USERCANCEL << false << false << 0;
        QTest::newRow("except and halt")
            << (dpoExceptOnError | dpoHaltOnError) << failed << false << true << 0;
        QTest::newRow("all three")
            << (dpoDebugMessage | dpoExceptOnError | dpoHaltOnError) << failed << true << true << 0;
        QTest::newRow("log and halt")
            << (dpoDebugMessage | dpoHaltOnError) << failed << true << false << 1;
        QTest::newRow("none") << TLanxDebugOption() << failed << false << false << 0;
    }
    void debugOptions() {
        QFETCH(TLanxDebugOption, options);
        QFETCH(quint32, code);
        QFETCH(bool, logged);
        QFETCH(bool, raised);
        QFETCH(int, halts);
        host();
        lanx_->SetDebugOption(options);
        script_->FailNext("Send", code);
        const QString text = "メッセージの送信に失敗しました(Error Code(80004005))";
        bool caught = false;
        try {
            lanx_->SendData(0, "x", 1);
        } catch (const ELanx& e) {
            caught = true;
            QCOMPARE(e.Message(), text);
        }
        QCOMPARE(caught, raised);
        QCOMPARE(halts_, halts);
        QCOMPARE(log(), logged ? ("debug#00001 ... " + text + "\r\n").toUtf8()
                               : QByteArray("<no log file>"));
    }

    void checkResultFormat() {
        lanx::SetDebugFlags(dpoDebugMessage);
        QCOMPARE(CheckResult(0x1F, "x"), 0x1Fu);
        QCOMPARE(CheckResult(DP_OK, "y"), DP_OK);
        QCOMPARE(CheckResult(DPERR_USERCANCEL, "z"), DPERR_USERCANCEL);
        QCOMPARE(log(), QByteArray("debug#00001 ... x(Error Code(1F))\r\n"));
    }

    void logRunsAndNumbering() {
        QFile old(logPath());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("from an earlier run\r\n");
        old.close();
        lanx::SetDebugFlags(dpoDebugMessage);
        for (int i = 0; i < 2; ++i)
            DebugLog("送信 %1 %s");
        QCOMPARE(log(), QByteArray("debug#00001 ... 送信 %1 %s\r\n"
                                   "debug#00002 ... 送信 %1 %s\r\n"));
        lanx::SetDebugLogFolder(dir_.path()); // a new run
        DebugLog("again");
        QCOMPARE(log(), QByteArray("debug#00001 ... again\r\n"));
        // Beyond five digits the number grows.
        for (int i = 0; i < 99999; ++i)
            DebugLog("");
        QVERIFY2(log().endsWith("debug#100000 ... \r\n"), log().right(40).constData());
        // A run whose state folder does not exist yet makes it.
        const QString state = dir_.filePath("state/veltroy");
        lanx::SetDebugLogFolder(state);
        DebugLog("made");
        QVERIFY(QFile::exists(state + "/Lanx_DebugLog.txt"));
    }

    void unwritableLog() {
        lanx::SetDebugFlags(dpoDebugMessage | dpoExceptOnError | dpoHaltOnError);
        QVERIFY(QDir(dir_.path()).mkdir("Lanx_DebugLog.txt"));
        QVERIFY_THROWS_EXCEPTION(ELanxIOError, CheckResult(DPERR_GENERIC, "lost"));
        QCOMPARE(halts_, 0);
        QVERIFY(QDir(dir_.path()).rmdir("Lanx_DebugLog.txt"));
        QVERIFY_THROWS_EXCEPTION(ELanx, CheckResult(DPERR_GENERIC, "kept"));
        QCOMPARE(log(), QByteArray("debug#00001 ... kept(Error Code(80004005))\r\n"));
    }

    void lastOptionsSetWin() {
        host();
        TLanx other(nullptr);
        other.SetDebugOption(dpoDebugMessage);
        script_->FailNext("Send", DPERR_GENERIC);
        lanx_->SendData(0, "x", 1); // its own option says halt; the unit's flags say log
        QCOMPARE(halts_, 0);
        QVERIFY(log().startsWith("debug#00001"));
    }

    void withoutLocalPlayer() {
        lanx_->SetDebugOption(dpoDebugMessage);
        lanx_->Loaded();
        lanx_->SendData(0, "x", 1);
        QVERIFY(script_->sent.isEmpty());
        QCOMPARE(QString::fromUtf8(log()),
                 "debug#00001 ... メッセージの送信に失敗しました(Error Code(88770096))\r\n");
    }

    void realHalt() {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LANX_HALT_CHILD_LOG", dir_.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {"valuesAtCreation"});
        QVERIFY(child.waitForFinished(30000));
        const QByteArray out = child.readAllStandardOutput();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() == 0, out.constData());
        QVERIFY2(!out.contains("still running"), out.constData());
        QCOMPARE(log(), QByteArray("debug#00001 ... halt(Error Code(80004005))\r\n"));
    }

    void withoutPlatformObject() {
        SetDirectPlayFactory([] { return std::unique_ptr<IDirectPlay>(); });
        lanx_->SetDebugOption(dpoDebugMessage);
        lanx_->Loaded();
        QCOMPARE(lanx_->Connections().Count(), 0);
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, lanx_->Connect(0));
        QCOMPARE(lanx_->CreateSession("s", "a", "b"), DPERR_UNINITIALIZED);
        lanx_->SendData(0, "x", 1);
        QCOMPARE(QString::fromUtf8(log()),
                 "debug#00001 ... セッションのオープンに失敗しました(Error Code(800401F0))\r\n"
                 "debug#00002 ... メッセージの送信に失敗しました(Error Code(88770096))\r\n");
    }
};

QTEST_GUILESS_MAIN(TestLanx)
#include "tst_lanx.moc"
