// Metafile checks shared by the picture loader and the metafile helper: headers, records, frame.
#pragma once

#include "platform/Metafile.h"

#include <QByteArray>
#include <QRectF>
#include <QSize>

#include <optional>
#include <type_traits>

namespace platform::metafile {

// Limits that keep a hostile file from costing much time or memory.
constexpr qsizetype kMaxMetafileBytes = 16 * 1024 * 1024;
constexpr int kMaxRenderSide = 1024;

// A little-endian integer at offset, which the caller has checked lies inside.
template <typename T> T Read(const QByteArray& data, qsizetype offset) {
    using Unsigned = std::make_unsigned_t<T>;
    Unsigned value = 0;
    for (qsizetype i = 0; i < qsizetype(sizeof(T)); ++i)
        value = Unsigned(value | Unsigned(uchar(data.at(offset + i))) << (8 * i));
    return T(value);
}

// What the header and the walk over the records found.
struct MetafileFacts {
    double Width = 0; // natural size in pixels; 0 when the file states none
    double Height = 0;
    qint64 Records = 0;
    qsizetype Length = 0;        // bytes up to and including the end-of-file record
    std::optional<QRectF> Frame; // of a metafile, in libwmf's device units
};

// The facts of an enhanced metafile or a metafile, from its header and a walk
// over every record; nothing for anything that is not one within the limits.
std::optional<MetafileFacts> ExamineMetafile(const QByteArray& data);

// The natural size fitted to the drawing limits; nothing for an empty or
// absurd frame (one so long and thin that a side would vanish).
std::optional<QSize> FitFrame(double width, double height, qint64 records);

// Writes all of bytes to fd, through interruptions; false on any failure.
bool WriteAll(int fd, const char* bytes, qsizetype length);

} // namespace platform::metafile
