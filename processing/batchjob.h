// What a batch run is asked to do and what it tells of each photo: the types the front ends,
// the engine and the road of one photo share.
#pragma once

#include "coordinatefile.h"
#include "corner.h"
#include "logline.h"
#include "photoannotation.h"
#include "photometadata.h"
#include "stamptext.h"

#include <QColor>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

enum class PositionSource {
    Fixed, // nothing found: the fixed position
    Exif,  // the photo's own GPS tags
    Track, // the job's track lookup, asked when the EXIF has no position
    Table  // the coordinate text file
};

// The source as the journal and the layer name it.
inline QString positionSourceName(PositionSource source)
{
    switch (source) {
    case PositionSource::Exif:
        return QStringLiteral("exif");
    case PositionSource::Track:
        return QStringLiteral("track");
    case PositionSource::Table:
        return QStringLiteral("txt");
    case PositionSource::Fixed:
        break;
    }
    return QStringLiteral("fija");
}

// What the track lookup is told of a photo without a GPS position in its EXIF.
struct TrackQuery
{
    QString path;
    QDateTime captureDate; // the current time when dateFound is false
    bool dateFound = false;
    QString dateTag;       // the metadata key the date came from
    QString captureOffset; // the photo's OffsetTimeOriginal, empty when none
    bool imageDirectionFound = false;
    double imageDirection = 0.0; // GPSImgDirection, read even without a position
    // The moment a track is matched by: only tags a camera writes, never the stamped date's
    // Exif.Image.DateTime (see PhotoMetadata::captureTime). May carry a stated UTC offset.
    bool captureTimeFound = false;
    QDateTime captureTime;
    QString captureTimeTag;
};

// What the track lookup found.
struct TrackPosition
{
    bool found = false;
    double latitude = 0.0;
    double longitude = 0.0;
    double direction = 0.0;
    bool directionKnown = false;
    std::optional<double> altitude;    // metres above sea level, from the track's heights
    std::optional<double> errorMetres; // the accuracy the track states for its fixes
    QDateTime utc;                     // the moment of capture matched, in UTC
    QString reason;                    // when not found, why, briefly (e.g. "fuera del track")
    QString logLine;   // logged before the position when found, after the no-GPS line otherwise
    QString trackFile; // when found: the track file of the fixes used
    QList<QDateTime> trackFixes; // and their times (UTC), one or the two interpolated between
};

// Asked in listing order on the calling thread, in EXIF mode only.
using TrackLookup = std::function<TrackPosition(const TrackQuery &query)>;

// Which front end's rules a run follows. The window keeps its behaviour exactly as crews know it:
// each step as it comes, every photo written. cartaluz-lote must not lose a photo, a name or its
// metadata over a whole archive: it checks everything it can before the first change (backup,
// decodable image, readable metadata, a real position), never walks into Backup folders or
// follows links, lists photos sorted, lets a photo keep its own UTM name, takes coordinate rows by
// relative path, and makes each photo's changes last and together, journalled, so that a photo
// whose new bytes cannot be made keeps its name and a failed write is taken back.
enum class RunPolicy { Window, Script };

class RunJournal;
struct EarlierWrites;

// Photos whose log has been handed out so far, of all listed; on the calling thread.
using ProgressCallback = std::function<void(int done, int total)>;
// A photo stamped in its JPEG coefficients, as a reduced picture (RGB32, still in its stored
// orientation) with the EXIF orientation that turns it upright, and the path it is to end at.
// Called on the workers, before the photo is written.
using StampedPictureSink =
    std::function<void(const QString &finalPath, const QImage &picture, int exifOrientation)>;

inline AnnotationStyle formStyle()
{
    AnnotationStyle style;
    style.logoRatio = 0.2;
    return style;
}

// Every option of the batch, with the window's form defaults.
struct BatchJob
{
    QString directory;
    QString logoPath; // empty: no logo
    // How the stamps look and where they go: the form's defaults, a logo a fifth of the width.
    AnnotationStyle style = formStyle();
    // What the stamped lines say (a script's); null: the window's date and coordinate lines.
    std::shared_ptr<const StampTemplates> templates;
    bool useExif = true;
    QString txtPath;
    // The coordinate file already read by a front end that reported its rows in its own words;
    // without it the run reads txtPath itself.
    std::optional<CoordinateTable> table;
    bool renameToUtm = true;
    bool addPrefix = false;
    QString prefix;
    bool includeSubdirectories = false;
    bool embedTxtInExif = false;
    bool makeBackup = true;
    LogSink log; // called on the calling thread only, each photo's lines together, in order

    int workers = 1;            // 1: everything on the calling thread, line by line as it happens
    bool dryRun = false;        // the same road with every file operation only recorded
    bool orientUpright = false; // apply the EXIF orientation before painting; write Orientation 1
    TrackLookup trackLookup;
    bool writeTrackToExif = false; // put a track position into the photo's EXIF GPS tags
    // A photo on which nothing is painted is neither decoded nor encoded: its own bytes get the
    // run's metadata changes, so its image data stays byte for byte.
    bool metadataOnlyWrites = false;
    // A JPEG keeps the blocks no stamp touches, quantized as they were; only those under the
    // stamps are quantized again, with its own tables. Under orientUpright its pixels stay as
    // stored, the stamps are turned to match and the Orientation tag is kept. Photos this cannot
    // keep are encoded as usual, with a line saying why.
    bool lossless = false;
    // The JPEG quality of every re-encoded photo; 0 gives the window's 90, and 92 to a HEIF photo
    // converted to JPEG (a script's only).
    int quality = 0;
    // A renamed PNG or TIFF stays itself, under its own suffix in lower case (a script's only;
    // the window makes every renamed photo a JPEG).
    bool keepFormat = false;
    ProgressCallback progress;
    // For documents made of a real run: spares them decoding each photo again. Null: none made.
    // The pictures' long side is at least stampedPictureSide; a photo that cannot give that much
    // at a reduced scale gives none.
    StampedPictureSink stampedPictures;
    int stampedPictureSide = 0;
    RunPolicy policy = RunPolicy::Window;
    // Under the script's rules a photo without a position is left as it is unless this is set;
    // the window always gives it the fixed position.
    bool fixedPositionWhenMissing = false;
    // cartaluz-lote's record of its work. Each photo it writes gets this entry in its XMP
    // history (none while softwareAgent is empty); a photo whose history already holds one by
    // this program is skipped under skipProcessed. The journal, when set, outlives the run and
    // learns each photo's names and digests before its file changes (script runs only).
    HistoryEntry history;
    bool skipProcessed = false;
    RunJournal *journal = nullptr;
    // Whether the run keeps a journal (or, in a dry run, would keep one).
    bool journalled = false;
    // The bytes earlier runs wrote into photos of this folder, from their journals: a photo that
    // still holds them is skipped under skipProcessed like one with a history entry, even where
    // that entry could not be written.
    std::shared_ptr<const EarlierWrites> earlierWrites;
};

// The most workers a run takes; more would only wait for the disk.
constexpr int maxWorkers = 256;

// One listed photo after the run (or what the run would do, after a dry run).
struct PhotoOutcome
{
    QString listedPath;
    QString finalPath;
    bool processed = false; // false: skipped (no table row, or an image that cannot be loaded)
    QDateTime captureDate;
    bool dateFound = false;
    int zoneNumber = 19;
    char zoneLetter = 'J';
    double easting = 500000.0;
    double northing = 6000000.0;
    bool latLonKnown = false;
    double latitude = 0.0;
    double longitude = 0.0;
    double orientation = 0.0;
    bool orientationKnown = false;
    PositionSource source = PositionSource::Fixed;
    std::optional<double> altitude; // metres above sea level, when the position came with one
    QString headingReference;       // "T" (true north) or "M" (magnetic), when the photo says
    bool loggedError = false;       // one of its log lines has the error severity
    QString captureOffset;          // the photo's OffsetTimeOriginal ("±HH:MM"), empty when none
    // Set, with processed false, when the photo was left as it was because nothing gave it a
    // position; reason then says why (e.g. "fuera del track"). The layer shows such photos
    // without a geometry.
    bool positionMissing = false;
    QString reason;
    QStringList problems; // its warning and error lines
    // For the journal: the backup made, and the SHA-256 digests (hexadecimal) of the photo as it
    // was, of its backup and of what was written; empty where there is none.
    QString backupPath;
    QByteArray sha256Original;
    QByteArray sha256Backup;
    QByteArray sha256Written;
    qint64 writtenSize = -1;                      // of what was written, with sha256Written
    std::optional<double> positioningErrorMetres; // the camera's GPSHPositioningError, if stated
    QString trackFile;                            // a position from a track: its file
    QList<QDateTime> trackFixes;                  // and the fixes used (UTC)
    // Its --atributos columns with their values, in the file's order (empty values without a row).
    QList<QPair<QString, QString>> attributes;
};
