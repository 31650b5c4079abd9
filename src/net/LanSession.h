// The I/O around one session's rules: ENet host, sockets, network thread, window thread's calls.
#pragma once

#include "net/LanRules.h"
#include "net/LanTransport.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

struct _ENetHost;
struct _ENetPeer;

// One open session. Its rules are shared with the window thread under Mu;
// the network thread alone drives the ENet host, carries out what the rules
// ask and sleeps until a socket is readable, a command is posted or the
// rules' next timer is due.
class LanTransport::Session {
public:
    explicit Session(std::shared_ptr<lan::Pairing> preference);
    ~Session();

    // Hosts. A two-player session whose host is alone looks for another such
    // host at searchTargets (none: the local networks' broadcast addresses) and
    // joins the first one it finds.
    HRESULT StartHost(const DPSESSIONDESC2& desc, const QString& name,
                      std::vector<std::uint32_t> searchTargets, std::uint16_t searchPort);
    HRESULT StartJoin(const DPSESSIONDESC2& desc, std::vector<std::uint32_t> searchTargets,
                      std::uint16_t searchPort);
    void Stop();

    HRESULT CreatePlayer(DPID* id, const DPNAME& name, std::shared_ptr<AutoResetEvent> event);
    HRESULT Send(DPID from, DPID to, std::uint32_t flags, const void* data, std::uint32_t size);
    HRESULT Receive(DPID* from, DPID* to, void* data, std::uint32_t* size);
    std::vector<std::pair<DPID, DPNAME>> PlayerList() const;
    bool IsHost() const;
    std::uint16_t Port() const { return EnetPort; }
    DPSESSIONDESC2 Desc() const;

    // Network thread, from ENet's intercept: true when the datagram the host
    // socket just received was one of this program's own (and is now handled).
    bool TakeDatagram(_ENetHost* host);

private:
    struct PeerLink {
        _ENetPeer* peer = nullptr;
        std::uint32_t lastReceive = 0; // ENet's time it last heard the peer
    };

    bool CreateEnetHost(std::uint32_t maxPlayers);
    HRESULT Start(const lan::Opening& opening, bool host);
    void Run();
    int NextWakeMs();
    void AnswerSearches();
    void ServiceEnet();
    void TakeSocketErrors();
    void NoteHeard();
    // Carries out the rules' actions; then those of the rules' answers to
    // failures (a connection that could not be made). Network thread, or the
    // window thread before the network thread starts; without Mu.
    void Carry(std::vector<lan::Action> actions);
    void Execute(const lan::Action& action, std::vector<lan::LinkId>* failed);
    // After a call of the window thread into the rules, with Mu held.
    void AfterCallLocked();
    void Wake();

    mutable std::mutex Mu;
    std::condition_variable Cv;
    const std::shared_ptr<lan::Pairing> Preference;
    std::unique_ptr<lan::SessionRules> Rules;
    std::shared_ptr<AutoResetEvent> Event;
    bool StopRequested = false;

    // Owned by the network thread while it runs.
    _ENetHost* Host = nullptr;
    std::map<lan::LinkId, PeerLink> Links;
    int DiscoveryFd = -1;
    int WakeFd = -1;
    std::vector<std::uint32_t> SearchTargets; // fixed at start
    std::uint16_t SearchPort = 0;
    std::atomic<std::uint16_t> EnetPort{0};
    std::thread Thread;
};
