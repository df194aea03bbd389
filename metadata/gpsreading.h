// A photo's position however the camera or an editor stored it, for the script: GPS rationals
// with a 0/0 seconds part next to decimal minutes, coordinates written as text, GPS only in the
// XMP, a magnetic heading, a stated positioning error. The window keeps its own stricter reader.
#pragma once

#include <QString>

#include <optional>

namespace Exiv2 {
class ExifData;
class XmpData;
} // namespace Exiv2

struct GpsReading
{
    bool found = false;
    double latitude = 0.0;
    double longitude = 0.0;
    bool fromXmp = false; // the EXIF GPS block had no usable position; the XMP's was taken
    QString reason;       // with found false and some GPS tag present: why it was not used
    bool directionFound = false;
    double direction = 0.0;
    bool directionMagnetic = false;               // GPSImgDirectionRef "M"
    std::optional<double> positioningErrorMetres; // GPSHPositioningError
};

// May throw the metadata library's errors.
GpsReading readGpsTolerantly(const Exiv2::ExifData &exif, const Exiv2::XmpData &xmp);

// A coordinate written as text: "52,00000,50,00000,34,01180" (degrees, minutes and seconds with
// decimal commas), "52 50 34.08", "52.8428", "52° 50' 34.08\"". False unless it reads as one.
bool coordinateFromText(const QString &text, double &degrees);
