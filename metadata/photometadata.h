// Reading and writing photo metadata. This module is the only place that talks to Exiv2; its
// types stay out of this header.
#pragma once

#include "logline.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <memory>
#include <optional>
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
// log lines, which carry their severity. False, with its line logged, when the bytes were left
// as they were. In a JPEG only the EXIF segment changes.
bool writeUtmToExif(QByteArray &encoded, const QString &path, int zoneNumber, char zoneLetter,
                    double easting, double northing, double direction, bool writeDirection,
                    const LogSink &log);

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
    MetadataSnapshot(MetadataSnapshot &&) noexcept;
    MetadataSnapshot &operator=(MetadataSnapshot &&) noexcept;

    // Copies the three containers out of the file, then asks readCaptureDate for the date.
    // What was copied before an error stays; dateFound is false unless a date was read.
    Outcome takeFrom(const QString &path, QDateTime &captureDate, bool &dateFound,
                     QString &errorText);

    // Replaces the file's three containers by the snapshot's and writes them. A JPEG taken from
    // a JPEG gets the source's metadata segments instead, byte for byte, with only the EXIF or
    // XMP segment the run changed written anew. The file is replaced as a whole, never rewritten
    // in place.
    Outcome restoreInto(const QString &path, QString &errorText) const;

    // The same on a photo's encoded bytes held in memory. On failure the bytes are left as
    // they were.
    Outcome restoreInto(QByteArray &encoded, QString &errorText) const;

    bool isEmpty() const;

    // True when the source JPEG held MPF segments (previews, depth maps), which no restore
    // carries: those images would still show the photo as it was.
    bool leavesOutMpf() const;

    // Sets the orientation tags the snapshot holds (EXIF and XMP) to 1, for a photo whose
    // pixels are written upright.
    void markUpright();

private:
    friend struct PhotoMetadata readPhotoMetadata(const QString &path);
    struct Containers;
    std::unique_ptr<Containers> m_containers;
};

// Everything a batch run takes from a photo's metadata, from one parse of the file. Each field
// has the value its own reader below would give.
struct PhotoMetadata
{
    MetadataSnapshot::Outcome outcome = MetadataSnapshot::Outcome::NoImage;
    QString errorText; // the library's message when outcome is Failed
    MetadataSnapshot snapshot;

    bool dateFound = false; // readCaptureDate
    QDateTime captureDate;
    QString dateTag; // the key the date came from, e.g. "Exif.Photo.DateTimeOriginal"

    bool gpsFound = false; // readGpsData
    double latitude = 0.0;
    double longitude = 0.0;
    double direction = 0.0;

    QString captureOffset; // readCaptureOffset; empty when there is none

    // The moment of capture a GPS track is matched by, from the tags that only a camera writes:
    // Exif.Photo.DateTimeOriginal (with SubSecTimeOriginal), else Xmp.exif.DateTimeOriginal or
    // Xmp.photoshop.DateCreated, else Iptc.Application2.DateCreated with TimeCreated. Never
    // Exif.Image.DateTime, which editors rewrite. Local time, or carrying the UTC offset an XMP
    // or IPTC value states (Qt::OffsetFromUTC or Qt::UTC).
    bool captureTimeFound = false;
    QDateTime captureTime;
    QString captureTimeTag; // the key it came from, e.g. "Xmp.photoshop.DateCreated"

    bool imageDirectionFound = false; // readImageDirection
    double imageDirection = 0.0;
    QString directionReference;     // GPSImgDirectionRef: "T" or "M"; empty when none or other
    std::optional<double> altitude; // GPSAltitude in metres, negative below sea level

    // The last entry of the photo's XMP history (Xmp.xmpMM.History) whose software agent starts
    // with "Cartaluz": a photo this program already wrote. processedWhen is that entry's moment,
    // with the UTC offset it states; invalid when the entry has none that can be read.
    bool processedByCartaluz = false;
    QDateTime processedWhen;
};

PhotoMetadata readPhotoMetadata(const QString &path);

// The photo's Exif.Photo.OffsetTimeOriginal as written (e.g. "+02:00"), trimmed. False when the
// tag is absent, empty or the file cannot be read; then offset is left as it was.
bool readCaptureOffset(const QString &path, QString &offset);

// What goes into the EXIF GPS tags; both writers put their position through the same code. The
// UTM writer gives the position and, when asked, the direction; a track position also its
// height, its time and the datum.
struct GpsTags
{
    double latitude = 0.0;           // decimal degrees, south negative, with the reference N or S
    double longitude = 0.0;          // west negative, with the reference E or W
    std::optional<double> direction; // GPSImgDirection (0 to 360), reference "T"
    std::optional<double> altitude;  // metres above sea level, negative below: GPSAltitude/Ref
    QDateTime time;                  // GPSDateStamp and GPSTimeStamp (in UTC), when valid
    bool versionAndDatum = false;    // GPSVersionID 2.2.0.0 when missing, GPSMapDatum "WGS-84"
};

// Writes the tags into the photo's EXIF, keeping every other tag, on a photo held in memory (as
// encoded by the batch), changed in place. False with the reason in errorText, the bytes as they
// were.
bool writeGpsToExif(QByteArray &encoded, const GpsTags &tags, QString &errorText);

// writeGpsToExif with the position alone, plus the version and datum. The file is rewritten in
// memory and replaced in one step, so a failure leaves it as it was.
bool writeLatLonToExif(const QString &path, double latitude, double longitude, QString &errorText);
// The same on a photo held in memory (as encoded by the batch), changed in place; in a JPEG only
// the EXIF segment changes.
bool writeLatLonToExif(QByteArray &encoded, double latitude, double longitude, QString &errorText);

// The photo's Exif.GPSInfo.GPSImgDirection in degrees, read whether or not the EXIF holds a
// position (readGpsData needs one). False when the tag is absent or unreadable.
bool readImageDirection(const QString &path, double &direction);

// One event of a photo's XMP history: what was done to it, by which program, when, and with which
// settings. Empty texts are left out of the entry.
struct HistoryEntry
{
    QString action;        // stEvt:action, e.g. "edited"
    QString softwareAgent; // stEvt:softwareAgent, e.g. "Cartaluz 2.1.0"
    QDateTime when;        // stEvt:when, written as ISO 8601 with its UTC offset; must be valid
    QString parameters;    // stEvt:parameters
};

// Adds entry at the end of the photo's Xmp.xmpMM.History, creating the list when missing and
// keeping its earlier entries and every other XMP property. In a JPEG only the XMP segment
// changes; PNG and TIFF are rewritten through the metadata library. Safe to call from several
// threads at once. False with the reason in errorText, photo as it was, when the bytes are no
// photo, the XMP packet is damaged or its History is something other than an ordered list.
bool appendHistoryEntry(QByteArray &photo, const HistoryEntry &entry, QString &errorText);

// Readies the metadata library for use from several threads; call before the first worker
// starts. Safe to call any number of times.
void initializeMetadataLibrary();
