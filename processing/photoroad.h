// The road of one photo through a batch run, in two halves: preparePhoto reads the untouched
// photo and claims its names (in listing order, on the calling thread), finishPhoto decodes,
// paints, encodes and writes it (on any worker).
#pragma once

#include "batchjob.h"
#include "coordinatefile.h"
#include "fileoperations.h"
#include "photoannotation.h"
#include "photometadata.h"

#include <QDateTime>
#include <QImage>
#include <QSet>
#include <QString>

#include <memory>

class RunJournal;

namespace photoroad {

// Names claimed so far in a run whose changes come last (see DataSafety::changesLast): asked and
// filled in listing order on the calling thread, while workers rename and copy.
struct NameClaims
{
    QSet<QString> listed;  // every listed photo's path: taken for the whole run
    QSet<QString> claimed; // backup and new names given to photos so far
};

// What every photo of one run needs. Cheap to copy (its members are implicitly shared), so each
// photo can get a copy whose log is its own.
struct Run
{
    bool useExif = true;
    bool renameToUtm = false;
    bool addPrefix = false;
    QString prefix;
    bool embedTxtInExif = false;
    bool makeBackup = false;
    bool orientUpright = false;
    AnnotationStyle style;
    QImage logo;
    CoordinateTable table; // empty in EXIF mode or without a coordinate file
    TrackLookup trackLookup;
    bool writeTrackToExif = false;
    bool metadataOnlyWrites = false;
    bool lossless = false;
    FileOperations *files = nullptr; // outlives the run
    LogSink log;
    DataSafety safety;
    QString directory;           // the folder the job named
    QSet<QString> repeatedNames; // file names more than one listed photo has
    bool changesLast = false;
    std::shared_ptr<NameClaims> claims; // with changesLast
    HistoryEntry history;
    bool skipProcessed = false;
    RunJournal *journal = nullptr;
};

// One photo's turn. The position starts at the fixed position and stays there wherever the
// position step finds nothing.
struct Photo
{
    QString sourcePath;
    QString fileName;
    QString folder;
    QString baseName;
    QString suffix;

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

    QString prefixedName;
    QString coordinateText;
    QString currentPath;
    QString contentPath; // where the photo's bytes can be read now (the source, in a dry run)
    bool positionMissing = false; // left untouched for want of a position; reason says why
    QString reason;

    // With changesLast: the backup name claimed, and whether the changes were taken back or
    // never made because a step failed.
    QString backupPath;
    bool backupMade = false;
    bool leftUntouched = false;
    QByteArray sha256Original; // with a journal
    QByteArray sha256Backup;
    QByteArray sha256Written;
};

// The run-wide preparations: the logo and, in text-file mode, the coordinate table. photos is
// the run's listing.
Run startRun(const BatchJob &job, const QStringList &photos, FileOperations &files);

// Log line, backup, metadata, position, UTM name and rename: everything that reads the untouched
// photo or claims a name. False when the photo's turn ends here.
bool preparePhoto(Photo &photo, const QString &listedPath, const Run &run);

// Decoding, painting, encoding, writing and the metadata steps; touches only the photo's own
// file. False when the image cannot be loaded. image is a picture buffer the caller keeps from
// one photo to the next on the same thread (null at first). The snapshot is marked upright here,
// once the road knows whether the pixels are turned.
bool finishPhoto(Photo &photo, const Run &run, QImage &image);

} // namespace photoroad
