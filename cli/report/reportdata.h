// What a photo report and a KMZ show of a run: one plain record per photo, made alike from a
// finished run and from the journal of an earlier one, so both give the same documents.
#pragma once

#include "batchjob.h"
#include "utm.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>
#include <vector>

struct ReportPhoto
{
    QString originalPath; // as listed, relative to the run's folder
    QString finalPath;    // after the run (or what it would be), relative to the folder
    QString imagePath;    // where the photo's bytes are read now; empty when they are gone
    bool located = false; // false: left without a position, for the reason below
    UtmPosition utm;
    GeoPosition position;
    QDateTime date;     // the capture date as the camera read it; invalid when none
    QString dateOffset; // its OffsetTimeOriginal, empty when none
    std::optional<double> altitude;
    std::optional<double> heading;
    QString headingReference; // "T" or "M", empty when the photo does not say
    QString source;           // "exif", "track", "txt" or "fija"
    QString reason;           // why it has no position
    QString note;             // shown beside the photo: "Simulación", a change since the run

    // The subfolder of the run it lies in, empty for the folder itself.
    QString subfolder() const;
};

struct ReportRun
{
    QString title;
    QDateTime runDate;
    int processed = 0;
    int skipped = 0;
    int withErrors = 0;
    int withoutPosition = 0;
    bool simulated = false;
    std::vector<std::vector<GeoPosition>> tracks; // lines, in WGS84
    // The placed photos and those left without a position, in listing order; photos skipped for
    // anything else have nothing to show.
    QList<ReportPhoto> photos;
};

// The run as it finished (or as a dry run would do it). folder is the run's folder.
ReportRun reportRunOf(const QVector<PhotoOutcome> &outcomes, const QString &folder,
                      const QDateTime &runDate, bool simulated);

// The run a journal records, with the photos it names as they are now: a photo whose bytes are
// no longer those the run wrote gets a note. The tracks named in its options are read again
// when they can be. False with a Spanish message when the file is no journal.
bool reportRunOfJournal(const QString &journalPath, ReportRun &run, QString &errorText);

// Texts both documents use, so they read the same.
QString reportDateText(const ReportPhoto &photo);
QString reportUtmText(const ReportPhoto &photo);
QString reportLatLonText(const ReportPhoto &photo);
QString reportHeadingText(const ReportPhoto &photo);
QString reportAltitudeText(const ReportPhoto &photo);
QString reportSourceText(const ReportPhoto &photo);
// What both documents say of a placed photo under its name: original, date, positions, altitude,
// heading and the source of its position.
QStringList reportPhotoLines(const ReportPhoto &photo);
