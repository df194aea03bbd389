// GPS track logs through GDAL's GPX driver, the time look-up in them, and camera-clock offsets.
#include "gpstrack.h"
#include "gdalsupport.h"

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr qint64 msecsPerDay = 86400000;
constexpr qint64 unixEpochJulianDay = 2440588;
// A camera clock can be years off (a reset battery), but not centuries.
constexpr qint64 maxClockAdjustSeconds = 100LL * 366 * 86400;

// OGR's time zone flag: 100 is UTC, each step away from it a quarter hour; 0 (unknown) and 1
// (local) are read as UTC, which is what GPX times are by definition.
qint64 utcMsecs(int year, int month, int day, int hour, int minute, float second, int zoneFlag)
{
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::numeric_limits<qint64>::min();
    const qint64 offsetMinutes = zoneFlag > 1 ? (zoneFlag - 100) * 15 : 0;
    return (date.toJulianDay() - unixEpochJulianDay) * msecsPerDay +
           (hour * 60 + minute - offsetMinutes) * 60000 + std::llround(second * 1000.0);
}

} // namespace

QString trackMatchReason(TrackMatch::Result result)
{
    switch (result) {
    case TrackMatch::Result::Found:
        return QString();
    case TrackMatch::Result::OutsideTrack:
        return QStringLiteral("fuera del track");
    case TrackMatch::Result::GapTooLong:
        return QStringLiteral("hueco demasiado largo");
    case TrackMatch::Result::NoCaptureDate:
        return QStringLiteral("sin fecha de captura");
    }
    return QString();
}

bool GpsTrack::load(const QString &path, QString &errorText)
{
    GdalSupport::registerDrivers();
    GdalSupport::QuietErrors quiet;
    const char *const gpxOnly[] = {"GPX", nullptr};
    const GDALDatasetUniquePtr dataset(GDALDataset::Open(
        QFile::encodeName(path).constData(), GDAL_OF_VECTOR | GDAL_OF_READONLY, gpxOnly));
    if (!dataset) {
        QString detail = quiet.lastMessage();
        if (!QFileInfo::exists(path))
            detail = QStringLiteral("el archivo no existe");
        else if (detail.isEmpty())
            detail = QStringLiteral("no es un archivo GPX");
        errorText = QStringLiteral("No se pudo leer el track %1: %2").arg(path, detail);
        return false;
    }

    const size_t firstNew = m_fixes.size();
    const int segmentsBefore = m_segmentCount;
    int impossible = 0;
    OGRLayer *layer = dataset->GetLayerByName("track_points");
    if (layer) {
        const OGRFeatureDefn *definition = layer->GetLayerDefn();
        const int timeField = definition->GetFieldIndex("time");
        const int elevationField = definition->GetFieldIndex("ele");
        const int trackField = definition->GetFieldIndex("track_fid");
        const int segmentField = definition->GetFieldIndex("track_seg_id");
        // A segment is a run of points sharing track and segment number within this file; the
        // first point of a file always opens one (GDAL numbers never go below zero).
        int previousTrack = -1;
        int previousSegment = -1;
        for (const auto &feature : *layer) {
            if (timeField < 0 || !feature->IsFieldSetAndNotNull(timeField))
                continue;
            const OGRGeometry *geometry = feature->GetGeometryRef();
            if (!geometry || wkbFlatten(geometry->getGeometryType()) != wkbPoint)
                continue;
            int year, month, day, hour, minute, zone;
            float second;
            feature->GetFieldAsDateTime(timeField, &year, &month, &day, &hour, &minute, &second,
                                        &zone);
            const qint64 msecs = utcMsecs(year, month, day, hour, minute, second, zone);
            if (msecs == std::numeric_limits<qint64>::min())
                continue;
            const int track = trackField >= 0 ? feature->GetFieldAsInteger(trackField) : 0;
            const int segment = segmentField >= 0 ? feature->GetFieldAsInteger(segmentField) : 0;
            if (track != previousTrack || segment != previousSegment)
                ++m_segmentCount;
            previousTrack = track;
            previousSegment = segment;
            const OGRPoint *point = geometry->toPoint();
            // A receiver without a fix writes placeholders some of which no place has; they
            // would drag interpolated positions off the map.
            if (!(std::fabs(point->getY()) <= 90.0 && std::fabs(point->getX()) <= 180.0)) {
                ++impossible;
                continue;
            }
            const double elevation =
                elevationField >= 0 && feature->IsFieldSetAndNotNull(elevationField)
                    ? feature->GetFieldAsDouble(elevationField)
                    : std::numeric_limits<double>::quiet_NaN();
            m_fixes.push_back({msecs, point->getY(), point->getX(), elevation, m_segmentCount - 1});
        }
    }
    if (m_fixes.size() == firstNew) {
        m_segmentCount = segmentsBefore;
        errorText = QStringLiteral("El track %1 no tiene puntos de track con hora.").arg(path);
        return false;
    }
    m_impossibleInLastLoad = impossible;

    const auto byTime = [](const Fix &a, const Fix &b) {
        return a.msecs < b.msecs;
    };
    const auto newBegin = m_fixes.begin() + static_cast<std::ptrdiff_t>(firstNew);
    if (!std::is_sorted(newBegin, m_fixes.end(), byTime))
        std::stable_sort(newBegin, m_fixes.end(), byTime);
    // A later file that overlaps or precedes the earlier ones is merged in linear time.
    if (firstNew > 0 && byTime(*newBegin, *(newBegin - 1)))
        std::inplace_merge(m_fixes.begin(), newBegin, m_fixes.end(), byTime);
    return true;
}

TrackMatch GpsTrack::match(const QDateTime &utc, int maxIntervalSeconds) const
{
    TrackMatch found;
    if (!utc.isValid()) {
        found.result = TrackMatch::Result::NoCaptureDate;
        return found;
    }
    const qint64 time = utc.toMSecsSinceEpoch();
    const qint64 limit = static_cast<qint64>(maxIntervalSeconds) * 1000;
    const auto single = [&found](const Fix &fix) {
        found.result = TrackMatch::Result::Found;
        found.latitude = fix.latitude;
        found.longitude = fix.longitude;
        if (!std::isnan(fix.elevation))
            found.elevation = fix.elevation;
        found.fix = QDateTime::fromMSecsSinceEpoch(fix.msecs, Qt::UTC);
        return found;
    };

    const auto after = std::lower_bound(m_fixes.begin(), m_fixes.end(), time,
                                        [](const Fix &fix, qint64 t) { return fix.msecs < t; });
    if (after != m_fixes.end() && after->msecs == time)
        return single(*after);
    const Fix *later = after != m_fixes.end() ? &*after : nullptr;
    const Fix *earlier = after != m_fixes.begin() ? &*(after - 1) : nullptr;

    if (earlier && later && earlier->segment == later->segment &&
        later->msecs - earlier->msecs <= limit) {
        const double f = static_cast<double>(time - earlier->msecs) /
                         static_cast<double>(later->msecs - earlier->msecs);
        double longitudeStep = later->longitude - earlier->longitude;
        // Across the antimeridian the short way round is the one travelled.
        if (longitudeStep > 180.0)
            longitudeStep -= 360.0;
        else if (longitudeStep < -180.0)
            longitudeStep += 360.0;
        double longitude = earlier->longitude + f * longitudeStep;
        if (longitude > 180.0)
            longitude -= 360.0;
        else if (longitude < -180.0)
            longitude += 360.0;
        single(*earlier);
        found.latitude = earlier->latitude + f * (later->latitude - earlier->latitude);
        found.longitude = longitude;
        // One end without a height gives none: half a height would be a made-up one.
        found.elevation.reset();
        if (!std::isnan(earlier->elevation) && !std::isnan(later->elevation))
            found.elevation = earlier->elevation + f * (later->elevation - earlier->elevation);
        found.laterFix = QDateTime::fromMSecsSinceEpoch(later->msecs, Qt::UTC);
        return found;
    }

    // A long hole in one segment, a break between segments or the edge of the track: the nearer
    // fix, if close enough.
    const Fix *nearest = earlier;
    if (later && (!nearest || later->msecs - time < time - nearest->msecs))
        nearest = later;
    if (nearest && std::llabs(nearest->msecs - time) <= limit)
        return single(*nearest);
    found.result =
        earlier && later ? TrackMatch::Result::GapTooLong : TrackMatch::Result::OutsideTrack;
    return found;
}

QDateTime withKnownOffset(const QDateTime &captureDate, std::optional<int> zoneOffsetSeconds,
                          const QString &photoOffset)
{
    int offset = 0;
    if (zoneOffsetSeconds)
        return QDateTime(captureDate.date(), captureDate.time(), QTimeZone(*zoneOffsetSeconds));
    if (parseUtcOffset(photoOffset, offset))
        return QDateTime(captureDate.date(), captureDate.time(), QTimeZone(offset));
    return captureDate;
}

QDateTime cameraTimeToUtc(const QDateTime &captureDate, const CameraClock &clock,
                          const QString &photoOffset)
{
    if (!captureDate.isValid())
        return QDateTime();
    // Without a known offset the date is local time, which toUTC takes as the machine's zone.
    return withKnownOffset(captureDate, clock.zoneOffsetSeconds, photoOffset)
        .toUTC()
        .addSecs(-clock.adjustSeconds);
}

bool parseUtcOffset(const QString &text, int &offsetSeconds)
{
    static const QRegularExpression pattern(QStringLiteral("^([+-])(\\d{1,2})(?::?(\\d\\d))?$"));
    const QRegularExpressionMatch m = pattern.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    const int hours = m.captured(2).toInt();
    const int minutes = m.captured(3).toInt(); // 0 when left out
    if (hours > 14 || minutes > 59)
        return false;
    offsetSeconds = (m.captured(1) == QLatin1String("-") ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

bool parseCameraZoneOption(const QString &text, int &offsetSeconds, QString &errorText)
{
    if (parseUtcOffset(text, offsetSeconds))
        return true;
    errorText = QStringLiteral("Valor no válido para --zona-camara: «%1» (se espera ±HH:MM, "
                               "p. ej. +02:00, -05 o +5:30).")
                    .arg(text);
    return false;
}

bool parseClockAdjustOption(const QString &text, qint64 &seconds, QString &errorText)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok);
    if (ok && std::llabs(value) <= maxClockAdjustSeconds) {
        seconds = value;
        return true;
    }
    errorText = QStringLiteral("Valor no válido para --ajuste-reloj: «%1» (se espera un número "
                               "entero de segundos, p. ej. -3600).")
                    .arg(text);
    return false;
}

bool parseMaxIntervalOption(const QString &text, int &seconds, QString &errorText)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (ok && value >= 0) {
        seconds = value;
        return true;
    }
    errorText = QStringLiteral("Valor no válido para --max-intervalo: «%1» (se espera un número "
                               "entero de segundos, 0 o más).")
                    .arg(text);
    return false;
}

std::vector<std::vector<GeoPosition>> GpsTrack::lines() const
{
    std::vector<std::vector<GeoPosition>> lines(static_cast<size_t>(m_segmentCount));
    for (const Fix &fix : m_fixes)
        lines[size_t(fix.segment)].push_back({fix.latitude, fix.longitude});
    return lines;
}
