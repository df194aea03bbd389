// The fixes of a GPS track file in any of the formats crews carry, recognised by content: GPX,
// NMEA 0183, KML/KMZ, TCX, IGC, a phone's location history (JSON), CSV logs and FIT.
#pragma once

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

class QIODevice;

// One timed position as a file states it. What the file does not state stays NaN, or -1.
struct TrackPoint
{
    qint64 msecs = 0; // UTC, since the epoch
    double latitude = 0.0;
    double longitude = 0.0;
    float elevation = std::numeric_limits<float>::quiet_NaN();   // metres
    float hdop = std::numeric_limits<float>::quiet_NaN();        // horizontal dilution
    float errorMetres = std::numeric_limits<float>::quiet_NaN(); // a phone's stated accuracy
    qint16 satellites = -1;
    bool segmentStart = false; // the first point of a segment (a GPX trkseg, a KML gx:Track)
};

// What one file gave: the points in file order, and what was left out of it and why.
struct TrackReading
{
    QString format; // "GPX", "NMEA 0183", ... as log lines name it
    std::vector<TrackPoint> points;
    int damaged = 0;    // lines or records that could not be read (bad checksum, cut short)
    int withoutFix = 0; // fixes the receiver itself marks as none (void RMC, quality 0)
    int impossible = 0; // coordinates no place has
    // Set when the file gave nothing usable: why, in Spanish, without the file's name.
    QString error;
};

// Reads the file at path, whatever its format. False, with reading.error set, when it cannot be
// read or holds no usable timed fix. FIT files go through gpsbabel, when it is installed.
bool readTrackFile(const QString &path, TrackReading &reading);

// The same on bytes already in memory (what the fuzz target and readTrackFile share); KMZ and
// FIT are refused here, as minizip and gpsbabel open files by name.
bool readTrackBytes(QIODevice &device, TrackReading &reading);

// The format readers, each on a device positioned at the start. They add to reading and count
// what they leave out; they set no error.
void readXmlTrack(QIODevice &device, TrackReading &reading); // GPX, KML, TCX
void readNmeaTrack(QIODevice &device, TrackReading &reading);
void readIgcTrack(QIODevice &device, TrackReading &reading);
void readCsvTrack(QIODevice &device, TrackReading &reading);
void readLocationHistory(QIODevice &device, TrackReading &reading);

// "2024-05-01T10:00:00.5+02:00" and the forms logs write (a space for the T, slashes in the
// date, a missing offset, which is UTC) to milliseconds since the epoch. False when not a time.
bool parseIsoMsecs(const QByteArray &text, qint64 &msecs);

// Milliseconds since the epoch of a calendar date and a time of day in UTC; false when the date
// does not exist.
bool utcMsecsOf(int year, int month, int day, qint64 msecsOfDay, qint64 &msecs);

// A stated height, dilution or accuracy as kept; beyond what a float holds it is no value.
inline float storedFloat(double value)
{
    return std::fabs(value) <= 1e30 ? static_cast<float>(value)
                                    : std::numeric_limits<float>::quiet_NaN();
}

// Adds a point when its coordinates are a place; counts it impossible otherwise.
void addPoint(TrackReading &reading, const TrackPoint &point);
