// Shared pieces of the artwork and sound generator: exact-arithmetic math, hashing, containers.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// Everything here uses only +, -, *, /, sqrt, floor and ldexp, which IEEE 754 defines
// exactly, so the generated files come out byte-identical on every machine.
namespace art {

constexpr double Pi = 3.14159265358979323846;

inline double Clamp(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// 0 below a, 1 above b, a smooth cubic step in between.
inline double SmoothStep(double a, double b, double v) {
    const double t = Clamp((v - a) / (b - a), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

inline double Mix(double a, double b, double t) {
    return a + (b - a) * t;
}

// sin(2 pi p): p is in cycles, so long tones need no large arguments.
inline double SinCycles(double p) {
    p -= std::floor(p);
    double sign = 1.0;
    if (p >= 0.5) {
        p -= 0.5;
        sign = -1.0;
    }
    if (p > 0.25)
        p = 0.5 - p;
    const double x = p * 2.0 * Pi;
    const double x2 = x * x;
    // Taylor series to x^15; error below 1e-11 on [0, pi/2].
    double s = -1.0 / 1307674368000.0;
    s = 1.0 / 6227020800.0 + x2 * s;
    s = -1.0 / 39916800.0 + x2 * s;
    s = 1.0 / 362880.0 + x2 * s;
    s = -1.0 / 5040.0 + x2 * s;
    s = 1.0 / 120.0 + x2 * s;
    s = -1.0 / 6.0 + x2 * s;
    s = 1.0 + x2 * s;
    return sign * x * s;
}

inline double Exp(double x) {
    constexpr double ln2 = 0.69314718055994530942;
    if (x < -700.0)
        return 0.0;
    const double k = std::floor(x / ln2 + 0.5);
    const double r = x - k * ln2;
    double s = 1.0;
    for (int n = 13; n >= 1; --n)
        s = 1.0 + r * s / n;
    return std::ldexp(s, static_cast<int>(k));
}

inline std::uint64_t SplitMix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A uniform value in [0, 1) for a lattice point.
inline double Hash01(std::int64_t ix, std::int64_t iy, std::uint64_t seed) {
    const std::uint64_t h = SplitMix(SplitMix(SplitMix(seed) ^ static_cast<std::uint64_t>(ix)) ^
                                     (static_cast<std::uint64_t>(iy) * 0xD6E8FEB86659FD93ull));
    return static_cast<double>(h >> 11) * (1.0 / 9007199254740992.0);
}

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline std::uint8_t ToByte(double v) {
    return static_cast<std::uint8_t>(std::floor(Clamp(v, 0.0, 255.0) + 0.5));
}
inline Rgb Grey(double v) {
    const std::uint8_t g = ToByte(v);
    return {g, g, g};
}

enum class BmpKind { Mono, Grey8, Rgb24 };

struct Picture {
    Picture(int w, int h, BmpKind k)
        : width(w), height(h), kind(k), pixels(w * h, Rgb{255, 255, 255}) {}
    Rgb& at(int x, int y) { return pixels[y * width + x]; }
    const Rgb& at(int x, int y) const { return pixels[y * width + x]; }
    int width;
    int height;
    BmpKind kind;
    std::vector<Rgb> pixels;
};

// Mono samples in [-1, 1] at SampleRate, written with the given bits per sample.
constexpr int SampleRate = 22050;
struct Sound {
    int bits = 16;
    std::vector<double> samples;
};

struct NamedPicture {
    std::string name;
    Picture picture;
};
struct NamedSound {
    std::string name;
    Sound sound;
};

// A square picture with coverage (0 transparent, 255 opaque), not premultiplied.
struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 0;
};
struct Icon {
    int size;
    std::vector<Rgba> pixels;
};
// The sizes of the program's icon: those of the desktop's icon theme.
constexpr int IconSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

std::vector<NamedPicture> MakePictures();
// The same pictures at twice the width and height, for high-density screens.
std::vector<NamedPicture> MakeDoublePictures();
std::vector<Icon> MakeIcons();
std::vector<NamedSound> MakeSounds();

} // namespace art
