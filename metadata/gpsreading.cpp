// Tolerant GPS reading: each stored form read as what it says, or counted missing with a reason,
// never read as something else.
#include "gpsreading.h"

#include <QRegularExpression>
#include <QStringList>

#include <exiv2/exiv2.hpp>

#include <cmath>

namespace {

QString textOf(const Exiv2::Value &value)
{
    const std::string raw = value.toString();
    return QString::fromStdString(raw.substr(0, raw.find('\0'))).trimmed();
}

// Degrees, minutes and seconds as three numbers; minutes and seconds below 60.
bool fromParts(const QList<double> &parts, double &degrees)
{
    if (parts.isEmpty() || parts.size() > 3)
        return false;
    for (int i = 1; i < parts.size(); ++i)
        if (!(parts[i] >= 0.0 && parts[i] < 60.0))
            return false;
    degrees = parts[0] + parts.value(1) / 60.0 + parts.value(2) / 3600.0;
    return std::isfinite(degrees);
}

// Three rationals. A 0/0 seconds part next to valid degrees and minutes is a camera's way of
// writing decimal minutes; a 0/0 degree or minute leaves the coordinate missing.
bool fromRationals(const Exiv2::Value &value, double &degrees, QString &reason)
{
    if (value.count() < 3) {
        reason = QStringLiteral("coordenada GPS incompleta");
        return false;
    }
    QList<double> parts;
    for (int i = 0; i < 3; ++i) {
        const Exiv2::Rational part = value.toRational(i);
        // Any other zero denominator gives NaN, which the run reports as no position.
        if (part.second == 0 && !(i == 2 && part.first == 0)) {
            degrees = qQNaN();
            return true;
        }
        parts << (part.second == 0 ? 0.0 : double(part.first) / part.second);
    }
    if (fromParts(parts, degrees))
        return true;
    reason = QStringLiteral("coordenada GPS fuera de rango");
    return false;
}

bool coordinateOf(const Exiv2::Exifdatum &datum, double &degrees, QString &reason)
{
    const auto value = datum.getValue();
    if (!value.get())
        return false;
    if (value->typeId() == Exiv2::unsignedRational || value->typeId() == Exiv2::signedRational)
        return fromRationals(*value, degrees, reason);
    if (coordinateFromText(textOf(*value), degrees))
        return true;
    reason =
        QStringLiteral("coordenada GPS de tipo %1 ilegible: «%2»")
            .arg(QString::fromLatin1(Exiv2::TypeInfo::typeName(value->typeId())), textOf(*value));
    return false;
}

// "52,50.57N", "0,4.216S" or "52,50,34.08N": degrees, minutes (and seconds), then the reference.
bool xmpCoordinate(const QString &text, QChar negative, double &degrees)
{
    if (text.size() < 2)
        return false;
    const QChar reference = text.back().toUpper();
    const QStringList fields = text.chopped(1).split(QLatin1Char(','));
    QList<double> parts;
    for (const QString &field : fields) {
        bool ok = false;
        parts << field.trimmed().toDouble(&ok);
        if (!ok)
            return false;
    }
    if (!fromParts(parts, degrees) || !QStringLiteral("NSEW").contains(reference))
        return false;
    if (reference == negative)
        degrees = -degrees;
    return true;
}

// "1763/10" or "176.3".
bool xmpNumber(const QString &text, double &number)
{
    const QStringList parts = text.split(QLatin1Char('/'));
    bool ok = false, denominatorOk = true;
    number = parts[0].toDouble(&ok);
    if (parts.size() == 2) {
        const double denominator = parts[1].toDouble(&denominatorOk);
        denominatorOk = denominatorOk && denominator != 0.0;
        number = denominatorOk ? number / denominator : 0.0;
    }
    return ok && denominatorOk && parts.size() <= 2;
}

QString xmpText(const Exiv2::XmpData &xmp, const char *key)
{
    const auto it = xmp.findKey(Exiv2::XmpKey(key));
    return it == xmp.end() ? QString() : QString::fromStdString(it->toString()).trimmed();
}

const Exiv2::Exifdatum *exifDatum(const Exiv2::ExifData &exif, const char *key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? nullptr : &*it;
}

bool isLetter(const Exiv2::Exifdatum *datum, char letter)
{
    return datum && textOf(datum->value()).toUpper() == QLatin1Char(letter);
}

void readExifPosition(const Exiv2::ExifData &exif, GpsReading &reading)
{
    const Exiv2::Exifdatum *latitude = exifDatum(exif, "Exif.GPSInfo.GPSLatitude");
    const Exiv2::Exifdatum *longitude = exifDatum(exif, "Exif.GPSInfo.GPSLongitude");
    if (!latitude || !longitude)
        return;
    if (!coordinateOf(*latitude, reading.latitude, reading.reason) ||
        !coordinateOf(*longitude, reading.longitude, reading.reason))
        return;
    if (isLetter(exifDatum(exif, "Exif.GPSInfo.GPSLatitudeRef"), 'S'))
        reading.latitude = -reading.latitude;
    if (isLetter(exifDatum(exif, "Exif.GPSInfo.GPSLongitudeRef"), 'W'))
        reading.longitude = -reading.longitude;
    reading.found = true;
}

void readXmpPosition(const Exiv2::XmpData &xmp, GpsReading &reading)
{
    double latitude = 0.0, longitude = 0.0;
    if (!xmpCoordinate(xmpText(xmp, "Xmp.exif.GPSLatitude"), QLatin1Char('S'), latitude) ||
        !xmpCoordinate(xmpText(xmp, "Xmp.exif.GPSLongitude"), QLatin1Char('W'), longitude))
        return;
    reading = GpsReading();
    reading.found = reading.fromXmp = true;
    reading.latitude = latitude;
    reading.longitude = longitude;
    double direction = 0.0;
    if (xmpNumber(xmpText(xmp, "Xmp.exif.GPSImgDirection"), direction)) {
        reading.directionFound = true;
        reading.direction = direction;
        reading.directionMagnetic = xmpText(xmp, "Xmp.exif.GPSImgDirectionRef") == "M";
    }
}

} // namespace

bool coordinateFromText(const QString &text, double &degrees)
{
    // Six comma-separated fields: each pair a number with a decimal comma.
    const QStringList fields = text.trimmed().split(QLatin1Char(','));
    if (fields.size() == 6) {
        QList<double> parts;
        for (int i = 0; i < 6; i += 2) {
            bool ok = false;
            parts << (fields[i] + QLatin1Char('.') + fields[i + 1]).toDouble(&ok);
            if (!ok)
                return false;
        }
        return fromParts(parts, degrees);
    }
    // Commas both separating and decimal cannot be told apart.
    if (fields.size() > 2)
        return false;
    // Each number may have a decimal point or comma; anything else separates them.
    static const QRegularExpression number(QStringLiteral("[0-9]+(?:[.,][0-9]+)?"));
    QList<double> parts;
    QString rest = text;
    for (auto match = number.globalMatch(text); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        parts << found.captured().replace(QLatin1Char(','), QLatin1Char('.')).toDouble();
        rest.replace(found.captured(), QStringLiteral(" "));
    }
    // Only separators and unit marks may be left over.
    static const QRegularExpression separators(QStringLiteral("^[\\s°º'\"′″NSEWnsew]*$"));
    return separators.match(rest).hasMatch() && fromParts(parts, degrees);
}

GpsReading readGpsTolerantly(const Exiv2::ExifData &exif, const Exiv2::XmpData &xmp)
{
    GpsReading reading;
    readExifPosition(exif, reading);
    if (const Exiv2::Exifdatum *direction = exifDatum(exif, "Exif.GPSInfo.GPSImgDirection")) {
        if (direction->count() > 0 && direction->toRational(0).second != 0) {
            reading.directionFound = true;
            reading.direction = direction->toFloat(0);
            reading.directionMagnetic =
                isLetter(exifDatum(exif, "Exif.GPSInfo.GPSImgDirectionRef"), 'M');
        }
    }
    const Exiv2::Exifdatum *error = exifDatum(exif, "Exif.GPSInfo.GPSHPositioningError");
    if (error && error->count() > 0 && error->toRational(0).second != 0)
        reading.positioningErrorMetres = error->toFloat(0);
    if (!reading.found)
        readXmpPosition(xmp, reading);
    return reading;
}
