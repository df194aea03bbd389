// The middle room of a photo's road: from its plan and its bytes to its new bytes. A photo on
// which nothing is painted keeps its image data, a JPEG is stamped in its coefficients where it
// can be, any other is decoded, painted and encoded; then its metadata goes in. Touches no file.
#pragma once

#include "photocommit.h"
#include "photoplan.h"

#include <QByteArray>
#include <QImage>

namespace photoroad {

enum class RenderResult {
    Ready,       // rendered holds the new bytes
    Undecodable, // the image does not decode; its line is logged
    Unencodable  // the encoder refused the painted image; its line is logged
};

// The new bytes of a planned photo (its treatment is not Skip). image is a picture buffer the
// caller keeps from one photo to the next on the same thread (null at first): the decoder writes
// into it instead of faulting in a fresh one for each photo.
RenderResult renderPhoto(Photo &photo, const Run &run, QImage &image, Rendered &rendered);

// The photo's picture decoded and painted as the run paints it; false, with its line logged, when
// it does not decode.
bool paintedPicture(const Photo &photo, const Run &run, QImage &image);

// The position edits on a photo's bytes, also used on the file as it lies after a failed write.
bool embedsUtm(const Run &run);
bool embedsTrack(const Photo &photo, const Run &run);
bool writeUtmPosition(const Photo &photo, const Run &run, QByteArray &bytes, const LogSink &log);
void logUtmWritten(const Photo &photo, const LogSink &log);
bool writeTrackPosition(const Photo &photo, const Run &run, QByteArray &bytes, QString &errorText);
void logTrackWritten(const Photo &photo, bool written, const QString &errorText,
                     const LogSink &log);

} // namespace photoroad
