// The EXIF and XMP segments of a JPEG held in memory, rewritten one at a time through the metadata
// library while every other segment stays byte for byte. Internal to the metadata module, below
// photometadata: its callers already hold the library's containers, so the library is readied.
#pragma once

#include "jpegsegments.h"

#include <QByteArray>

namespace Exiv2 {
class ExifData;
class XmpData;
} // namespace Exiv2

// The EXIF of jpeg's EXIF segment, empty when it has none or the library cannot decode it. False
// when jpeg is no JPEG whose segments can be listed; then exif is left empty.
bool readJpegExif(const QByteArray &jpeg, Exiv2::ExifData &exif);

// Replaces jpeg's EXIF segment by one holding exif (removes it when exif is empty). The old
// segment is the base of the new one, so that values that keep their size are changed in place
// and the rest of its bytes, maker notes among them, stay. False when jpeg is no JPEG whose
// segments can be listed; the library's errors are thrown. jpeg changes only on success.
bool putJpegExif(QByteArray &jpeg, const Exiv2::ExifData &exif);

// The same for the XMP packet.
bool putJpegXmp(QByteArray &jpeg, const Exiv2::XmpData &xmp);

// encoded, fresh from the encoder, with the source's segments spliced in; the EXIF and the XMP
// segments are written anew from the given containers only where these are not null. False when
// there is nothing to splice (the source or encoded is no JPEG whose segments can be listed):
// the caller then goes the whole-file way. Throws the library's errors, leaving encoded alone.
bool restoreJpegSegments(QByteArray &encoded, const JpegMetadata &source,
                         const Exiv2::ExifData *changedExif, const Exiv2::XmpData *changedXmp);
