// The session transport's operations, result codes and structures, behind one
// abstract interface: the LAN transport and the tests' scripted one implement it.
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

using HRESULT = std::uint32_t;
using DPID = std::uint32_t;

// Results: the transport's 32-bit codes.
constexpr HRESULT DP_OK = 0;
constexpr HRESULT MakeDpResult(std::uint32_t code) {
    return 0x88770000u + code;
}
constexpr HRESULT DPERR_BUFFERTOOSMALL = MakeDpResult(30); // 0x8877001E
constexpr HRESULT DPERR_CANTCREATEPLAYER = MakeDpResult(70);
constexpr HRESULT DPERR_INVALIDPLAYER = MakeDpResult(150);
constexpr HRESULT DPERR_NOCONNECTION = MakeDpResult(160);
constexpr HRESULT DPERR_NOMESSAGES = MakeDpResult(190); // 0x887700BE
constexpr HRESULT DPERR_NOSESSIONS = MakeDpResult(200);
constexpr HRESULT DPERR_SENDTOOBIG = MakeDpResult(230);
constexpr HRESULT DPERR_TIMEOUT = MakeDpResult(240);
constexpr HRESULT DPERR_UNAVAILABLE = MakeDpResult(250);
constexpr HRESULT DPERR_USERCANCEL = MakeDpResult(280); // 0x88770118
constexpr HRESULT DPERR_CONNECTIONLOST = MakeDpResult(300);
// A session address typed in the session-location dialog that is no address,
// and one whose host name does not resolve.
constexpr HRESULT DPERR_INVALIDHOSTADDRESS = MakeDpResult(1000);
constexpr HRESULT DPERR_HOSTNOTFOUND = MakeDpResult(1010);
constexpr HRESULT DPERR_UNINITIALIZED = 0x800401F0u;
constexpr HRESULT DPERR_GENERIC = 0x80004005u;
constexpr HRESULT DPERR_INVALIDPARAMS = 0x80070057u;
constexpr HRESULT DPERR_OUTOFMEMORY = 0x8007000Eu;

// Flags.
constexpr std::uint32_t DPCONNECTION_DIRECTPLAY = 0x00000001;
constexpr std::uint32_t DPENUMSESSIONS_AVAILABLE = 0x00000001;
constexpr std::uint32_t DPSESSION_MIGRATEHOST = 0x00000004;
constexpr std::uint32_t DPSESSION_NOMESSAGEID = 0x00000008;
constexpr std::uint32_t DPSESSION_KEEPALIVE = 0x00000040;
constexpr std::uint32_t DPOPEN_JOIN = 0x00000001;
constexpr std::uint32_t DPOPEN_CREATE = 0x00000002;
constexpr std::uint32_t DPSEND_GUARANTEED = 0x00000001;
constexpr std::uint32_t DPRECEIVE_ALL = 0x00000001;
constexpr DPID DPID_SYSMSG = 0;
constexpr DPID DPID_ALLPLAYERS = 0;

// System message types (first 32-bit word of a message from DPID_SYSMSG).
constexpr std::uint32_t DPSYS_CREATEPLAYERORGROUP = 3;
constexpr std::uint32_t DPSYS_DESTROYPLAYERORGROUP = 5;
constexpr std::uint32_t DPSYS_SESSIONLOST = 0x31;
// The LAN transport's own: this program, hosting alone, has joined another
// waiting host's session as a guest. The player named is the local player
// with its new id; the players are to be listed anew.
constexpr std::uint32_t DPSYS_JOINEDSESSION = 0x32;
// The LAN transport's own: the named player has not been heard for a few
// seconds (still in the session), and is heard again.
constexpr std::uint32_t DPSYS_PLAYERSILENT = 0x33;
constexpr std::uint32_t DPSYS_PLAYERHEARD = 0x34;

struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};
    friend bool operator==(const GUID&, const GUID&) = default;
};
static_assert(sizeof(GUID) == 16);

// Session description: 80 bytes, copied by the session component and handed
// back to join. The two name fields are opaque here: names travel beside it.
struct DPSESSIONDESC2 {
    std::uint32_t dwSize = 80;
    std::uint32_t dwFlags = 0;
    GUID guidInstance;
    GUID guidApplication;
    std::uint32_t dwMaxPlayers = 0;
    std::uint32_t dwCurrentPlayers = 0;
    std::uint32_t lpszSessionName = 0;
    std::uint32_t lpszPassword = 0;
    std::uint32_t dwReserved1 = 0;
    std::uint32_t dwReserved2 = 0;
    std::uint32_t dwUser1 = 0;
    std::uint32_t dwUser2 = 0;
    std::uint32_t dwUser3 = 0;
    std::uint32_t dwUser4 = 0;
};
static_assert(sizeof(DPSESSIONDESC2) == 80);

struct DPNAME {
    QString ShortName;
    QString LongName;
};

// An auto-reset event: Set releases one Wait (or the next one).
class AutoResetEvent {
public:
    void Set() {
        {
            std::lock_guard lock(Mutex);
            Signalled = true;
        }
        Cond.notify_one();
    }
    // Waits until set, then clears it.
    void Wait() {
        std::unique_lock lock(Mutex);
        Cond.wait(lock, [this] { return Signalled; });
        Signalled = false;
    }

private:
    std::mutex Mutex;
    std::condition_variable Cond;
    bool Signalled = false;
};

// Operations of the transport object. Callbacks return true to go on.
class IDirectPlay {
public:
    virtual ~IDirectPlay() = default; // Release

    using EnumConnectionsCallback =
        std::function<bool(const QByteArray& connection, const DPNAME& name)>;
    virtual HRESULT EnumConnections(const GUID& application,
                                    const EnumConnectionsCallback& callback,
                                    std::uint32_t flags) = 0;
    virtual HRESULT InitializeConnection(const QByteArray& connection, std::uint32_t flags) = 0;

    // Synchronous search; the callback gets each session's description and
    // name, then once more with desc == nullptr when the search has ended.
    using EnumSessionsCallback =
        std::function<bool(const DPSESSIONDESC2* desc, const QString& name)>;
    virtual HRESULT EnumSessions(const DPSESSIONDESC2& desc, std::uint32_t timeout,
                                 const EnumSessionsCallback& callback, std::uint32_t flags) = 0;
    // The address in the session-location dialog: what the dialog shows when
    // a search asks for it, and after the search the address it went to as
    // typed (empty: the local network). Transports without a dialog keep none.
    virtual void SetSessionAddress(const QString& address) { (void)address; }
    virtual QString SessionAddress() const { return {}; }
    // The UDP port of the open session on this computer (0: none, or a
    // transport without ports).
    virtual std::uint16_t SessionPort() const { return 0; }
    // Whom to pair with: own is this program's installation tag (all zero:
    // none), announced in discovery; while preferred is not empty, searches
    // list and join, and a waiting host answers, only the programs of those
    // tags, until some time after another program was first seen. Every call
    // starts that anew; it holds across sessions. Transports without
    // discovery pair with anybody.
    virtual void SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred) {
        (void)own;
        (void)preferred;
    }

    // Hosts (DPOPEN_CREATE; name empty for none) or joins (DPOPEN_JOIN, a
    // description from EnumSessions).
    virtual HRESULT Open(const DPSESSIONDESC2& desc, const QString& sessionName,
                         std::uint32_t flags) = 0;

    using EnumPlayersCallback = std::function<bool(DPID id, const DPNAME& name)>;
    virtual HRESULT EnumPlayers(const EnumPlayersCallback& callback, std::uint32_t flags) = 0;

    // Creates the local player; event is set whenever a message for it is queued.
    virtual HRESULT CreatePlayer(DPID* id, const DPNAME& name,
                                 std::shared_ptr<AutoResetEvent> event) = 0;

    // Takes the first waiting message. With *size too small for it:
    // DPERR_BUFFERTOOSMALL and *size set to the size needed.
    virtual HRESULT Receive(DPID* from, DPID* to, std::uint32_t flags, void* data,
                            std::uint32_t* size) = 0;
    virtual HRESULT Send(DPID from, DPID to, std::uint32_t flags, const void* data,
                         std::uint32_t size) = 0;
    virtual HRESULT Close() = 0;
};

// Creates the transport object (the LAN transport unless a test replaced the factory).
using DirectPlayFactory = std::function<std::unique_ptr<IDirectPlay>()>;
std::unique_ptr<IDirectPlay> CreateDirectPlay();
void SetDirectPlayFactory(DirectPlayFactory factory);

// System messages as the transport queues them and the component reads them:
// little-endian 32-bit type, 32-bit player id, then the short and the long name
// as UTF-8, each ended by a zero byte (an absent name is just the zero byte).
QByteArray MakeSystemMessage(std::uint32_t type, DPID player, const DPNAME& name);
// Reads one; false when the bytes are too short or a name is not terminated.
bool ReadSystemMessage(const QByteArray& bytes, std::uint32_t* type, DPID* player, DPNAME* name);
