// Sound over SDL2 audio: the program's WAVE resources and the message beeps.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace platform {

// Plays the embedded WAVE resource NAME (":/sounds/NAME.wav", e.g. "PIPOWAV").
// Synchronous: returns once the sound has been heard. Asynchronous: returns at
// once; a new sound replaces the one playing. Without a working audio device
// nothing is heard, nothing is reported, and a synchronous play returns at once.
void PlaySound(const QString& name, bool synchronous);

// The same for a complete WAVE file held in memory.
void PlayWave(const QByteArray& wave, bool synchronous);

// The system beep of a message box type: 0, MB_ICONHAND (16),
// MB_ICONEXCLAMATION (48) or MB_ICONASTERISK (64). Asynchronous.
void MessageBeep(unsigned type);

// Stops the sound playing and closes the audio device (program end, tests).
// The next play opens it again.
void ShutdownSound();

// The audio device as the sound layer sees it, for tests and diagnostics.
// Does not open the device.
struct SoundDeviceInfo {
    bool open = false; // a device is open and running
    int frequency = 0; // frames per second
    int channels = 0;
    int sampleBits = 0; // bits per sample
    bool signedSamples = false;
    bool floatSamples = false;
    int bufferFrames = 0;    // frames the device takes per buffer
    qint64 framesPlayed = 0; // frames of the current sound handed to the device
};
SoundDeviceInfo CurrentSoundDevice();

// Tests watch what is played: the observer gets every PlaySound request (a
// beep as "BEEP0", "BEEP16", ...) before it is played. Empty: none.
void SetSoundObserver(std::function<void(const QString& name, bool synchronous)> observer);

} // namespace platform
