// CSV logs: a header naming the time, latitude and longitude columns in English or Spanish, or
// separate date and time columns as gpsbabel's unicsv writes them.
#include "trackreaders.h"

#include <QIODevice>
#include <QList>

namespace {

QList<QByteArray> splitRow(const QByteArray &line, char separator)
{
    QList<QByteArray> fields;
    QByteArray field;
    bool quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (c == separator && !quoted) {
            fields << field.trimmed();
            field.clear();
        } else if (c != '\r' && c != '\n') {
            field += c;
        }
    }
    fields << field.trimmed();
    return fields;
}

// Header names compared in lower case, accents off, units in brackets left out.
QString columnKey(const QByteArray &name)
{
    QString key = QString::fromUtf8(name).toLower().trimmed();
    key = key.section(QLatin1Char('('), 0, 0).section(QLatin1Char('['), 0, 0).trimmed();
    key.replace(QChar(0xE1), QLatin1Char('a')).replace(QChar(0xE9), QLatin1Char('e'));
    key.replace(QChar(0xED), QLatin1Char('i')).replace(QChar(0xF3), QLatin1Char('o'));
    return key;
}

struct Columns
{
    int moment = -1; // a whole date and time, or the time of day next to date
    int date = -1;
    int latitude = -1;
    int longitude = -1;
    int elevation = -1;
    int hdop = -1;
    int satellites = -1;
    int fix = -1;
};

Columns columnsOf(const QList<QByteArray> &header)
{
    static const QStringList moments{"time",      "hora",       "datetime",   "date time",
                                     "date_time", "timestamp",  "fecha_hora", "fecha y hora",
                                     "fechahora", "fecha/hora", "tiempo",     "utc"};
    static const QStringList dates{"date", "fecha", "dia"};
    static const QStringList latitudes{"lat", "latitude", "latitud"};
    static const QStringList longitudes{"lon", "lng", "long", "longitude", "longitud"};
    static const QStringList elevations{"ele",       "alt",       "altitude", "altitud",
                                        "elevation", "elevacion", "altura"};
    static const QStringList satellites{"sats", "sat", "satellites", "satelites", "numsats"};
    Columns columns;
    for (int i = 0; i < header.size(); ++i) {
        const QString key = columnKey(header[i]);
        const auto take = [&](const QStringList &names, int &column) {
            if (column < 0 && names.contains(key))
                column = i;
        };
        take(moments, columns.moment);
        take(dates, columns.date);
        take(latitudes, columns.latitude);
        take(longitudes, columns.longitude);
        take(elevations, columns.elevation);
        take(satellites, columns.satellites);
        if (key == QLatin1String("hdop"))
            columns.hdop = i;
        if (key == QLatin1String("fix"))
            columns.fix = i;
    }
    // A lone date column may hold the whole moment ("fecha" 2024-05-01 10:00:00).
    if (columns.moment < 0)
        std::swap(columns.moment, columns.date);
    return columns;
}

bool numberOf(QByteArray text, char separator, double &value)
{
    if (separator != ',')
        text.replace(',', '.');
    bool ok = false;
    value = text.toDouble(&ok);
    return ok;
}

} // namespace

void readCsvTrack(QIODevice &device, TrackReading &reading)
{
    QByteArray header = device.readLine(65536);
    if (header.startsWith("\xEF\xBB\xBF"))
        header = header.mid(3);
    const char separator = header.count(';') > header.count(',')    ? ';'
                           : header.count('\t') > header.count(',') ? '\t'
                                                                    : ',';
    const Columns columns = columnsOf(splitRow(header, separator));
    if (columns.moment < 0 || columns.latitude < 0 || columns.longitude < 0) {
        reading.error = QStringLiteral(
            "no es un formato de track reconocido (ni GPX, KML, TCX, NMEA, IGC, FIT o historial "
            "de ubicaciones, ni un CSV cuya primera línea nombre las columnas de hora, latitud y "
            "longitud)");
        return;
    }
    reading.format = QStringLiteral("CSV");
    const int needed =
        std::max({columns.moment, columns.date, columns.latitude, columns.longitude}) + 1;
    while (!device.atEnd()) {
        const QByteArray line = device.readLine(65536);
        if (line.trimmed().isEmpty())
            continue;
        const QList<QByteArray> f = splitRow(line, separator);
        if (f.size() < needed) {
            ++reading.damaged;
            continue;
        }
        TrackPoint point;
        bool timed = parseIsoMsecs(f[columns.moment], point.msecs);
        if (!timed && columns.date >= 0)
            timed = parseIsoMsecs(f[columns.date] + 'T' + f[columns.moment], point.msecs);
        if (!timed || !numberOf(f[columns.latitude], separator, point.latitude) ||
            !numberOf(f[columns.longitude], separator, point.longitude)) {
            ++reading.damaged;
            continue;
        }
        const auto optional = [&](int column, double &value) {
            return column >= 0 && column < f.size() && numberOf(f[column], separator, value);
        };
        double value = 0;
        if (optional(columns.elevation, value))
            point.elevation = storedFloat(value);
        if (optional(columns.hdop, value))
            point.hdop = storedFloat(value);
        if (optional(columns.satellites, value) && value >= 0 && value < 1000)
            point.satellites = qint16(value);
        if (columns.fix >= 0 && columns.fix < f.size() && f[columns.fix].toLower() == "none") {
            ++reading.withoutFix;
            continue;
        }
        point.segmentStart = reading.points.empty();
        addPoint(reading, point);
    }
}
