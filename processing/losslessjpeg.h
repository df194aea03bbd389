// Stamping a JPEG without re-encoding it: the 8 × 8 blocks that no stamp touches keep their
// quantized coefficients; only the blocks under the stamps are decoded, painted and quantized
// again with the photo's own tables.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <QtGlobal>

namespace losslessjpeg {

enum class Outcome {
    Done,
    NotSuitable, // the photo is fine but this path cannot keep it lossless; take the normal path
    Failed,      // the photo is damaged or cannot be read; message says why
};

struct Probe
{
    Outcome outcome = Outcome::Failed; // Done when the photo can be stamped losslessly
    QString message;
    QSize storedSize; // pixel size as stored, before any EXIF orientation
};

struct Result
{
    Outcome outcome = Outcome::Failed;
    QString message;
    QByteArray jpeg; // the complete new file when done
    qint64 blocksTotal = 0;
    qint64 blocksReencoded = 0;
    QImage picture; // asked for with a pictureSide; null when not asked or not possible
};

// Reads only the headers: whether stamp() would take this photo, and the size its layer must
// have.
Probe probe(const QByteArray &jpeg);

// A transparent ARGB32_Premultiplied layer for stamp(). Its memory comes zeroed from the system,
// so a photo-sized layer costs nothing to clear where no stamp lands. Null if it cannot be had.
QImage transparentLayer(const QSize &size);

// Composites layer (source-over, any format; ARGB32_Premultiplied avoids a copy) onto the photo.
// The layer must have the stored pixel size and be transparent wherever nothing is painted.
// Quantization tables, sampling, restart interval, progressive or baseline and every APPn and
// COM marker are kept; the Huffman tables are fitted to the photo where the source's were (and
// always when progressive), the standard ones otherwise. With a pictureSide, the result also holds
// the stamped photo reduced to no less than that long side where it can (see
// coefficientpicture::reduced), for documents of the run.
Result stamp(const QByteArray &jpeg, const QImage &layer, int pictureSide = 0);

// A layer painted upright, as viewers show a photo with this EXIF orientation (1–8), turned
// into the photo's stored orientation, as a transparentLayer() with the painted parts copied in.
// Orientation 1 and unknown values give the layer back as it is.
QImage toStoredOrientation(const QImage &uprightLayer, int exifOrientation);

} // namespace losslessjpeg
