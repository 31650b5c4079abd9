// The UI font: the proportional Gothic family the layouts were drawn for, with fallbacks.
#pragma once

#include <QFont>

namespace platform {

// Font of the given pixel height (the layouts' font heights, sign dropped).
QFont UiFont(int pixelHeight, bool bold = false, bool italic = false);

} // namespace platform
