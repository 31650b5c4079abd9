// Sound over SDL2 audio: the program's WAVE resources and the message beeps.
#pragma once

#include <QByteArray>
#include <QString>

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
void ShutdownSound();

} // namespace platform
