// The road of one photo through a batch run, split where the batch engine needs it: the part that
// reads the photo and claims names (done in listing order) and the part that decodes, paints,
// encodes and writes (free to run on any worker). Internal to the processing library.
#pragma once

#include "batchengine.h"
#include "coordinatefile.h"
#include "logcallback.h"
#include "photoannotation.h"
#include "photometadata.h"

#include <QDateTime>
#include <QDir>
#include <QImage>
#include <QString>

#include <functional>

namespace photoroad {

// What every photo of one run needs from the caller, plus the run-wide logo and table. Cheap to
// copy (its members are implicitly shared), so each photo can get a copy whose log is its own.
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
    PositionFallback positionFallback;
    bool writeFallbackToExif = false;
    LogCallback log;
};

// One photo's turn. The position starts at the fixed fallback and stays there wherever the
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

    QString utmName;
    QString prefixedName;
    QString coordinateText;
    QString currentPath;
};

// Whether a path counts as taken when a backup or a new name is chosen.
using NameTaken = std::function<bool(const QString &path)>;

// The run-wide preparations: the logo and, in text-file mode, the coordinate table.
Run startRun(const BatchJob &job);

// Log line, backup, metadata snapshot and date, position, UTM name and rename: everything that
// reads the untouched photo or claims a name. False when the photo's turn ends here.
bool preparePhoto(Photo &photo, const QString &listedPath, const Run &run);

// Decoding, painting, encoding, writing and the metadata steps; touches only the photo's own
// file. False when the image cannot be loaded. image is a picture buffer the caller keeps from
// one photo to the next on the same thread (null at first).
bool finishPhoto(const Photo &photo, const Run &run, QImage &image);

// The pieces a dry run reuses to say what preparePhoto would do.
void describe(Photo &photo, const QString &listedPath);
bool locate(Photo &photo, const Run &run);
void nameAfterUtm(Photo &photo, const Run &run);
bool nameTaken(const QString &path);
QString backupPathIn(const QDir &backupDir, const QString &baseName, const QString &suffix,
                     const NameTaken &taken);
QString utmFileName(const QDir &folder, const QString &prefixedName, const NameTaken &taken);

} // namespace photoroad
