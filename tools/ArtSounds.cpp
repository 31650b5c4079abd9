// The sounds: piece placing, the three game results, the chat chime and the message beeps.
#include "ArtKit.h"

#include <algorithm>
#include <initializer_list>

namespace art {
namespace {

// One harmonic of a note: frequency ratio, level, and the time constant of its decay.
struct Partial {
    double ratio;
    double level;
    double decay;
};

struct Note {
    double start;  // seconds
    double length; // seconds, release included
    double freq;   // Hz at the start
    double level;
    std::initializer_list<Partial> partials;
    double attack = 0.004;
    double release = 0.03;
    double glideTo = 0.0; // Hz at the end; 0 keeps the pitch
};

int Samples(double seconds) {
    return static_cast<int>(std::floor(seconds * SampleRate + 0.5));
}

void Add(std::vector<double>& out, const Note& n) {
    const int first = Samples(n.start);
    const int count = Samples(n.length);
    if (static_cast<int>(out.size()) < first + count)
        out.resize(first + count, 0.0);
    const double glide = n.glideTo > 0.0 ? n.glideTo - n.freq : 0.0;
    for (const Partial& p : n.partials) {
        if (p.ratio * std::max(n.freq, n.freq + glide) > 9000.0)
            continue; // keep well below the Nyquist limit
        double phase = 0.0;
        for (int i = 0; i < count; ++i) {
            const double t = static_cast<double>(i) / SampleRate;
            const double env = Clamp(t / n.attack, 0.0, 1.0) * Exp(-t / p.decay) *
                               (1.0 - SmoothStep(n.length - n.release, n.length, t));
            out[first + i] += n.level * p.level * env * SinCycles(phase);
            phase += p.ratio * (n.freq + glide * t / n.length) / SampleRate;
            phase -= std::floor(phase);
        }
    }
}

// Scales to the given loudness (RMS) without letting the peak pass `peak`, then fades the
// very start and end to silence.
Sound Finish(std::vector<double> samples, int bits, double rms, double peak, double fadeIn,
             double fadeOut) {
    double hi = 0.0, power = 0.0;
    for (double s : samples) {
        hi = std::max(hi, std::abs(s));
        power += s * s;
    }
    const int n = static_cast<int>(samples.size());
    const double gain = std::min(peak / hi, rms / std::sqrt(power / n));
    const int in = Samples(fadeIn), out = Samples(fadeOut);
    for (int i = 0; i < n; ++i) {
        double g = gain;
        if (i < in)
            g *= SmoothStep(0.0, in, i);
        if (i >= n - out)
            g *= SmoothStep(0.0, out, n - 1 - i);
        samples[i] *= g;
    }
    return {bits, std::move(samples)};
}

// Note frequencies (equal temperament, A4 = 440 Hz).
constexpr double D4 = 293.66, Eb4 = 311.13, F4 = 349.23, G4 = 392.00, A4 = 440.00;
constexpr double C5 = 523.25, E5 = 659.26, G5 = 783.99, A5 = 880.00, B5 = 987.77;
constexpr double C6 = 1046.50, E6 = 1318.51, G6 = 1567.98;

// "Pip-po": two short wooden-sounding tones over a soft knock; 4564 samples of 8 bits.
Sound Placing() {
    std::vector<double> s(4564, 0.0);
    const auto wood = {Partial{1, 1.0, 0.040}, Partial{2, 0.25, 0.018}, Partial{3, 0.10, 0.010}};
    Add(s, {0.000, 0.030, 420.0, 0.45, {{1, 1.0, 0.008}}, 0.001, 0.010});
    Add(s, {0.000, 0.080, E6, 0.55, wood, 0.002, 0.020});
    Add(s, {0.072, 0.135, B5, 0.70, wood, 0.002, 0.040});
    s.resize(4564);
    return Finish(std::move(s), 8, 0.18, 0.75, 0.002, 0.012);
}

Sound Win() {
    std::vector<double> s;
    const auto bright = {Partial{1, 1.0, 0.30}, Partial{2, 0.45, 0.18}, Partial{3, 0.25, 0.12},
                         Partial{4, 0.12, 0.08}};
    const auto held = {Partial{1, 1.0, 0.60}, Partial{2, 0.40, 0.35}, Partial{3, 0.18, 0.22},
                       Partial{4, 0.08, 0.15}};
    const double steps[] = {C5, E5, G5, C6};
    for (int i = 0; i < 4; ++i)
        Add(s, {0.11 * i, 0.22, steps[i], 0.8, bright});
    for (double f : {E5, G5, C6, E6})
        Add(s, {0.48, 1.0, f, 0.5, held, 0.006, 0.25});
    Add(s, {0.48, 0.6, G6, 0.18, {{1, 1.0, 0.2}}, 0.004, 0.2});
    return Finish(std::move(s), 16, 0.16, 0.80, 0.002, 0.02);
}

Sound Loss() {
    std::vector<double> s;
    const auto soft = {Partial{1, 1.0, 0.50}, Partial{2, 0.18, 0.25}, Partial{3, 0.05, 0.15}};
    const auto last = {Partial{1, 1.0, 0.80}, Partial{2, 0.15, 0.40}, Partial{3, 0.04, 0.20}};
    Add(s, {0.00, 0.34, G4, 0.8, soft, 0.025, 0.08});
    Add(s, {0.30, 0.34, F4, 0.8, soft, 0.025, 0.08});
    Add(s, {0.60, 0.38, Eb4, 0.8, soft, 0.025, 0.08});
    Add(s, {0.95, 0.80, D4, 0.9, last, 0.030, 0.35, 277.18});
    return Finish(std::move(s), 16, 0.15, 0.70, 0.002, 0.03);
}

Sound Draw() {
    std::vector<double> s;
    const auto mid = {Partial{1, 1.0, 0.30}, Partial{2, 0.30, 0.18}, Partial{3, 0.12, 0.10}};
    const auto held = {Partial{1, 1.0, 0.45}, Partial{2, 0.25, 0.25}, Partial{3, 0.08, 0.15}};
    Add(s, {0.00, 0.22, A4, 0.8, mid, 0.008, 0.05});
    Add(s, {0.20, 0.22, E5, 0.7, mid, 0.008, 0.05});
    Add(s, {0.40, 0.22, A4, 0.8, mid, 0.008, 0.05});
    Add(s, {0.62, 0.60, A4, 0.6, held, 0.010, 0.20});
    Add(s, {0.62, 0.60, E5, 0.45, held, 0.010, 0.20});
    return Finish(std::move(s), 16, 0.16, 0.75, 0.002, 0.02);
}

Sound Chime() {
    std::vector<double> s;
    const auto bell = {Partial{1, 1.0, 0.12}, Partial{2, 0.35, 0.06}, Partial{2.76, 0.08, 0.04},
                       Partial{3, 0.10, 0.04}};
    Add(s, {0.00, 0.13, B5, 0.8, bell, 0.003, 0.03});
    Add(s, {0.11, 0.19, E6, 0.8, bell, 0.003, 0.08});
    return Finish(std::move(s), 16, 0.16, 0.75, 0.002, 0.02);
}

Sound BeepDefault() {
    std::vector<double> s;
    Add(s, {0.0, 0.30, A5, 1.0, {{1, 1.0, 0.10}, {2, 0.20, 0.05}, {3, 0.05, 0.03}}, 0.003, 0.08});
    return Finish(std::move(s), 16, 0.15, 0.70, 0.002, 0.02);
}

Sound BeepHand() {
    std::vector<double> s;
    const auto buzz = {Partial{1, 1.0, 0.30}, Partial{3, 0.30, 0.20}, Partial{5, 0.15, 0.15},
                       Partial{7, 0.07, 0.10}};
    Add(s, {0.00, 0.15, 330.0, 1.0, buzz, 0.005, 0.04});
    Add(s, {0.17, 0.22, 247.0, 1.0, buzz, 0.005, 0.08});
    return Finish(std::move(s), 16, 0.15, 0.70, 0.002, 0.02);
}

Sound BeepExclamation() {
    std::vector<double> s;
    const auto tone = {Partial{1, 1.0, 0.15}, Partial{2, 0.35, 0.08}, Partial{3, 0.15, 0.05}};
    Add(s, {0.00, 0.12, 932.33, 0.9, tone, 0.003, 0.03});
    Add(s, {0.14, 0.24, 932.33, 0.9, tone, 0.003, 0.10});
    return Finish(std::move(s), 16, 0.15, 0.70, 0.002, 0.02);
}

Sound BeepAsterisk() {
    std::vector<double> s;
    const auto bell = {Partial{1, 1.0, 0.16}, Partial{2, 0.25, 0.08}, Partial{2.76, 0.06, 0.05}};
    Add(s, {0.00, 0.42, C6, 0.8, bell, 0.003, 0.12});
    Add(s, {0.03, 0.39, G6, 0.4, bell, 0.003, 0.12});
    return Finish(std::move(s), 16, 0.15, 0.70, 0.002, 0.02);
}

} // namespace

std::vector<NamedSound> MakeSounds() {
    return {{"PIPOWAV", Placing()},    {"KATIWAV", Win()},
            {"MAKEWAV", Loss()},       {"HIKIWAV", Draw()},
            {"PIPIWAV", Chime()},      {"BEEP0", BeepDefault()},
            {"BEEP16", BeepHand()},    {"BEEP48", BeepExclamation()},
            {"BEEP64", BeepAsterisk()}};
}

} // namespace art
