// The transport factory (the LAN transport unless a test replaced it) and the
// byte layout of the system messages.
#include "net/DirectPlay.h"

#include "net/LanTransport.h"

namespace {

DirectPlayFactory& Factory() {
    static DirectPlayFactory factory;
    return factory;
}

void AppendU32(QByteArray& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.append(static_cast<char>((value >> shift) & 0xFF));
}

std::uint32_t ReadU32(const QByteArray& bytes, qsizetype at) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

// A name as UTF-8 with its terminating zero; a zero inside it would end it early.
void AppendName(QByteArray& out, const QString& name) {
    QByteArray utf8 = name.toUtf8();
    utf8.replace('\0', QByteArray());
    out.append(utf8);
    out.append('\0');
}

} // namespace

std::unique_ptr<IDirectPlay> CreateDirectPlay() {
    if (Factory())
        return Factory()();
    return std::make_unique<LanTransport>();
}

void SetDirectPlayFactory(DirectPlayFactory factory) {
    Factory() = std::move(factory);
}

QByteArray MakeSystemMessage(std::uint32_t type, DPID player, const DPNAME& name) {
    QByteArray out;
    AppendU32(out, type);
    AppendU32(out, player);
    AppendName(out, name.ShortName);
    AppendName(out, name.LongName);
    return out;
}

bool ReadSystemMessage(const QByteArray& bytes, std::uint32_t* type, DPID* player, DPNAME* name) {
    if (bytes.size() < 8)
        return false;
    QString names[2];
    qsizetype at = 8;
    for (QString& text : names) {
        if (at >= bytes.size())
            break; // an absent name is empty
        const qsizetype end = bytes.indexOf('\0', at);
        if (end < 0)
            return false;
        text = QString::fromUtf8(bytes.constData() + at, end - at);
        at = end + 1;
    }
    if (type)
        *type = ReadU32(bytes, 0);
    if (player)
        *player = ReadU32(bytes, 4);
    if (name)
        *name = DPNAME{names[0], names[1]};
    return true;
}
