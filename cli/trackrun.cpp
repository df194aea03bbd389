// Track positions for the batch engine, and the engine's outcomes as layer points.
#include "trackrun.h"

#include "utm.h"

#include <QFileInfo>

namespace {

QString degreesText(double value)
{
    return QString::number(value, 'f', 6);
}

QString utcText(const QDateTime &moment)
{
    return moment.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString sourceName(PositionSource source)
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

} // namespace

TrackLookup trackLookupFor(std::shared_ptr<const GpsTrack> track, const CameraClock &clock,
                           int maxIntervalSeconds)
{
    return [track, clock, maxIntervalSeconds](const TrackQuery &query) {
        const QString name = QFileInfo(query.path).fileName();
        // Without a date the engine hands over the current time, which no track can place.
        const QDateTime utc = query.dateFound
                                  ? cameraTimeToUtc(query.captureDate, clock, query.captureOffset)
                                  : QDateTime();
        const TrackMatch match = track->match(utc, maxIntervalSeconds);

        TrackPosition position;
        if (!match.found()) {
            position.logLine = QStringLiteral("Sin posición del track para %1: %2.")
                                   .arg(name, trackMatchReason(match.result));
            return position;
        }
        position.found = true;
        position.latitude = match.latitude;
        position.longitude = match.longitude;
        // As with a position read from the EXIF, a heading of exactly 0 counts as unknown.
        position.directionKnown = query.imageDirectionFound && query.imageDirection != 0.0;
        position.direction = position.directionKnown ? query.imageDirection : 0.0;
        const QString fixes =
            match.laterFix.isValid()
                ? QStringLiteral("entre los puntos de %1 y %2")
                      .arg(utcText(match.fix).mid(11), utcText(match.laterFix).mid(11))
                : QStringLiteral("punto de %1").arg(utcText(match.fix).mid(11));
        position.logLine =
            QStringLiteral("Posición desde track para %1: Lat %2, Lon %3 (hora UTC %4, %5)")
                .arg(name, degreesText(match.latitude), degreesText(match.longitude), utcText(utc),
                     fixes);
        return position;
    };
}

QList<LayerPoint> layerPointsOf(const QVector<PhotoOutcome> &outcomes)
{
    QList<LayerPoint> points;
    for (const PhotoOutcome &outcome : outcomes) {
        if (!outcome.processed)
            continue;
        LayerPoint point;
        point.originalName = QFileInfo(outcome.listedPath).fileName();
        point.finalName = QFileInfo(outcome.finalPath).fileName();
        // A photo without a capture date is stamped with the time of the run; that is no date
        // of where it was taken.
        if (outcome.dateFound)
            point.date = outcome.captureDate;
        point.utm = {outcome.zoneNumber, outcome.zoneLetter, outcome.easting, outcome.northing};
        point.position = outcome.latLonKnown ? GeoPosition{outcome.latitude, outcome.longitude}
                                             : utmToLatLon(outcome.zoneNumber, outcome.zoneLetter,
                                                           outcome.easting, outcome.northing);
        if (outcome.orientationKnown)
            point.heading = outcome.orientation;
        point.source = sourceName(outcome.source);
        points.append(point);
    }
    return points;
}
