// Tests of TLanx's receive thread on a scripted transport: delivery on the GUI
// thread, the players list around the events, and stopping and shutdown.
#include "ScriptedDirectPlay.h"
#include "net/Lanx.h"
#include "platform/Platform.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <condition_variable>
#include <thread>

namespace {

constexpr DPID kGuest = 0x2001;

// Ends the test program when a test hangs (a deadlock would otherwise only
// show as the test runner's time-out).
class Watchdog {
public:
    explicit Watchdog(int seconds) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock lock(mutex_);
            if (!cond_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; }))
                qFatal("deadlock: the test did not finish within %d s", seconds);
        });
    }
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cond_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool done_ = false;
    std::thread thread_;
};

struct Event {
    QString what; // "arrive", "comes", "escapes"
    QString player;
    QByteArray bytes;
    int playersDuring;
};

} // namespace

class TestLanxReceive : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::shared_ptr<DpScript> script_;
    std::unique_ptr<TLanx> lanx_;
    std::shared_ptr<QList<Event>> events_;
    std::unique_ptr<Watchdog> watchdog_;
    int halts_ = 0;

    QByteArray log() const {
        QFile f(dir_.filePath("Lanx_DebugLog.txt"));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    void host(bool noMessageId = false) {
        lanx_->SetNoMessageID(noMessageId);
        lanx_->Loaded();
        QCOMPARE(lanx_->Connect(1), DP_OK);
        QCOMPARE(lanx_->CreateSession("KORVAMESH", "host", "host long"), DP_OK);
    }
    // Records every event; the handlers keep no pointer to the fixture's component.
    void record(TLanx* lanx) {
        auto events = events_;
        lanx->OnArriveMessage = [events](TLanx* sender, TLanxPlayer* from, const void* data,
                                         std::uint32_t size) {
            events->append({"arrive", from ? from->ShortName : "<none>",
                            QByteArray(static_cast<const char*>(data), size),
                            sender->Players().Count()});
        };
        lanx->OnComesNewChallenger = [events](TLanx* sender, TLanxPlayer* player,
                                              const QString& shortName, const QString& longName) {
            QCOMPARE(sender->Players().FindByID(player->ID), player);
            events->append({"comes", shortName + "/" + longName, {}, sender->Players().Count()});
        };
        lanx->OnEscapeChallenger = [events](TLanx* sender, TLanxPlayer* player,
                                            const QString& shortName, const QString&) {
            QCOMPARE(sender->Players().IndexOfID(player->ID), -1);
            events->append(
                {"escapes", shortName + "/" + player->LongName, {}, sender->Players().Count()});
        };
    }
    QStringList arrivals() const {
        QStringList texts;
        for (const Event& e : *events_)
            texts << e.what + " " + e.player + " " + QString::fromUtf8(e.bytes);
        return texts;
    }

private slots:
    void init() {
        watchdog_ = std::make_unique<Watchdog>(60);
        QVERIFY(dir_.isValid());
        QFile::remove(dir_.filePath("Lanx_DebugLog.txt"));
        lanx::SetDebugLogFolder(dir_.path());
        halts_ = 0;
        lanx::SetHaltHook([this] { ++halts_; });
        script_ = std::make_shared<DpScript>();
        InstallScript(script_);
        events_ = std::make_shared<QList<Event>>();
        lanx_ = std::make_unique<TLanx>(nullptr);
        lanx_->SetDebugOption(dpoDebugMessage | dpoHaltOnError);
        record(lanx_.get());
    }
    void cleanup() {
        lanx_.reset();
        QCoreApplication::processEvents(); // hand-overs left queued must find nobody
        SetDirectPlayFactory(nullptr);
        lanx::SetHaltHook(nullptr);
        lanx::SetDebugLogFolder(QString());
        watchdog_.reset();
    }

    void comesAndEscapes() {
        host();
        script_->QueueSystem(DPSYS_CREATEPLAYERORGROUP, kGuest, "guest", "guest long");
        QTRY_COMPARE(events_->size(), 1);
        QCOMPARE(arrivals(), QStringList({"comes guest/guest long "}));
        QCOMPARE(events_->at(0).playersDuring, 2);
        QCOMPARE(lanx_->Players().Items(0), lanx_->LocalPlayer()); // the host
        QCOMPARE(lanx_->Players().Items(1)->ShortName, QString("guest"));

        script_->QueueSystem(DPSYS_DESTROYPLAYERORGROUP, 0x9999, "", ""); // unknown: ignored
        script_->QueueSystem(DPSYS_SESSIONLOST, 0, "", "");               // ignored
        script_->QueueSystem(DPSYS_DESTROYPLAYERORGROUP, kGuest, "", "");
        QTRY_COMPARE(events_->size(), 2);
        QCOMPARE(arrivals().last(), QString("escapes guest/guest long "));
        QCOMPARE(events_->at(1).playersDuring, 1);
        QCOMPARE(lanx_->Players().Count(), 1);
        QCOMPARE(script_->Waiting(), 0);
        QCOMPARE(log(), QByteArray());
    }

    // Joined to another waiting host: the players are listed anew, host first,
    // the local player under its new id, and the host arrives. Silence and
    // return of a known player are told; of an unknown id, not.
    void joinedOtherSessionAndSilence() {
        host();
        auto events = events_;
        lanx_->OnChallengerSilent = [events](TLanx*, TLanxPlayer*, const QString& name,
                                             const QString&) {
            events->append({"silent", name, {}, 0});
        };
        lanx_->OnChallengerHeardAgain = [events](TLanx*, TLanxPlayer*, const QString& name,
                                                 const QString&) {
            events->append({"heard", name, {}, 0});
        };
        script_->players = {{0x7001, "other", "other long"}, {0x7002, "host", "host long"}};
        script_->QueueSystem(DPSYS_JOINEDSESSION, 0x7002, "host", "host long");
        QTRY_COMPARE(events_->size(), 1);
        QCOMPARE(arrivals(), QStringList({"comes other/other long "}));
        QCOMPARE(events_->at(0).playersDuring, 2);
        QCOMPARE(lanx_->Players().Items(0)->ID, DPID(0x7001));
        QCOMPARE(lanx_->Players().Items(1), lanx_->LocalPlayer());
        QCOMPARE(lanx_->LocalPlayer()->ID, DPID(0x7002));

        script_->QueueSystem(DPSYS_PLAYERSILENT, 0x9999, "", ""); // unknown: ignored
        script_->QueueSystem(DPSYS_PLAYERSILENT, 0x7001, "other", "other long");
        script_->QueueSystem(DPSYS_PLAYERHEARD, 0x7001, "other", "other long");
        QTRY_COMPARE(events_->size(), 3);
        QCOMPARE(arrivals().mid(1), QStringList({"silent other ", "heard other "}));
        QCOMPARE(lanx_->Players().Count(), 2);
    }

    void senders_data() {
        QTest::addColumn<bool>("noMessageId");
        QTest::addColumn<quint32>("from");
        QTest::addColumn<QString>("expected");
        QTest::newRow("player of the session") << false << quint32(kGuest) << "arrive guest hi";
        QTest::newRow("id not in the list") << false << 0x7777u << "arrive <none> hi";
        QTest::newRow("no message ids") << true << quint32(kGuest) << "arrive <none> hi";
    }
    void senders() {
        QFETCH(bool, noMessageId);
        QFETCH(quint32, from);
        QFETCH(QString, expected);
        host(noMessageId);
        script_->QueueSystem(DPSYS_CREATEPLAYERORGROUP, kGuest, "guest", "", false);
        script_->Queue(from, "hi");
        QTRY_COMPARE(events_->size(), 2);
        QCOMPARE(arrivals().last(), expected);
    }

    void withoutHandlerMessagesAreDropped() {
        lanx_->OnArriveMessage = nullptr;
        host();
        script_->Queue(kGuest, "lost", false);
        script_->QueueSystem(DPSYS_CREATEPLAYERORGROUP, kGuest, "guest", "");
        QTRY_COMPARE(lanx_->Players().Count(), 2);
        QCOMPARE(script_->Waiting(), 0);
        QCOMPARE(arrivals(), QStringList({"comes guest/ "}));
    }

    void messageSizes_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("0 bytes") << 0;
        QTest::newRow("1 byte") << 1;
        QTest::newRow("1 MiB") << (1 << 20);
    }
    void messageSizes() {
        QFETCH(int, size);
        host();
        QByteArray bytes(size, '\0');
        for (int i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i * 7 + i / 251);
        script_->Queue(kGuest, bytes);
        QTRY_COMPARE(events_->size(), 1);
        QCOMPARE(events_->at(0).bytes.size(), size);
        QVERIFY2(events_->at(0).bytes == bytes, "the bytes differ");
        QCOMPARE(script_->TooSmallAnswers(), size == 0 ? 0 : 1);
        // A smaller message after a large one still asks with size 0 first.
        script_->Queue(kGuest, "ab");
        QTRY_COMPARE(events_->size(), 2);
        QCOMPARE(events_->at(1).bytes, QByteArray("ab"));
    }

    void everyWaitingMessageInOrder() {
        host();
        for (int i = 1; i <= 5; ++i)
            script_->Queue(kGuest, QByteArray::number(i), false);
        script_->Signal(); // one wake-up for five messages
        QTRY_COMPARE(events_->size(), 5);
        QCOMPARE(arrivals(), QStringList({"arrive <none> 1", "arrive <none> 2", "arrive <none> 3",
                                          "arrive <none> 4", "arrive <none> 5"}));
    }

    void receiveFailuresOnlyLog() {
        host();
        script_->Signal(); // nothing waiting: no line
        script_->FailNext("Receive", DPERR_CONNECTIONLOST);
        script_->Signal();
        QTRY_VERIFY(!log().isEmpty());
        QCOMPARE(QString::fromUtf8(log()),
                 "debug#00001 ... メッセージの受信時に、エラーが発生しました 8877012C\r\n");
        QCOMPARE(halts_, 0);
        script_->Queue(kGuest, "still here");
        QTRY_COMPARE(arrivals(), QStringList({"arrive <none> still here"}));
    }

    void exceptionEndsDeliveries_data() {
        QTest::addColumn<bool>("fromHandler");
        QTest::newRow("from a handler") << true;
        QTest::newRow("from the log (ExceptOnError)") << false;
    }
    void exceptionEndsDeliveries() {
        QFETCH(bool, fromHandler);
        const QRegularExpression warning("receiving ended by an exception");
        for (int i = 0; i < (fromHandler ? 2 : 1); ++i)
            QTest::ignoreMessage(QtWarningMsg, warning);
        host();
        auto events = events_;
        if (fromHandler) {
            lanx_->OnArriveMessage = [events](TLanx*, TLanxPlayer*, const void*, std::uint32_t) {
                events->append({"arrive", "", "", 0});
                throw std::runtime_error("handler failed");
            };
            script_->Queue(kGuest, "one", false);
            script_->Queue(kGuest, "two");
        } else {
            lanx_->SetDebugOption(dpoExceptOnError);
            script_->FailNext("Receive", DPERR_CONNECTIONLOST);
            script_->Queue(kGuest, "two");
        }
        QTRY_VERIFY2(lanx_->ReceiveThread()->Finished(), "the thread goes on after the exception");
        QCOMPARE(events_->size(), fromHandler ? 1 : 0);
        script_->Signal();
        QCoreApplication::processEvents();
        QCOMPARE(events_->size(), fromHandler ? 1 : 0);
        QCOMPARE(script_->Waiting(), 1);
        // A new session delivers again.
        QCOMPARE(lanx_->CreateSession("again", "a", "b"), DP_OK);
        script_->Signal();
        QTRY_COMPARE(script_->Waiting(), 0);
    }

    void stopWakesTheThread() {
        host();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(lanx_->CreateSession("second", "a", "b"), DP_OK); // closes the first
        QVERIFY2(TLanxReceiveThread::Count() == 1, "the first thread was not ended and freed");
        QVERIFY2(timer.elapsed() < 2000, "stopping waited for a wake-up");
        // The new player's messages reach the new thread only.
        script_->Queue(kGuest, "to the second");
        QTRY_COMPARE(arrivals(), QStringList({"arrive <none> to the second"}));
    }

    void handlerClosingTheSessionStopsTheRound() {
        host();
        TLanx* lanx = lanx_.get();
        auto events = events_;
        lanx_->OnArriveMessage = [events, lanx](TLanx*, TLanxPlayer*, const void* data,
                                                std::uint32_t size) {
            events->append({"arrive", "", QByteArray(static_cast<const char*>(data), size), 0});
            if (events->size() == 1)
                QCOMPARE(lanx->CreateSession("new", "n", "n"), DP_OK);
        };
        for (const char* text : {"a", "b", "c"})
            script_->Queue(kGuest, text, false);
        script_->Signal();
        QTRY_COMPARE(events_->size(), 1);
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        QCOMPARE(events_->size(), 1);
        QCOMPARE(script_->Waiting(), 2);
        script_->Signal(); // the new session's event
        QTRY_COMPARE(events_->size(), 3);
        QCOMPARE(events_->at(2).bytes, QByteArray("c"));
    }

    void nestedLoopInHandler() {
        host();
        auto events = events_;
        auto depth = std::make_shared<int>(0);
        auto script = script_;
        lanx_->OnArriveMessage = [events, depth, script](TLanx*, TLanxPlayer*, const void* data,
                                                         std::uint32_t size) {
            const QByteArray bytes(static_cast<const char*>(data), size);
            events->append({"arrive", QString::number(++*depth), bytes, 0});
            if (bytes == "modal") {
                // Like a modal window: the next message is queued and the
                // loop runs while this handler is still active.
                script->Queue(kGuest, "after");
                QEventLoop loop;
                QTimer::singleShot(50, &loop, &QEventLoop::quit);
                loop.exec();
            }
            --*depth;
        };
        script_->Queue(kGuest, "modal");
        QTRY_COMPARE(events_->size(), 2);
        QCOMPARE(arrivals(), QStringList({"arrive 1 modal", "arrive 1 after"}));
    }

    void newSessionDeliversInsideHandler() {
        host();
        TLanx* lanx = lanx_.get();
        auto events = events_;
        auto script = script_;
        lanx_->OnArriveMessage = [events, lanx, script](TLanx*, TLanxPlayer*, const void* data,
                                                        std::uint32_t size) {
            const char* bytes = static_cast<const char*>(data);
            events->append({"arrive", "", QByteArray(bytes, size), 0});
            if (events->size() != 1)
                return;
            QCOMPARE(lanx->CreateSession("new", "n", "n"), DP_OK);
            script->Queue(kGuest, QByteArray(4096, 'x')); // needs a bigger buffer
            // The new thread's hand-over runs in this nested loop.
            QTRY_COMPARE(events->size(), 3);
            QCOMPARE(QByteArray(bytes, size), QByteArray("first"));
        };
        script_->Queue(kGuest, "first", false);
        script_->Queue(kGuest, "second");
        QTRY_COMPARE(events_->size(), 3);
        QCOMPARE(arrivals().mid(0, 2), QStringList({"arrive  first", "arrive  second"}));
        QCOMPARE(events_->at(2).bytes, QByteArray(4096, 'x'));
    }

    void destroyWithOpenSession() {
        host();
        script_->ClearCalls();
        lanx_.reset();
        QCOMPARE(TLanxReceiveThread::Count(), 0);
        QCOMPARE(script_->CallsBut("Receive"), QStringList({"Close", "Release"}));
    }

    void destroyWithHandOverPending() {
        host();
        script_->Queue(kGuest, "late");
        QElapsedTimer timer;
        timer.start();
        while (!lanx_->ReceiveThread()->HandOverPending() && timer.elapsed() < 10000)
            platform::Sleep(1);
        QVERIFY2(lanx_->ReceiveThread()->HandOverPending(), "no hand-over was queued");
        lanx_.reset();
        QCOMPARE(TLanxReceiveThread::Count(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(events_->size(), 0);
        QCOMPARE(script_->Waiting(), 1);
    }

    void destroyedByItsHandler() {
        host();
        auto events = events_;
        std::unique_ptr<TLanx>* owner = &lanx_;
        lanx_->OnArriveMessage = [events, owner](TLanx*, TLanxPlayer*, const void*, std::uint32_t) {
            events->append({"arrive", "", "", 0});
            owner->reset(); // e.g. the window closed from a nested loop
        };
        script_->Queue(kGuest, "one", false);
        script_->Queue(kGuest, "two");
        QTRY_VERIFY(!lanx_);
        QCoreApplication::processEvents();
        QCOMPARE(events_->size(), 1);
        QCOMPARE(script_->CallsBut("Receive").mid(7), QStringList({"Close", "Release"}));
    }
};

QTEST_GUILESS_MAIN(TestLanxReceive)
#include "tst_lanxreceive.moc"
