// artgen: writes the program's artwork (BMP), sounds (WAVE) and icon (PNG) into
// <dir>/art, <dir>/sounds and <dir>/icons.
#include "ArtKit.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <cstdio>

namespace {

void PutU16(QByteArray& out, unsigned v) {
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>((v >> 8) & 0xFF));
}

void PutU32(QByteArray& out, std::uint32_t v) {
    PutU16(out, v & 0xFFFF);
    PutU16(out, v >> 16);
}

// Windows bitmap, bottom-up rows padded to four bytes; 1-bit black/white, 8-bit with a
// grey palette, or 24-bit BGR.
QByteArray EncodeBmp(const art::Picture& pic) {
    const int bits =
        pic.kind == art::BmpKind::Mono ? 1 : (pic.kind == art::BmpKind::Grey8 ? 8 : 24);
    const int paletteSize = bits == 1 ? 2 : (bits == 8 ? 256 : 0);
    const int stride = ((pic.width * bits + 31) / 32) * 4;
    const std::uint32_t dataOffset = 14 + 40 + 4 * paletteSize;
    const std::uint32_t dataSize = static_cast<std::uint32_t>(stride * pic.height);

    QByteArray out;
    out.append("BM");
    PutU32(out, dataOffset + dataSize);
    PutU32(out, 0);
    PutU32(out, dataOffset);
    PutU32(out, 40);
    PutU32(out, static_cast<std::uint32_t>(pic.width));
    PutU32(out, static_cast<std::uint32_t>(pic.height));
    PutU16(out, 1);
    PutU16(out, static_cast<unsigned>(bits));
    PutU32(out, 0); // uncompressed
    PutU32(out, dataSize);
    PutU32(out, 2835); // 72 dpi
    PutU32(out, 2835);
    PutU32(out, static_cast<std::uint32_t>(paletteSize));
    PutU32(out, 0);
    for (int i = 0; i < paletteSize; ++i) {
        const int level = bits == 1 ? i * 255 : i;
        for (int c = 0; c < 3; ++c)
            out.append(static_cast<char>(level));
        out.append('\0');
    }
    for (int y = pic.height - 1; y >= 0; --y) {
        QByteArray row(stride, '\0');
        for (int x = 0; x < pic.width; ++x) {
            const art::Rgb p = pic.at(x, y);
            if (bits == 1) {
                if (p.r >= 128)
                    row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
            } else if (bits == 8) {
                row[x] = static_cast<char>(p.r);
            } else {
                row[3 * x] = static_cast<char>(p.b);
                row[3 * x + 1] = static_cast<char>(p.g);
                row[3 * x + 2] = static_cast<char>(p.r);
            }
        }
        out.append(row);
    }
    return out;
}

// RIFF/WAVE, PCM mono: 8-bit unsigned or 16-bit signed little-endian.
QByteArray EncodeWav(const art::Sound& sound) {
    const int bytesPerSample = sound.bits / 8;
    const std::uint32_t dataSize =
        static_cast<std::uint32_t>(sound.samples.size() * bytesPerSample);
    QByteArray out;
    out.append("RIFF");
    PutU32(out, 4 + (8 + 16) + (8 + dataSize + (dataSize & 1)));
    out.append("WAVEfmt ");
    PutU32(out, 16);
    PutU16(out, 1); // PCM
    PutU16(out, 1); // mono
    PutU32(out, art::SampleRate);
    PutU32(out, static_cast<std::uint32_t>(art::SampleRate * bytesPerSample));
    PutU16(out, static_cast<unsigned>(bytesPerSample));
    PutU16(out, static_cast<unsigned>(sound.bits));
    out.append("data");
    PutU32(out, dataSize);
    for (double s : sound.samples) {
        const double v = art::Clamp(s, -1.0, 1.0);
        if (sound.bits == 8) {
            out.append(static_cast<char>(art::ToByte(128.0 + 127.0 * v)));
        } else {
            const auto q = static_cast<std::int32_t>(std::floor(v * 32767.0 + 0.5));
            PutU16(out, static_cast<unsigned>(q) & 0xFFFF);
        }
    }
    if (dataSize & 1)
        out.append('\0');
    return out;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "artgen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The icon as PNG with its coverage as alpha.
bool WriteIcon(const QString& path, const art::Icon& icon) {
    QImage image(icon.size, icon.size, QImage::Format_ARGB32);
    for (int y = 0; y < icon.size; ++y)
        for (int x = 0; x < icon.size; ++x) {
            const art::Rgba& p = icon.pixels[static_cast<std::size_t>(y * icon.size + x)];
            image.setPixel(x, y, qRgba(p.r, p.g, p.b, p.a));
        }
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "artgen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: artgen <output dir>\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(dir + "/art") || !QDir().mkpath(dir + "/sounds") ||
        !QDir().mkpath(dir + "/icons")) {
        std::fprintf(stderr, "artgen: cannot create the folders under %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    for (const art::NamedPicture& p : art::MakePictures())
        ok = WriteFile(dir + "/art/" + QString::fromStdString(p.name) + ".bmp",
                       EncodeBmp(p.picture)) &&
             ok;
    // Double-size artwork: art/2x/<name>@2x.bmp, which the image reader loads with a
    // device pixel ratio of 2.
    if (!QDir().mkpath(dir + "/art/2x")) {
        std::fprintf(stderr, "artgen: cannot create %s/art/2x\n", argv[1]);
        return 1;
    }
    for (const art::NamedPicture& p : art::MakeDoublePictures())
        ok = WriteFile(dir + "/art/2x/" + QString::fromStdString(p.name) + "@2x.bmp",
                       EncodeBmp(p.picture)) &&
             ok;
    for (const art::NamedSound& s : art::MakeSounds())
        ok = WriteFile(dir + "/sounds/" + QString::fromStdString(s.name) + ".wav",
                       EncodeWav(s.sound)) &&
             ok;
    for (const art::Icon& icon : art::MakeIcons())
        ok = WriteIcon(dir + QStringLiteral("/icons/%1.png").arg(icon.size), icon) && ok;
    return ok ? 0 : 1;
}
