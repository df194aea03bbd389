// Reading and writing photo metadata. This module is the only place that talks to Exiv2; its
// types stay out of this header.
#pragma once

#include "logcallback.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <string>

// The path handed to the metadata library: absolute, native separators, UTF-8 (and the
// long-path form on Windows). Empty, with a warning line, when no absolute path can be formed.
std::string qPathToNativeStdString(const QString &path);

// Capture date from Exif.Photo.DateTimeOriginal, Exif.Image.DateTime, then Xmp.xmp.CreateDate.
// On false the output is left as it was.
bool readCaptureDate(const QString &path, QDateTime &captureDate);

// True when latitude and longitude were read; direction is 0.0 when the photo has none.
bool readGpsData(const QString &path, double &latitude, double &longitude, double &direction);

// Writes the UTM position as latitude/longitude (and the direction when writeDirection is set)
// into the EXIF GPS tags. Reports failures only through log. The file is replaced as a whole,
// never rewritten in place.
void writeUtmToExif(const QString &path, int zoneNumber, char zoneLetter, double easting,
                    double northing, double direction, bool writeDirection, LogCallback log);

// The same write on a photo's encoded bytes held in memory; path only names the photo in the
// log lines. On failure the bytes are left as they were.
void writeUtmToExif(QByteArray &encoded, const QString &path, int zoneNumber, char zoneLetter,
                    double easting, double northing, double direction, bool writeDirection,
                    LogCallback log);

// A photo's EXIF, IPTC and XMP as found before the batch changes it, so they can be put back
// into the re-encoded file.
class MetadataSnapshot
{
public:
    enum class Outcome {
        Done,    // the file opened as an image and the step ran
        NoImage, // not a JPEG, TIFF or PNG the library knows; nothing was done
        Failed   // the metadata library raised an error (or the file could not be replaced);
                 // errorText holds its message
    };

    MetadataSnapshot();
    ~MetadataSnapshot();
    MetadataSnapshot(const MetadataSnapshot &) = delete;
    MetadataSnapshot &operator=(const MetadataSnapshot &) = delete;

    // Copies the three containers out of the file, then asks readCaptureDate for the date.
    // What was copied before an error stays; dateFound is false unless a date was read.
    Outcome takeFrom(const QString &path, QDateTime &captureDate, bool &dateFound,
                     QString &errorText);

    // Replaces the file's three containers by the snapshot's and writes them. The file is
    // replaced as a whole, never rewritten in place.
    Outcome restoreInto(const QString &path, QString &errorText) const;

    // The same on a photo's encoded bytes held in memory. On failure the bytes are left as
    // they were.
    Outcome restoreInto(QByteArray &encoded, QString &errorText) const;

    bool isEmpty() const;

private:
    struct Containers;
    std::unique_ptr<Containers> m_containers;
};
