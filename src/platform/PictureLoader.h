// The picture loader: reads a picture file of any format the pieces accept.
#pragma once

#include <QImage>
#include <QString>

namespace platform {

// Loads path as a picture: JPEG through libjpeg, enhanced metafiles and metafiles
// (see Metafile.h), bitmaps and icons through Qt.
// Returns a null image when the file cannot be read or decoded. Decoded files
// are cached by path, size and modification time, so re-layouts cost nothing.
QImage LoadPicture(const QString& path);

// Reads one of the program's own pictures (a resource) of a known format, such
// as "bmp" or "png", with Qt's reader for that format alone: guessing the
// format would load every image format plugin, and the SVG module with one.
QImage ReadOwnPicture(const QString& path, const char* format);

} // namespace platform
