// Reading and writing photo metadata. This module is the only place that talks to Exiv2; its
// types stay out of this header.
#pragma once

#include "gpsreading.h"
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

struct GpsTags;
struct HistoryEntry;
struct MetadataWrite;

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

    // Puts the snapshot into a photo's encoded bytes held in memory: the three containers, or, for
    // a JPEG taken from a JPEG, the source's metadata segments byte for byte, with only the EXIF
    // or XMP segment the run changed written anew. On failure the bytes are left as they were.
    Outcome restoreInto(QByteArray &encoded, QString &errorText) const;

    bool isEmpty() const;

    // True when the source JPEG held MPF segments (previews, depth maps), which no restore
    // carries: those images would still show the photo as it was.
    bool leavesOutMpf() const;

    // Sets the orientation tags the snapshot holds (EXIF and XMP) to 1, for a photo whose
    // pixels are written upright.
    void markUpright();

    // Gives the tags that a PNG's or TIFF's own format alone holds (a PNG's text and time
    // chunks, a TIFF's misplaced interoperability directory) their EXIF and XMP homes, for a
    // photo written in another format.
    void carryFormatTags();

    // Every change a run makes to a photo's metadata, in one step: the snapshot put back into a
    // new encoding (restore) or kept in the photo's own bytes, the GPS tags and the history
    // entry, each when given, from this one parse of the photo. Where any of them cannot be
    // made so, they are made one after the other, each on its own, and the result says which
    // failed; the bytes then hold what worked.
    MetadataWrite writeInto(QByteArray &bytes, bool restore, const GpsTags *gps,
                            const HistoryEntry *history) const;

    struct Containers; // the library's containers, known only inside the metadata module

private:
    friend struct PhotoMetadata readMetadataOf(const QByteArray *bytes, const QString &path);
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

    bool gpsFound = false;  // readGpsData
    GpsReading tolerantGps; // the script's reading of the same tags (and the XMP's)
    double latitude = 0.0;
    double longitude = 0.0;
    double direction = 0.0;

    QString captureOffset; // Exif.Photo.OffsetTimeOriginal, trimmed; empty when there is none

    // The moment of capture a GPS track is matched by, from the tags that only a camera writes:
    // Exif.Photo.DateTimeOriginal (with SubSecTimeOriginal), else Xmp.exif.DateTimeOriginal or
    // Xmp.photoshop.DateCreated, else Iptc.Application2.DateCreated with TimeCreated. Never
    // Exif.Image.DateTime, which editors rewrite. Local time, or carrying the UTC offset an XMP
    // or IPTC value states (Qt::OffsetFromUTC or Qt::UTC).
    bool captureTimeFound = false;
    QDateTime captureTime;
    QString captureTimeTag; // the key it came from, e.g. "Xmp.photoshop.DateCreated"

    bool imageDirectionFound = false; // GPSImgDirection, read even without a position
    double imageDirection = 0.0;
    QString directionReference;     // GPSImgDirectionRef: "T" or "M"; empty when none or other
    std::optional<double> altitude; // GPSAltitude in metres, negative below sea level
    QString
        description; // Xmp.dc.description, else Iptc.Application2.Caption, else ImageDescription

    // The last entry of the photo's XMP history (Xmp.xmpMM.History) whose software agent starts
    // with "Cartaluz": a photo this program already wrote. processedWhen is that entry's moment,
    // with the UTC offset it states; invalid when the entry has none that can be read.
    bool processedByCartaluz = false;
    QDateTime processedWhen;
};

PhotoMetadata readPhotoMetadata(const QString &path);
// The same from the photo's bytes, already read; path names it in the library's errors.
PhotoMetadata readPhotoMetadata(const QByteArray &bytes, const QString &path);

// What goes into the EXIF GPS tags; both writers put their position through the same code. The
// UTM writer gives the position and, when asked, the direction; a track position also its
// height, its time and the datum.
struct GpsTags
{
    double latitude = 0.0;           // decimal degrees, south negative, with the reference N or S
    double longitude = 0.0;          // west negative, with the reference E or W
    std::optional<double> direction; // GPSImgDirection, taken to 0–360; reference "T"
    std::optional<double> altitude;  // metres above sea level, negative below: GPSAltitude/Ref
    QDateTime time;                  // GPSDateStamp and GPSTimeStamp (in UTC), when valid
    bool versionAndDatum = false;    // GPSVersionID 2.2.0.0 when missing, GPSMapDatum "WGS-84"
};

// What a GPS write did to a photo's bytes: Done, NoImage (no photo the library may change, bytes
// as they were) or Failed (errorText holds the library's message, bytes as they were).
struct GpsWrite
{
    MetadataSnapshot::Outcome outcome = MetadataSnapshot::Outcome::Failed;
    bool exifWasEmpty = false; // the photo had no EXIF before: the GPS tags start it
    QString errorText;
};

// What MetadataSnapshot::writeInto did.
struct MetadataWrite
{
    MetadataSnapshot::Outcome restore = MetadataSnapshot::Outcome::NoImage;
    QString restoreError;
    GpsWrite gps; // outcome Done when the tags were written
    bool historyWritten = false;
    QString historyError;
};

// Writes the tags into the photo's EXIF, keeping every other tag, on a photo held in memory (as
// encoded by the batch), changed in place. False with the reason in errorText, the bytes as they
// were.
bool writeGpsToExif(QByteArray &encoded, const GpsTags &tags, QString &errorText);

// The tags written into the photo held in memory, every other tag kept; in a JPEG only its EXIF
// segment changes. No check of the position itself.
GpsWrite putGpsIntoPhoto(QByteArray &bytes, const GpsTags &tags);

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

// From then on HEIF photos' EXIF and XMP are read like any photo's (never written). Process-wide
// and lasting; the window never asks for it.
void readHeifMetadata();
