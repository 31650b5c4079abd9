// The UI font: the proportional Gothic family the layouts were drawn for, with fallbacks.
#pragma once

#include <QFont>

namespace platform {

// Font of the given pixel height (the layouts' font heights, sign dropped).
QFont UiFont(int pixelHeight, bool bold = false, bool italic = false);

// Reads the system's font configuration on a thread of its own from
// construction, while the program connects to the display; the first UI font
// waits for it. Made once, before the application object, in main.
class FontConfigPreload {
public:
    FontConfigPreload();
    ~FontConfigPreload();
    FontConfigPreload(const FontConfigPreload&) = delete;
    FontConfigPreload& operator=(const FontConfigPreload&) = delete;
};

} // namespace platform
