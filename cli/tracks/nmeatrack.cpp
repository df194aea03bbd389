// NMEA 0183 logs: RMC (date, time, position, validity) merged with the GGA of the same second
// (altitude, quality, satellites, HDOP); GNS and GLL where a receiver writes no RMC.
#include "trackreaders.h"

#include <QIODevice>
#include <QList>

#include <array>

namespace {

// The fields of one sentence, checksum verified: false for a line that is no sentence or fails
// it. Lines without a checksum are taken, as some loggers write none.
bool sentenceFields(QByteArray line, QList<QByteArray> &fields)
{
    line = line.trimmed();
    if (line.startsWith("\xEF\xBB\xBF"))
        line = line.mid(3);
    if (line.size() < 7 || (line[0] != '$' && line[0] != '!'))
        return false;
    const int star = line.lastIndexOf('*');
    if (star >= 0) {
        bool ok = false;
        const int stated = line.mid(star + 1).toInt(&ok, 16);
        if (!ok || line.size() - star - 1 != 2)
            return false;
        unsigned char sum = 0;
        for (int i = 1; i < star; ++i)
            sum ^= static_cast<unsigned char>(line[i]);
        if (sum != stated)
            return false;
        line.truncate(star);
    }
    fields = line.mid(1).split(',');
    return true;
}

// "hhmmss[.sss]" to milliseconds of the day, or -1.
qint64 timeOfDay(const QByteArray &text)
{
    if (text.size() < 6)
        return -1;
    bool ok = false;
    const double value = text.toDouble(&ok);
    const int hours = text.left(2).toInt();
    const int minutes = text.mid(2, 2).toInt();
    const double seconds = value - hours * 10000 - minutes * 100;
    if (!ok || !std::isfinite(value) || hours > 23 || minutes > 59 || !(seconds >= 0) ||
        seconds >= 61)
        return -1;
    return (hours * 3600 + minutes * 60) * 1000LL + std::llround(seconds * 1000.0);
}

// "ddmm.mmmm" with its hemisphere; false when either is missing or malformed.
bool coordinate(const QByteArray &value, const QByteArray &hemisphere, double &degrees)
{
    bool ok = false;
    const double raw = value.toDouble(&ok);
    if (!ok || raw < 0)
        return false;
    const double whole = std::floor(raw / 100.0);
    const double minutes = raw - whole * 100.0;
    if (minutes >= 60.0)
        return false;
    degrees = whole + minutes / 60.0;
    if (hemisphere == "S" || hemisphere == "W")
        degrees = -degrees;
    else if (hemisphere != "N" && hemisphere != "E")
        return false;
    return true;
}

// What one second of the log says, from whichever sentences gave it.
struct Epoch
{
    qint64 timeOfDay = -1;
    int date[3] = {0, 0, 0}; // day, month, year from RMC (or ZDA)
    bool hasRmc = false;
    bool rmcValid = false;
    bool hasOther = false; // GGA, GNS or GLL
    bool otherFix = false; // their quality or status says there is a fix
    bool placed = false;
    TrackPoint point;
};

class NmeaReader
{
public:
    explicit NmeaReader(TrackReading &reading)
        : m_reading(reading)
    {
    }

    void sentence(const QList<QByteArray> &f)
    {
        const QByteArray &tag = f[0];
        if (tag.size() != 5)
            return;
        const QByteArray type = tag.right(3);
        if (type == "ZDA" && f.size() >= 5) {
            const int day = f[2].toInt(), month = f[3].toInt(), year = f[4].toInt();
            if (day > 0 && month > 0 && year > 1900)
                m_lastDate = {day, month, year};
            return;
        }
        const bool rmc = type == "RMC" && f.size() >= 10;
        const bool gga = type == "GGA" && f.size() >= 10;
        const bool gns = type == "GNS" && f.size() >= 10;
        const bool gll = type == "GLL" && f.size() >= 7;
        if (!rmc && !gga && !gns && !gll)
            return;
        const qint64 time = timeOfDay(gll ? f[5] : f[1]);
        if (time < 0) {
            ++m_reading.damaged;
            return;
        }
        if (time != m_epoch.timeOfDay)
            flush();
        m_epoch.timeOfDay = time;
        const int at = gll ? 1 : rmc ? 3 : 2;
        double latitude = 0, longitude = 0;
        const bool placed =
            coordinate(f[at], f[at + 1], latitude) && coordinate(f[at + 2], f[at + 3], longitude);
        if (rmc) {
            m_epoch.hasRmc = true;
            m_epoch.rmcValid = f[2] == "A";
            const QByteArray &date = f[9];
            if (date.size() == 6) {
                const int year = date.mid(4, 2).toInt();
                // Two-digit years: receivers of the last century are long gone from the field.
                m_lastDate = {date.left(2).toInt(), date.mid(2, 2).toInt(),
                              year < 80 ? 2000 + year : 1900 + year};
            }
        } else {
            m_epoch.hasOther = true;
            if (gga) {
                m_epoch.otherFix = f[6].toInt() > 0;
                readQuality(f[7], f[8], f[9]);
            } else if (gns) {
                // One mode letter per constellation; N for all is no fix.
                m_epoch.otherFix = !f[6].isEmpty() && f[6].count('N') != f[6].size();
                readQuality(f[7], f[8], f[9]);
            } else {
                m_epoch.otherFix = f[6] == "A";
            }
        }
        if (placed && (rmc || !m_epoch.placed || !m_epoch.hasRmc)) {
            m_epoch.point.latitude = latitude;
            m_epoch.point.longitude = longitude;
            m_epoch.placed = true;
        }
        if (!placed && (rmc ? m_epoch.rmcValid : m_epoch.otherFix))
            ++m_reading.damaged;
    }

    void flush()
    {
        if (m_epoch.timeOfDay >= 0 && (m_epoch.hasRmc || m_epoch.hasOther))
            emitEpoch();
        m_epoch = Epoch();
    }

private:
    void readQuality(const QByteArray &satellites, const QByteArray &hdop,
                     const QByteArray &altitude)
    {
        bool ok = false;
        const int count = satellites.toInt(&ok);
        if (ok && count >= 0 && count < 1000)
            m_epoch.point.satellites = qint16(count);
        const double dilution = hdop.toDouble(&ok);
        if (ok)
            m_epoch.point.hdop = storedFloat(dilution);
        const double height = altitude.toDouble(&ok);
        if (ok)
            m_epoch.point.elevation = storedFloat(height);
    }

    void emitEpoch()
    {
        // A void RMC is no fix whatever the other sentences say; without RMC, their own status.
        const bool fix = m_epoch.hasRmc
                             ? m_epoch.rmcValid && (!m_epoch.hasOther || m_epoch.otherFix)
                             : m_epoch.otherFix;
        if (!fix) {
            ++m_reading.withoutFix;
            return;
        }
        if (!m_epoch.placed)
            return;
        if (m_lastDate[2] == 0) {
            ++m_undated;
            return;
        }
        qint64 msecs = 0;
        if (!utcMsecsOf(m_lastDate[2], m_lastDate[1], m_lastDate[0], m_epoch.timeOfDay, msecs)) {
            ++m_reading.damaged;
            return;
        }
        // A GGA-only log past midnight keeps the date it last saw; the clock going back a long
        // way says the day turned.
        if (!m_epoch.hasRmc && m_lastMsecs >= 0 && msecs < m_lastMsecs - 12 * 3600000LL)
            msecs += 86400000;
        m_lastMsecs = msecs;
        m_epoch.point.msecs = msecs;
        m_epoch.point.segmentStart = m_reading.points.empty();
        addPoint(m_reading, m_epoch.point);
    }

public:
    int m_undated = 0;

private:
    TrackReading &m_reading;
    Epoch m_epoch;
    std::array<int, 3> m_lastDate{0, 0, 0};
    qint64 m_lastMsecs = -1;
};

} // namespace

void readNmeaTrack(QIODevice &device, TrackReading &reading)
{
    NmeaReader reader(reading);
    QList<QByteArray> fields;
    while (!device.atEnd()) {
        const QByteArray line = device.readLine(4096);
        if (line.trimmed().isEmpty())
            continue;
        if (!sentenceFields(line, fields)) {
            ++reading.damaged;
            continue;
        }
        reader.sentence(fields);
    }
    reader.flush();
    if (reading.points.empty() && reader.m_undated > 0)
        reading.error =
            QStringLiteral("el registro NMEA no tiene fecha (ninguna frase RMC ni ZDA)");
}
