// Positions from GPS track logs (GPX 1.0 and 1.1, read through GDAL) looked up by time, and the
// conversion of a camera's clock reading to UTC.
#pragma once

#include "utm.h"

#include <QDateTime>
#include <QString>

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

    bool found() const { return result == Result::Found; }
};

// The Spanish reason for a result other than Found, as used in log lines: "fuera del track",
// "hueco demasiado largo", "sin fecha de captura".
QString trackMatchReason(TrackMatch::Result result);

// The timed points of one or more GPX track logs, each point remembering its segment
// (file, track and segment), in time order.
class GpsTrack
{
public:
    // Adds the timed track points of one GPX file; points without a time, and points whose
    // coordinates no place has (latitude beyond ±90, longitude beyond ±180, not a number), are left
    // out. Loading is one pass; the points are only sorted when the file is not already in time
    // order. False, with a Spanish message in errorText and the track unchanged, when the file
    // cannot be read as GPX or has no usable timed track points.
    bool load(const QString &path, QString &errorText);

    int fixCount() const { return static_cast<int>(m_fixes.size()); }
    // Points the last successful load left out for their coordinates.
    int impossibleFixesInLastLoad() const { return m_impossibleInLastLoad; }
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
        double elevation; // NaN when the point has none
        int segment;
    };

    std::vector<Fix> m_fixes;
    int m_segmentCount = 0;
    int m_impossibleInLastLoad = 0;
};

// How a camera's clock relates to UTC, from the command line.
struct CameraClock
{
    std::optional<int> zoneOffsetSeconds; // --zona-camara; when set, wins over the photo's own
    qint64 adjustSeconds = 0;             // --ajuste-reloj: camera time minus true time
};

// The UTC moment of a capture date read from EXIF (the camera's local wall-clock time). The
// offset is clock.zoneOffsetSeconds when set, else photoOffset (the photo's OffsetTimeOriginal,
// "±HH:MM") when it parses, else the offset the date itself carries (an XMP date may), else the
// machine's time zone. The clock adjustment is then taken off. Invalid in, invalid out.
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
