// Sound over SDL2 audio: one device opened on first use, one sound at a time.
#include "platform/Sound.h"

#include <QDebug>
#include <QFile>
#include <QHash>

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// A sound converted to the device's format, ready to be copied to it.
struct Clip {
    std::vector<Uint8> bytes;
    Clock::duration length{};
};
using ClipPtr = std::shared_ptr<const Clip>;

// How long a synchronous play may outlast its sound when the device stops
// taking samples, and how often the wait looks whether the device is gone.
constexpr auto kLostDeviceMargin = std::chrono::milliseconds(200);
constexpr auto kStatusPoll = std::chrono::milliseconds(20);
// Seconds; a longer WAVE (or one whose header says so) is not played, which
// bounds the memory its conversion takes.
constexpr double kLongestSound = 300;

struct SoundState {
    // Only the calling threads touch these; api serialises the calls.
    std::mutex api;
    SDL_AudioDeviceID device = 0;
    SDL_AudioSpec spec{};
    bool openFailed = false; // remembered until ShutdownSound
    QHash<QString, ClipPtr> cache;

    // Shared with SDL's audio thread.
    std::mutex mutex;
    std::condition_variable played; // signalled at every callback
    ClipPtr clip;
    size_t position = 0;   // bytes of clip handed to the device
    quint64 callbacks = 0; // callbacks started since the device opened
    quint64 drainedAt = 0; // the callback that took clip's last bytes; 0: not yet
    Uint8 silence = 0;
};

// Never destroyed: SDL's thread may still run while the program exits.
SoundState& State() {
    static SoundState* state = new SoundState;
    return *state;
}

void SDLCALL FillBuffer(void* userdata, Uint8* stream, int len) {
    auto& s = *static_cast<SoundState*>(userdata);
    std::lock_guard lock(s.mutex);
    ++s.callbacks;
    size_t copied = 0;
    if (s.clip && s.position < s.clip->bytes.size()) {
        copied = std::min(static_cast<size_t>(len), s.clip->bytes.size() - s.position);
        std::memcpy(stream, s.clip->bytes.data() + s.position, copied);
        s.position += copied;
        if (s.position == s.clip->bytes.size())
            s.drainedAt = s.callbacks;
    }
    std::memset(stream + copied, s.silence, static_cast<size_t>(len) - copied);
    s.played.notify_all();
}

int FrameBytes(const SDL_AudioSpec& spec) {
    return SDL_AUDIO_BITSIZE(spec.format) / 8 * spec.channels;
}

// Opens the device unless it is open or failed before. Needs s.api held.
bool EnsureDevice(SoundState& s) {
    if (s.device != 0)
        return true;
    if (s.openFailed)
        return false;

    // A program with a Qt event loop keeps its own Ctrl+C behaviour.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        qDebug("No sound: %s", SDL_GetError());
        s.openFailed = true;
        return false;
    }

    SDL_AudioSpec want{};
    want.freq = 44100;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = FillBuffer;
    want.userdata = &s;
    SDL_AudioSpec have{};
    // Each sound is converted to whatever the device takes, so SDL need not
    // convert (and buffer) again on its thread.
    const SDL_AudioDeviceID device =
        SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_ANY_CHANGE);
    if (device == 0 || have.freq <= 0 || FrameBytes(have) <= 0) {
        qDebug("No sound: %s", SDL_GetError());
        if (device != 0)
            SDL_CloseAudioDevice(device);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        s.openFailed = true;
        return false;
    }
    s.device = device;
    s.spec = have;
    {
        std::lock_guard lock(s.mutex);
        s.clip.reset();
        s.position = 0;
        s.callbacks = 0;
        s.drainedAt = 0;
        s.silence = have.silence;
    }
    SDL_PauseAudioDevice(device, 0);
    return true;
}

// Parses a complete WAVE file and converts it to the device's format. Anything
// that is not a playable WAVE gives an empty clip.
ClipPtr Convert(const QByteArray& wave, const SDL_AudioSpec& device) {
    auto clip = std::make_shared<Clip>();
    if (wave.isEmpty() || wave.size() > INT_MAX)
        return clip;

    SDL_RWops* rw = SDL_RWFromConstMem(wave.constData(), static_cast<int>(wave.size()));
    if (!rw)
        return clip;
    SDL_AudioSpec spec{};
    Uint8* samples = nullptr;
    Uint32 length = 0;
    if (!SDL_LoadWAV_RW(rw, 1, &spec, &samples, &length))
        return clip;

    // SDL_AudioCVT converts in one pass; SDL 2.26's SDL_AudioStream drops the
    // last 1024 frames of a resampled sound on flush.
    const int inFrame = FrameBytes(spec);
    const Uint32 whole = inFrame > 0 ? length - length % static_cast<Uint32>(inFrame) : 0;
    const double seconds =
        inFrame > 0 && spec.freq > 0 ? static_cast<double>(whole / inFrame) / spec.freq : 0.0;
    SDL_AudioCVT cvt{};
    if (whole > 0 && seconds <= kLongestSound &&
        SDL_BuildAudioCVT(&cvt, spec.format, spec.channels, spec.freq, device.format,
                          device.channels, device.freq) >= 0 &&
        cvt.len_mult > 0 && whole <= static_cast<Uint32>(INT_MAX / cvt.len_mult)) {
        std::vector<Uint8> buffer(static_cast<size_t>(whole) * static_cast<size_t>(cvt.len_mult));
        std::memcpy(buffer.data(), samples, whole);
        cvt.buf = buffer.data();
        cvt.len = static_cast<int>(whole);
        if (SDL_ConvertAudio(&cvt) == 0 && cvt.len_cvt > 0) {
            const int outFrame = FrameBytes(device);
            buffer.resize(static_cast<size_t>(cvt.len_cvt / outFrame * outFrame));
            clip->bytes = std::move(buffer);
        }
    }
    SDL_FreeWAV(samples);

    const auto frames = static_cast<qint64>(clip->bytes.size() / FrameBytes(device));
    clip->length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(frames) / device.freq));
    return clip;
}

// Replaces the sound playing by clip; a synchronous play then waits until the
// device has taken the last sample and played one more buffer, the time the
// last buffer needs to be heard. A device that stops taking samples ends the
// wait after the sound's length and a margin.
void Play(SoundState& s, const ClipPtr& clip, bool synchronous) {
    const auto start = Clock::now();
    {
        std::lock_guard lock(s.mutex);
        s.clip = clip;
        s.position = 0;
        s.drainedAt = 0;
    }
    if (!synchronous || clip->bytes.empty())
        return;

    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(s.spec.samples) / s.spec.freq));
    const auto deadline = start + clip->length + 2 * period + kLostDeviceMargin;
    bool deviceLost = false;
    {
        std::unique_lock lock(s.mutex);
        const auto heard = [&s] { return s.drainedAt != 0 && s.callbacks > s.drainedAt; };
        while (!heard() && Clock::now() < deadline) {
            if (s.played.wait_until(lock, std::min(deadline, Clock::now() + kStatusPoll), heard))
                break;
            lock.unlock();
            deviceLost = SDL_GetAudioDeviceStatus(s.device) != SDL_AUDIO_PLAYING;
            lock.lock();
            if (deviceLost)
                break;
        }
    }
    // The sound cannot have been heard before its length has passed, whatever
    // pace the device keeps.
    if (!deviceLost)
        std::this_thread::sleep_until(start + clip->length);
}

ClipPtr NamedClip(SoundState& s, const QString& name) {
    if (const auto it = s.cache.constFind(name); it != s.cache.constEnd())
        return *it;
    QFile file(QStringLiteral(":/sounds/") + name + QStringLiteral(".wav"));
    const QByteArray wave = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    ClipPtr clip = Convert(wave, s.spec);
    s.cache.insert(name, clip);
    return clip;
}

std::function<void(const QString&, bool)> soundObserver;

} // namespace

void SetSoundObserver(std::function<void(const QString& name, bool synchronous)> observer) {
    soundObserver = std::move(observer);
}

void PlaySound(const QString& name, bool synchronous) {
    if (soundObserver)
        soundObserver(name, synchronous);
    SoundState& s = State();
    std::lock_guard api(s.api);
    if (EnsureDevice(s))
        Play(s, NamedClip(s, name), synchronous);
}

void PlayWave(const QByteArray& wave, bool synchronous) {
    SoundState& s = State();
    std::lock_guard api(s.api);
    if (EnsureDevice(s))
        Play(s, Convert(wave, s.spec), synchronous);
}

void MessageBeep(unsigned type) {
    switch (type) {
    case 16:
    case 48:
    case 64:
        PlaySound(QStringLiteral("BEEP%1").arg(type), false);
        break;
    default:
        PlaySound(QStringLiteral("BEEP0"), false);
        break;
    }
}

void ShutdownSound() {
    SoundState& s = State();
    std::lock_guard api(s.api);
    if (s.device != 0) {
        // Joins SDL's thread, which may be waiting for s.mutex: not held here.
        SDL_CloseAudioDevice(s.device);
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        s.device = 0;
    }
    s.openFailed = false;
    s.cache.clear();
    std::lock_guard lock(s.mutex);
    s.clip.reset();
    s.position = 0;
    s.drainedAt = 0;
}

SoundDeviceInfo CurrentSoundDevice() {
    SoundState& s = State();
    std::lock_guard api(s.api);
    SoundDeviceInfo info;
    if (s.device == 0)
        return info;
    info.open = true;
    info.frequency = s.spec.freq;
    info.channels = s.spec.channels;
    info.sampleBits = SDL_AUDIO_BITSIZE(s.spec.format);
    info.signedSamples = SDL_AUDIO_ISSIGNED(s.spec.format);
    info.floatSamples = SDL_AUDIO_ISFLOAT(s.spec.format);
    info.bufferFrames = s.spec.samples;
    std::lock_guard lock(s.mutex);
    info.framesPlayed = static_cast<qint64>(s.position) / FrameBytes(s.spec);
    return info;
}

} // namespace platform
