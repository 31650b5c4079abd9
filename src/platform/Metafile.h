// Metafile pictures: enhanced metafiles and metafiles, recognised by content and drawn on white.
#pragma once

#include <QByteArray>
#include <QImage>

namespace platform {

enum class MetafileKind { None, Enhanced, Windows };

// The kind of metafile data holds, from its header alone.
MetafileKind DetectMetafile(const QByteArray& data);

// Draws an enhanced metafile (through libemf2svg) or a metafile, placeable or
// not (through libwmf), on white. The picture has the metafile's own frame at
// 96 pixels per inch, scaled so its longer side lies between 128 and 1024
// pixels, and smaller still for metafiles with very many records. Returns a
// null image for anything that is not a well-formed metafile within the
// limits, or whose frame is empty or absurd.
QImage DecodeMetafile(const QByteArray& data);

} // namespace platform
