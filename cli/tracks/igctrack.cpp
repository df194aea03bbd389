// IGC flight logs: B records (UTC time, position, pressure and GNSS altitude) dated by the HFDTE
// header, in either of its two forms.
#include "trackreaders.h"

#include <QDate>
#include <QIODevice>

namespace {

bool allDigits(const QByteArray &text)
{
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return !text.isEmpty();
}

// "DDMMmmm" or "DDDMMmmm" (minutes with three decimals, no point) with its hemisphere.
bool igcCoordinate(const QByteArray &text, char hemisphere, double &degrees)
{
    if (!allDigits(text))
        return false;
    const int degreeDigits = text.size() - 5;
    const double minutes = text.mid(degreeDigits).toInt() / 1000.0;
    if (minutes >= 60.0)
        return false;
    degrees = text.left(degreeDigits).toInt() + minutes / 60.0;
    if (hemisphere == 'S' || hemisphere == 'W')
        degrees = -degrees;
    else if (hemisphere != 'N' && hemisphere != 'E')
        return false;
    return true;
}

// "HFDTE010524" (the old form) or "HFDTEDATE:010524,01" (the 2016 one): day, month, year.
bool headerDate(const QByteArray &line, int &day, int &month, int &year)
{
    QByteArray value = line.mid(5).trimmed();
    const int colon = value.indexOf(':');
    if (colon >= 0)
        value = value.mid(colon + 1);
    value = value.left(6);
    if (value.size() != 6 || !allDigits(value))
        return false;
    day = value.left(2).toInt();
    month = value.mid(2, 2).toInt();
    const int shortYear = value.mid(4, 2).toInt();
    year = shortYear < 80 ? 2000 + shortYear : 1900 + shortYear;
    return QDate(year, month, day).isValid();
}

} // namespace

void readIgcTrack(QIODevice &device, TrackReading &reading)
{
    int day = 0, month = 0, year = 0;
    bool dated = false;
    bool badDate = false;
    int dayShift = 0;
    qint64 previousTime = -1;
    int undated = 0;
    while (!device.atEnd()) {
        const QByteArray line = device.readLine(4096).trimmed();
        if (line.startsWith("HFDTE")) {
            dated = headerDate(line, day, month, year);
            badDate = !dated;
            continue;
        }
        if (!line.startsWith('B'))
            continue;
        const QByteArray time = line.mid(1, 6);
        if (line.size() < 35 || !allDigits(time)) {
            ++reading.damaged;
            continue;
        }
        TrackPoint point;
        if (!igcCoordinate(line.mid(7, 7), line[14], point.latitude) ||
            !igcCoordinate(line.mid(15, 8), line[23], point.longitude)) {
            ++reading.damaged;
            continue;
        }
        bool pressureOk = false;
        bool gnssOk = false;
        const int pressure = line.mid(25, 5).toInt(&pressureOk);
        const int gnss = line.mid(30, 5).toInt(&gnssOk);
        if (gnssOk && gnss != 0)
            point.elevation = float(gnss);
        else if (pressureOk)
            point.elevation = float(pressure);
        if (!dated) {
            ++undated;
            continue;
        }
        const qint64 ofDay =
            ((time.left(2).toInt() * 60 + time.mid(2, 2).toInt()) * 60 + time.mid(4, 2).toInt()) *
            1000LL;
        // Times are UTC and the header dates the first record: a clock that goes back has passed
        // midnight.
        if (previousTime >= 0 && ofDay < previousTime)
            ++dayShift;
        previousTime = ofDay;
        if (!utcMsecsOf(year, month, day, ofDay + dayShift * 86400000LL, point.msecs)) {
            ++reading.damaged;
            continue;
        }
        point.segmentStart = reading.points.empty();
        addPoint(reading, point);
    }
    if (reading.points.empty() && undated > 0)
        reading.error = badDate ? QStringLiteral("la cabecera HFDTE del IGC no es una fecha válida")
                                : QStringLiteral("el IGC no tiene cabecera de fecha (HFDTE)");
    else if (undated > 0)
        reading.damaged += undated;
}
