// Sound over SDL2 audio: SDL loaded at the first sound, the device open only while sounds play.
#include "platform/Sound.h"
#include "platform/SharedLibrary.h"

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
// The device closes after this much silence, so that a quiet program holds no
// device and runs no audio thread.
constexpr auto kIdleClose = std::chrono::seconds(2);

// SDL is loaded at the first sound, not at program start: with its drivers'
// client libraries it is a good part of what the program would map.
constexpr const char* kSdlLibrary = "libSDL2-2.0.so.0";
#define VELTROY_SDL_FUNCTIONS(X, P)                                                                \
    X(P, SetHint)                                                                                  \
    X(P, GetError)                                                                                 \
    X(P, InitSubSystem)                                                                            \
    X(P, QuitSubSystem)                                                                            \
    X(P, OpenAudioDevice)                                                                          \
    X(P, CloseAudioDevice)                                                                         \
    X(P, PauseAudioDevice)                                                                         \
    X(P, GetAudioDeviceStatus)                                                                     \
    X(P, RWFromConstMem)                                                                           \
    X(P, LoadWAV_RW)                                                                               \
    X(P, FreeWAV)                                                                                  \
    X(P, BuildAudioCVT)                                                                            \
    X(P, ConvertAudio)

VELTROY_FUNCTION_TABLE(SdlApi, VELTROY_SDL_FUNCTIONS, SDL_)

// The SDL functions, or null when the library or one of them is missing.
// Loaded once and never unloaded.
const SdlApi* Sdl() {
    static const SdlApi* api = LoadFunctions<SdlApi>(kSdlLibrary, "No sound");
    return api;
}

struct SoundState {
    // Only the calling threads touch these; api serialises the calls.
    std::mutex api;
    SDL_AudioDeviceID device = 0;
    SDL_AudioSpec spec{};
    bool openFailed = false;       // remembered until ShutdownSound
    QHash<QString, ClipPtr> cache; // converted to spec
    // The closer: a thread that lives while the device is open and closes it
    // once closeAt has passed and the last sound has been heard. It waits on
    // idle with api released.
    std::thread closer;
    std::condition_variable idle;
    Clock::time_point closeAt;
    bool closeNow = false;

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

bool SameFormat(const SDL_AudioSpec& a, const SDL_AudioSpec& b) {
    return a.freq == b.freq && a.format == b.format && a.channels == b.channels;
}

// Whether the device has played everything it was given. Needs s.mutex held.
bool Heard(const SoundState& s) {
    return !s.clip || s.clip->bytes.empty() || (s.drainedAt != 0 && s.callbacks > s.drainedAt);
}

// Closes the open device. Needs s.api held and s.mutex not: SDL joins its
// thread, which may be waiting for s.mutex.
void CloseDevice(SoundState& s) {
    if (s.device == 0)
        return;
    Sdl()->CloseAudioDevice(s.device);
    Sdl()->QuitSubSystem(SDL_INIT_AUDIO);
    s.device = 0;
    std::lock_guard lock(s.mutex);
    s.clip.reset();
    s.position = 0;
    s.drainedAt = 0;
}

// The closer's body: sleeps until closeAt, and then for as long as the device
// still plays (a little longer at most), then closes the device and ends. A
// device that has stopped is closed at once.
void CloseWhenIdle(SoundState& s) {
    std::unique_lock api(s.api);
    while (s.device != 0) {
        const auto now = Clock::now();
        if (!s.closeNow && now < s.closeAt) {
            s.idle.wait_until(api, s.closeAt);
            continue;
        }
        bool heard = false;
        {
            std::lock_guard lock(s.mutex);
            heard = Heard(s);
        }
        if (s.closeNow || heard || now >= s.closeAt + kIdleClose ||
            Sdl()->GetAudioDeviceStatus(s.device) != SDL_AUDIO_PLAYING) {
            CloseDevice(s);
            break;
        }
        // A device that plays slower than real time: look again shortly.
        s.idle.wait_for(api, kIdleClose / 10);
    }
}

// Opens the device unless it is open or failed before, and starts its closer.
// Needs s.api held.
bool EnsureDevice(SoundState& s) {
    if (s.device != 0)
        return true;
    if (s.openFailed)
        return false;
    // A closer that closed the device has ended, or is ending without api.
    if (s.closer.joinable())
        s.closer.join();
    const SdlApi* sdl = Sdl();
    if (!sdl) {
        s.openFailed = true;
        return false;
    }

    // A program with a Qt event loop keeps its own Ctrl+C behaviour.
    sdl->SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (sdl->InitSubSystem(SDL_INIT_AUDIO) != 0) {
        qDebug("No sound: %s", sdl->GetError());
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
        sdl->OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_ANY_CHANGE);
    if (device == 0 || have.freq <= 0 || FrameBytes(have) <= 0) {
        qDebug("No sound: %s", sdl->GetError());
        if (device != 0)
            sdl->CloseAudioDevice(device);
        sdl->QuitSubSystem(SDL_INIT_AUDIO);
        s.openFailed = true;
        return false;
    }
    if (!SameFormat(have, s.spec))
        s.cache.clear();
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
    s.closeAt = Clock::now() + kIdleClose;
    s.closeNow = false;
    s.closer = std::thread(CloseWhenIdle, std::ref(s));
    sdl->PauseAudioDevice(device, 0);
    return true;
}

// Parses a complete WAVE file and converts it to the device's format. Anything
// that is not a playable WAVE gives an empty clip.
ClipPtr Convert(const QByteArray& wave, const SDL_AudioSpec& device) {
    auto clip = std::make_shared<Clip>();
    if (wave.isEmpty() || wave.size() > INT_MAX)
        return clip;

    const SdlApi& sdl = *Sdl();
    SDL_RWops* rw = sdl.RWFromConstMem(wave.constData(), static_cast<int>(wave.size()));
    if (!rw)
        return clip;
    SDL_AudioSpec spec{};
    Uint8* samples = nullptr;
    Uint32 length = 0;
    if (!sdl.LoadWAV_RW(rw, 1, &spec, &samples, &length))
        return clip;

    // SDL_AudioCVT converts in one pass; SDL 2.26's SDL_AudioStream drops the
    // last 1024 frames of a resampled sound on flush.
    const int inFrame = FrameBytes(spec);
    const Uint32 whole = inFrame > 0 ? length - length % static_cast<Uint32>(inFrame) : 0;
    const double seconds =
        inFrame > 0 && spec.freq > 0 ? static_cast<double>(whole / inFrame) / spec.freq : 0.0;
    SDL_AudioCVT cvt{};
    if (whole > 0 && seconds <= kLongestSound &&
        sdl.BuildAudioCVT(&cvt, spec.format, spec.channels, spec.freq, device.format,
                          device.channels, device.freq) >= 0 &&
        cvt.len_mult > 0 && whole <= static_cast<Uint32>(INT_MAX / cvt.len_mult)) {
        std::vector<Uint8> buffer(static_cast<size_t>(whole) * static_cast<size_t>(cvt.len_mult));
        std::memcpy(buffer.data(), samples, whole);
        cvt.buf = buffer.data();
        cvt.len = static_cast<int>(whole);
        if (sdl.ConvertAudio(&cvt) == 0 && cvt.len_cvt > 0) {
            const int outFrame = FrameBytes(device);
            buffer.resize(static_cast<size_t>(cvt.len_cvt / outFrame * outFrame));
            clip->bytes = std::move(buffer);
        }
    }
    sdl.FreeWAV(samples);

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
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(s.spec.samples) / s.spec.freq));
    // Silence begins once the sound and the buffers behind it have played.
    s.closeAt = std::max(s.closeAt, start + clip->length + 2 * period + kIdleClose);
    {
        std::lock_guard lock(s.mutex);
        s.clip = clip;
        s.position = 0;
        s.drainedAt = 0;
    }
    if (!synchronous || clip->bytes.empty())
        return;

    const auto deadline = start + clip->length + 2 * period + kLostDeviceMargin;
    bool deviceLost = false;
    {
        std::unique_lock lock(s.mutex);
        const auto heard = [&s] { return Heard(s); };
        while (!heard() && Clock::now() < deadline) {
            if (s.played.wait_until(lock, std::min(deadline, Clock::now() + kStatusPoll), heard))
                break;
            lock.unlock();
            deviceLost = Sdl()->GetAudioDeviceStatus(s.device) != SDL_AUDIO_PLAYING;
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
    std::thread closer;
    {
        std::lock_guard api(s.api);
        s.closeNow = true;
        closer = std::move(s.closer);
    }
    s.idle.notify_all();
    // The closer needs api to close the device.
    if (closer.joinable())
        closer.join();
    std::lock_guard api(s.api);
    CloseDevice(s);
    s.closeNow = false;
    s.openFailed = false;
    s.cache.clear();
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
