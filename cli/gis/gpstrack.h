// Positions from GPS track logs (any format the track readers know) looked up by time, and the
// conversion of a camera's clock reading to UTC, drifting clocks included.
#pragma once

#include "trackreaders.h"
#include "utm.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// What a look-up in the track gave for one moment.
struct TrackMatch
{
    enum class Result {
        Found,        // latitude/longitude hold the position
        OutsideTrack, // before the first or after the last fix by more than the limit
        GapTooLong,   // inside the track, but the fixes around the time are too far apart
        NoCaptureDate // no time to look up
    };

    Result result = Result::OutsideTrack;
    double latitude = 0.0;
    double longitude = 0.0;
    std::optional<double> elevation; // metres, from <ele>, when the fixes used carry one
    // The fix used (UTC); when interpolated, the earlier of the two, and laterFix the other.
    // laterFix stays invalid when a single fix was used.
    QDateTime fix;
    QDateTime laterFix;
    QString file; // the track file the fixes came from, as given
    // The accuracy the file states (a phone's location history), metres; the larger of the two
    // when interpolated, none when either fix states none.
    std::optional<double> errorMetres;

    bool found() const { return result == Result::Found; }
};

// The Spanish reason for a result other than Found, as used in log lines: "fuera del track",
// "hueco demasiado largo", "sin fecha de captura".
QString trackMatchReason(TrackMatch::Result result);

// Fixes a run leaves out for what they state of their own quality (--max-hdop, --min-satelites).
// A fix that states nothing is kept.
struct TrackFilter
{
    std::optional<double> maxHdop;
    std::optional<int> minSatellites;
};

// What one load took from its file and what it left out, for the track's log line.
struct TrackLoadReport
{
    QString format;
    int used = 0;
    int damaged = 0;
    int withoutFix = 0;
    int impossible = 0;
    int overHdop = 0;
    int fewSatellites = 0;
    int duplicates = 0; // fixes of a moment an earlier fix already gave

    // "Track t.nmea (NMEA 0183): 120 puntos; se omiten 2 líneas o registros dañados, ..." when
    // anything was left out; empty otherwise.
    QString warningLine(const QString &path) const;
};

// The timed points of one or more track logs, each point remembering its segment (file, track
// and segment) and its file, in time order.
class GpsTrack
{
public:
    void setFilter(const TrackFilter &filter) { m_filter = filter; }

    // Adds the timed fixes of one track file, whatever its format; fixes whose coordinates no
    // place has, that state no fix, or that the filter leaves out, are counted and left out, and
    // a fix at a moment the track already has counts once. False, with a Spanish message in
    // errorText ("No se pudo leer el track PATH: why") and the track unchanged, when the file
    // cannot be read or leaves no usable fix.
    bool load(const QString &path, QString &errorText);

    const TrackLoadReport &lastLoad() const { return m_lastLoad; }
    int fixCount() const { return static_cast<int>(m_fixes.size()); }
    // Points the last successful load left out for their coordinates.
    int impossibleFixesInLastLoad() const { return m_lastLoad.impossible; }
    bool isEmpty() const { return m_fixes.empty(); }

    // The position at a UTC moment: linear interpolation between the two fixes around it when
    // they lie in one segment at most maxIntervalSeconds apart; else (the fixes around it are
    // further apart, or belong to different segments, or the time lies outside the track) the
    // nearer of those fixes when it is within maxIntervalSeconds. Nothing is interpolated across
    // segments. A binary search.
    TrackMatch match(const QDateTime &utc, int maxIntervalSeconds) const;

    // The points of each segment in time order, as lines to draw; segments in load order.
    std::vector<std::vector<GeoPosition>> lines() const;

private:
    struct Fix
    {
        qint64 msecs; // UTC, since the epoch
        double latitude;
        double longitude;
        float elevation;   // NaN when the point has none
        float errorMetres; // NaN when the point states none
        qint32 segment;
        qint32 file;
    };

    std::vector<Fix> m_fixes;
    QStringList m_files;
    int m_segmentCount = 0;
    TrackFilter m_filter;
    TrackLoadReport m_lastLoad;
};

// One --sincronizar point: what the camera's clock read, and the true time then, both as wall
// clock readings in the camera's zone (milliseconds as if UTC).
struct ClockSync
{
    qint64 cameraMsecs;
    qint64 trueMsecs;
};

// How a camera's clock relates to UTC, from the command line.
struct CameraClock
{
    std::optional<int> zoneOffsetSeconds; // --zona-camara; when set, wins over the photo's own
    qint64 adjustSeconds = 0;             // --ajuste-reloj: camera time minus true time
    // --sincronizar, in camera time order: the correction is interpolated between them.
    std::vector<ClockSync> syncs;

    // Milliseconds to add to a camera reading (as if UTC) to make it true: the sync points'
    // correction interpolated linearly in camera time, extrapolated along the nearest pair
    // outside them (a quartz clock drifts at a steady rate); one point is a fixed offset.
    // Without sync points, minus adjustSeconds.
    qint64 correctionAt(qint64 cameraMsecs) const;
};

// "HORA-CAMARA=HORA-REAL", each "YYYY:MM:DD HH:MM:SS" (or with dashes, or a T); adds it to the
// clock in order. False with a Spanish message naming the option.
bool parseSyncOption(const QString &text, CameraClock &clock, QString &errorText);
// --max-hdop and --min-satelites.
bool parseMaxHdopOption(const QString &text, double &hdop, QString &errorText);
bool parseMinSatellitesOption(const QString &text, int &count, QString &errorText);

// The UTC moment of a capture date read from EXIF (the camera's local wall-clock time). The
// offset is clock.zoneOffsetSeconds when set, else photoOffset (the photo's OffsetTimeOriginal,
// "±HH:MM") when it parses, else the offset the date itself carries (an XMP date may), else the
// machine's time zone. The clock's correction is applied to the camera's reading first. Invalid
// in, invalid out.
QDateTime cameraTimeToUtc(const QDateTime &captureDate, const CameraClock &clock,
                          const QString &photoOffset = QString());

// The capture date as the camera read it, stated with its UTC offset when one is known: the
// camera's zone when given, else the photo's OffsetTimeOriginal, else the offset the date
// carries. Never the machine's zone, which is a guess. Left as it is when none is known.
QDateTime withKnownOffset(const QDateTime &captureDate, std::optional<int> zoneOffsetSeconds,
                          const QString &photoOffset);

// "+HH:MM" or "-HH:MM" (hours up to 14, minutes below 60) to seconds east of UTC. The forms
// people type are taken too: one-digit hours, minutes left out or without the colon ("-05",
// "+5:00", "+0530").
bool parseUtcOffset(const QString &text, int &offsetSeconds);

// Checks of the option values. False with a short Spanish message that names the option.
bool parseCameraZoneOption(const QString &text, int &offsetSeconds, QString &errorText);
bool parseClockAdjustOption(const QString &text, qint64 &seconds, QString &errorText);
bool parseMaxIntervalOption(const QString &text, int &seconds, QString &errorText);
