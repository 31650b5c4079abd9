// lanprobe: a command-line test tool that hosts, searches, joins, sends and
// receives over the LAN transport, driven by commands on standard input.
//
// Options: --guid HEX32 --address A (default 127.255.255.255; "lan" searches
// every local network; "host" or "host:port" asks that computer) --max N --name SESSION --player
// NAME --loss PERCENT (drops that share of the session datagrams received, where netem is missing).
// Commands (one per line): host | search | join | auto | players |
// send <id|all> <size> <g|u> <count> | text <chat|name> <size> <count> | ping <count> |
// stats | forward [LEASE_S] | unforward | close | quit.
// "forward" asks the router to forward the discovery port and the session's
// port, as the game's wait for a friend on the internet does; "unforward",
// "close" and "quit" remove the forwarding.
// Every answer and event is one line on standard output.
#include "net/LanDiscovery.h"
#include "net/LanRouter.h"
#include "net/LanTransport.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::mutex OutMutex;

template <typename... Args> void Say(const char* format, Args... args) {
    std::lock_guard lock(OutMutex);
    std::printf(format, args...);
    std::printf("\n");
    std::fflush(stdout);
}

std::uint8_t Pattern(std::uint32_t seq, std::size_t i) {
    return static_cast<std::uint8_t>(seq * 131u + i * 7u + 11u);
}

// A probe message: kind ('D' guaranteed, 'U' not, 'P' ping, 'Q' pong), a
// little-endian sequence number, then pattern bytes; shorter messages are
// pattern bytes of sequence 0 only.
std::vector<std::uint8_t> MakeMessage(char kind, std::uint32_t seq, std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    const bool header = size >= 5;
    if (!header)
        seq = 0;
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = Pattern(seq, i);
    if (header) {
        bytes[0] = static_cast<std::uint8_t>(kind);
        for (int k = 0; k < 4; ++k)
            bytes[1 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(seq >> (8 * k));
    }
    return bytes;
}

bool ParseGuid(const std::string& text, GUID* guid) {
    std::string hex;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)))
            hex.push_back(c);
    }
    if (hex.size() != 32)
        return false;
    auto field = [&](std::size_t at, std::size_t n) {
        return static_cast<std::uint32_t>(std::stoul(hex.substr(at, n), nullptr, 16));
    };
    guid->Data1 = field(0, 8);
    guid->Data2 = static_cast<std::uint16_t>(field(8, 4));
    guid->Data3 = static_cast<std::uint16_t>(field(12, 4));
    for (std::size_t i = 0; i < 8; ++i)
        guid->Data4[i] = static_cast<std::uint8_t>(field(16 + 2 * i, 2));
    return true;
}

class Probe {
public:
    GUID Application;
    std::string Address = "127.255.255.255";
    std::uint32_t MaxPlayers = 2;
    std::string SessionName = "KORVAMESH";
    std::string PlayerName = "probe";

    ~Probe() { Close(); }

    void Search(std::vector<DPSESSIONDESC2>* found) {
        Connect();
        DPSESSIONDESC2 desc;
        desc.guidApplication = Application;
        const auto start = Clock::now();
        const HRESULT hr = Transport->EnumSessions(
            desc, 0,
            [&](const DPSESSIONDESC2* d, const QString& name) {
                if (d) {
                    found->push_back(*d);
                    const std::uint32_t ip = d->dwReserved1;
                    Say("session name=%s host=%u.%u.%u.%u:%u players=%u/%u",
                        name.toStdString().c_str(), ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255,
                        ip & 255, d->dwReserved2, d->dwCurrentPlayers, d->dwMaxPlayers);
                }
                return true;
            },
            DPENUMSESSIONS_AVAILABLE);
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        if (hr != DP_OK)
            Say("searchfail %08x us=%lld", hr, static_cast<long long>(us));
        else
            Say("found %zu us=%lld", found->size(), static_cast<long long>(us));
    }

    void Host() {
        Connect();
        DPSESSIONDESC2 desc;
        desc.dwFlags = DPSESSION_MIGRATEHOST | DPSESSION_KEEPALIVE;
        desc.guidApplication = Application;
        desc.dwMaxPlayers = MaxPlayers;
        const HRESULT hr =
            Transport->Open(desc, QString::fromStdString(SessionName), DPOPEN_CREATE);
        if (hr != DP_OK) {
            Say("hostfail %08x", hr);
            return;
        }
        Say("hosting port=%u", Transport->SessionPort());
        MakePlayer();
    }

    bool Join() {
        std::vector<DPSESSIONDESC2> found;
        Search(&found);
        if (found.empty()) {
            Say("joinfail nosessions");
            return false;
        }
        const HRESULT hr = Transport->Open(found.front(), QString(), DPOPEN_JOIN);
        if (hr != DP_OK) {
            Say("joinfail %08x", hr);
            return false;
        }
        Say("joined");
        MakePlayer();
        return true;
    }

    void Players() {
        if (!Transport)
            return;
        std::string line = "players";
        Transport->EnumPlayers(
            [&](DPID id, const DPNAME& name) {
                line += " " + std::to_string(id) + ":" + name.ShortName.toStdString();
                return true;
            },
            0);
        Say("%s", line.c_str());
    }

    void SendMany(const std::string& target, std::size_t size, bool guaranteed, int count) {
        const DPID to = target == "all" ? DPID_ALLPLAYERS : static_cast<DPID>(std::stoul(target));
        int ok = 0;
        HRESULT last = DP_OK;
        for (int i = 0; i < count; ++i) {
            const auto bytes = MakeMessage(guaranteed ? 'D' : 'U', ++NextSeq, size);
            last = Transport ? Transport->Send(LocalId, to, guaranteed ? DPSEND_GUARANTEED : 0,
                                               bytes.data(), static_cast<std::uint32_t>(size))
                             : DPERR_NOCONNECTION;
            ok += last == DP_OK ? 1 : 0;
        }
        Say("sent %d result=%08x", ok, last);
    }

    // A match message as the game sends it: the six-character command ("chat":
    // "CHAT  ", "name": "NAME  "), then `size` letters and a zero byte.
    void SendText(const std::string& command, std::size_t size, int count) {
        std::string text = command == "name" ? "NAME  " : "CHAT  ";
        text.append(size, 'a');
        text.push_back('\0');
        int ok = 0;
        HRESULT last = DP_OK;
        for (int i = 0; i < count; ++i) {
            last = Transport ? Transport->Send(LocalId, DPID_ALLPLAYERS, DPSEND_GUARANTEED,
                                               text.data(), static_cast<std::uint32_t>(text.size()))
                             : DPERR_NOCONNECTION;
            ok += last == DP_OK ? 1 : 0;
        }
        Say("sent %d result=%08x", ok, last);
    }

    void Ping(int count) {
        std::vector<long long> rtts;
        for (int i = 0; i < count && Transport; ++i) {
            const std::uint32_t seq = ++NextSeq;
            const auto bytes = MakeMessage('P', seq, 16);
            const auto start = Clock::now();
            Transport->Send(LocalId, DPID_ALLPLAYERS, DPSEND_GUARANTEED, bytes.data(), 16);
            std::unique_lock lock(Mu);
            if (!Cv.wait_for(lock, std::chrono::seconds(2), [&] { return LastPong == seq; }))
                continue;
            rtts.push_back(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start)
                    .count());
        }
        std::sort(rtts.begin(), rtts.end());
        Say("rtt n=%zu median_us=%lld min_us=%lld max_us=%lld", rtts.size(),
            rtts.empty() ? -1LL : rtts[rtts.size() / 2], rtts.empty() ? -1LL : rtts.front(),
            rtts.empty() ? -1LL : rtts.back());
    }

    void Stats() {
        std::lock_guard lock(Mu);
        Say("stats received=%d inorder=%d corrupt=%d bytes=%lld", Received, InOrder ? 1 : 0,
            Corrupt, Bytes);
    }

    // Asks for the game's lease, or one of `leaseSeconds`.
    void Forward(int leaseSeconds) {
        static constexpr const char* kOutcomes[] = {"forwarded", "norouter", "refused", "taken",
                                                    "notpublic"};
        const std::vector<std::uint16_t> ports{
            lan::DiscoveryPort(), Transport ? Transport->SessionPort() : std::uint16_t{0}};
        Forwarding = std::make_unique<lan::RouterForwarding>(
            ports,
            [](const lan::RouterReport& report) {
                const auto outcome = kOutcomes[static_cast<int>(report.outcome)];
                const std::string external = lan::DottedIpv4(report.external);
                const auto ms = static_cast<long long>(report.took.count());
                if (report.outcome == lan::RouterOutcome::Forwarded)
                    Say("forward %s external=%s via=%s ms=%lld", outcome, external.c_str(),
                        report.natPmp ? "natpmp" : "upnp", ms);
                else if (report.outcome == lan::RouterOutcome::NotPublic)
                    Say("forward %s external=%s ms=%lld", outcome, external.c_str(), ms);
                else if (report.outcome == lan::RouterOutcome::PortTaken)
                    Say("forward %s port=%u ms=%lld", outcome, report.port, ms);
                else
                    Say("forward %s ms=%lld", outcome, ms);
            },
            leaseSeconds > 0 ? std::chrono::seconds(leaseSeconds) : lan::kRouterLease);
    }

    // Removes the forwarding, if any; true when there was one.
    bool Unforward() {
        if (!Forwarding)
            return false;
        const auto start = Clock::now();
        Forwarding.reset();
        lan::RouterForwarding::AwaitRemovals(std::chrono::seconds(5));
        Say("unforwarded ms=%lld",
            static_cast<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
                    .count()));
        return true;
    }

    void Close() {
        Unforward();
        StopReceiver();
        if (Transport)
            Transport->Close();
        Transport.reset();
        LocalId = 0;
    }

private:
    void Connect() {
        if (Transport)
            return;
        Transport = std::make_unique<LanTransport>();
        const QString address = Address == "lan" ? QString() : QString::fromStdString(Address);
        Transport->InitializeConnection(LanConnectionData(address), 0);
    }

    void MakePlayer() {
        Event = std::make_shared<AutoResetEvent>();
        const QString name = QString::fromStdString(PlayerName);
        const HRESULT hr = Transport->CreatePlayer(&LocalId, DPNAME{name, name}, Event);
        if (hr != DP_OK) {
            Say("playerfail %08x", hr);
            return;
        }
        Say("player id=%u", LocalId);
        Stopping = false;
        Receiver = std::thread([this] { ReceiveLoop(); });
        Players();
    }

    void StopReceiver() {
        if (!Receiver.joinable())
            return;
        Stopping = true;
        Event->Set();
        Receiver.join();
    }

    void ReceiveLoop() {
        std::vector<std::uint8_t> buffer(64);
        for (;;) {
            Event->Wait();
            if (Stopping)
                return;
            for (;;) {
                DPID from = 0;
                DPID to = 0;
                auto size = static_cast<std::uint32_t>(buffer.size());
                HRESULT hr = Transport->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
                if (hr == DPERR_BUFFERTOOSMALL) {
                    buffer.resize(size);
                    hr = Transport->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size);
                }
                if (hr != DP_OK)
                    break;
                Handle(from, buffer.data(), size);
            }
        }
    }

    void Handle(DPID from, const std::uint8_t* data, std::uint32_t size) {
        if (from == DPID_SYSMSG) {
            std::uint32_t type = 0;
            DPID id = 0;
            DPNAME name;
            ReadSystemMessage(QByteArray(reinterpret_cast<const char*>(data), size), &type, &id,
                              &name);
            if (type == DPSYS_CREATEPLAYERORGROUP)
                Say("created id=%u name=%s", id, name.ShortName.toStdString().c_str());
            else if (type == DPSYS_DESTROYPLAYERORGROUP)
                Say("destroyed id=%u name=%s", id, name.ShortName.toStdString().c_str());
            else if (type == DPSYS_SESSIONLOST)
                Say("lost");
            else if (type == DPSYS_PLAYERSILENT)
                Say("silent id=%u", id);
            else if (type == DPSYS_PLAYERHEARD)
                Say("heard id=%u", id);
            else if (type == DPSYS_JOINEDSESSION) {
                Say("merged id=%u", id);
                Players();
            }
            return;
        }
        const char kind = size >= 5 ? static_cast<char>(data[0]) : 'D';
        std::uint32_t seq = 0;
        if (size >= 5) {
            for (int k = 3; k >= 0; --k)
                seq = (seq << 8) | data[1 + k];
        }
        bool intact = true;
        for (std::uint32_t i = size >= 5 ? 5 : 0; i < size; ++i)
            intact &= data[i] == Pattern(seq, i);
        if (kind == 'P') {
            auto pong = MakeMessage('Q', seq, size);
            Transport->Send(LocalId, from, DPSEND_GUARANTEED, pong.data(), size);
            return;
        }
        if (kind == 'Q') {
            std::lock_guard lock(Mu);
            LastPong = seq;
            Cv.notify_all();
            return;
        }
        {
            std::lock_guard lock(Mu);
            ++Received;
            Bytes += size;
            Corrupt += intact ? 0 : 1;
            if (kind == 'D' && size >= 5) {
                if (seq <= LastSeq[from])
                    InOrder = false;
                LastSeq[from] = seq;
            }
        }
        Say("msg from=%u size=%u seq=%u %s", from, size, seq, intact ? "ok" : "bad");
    }

    std::unique_ptr<LanTransport> Transport;
    std::unique_ptr<lan::RouterForwarding> Forwarding;
    std::shared_ptr<AutoResetEvent> Event;
    std::thread Receiver;
    std::atomic<bool> Stopping{false};
    DPID LocalId = 0;
    std::uint32_t NextSeq = 0;

    std::mutex Mu;
    std::condition_variable Cv;
    std::uint32_t LastPong = 0;
    int Received = 0;
    int Corrupt = 0;
    long long Bytes = 0;
    bool InOrder = true;
    std::map<DPID, std::uint32_t> LastSeq;
};

} // namespace

int main(int argc, char** argv) {
    Probe probe;
    probe.Application.Data1 = 0x6BBC35C2;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--guid" && !ParseGuid(value, &probe.Application)) {
            std::fprintf(stderr, "lanprobe: bad --guid %s\n", value.c_str());
            return 2;
        }
        if (option == "--address")
            probe.Address = value;
        else if (option == "--max")
            probe.MaxPlayers = static_cast<std::uint32_t>(std::stoul(value));
        else if (option == "--name")
            probe.SessionName = value;
        else if (option == "--player")
            probe.PlayerName = value;
        else if (option == "--loss")
            LanTransport::SetReceiveLossPercent(std::stoi(value));
    }
    Say("ready");
    std::string line;
    while (std::getline(std::cin, line)) {
        std::vector<std::string> words;
        std::size_t at = 0;
        while (at < line.size()) {
            const std::size_t end = std::min(line.find(' ', at), line.size());
            if (end > at)
                words.push_back(line.substr(at, end - at));
            at = end + 1;
        }
        if (words.empty())
            continue;
        const std::string& command = words[0];
        if (command == "host") {
            probe.Host();
        } else if (command == "search") {
            std::vector<DPSESSIONDESC2> found;
            probe.Search(&found);
        } else if (command == "join") {
            probe.Join();
        } else if (command == "auto") {
            if (!probe.Join())
                probe.Host();
        } else if (command == "players") {
            probe.Players();
        } else if (command == "send" && words.size() == 5) {
            probe.SendMany(words[1], std::stoul(words[2]), words[3] == "g", std::stoi(words[4]));
        } else if (command == "text" && words.size() == 4) {
            probe.SendText(words[1], std::stoul(words[2]), std::stoi(words[3]));
        } else if (command == "ping" && words.size() == 2) {
            probe.Ping(std::stoi(words[1]));
        } else if (command == "stats") {
            probe.Stats();
        } else if (command == "forward") {
            probe.Forward(words.size() > 1 ? std::stoi(words[1]) : 0);
        } else if (command == "unforward") {
            probe.Unforward();
        } else if (command == "close") {
            probe.Close();
            Say("closed");
        } else if (command == "quit") {
            break;
        } else {
            Say("unknown %s", line.c_str());
        }
    }
    probe.Close();
    Say("bye");
    return 0;
}
