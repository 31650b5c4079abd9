// The receive thread of TLanx, its hand-over to the GUI thread, and the
// dispatch of received messages into the players list and the three events.
#include "net/Lanx.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace {
std::atomic<int> threadCount{0};
// Held while a hand-over is posted and taken first when it runs. Qt's event
// queue already orders the two, but in a way ThreadSanitizer cannot see; this
// lock makes the hand-off of the queued call's captures visible to it.
std::mutex postMutex;
} // namespace

struct TLanxReceiveThread::State {
    mutable std::mutex Mutex;
    std::condition_variable Cond;
    std::shared_ptr<AutoResetEvent> Event;
    bool Stop = false;
    bool Pending = false;  // a wake-up waits for the GUI thread
    bool Failed = false;   // an exception ended the deliveries
    bool Finished = false; // the thread body has returned
};

TLanxReceiveThread::TLanxReceiveThread(TLanx* Owner, std::shared_ptr<AutoResetEvent> event)
    : Owner(Owner), State_(std::make_shared<State>()) {
    State_->Event = std::move(event);
    ++threadCount;
}

TLanxReceiveThread::~TLanxReceiveThread() {
    Stop();
    if (Thread_.joinable())
        Thread_.join();
    --threadCount;
}

int TLanxReceiveThread::Count() {
    return threadCount;
}

void TLanxReceiveThread::Start() {
    // The application object outlives every window and so every component.
    QObject* const courier = QCoreApplication::instance();
    if (courier && !Thread_.joinable())
        Thread_ = std::thread(&TLanxReceiveThread::Run, State_, Owner, courier);
}

void TLanxReceiveThread::Stop() {
    {
        std::lock_guard lock(State_->Mutex);
        State_->Stop = true;
    }
    State_->Cond.notify_all();
    State_->Event->Set();
}

bool TLanxReceiveThread::StopRequested() const {
    std::lock_guard lock(State_->Mutex);
    return State_->Stop;
}

bool TLanxReceiveThread::HandOverPending() const {
    std::lock_guard lock(State_->Mutex);
    return State_->Pending;
}

bool TLanxReceiveThread::Finished() const {
    std::lock_guard lock(State_->Mutex);
    return State_->Finished;
}

void TLanxReceiveThread::Deliver(const std::shared_ptr<State>& state, TLanx* owner) {
    {
        std::lock_guard guard(state->Mutex);
        if (state->Stop)
            return; // the thread is gone or going; the owner may be too
    }
    bool failed = false;
    try {
        owner->HandleWakeUp([state] {
            std::lock_guard guard(state->Mutex);
            return state->Stop;
        });
    } catch (const std::exception& e) {
        qWarning("TLanx: receiving ended by an exception: %s", e.what());
        failed = true;
    } catch (...) {
        qWarning("TLanx: receiving ended by an exception");
        failed = true;
    }
    {
        std::lock_guard guard(state->Mutex);
        state->Pending = false;
        state->Failed = failed;
    }
    state->Cond.notify_all();
}

void TLanxReceiveThread::Run(std::shared_ptr<State> state, TLanx* owner, QObject* courier) {
    for (;;) {
        // Always this player's own event: a stopped thread must not take a
        // wake-up meant for its successor.
        state->Event->Wait();
        std::unique_lock lock(state->Mutex);
        if (!state->Stop) {
            state->Pending = true;
            // Posted under the lock, so never after Stop() returned.
            {
                std::lock_guard post(postMutex);
                QMetaObject::invokeMethod(
                    courier,
                    [state, owner] {
                        { std::lock_guard posted(postMutex); } // before any capture is read
                        Deliver(state, owner);
                    },
                    Qt::QueuedConnection);
            }
            // A notice the GUI thread sleeps through may end on an arrival.
            platform::WakeSleeper();
            state->Cond.wait(lock, [&] { return !state->Pending || state->Stop; });
        }
        if (state->Stop || state->Failed) {
            state->Finished = true;
            return;
        }
    }
}

void TLanx::StopReceiveThread() {
    // The stop wakes the thread from either of its waits, so joining here is
    // immediate even when a hand-over of it is still queued.
    std::unique_ptr<TLanxReceiveThread> thread = std::move(ReceiveThread_);
    thread.reset();
}

void TLanx::HandleWakeUp(const std::function<bool()>& stopped) {
    // Every waiting message, in arrival order: one wake-up may stand for
    // several messages. A handler that closed the session or destroyed the
    // component has stopped the thread, which ends the loop untouched.
    while (!stopped()) {
        if (!ReceiveMessage())
            return;
    }
}

void TLanx::JoinedOtherSession(DPID localId) {
    // The players as the new host lists them (the host first), then this
    // program's own player under its new id; each other player arrives.
    Players_.Clear();
    LocalPlayer_ = nullptr;
    Platform().EnumPlayers(
        [this](DPID id, const DPNAME& name) {
            Players_.Add(std::make_unique<TLanxPlayer>(id, name.ShortName, name.LongName));
            return true;
        },
        0);
    LocalPlayer_ = Players_.FindByID(localId);
    std::vector<DPID> others;
    for (int i = 0; i < Players_.Count(); ++i) {
        if (Players_.Items(i) != LocalPlayer_)
            others.push_back(Players_.Items(i)->ID);
    }
    const QPointer<TLanx> alive(this);
    for (DPID id : others) {
        // A handler may have changed the session meanwhile.
        TLanxPlayer* player = alive ? Players_.FindByID(id) : nullptr;
        if (!player || !OnComesNewChallenger)
            return;
        const TLanxPlayerEvent handler = OnComesNewChallenger;
        handler(this, player, player->ShortName, player->LongName);
    }
}

bool TLanx::ReceiveMessage() {
    const QPointer<TLanx> alive(this);
    // The buffer is lent out while its message is dispatched: a delivery
    // nested in a handler (for a newer session) gets a buffer of its own and
    // cannot move the bytes the outer handler is reading.
    std::vector<char> buffer = std::move(ReceiveBuffer);
    ReceiveBuffer.clear();
    if (buffer.empty())
        buffer.resize(1); // a valid pointer even for a message of no bytes
    const auto giveBack = [&] {
        if (alive && buffer.size() > ReceiveBuffer.size())
            ReceiveBuffer = std::move(buffer);
    };

    DPID from = 0;
    DPID to = 0;
    std::uint32_t size = 0;
    std::uint32_t room = 0;
    HRESULT result = Platform().Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
    if (result == DPERR_BUFFERTOOSMALL) {
        if (buffer.size() < size)
            buffer.resize(size);
        room = size;
        result = Platform().Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
    }
    if (result != DP_OK) {
        giveBack();
        if (result != DPERR_NOMESSAGES)
            DebugLog(QStringLiteral("メッセージの受信時に、エラーが発生しました ") +
                     QString::asprintf("%.8X", result));
        return false;
    }
    size = std::min(size, room); // never trust a size beyond what was offered

    if (from == DPID_SYSMSG) {
        std::uint32_t type = 0;
        DPID id = 0;
        DPNAME name;
        if (size >= 4)
            type = qFromLittleEndian<std::uint32_t>(buffer.data());
        const bool aboutPlayer =
            type == DPSYS_CREATEPLAYERORGROUP || type == DPSYS_DESTROYPLAYERORGROUP ||
            type == DPSYS_JOINEDSESSION || type == DPSYS_PLAYERSILENT || type == DPSYS_PLAYERHEARD;
        // A notice whose names are missing or cut short still names its player.
        if (aboutPlayer &&
            !ReadSystemMessage(QByteArray::fromRawData(buffer.data(), size), &type, &id, &name)) {
            name = DPNAME();
            if (size >= 8)
                id = qFromLittleEndian<DPID>(buffer.data() + 4);
        }
        const bool known = aboutPlayer && size >= 8;
        giveBack();
        if (!known)
            return true; // the session lost or started, and every other notice
        if (type == DPSYS_CREATEPLAYERORGROUP) {
            TLanxPlayer* player =
                Players_.Add(std::make_unique<TLanxPlayer>(id, name.ShortName, name.LongName));
            if (OnComesNewChallenger) {
                const TLanxPlayerEvent handler = OnComesNewChallenger;
                handler(this, player, name.ShortName, name.LongName);
            }
        } else if (type == DPSYS_JOINEDSESSION) {
            JoinedOtherSession(id);
        } else if (type == DPSYS_PLAYERSILENT || type == DPSYS_PLAYERHEARD) {
            TLanxPlayer* player = Players_.FindByID(id);
            const TLanxPlayerEvent handler =
                type == DPSYS_PLAYERSILENT ? OnChallengerSilent : OnChallengerHeardAgain;
            if (player && handler)
                handler(this, player, player->ShortName, player->LongName);
        } else if (type == DPSYS_DESTROYPLAYERORGROUP) {
            if (!Players_.FindByID(id))
                return true;
            const std::unique_ptr<TLanxPlayer> player = Players_.Take(Players_.IndexOfID(id));
            if (OnEscapeChallenger) {
                const TLanxPlayerEvent handler = OnEscapeChallenger;
                handler(this, player.get(), player->ShortName, player->LongName);
            }
        }
        return true;
    }

    if (OnArriveMessage) {
        TLanxPlayer* sender = NoMessageID_ ? nullptr : Players_.FindByID(from);
        const TLanxMessageEvent handler = OnArriveMessage;
        handler(this, sender, buffer.data(), size);
    }
    giveBack();
    return true;
}
