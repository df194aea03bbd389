// Reading a photo's metadata: the capture date and time, the GPS position and heading, the
// offset, the program's own history entry and the snapshot to put back, from one parse.
#include "exivlibrary.h"

#include <QDebug>
#include <QFile>
#include <QTimeZone>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

using namespace exivlib;

namespace {

double toDouble(const Exiv2::Rational &rational)
{
    // No zero check: a 0/0 or x/0 component becomes NaN or infinity and is still a result.
    return static_cast<double>(rational.first) / rational.second;
}

// Degrees + minutes / 60 + seconds / 3600 of a three-component value; false when there are fewer.
bool readDegrees(const Exiv2::Exifdatum &datum, double &degrees)
{
    const auto value = datum.getValue();
    if (!value.get() || value->count() < 3)
        return false;
    degrees = toDouble(value->toRational(0)) + toDouble(value->toRational(1)) / 60.0 +
              toDouble(value->toRational(2)) / 3600.0;
    return true;
}

// Only a one-letter reference counts; a spelled-out "South" does not flip the sign.
bool isReference(const Exiv2::Exifdatum &datum, char upper, char lower)
{
    const std::string text = datum.toString();
    return text.size() == 1 && (text[0] == upper || text[0] == lower);
}

// Truncates or rounds into an EXIF rational part. Values outside uint32 (or NaN) only come
// from nonsense coordinates; they clamp instead of hitting an undefined conversion.
} // namespace

namespace {

// The capture date's texts, in the order they are tried. Taken inside the caller's guarded block;
// parsed outside it, so that only the library's own failures count as its errors.
struct DateTexts
{
    std::optional<std::string> exif[2];
    std::optional<std::string> xmp;
};

const char *const exifDateKeys[2] = {"Exif.Photo.DateTimeOriginal", "Exif.Image.DateTime"};
const char *const xmpDateKey = "Xmp.xmp.CreateDate";

DateTexts dateTextsOf(const Exiv2::Image &image)
{
    DateTexts texts;
    const Exiv2::ExifData &exif = image.exifData();
    for (int i = 0; i < 2 && !exif.empty(); ++i) {
        const auto it = exif.findKey(Exiv2::ExifKey(exifDateKeys[i]));
        if (it != exif.end())
            texts.exif[i] = it->toString();
    }
    const Exiv2::XmpData &xmp = image.xmpData();
    if (!xmp.empty()) {
        const auto it = xmp.findKey(Exiv2::XmpKey(xmpDateKey));
        if (it != xmp.end())
            texts.xmp = it->toString();
    }
    return texts;
}

// An unparsable EXIF date (cameras write all zeros) falls through to the next source.
bool dateFromTexts(const DateTexts &texts, QDateTime &captureDate, QString &tag)
{
    for (int i = 0; i < 2; ++i) {
        if (!texts.exif[i])
            continue;
        const QDateTime date = QDateTime::fromString(QString::fromStdString(*texts.exif[i]),
                                                     QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (date.isValid()) {
            captureDate = date;
            tag = QString::fromLatin1(exifDateKeys[i]);
            return true;
        }
    }
    if (texts.xmp) {
        const QDateTime date =
            QDateTime::fromString(QString::fromStdString(*texts.xmp), Qt::ISODate);
        if (date.isValid()) {
            captureDate = date;
            tag = QString::fromLatin1(xmpDateKey);
            return true;
        }
    }
    return false;
}

// The texts a track's capture time may come from, in the order they are tried.
struct CaptureTimeTexts
{
    std::optional<std::string> original, subSeconds, xmpOriginal, xmpCreated, iptcDate, iptcTime;
};

std::optional<std::string> textOf(const Exiv2::ExifData &exif, const char *key)
{
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? std::nullopt : std::optional<std::string>(it->toString());
}

CaptureTimeTexts captureTimeTextsOf(const Exiv2::Image &image)
{
    CaptureTimeTexts texts;
    const Exiv2::ExifData &exif = image.exifData();
    if (!exif.empty()) {
        texts.original = textOf(exif, "Exif.Photo.DateTimeOriginal");
        texts.subSeconds = textOf(exif, "Exif.Photo.SubSecTimeOriginal");
    }
    const Exiv2::XmpData &xmp = image.xmpData();
    for (auto [key, text] : {std::pair{"Xmp.exif.DateTimeOriginal", &texts.xmpOriginal},
                             std::pair{"Xmp.photoshop.DateCreated", &texts.xmpCreated}}) {
        const auto it = xmp.findKey(Exiv2::XmpKey(key));
        if (it != xmp.end())
            *text = it->toString();
    }
    const Exiv2::IptcData &iptc = image.iptcData();
    for (auto [key, text] : {std::pair{"Iptc.Application2.DateCreated", &texts.iptcDate},
                             std::pair{"Iptc.Application2.TimeCreated", &texts.iptcTime}}) {
        const auto it = iptc.findKey(Exiv2::IptcKey(key));
        if (it != iptc.end())
            *text = it->toString();
    }
    return texts;
}

// Cameras pad ASCII values with NULs or blanks.
QString trimmedText(const std::string &raw)
{
    return QString::fromStdString(raw.substr(0, raw.find('\0'))).trimmed();
}

// An ISO 8601 date and time, with the offset it states; a date alone is no moment to match.
QDateTime isoMoment(const QString &text)
{
    if (!text.contains(QLatin1Char('T')))
        return {};
    return QDateTime::fromString(text, Qt::ISODate);
}

bool captureTimeOf(const CaptureTimeTexts &texts, QDateTime &time, QString &tag);

// Whole seconds: a tag that keeps fractions states the same moment as one that does not.
QTime toSecond(const QTime &time)
{
    return QTime(time.hour(), time.minute(), time.second());
}

// A moment stated without an offset takes the one another tag states for the same wall-clock
// time (an editor writes XMP's DateCreated bare and IPTC's TimeCreated with the zone): the time
// itself says they are one reading, and the machine's zone would be a guess.
void borrowOffset(const CaptureTimeTexts &texts, QDateTime &time, QString &tag)
{
    if (time.timeSpec() != Qt::LocalTime)
        return;
    std::vector<std::pair<QDateTime, const char *>> stated;
    for (auto [text, key] : {std::pair{&texts.xmpOriginal, "Xmp.exif.DateTimeOriginal"},
                             std::pair{&texts.xmpCreated, "Xmp.photoshop.DateCreated"}})
        if (*text)
            stated.emplace_back(isoMoment(trimmedText(**text)), key);
    if (texts.iptcDate && texts.iptcTime)
        stated.emplace_back(isoMoment(trimmedText(*texts.iptcDate) + QLatin1Char('T') +
                                      trimmedText(*texts.iptcTime)),
                            "Iptc.Application2.TimeCreated");
    else if (texts.iptcTime)
        // A time without its date: the photo's own date is the day it states.
        stated.emplace_back(QDateTime::fromString(time.date().toString(Qt::ISODate) +
                                                      QLatin1Char('T') +
                                                      trimmedText(*texts.iptcTime),
                                                  Qt::ISODate),
                            "Iptc.Application2.TimeCreated");
    for (const auto &[moment, key] : stated) {
        if (!moment.isValid() || moment.timeSpec() != Qt::OffsetFromUTC ||
            moment.date() != time.date() || toSecond(moment.time()) != toSecond(time.time()))
            continue;
        time = QDateTime(time.date(), time.time(), QTimeZone(moment.offsetFromUtc()));
        tag += QStringLiteral(", desfase de ") + QString::fromLatin1(key);
        return;
    }
}

bool captureTimeFromTexts(const CaptureTimeTexts &texts, QDateTime &time, QString &tag)
{
    const bool found = captureTimeOf(texts, time, tag);
    if (found)
        borrowOffset(texts, time, tag);
    return found;
}

bool captureTimeOf(const CaptureTimeTexts &texts, QDateTime &time, QString &tag)
{
    if (texts.original) {
        QDateTime moment = QDateTime::fromString(trimmedText(*texts.original),
                                                 QStringLiteral("yyyy:MM:dd HH:mm:ss"));
        if (moment.isValid()) {
            // "45" is 0.45 s; anything but digits is no fraction.
            const QString digits = texts.subSeconds ? trimmedText(*texts.subSeconds) : QString();
            bool isNumber = false;
            const int millis = (digits + QStringLiteral("00")).left(3).toInt(&isNumber);
            if (!digits.isEmpty() && isNumber)
                moment = moment.addMSecs(millis);
            time = moment;
            tag = QStringLiteral("Exif.Photo.DateTimeOriginal");
            return true;
        }
    }
    for (auto [text, key] : {std::pair{&texts.xmpOriginal, "Xmp.exif.DateTimeOriginal"},
                             std::pair{&texts.xmpCreated, "Xmp.photoshop.DateCreated"}}) {
        const QDateTime moment = *text ? isoMoment(trimmedText(**text)) : QDateTime();
        if (moment.isValid()) {
            time = moment;
            tag = QString::fromLatin1(key);
            return true;
        }
    }
    if (texts.iptcDate && texts.iptcTime) {
        const QDateTime moment = isoMoment(trimmedText(*texts.iptcDate) + QLatin1Char('T') +
                                           trimmedText(*texts.iptcTime));
        if (moment.isValid()) {
            time = moment;
            tag = QStringLiteral("Iptc.Application2.DateCreated/TimeCreated");
            return true;
        }
    }
    return false;
}

// Latitude, longitude and direction from the GPS tags; false without a usable position. May
// throw the library's errors.
bool gpsOf(const Exiv2::ExifData &exif, double &latitude, double &longitude, double &direction)
{
    latitude = longitude = direction = 0.0;
    if (exif.empty())
        return false;
    const auto latitudeIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitude"));
    const auto latitudeRefIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLatitudeRef"));
    const auto longitudeIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLongitude"));
    const auto longitudeRefIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSLongitudeRef"));
    if (latitudeIt == exif.end() || latitudeRefIt == exif.end() || longitudeIt == exif.end() ||
        longitudeRefIt == exif.end())
        return false;

    if (!readDegrees(*latitudeIt, latitude))
        return false;
    if (isReference(*latitudeRefIt, 'S', 's'))
        latitude = -latitude;
    if (!readDegrees(*longitudeIt, longitude))
        return false;
    if (isReference(*longitudeRefIt, 'W', 'w'))
        longitude = -longitude;

    const auto directionIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSImgDirection"));
    if (directionIt != exif.end()) {
        const auto value = directionIt->getValue();
        if (value.get() && value->count() > 0)
            direction = toDouble(value->toRational(0));
    }
    return true;
}

// Exif.Photo.OffsetTimeOriginal as written, trimmed; false when absent or empty.
bool offsetOf(const Exiv2::ExifData &exif, QString &offset)
{
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.Photo.OffsetTimeOriginal"));
    if (it == exif.end())
        return false;
    // Some cameras pad the ASCII value with NULs.
    const std::string raw = it->toString();
    const QString text = QString::fromStdString(raw.substr(0, raw.find('\0'))).trimmed();
    if (text.isEmpty())
        return false;
    offset = text;
    return true;
}

// Exif.GPSInfo.GPSImgDirection in degrees, whether or not the EXIF holds a position.
bool imageDirectionOf(const Exiv2::ExifData &exif, double &direction)
{
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSImgDirection"));
    if (it == exif.end())
        return false;
    const auto value = it->getValue();
    if (!value.get() || value->count() == 0)
        return false;
    const double degrees = toDouble(value->toRational(0));
    if (!std::isfinite(degrees))
        return false;
    direction = degrees;
    return true;
}

// The moment of the last History entry written by this program; false when there is none.
bool lastOwnHistoryEntry(const Exiv2::XmpData &xmp, QDateTime &when)
{
    int latest = 0;
    std::map<int, std::string> moments;
    std::string field;
    for (const Exiv2::Xmpdatum &datum : xmp) {
        const int index = historyIndexOf(datum.key(), &field);
        if (index > latest && field == "/stEvt:softwareAgent" &&
            datum.toString().rfind("Cartaluz", 0) == 0)
            latest = index;
        else if (index > 0 && field == "/stEvt:when")
            moments[index] = datum.toString();
    }
    if (latest == 0)
        return false;
    const auto moment = moments.find(latest);
    when = moment == moments.end()
               ? QDateTime()
               : QDateTime::fromString(QString::fromStdString(moment->second), Qt::ISODate);
    return true;
}

// Exif.GPSInfo.GPSAltitude in metres, negative when GPSAltitudeRef says below sea level.
std::optional<double> altitudeOf(const Exiv2::ExifData &exif)
{
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitude"));
    if (it == exif.end())
        return std::nullopt;
    const auto value = it->getValue();
    if (!value.get() || value->count() == 0)
        return std::nullopt;
    const double metres = toDouble(value->toRational(0));
    if (!std::isfinite(metres))
        return std::nullopt;
    const auto refIt = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSAltitudeRef"));
    const bool below = refIt != exif.end() && refIt->count() > 0 && refIt->toLong(0) == 1;
    return below ? -metres : metres;
}

// Exif.GPSInfo.GPSImgDirectionRef: "T" (true north) or "M" (magnetic); empty for anything else.
QString directionReferenceOf(const Exiv2::ExifData &exif)
{
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.GPSInfo.GPSImgDirectionRef"));
    if (it == exif.end())
        return QString();
    const QString text = QString::fromStdString(it->toString()).trimmed().toUpper().left(1);
    return text == QLatin1String("T") || text == QLatin1String("M") ? text : QString();
}

const char *const dateErrorPrefix = "Error leyendo metadata para fecha de captura:";
const char *const gpsErrorPrefix = "Error leyendo EXIF:";

// A JPEG's bytes up to its first scan, where every metadata segment lies, read in growing pieces
// so that the image data is not read on the calling thread. The whole file when no scan is
// found.
QByteArray jpegHead(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QByteArray head;
    for (qint64 piece = 64 * 1024;; piece *= 2) {
        head += file.read(piece);
        if (file.atEnd() || parseJpegLayout(head).valid)
            return head;
    }
}

// The photo opened and its metadata read, or null for a file that is no photo the library may
// parse. Throws the library's errors.
std::unique_ptr<Exiv2::Image> readImage(const QString &path)
{
    auto image = openImage(qPathToNativeStdString(path));
    if (image)
        readTags(*image);
    return image;
}

} // namespace

bool readCaptureDate(const QString &path, QDateTime &captureDate)
{
    DateTexts texts;
    try {
        const auto image = readImage(path);
        if (!image)
            return false;
        texts = dateTextsOf(*image);
    } catch (const std::exception &error) {
        qDebug() << dateErrorPrefix << messageOf(error);
        return false;
    }
    QString tag;
    return dateFromTexts(texts, captureDate, tag);
}

bool readGpsData(const QString &path, double &latitude, double &longitude, double &direction)
{
    latitude = longitude = direction = 0.0;
    try {
        const auto image = readImage(path);
        return image && gpsOf(image->exifData(), latitude, longitude, direction);
    } catch (const std::exception &error) {
        qDebug() << gpsErrorPrefix << messageOf(error);
        return false;
    }
}

namespace {

// The photo's bytes as the metadata library sees them, without a copy; null for content it may
// not parse. Content it does not recognise at all gets the error opening it by path would give.
std::unique_ptr<Exiv2::Image> imageOverBytes(const QByteArray &bytes, const QString &path)
{
    initialiseLibrary();
    const auto *data = reinterpret_cast<const Exiv2::byte *>(bytes.constData());
    const long size = static_cast<long>(bytes.size());
    const int type = Exiv2::ImageFactory::getType(data, size);
    if (type != Exiv2::ImageType::none && !isPhotoType(type))
        return {};
    if (type == Exiv2::ImageType::none)
        throw Exiv2::Error(Exiv2::kerFileContainsUnknownImageType, qPathToNativeStdString(path));
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Exiv2::BasicIo::AutoPtr io(new Exiv2::MemIo(data, size));
#pragma GCC diagnostic pop
    auto image = std::unique_ptr<Exiv2::Image>(Exiv2::ImageFactory::open(io).release());
    readTags(*image);
    return image;
}

} // namespace

// One parse: the bytes when given, else the file at path.
namespace {

// The photo's own caption: the XMP description (its default language, else its first), else the
// IPTC caption, else the EXIF image description; empty when none says anything.
QString descriptionOf(const Exiv2::Image &image)
{
    const Exiv2::XmpData &xmp = image.xmpData();
    const auto xmpDescription = xmp.findKey(Exiv2::XmpKey("Xmp.dc.description"));
    if (xmpDescription != xmp.end()) {
        const auto *texts = dynamic_cast<const Exiv2::LangAltValue *>(&xmpDescription->value());
        QString text;
        if (texts && !texts->value_.empty()) {
            const auto chosen = texts->value_.find("x-default");
            text = QString::fromStdString(
                chosen != texts->value_.end() ? chosen->second : texts->value_.begin()->second);
        } else if (!texts) {
            text = QString::fromStdString(xmpDescription->toString());
        }
        if (!text.trimmed().isEmpty())
            return text.trimmed();
    }
    const Exiv2::IptcData &iptc = image.iptcData();
    const auto caption = iptc.findKey(Exiv2::IptcKey("Iptc.Application2.Caption"));
    if (caption != iptc.end() && !QString::fromStdString(caption->toString()).trimmed().isEmpty())
        return QString::fromStdString(caption->toString()).trimmed();
    const Exiv2::ExifData &exif = image.exifData();
    const auto imageDescription = exif.findKey(Exiv2::ExifKey("Exif.Image.ImageDescription"));
    if (imageDescription != exif.end())
        return QString::fromStdString(imageDescription->toString()).trimmed();
    return QString();
}

} // namespace

PhotoMetadata readMetadataOf(const QByteArray *bytes, const QString &path)
{
    PhotoMetadata found;
    std::unique_ptr<Exiv2::Image> image;
    try {
        image = bytes ? imageOverBytes(*bytes, path) : readImage(path);
        if (!image)
            return found;
        MetadataSnapshot::Containers &containers = *found.snapshot.m_containers;
        if (image->mimeType() == "image/jpeg")
            containers.jpeg = takeJpegMetadata(bytes ? *bytes : jpegHead(path));
        containers.exif = image->exifData();
        containers.iptc = image->iptcData();
        containers.xmp = image->xmpData();
        if (bytes && image->mimeType() != "image/jpeg")
            containers.formatTags = formatTagsOf(*bytes, containers.exif, containers.xmp);
    } catch (const std::exception &error) {
        found.outcome = MetadataSnapshot::Outcome::Failed;
        found.errorText = messageOf(error);
        // What the GPS reader would have said of the same file.
        qDebug() << gpsErrorPrefix << found.errorText;
        return found;
    }
    found.outcome = MetadataSnapshot::Outcome::Done;

    // Each piece fails on its own, as its own reader would.
    DateTexts texts;
    bool textsRead = false;
    try {
        texts = dateTextsOf(*image);
        textsRead = true;
    } catch (const std::exception &error) {
        qDebug() << dateErrorPrefix << messageOf(error);
    }
    if (textsRead)
        found.dateFound = dateFromTexts(texts, found.captureDate, found.dateTag);
    try {
        const CaptureTimeTexts timeTexts = captureTimeTextsOf(*image);
        found.captureTimeFound =
            captureTimeFromTexts(timeTexts, found.captureTime, found.captureTimeTag);
    } catch (const std::exception &error) {
        qDebug() << dateErrorPrefix << messageOf(error);
    }
    const Exiv2::ExifData &exif = image->exifData();
    try {
        found.gpsFound = gpsOf(exif, found.latitude, found.longitude, found.direction);
    } catch (const std::exception &error) {
        found.gpsFound = false;
        found.latitude = found.longitude = found.direction = 0.0;
        qDebug() << gpsErrorPrefix << messageOf(error);
    }
    try {
        found.tolerantGps = readGpsTolerantly(exif, image->xmpData());
    } catch (const std::exception &error) {
        found.tolerantGps = GpsReading();
        qDebug() << gpsErrorPrefix << messageOf(error);
    }
    try {
        if (!offsetOf(exif, found.captureOffset))
            found.captureOffset.clear();
        found.imageDirectionFound = imageDirectionOf(exif, found.imageDirection);
        found.altitude = altitudeOf(exif);
        found.directionReference = directionReferenceOf(exif);
        found.description = descriptionOf(*image);
    } catch (const std::exception &) {
        // As their readers: a tag that cannot be read is a tag that is not there.
        found.captureOffset.clear();
        found.imageDirectionFound = false;
        found.altitude.reset();
        found.directionReference.clear();
        found.description.clear();
    }
    try {
        found.processedByCartaluz = lastOwnHistoryEntry(image->xmpData(), found.processedWhen);
    } catch (const std::exception &error) {
        found.processedByCartaluz = false;
        found.processedWhen = QDateTime();
        qDebug() << "Error leyendo el historial XMP:" << messageOf(error);
    }
    return found;
}

PhotoMetadata readPhotoMetadata(const QString &path)
{
    return readMetadataOf(nullptr, path);
}

PhotoMetadata readPhotoMetadata(const QByteArray &bytes, const QString &path)
{
    // An empty photo, or one that could not be read: the library says why, from the file.
    return readMetadataOf(bytes.isEmpty() ? nullptr : &bytes, path);
}
