// Encoding and bounds-checked parsing of the LAN transport's wire messages.
#include "net/LanWire.h"

#include <algorithm>
#include <set>

namespace lanwire {

namespace {

class Writer {
public:
    explicit Writer(Type type) {
        Out.insert(Out.end(), kMagic.begin(), kMagic.end());
        Out.push_back(kVersion);
        Out.push_back(static_cast<std::uint8_t>(type));
        U16(0);
    }
    void U8(std::uint8_t v) { Out.push_back(v); }
    void U16(std::uint16_t v) {
        Out.push_back(static_cast<std::uint8_t>(v));
        Out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8)
            Out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
    void Guid(const WireGuid& g) { Out.insert(Out.end(), g.begin(), g.end()); }
    void Raw(ByteView bytes) { Out.insert(Out.end(), bytes.begin(), bytes.end()); }
    void Name(const std::string& text) {
        const std::string fitted = FitName(text);
        U16(static_cast<std::uint16_t>(fitted.size()));
        Out.insert(Out.end(), fitted.begin(), fitted.end());
    }
    void Player(const PlayerEntry& p) {
        U32(p.id);
        Name(p.shortName);
        Name(p.longName);
        U32(p.ipv4);
        U16(p.port);
        U8(p.hostOwned ? 1 : 0);
    }
    Bytes Take() { return std::move(Out); }

private:
    Bytes Out;
};

// Reads fields in order; once a read runs past the end every later read fails
// too, so a message is checked once at the end with Ok().
class Reader {
public:
    explicit Reader(ByteView bytes) : In(bytes) {}

    bool Ok() const { return Good; }
    bool AtEnd() const { return Good && Pos == In.size(); }
    std::size_t Left() const { return Good ? In.size() - Pos : 0; }

    std::uint8_t U8() {
        if (!Need(1))
            return 0;
        return In[Pos++];
    }
    std::uint16_t U16() {
        if (!Need(2))
            return 0;
        const auto v = static_cast<std::uint16_t>(In[Pos] | (In[Pos + 1] << 8));
        Pos += 2;
        return v;
    }
    std::uint32_t U32() {
        if (!Need(4))
            return 0;
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i)
            v = (v << 8) | In[Pos + static_cast<std::size_t>(i)];
        Pos += 4;
        return v;
    }
    WireGuid Guid() {
        WireGuid g{};
        if (!Need(g.size()))
            return g;
        std::copy_n(In.begin() + static_cast<std::ptrdiff_t>(Pos), g.size(), g.begin());
        Pos += g.size();
        return g;
    }
    std::string Name() {
        const std::size_t length = U16();
        if (length > kMaxNameBytes || !Need(length)) {
            Good = false;
            return {};
        }
        std::string text(reinterpret_cast<const char*>(In.data() + Pos), length);
        Pos += length;
        if (!IsValidName(text))
            Good = false;
        return text;
    }
    std::uint32_t PlayerId() {
        const std::uint32_t id = U32();
        if (id == kNoPlayer || id == kBadPlayer)
            Good = false;
        return id;
    }
    PlayerEntry Player() {
        PlayerEntry p;
        p.id = PlayerId();
        p.shortName = Name();
        p.longName = Name();
        p.ipv4 = U32();
        p.port = U16();
        const std::uint8_t owned = U8();
        if (owned > 1)
            Good = false;
        p.hostOwned = owned == 1;
        return p;
    }
    ByteView Rest() {
        if (!Good)
            return {};
        ByteView rest = In.subspan(Pos);
        Pos = In.size();
        return rest;
    }
    void Fail() { Good = false; }

private:
    bool Need(std::size_t n) {
        if (!Good || In.size() - Pos < n) {
            Good = false;
            return false;
        }
        return true;
    }

    ByteView In;
    std::size_t Pos = 0;
    bool Good = true;
};

// Checks the common header and returns the message type, or nothing.
std::optional<Type> ReadHeader(Reader& r) {
    for (std::uint8_t expected : kMagic) {
        if (r.U8() != expected)
            return std::nullopt;
    }
    if (r.U8() != kVersion)
        return std::nullopt;
    const auto type = static_cast<Type>(r.U8());
    if (r.U16() != 0 || !r.Ok())
        return std::nullopt;
    return type;
}

template <typename T> std::optional<T> Finish(const Reader& r, T value) {
    if (!r.AtEnd())
        return std::nullopt;
    return value;
}

} // namespace

bool IsValidName(const std::string& text) {
    if (text.size() > kMaxNameBytes)
        return false;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c == 0)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF.
        if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string FitName(const std::string& text) {
    std::string clean;
    clean.reserve(std::min(text.size(), kMaxNameBytes));
    for (char c : text) {
        if (c != '\0')
            clean.push_back(c);
    }
    if (clean.size() > kMaxNameBytes) {
        std::size_t cut = kMaxNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80)
            --cut;
        clean.resize(cut);
    }
    return IsValidName(clean) ? clean : std::string();
}

std::optional<DiscoveryMessage> ParseDiscovery(ByteView bytes) {
    if (bytes.size() > kMaxDatagram)
        return std::nullopt;
    Reader r(bytes);
    const auto type = ReadHeader(r);
    if (!type)
        return std::nullopt;
    switch (*type) {
    case Type::Search: {
        Search m;
        m.application = r.Guid();
        m.nonce = r.U32();
        m.flags = r.U32();
        if (m.flags & kSearchTagged)
            m.tag = r.Guid();
        return Finish<DiscoveryMessage>(r, m);
    }
    case Type::SessionInfo: {
        SessionInfo m;
        m.nonce = r.U32();
        m.instance = r.Guid();
        m.application = r.Guid();
        m.flags = r.U32();
        m.maxPlayers = r.U32();
        m.currentPlayers = r.U32();
        m.port = r.U16();
        m.name = r.Name();
        if (r.Left() == std::tuple_size_v<Tag>)
            m.tag = r.Guid();
        if (m.port == 0)
            r.Fail();
        return Finish<DiscoveryMessage>(r, m);
    }
    case Type::Gone:
        return Finish<DiscoveryMessage>(r, Gone{});
    default:
        return std::nullopt;
    }
}

std::optional<SessionMessage> ParseSession(ByteView bytes) {
    if (bytes.size() > kMaxPayload + 64)
        return std::nullopt;
    Reader r(bytes);
    const auto type = ReadHeader(r);
    if (!type)
        return std::nullopt;
    switch (*type) {
    case Type::Hello: {
        Hello m;
        m.instance = r.Guid();
        m.application = r.Guid();
        return Finish<SessionMessage>(r, m);
    }
    case Type::Rejoin: {
        Rejoin m;
        m.instance = r.Guid();
        m.application = r.Guid();
        m.id = r.PlayerId();
        return Finish<SessionMessage>(r, m);
    }
    case Type::Welcome: {
        Welcome m;
        m.instance = r.Guid();
        m.application = r.Guid();
        m.flags = r.U32();
        m.maxPlayers = r.U32();
        m.name = r.Name();
        const std::size_t count = r.U16();
        if (count > kMaxPlayersListed)
            return std::nullopt;
        std::set<std::uint32_t> ids;
        for (std::size_t i = 0; i < count && r.Ok(); ++i) {
            m.players.push_back(r.Player());
            if (!ids.insert(m.players.back().id).second)
                return std::nullopt;
        }
        return Finish<SessionMessage>(r, m);
    }
    case Type::Refuse: {
        const std::uint32_t reason = r.U32();
        if (reason < 1 || reason > 3)
            return std::nullopt;
        return Finish<SessionMessage>(r, Refuse{static_cast<RefuseReason>(reason)});
    }
    case Type::CreatePlayer: {
        CreatePlayer m;
        m.shortName = r.Name();
        m.longName = r.Name();
        return Finish<SessionMessage>(r, m);
    }
    case Type::PlayerAdded: {
        PlayerAdded m;
        m.player = r.Player();
        return Finish<SessionMessage>(r, m);
    }
    case Type::YourPlayer: {
        YourPlayer m;
        m.id = r.PlayerId();
        return Finish<SessionMessage>(r, m);
    }
    case Type::PlayerRemoved: {
        PlayerRemoved m;
        m.id = r.PlayerId();
        return Finish<SessionMessage>(r, m);
    }
    case Type::Send: {
        Send m;
        m.to = r.U32();
        m.flags = r.U32();
        if (m.to == kBadPlayer || (m.flags & ~kSendGuaranteed) != 0)
            return std::nullopt;
        m.payload = r.Rest();
        if (!r.Ok() || m.payload.size() > kMaxPayload)
            return std::nullopt;
        return SessionMessage(m);
    }
    case Type::Deliver: {
        Deliver m;
        m.from = r.PlayerId();
        m.to = r.U32();
        if (m.to == kBadPlayer)
            return std::nullopt;
        m.payload = r.Rest();
        if (!r.Ok() || m.payload.size() > kMaxPayload)
            return std::nullopt;
        return SessionMessage(m);
    }
    default:
        return std::nullopt;
    }
}

Bytes Encode(const Search& m) {
    Writer w(Type::Search);
    w.Guid(m.application);
    w.U32(m.nonce);
    // The flag says whether the tag follows: it is never sent without it.
    w.U32(m.tag ? m.flags | kSearchTagged : m.flags & ~kSearchTagged);
    if (m.tag)
        w.Guid(*m.tag);
    return w.Take();
}

Bytes Encode(const SessionInfo& m) {
    Writer w(Type::SessionInfo);
    w.U32(m.nonce);
    w.Guid(m.instance);
    w.Guid(m.application);
    w.U32(m.flags);
    w.U32(m.maxPlayers);
    w.U32(m.currentPlayers);
    w.U16(m.port);
    w.Name(m.name);
    if (m.tag)
        w.Guid(*m.tag);
    return w.Take();
}

Bytes Encode(const Gone&) {
    return Writer(Type::Gone).Take();
}

Bytes Encode(const Hello& m) {
    Writer w(Type::Hello);
    w.Guid(m.instance);
    w.Guid(m.application);
    return w.Take();
}

Bytes Encode(const Rejoin& m) {
    Writer w(Type::Rejoin);
    w.Guid(m.instance);
    w.Guid(m.application);
    w.U32(m.id);
    return w.Take();
}

Bytes Encode(const Welcome& m) {
    Writer w(Type::Welcome);
    w.Guid(m.instance);
    w.Guid(m.application);
    w.U32(m.flags);
    w.U32(m.maxPlayers);
    w.Name(m.name);
    const std::size_t count = std::min(m.players.size(), kMaxPlayersListed);
    w.U16(static_cast<std::uint16_t>(count));
    for (std::size_t i = 0; i < count; ++i)
        w.Player(m.players[i]);
    return w.Take();
}

Bytes Encode(const Refuse& m) {
    Writer w(Type::Refuse);
    w.U32(static_cast<std::uint32_t>(m.reason));
    return w.Take();
}

Bytes Encode(const CreatePlayer& m) {
    Writer w(Type::CreatePlayer);
    w.Name(m.shortName);
    w.Name(m.longName);
    return w.Take();
}

Bytes Encode(const PlayerAdded& m) {
    Writer w(Type::PlayerAdded);
    w.Player(m.player);
    return w.Take();
}

Bytes Encode(const YourPlayer& m) {
    Writer w(Type::YourPlayer);
    w.U32(m.id);
    return w.Take();
}

Bytes Encode(const PlayerRemoved& m) {
    Writer w(Type::PlayerRemoved);
    w.U32(m.id);
    return w.Take();
}

Bytes Encode(const Send& m) {
    Writer w(Type::Send);
    w.U32(m.to);
    w.U32(m.flags);
    w.Raw(m.payload);
    return w.Take();
}

Bytes Encode(const Deliver& m) {
    Writer w(Type::Deliver);
    w.U32(m.from);
    w.U32(m.to);
    w.Raw(m.payload);
    return w.Take();
}

} // namespace lanwire
