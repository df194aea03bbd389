// The one batch engine: a folder's photos run with one or many workers, or only simulated, with
// the same names, bytes and log whatever the number of workers.
#pragma once

#include "logcallback.h"

#include <QColor>
#include <QDateTime>
#include <QString>
#include <QVector>

#include <functional>

enum class PositionSource {
    Fixed,    // nothing found: the fixed fallback position
    Exif,     // the photo's own GPS tags
    Fallback, // the job's position fallback, asked when the EXIF has no position
    Table     // the coordinate text file
};

// What a position fallback found for a photo without a GPS position in its EXIF.
struct FallbackPosition
{
    bool found = false;
    double latitude = 0.0;
    double longitude = 0.0;
    double direction = 0.0;
    bool directionKnown = false;
    QString logLine; // logged before the position when found, after the no-GPS line otherwise
};

// Asked in listing order, in EXIF mode only, with the photo's path and its capture date.
using PositionFallback = std::function<FallbackPosition(
    const QString &path, const QDateTime &captureDate, bool dateFound)>;

// Photos whose log has been handed out so far, of all listed; on the calling thread.
using ProgressCallback = std::function<void(int done, int total)>;

// Every option of the batch, with the window's form defaults.
struct BatchJob
{
    QString directory;
    QString logoPath; // empty: no logo
    QString fontPath;
    double fontRatio = 0.03;
    bool useExif = true;
    QString txtPath;
    QColor textColor = QColor(QStringLiteral("#FFFFFF"));
    double logoRatio = 0.2;
    QString logoPosition = QStringLiteral("arriba-izquierda");
    QString dateTimePosition = QStringLiteral("abajo-derecha");
    QString coordinatesPosition = QStringLiteral("abajo-derecha");
    double roseRatio = 0.18;
    bool renameToUtm = true;
    bool addPrefix = false;
    QString prefix;
    bool includeSubdirectories = false;
    bool drawRose = true;
    bool drawText = true;
    bool embedTxtInExif = false;
    QString rosePosition = QStringLiteral("abajo-izquierda");
    bool makeBackup = true;
    LogCallback log; // called on the calling thread only, each photo's lines together, in order

    int workers = 1;            // 1: everything on the calling thread, line by line as it happens
    bool dryRun = false;        // say what would happen, touch nothing
    bool orientUpright = false; // apply the EXIF orientation before painting; write Orientation 1
    PositionFallback positionFallback;
    bool writeFallbackToExif = false; // put a fallback position into the photo's EXIF GPS tags
    ProgressCallback progress;
};

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
    bool loggedError = false; // one of its log lines reports a failure
};

// Runs the job and returns one outcome per listed photo, in listing order. An exception other
// than the per-photo failures ends the run and reaches the caller once no worker is busy.
QVector<PhotoOutcome> runBatch(const BatchJob &job);
