// The session component TLanx: players, receive thread, events and failure reporting.
#pragma once

#include "net/DirectPlay.h"

#include <QByteArray>
#include <QFlags>
#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class TLanx;
class TLanxReceiveThread;

// The exception raised by the component; carries its message text.
class ELanx : public std::exception {
public:
    explicit ELanx(QString Message);
    const QString& Message() const { return Message_; }
    const char* what() const noexcept override { return Utf8_.constData(); }

private:
    QString Message_;
    QByteArray Utf8_;
};

// The debug log file could not be created, opened or written.
class ELanxIOError : public std::exception {
public:
    explicit ELanxIOError(QString Message);
    const QString& Message() const { return Message_; }
    const char* what() const noexcept override { return Utf8_.constData(); }

private:
    QString Message_;
    QByteArray Utf8_;
};

enum TLanxDebugOptionItem {
    dpoHaltOnError = 0x1,   // CheckResult ends the program after reporting a failure
    dpoDebugMessage = 0x2,  // DebugLog writes a numbered line to the log file
    dpoExceptOnError = 0x4, // DebugLog raises ELanx
};
Q_DECLARE_FLAGS(TLanxDebugOption, TLanxDebugOptionItem)
Q_DECLARE_OPERATORS_FOR_FLAGS(TLanxDebugOption)

// Writes Text as a numbered line to the log file (with dpoDebugMessage), then
// raises ELanx with it (with dpoExceptOnError). A log file that cannot be
// written raises ELanxIOError instead, before either. GUI thread only.
void DebugLog(const QString& Text);
// Reports a failed platform result (anything but 0 and DPERR_USERCANCEL)
// through DebugLog with its code appended, then ends the program when
// dpoHaltOnError is on. Returns Result.
HRESULT CheckResult(HRESULT Result, const QString& Text);

namespace lanx {
// The unit-wide flags, shared by every TLanx: the last DebugOption set wins.
TLanxDebugOption DebugFlags();
void SetDebugFlags(TLanxDebugOption flags);
// Tests: points the log file into another folder (empty restores the folder of
// platform::ProgramFileLocations) and starts a new run there: the next line
// empties the file and is numbered 00001.
void SetDebugLogFolder(const QString& folder);
// Tests observe the halt instead of ending the program; an empty function
// restores the real one (flush the standard streams, exit with code 0).
void SetHaltHook(std::function<void()> hook);
// Shown the failure's text (as given to DebugLog) before the halt, so that the
// program never ends without saying why; a failure while it is shown halts at
// once. Empty: nothing is shown.
void SetHaltNotice(std::function<void(const QString& text)> notice);
} // namespace lanx

// A player of the open session; never changed after it was made.
class TLanxPlayer {
public:
    TLanxPlayer(DPID ID, QString ShortName, QString LongName)
        : ID(ID), ShortName(std::move(ShortName)), LongName(std::move(LongName)) {}
    const DPID ID;
    const QString ShortName;
    const QString LongName;
};

// The players of the open session; owns its entries. Index errors raise
// std::out_of_range.
class TLanxPlayers {
public:
    TLanxPlayers() = default;
    TLanxPlayers(const TLanxPlayers&) = delete;
    TLanxPlayers& operator=(const TLanxPlayers&) = delete;
    ~TLanxPlayers() { Clear(); }

    int Count() const { return static_cast<int>(Items_.size()); }
    TLanxPlayer* Items(int index) const;
    // The player with this id (the last one if several), or nullptr.
    TLanxPlayer* FindByID(DPID ID) const;
    // Its index (the last one if several), or -1.
    int IndexOfID(DPID ID) const;

    TLanxPlayer* Add(std::unique_ptr<TLanxPlayer> player);
    std::unique_ptr<TLanxPlayer> Take(int index);
    // Frees the players from the last to the first.
    void Clear();

private:
    std::vector<std::unique_ptr<TLanxPlayer>> Items_;
};

// A list of named entries, each with an owned copy of the platform's data for
// it (connection data, session description). Index errors raise std::out_of_range.
template <typename Data> class TLanxEntries {
public:
    int Count() const { return static_cast<int>(Entries_.size()); }
    const QString& Strings(int index) const { return Entries_.at(Index(index)).Name; }
    const Data& Objects(int index) const { return Entries_.at(Index(index)).Copy; }
    void Add(QString name, Data copy) { Entries_.push_back({std::move(name), std::move(copy)}); }

private:
    struct Entry {
        QString Name;
        Data Copy;
    };
    static std::size_t Index(int index) {
        return index < 0 ? static_cast<std::size_t>(-1) : static_cast<std::size_t>(index);
    }
    std::vector<Entry> Entries_;
};
using TLanxConnections = TLanxEntries<QByteArray>;
using TLanxSessions = TLanxEntries<DPSESSIONDESC2>;

// Sender: the component; from: the sending player or nullptr; data and
// dataSize: the received bytes, valid until the handler returns.
using TLanxMessageEvent =
    std::function<void(TLanx* Sender, TLanxPlayer* from, const void* data, std::uint32_t dataSize)>;
using TLanxPlayerEvent = std::function<void(TLanx* Sender, TLanxPlayer* player,
                                            const QString& ShortName, const QString& LongName)>;

// Wraps the platform's session operations for a small group of players on a
// LAN. Every operation and every event runs on the GUI thread.
class TLanx : public QObject {
    Q_OBJECT

public:
    explicit TLanx(QObject* owner);
    // Closes an open session (stopping its receive thread), then releases the
    // platform object.
    ~TLanx() override;

    TLanxDebugOption DebugOption() const { return DebugOption_; }
    // Also sets the unit-wide flags shared by every instance.
    void SetDebugOption(TLanxDebugOption value);
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
    QString AppGuid() const;
    // Raises ELanx ("<group>は無効なプロパティです") for a malformed text; the
    // stored GUID changes only when the whole text was read.
    void SetAppGuid(const QString& value);
    bool SendGuaranteed() const { return SendGuaranteed_; }
    void SetSendGuaranteed(bool value) { SendGuaranteed_ = value; }
    std::int32_t MaxPlayers() const { return MaxPlayers_; }
    void SetMaxPlayers(std::int32_t value) { MaxPlayers_ = value; }
    bool NoMessageID() const { return NoMessageID_; }
    void SetNoMessageID(bool value) { NoMessageID_ = value; }

    TLanxMessageEvent OnArriveMessage;
    TLanxPlayerEvent OnComesNewChallenger;
    TLanxPlayerEvent OnEscapeChallenger;
    // A player of the session has not been heard for a few seconds (a network
    // outage; it stays in the session), and is heard again.
    TLanxPlayerEvent OnChallengerSilent;
    TLanxPlayerEvent OnChallengerHeardAgain;

    // Called once after the stored properties were set: creates the platform
    // object and lists its connections.
    void Loaded();
    // Initialises a connection and, unless `search` is false, lists the
    // sessions of AppGuid; returns the initialisation's result.
    HRESULT Connect(int ConnectionIndex, bool search = true);
    // The UDP port of the open session on this computer (0: none).
    std::uint16_t SessionPort() const;
    // The address the session-location dialog shows when Connect's search asks
    // for one; after Connect, the address the search went to as typed there
    // (empty: the local network).
    QString SessionAddress() const { return SessionAddress_; }
    void SetSessionAddress(const QString& value) { SessionAddress_ = value; }
    // Whom to pair with (see IDirectPlay::SetPairingPreference): passed to the
    // platform object now and to every one made later (Connect makes a new
    // one after the first), so that it holds from before Connect and across
    // sessions; a new object starts the reservation anew.
    void SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred);
    // The result of the last Connect's search: DPERR_USERCANCEL when the
    // dialog was cancelled, DPERR_INVALIDHOSTADDRESS or DPERR_HOSTNOTFOUND for
    // a typed address that could not be asked.
    HRESULT SearchResult() const { return SearchResult_; }
    // Hosts a session (no name when SessionName is empty) or joins entry
    // SessionIndex of Sessions, then creates the local player.
    HRESULT CreateSession(const QString& SessionName, const QString& ShortName,
                          const QString& LongName);
    HRESULT JoinSession(int SessionIndex, const QString& ShortName, const QString& LongName);
    // Creates the local player with a new receive event and starts its receive thread.
    HRESULT CreateLocalPlayer(const QString& ShortName, const QString& LongName);
    // Sends DataSize bytes unchanged from LocalPlayer to ToID (0: all others).
    // Without a local player the send fails with DPERR_INVALIDPLAYER.
    void SendData(DPID ToID, const void* Data, std::uint32_t DataSize);

    const TLanxConnections& Connections() const { return Connections_; }
    const TLanxSessions& Sessions() const { return Sessions_; }
    const TLanxPlayers& Players() const { return Players_; }
    TLanxPlayer* LocalPlayer() const { return LocalPlayer_; }
    // The current receive thread, or nullptr.
    TLanxReceiveThread* ReceiveThread() const { return ReceiveThread_.get(); }

private:
    friend class TLanxReceiveThread;

    IDirectPlay& Platform();
    void CreatePlatform();
    // Marks the session open, lists its players and creates the local player.
    HRESULT EnterSession(const QString& ShortName, const QString& LongName);
    void CloseSession();
    void StopReceiveThread();
    // Delivers every waiting message of one wake-up; stops early when the
    // thread was stopped meanwhile or the component is gone.
    void HandleWakeUp(const std::function<bool()>& stopped);
    // One receive and its dispatch; false when nothing was taken (no message
    // or a failure, which is logged).
    bool ReceiveMessage();
    // The transport joined another waiting host's session for this program:
    // lists the players anew and raises OnComesNewChallenger for each other one.
    void JoinedOtherSession(DPID localId);

    TLanxDebugOption DebugOption_ = dpoHaltOnError;
    GUID AppGuid_;
    bool SendGuaranteed_ = true;
    std::int32_t MaxPlayers_ = 4;
    bool NoMessageID_ = false;
    QString SessionAddress_;
    HRESULT SearchResult_ = DP_OK;
    bool PairingSet_ = false;
    GUID PairingOwn_;
    std::vector<GUID> PairingPreferred_;

    std::unique_ptr<IDirectPlay> DirectPlay;
    TLanxConnections Connections_;
    TLanxSessions Sessions_;
    TLanxPlayers Players_;
    TLanxPlayer* LocalPlayer_ = nullptr;
    bool ConnectionInitialized = false;
    bool SessionOpen = false;
    std::shared_ptr<AutoResetEvent> ReceiveEvent;
    std::unique_ptr<TLanxReceiveThread> ReceiveThread_;
    std::vector<char> ReceiveBuffer;
};

// Waits on its local player's receive event and hands every wake-up to the
// GUI thread, blocking until the GUI thread has delivered the waiting messages.
//
// The hand-over is a call queued to the application object plus a wait on a
// condition variable. Stop() raises a flag, sets the event and signals the
// condition under the same lock the thread posts under, so the thread ends at
// once from either wait and never posts after a stop; a queued call that
// finds its thread stopped does nothing. The GUI thread therefore never waits
// for a thread that waits for it, and nothing reaches a destroyed component.
class TLanxReceiveThread {
public:
    // Made suspended: Start() runs it.
    TLanxReceiveThread(TLanx* Owner, std::shared_ptr<AutoResetEvent> event);
    // Stops the thread and waits for it to end (which it does at once).
    ~TLanxReceiveThread();
    TLanxReceiveThread(const TLanxReceiveThread&) = delete;
    TLanxReceiveThread& operator=(const TLanxReceiveThread&) = delete;

    TLanx* const Owner;

    void Start();
    // Asks the thread to end and wakes it; returns at once.
    void Stop();
    bool StopRequested() const;
    // True while the thread waits for the GUI thread to take a wake-up.
    bool HandOverPending() const;
    // The thread has ended (stopped, or deliveries ended by an exception).
    bool Finished() const;
    // Receive threads that exist now, in every component.
    static int Count();

private:
    struct State;
    static void Run(std::shared_ptr<State> state, TLanx* owner, QObject* courier);
    // On the GUI thread: delivers one wake-up unless the thread was stopped.
    static void Deliver(const std::shared_ptr<State>& state, TLanx* owner);
    std::shared_ptr<State> State_;
    std::thread Thread_;
};
