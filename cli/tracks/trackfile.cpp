// Which format a track file is in, told from its first bytes, and the formats that need more
// than a reader: KMZ (a zipped KML) and FIT (through gpsbabel).
#include "trackreaders.h"

#include <QBuffer>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <unzip.h>

namespace {

enum class Format { Xml, Kmz, Fit, Json, Nmea, Igc, Csv };

// The first line that is not blank, with the byte order mark off.
QByteArray firstLine(const QByteArray &head)
{
    QByteArray text = head.startsWith("\xEF\xBB\xBF") ? head.mid(3) : head;
    for (const QByteArray &line : text.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            return trimmed;
    }
    return QByteArray();
}

Format formatOf(const QByteArray &head)
{
    if (head.startsWith("PK\x03\x04"))
        return Format::Kmz;
    if (head.size() >= 12 && head.mid(8, 4) == ".FIT")
        return Format::Fit;
    const QByteArray line = firstLine(head);
    if (line.startsWith('<'))
        return Format::Xml;
    if (line.startsWith('{') || line.startsWith('['))
        return Format::Json;
    if (line.startsWith('$') || line.startsWith('!'))
        return Format::Nmea;
    // An IGC file opens with its A record (maker and logger) and states its date in H records.
    if (line.startsWith('A') && head.contains("\nH"))
        return Format::Igc;
    return Format::Csv;
}

const char *formatName(Format format)
{
    switch (format) {
    case Format::Xml:
        return "XML";
    case Format::Kmz:
        return "KMZ";
    case Format::Fit:
        return "FIT";
    case Format::Json:
        return "historial de ubicaciones";
    case Format::Nmea:
        return "NMEA 0183";
    case Format::Igc:
        return "IGC";
    case Format::Csv:
        return "CSV";
    }
    return "";
}

// The first KML document in a KMZ; the main one is doc.kml by convention, else the first.
bool kmlOfKmz(const QString &path, QByteArray &kml, QString &errorText)
{
    unzFile zip = unzOpen64(QFile::encodeName(path).constData());
    if (!zip) {
        errorText = QStringLiteral("el archivo KMZ está dañado (no es un ZIP legible)");
        return false;
    }
    bool found = unzLocateFile(zip, "doc.kml", 2) == UNZ_OK;
    for (int status = found ? UNZ_OK : unzGoToFirstFile(zip); !found && status == UNZ_OK;
         status = unzGoToNextFile(zip)) {
        char name[512];
        unz_file_info64 info;
        if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) ==
                UNZ_OK &&
            QByteArray(name).toLower().endsWith(".kml"))
            found = true;
    }
    bool read = false;
    if (found && unzOpenCurrentFile(zip) == UNZ_OK) {
        char buffer[65536];
        int got = 0;
        while ((got = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
            kml.append(buffer, got);
        read = got == 0;
        unzCloseCurrentFile(zip);
    }
    unzClose(zip);
    if (!found)
        errorText = QStringLiteral("el KMZ no contiene ningún documento KML");
    else if (!read)
        errorText = QStringLiteral("el KMZ está dañado (su KML no se puede descomprimir)");
    return found && read;
}

// A FIT file as GPX, through gpsbabel; the FIT format is binary and versioned, and gpsbabel
// keeps up with it.
bool gpxOfFit(const QString &path, QByteArray &gpx, QString &errorText)
{
    const QString gpsbabel = QStandardPaths::findExecutable(QStringLiteral("gpsbabel"));
    if (gpsbabel.isEmpty()) {
        errorText = QStringLiteral("es un archivo FIT, que se lee con gpsbabel; instálelo con "
                                   "«apt install gpsbabel»");
        return false;
    }
    QProcess process;
    process.start(gpsbabel,
                  {QStringLiteral("-t"), QStringLiteral("-i"), QStringLiteral("garmin_fit"),
                   QStringLiteral("-f"), path, QStringLiteral("-o"), QStringLiteral("gpx"),
                   QStringLiteral("-F"), QStringLiteral("-")});
    process.closeWriteChannel();
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        const QString detail =
            QString::fromLocal8Bit(process.readAllStandardError()).trimmed().section('\n', 0, 0);
        errorText = QStringLiteral("el archivo FIT está dañado (gpsbabel: %1)")
                        .arg(detail.isEmpty() ? process.errorString() : detail);
        return false;
    }
    gpx = process.readAllStandardOutput();
    return true;
}

bool finish(TrackReading &reading)
{
    if (!reading.points.empty() || !reading.error.isEmpty())
        return reading.error.isEmpty();
    QString left;
    if (reading.damaged)
        left = QStringLiteral("; %1 líneas o registros dañados").arg(reading.damaged);
    if (reading.withoutFix)
        left += QStringLiteral("; %1 puntos sin fix").arg(reading.withoutFix);
    if (reading.impossible)
        left += QStringLiteral("; %1 puntos con coordenadas imposibles").arg(reading.impossible);
    reading.error =
        QStringLiteral("no tiene puntos con hora y posición que se puedan usar (%1%2)")
            .arg(reading.format.isEmpty() ? QStringLiteral("formato desconocido") : reading.format,
                 left);
    return false;
}

// Reads the device as format; a container (KMZ, FIT) gives its own name to what it held.
bool readAs(Format format, QIODevice &device, TrackReading &reading,
            const QString &container = QString())
{
    switch (format) {
    case Format::Xml:
        readXmlTrack(device, reading);
        break;
    case Format::Json:
        reading.format = QStringLiteral("historial de ubicaciones");
        readLocationHistory(device, reading);
        break;
    case Format::Nmea:
        reading.format = QStringLiteral("NMEA 0183");
        readNmeaTrack(device, reading);
        break;
    case Format::Igc:
        reading.format = QStringLiteral("IGC");
        readIgcTrack(device, reading);
        break;
    case Format::Csv:
        readCsvTrack(device, reading);
        break;
    case Format::Kmz:
    case Format::Fit:
        // Both need the file itself: minizip and gpsbabel open it by name.
        reading.format = QString::fromLatin1(formatName(format));
        reading.error =
            QStringLiteral("es un archivo %1, que se lee desde un archivo").arg(reading.format);
        break;
    }
    if (!container.isEmpty() && !reading.format.isEmpty())
        reading.format = container;
    return finish(reading);
}

} // namespace

bool readTrackBytes(QIODevice &device, TrackReading &reading)
{
    return readAs(formatOf(device.peek(4096)), device, reading);
}

bool readTrackFile(const QString &path, TrackReading &reading)
{
    QFile file(path);
    const QFileInfo info(path);
    if (info.isDir()) {
        reading.error = QStringLiteral("es una carpeta, no un archivo");
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        reading.error = info.exists()
                            ? QStringLiteral("no se puede abrir (%1)").arg(file.errorString())
                            : QStringLiteral("el archivo no existe");
        return false;
    }
    if (file.size() == 0) {
        reading.error = QStringLiteral("el archivo está vacío");
        return false;
    }
    const Format format = formatOf(file.peek(4096));
    if (format != Format::Kmz && format != Format::Fit)
        return readAs(format, file, reading);
    QByteArray inner;
    const bool unpacked = format == Format::Kmz ? kmlOfKmz(path, inner, reading.error)
                                                : gpxOfFit(path, inner, reading.error);
    if (!unpacked) {
        reading.format = QString::fromLatin1(formatName(format));
        return false;
    }
    QBuffer buffer(&inner);
    buffer.open(QIODevice::ReadOnly);
    return readAs(Format::Xml, buffer, reading, QString::fromLatin1(formatName(format)));
}

bool utcMsecsOf(int year, int month, int day, qint64 msecsOfDay, qint64 &msecs)
{
    const QDate date(year, month, day);
    if (!date.isValid())
        return false;
    constexpr qint64 unixEpochJulianDay = 2440588;
    msecs = (date.toJulianDay() - unixEpochJulianDay) * 86400000 + msecsOfDay;
    return true;
}

namespace {

// Digits at text[at..at+count), or -1.
int digits(const QByteArray &text, int at, int count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

bool parseIsoMsecs(const QByteArray &raw, qint64 &msecs)
{
    const QByteArray text = raw.trimmed();
    const int year = digits(text, 0, 4);
    const int month = digits(text, 5, 2);
    const int day = digits(text, 8, 2);
    if (year < 0 || month < 0 || day < 0 || text.size() < 16)
        return false;
    const char dateSeparator = text[4];
    if ((dateSeparator != '-' && dateSeparator != '/') || text[7] != dateSeparator ||
        (text[10] != 'T' && text[10] != ' '))
        return false;
    const int hour = digits(text, 11, 2);
    const int minute = digits(text, 14, 2);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || text[13] != ':')
        return false;
    int at = 16;
    qint64 millis = 0;
    if (at < text.size() && text[at] == ':') {
        const int second = digits(text, at + 1, 2);
        if (second < 0 || second > 60)
            return false;
        millis = second * 1000;
        at += 3;
        if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
            ++at;
            int scale = 100;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
                millis += (text[at] - '0') * scale;
                scale /= 10;
                ++at;
            }
        }
    }
    qint64 offsetMinutes = 0;
    if (at < text.size()) {
        const char zone = text[at];
        if (zone == 'Z') {
            if (at + 1 != text.size())
                return false;
        } else if (zone == '+' || zone == '-') {
            const int hours = digits(text, at + 1, 2);
            const bool colon = at + 3 < text.size() && text[at + 3] == ':';
            const int minutes = at + 3 == text.size() ? 0 : digits(text, at + (colon ? 4 : 3), 2);
            if (hours < 0 || hours > 14 || minutes < 0 || minutes > 59 ||
                at + 3 + (at + 3 == text.size() ? 0 : (colon ? 3 : 2)) != text.size())
                return false;
            offsetMinutes = (zone == '-' ? -1 : 1) * (hours * 60 + minutes);
        } else {
            return false;
        }
    }
    return utcMsecsOf(year, month, day, (hour * 60 + minute - offsetMinutes) * 60000 + millis,
                      msecs);
}

void addPoint(TrackReading &reading, const TrackPoint &point)
{
    // A receiver without a fix writes placeholders some of which no place has; they would drag
    // interpolated positions off the map.
    if (!(std::fabs(point.latitude) <= 90.0 && std::fabs(point.longitude) <= 180.0)) {
        ++reading.impossible;
        return;
    }
    reading.points.push_back(point);
}
