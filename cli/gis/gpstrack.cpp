// GPS track logs of any format merged into one time-ordered track, the time look-up in it, and
// camera clocks: offsets and drift.
#include "gpstrack.h"

#include <QDate>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// A camera clock can be years off (a reset battery), but not centuries.
constexpr qint64 maxClockAdjustSeconds = 100LL * 366 * 86400;

} // namespace

QString TrackLoadReport::warningLine(const QString &path) const
{
    QStringList left;
    const auto count = [&left](int n, const char *what) {
        if (n > 0)
            left << QStringLiteral("%1 %2").arg(n).arg(QString::fromUtf8(what));
    };
    count(damaged, "líneas o registros dañados");
    count(withoutFix, "puntos sin fix");
    count(impossible, "puntos con coordenadas imposibles");
    count(overHdop, "puntos con HDOP mayor que el máximo");
    count(fewSatellites, "puntos con menos satélites que el mínimo");
    count(duplicates, "puntos repetidos (misma hora que otro)");
    if (left.isEmpty())
        return QString();
    return QStringLiteral("Track %1 (%2): %3 puntos usados; se omiten %4.")
        .arg(path, format)
        .arg(used)
        .arg(left.join(QStringLiteral(", ")));
}

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
    TrackReading reading;
    if (!readTrackFile(path, reading)) {
        errorText = QStringLiteral("No se pudo leer el track %1: %2").arg(path, reading.error);
        return false;
    }
    TrackLoadReport report;
    report.format = reading.format;
    report.damaged = reading.damaged;
    report.withoutFix = reading.withoutFix;
    report.impossible = reading.impossible;

    const size_t firstNew = m_fixes.size();
    const int segmentsBefore = m_segmentCount;
    const qint32 file = qint32(m_files.size());
    m_fixes.reserve(firstNew + reading.points.size());
    bool opened = false;
    for (const TrackPoint &point : reading.points) {
        if (m_filter.maxHdop && !std::isnan(point.hdop) && point.hdop > *m_filter.maxHdop) {
            ++report.overHdop;
            continue;
        }
        if (m_filter.minSatellites && point.satellites >= 0 &&
            point.satellites < *m_filter.minSatellites) {
            ++report.fewSatellites;
            continue;
        }
        // The first fix of a file always opens a segment: nothing is interpolated across files.
        if (point.segmentStart || !opened)
            ++m_segmentCount;
        opened = true;
        m_fixes.push_back({point.msecs, point.latitude, point.longitude, point.elevation,
                           point.errorMetres, m_segmentCount - 1, file});
    }
    reading = TrackReading();
    if (m_fixes.size() == firstNew) {
        m_segmentCount = segmentsBefore;
        errorText = QStringLiteral("No se pudo leer el track %1: ninguno de sus puntos cumple "
                                   "--max-hdop y --min-satelites")
                        .arg(path);
        return false;
    }

    const auto byTime = [](const Fix &a, const Fix &b) {
        return a.msecs < b.msecs;
    };
    const auto newBegin = m_fixes.begin() + static_cast<std::ptrdiff_t>(firstNew);
    if (!std::is_sorted(newBegin, m_fixes.end(), byTime))
        std::stable_sort(newBegin, m_fixes.end(), byTime);
    // A later file that overlaps or precedes the earlier ones is merged in linear time; the
    // merge is stable, so of two fixes of one moment the earlier file's comes first and stays.
    if (firstNew > 0 && byTime(*newBegin, *(newBegin - 1)))
        std::inplace_merge(m_fixes.begin(), newBegin, m_fixes.end(), byTime);
    const size_t before = m_fixes.size();
    m_fixes.erase(std::unique(m_fixes.begin(), m_fixes.end(),
                              [](const Fix &a, const Fix &b) { return a.msecs == b.msecs; }),
                  m_fixes.end());
    report.duplicates = int(before - m_fixes.size());
    report.used = int(before - firstNew) - report.duplicates;
    m_files << path;
    m_lastLoad = report;
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
    const auto single = [&found, this](const Fix &fix) {
        found.result = TrackMatch::Result::Found;
        found.latitude = fix.latitude;
        found.longitude = fix.longitude;
        if (!std::isnan(fix.elevation))
            found.elevation = fix.elevation;
        found.fix = QDateTime::fromMSecsSinceEpoch(fix.msecs, Qt::UTC);
        found.file = m_files.value(fix.file);
        if (!std::isnan(fix.errorMetres))
            found.errorMetres = fix.errorMetres;
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
            found.elevation = double(earlier->elevation) +
                              f * (double(later->elevation) - double(earlier->elevation));
        found.errorMetres.reset();
        if (!std::isnan(earlier->errorMetres) && !std::isnan(later->errorMetres))
            found.errorMetres = std::max(earlier->errorMetres, later->errorMetres);
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

qint64 CameraClock::correctionAt(qint64 cameraMsecs) const
{
    if (syncs.empty())
        return -adjustSeconds * 1000;
    if (syncs.size() == 1)
        return syncs.front().trueMsecs - syncs.front().cameraMsecs;
    // The pair around the moment, or the nearest pair at either end.
    size_t second = 1;
    while (second + 1 < syncs.size() && syncs[second].cameraMsecs < cameraMsecs)
        ++second;
    const ClockSync &a = syncs[second - 1];
    const ClockSync &b = syncs[second];
    const double correctionA = double(a.trueMsecs - a.cameraMsecs);
    const double correctionB = double(b.trueMsecs - b.cameraMsecs);
    const double f = double(cameraMsecs - a.cameraMsecs) / double(b.cameraMsecs - a.cameraMsecs);
    return std::llround(correctionA + f * (correctionB - correctionA));
}

QDateTime cameraTimeToUtc(const QDateTime &captureDate, const CameraClock &clock,
                          const QString &photoOffset)
{
    if (!captureDate.isValid())
        return QDateTime();
    // The correction is a function of what the camera's clock read, as the sync points were.
    const qint64 wall =
        QDateTime(captureDate.date(), captureDate.time(), Qt::UTC).toMSecsSinceEpoch();
    const QDateTime corrected = captureDate.addMSecs(clock.correctionAt(wall));
    // Without a known offset the date is local time, which toUTC takes as the machine's zone.
    return withKnownOffset(corrected, clock.zoneOffsetSeconds, photoOffset).toUTC();
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

namespace {

bool wallClockMsecs(const QString &text, qint64 &msecs)
{
    QString normal = text.trimmed();
    // "2024:05:01 10:00:00" as cameras write dates.
    if (normal.size() >= 10 && normal[4] == QLatin1Char(':') && normal[7] == QLatin1Char(':')) {
        normal[4] = QLatin1Char('-');
        normal[7] = QLatin1Char('-');
    }
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d[ T]\\d\\d:\\d\\d(:\\d\\d(\\.\\d+)?)?$"));
    return form.match(normal).hasMatch() && parseIsoMsecs(normal.toLatin1(), msecs);
}

} // namespace

bool parseSyncOption(const QString &text, CameraClock &clock, QString &errorText)
{
    const QStringList sides = text.split(QLatin1Char('='));
    ClockSync sync{0, 0};
    if (sides.size() == 2 && wallClockMsecs(sides[0], sync.cameraMsecs) &&
        wallClockMsecs(sides[1], sync.trueMsecs)) {
        const auto at =
            std::lower_bound(clock.syncs.begin(), clock.syncs.end(), sync.cameraMsecs,
                             [](const ClockSync &s, qint64 t) { return s.cameraMsecs < t; });
        if (at != clock.syncs.end() && at->cameraMsecs == sync.cameraMsecs) {
            errorText = QStringLiteral("--sincronizar: dos puntos con la misma hora de cámara "
                                       "(%1)")
                            .arg(sides[0].trimmed());
            return false;
        }
        clock.syncs.insert(at, sync);
        return true;
    }
    errorText = QStringLiteral("Valor no válido para --sincronizar: «%1» (se espera "
                               "HORA-CAMARA=HORA-REAL, p. ej. \"2024:05:01 10:00:00=2024:05:01 "
                               "10:00:42\").")
                    .arg(text);
    return false;
}

bool parseMaxHdopOption(const QString &text, double &hdop, QString &errorText)
{
    bool ok = false;
    hdop = text.trimmed().toDouble(&ok);
    if (ok && hdop > 0 && std::isfinite(hdop))
        return true;
    errorText = QStringLiteral("Valor no válido para --max-hdop: «%1» (se espera un número mayor "
                               "que 0, p. ej. 2.5).")
                    .arg(text);
    return false;
}

bool parseMinSatellitesOption(const QString &text, int &count, QString &errorText)
{
    bool ok = false;
    count = text.trimmed().toInt(&ok);
    if (ok && count >= 0 && count <= 100)
        return true;
    errorText = QStringLiteral("Valor no válido para --min-satelites: «%1» (se espera un número "
                               "entero entre 0 y 100).")
                    .arg(text);
    return false;
}
