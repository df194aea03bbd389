// Photo metadata through Exiv2: native paths, the capture date and GPS readers, the UTM writer
// and the snapshot that carries EXIF, IPTC and XMP across a re-encoding.
#include "photometadata.h"

#include "jpegsegments.h"
#include "segmentwriter.h"
#include "utm.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <optional>

namespace {

// The long-path form "\\?\" is Windows path syntax; native paths elsewhere begin with '/'.
#ifdef Q_OS_WIN
constexpr bool needsLongPathPrefix = true;
#else
constexpr bool needsLongPathPrefix = false;
#endif

QString withLongPathPrefix(const QString &nativePath)
{
    // Already long, or a network path (\\server\share): left as it is.
    if (nativePath.startsWith(QLatin1String("\\\\?\\")) ||
        nativePath.startsWith(QLatin1String("\\\\")))
        return nativePath;
    return QLatin1String("\\\\?\\") + nativePath;
}

// The library's warnings ("Directory GPSInfo, entry ... has unknown type") join the program's
// own warning output instead of going straight to stderr.
void forwardLibraryMessage(int, const char *message)
{
    qWarning().noquote() << QString::fromUtf8(message).trimmed();
}

// Process-wide set-up of the library, done once before its first use from any thread. The XMP
// toolkit's namespace registrations are taken under a lock of its own.
void initialiseLibrary()
{
    static std::once_flag once;
    static std::recursive_mutex xmpLock;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize(
            [](void *lock, bool acquire) {
                auto *mutex = static_cast<std::recursive_mutex *>(lock);
                if (acquire)
                    mutex->lock();
                else
                    mutex->unlock();
            },
            &xmpLock);
        Exiv2::LogMsg::setHandler(forwardLibraryMessage);
    });
}

// The library keeps one process-wide table of XMP namespaces. Reading a photo adds those it does
// not know yet (drones, phones and editors bring their own), under the library's lock; writing XMP
// walks the whole table without that lock. A read on the calling thread and a write on a worker
// then race, so every parse and every write of a photo's tags goes under this one lock. Looking
// tags up and changing them in memory stay outside it.
std::mutex metadataLock;

void readTags(Exiv2::Image &image)
{
    const std::lock_guard<std::mutex> lock(metadataLock);
    image.readMetadata();
}

void writeTags(Exiv2::Image &image)
{
    const std::lock_guard<std::mutex> lock(metadataLock);
    image.writeMetadata();
}

// Only these contents reach the library's parsers. It also recognises video and audio
// containers, raw formats and the like, and some of those parsers hang or crash on damaged
// data, so a clip that merely wears a photo's name counts as no image.
bool isPhotoType(int type)
{
    return type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::tiff ||
           type == Exiv2::ImageType::png;
}

// Exiv2 0.27 hands images out as std::auto_ptr; taking ownership here keeps that deprecated
// type out of the rest of the file. Content the library does not recognise at all still goes to
// its factory, which reports it (or a file that cannot be opened) by its own error.
std::unique_ptr<Exiv2::Image> openImage(const std::string &nativePath)
{
    initialiseLibrary();
    {
        Exiv2::FileIo file(nativePath);
        const int type = Exiv2::ImageFactory::getType(file);
        if (type != Exiv2::ImageType::none && !isPhotoType(type))
            return {};
    }
    // useCurl only matters for URLs, never for our paths.
    return std::unique_ptr<Exiv2::Image>(Exiv2::ImageFactory::open(nativePath, true).release());
}

// A whole file, read the way the library's factory opens files, so that a missing or unreadable
// file gives the same error as opening it by path would.
QByteArray readWholeFile(const std::string &nativePath)
{
    Exiv2::FileIo file(nativePath);
    if (file.open() != 0)
        throw Exiv2::Error(Exiv2::kerDataSourceOpenFailed, file.path(), Exiv2::strError());
    QByteArray bytes(static_cast<qsizetype>(file.size()), Qt::Uninitialized);
    if (file.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), static_cast<long>(bytes.size())) !=
        static_cast<long>(bytes.size()))
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    return bytes;
}

// An image object over a private copy of bytes held in memory: the library writes some formats
// (TIFF) in place into the buffer it was given, which must not be the caller's. Same gate as
// openImage; null also for content the library does not know.
std::unique_ptr<Exiv2::Image> openBytes(const QByteArray &bytes)
{
    initialiseLibrary();
    const auto *data = reinterpret_cast<const Exiv2::byte *>(bytes.constData());
    const long size = static_cast<long>(bytes.size());
    if (!isPhotoType(Exiv2::ImageFactory::getType(data, size)))
        return {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The only factory entry that takes an I/O object wants the library's deprecated pointer.
    Exiv2::BasicIo::AutoPtr io(new Exiv2::MemIo);
#pragma GCC diagnostic pop
    if (io->write(data, size) != size)
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    return std::unique_ptr<Exiv2::Image>(Exiv2::ImageFactory::open(io).release());
}

// A file to be changed, read whole into bytes. Opened by path first, so that a missing,
// unreadable or unknown file gives the library's own error and a disguised one no image.
std::unique_ptr<Exiv2::Image> openFileInMemory(const std::string &nativePath, QByteArray &bytes)
{
    if (!openImage(nativePath))
        return {};
    bytes = readWholeFile(nativePath);
    return openBytes(bytes);
}

// The file as the library left it after writeTags on an image made by openBytes.
QByteArray bytesOf(Exiv2::Image &image)
{
    Exiv2::BasicIo &io = image.io();
    if (io.open() != 0)
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    QByteArray bytes(static_cast<qsizetype>(io.size()), Qt::Uninitialized);
    const long read =
        io.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), static_cast<long>(bytes.size()));
    io.close();
    if (read != static_cast<long>(bytes.size()))
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    return bytes;
}

// What lies at the path is always either the complete old file or the complete new one.
bool replaceFile(const QString &path, const QByteArray &bytes, QString &errorText)
{
    QSaveFile file(path);
    // Flushed first: Qt 6.4's commit does not report a failure to write what it still buffers.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
        file.commit())
        return true;
    errorText = file.errorString();
    return false;
}

// Any standard exception from inside a library call is that library's error: on malformed tags
// Exiv2 also throws overflow_error, out_of_range or bad_alloc, and one bad photo must not end
// the run. Exiv2::Error derives from std::exception.
QString messageOf(const std::exception &error)
{
    return QString::fromUtf8(error.what());
}

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
uint32_t toRationalPart(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= static_cast<double>(std::numeric_limits<uint32_t>::max()))
        return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(value);
}

// Degrees and minutes are truncated, seconds rounded to thousandths. Nothing is carried, so a
// value just below a whole minute is written as 60000/1000 seconds.
Exiv2::URationalValue toDms(double angle)
{
    const double v = std::fabs(angle);
    const uint32_t degrees = toRationalPart(v);
    const double f = v - degrees;
    const uint32_t minutes = toRationalPart(f * 60.0);
    const double seconds = (f - minutes / 60.0) * 3600.0;
    Exiv2::URationalValue dms;
    dms.value_.push_back({degrees, 1});
    dms.value_.push_back({minutes, 1});
    dms.value_.push_back({toRationalPart(std::round(seconds * 1000.0)), 1000});
    return dms;
}

// The direction is meant to lie in 0..360. Anything else is a heading given in another turn
// (-45 is 315), so it is wrapped into 0..360 rather than clamped; a NaN or infinite direction
// has no heading at all and is not written.
bool normalisedDirection(double direction, double &degrees)
{
    if (!std::isfinite(direction))
        return false;
    degrees = direction;
    if (degrees < 0.0 || degrees > 360.0) {
        degrees = std::fmod(degrees, 360.0);
        if (degrees < 0.0)
            degrees += 360.0;
    }
    return true;
}

} // namespace

std::string qPathToNativeStdString(const QString &path)
{
    const QString absolutePath = QFileInfo(path).absoluteFilePath();
    if (absolutePath.isEmpty()) {
        qWarning() << "qPathToNativeStdString: No se pudo obtener la ruta absoluta para:" << path;
        return {};
    }
    QString nativePath = QDir::toNativeSeparators(absolutePath);
    if (needsLongPathPrefix)
        nativePath = withLongPathPrefix(nativePath);
    const QByteArray utf8 = nativePath.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

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

bool captureTimeFromTexts(const CaptureTimeTexts &texts, QDateTime &time, QString &tag)
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

const char *const historyKey = "Xmp.xmpMM.History";

// The position of the History item a key belongs to ("Xmp.xmpMM.History[3]/stEvt:when" gives
// 3), 0 for any other key.
int historyIndexOf(const std::string &key, std::string *field = nullptr)
{
    static const std::string prefix = std::string(historyKey) + '[';
    if (key.compare(0, prefix.size(), prefix) != 0)
        return 0;
    const size_t close = key.find(']', prefix.size());
    const std::string digits = key.substr(prefix.size(), close - prefix.size());
    if (close == std::string::npos || digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    if (field)
        *field = key.substr(close + 1);
    return std::stoi(digits);
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

struct MetadataSnapshot::Containers
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
    // A source JPEG's own segments go back byte for byte into a JPEG written from it; only a
    // container the run changed is written anew, into its segment alone.
    JpegMetadata jpeg;
    bool exifChanged = false;
    bool xmpChanged = false;
};

PhotoMetadata readPhotoMetadata(const QString &path)
{
    PhotoMetadata found;
    std::unique_ptr<Exiv2::Image> image;
    try {
        image = readImage(path);
        if (!image)
            return found;
        MetadataSnapshot::Containers &containers = *found.snapshot.m_containers;
        if (image->mimeType() == "image/jpeg")
            containers.jpeg = takeJpegMetadata(jpegHead(path));
        containers.exif = image->exifData();
        containers.iptc = image->iptcData();
        containers.xmp = image->xmpData();
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
        if (!offsetOf(exif, found.captureOffset))
            found.captureOffset.clear();
        found.imageDirectionFound = imageDirectionOf(exif, found.imageDirection);
        found.altitude = altitudeOf(exif);
        found.directionReference = directionReferenceOf(exif);
    } catch (const std::exception &) {
        // As their readers: a tag that cannot be read is a tag that is not there.
        found.captureOffset.clear();
        found.imageDirectionFound = false;
        found.altitude.reset();
        found.directionReference.clear();
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

namespace {

Exiv2::Value::AutoPtr bytesValue(const char *text)
{
    auto value = Exiv2::Value::create(Exiv2::unsignedByte);
    value->read(text);
    return value;
}

// The one place GPS tags are set, through keyed access, so existing tags of those keys are
// replaced and every other tag stays. The position, then the direction: the order the UTM
// writer has always set them in.
void putGpsTags(Exiv2::ExifData &exif, const GpsTags &tags)
{
    if (tags.versionAndDatum) {
        // Readers that look for the GPS block by its version find ours too.
        const Exiv2::ExifKey versionKey("Exif.GPSInfo.GPSVersionID");
        if (exif.findKey(versionKey) == exif.end())
            exif.add(versionKey, bytesValue("2 2 0 0").get());
    }
    exif["Exif.GPSInfo.GPSLatitudeRef"] = std::string(tags.latitude >= 0.0 ? "N" : "S");
    exif["Exif.GPSInfo.GPSLatitude"] = toDms(tags.latitude);
    exif["Exif.GPSInfo.GPSLongitudeRef"] = std::string(tags.longitude >= 0.0 ? "E" : "W");
    exif["Exif.GPSInfo.GPSLongitude"] = toDms(tags.longitude);
    if (tags.direction) {
        Exiv2::URationalValue hundredths;
        hundredths.value_.push_back({toRationalPart(std::round(*tags.direction * 100.0)), 100});
        exif["Exif.GPSInfo.GPSImgDirection"] = hundredths;
        exif["Exif.GPSInfo.GPSImgDirectionRef"] = std::string("T");
    }
    if (tags.altitude && std::isfinite(*tags.altitude)) {
        exif["Exif.GPSInfo.GPSAltitudeRef"] = *bytesValue(*tags.altitude < 0.0 ? "1" : "0");
        Exiv2::URationalValue centimetres;
        centimetres.value_.push_back(
            {toRationalPart(std::round(std::fabs(*tags.altitude) * 100.0)), 100});
        exif["Exif.GPSInfo.GPSAltitude"] = centimetres;
    }
    if (tags.time.isValid()) {
        const QDateTime utc = tags.time.toUTC();
        const QTime clock = utc.time();
        Exiv2::URationalValue hms;
        hms.value_.push_back({uint32_t(clock.hour()), 1});
        hms.value_.push_back({uint32_t(clock.minute()), 1});
        hms.value_.push_back({uint32_t(clock.second() * 1000 + clock.msec()), 1000});
        exif["Exif.GPSInfo.GPSTimeStamp"] = hms;
        exif["Exif.GPSInfo.GPSDateStamp"] =
            utc.date().toString(QStringLiteral("yyyy:MM:dd")).toStdString();
    }
    if (tags.versionAndDatum)
        exif["Exif.GPSInfo.GPSMapDatum"] = std::string("WGS-84");
}

// The UTM write on a photo held in bytes (read first from the file when fromFile is set). True
// when bytes then hold the changed photo; otherwise its line has been logged.
bool putUtmTags(QByteArray &bytes, bool fromFile, const QString &path, int zoneNumber,
                char zoneLetter, double easting, double northing, double direction,
                bool writeDirection, const LogSink &log)
{
    const GeoPosition position = utmToLatLon(zoneNumber, zoneLetter, easting, northing);
    const std::string nativePath = qPathToNativeStdString(path);
    log(Severity::Information, QStringLiteral("Intentando escribir UTM EXIF en (nativo): ") +
                                   QString::fromStdString(nativePath));
    const auto reportError = [&](const std::exception &error) {
        log(Severity::Error, QStringLiteral("Error al escribir EXIF en ") + path +
                                 QStringLiteral(": ") + messageOf(error));
        return false;
    };

    std::unique_ptr<Exiv2::Image> image;
    Exiv2::ExifData exif;
    bool segmentOnly = false; // a JPEG: its EXIF segment alone is rewritten
    try {
        image = fromFile ? openFileInMemory(nativePath, bytes) : openBytes(bytes);
        if (image)
            segmentOnly = readJpegExif(bytes, exif);
        if (image && !segmentOnly) {
            readTags(*image);
            exif = image->exifData();
        }
    } catch (const std::exception &error) {
        return reportError(error);
    }
    if (!image) {
        log(Severity::Error,
            QStringLiteral("Error al abrir la imagen para escribir EXIF: ") + path);
        return false;
    }
    if (exif.empty())
        log(Severity::Information, QStringLiteral("No hay metadata EXIF para escribir en ") + path +
                                       QStringLiteral(". Se creará."));

    try {
        GpsTags tags;
        tags.latitude = position.latitude;
        tags.longitude = position.longitude;
        double degrees = 0.0;
        if (writeDirection && normalisedDirection(direction, degrees))
            tags.direction = degrees;
        putGpsTags(exif, tags);
        if (segmentOnly && putJpegExif(bytes, exif))
            return true;
        image->setExifData(exif);
        writeTags(*image);
        QByteArray changed = bytesOf(*image);
        image.reset();
        bytes = std::move(changed);
    } catch (const std::exception &error) {
        return reportError(error);
    }
    return true;
}

} // namespace

// The file is read whole, changed in memory and put back by one rename, so a crash or a full
// disk never leaves a truncated photo.
void writeUtmToExif(const QString &path, int zoneNumber, char zoneLetter, double easting,
                    double northing, double direction, bool writeDirection, LogCallback log)
{
    QByteArray bytes;
    if (!putUtmTags(bytes, true, path, zoneNumber, zoneLetter, easting, northing, direction,
                    writeDirection, textOnly(log)))
        return;
    QString errorText;
    if (!replaceFile(path, bytes, errorText))
        log(QStringLiteral("Error al escribir EXIF en ") + path + QStringLiteral(": ") + errorText);
}

bool writeUtmToExif(QByteArray &encoded, const QString &path, int zoneNumber, char zoneLetter,
                    double easting, double northing, double direction, bool writeDirection,
                    const LogSink &log)
{
    return putUtmTags(encoded, false, path, zoneNumber, zoneLetter, easting, northing, direction,
                      writeDirection, log);
}

MetadataSnapshot::MetadataSnapshot()
    : m_containers(std::make_unique<Containers>())
{
}
MetadataSnapshot::~MetadataSnapshot() = default;

MetadataSnapshot::MetadataSnapshot(MetadataSnapshot &&) noexcept = default;
MetadataSnapshot &MetadataSnapshot::operator=(MetadataSnapshot &&) noexcept = default;

MetadataSnapshot::Outcome MetadataSnapshot::takeFrom(const QString &path, QDateTime &captureDate,
                                                     bool &dateFound, QString &errorText)
{
    PhotoMetadata found = readPhotoMetadata(path);
    *this = std::move(found.snapshot);
    dateFound = found.dateFound;
    if (found.dateFound)
        captureDate = found.captureDate;
    if (found.outcome == Outcome::Failed)
        errorText = found.errorText;
    return found.outcome;
}

// Read whole, changed in memory and put back by one rename (see writeUtmToExif).
MetadataSnapshot::Outcome MetadataSnapshot::restoreInto(const QString &path,
                                                        QString &errorText) const
{
    QByteArray bytes;
    try {
        if (!openFileInMemory(qPathToNativeStdString(path), bytes))
            return Outcome::NoImage;
    } catch (const std::exception &error) {
        errorText = messageOf(error);
        return Outcome::Failed;
    }
    const Outcome outcome = restoreInto(bytes, errorText);
    if (outcome == Outcome::Done && !replaceFile(path, bytes, errorText))
        return Outcome::Failed;
    return outcome;
}

MetadataSnapshot::Outcome MetadataSnapshot::restoreInto(QByteArray &encoded,
                                                        QString &errorText) const
{
    try {
        const Containers &c = *m_containers;
        bool spliced = false;
        {
            // A changed XMP packet is serialised, which walks the namespace table.
            std::unique_lock<std::mutex> lock(metadataLock, std::defer_lock);
            if (c.xmpChanged)
                lock.lock();
            spliced = restoreJpegSegments(encoded, c.jpeg, c.exifChanged ? &c.exif : nullptr,
                                          c.xmpChanged ? &c.xmp : nullptr);
        }
        if (spliced)
            return Outcome::Done;
        auto image = openBytes(encoded);
        if (!image)
            return Outcome::NoImage;
        readTags(*image);
        // Whole containers go back, so tags describing the old image (its size, its thumbnail)
        // keep the values of the unchanged photo.
        image->setExifData(m_containers->exif);
        image->setIptcData(m_containers->iptc);
        image->setXmpData(m_containers->xmp);
        writeTags(*image);
        QByteArray changed = bytesOf(*image);
        image.reset();
        encoded = std::move(changed);
        return Outcome::Done;
    } catch (const std::exception &error) {
        errorText = messageOf(error);
        return Outcome::Failed;
    }
}

bool MetadataSnapshot::isEmpty() const
{
    return m_containers->exif.empty() && m_containers->iptc.empty() && m_containers->xmp.empty();
}

bool MetadataSnapshot::leavesOutMpf() const
{
    return m_containers->jpeg.mpfLeftOut;
}

namespace {

// Reads one EXIF tag through read. False too when the file, its content type or the tag is
// missing; a library error goes to the debug output.
template <typename Read> bool readExifTag(const QString &path, const char *errorPrefix, Read read)
{
    try {
        const auto image = readImage(path);
        return image && read(image->exifData());
    } catch (const std::exception &error) {
        qDebug() << errorPrefix << messageOf(error);
        return false;
    }
}

} // namespace

bool readCaptureOffset(const QString &path, QString &offset)
{
    return readExifTag(path, "Error leyendo la zona horaria de captura:",
                       [&offset](const Exiv2::ExifData &exif) { return offsetOf(exif, offset); });
}

namespace {

// The tags into the photo held in bytes (read first from the file when fromFile is set).
bool putTrackTags(QByteArray &bytes, bool fromFile, const QString &path, const GpsTags &tags,
                  QString &errorText)
{
    if (!std::isfinite(tags.latitude) || !std::isfinite(tags.longitude)) {
        errorText = QStringLiteral("posición no válida");
        return false;
    }
    try {
        std::unique_ptr<Exiv2::Image> image =
            fromFile ? openFileInMemory(qPathToNativeStdString(path), bytes) : openBytes(bytes);
        if (!image) {
            errorText = QStringLiteral("no es una imagen");
            return false;
        }
        Exiv2::ExifData exif;
        const bool segmentOnly = readJpegExif(bytes, exif); // a JPEG: only its EXIF segment
        if (!segmentOnly) {
            readTags(*image);
            exif = image->exifData();
        }
        putGpsTags(exif, tags);
        if (segmentOnly && putJpegExif(bytes, exif))
            return true;
        image->setExifData(exif);
        writeTags(*image);
        QByteArray changed = bytesOf(*image);
        image.reset();
        bytes = std::move(changed);
    } catch (const std::exception &error) {
        errorText = messageOf(error);
        return false;
    }
    return true;
}

GpsTags positionOnly(double latitude, double longitude)
{
    GpsTags tags;
    tags.latitude = latitude;
    tags.longitude = longitude;
    tags.versionAndDatum = true;
    return tags;
}

} // namespace

bool writeGpsToExif(QByteArray &encoded, const GpsTags &tags, QString &errorText)
{
    return putTrackTags(encoded, false, QString(), tags, errorText);
}

bool writeLatLonToExif(const QString &path, double latitude, double longitude, QString &errorText)
{
    QByteArray bytes;
    return putTrackTags(bytes, true, path, positionOnly(latitude, longitude), errorText) &&
           replaceFile(path, bytes, errorText);
}

bool writeLatLonToExif(QByteArray &encoded, double latitude, double longitude, QString &errorText)
{
    return writeGpsToExif(encoded, positionOnly(latitude, longitude), errorText);
}

namespace {

// ISO 8601 to the second with the offset always spelled out, "+00:00" included, rounded to whole
// minutes as the format allows.
std::string isoWithOffset(const QDateTime &when)
{
    const int offset = when.offsetFromUtc() / 60 * 60;
    const int minutes = std::abs(offset) / 60;
    const QString text = when.toOffsetFromUtc(offset).toString(u"yyyy-MM-dd'T'HH:mm:ss") +
                         QLatin1Char(offset < 0 ? '-' : '+') +
                         QStringLiteral("%1:%2")
                             .arg(minutes / 60, 2, 10, QLatin1Char('0'))
                             .arg(minutes % 60, 2, 10, QLatin1Char('0'));
    return text.toStdString();
}

// Appends entry to xmp's History. The library decodes a list of structures as an empty text
// that carries the list's type, and an empty list as a list value of no items; anything else
// under that name is left alone, with the reason in errorText.
bool addHistoryEntry(Exiv2::XmpData &xmp, const HistoryEntry &entry, QString &errorText)
{
    const Exiv2::XmpKey listKey(historyKey);
    const auto list = xmp.findKey(listKey);
    int last = 0;
    if (list == xmp.end()) {
        Exiv2::XmpTextValue value;
        value.setXmpArrayType(Exiv2::XmpValue::xaSeq);
        xmp.add(listKey, &value);
    } else {
        const auto *value = dynamic_cast<const Exiv2::XmpValue *>(&list->value());
        const bool ordered = list->typeId() == Exiv2::xmpSeq
                                 ? list->count() == 0
                                 : value && value->xmpArrayType() == Exiv2::XmpValue::xaSeq;
        if (!ordered) {
            errorText = QStringLiteral("el historial XMP (xmpMM:History) no es una lista ordenada");
            return false;
        }
        for (const Exiv2::Xmpdatum &datum : xmp)
            last = std::max(last, historyIndexOf(datum.key()));
    }
    const std::string item = std::string(historyKey) + '[' + std::to_string(last + 1) + "]/stEvt:";
    const auto put = [&](const char *field, const QString &text) {
        if (!text.isEmpty())
            xmp[item + field] = text.toStdString();
    };
    put("action", entry.action);
    put("softwareAgent", entry.softwareAgent);
    xmp[item + "when"] = isoWithOffset(entry.when);
    put("parameters", entry.parameters);
    return true;
}

// The packet's properties into xmp; false when there is a packet the library cannot decode,
// which is then never written over.
bool decodeXmp(const std::string &packet, Exiv2::XmpData &xmp, QString &errorText)
{
    if (packet.empty() || Exiv2::XmpParser::decode(xmp, packet) == 0)
        return true;
    errorText = QStringLiteral("el paquete XMP está dañado");
    return false;
}

} // namespace

// Everything from decoding to encoding runs under the metadata lock: decoding registers the
// packet's namespaces and encoding walks them.
bool appendHistoryEntry(QByteArray &photo, const HistoryEntry &entry, QString &errorText)
{
    if (!entry.when.isValid()) {
        errorText = QStringLiteral("fecha no válida para el historial XMP");
        return false;
    }
    try {
        if (parseJpegLayout(photo).valid) {
            const QByteArray segment = findJpegSegment(photo, JpegSegmentKind::Xmp);
            const std::string packet = segment.mid(4 + xmpIdentifier().size()).toStdString();
            initialiseLibrary();
            const std::lock_guard<std::mutex> lock(metadataLock);
            Exiv2::XmpData xmp;
            // putJpegXmp changes the bytes only once the new segment is made.
            return decodeXmp(packet, xmp, errorText) && addHistoryEntry(xmp, entry, errorText) &&
                   putJpegXmp(photo, xmp);
        }
        auto image = openBytes(photo);
        if (!image) {
            errorText = QStringLiteral("no es una imagen");
            return false;
        }
        {
            const std::lock_guard<std::mutex> lock(metadataLock);
            image->readMetadata();
            Exiv2::XmpData xmp;
            if (!decodeXmp(image->xmpPacket(), xmp, errorText) ||
                !addHistoryEntry(xmp, entry, errorText))
                return false;
            image->setXmpData(xmp);
            image->writeMetadata();
        }
        QByteArray changed = bytesOf(*image);
        image.reset();
        photo = std::move(changed);
    } catch (const std::exception &error) {
        errorText = messageOf(error);
        return false;
    }
    return true;
}

// A tag that already says 1 is left alone, so that its segment can go back as it was.
void MetadataSnapshot::markUpright()
{
    Exiv2::ExifData &exif = m_containers->exif;
    const auto exifOrientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (exifOrientation != exif.end() &&
        !(exifOrientation->count() == 1 && exifOrientation->toLong() == 1)) {
        exif["Exif.Image.Orientation"] = uint16_t(1);
        m_containers->exifChanged = true;
    }
    Exiv2::XmpData &xmp = m_containers->xmp;
    const auto xmpOrientation = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
    if (xmpOrientation != xmp.end() && xmpOrientation->toString() != "1") {
        xmp["Xmp.tiff.Orientation"] = std::string("1");
        m_containers->xmpChanged = true;
    }
}

void initializeMetadataLibrary()
{
    initialiseLibrary();
}

bool readImageDirection(const QString &path, double &direction)
{
    return readExifTag(
        path, "Error leyendo la orientación GPS:", [&direction](const Exiv2::ExifData &exif) {
            return imageDirectionOf(exif, direction);
        });
}
