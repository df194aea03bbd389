// A phone's location history, streamed in one pass with memory bounded by nesting depth: the
// Takeout Records.json (locations[] with latitudeE7/longitudeE7/timestamp) and the 2024 on-device
// export (semanticSegments[].timelinePath[] points and rawSignals[].position). Any object that
// states a time and a position directly is a fix, which covers both without knowing their paths.
#include "trackreaders.h"

#include <QIODevice>

#include <vector>

namespace {

// What one JSON object stated directly, of the keys a fix may have.
struct Record
{
    double latitudeE7 = 0, longitudeE7 = 0;
    bool hasLatitudeE7 = false, hasLongitudeE7 = false;
    QByteArray latLng; // "40.4168234°, -3.7038123°" or "geo:40.41,-3.70"
    QByteArray time;
    qint64 timestampMs = -1;
    double accuracy = std::numeric_limits<double>::quiet_NaN();
    double altitude = std::numeric_limits<double>::quiet_NaN();
};

// A string value longer than this is no time or position; its bytes are not kept.
constexpr int maxKeptString = 256;

bool latLngOf(QByteArray text, double &latitude, double &longitude)
{
    if (text.startsWith("geo:"))
        text = text.mid(4);
    text.replace("\xC2\xB0", "");
    const int comma = text.indexOf(',');
    if (comma < 0)
        return false;
    bool latOk = false;
    bool lonOk = false;
    latitude = text.left(comma).trimmed().toDouble(&latOk);
    longitude = text.mid(comma + 1).trimmed().toDouble(&lonOk);
    return latOk && lonOk;
}

class JsonStream
{
public:
    JsonStream(QIODevice &device, TrackReading &reading)
        : m_device(device)
        , m_reading(reading)
    {
    }

    // False at a syntax error or a cut-off end.
    bool run()
    {
        if (m_device.peek(3) == "\xEF\xBB\xBF")
            m_device.skip(3);
        skipSpace();
        if (!value())
            return false;
        skipSpace();
        return peek() < 0;
    }

    qint64 offset() const { return m_consumed + m_at; }

private:
    int peek()
    {
        if (m_at >= m_buffer.size()) {
            m_consumed += m_buffer.size();
            m_buffer = m_device.read(1 << 16);
            m_at = 0;
            if (m_buffer.isEmpty())
                return -1;
        }
        return static_cast<unsigned char>(m_buffer[m_at]);
    }
    int next()
    {
        const int c = peek();
        if (c >= 0)
            ++m_at;
        return c;
    }
    void skipSpace()
    {
        for (int c = peek(); c == ' ' || c == '\n' || c == '\r' || c == '\t'; c = peek())
            ++m_at;
    }
    bool literal(const char *word)
    {
        for (const char *p = word; *p; ++p)
            if (next() != *p)
                return false;
        return true;
    }

    // Escapes are kept as written except \" and \\: no key or value a fix needs holds others.
    bool string(QByteArray &out)
    {
        out.clear();
        if (next() != '"')
            return false;
        for (;;) {
            int c = next();
            if (c < 0)
                return false;
            if (c == '"')
                return true;
            if (c == '\\') {
                c = next();
                if (c < 0)
                    return false;
            }
            if (out.size() < maxKeptString)
                out += char(c);
        }
    }

    bool number(QByteArray &out)
    {
        out.clear();
        for (int c = peek();
             c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E' || (c >= '0' && c <= '9');
             c = peek()) {
            if (out.size() < maxKeptString)
                out += char(c);
            ++m_at;
        }
        return !out.isEmpty();
    }

    // Depth is bounded so that a file of brackets cannot exhaust the stack.
    bool value(Record *owner = nullptr, const QByteArray &key = QByteArray())
    {
        if (++m_depth > 200)
            return false;
        const bool ok = valueAt(owner, key);
        --m_depth;
        return ok;
    }

    bool valueAt(Record *owner, const QByteArray &key)
    {
        skipSpace();
        const int c = peek();
        if (c == '{')
            return object();
        if (c == '[') {
            ++m_at;
            skipSpace();
            if (peek() == ']') {
                ++m_at;
                return true;
            }
            for (;;) {
                if (!value())
                    return false;
                skipSpace();
                const int d = next();
                if (d == ']')
                    return true;
                if (d != ',')
                    return false;
            }
        }
        QByteArray text;
        if (c == '"') {
            if (!string(text))
                return false;
        } else if (c == 't') {
            return literal("true");
        } else if (c == 'f') {
            return literal("false");
        } else if (c == 'n') {
            return literal("null");
        } else if (!number(text)) {
            return false;
        }
        if (owner)
            take(*owner, key, text);
        return true;
    }

    static void take(Record &record, const QByteArray &key, const QByteArray &text)
    {
        bool ok = false;
        if (key == "latitudeE7") {
            record.latitudeE7 = text.toDouble(&ok);
            record.hasLatitudeE7 = ok;
        } else if (key == "longitudeE7") {
            record.longitudeE7 = text.toDouble(&ok);
            record.hasLongitudeE7 = ok;
        } else if (key == "point" || key == "LatLng" || key == "latLng") {
            record.latLng = text;
        } else if (key == "timestamp" || key == "time") {
            record.time = text;
        } else if (key == "timestampMs") {
            record.timestampMs = text.toLongLong(&ok);
            if (!ok)
                record.timestampMs = -1;
        } else if (key == "accuracy" || key == "accuracyMeters") {
            record.accuracy = text.toDouble(&ok);
        } else if (key == "altitude" || key == "altitudeMeters") {
            const double altitude = text.toDouble(&ok);
            if (ok)
                record.altitude = altitude;
        }
    }

    bool object()
    {
        ++m_at;
        Record record;
        skipSpace();
        if (peek() == '}') {
            ++m_at;
            return true;
        }
        QByteArray key;
        for (;;) {
            skipSpace();
            if (!string(key))
                return false;
            skipSpace();
            if (next() != ':')
                return false;
            if (!value(&record, key))
                return false;
            skipSpace();
            const int d = next();
            if (d == '}')
                break;
            if (d != ',')
                return false;
        }
        fixOf(record);
        return true;
    }

    void fixOf(const Record &record)
    {
        const bool placedE7 = record.hasLatitudeE7 && record.hasLongitudeE7;
        if (!placedE7 && record.latLng.isEmpty())
            return;
        TrackPoint point;
        bool timed = record.timestampMs >= 0;
        point.msecs = record.timestampMs;
        if (!timed && !record.time.isEmpty())
            timed = parseIsoMsecs(record.time, point.msecs);
        // A place without a time (a visit's location) is no fix.
        if (!timed) {
            if (!record.time.isEmpty())
                ++m_reading.damaged;
            return;
        }
        if (placedE7) {
            point.latitude = record.latitudeE7 / 1e7;
            point.longitude = record.longitudeE7 / 1e7;
        } else if (!latLngOf(record.latLng, point.latitude, point.longitude)) {
            ++m_reading.damaged;
            return;
        }
        if (!std::isnan(record.accuracy))
            point.errorMetres = storedFloat(record.accuracy);
        if (!std::isnan(record.altitude))
            point.elevation = storedFloat(record.altitude);
        point.segmentStart = m_reading.points.empty();
        addPoint(m_reading, point);
    }

    QIODevice &m_device;
    TrackReading &m_reading;
    QByteArray m_buffer;
    int m_at = 0;
    qint64 m_consumed = 0;
    int m_depth = 0;
};

} // namespace

void readLocationHistory(QIODevice &device, TrackReading &reading)
{
    JsonStream stream(device, reading);
    if (stream.run())
        return;
    ++reading.damaged;
    if (reading.points.empty())
        reading.error = QStringLiteral("el JSON está dañado o cortado (cerca del byte %1)")
                            .arg(stream.offset());
}
