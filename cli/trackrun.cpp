// Track positions for the batch engine, and the engine's outcomes as layer points.
#include "trackrun.h"

#include "utm.h"

#include <QFileInfo>

namespace {

QString degreesText(double value)
{
    return QString::number(value, 'f', 6);
}

// Milliseconds only when the photo gave a fraction (SubSecTimeOriginal, an XMP time).
QString utcText(const QDateTime &moment)
{
    const QDateTime utc = moment.toUTC();
    return utc.toString(utc.time().msec() ? QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")
                                          : QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

TrackLookup trackLookupFor(std::shared_ptr<const GpsTrack> track, const CameraClock &clock,
                           int maxIntervalSeconds)
{
    return [track, clock, maxIntervalSeconds](const TrackQuery &query) {
        const QString name = QFileInfo(query.path).fileName();
        const QDateTime utc = query.captureTimeFound
                                  ? cameraTimeToUtc(query.captureTime, clock, query.captureOffset)
                                  : QDateTime();
        const TrackMatch match = track->match(utc, maxIntervalSeconds);
        // Which moment was looked up, and from which tag; or which date was not taken for one.
        QString moment;
        if (utc.isValid())
            moment = query.captureTimeTag + QStringLiteral(", hora UTC ") + utcText(utc);
        else if (query.dateFound)
            moment = QStringLiteral("no se usa ") + query.dateTag;

        TrackPosition position;
        position.utc = utc;
        if (!match.found()) {
            position.reason = trackMatchReason(match.result);
            position.logLine =
                QStringLiteral("Sin posición del track para %1: %2%3.")
                    .arg(name, position.reason,
                         moment.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(moment));
            return position;
        }
        position.found = true;
        position.latitude = match.latitude;
        position.longitude = match.longitude;
        position.altitude = match.elevation;
        position.errorMetres = match.errorMetres;
        // As with a position read from the EXIF, a heading of exactly 0 counts as unknown.
        position.directionKnown = query.imageDirectionFound && query.imageDirection != 0.0;
        position.direction = position.directionKnown ? query.imageDirection : 0.0;
        const QString fixes =
            (match.laterFix.isValid()
                 ? QStringLiteral("entre los puntos de %1 y %2")
                       .arg(utcText(match.fix).mid(11), utcText(match.laterFix).mid(11))
                 : QStringLiteral("punto de %1").arg(utcText(match.fix).mid(11))) +
            QStringLiteral(" de ") + QFileInfo(match.file).fileName();
        position.trackFile = match.file;
        position.trackFixes << match.fix;
        if (match.laterFix.isValid())
            position.trackFixes << match.laterFix;
        position.logLine = QStringLiteral("Posición desde track para %1: Lat %2, Lon %3 (%4, %5)")
                               .arg(name, degreesText(match.latitude), degreesText(match.longitude),
                                    moment, fixes);
        return position;
    };
}

QList<LayerPoint> layerPointsOf(const QVector<PhotoOutcome> &outcomes,
                                std::optional<int> cameraZoneSeconds)
{
    QList<LayerPoint> points;
    for (const PhotoOutcome &outcome : outcomes) {
        // Photos skipped for anything else (damaged, already processed) have nothing to show.
        if (!outcome.processed && !outcome.positionMissing)
            continue;
        LayerPoint point;
        point.originalName = QFileInfo(outcome.listedPath).fileName();
        point.finalName = QFileInfo(outcome.finalPath).fileName();
        point.attributes = outcome.attributes;
        // A photo without a capture date is stamped with the time of the run; that is no date
        // of where it was taken.
        if (outcome.dateFound)
            point.date =
                withKnownOffset(outcome.captureDate, cameraZoneSeconds, outcome.captureOffset);
        if (!outcome.processed) {
            // Never a point at a made-up place: the photo is listed, where it was is not known.
            point.located = false;
            point.source = QStringLiteral("sin posición");
            if (!outcome.reason.isEmpty())
                point.source += QStringLiteral(": ") + outcome.reason;
            points.append(point);
            continue;
        }
        point.utm = {outcome.zoneNumber, outcome.zoneLetter, outcome.easting, outcome.northing};
        point.position = outcome.latLonKnown ? GeoPosition{outcome.latitude, outcome.longitude}
                                             : utmToLatLon(outcome.zoneNumber, outcome.zoneLetter,
                                                           outcome.easting, outcome.northing);
        if (outcome.orientationKnown)
            point.heading = outcome.orientation;
        point.errorMetres = outcome.positioningErrorMetres;
        point.source = positionSourceName(outcome.source);
        points.append(point);
    }
    return points;
}
