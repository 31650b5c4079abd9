// TEMPORARY placeholder until the picture loader lands.
#include "platform/PictureLoader.h"
namespace platform {
QImage LoadPicture(const QString&) {
    return {};
}
} // namespace platform
