// A scripted transport for the session component's tests: records every call
// with its arguments, returns any result at any step, queues messages.
#pragma once

#include "net/DirectPlay.h"

#include <QList>
#include <QStringList>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

// The scenario, shared by every transport object the factory makes so that a
// test follows it across the component's re-creations of the object.
class DpScript {
public:
    struct Connection {
        QString name;
        QByteArray data;
    };
    struct Session {
        QString name;
        DPSESSIONDESC2 desc;
    };
    struct Player {
        DPID id;
        QString shortName;
        QString longName;
    };
    struct Sent {
        DPID from;
        DPID to;
        std::uint32_t flags;
        QByteArray bytes;
    };

    // What the transport offers.
    QList<Connection> connections{{"Modem", "modem-data"}, {"TCP/IP", QByteArray("tcp\0data", 8)}};
    QList<Session> sessions;
    QList<Player> players; // listed by EnumPlayers
    DPID nextPlayerId = 0x1001;

    // What it was given.
    DPSESSIONDESC2 enumDesc;
    DPSESSIONDESC2 openDesc;
    QString openName;
    QByteArray initializedData;
    QList<Sent> sent;
    int openedPlayers = 0;

    // The next call of op returns result instead of doing its work (ops are
    // named as in Calls(): "Open", "Receive", ...).
    void FailNext(const QString& op, HRESULT result) {
        std::lock_guard lock(mutex_);
        results_[op].push_back(result);
    }
    // One entry per call: the operation and its arguments, e.g. "Open 2 name=".
    QStringList Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // The calls without the receives, which vary with thread timing.
    QStringList CallsBut(const QString& op) const {
        QStringList kept;
        for (const QString& call : Calls())
            if (!call.startsWith(op))
                kept << call;
        return kept;
    }
    void ClearCalls() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

    // Queues a message for the local player; with signal, sets its event.
    void Queue(DPID from, const QByteArray& bytes, bool signal = true) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back({from, bytes});
        }
        if (signal)
            Signal();
    }
    void QueueSystem(std::uint32_t type, DPID player, const QString& shortName,
                     const QString& longName, bool signal = true) {
        Queue(DPID_SYSMSG, MakeSystemMessage(type, player, DPNAME{shortName, longName}), signal);
    }
    // Sets the local player's event, as the transport does for a queued message.
    void Signal() {
        std::shared_ptr<AutoResetEvent> event;
        {
            std::lock_guard lock(mutex_);
            event = event_;
        }
        if (event)
            event->Set();
    }
    int Waiting() const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(queue_.size());
    }
    int TooSmallAnswers() const {
        std::lock_guard lock(mutex_);
        return tooSmall_;
    }
    std::shared_ptr<AutoResetEvent> Event() const {
        std::lock_guard lock(mutex_);
        return event_;
    }

private:
    friend class ScriptedDirectPlay;

    HRESULT Take(const QString& op) {
        auto it = results_.find(op);
        if (it == results_.end() || it->second.empty())
            return DP_OK;
        const HRESULT result = it->second.front();
        it->second.pop_front();
        return result;
    }
    void Record(const QString& call) { calls_ << call; }

    struct Message {
        DPID from;
        QByteArray bytes;
    };
    mutable std::mutex mutex_;
    QStringList calls_;
    std::map<QString, std::deque<HRESULT>> results_;
    std::deque<Message> queue_;
    std::shared_ptr<AutoResetEvent> event_;
    int tooSmall_ = 0;
};

class ScriptedDirectPlay : public IDirectPlay {
public:
    explicit ScriptedDirectPlay(std::shared_ptr<DpScript> script) : s_(std::move(script)) {
        std::lock_guard lock(s_->mutex_);
        s_->Record("Create");
    }
    ~ScriptedDirectPlay() override {
        std::lock_guard lock(s_->mutex_);
        s_->Record("Release");
    }

    HRESULT EnumConnections(const GUID&, const EnumConnectionsCallback& callback,
                            std::uint32_t flags) override {
        const HRESULT result = Begin(QString("EnumConnections %1").arg(flags), "EnumConnections");
        if (result == DP_OK)
            for (const auto& c : s_->connections)
                if (!callback(c.data, DPNAME{c.name, c.name}))
                    break;
        return result;
    }
    HRESULT InitializeConnection(const QByteArray& connection, std::uint32_t flags) override {
        s_->initializedData = connection;
        return Begin(QString("InitializeConnection %1").arg(flags), "InitializeConnection");
    }
    HRESULT EnumSessions(const DPSESSIONDESC2& desc, std::uint32_t timeout,
                         const EnumSessionsCallback& callback, std::uint32_t flags) override {
        s_->enumDesc = desc;
        // A scripted failure still reports what was found before it (a cancel).
        const HRESULT result =
            Begin(QString("EnumSessions %1 %2").arg(timeout).arg(flags), "EnumSessions");
        for (const auto& session : s_->sessions)
            if (!callback(&session.desc, session.name))
                return result;
        callback(nullptr, QString());
        return result;
    }
    void SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred) override {
        std::lock_guard lock(s_->mutex_);
        s_->Record(QString("SetPairingPreference %1 %2").arg(own.Data1).arg(preferred.size()));
    }
    HRESULT Open(const DPSESSIONDESC2& desc, const QString& name, std::uint32_t flags) override {
        s_->openDesc = desc;
        s_->openName = name;
        return Begin(QString("Open %1 name=%2").arg(flags).arg(name), "Open");
    }
    HRESULT EnumPlayers(const EnumPlayersCallback& callback, std::uint32_t flags) override {
        const HRESULT result = Begin(QString("EnumPlayers %1").arg(flags), "EnumPlayers");
        if (result == DP_OK)
            for (const auto& p : s_->players)
                if (!callback(p.id, DPNAME{p.shortName, p.longName}))
                    break;
        return result;
    }
    HRESULT CreatePlayer(DPID* id, const DPNAME& name,
                         std::shared_ptr<AutoResetEvent> event) override {
        const HRESULT result =
            Begin(QString("CreatePlayer %1/%2").arg(name.ShortName, name.LongName), "CreatePlayer");
        if (result != DP_OK)
            return result;
        std::lock_guard lock(s_->mutex_);
        *id = s_->nextPlayerId++;
        s_->event_ = std::move(event);
        ++s_->openedPlayers;
        return DP_OK;
    }
    HRESULT Receive(DPID* from, DPID* to, std::uint32_t flags, void* data,
                    std::uint32_t* size) override {
        std::lock_guard lock(s_->mutex_);
        s_->Record(QString("Receive %1 size=%2").arg(flags).arg(*size));
        if (const HRESULT forced = s_->Take("Receive"); forced != DP_OK)
            return forced;
        if (s_->queue_.empty())
            return DPERR_NOMESSAGES;
        const auto& message = s_->queue_.front();
        const auto needed = static_cast<std::uint32_t>(message.bytes.size());
        if (*size < needed) {
            *size = needed;
            ++s_->tooSmall_;
            return DPERR_BUFFERTOOSMALL;
        }
        if (needed > 0)
            std::memcpy(data, message.bytes.constData(), needed);
        *size = needed;
        *from = message.from;
        *to = 0;
        s_->queue_.pop_front();
        return DP_OK;
    }
    HRESULT Send(DPID from, DPID to, std::uint32_t flags, const void* data,
                 std::uint32_t size) override {
        const HRESULT result =
            Begin(QString("Send %1->%2 %3 size=%4").arg(from).arg(to).arg(flags).arg(size), "Send");
        s_->sent.append(
            {from, to, flags, QByteArray(static_cast<const char*>(data), static_cast<int>(size))});
        return result;
    }
    HRESULT Close() override { return Begin("Close", "Close"); }

private:
    HRESULT Begin(const QString& call, const QString& op) {
        std::lock_guard lock(s_->mutex_);
        s_->Record(call);
        return s_->Take(op);
    }
    std::shared_ptr<DpScript> s_;
};

// Makes every new transport object a scripted one playing this scenario.
inline void InstallScript(const std::shared_ptr<DpScript>& script) {
    SetDirectPlayFactory([script] { return std::make_unique<ScriptedDirectPlay>(script); });
}
