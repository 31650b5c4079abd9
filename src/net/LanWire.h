// The LAN transport's wire format: encoding of every datagram and packet, and
// the one parser of network input (docs/wire-format.md describes the bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace lanwire {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
// A GUID as it travels: Data1, Data2, Data3 little-endian, then Data4's 8 bytes.
using WireGuid = std::array<std::uint8_t, 16>;

constexpr std::array<std::uint8_t, 4> kMagic = {'V', 'L', 'T', 'Y'};
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderSize = 8;
// The fixed UDP port every host listens on for searches.
constexpr std::uint16_t kDiscoveryPort = 43517;
// The fixed UDP ports of sessions, and the source ports of searches so that
// their answers arrive there too: the first free one is taken, so that several
// programs can run on one machine. With a firewall, these and the discovery
// port are all that must be open.
constexpr std::uint16_t kSessionPortFirst = 43518;
constexpr std::uint16_t kSessionPortCount = 8;
// Bounds that every parser enforces.
constexpr std::size_t kMaxNameBytes = 256;
// The game's messages are short text: a chat line or a name of at most a few
// hundred characters. Anything longer is refused before it is put together.
constexpr std::size_t kMaxPayload = 4096;
constexpr std::size_t kMaxPlayersListed = 64;
constexpr std::size_t kMaxDatagram = 1200;

// Player ids on the wire are never these two.
constexpr std::uint32_t kNoPlayer = 0;
constexpr std::uint32_t kBadPlayer = 0xFFFFFFFFu;

enum class Type : std::uint8_t {
    Search = 0x01,
    SessionInfo = 0x02,
    Gone = 0x03,
    Hello = 0x10,
    Rejoin = 0x11,
    Welcome = 0x12,
    Refuse = 0x13,
    CreatePlayer = 0x14,
    PlayerAdded = 0x15,
    YourPlayer = 0x16,
    PlayerRemoved = 0x17,
    Send = 0x18,
    Deliver = 0x19,
};

// Search flag: answer only sessions with room for one more player.
constexpr std::uint32_t kSearchAvailableOnly = 0x1;
// Search flag: the searcher's tag follows the flags, and the answer carries
// the host's tag. Programs without tags drop such a Search for its length.
constexpr std::uint32_t kSearchTagged = 0x2;
// Search flag: this plain Search has a tagged twin, sent with it; hosts that
// read tags answer the twin and ignore this one.
constexpr std::uint32_t kSearchHasTaggedTwin = 0x4;
// Send flag: the message was sent guaranteed.
constexpr std::uint32_t kSendGuaranteed = 0x1;

enum class RefuseReason : std::uint32_t {
    Full = 1,
    NoSuchSession = 2,
    Protocol = 3,
};

// A program's installation tag; all zero: none.
using Tag = WireGuid;

struct Search {
    WireGuid application{};
    std::uint32_t nonce = 0;
    std::uint32_t flags = 0;
    // The searcher's tag, present exactly when flags has kSearchTagged.
    std::optional<Tag> tag;
};

struct SessionInfo {
    std::uint32_t nonce = 0;
    WireGuid instance{};
    WireGuid application{};
    std::uint32_t flags = 0;
    std::uint32_t maxPlayers = 0;
    std::uint32_t currentPlayers = 0;
    std::uint16_t port = 0; // the host's session (ENet) port
    std::string name;
    // The host's tag: only in the answer to a tagged Search.
    std::optional<Tag> tag;
};

// Said on a session port to a system that sends to a connection this port
// does not have (the program it talked to has ended, and another took the
// port): that system is gone for it at once, as with a port unreachable.
struct Gone {
    friend bool operator==(const Gone&, const Gone&) = default;
};

struct PlayerEntry {
    std::uint32_t id = 0;
    std::string shortName;
    std::string longName;
    std::uint32_t ipv4 = 0; // the player's system as the host sees it (host order), 0 unknown
    std::uint16_t port = 0;
    bool hostOwned = false; // the player belongs to the host's own system
    friend bool operator==(const PlayerEntry&, const PlayerEntry&) = default;
};

struct Hello {
    WireGuid instance{};
    WireGuid application{};
};

struct Rejoin {
    WireGuid instance{};
    WireGuid application{};
    std::uint32_t id = 0;
};

struct Welcome {
    WireGuid instance{};
    WireGuid application{};
    std::uint32_t flags = 0;
    std::uint32_t maxPlayers = 0;
    std::string name;
    std::vector<PlayerEntry> players;
};

struct Refuse {
    RefuseReason reason = RefuseReason::Protocol;
};

struct CreatePlayer {
    std::string shortName;
    std::string longName;
};

struct PlayerAdded {
    PlayerEntry player;
};

struct YourPlayer {
    std::uint32_t id = 0;
};

struct PlayerRemoved {
    std::uint32_t id = 0;
};

// Payloads point into the parsed buffer.
struct Send {
    std::uint32_t to = 0;
    std::uint32_t flags = 0;
    ByteView payload;
};

struct Deliver {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    ByteView payload;
};

using DiscoveryMessage = std::variant<Search, SessionInfo, Gone>;
using SessionMessage = std::variant<Hello, Rejoin, Welcome, Refuse, CreatePlayer, PlayerAdded,
                                    YourPlayer, PlayerRemoved, Send, Deliver>;

// The parsers: nothing else reads bytes from the network. Each returns nothing
// for anything that is not exactly one well-formed message of its kind.
std::optional<DiscoveryMessage> ParseDiscovery(ByteView bytes);
std::optional<SessionMessage> ParseSession(ByteView bytes);

Bytes Encode(const Search& m);
Bytes Encode(const SessionInfo& m);
Bytes Encode(const Gone& m);
Bytes Encode(const Hello& m);
Bytes Encode(const Rejoin& m);
Bytes Encode(const Welcome& m);
Bytes Encode(const Refuse& m);
Bytes Encode(const CreatePlayer& m);
Bytes Encode(const PlayerAdded& m);
Bytes Encode(const YourPlayer& m);
Bytes Encode(const PlayerRemoved& m);
Bytes Encode(const Send& m);
Bytes Encode(const Deliver& m);

// True for well-formed UTF-8 without NUL bytes, of at most kMaxNameBytes bytes.
bool IsValidName(const std::string& text);
// Shortens text to at most kMaxNameBytes bytes at a character boundary and
// drops NUL bytes, so that it can be sent; invalid UTF-8 gives an empty name.
std::string FitName(const std::string& text);

} // namespace lanwire
