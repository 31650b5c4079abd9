// TEMPORARY placeholder until the SDL2 sound layer lands.
#include "platform/Sound.h"
namespace platform {
void PlaySound(const QString&, bool) {}
void PlayWave(const QByteArray&, bool) {}
void MessageBeep(unsigned) {}
void ShutdownSound() {}
} // namespace platform
