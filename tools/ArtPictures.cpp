// The artwork: piece mask, grey shading, shadow, black piece, board patterns, emblem, icon.
#include "ArtKit.h"

#include <algorithm>
#include <array>
#include <utility>

namespace art {
namespace {

// Value noise on the unit square that repeats with period 1 in u and v; nx by ny lattice
// cells. Tiles built from it continue seamlessly across their edges.
double TileNoise(double u, double v, int nx, int ny, std::uint64_t seed) {
    const double fx = (u - std::floor(u)) * nx;
    const double fy = (v - std::floor(v)) * ny;
    const int ix = static_cast<int>(std::floor(fx));
    const int iy = static_cast<int>(std::floor(fy));
    const double tx = fx - ix;
    const double ty = fy - iy;
    // Quintic fade: no visible creases at cell borders.
    const double sx = tx * tx * tx * (tx * (tx * 6.0 - 15.0) + 10.0);
    const double sy = ty * ty * ty * (ty * (ty * 6.0 - 15.0) + 10.0);
    const auto at = [&](int i, int j) { return Hash01(i % nx, j % ny, seed); };
    const double top = Mix(at(ix, iy), at(ix + 1, iy), sx);
    const double bottom = Mix(at(ix, iy + 1), at(ix + 1, iy + 1), sx);
    return Mix(top, bottom, sy);
}

// Octaves of TileNoise from n cells, doubling; result in [0, 1].
double TileFbm(double u, double v, int n, int octaves, std::uint64_t seed) {
    double sum = 0.0;
    double weight = 0.5;
    double total = 0.0;
    for (int o = 0; o < octaves; ++o) {
        sum += weight * TileNoise(u, v, n, n, seed + 7919u * static_cast<unsigned>(o));
        total += weight;
        weight *= 0.5;
        n *= 2;
    }
    return sum / total;
}

// Nearest and second-nearest feature point on the torus, and a random value of the
// nearest point's cell.
struct CellHit {
    double nearest;
    double second;
    double value;
};

CellHit Cells(double u, double v, int n, std::uint64_t seed) {
    const double fx = (u - std::floor(u)) * n;
    const double fy = (v - std::floor(v)) * n;
    const int ix = static_cast<int>(std::floor(fx));
    const int iy = static_cast<int>(std::floor(fy));
    CellHit hit{1e9, 1e9, 0.0};
    for (int j = iy - 1; j <= iy + 1; ++j) {
        for (int i = ix - 1; i <= ix + 1; ++i) {
            const int ci = (i + n) % n;
            const int cj = (j + n) % n;
            const double px = i + 0.15 + 0.7 * Hash01(ci, cj, seed);
            const double py = j + 0.15 + 0.7 * Hash01(ci, cj, seed + 1);
            const double d = std::sqrt((px - fx) * (px - fx) + (py - fy) * (py - fy));
            if (d < hit.nearest) {
                hit.second = hit.nearest;
                hit.nearest = d;
                hit.value = Hash01(ci, cj, seed + 2);
            } else if (d < hit.second) {
                hit.second = d;
            }
        }
    }
    return hit;
}

constexpr int ArtSize = 144;
constexpr int TileSize = 60;

// The disc shared by the mask and the grey shading: columns 11..131, rows 14..134.
constexpr int DiscX = 71;
constexpr int DiscY = 74;
constexpr int DiscR2 = 3660;
const double DiscR = std::sqrt(static_cast<double>(DiscR2));

// A picture drawn k times larger evaluates each definition at the centres of its
// pixels, given in pixel coordinates of the 1x picture: exactly the pixel's own
// position at k = 1, a quarter pixel either side of the 1x centres at k = 2.
double At(int pixel, int k) {
    return (pixel + 0.5) / k - 0.5;
}

bool InDisc(double x, double y) {
    return (x - DiscX) * (x - DiscX) + (y - DiscY) * (y - DiscY) <= DiscR2;
}

Picture MakeMask(int k = 1) {
    const int n = ArtSize * k;
    Picture pic(n, n, BmpKind::Mono);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            pic.at(x, y) = InDisc(At(x, k), At(y, k)) ? Rgb{255, 255, 255} : Rgb{0, 0, 0};
    return pic;
}

// Lights a shallow dome over the disc from the upper left and above, and darkens it
// towards the bottom; -1 outside the disc.
double ShadeAt(double x, double y) {
    if (!InDisc(x, y))
        return -1.0;
    const double lx = -0.30, ly = -0.70, lz = 0.65;
    const double ll = std::sqrt(lx * lx + ly * ly + lz * lz);
    const double nx = (x - DiscX) / DiscR;
    const double ny = (y - DiscY) / DiscR;
    const double rho2 = Clamp(nx * nx + ny * ny, 0.0, 1.0);
    // A flattened dome: a sphere squashed to 0.8 of its height.
    const double nz = 1.25 * std::sqrt(1.0 - rho2);
    const double len = std::sqrt(nx * nx + ny * ny + nz * nz);
    const double diffuse = Clamp((nx * lx + ny * ly + nz * lz) / (len * ll), 0.0, 1.0);
    const double vertical = 1.0 - (ny + 1.0) * 0.5;
    return 0.55 * diffuse + 0.45 * vertical;
}

// The shading stretched so that the 1x picture spans exactly 73..242; a larger
// picture keeps the same tones.
struct ShadeRange {
    double lo = 1e9, hi = -1e9;
};
ShadeRange ShadingRange() {
    ShadeRange r;
    for (int y = 0; y < ArtSize; ++y) {
        for (int x = 0; x < ArtSize; ++x) {
            const double s = ShadeAt(x, y);
            if (s < 0.0)
                continue;
            r.lo = std::min(r.lo, s);
            r.hi = std::max(r.hi, s);
        }
    }
    return r;
}

Picture MakeShading(int k = 1) {
    const auto [lo, hi] = ShadingRange();
    const int n = ArtSize * k;
    Picture pic(n, n, BmpKind::Rgb24);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double s = ShadeAt(At(x, k), At(y, k));
            pic.at(x, y) = s < 0.0 ? Grey(255) : Grey(73.0 + (s - lo) / (hi - lo) * (242.0 - 73.0));
        }
    return pic;
}

// A soft shadow cast down and to the right of the disc, kept off its face except for a
// thin darkening of the lower right rim. Non-white pixels stay within columns 7..142 and
// rows 11..143; the darkest is 116.
double DarkAt(double x, double y) {
    const double sx = DiscX + 3.5, sy = DiscY + 3.0;
    const double ds = std::sqrt((x - sx) * (x - sx) + (y - sy) * (y - sy));
    const double dd = std::sqrt((x - DiscX) * (x - DiscX) + (y - DiscY) * (y - DiscY));
    const double fall = 1.0 - SmoothStep(DiscR - 6.0, DiscR + 8.5, ds);
    const double offFace = SmoothStep(DiscR - 3.0, DiscR + 1.0, dd);
    return fall * offFace;
}

Picture MakeShadow(int k = 1) {
    // The darkest point of the 1x picture is 116 at every size.
    double hi = 0.0;
    for (int y = 0; y < ArtSize; ++y)
        for (int x = 0; x < ArtSize; ++x)
            hi = std::max(hi, DarkAt(x, y));
    const int n = ArtSize * k;
    Picture pic(n, n, BmpKind::Grey8);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            // The box is that of the 1x picture's pixels.
            const int bx = x / k, by = y / k;
            const bool inBox = bx >= 7 && bx <= 142 && by >= 11 && by <= 143;
            pic.at(x, y) =
                inBox ? Grey(255.0 - DarkAt(At(x, k), At(y, k)) / hi * (255.0 - 116.0)) : Grey(255);
        }
    return pic;
}

// The built-in black piece: columns 11..132, rows 13..134, a glossy black face with a soft
// highlight at the upper left and a faint reflected light along the lower right rim.
Picture MakeBlackPiece(int k = 1) {
    const int n = ArtSize * k;
    Picture pic(n, n, BmpKind::Grey8);
    const double cx = 71.5, cy = 73.5, r = 61.5;
    for (int py = 0; py < n; ++py) {
        for (int px = 0; px < n; ++px) {
            const double x = At(px, k), y = At(py, k);
            const double dx = x - cx, dy = y - cy;
            const double d2 = dx * dx + dy * dy;
            // Just under 61.5 pixels, so that the face covers every pixel of the mask's disc.
            if (d2 > 3782.0 && !InDisc(x, y))
                continue;
            const double d = std::sqrt(d2) / r;
            // Highlight: an elongated soft spot along the upper-left part of the face.
            const double hx = (dx + 24.0) / 26.0;
            const double hy = (dy + 26.0) / 17.0;
            const double ra = 0.80 * hx + 0.60 * hy;
            const double rb = -0.60 * hx + 0.80 * hy;
            const double spot = Exp(-(ra * ra * 0.8 + rb * rb * 1.6));
            // Reflected light along the lower right rim.
            const double along = Clamp((dx * 0.7 + dy * 0.7) / (r * 0.99), 0.0, 1.0);
            const double ring = SmoothStep(0.80, 0.95, d) * (1.0 - SmoothStep(0.97, 1.0, d));
            const double rim = ring * along * along;
            // Both lights end a little above zero, so most of the face stays pure black.
            const double v = 180.0 * Clamp((spot - 0.04) / 0.96, 0.0, 1.0) +
                             60.0 * Clamp((rim - 0.05) / 0.95, 0.0, 1.0);
            pic.at(px, py) = Grey(v < 1.5 ? 0.0 : Clamp(v, 0.0, 235.0));
        }
    }
    return pic;
}

// ---- board patterns ----

struct Colour {
    double r, g, b;
};

Colour Blend(Colour a, Colour b, double t) {
    return {Mix(a.r, b.r, t), Mix(a.g, b.g, t), Mix(a.b, b.b, t)};
}
Colour Scale(Colour a, double k) {
    return {a.r * k, a.g * k, a.b * k};
}

// Where a pattern is evaluated: the pixel centre in pixel coordinates of the 1x tile,
// and the pixel's own column and row, which seed the per-pixel grain.
struct Sample {
    double x, y;
    int ix, iy;
};

using Shader = Colour (*)(const Sample& p);

// Threads woven at `pitch` pixels; `twill` gives the diagonal of a 2/2 twill, otherwise a
// plain weave. Returns 0..1 brightness and whether the lengthwise thread lies on top.
std::pair<double, bool> Weave(double x, double y, int pitch, bool twill, std::uint64_t seed) {
    // The pixel centre, measured from the tile's corner.
    const double cx = x + 0.5, cy = y + 0.5;
    const int i = static_cast<int>(std::floor(cx / pitch));
    const int j = static_cast<int>(std::floor(cy / pitch));
    const bool warpUp = twill ? ((i + j) % 4) < 2 : ((i + j) % 2) == 0;
    const double inX = cx - i * pitch, inY = cy - j * pitch;
    const double across = (warpUp ? inX : inY) / pitch;
    const double along = (warpUp ? inY : inX) / pitch;
    const double round = SinCycles(across * 0.5);
    const double dip = 0.80 + 0.20 * SinCycles(along * 0.5);
    const double thread = warpUp ? Hash01(i, 11, seed) : Hash01(j, 13, seed);
    const double slub = warpUp ? TileNoise(i / 20.0, y / 60.0, 20, 4, seed + 5)
                               : TileNoise(x / 60.0, j / 20.0, 4, 20, seed + 6);
    return {(0.55 + 0.45 * round) * dip * (0.88 + 0.12 * thread) * (0.9 + 0.2 * slub), warpUp};
}

// Grain lines of wood running across the tile, bent by noise.
double WoodGrain(double u, double v, int rings, double bend, std::uint64_t seed) {
    const double warp = bend * (TileFbm(u, v, 2, 3, seed) - 0.5);
    const double s = (SinCycles(rings * v + warp) + 1.0) * 0.5;
    const double s2 = s * s;
    return s2 * s2 * s2 * s2;
}

Colour SeaGreenFelt(const Sample& p) {
    const double u = p.x / 60.0, v = p.y / 60.0;
    const double mottle = TileFbm(u, v, 3, 3, 101);
    const double fine = TileFbm(u, v, 15, 2, 102);
    const double fibre = Hash01(p.ix, p.iy, 103);
    const double k = 0.80 + 0.25 * mottle + 0.15 * fine + 0.10 * (fibre - 0.5);
    return Scale({40, 140, 90}, k);
}

Colour BlueTwill(const Sample& p) {
    const auto [light, warpUp] = Weave(p.x, p.y, 3, true, 201);
    const double cloud = TileFbm(p.x / 60.0, p.y / 60.0, 2, 2, 202);
    const Colour warp{40, 72, 160}, weft{62, 98, 178};
    return Scale(warpUp ? warp : weft, (0.86 + 0.22 * light) * (0.93 + 0.14 * cloud));
}

Colour RedMarble(const Sample& p) {
    const double u = p.x / 60.0, v = p.y / 60.0;
    const double base = TileFbm(u, v, 3, 4, 301);
    const double turb = TileFbm(u, v, 2, 4, 302);
    const double vein = 1.0 - std::abs(SinCycles(u + 2.0 * v + 1.4 * turb));
    double line = vein * vein * vein;
    line = line * line;
    const double vein2 = 1.0 - std::abs(SinCycles(3.0 * u - v + 1.2 * base));
    double line2 = vein2 * vein2 * vein2;
    line2 = line2 * line2 * line2 * line2;
    const Colour body = Blend({125, 20, 26}, {180, 42, 44}, base);
    return Blend(Blend(body, {92, 12, 18}, 0.45 * line2), {220, 150, 140}, 0.45 * line);
}

Colour GreyGranite(const Sample& p) {
    const CellHit grain = Cells(p.x / 60.0, p.y / 60.0, 18, 401);
    const double cloud = TileFbm(p.x / 60.0, p.y / 60.0, 3, 3, 402);
    const double fleck = Hash01(p.ix, p.iy, 403);
    Colour c;
    if (grain.value < 0.10)
        c = {150, 150, 156};
    else if (grain.value < 0.30)
        c = {222, 215, 210};
    else
        c = Scale({204, 204, 207}, 0.95 + 0.10 * grain.value);
    return Scale(c, (0.94 + 0.10 * cloud) * (0.97 + 0.06 * fleck));
}

Colour BeigeLinen(const Sample& p) {
    const auto [light, warpUp] = Weave(p.x, p.y, 3, false, 501);
    const double cloud = TileFbm(p.x / 60.0, p.y / 60.0, 3, 2, 502);
    const Colour warp{226, 210, 176}, weft{214, 198, 162};
    return Scale(warpUp ? warp : weft, (0.84 + 0.22 * light) * (0.95 + 0.08 * cloud));
}

Colour PaleYellowWood(const Sample& p) {
    const double u = p.x / 60.0, v = p.y / 60.0;
    const double grain = WoodGrain(u, v, 6, 0.7, 601);
    const double fine = WoodGrain(u + 0.5, v, 17, 0.4, 604);
    const double fibre = TileNoise(u, v, 2, 60, 602);
    const double fleck = Hash01(p.ix, p.iy, 603);
    const Colour light{250, 238, 172}, dark{214, 186, 110};
    return Scale(Blend(light, dark, 0.45 * grain + 0.25 * fine + 0.30 * fibre),
                 0.98 + 0.04 * fleck);
}

Colour OrangeLeather(const Sample& p) {
    const CellHit pebble = Cells(p.x / 60.0, p.y / 60.0, 9, 701);
    const double crease = 1.0 - SmoothStep(0.0, 0.30, pebble.second - pebble.nearest);
    const double dome = 1.0 - SmoothStep(0.0, 0.9, pebble.nearest);
    const double tone = TileFbm(p.x / 60.0, p.y / 60.0, 3, 3, 702);
    const double nap = Hash01(p.ix, p.iy, 703);
    const Colour c = Blend({214, 110, 32}, {246, 152, 58}, 0.45 * dome + 0.55 * tone);
    return Scale(Blend(c, {176, 82, 22}, 0.30 * crease), 0.97 + 0.06 * nap);
}

Colour DarkBrownWood(const Sample& p) {
    const double u = p.x / 60.0, v = p.y / 60.0;
    const double grain = WoodGrain(u, v, 5, 0.8, 801);
    const double grain2 = WoodGrain(u + 0.37, v, 13, 0.5, 802);
    const double fibre = TileNoise(u, v, 2, 60, 803);
    const Colour light{112, 76, 48}, dark{55, 34, 21};
    return Blend(light, dark, 0.50 * grain + 0.25 * grain2 + 0.30 * fibre);
}

struct PatternRecipe {
    Shader shader;
    Colour average;
};

const std::array<PatternRecipe, 8> Patterns{{
    {SeaGreenFelt, {46, 139, 87}},
    {BlueTwill, {50, 85, 170}},
    {RedMarble, {165, 38, 40}},
    {GreyGranite, {196, 196, 198}},
    {BeigeLinen, {220, 205, 170}},
    {PaleYellowWood, {242, 228, 160}},
    {OrangeLeather, {228, 128, 40}},
    {DarkBrownWood, {88, 58, 36}},
}};

// Shades the tile, then shifts each channel so that the average is the recipe's colour.
Picture MakePattern(const PatternRecipe& recipe, int k = 1) {
    const int n = TileSize * k;
    std::vector<Colour> px;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            px.push_back(recipe.shader({At(x, k), At(y, k), x, y}));
    for (int pass = 0; pass < 4; ++pass) {
        Colour sum{0, 0, 0};
        for (const Colour& c : px) {
            sum.r += c.r;
            sum.g += c.g;
            sum.b += c.b;
        }
        const double n = static_cast<double>(px.size());
        const Colour shift{recipe.average.r - sum.r / n, recipe.average.g - sum.g / n,
                           recipe.average.b - sum.b / n};
        for (Colour& c : px)
            c = {Clamp(c.r + shift.r, 0, 255), Clamp(c.g + shift.g, 0, 255),
                 Clamp(c.b + shift.b, 0, 255)};
    }
    Picture pic(n, n, BmpKind::Rgb24);
    for (int i = 0; i < n * n; ++i)
        pic.pixels[i] = {ToByte(px[i].r), ToByte(px[i].g), ToByte(px[i].b)};
    return pic;
}

// ---- emblem: a light and a dark disc overlapping on a small green board ----

double RoundRectDistance(double x, double y, double l, double t, double r, double b, double rad) {
    const double cx = (l + r) * 0.5, cy = (t + b) * 0.5;
    const double qx = std::abs(x - cx) - ((r - l) * 0.5 - rad);
    const double qy = std::abs(y - cy) - ((b - t) * 0.5 - rad);
    const double ox = std::max(qx, 0.0), oy = std::max(qy, 0.0);
    return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.0) - rad;
}

// One shaded disc; `base` and `glow` are the face's dark and lit colours.
Colour DiscFace(double x, double y, double cx, double cy, double r, Colour base, Colour glow) {
    const double nx = (x - cx) / r, ny = (y - cy) / r;
    const double rho = std::sqrt(nx * nx + ny * ny);
    const double light = Clamp(0.55 - 0.35 * nx - 0.45 * ny, 0.0, 1.0);
    const double hx = nx + 0.38, hy = ny + 0.42;
    const double spot = Exp(-(hx * hx + hy * hy) * 9.0);
    const double rim = SmoothStep(0.86, 1.0, rho);
    Colour c = Blend(base, glow, Clamp(0.6 * light + 0.5 * spot, 0.0, 1.0));
    return Blend(c, Scale(base, 0.7), 0.6 * rim);
}

Colour EmblemAt(double x, double y, bool& outside) {
    // A square board at the left; the right part stays clear for the title
    // that the about window sets beside it.
    const double box = RoundRectDistance(x, y, 1.0, 1.0, 67.0, 67.0, 12.0);
    outside = box > 0.0;
    if (outside)
        return {255, 255, 255};
    const double top = y / 68.0;
    Colour c = Blend({70, 165, 95}, {22, 105, 55}, top);
    // Board lines.
    for (double lx : {17.5, 34.0, 50.5})
        if (std::abs(x - lx) < 0.6)
            c = Blend(c, {18, 80, 42}, 0.7);
    for (double ly : {17.5, 34.0, 50.5})
        if (std::abs(y - ly) < 0.6)
            c = Blend(c, {18, 80, 42}, 0.7);
    // Bevel just inside the border: lit at the top, darker at the bottom.
    const double bevel = 1.0 - SmoothStep(-3.0, -0.5, -std::abs(box + 1.5) - 0.5);
    c = Blend(c, y < 34.0 ? Colour{120, 200, 140} : Colour{12, 60, 30}, 0.45 * (1.0 - bevel));
    if (box > -1.0)
        c = Blend(c, {10, 55, 28}, 0.8);

    const double darkX = 27.0, darkY = 38.0, lightX = 42.0, lightY = 30.0, r = 15.0;
    // Soft shadows of both discs on the board.
    for (auto [px, py] : {std::pair{darkX, darkY}, std::pair{lightX, lightY}}) {
        const double d =
            std::sqrt((x - px - 2.0) * (x - px - 2.0) + (y - py - 3.0) * (y - py - 3.0));
        c = Scale(c, 1.0 - 0.45 * (1.0 - SmoothStep(r - 3.0, r + 3.0, d)));
    }
    const double dl = std::sqrt((x - lightX) * (x - lightX) + (y - lightY) * (y - lightY));
    const double dd = std::sqrt((x - darkX) * (x - darkX) + (y - darkY) * (y - darkY));
    if (dl <= r)
        return DiscFace(x, y, lightX, lightY, r, {165, 165, 160}, {250, 250, 244});
    if (dd <= r) {
        // The light disc's shadow falls on the dark one too.
        const double ds = std::sqrt((x - lightX - 2.0) * (x - lightX - 2.0) +
                                    (y - lightY - 3.0) * (y - lightY - 3.0));
        const double shade = 1.0 - 0.5 * (1.0 - SmoothStep(r - 2.0, r + 2.0, ds));
        return Scale(DiscFace(x, y, darkX, darkY, r, {22, 22, 26}, {120, 120, 130}), shade);
    }
    return c;
}

// Four by four samples per pixel. Pixels wholly outside the green square are pure white,
// which the about window draws transparent; nothing inside is pure white.
Picture MakeEmblem(int k = 1) {
    Picture pic(80 * k, 68 * k, BmpKind::Rgb24);
    for (int y = 0; y < 68 * k; ++y) {
        for (int x = 0; x < 80 * k; ++x) {
            Colour sum{0, 0, 0};
            int inside = 0;
            for (int sy = 0; sy < 4; ++sy) {
                for (int sx = 0; sx < 4; ++sx) {
                    bool outside = false;
                    const Colour c =
                        EmblemAt(x / static_cast<double>(k) + (sx + 0.5) / (4.0 * k),
                                 y / static_cast<double>(k) + (sy + 0.5) / (4.0 * k), outside);
                    sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
                    inside += outside ? 0 : 1;
                }
            }
            if (inside == 0)
                continue;
            pic.at(x, y) = {ToByte(std::min(sum.r / 16.0, 250.0)),
                            ToByte(std::min(sum.g / 16.0, 250.0)),
                            ToByte(std::min(sum.b / 16.0, 250.0))};
        }
    }
    return pic;
}

// ---- the program's icon: a red piece, as the game draws one, on the first board pattern ----

constexpr double IconInset = 0.04;   // transparent margin around the rounded square
constexpr double IconCorner = 0.18;  // corner radius
constexpr double IconTexels = 120.0; // pattern texels across the icon: two tiles
constexpr double PieceX = 0.48, PieceY = 0.47, PieceR = 0.31;

struct IconPainter {
    Picture felt = MakePattern(Patterns[0]);
    ShadeRange shade = ShadingRange();

    // The colour at (u, v) of the unit square; false outside the rounded square.
    bool At(double u, double v, Colour& out) const {
        const double box = RoundRectDistance(u, v, IconInset, IconInset, 1.0 - IconInset,
                                             1.0 - IconInset, IconCorner);
        if (box > 0.0)
            return false;
        const double dx = u - PieceX, dy = v - PieceY;
        const double d = std::sqrt(dx * dx + dy * dy);
        if (d <= PieceR) {
            // A coloured piece is its colour AND the game's shading: for red, the shade
            // in red. The shading's disc is scaled onto the piece, just inside its rim.
            const double g =
                ShadeAt(DiscX + dx / PieceR * DiscR * 0.999, DiscY + dy / PieceR * DiscR * 0.999);
            const double t = (std::max(g, shade.lo) - shade.lo) / (shade.hi - shade.lo);
            out = {73.0 + t * (242.0 - 73.0), 0.0, 0.0};
            return true;
        }
        const auto texel = [](double t) {
            return static_cast<int>(std::floor(t * IconTexels)) % TileSize;
        };
        const Rgb p = felt.at(texel(u), texel(v));
        Colour c{double(p.r), double(p.g), double(p.b)};
        // The grid lines of the piece's square, in the game's default line colour.
        for (double line : {PieceX - PieceR - 0.045, PieceX + PieceR + 0.045})
            if (std::abs(u - line) < 0.008 || std::abs(v - line + PieceX - PieceY) < 0.008)
                c = Blend(c, {255, 255, 255}, 0.8);
        // A bevel, lit at the upper left, and a dark outline.
        const double edge = SmoothStep(-0.06, 0.0, box);
        c = Blend(c, u + v < 1.0 ? Colour{150, 215, 170} : Colour{10, 60, 32}, 0.4 * edge);
        if (box > -0.012)
            c = Blend(c, {8, 50, 26}, 0.75);
        // The piece's soft shadow, down and to the right.
        const double sx = u - PieceX - 0.03, sy = v - PieceY - 0.035;
        const double fall =
            1.0 - SmoothStep(PieceR - 0.03, PieceR + 0.06, std::sqrt(sx * sx + sy * sy));
        out = Scale(c, 1.0 - 0.55 * fall);
        return true;
    }
};

} // namespace

std::vector<Icon> MakeIcons() {
    const IconPainter painter;
    std::vector<Icon> out;
    for (int size : IconSizes) {
        // Enough samples per pixel for the small sizes to keep the piece round.
        const int n = std::clamp(1024 / size, 4, 16);
        Icon icon{size, std::vector<Rgba>(static_cast<std::size_t>(size * size))};
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                Colour sum{0, 0, 0};
                int inside = 0;
                for (int sy = 0; sy < n; ++sy)
                    for (int sx = 0; sx < n; ++sx) {
                        Colour c{};
                        if (painter.At((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size,
                                       c)) {
                            sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
                            ++inside;
                        }
                    }
                if (inside == 0)
                    continue;
                icon.pixels[static_cast<std::size_t>(y * size + x)] = {
                    ToByte(sum.r / inside), ToByte(sum.g / inside), ToByte(sum.b / inside),
                    ToByte(255.0 * inside / (n * n))};
            }
        }
        out.push_back(std::move(icon));
    }
    return out;
}

std::vector<NamedPicture> MakePictures() {
    std::vector<NamedPicture> out;
    out.push_back({"MASK", MakeMask()});
    out.push_back({"GRY", MakeShading()});
    out.push_back({"KAGE", MakeShadow()});
    out.push_back({"IMGKURO", MakeBlackPiece()});
    for (std::size_t i = 0; i < Patterns.size(); ++i)
        out.push_back({"PATTERN" + std::to_string(i), MakePattern(Patterns[i])});
    out.push_back({"EMBLEM", MakeEmblem()});
    return out;
}

std::vector<NamedPicture> MakeDoublePictures() {
    std::vector<NamedPicture> out;
    out.push_back({"MASK", MakeMask(2)});
    out.push_back({"GRY", MakeShading(2)});
    out.push_back({"KAGE", MakeShadow(2)});
    out.push_back({"IMGKURO", MakeBlackPiece(2)});
    for (std::size_t i = 0; i < Patterns.size(); ++i)
        out.push_back({"PATTERN" + std::to_string(i), MakePattern(Patterns[i], 2)});
    out.push_back({"EMBLEM", MakeEmblem(2)});
    return out;
}

} // namespace art
