// TLanx: properties, platform object, connections, sessions, players and sending.
#include "net/Lanx.h"

#include <stdexcept>

namespace {

// Stands in for a platform object that could not be created: every operation
// fails, so callers get a result to report instead of a crash.
class MissingDirectPlay final : public IDirectPlay {
public:
    HRESULT EnumConnections(const GUID&, const EnumConnectionsCallback&, std::uint32_t) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT InitializeConnection(const QByteArray&, std::uint32_t) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT EnumSessions(const DPSESSIONDESC2&, std::uint32_t, const EnumSessionsCallback&,
                         std::uint32_t) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT Open(const DPSESSIONDESC2&, const QString&, std::uint32_t) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT EnumPlayers(const EnumPlayersCallback&, std::uint32_t) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT CreatePlayer(DPID*, const DPNAME&, std::shared_ptr<AutoResetEvent>) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT Receive(DPID*, DPID*, std::uint32_t, void*, std::uint32_t*) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT Send(DPID, DPID, std::uint32_t, const void*, std::uint32_t) override {
        return DPERR_UNINITIALIZED;
    }
    HRESULT Close() override { return DPERR_UNINITIALIZED; }
};

int HexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// Reads a group of hexadecimal digits (either case); false on any other character.
template <typename T> bool ReadHex(const QString& digits, T* value) {
    std::uint64_t v = 0;
    for (const QChar c : digits) {
        const int digit = HexValue(c);
        if (digit < 0)
            return false;
        v = v * 16 + static_cast<std::uint64_t>(digit);
    }
    *value = static_cast<T>(v);
    return true;
}

ELanx InvalidProperty(const QString& group) {
    return ELanx(group + QStringLiteral("は無効なプロパティです"));
}

// Removes blanks and control characters at both ends.
QString TrimControls(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first).unicode() <= ' ')
        ++first;
    while (last > first && text.at(last - 1).unicode() <= ' ')
        --last;
    return text.mid(first, last - first);
}

} // namespace

ELanx::ELanx(QString Message) : Message_(std::move(Message)), Utf8_(Message_.toUtf8()) {}

ELanxIOError::ELanxIOError(QString Message)
    : Message_(std::move(Message)), Utf8_(Message_.toUtf8()) {}

// ---- players ----

TLanxPlayer* TLanxPlayers::Items(int index) const {
    if (index < 0 || index >= Count())
        throw std::out_of_range("TLanxPlayers: index " + std::to_string(index) + " out of range");
    return Items_[static_cast<std::size_t>(index)].get();
}

TLanxPlayer* TLanxPlayers::FindByID(DPID ID) const {
    const int index = IndexOfID(ID);
    return index < 0 ? nullptr : Items_[static_cast<std::size_t>(index)].get();
}

int TLanxPlayers::IndexOfID(DPID ID) const {
    for (int i = Count() - 1; i >= 0; --i) {
        if (Items_[static_cast<std::size_t>(i)]->ID == ID)
            return i;
    }
    return -1;
}

TLanxPlayer* TLanxPlayers::Add(std::unique_ptr<TLanxPlayer> player) {
    Items_.push_back(std::move(player));
    return Items_.back().get();
}

std::unique_ptr<TLanxPlayer> TLanxPlayers::Take(int index) {
    Items(index); // range check
    auto it = Items_.begin() + index;
    std::unique_ptr<TLanxPlayer> player = std::move(*it);
    Items_.erase(it);
    return player;
}

void TLanxPlayers::Clear() {
    while (!Items_.empty())
        Items_.pop_back();
}

// ---- component ----

TLanx::TLanx(QObject* owner) : QObject(owner) {
    lanx::SetDebugFlags(DebugOption_);
}

TLanx::~TLanx() {
    StopReceiveThread();
    // A destructor neither raises nor ends the program: the close is not reported.
    if (SessionOpen) {
        Platform().Close();
        SessionOpen = false;
    }
    LocalPlayer_ = nullptr;
    Players_.Clear();
    DirectPlay.reset();
}

void TLanx::SetDebugOption(TLanxDebugOption value) {
    DebugOption_ = value;
    lanx::SetDebugFlags(value);
}

QString TLanx::AppGuid() const {
    QString text = QString::asprintf("{%.8X-%.4X-%.4X-", static_cast<unsigned>(AppGuid_.Data1),
                                     static_cast<unsigned>(AppGuid_.Data2),
                                     static_cast<unsigned>(AppGuid_.Data3));
    for (int i = 0; i < 8; ++i) {
        text += QString::asprintf("%.2X", static_cast<unsigned>(AppGuid_.Data4[i]));
        if (i == 1)
            text += QLatin1Char('-');
    }
    return text + QLatin1Char('}');
}

void TLanx::SetAppGuid(const QString& value) {
    // The first and the last character are taken as the braces unseen.
    QString rest = TrimControls(value).mid(1);
    QString groups[5];
    const int lengths[4] = {8, 4, 4, 4};
    for (int g = 0; g < 4; ++g) {
        const qsizetype dash = rest.indexOf(QLatin1Char('-'));
        if (dash < 0)
            throw InvalidProperty(rest);
        groups[g] = rest.left(dash);
        if (groups[g].size() != lengths[g])
            throw InvalidProperty(groups[g]);
        rest = rest.mid(dash + 1);
    }
    groups[4] = rest.left(rest.size() - 1);
    if (groups[4].size() != 12)
        throw InvalidProperty(groups[4]);

    GUID guid;
    if (!ReadHex(groups[0], &guid.Data1))
        throw InvalidProperty(groups[0]);
    if (!ReadHex(groups[1], &guid.Data2))
        throw InvalidProperty(groups[1]);
    if (!ReadHex(groups[2], &guid.Data3))
        throw InvalidProperty(groups[2]);
    const QString last = groups[3] + groups[4];
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(last.mid(i * 2, 2), &guid.Data4[i]))
            throw InvalidProperty(groups[4]);
    }
    AppGuid_ = guid;
}

IDirectPlay& TLanx::Platform() {
    static MissingDirectPlay missing;
    return DirectPlay ? *DirectPlay : static_cast<IDirectPlay&>(missing);
}

void TLanx::SetPairingPreference(const GUID& own, const std::vector<GUID>& preferred) {
    PairingSet_ = true;
    PairingOwn_ = own;
    PairingPreferred_ = preferred;
    Platform().SetPairingPreference(own, preferred);
}

void TLanx::CreatePlatform() {
    DirectPlay = CreateDirectPlay();
    if (PairingSet_)
        Platform().SetPairingPreference(PairingOwn_, PairingPreferred_);
    Connections_ = TLanxConnections();
    Platform().EnumConnections(
        AppGuid_,
        [this](const QByteArray& connection, const DPNAME& name) {
            Connections_.Add(name.ShortName, connection);
            return true;
        },
        DPCONNECTION_DIRECTPLAY);
}

void TLanx::Loaded() {
    lanx::SetDebugFlags(DebugOption_);
    CreatePlatform();
}

HRESULT TLanx::Connect(int ConnectionIndex, bool search) {
    SearchResult_ = DP_OK;
    if (ConnectionInitialized) {
        if (SessionOpen)
            CloseSession();
        DirectPlay.reset();
        CreatePlatform();
    }

    const QString& name = Connections_.Strings(ConnectionIndex);
    const HRESULT result =
        Platform().InitializeConnection(Connections_.Objects(ConnectionIndex), 0);
    const bool failed = result != DP_OK && result != DPERR_USERCANCEL;
    if (failed && lanx::DebugFlags().testFlag(dpoDebugMessage)) {
        DebugLog(name + QStringLiteral("に接続できません") + QString::asprintf("%.8X", result));
        return result;
    }

    ConnectionInitialized = true;
    Sessions_ = TLanxSessions();
    if (!search)
        return result;
    DPSESSIONDESC2 desc;
    desc.guidApplication = AppGuid_;
    Platform().SetSessionAddress(SessionAddress_);
    const HRESULT enumerated = Platform().EnumSessions(
        desc, 0,
        [this](const DPSESSIONDESC2* found, const QString& sessionName) {
            if (!found)
                return false;
            Sessions_.Add(sessionName, *found);
            return true;
        },
        DPENUMSESSIONS_AVAILABLE);
    SessionAddress_ = Platform().SessionAddress();
    SearchResult_ = enumerated;
    CheckResult(enumerated, QStringLiteral("セッションの列挙に失敗しました"));
    return result;
}

std::uint16_t TLanx::SessionPort() const {
    return DirectPlay ? DirectPlay->SessionPort() : 0;
}

HRESULT TLanx::CreateSession(const QString& SessionName, const QString& ShortName,
                             const QString& LongName) {
    if (SessionOpen)
        CloseSession();
    DPSESSIONDESC2 desc;
    desc.dwFlags = DPSESSION_MIGRATEHOST | DPSESSION_KEEPALIVE;
    if (NoMessageID_)
        desc.dwFlags |= DPSESSION_NOMESSAGEID;
    desc.guidApplication = AppGuid_;
    desc.dwMaxPlayers = static_cast<std::uint32_t>(MaxPlayers_);
    const HRESULT opened = CheckResult(
        Platform().Open(desc, SessionName.isEmpty() ? QString() : SessionName, DPOPEN_CREATE),
        QStringLiteral("セッションのオープンに失敗しました"));
    if (opened != DP_OK)
        return opened;
    return EnterSession(ShortName, LongName);
}

HRESULT TLanx::JoinSession(int SessionIndex, const QString& ShortName, const QString& LongName) {
    if (SessionOpen)
        CloseSession();
    const HRESULT opened =
        CheckResult(Platform().Open(Sessions_.Objects(SessionIndex), QString(), DPOPEN_JOIN),
                    QStringLiteral("セッションのオープンに失敗しました"));
    if (opened != DP_OK)
        return opened;
    return EnterSession(ShortName, LongName);
}

HRESULT TLanx::EnterSession(const QString& ShortName, const QString& LongName) {
    SessionOpen = true;
    LocalPlayer_ = nullptr;
    Players_.Clear();
    const HRESULT listed = CheckResult(
        Platform().EnumPlayers(
            [this](DPID id, const DPNAME& name) {
                Players_.Add(std::make_unique<TLanxPlayer>(id, name.ShortName, name.LongName));
                return true;
            },
            0),
        QStringLiteral("プレイヤーの列挙に失敗しました"));
    if (listed != DP_OK)
        return listed;
    return CreateLocalPlayer(ShortName, LongName);
}

HRESULT TLanx::CreateLocalPlayer(const QString& ShortName, const QString& LongName) {
    ReceiveEvent = std::make_shared<AutoResetEvent>();
    DPID id = 0;
    const HRESULT created =
        CheckResult(Platform().CreatePlayer(&id, DPNAME{ShortName, LongName}, ReceiveEvent),
                    QStringLiteral("プレーヤの作成に失敗しました"));
    if (created != DP_OK)
        return created;
    // One thread serves the component: a previous local player's one ends here.
    StopReceiveThread();
    ReceiveThread_ = std::make_unique<TLanxReceiveThread>(this, ReceiveEvent);
    ReceiveThread_->Start();
    LocalPlayer_ = Players_.Add(std::make_unique<TLanxPlayer>(id, ShortName, LongName));
    return DP_OK;
}

void TLanx::CloseSession() {
    StopReceiveThread();
    const HRESULT closed = Platform().Close();
    SessionOpen = false;
    CheckResult(closed, QStringLiteral("セッションのクローズに失敗しました"));
}

void TLanx::SendData(DPID ToID, const void* Data, std::uint32_t DataSize) {
    const QString failed = QStringLiteral("メッセージの送信に失敗しました");
    if (!LocalPlayer_) {
        CheckResult(DPERR_INVALIDPLAYER, failed);
        return;
    }
    CheckResult(Platform().Send(LocalPlayer_->ID, ToID, SendGuaranteed_ ? DPSEND_GUARANTEED : 0,
                                Data, DataSize),
                failed);
}
