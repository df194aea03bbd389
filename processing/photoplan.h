// The first room of a photo's road: what the run will do with it, decided from its bytes, read
// once, and its metadata, without changing any file. The changes themselves are the commit's
// (photocommit.h): the plan hands them its steps, and the window's commit makes each at once.
#pragma once

#include "batchjob.h"
#include "coordinatefile.h"
#include "fileoperations.h"
#include "photoannotation.h"
#include "photometadata.h"
#include "stamptext.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>

class RunJournal;

namespace photoroad {

class CommitPolicy;

// What every photo of one run needs. Cheap to copy (its members are implicitly shared), so each
// photo can get a copy whose log is its own.
struct Run
{
    bool script = false; // the script's rules (see RunPolicy)
    bool useExif = true;
    bool renameToUtm = false;
    bool addPrefix = false;
    QString prefix;
    bool embedTxtInExif = false;
    bool makeBackup = false;
    bool orientUpright = false;
    bool fixedPositionWhenMissing = true;
    AnnotationStyle style;
    // A script's templates of the stamped lines; null: the window's date and "UTM" lines.
    std::shared_ptr<const StampTemplates> templates;
    QImage logo;
    CoordinateTable table; // empty in EXIF mode or without a coordinate file
    TrackLookup trackLookup;
    bool writeTrackToExif = false;
    bool metadataOnlyWrites = false;
    bool lossless = false;
    StampedPictureSink stampedPictures; // null in a dry run
    int stampedPictureSide = 0;
    int quality = 0;                 // as BatchJob::quality
    bool keepFormat = false;         // as BatchJob::keepFormat, a script's
    FileOperations *files = nullptr; // outlives the run
    CommitPolicy *commit = nullptr;  // outlives the run
    LogSink log;
    QString directory;           // the folder the job named
    QSet<QString> repeatedNames; // file names more than one listed photo has
    HistoryEntry history;
    bool skipProcessed = false;
    RunJournal *journal = nullptr; // a real script run's
    bool journalled = false;       // a journal is kept (or, in a dry run, would be)
    std::shared_ptr<const EarlierWrites> earlierWrites;
};

// What becomes of the photo's image data.
enum class Treatment {
    Skip,     // left as it is: the plan said why
    KeepData, // nothing painted: its own bytes, with the run's metadata changes
    Lossless, // stamped in its JPEG coefficients
    Decode    // decoded, painted and encoded again
};

// One photo's turn: the plan's value, then what the render and the commit add. The position
// starts at the fixed position and stays there wherever the position step finds nothing.
struct Photo
{
    QString sourcePath;
    QString fileName;
    QString folder;
    QString baseName;
    QString suffix;
    QByteArray bytes;          // the photo as read, once; empty when it could not be read
    QByteArray format;         // by content: "jpeg", "tiff", "png", or anything else
    int storedOrientation = 1; // the EXIF orientation a decoder would apply
    bool heif = false;         // a script's HEIF photo, to be written as a JPEG
    int heifLeftOut = 0;       // its depth maps, auxiliary images and thumbnails

    MetadataSnapshot snapshot;
    QDateTime captureDate;
    bool dateFound = false;
    QString captureOffset; // OffsetTimeOriginal, for the outcome

    int zoneNumber = 19;
    char zoneLetter = 'J';
    double easting = 500000.0;
    double northing = 6000000.0;
    double orientation = 0.0;
    bool orientationKnown = false;
    PositionSource source = PositionSource::Fixed;
    bool latLonKnown = false;
    double latitude = 0.0;
    double longitude = 0.0;
    TrackPosition track;            // the track's answer, when the position came from it
    std::optional<double> altitude; // of the position: the EXIF's own, or the track's
    QString headingReference;       // the EXIF's GPSImgDirectionRef, for the heading it gives
    std::optional<double> positioningErrorMetres; // the camera's GPSHPositioningError

    QString prefixedName;
    QString coordinateText;
    QString description;                       // its own caption, for a template's {descripcion}
    StampText stampText;                       // the lines painted on it
    QList<QPair<QString, QString>> attributes; // its --atributos columns with their values
    QString currentPath;                       // where the photo is to end up
    QString lyingAt;              // where it lies now: the window renames at once, a script last
    QString backupPath;           // claimed or made; empty without a backup
    bool positionMissing = false; // left untouched for want of a position; reason says why
    QString reason;
    Treatment treatment = Treatment::Skip;

    // The commit's record: whether the backup exists, whether the photo's changes were taken
    // back or never made, and the journal's digests.
    bool backupMade = false;
    bool leftUntouched = false;
    QByteArray sha256Original;
    QByteArray sha256Backup;
    QByteArray sha256Written;
    qint64 writtenSize = -1;
};

// The run-wide preparations: the logo and, in text-file mode, the coordinate table. photos is
// the run's listing.
Run startRun(const BatchJob &job, const QStringList &photos, FileOperations &files);

// Reads the photo and decides its turn, in listing order: the position, the names (claimed, or
// with the window's commit made at once) and the treatment. False when its turn ends here;
// photo.treatment is then Skip.
bool planPhoto(Photo &photo, const QString &listedPath, const Run &run);

// The photo's stampText, once its position and names are known.
void stampLines(Photo &photo, const Run &run);

// Whether new bytes may not be put at path, as the run's commit sees the names.
bool isTaken(const QString &path, const Run &run);

} // namespace photoroad
