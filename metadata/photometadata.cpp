// Photo metadata through Exiv2: native paths, the capture date and GPS readers, the UTM writer
// and the snapshot that carries EXIF, IPTC and XMP across a re-encoding.
#include "photometadata.h"

#include "utm.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

#include <exiv2/exiv2.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <mutex>

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

// Exiv2 0.27 hands images out as std::auto_ptr; taking ownership here keeps that deprecated
// type out of the rest of the file. useCurl only matters for URLs, never for our paths.
std::unique_ptr<Exiv2::Image> openImage(const std::string &nativePath)
{
    return std::unique_ptr<Exiv2::Image>(Exiv2::ImageFactory::open(nativePath, true).release());
}

QString messageOf(const Exiv2::Error &error)
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

bool readCaptureDate(const QString &path, QDateTime &captureDate)
{
    try {
        const auto image = openImage(qPathToNativeStdString(path));
        if (!image)
            return false;
        image->readMetadata();

        const Exiv2::ExifData &exif = image->exifData();
        if (!exif.empty()) {
            // An unparsable EXIF date (cameras write all zeros) falls through to the next source.
            for (const char *key : {"Exif.Photo.DateTimeOriginal", "Exif.Image.DateTime"}) {
                const auto it = exif.findKey(Exiv2::ExifKey(key));
                if (it == exif.end())
                    continue;
                const QDateTime date = QDateTime::fromString(QString::fromStdString(it->toString()),
                                                             QStringLiteral("yyyy:MM:dd HH:mm:ss"));
                if (date.isValid()) {
                    captureDate = date;
                    return true;
                }
            }
        }

        const Exiv2::XmpData &xmp = image->xmpData();
        if (!xmp.empty()) {
            const auto it = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.CreateDate"));
            if (it != xmp.end()) {
                const QDateTime date =
                    QDateTime::fromString(QString::fromStdString(it->toString()), Qt::ISODate);
                if (date.isValid()) {
                    captureDate = date;
                    return true;
                }
            }
        }
        return false;
    } catch (const Exiv2::Error &error) {
        qDebug() << "Error leyendo metadata para fecha de captura:" << messageOf(error);
        return false;
    }
}

bool readGpsData(const QString &path, double &latitude, double &longitude, double &direction)
{
    latitude = longitude = direction = 0.0;
    try {
        const auto image = openImage(qPathToNativeStdString(path));
        if (!image)
            return false;
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
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
    } catch (const Exiv2::Error &error) {
        qDebug() << "Error leyendo EXIF:" << messageOf(error);
        return false;
    }
}

void writeUtmToExif(const QString &path, int zoneNumber, char zoneLetter, double easting,
                    double northing, double direction, bool writeDirection, LogCallback log)
{
    const GeoPosition position = utmToLatLon(zoneNumber, zoneLetter, easting, northing);
    const std::string nativePath = qPathToNativeStdString(path);
    log(QStringLiteral("Intentando escribir UTM EXIF en (nativo): ") +
        QString::fromStdString(nativePath));
    try {
        const auto image = openImage(nativePath);
        if (!image) {
            log(QStringLiteral("Error al abrir la imagen para escribir EXIF: ") + path);
            return;
        }
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        if (exif.empty())
            log(QStringLiteral("No hay metadata EXIF para escribir en ") + path +
                QStringLiteral(". Se creará."));

        exif["Exif.GPSInfo.GPSLatitudeRef"] = std::string(position.latitude >= 0.0 ? "N" : "S");
        exif["Exif.GPSInfo.GPSLatitude"] = toDms(position.latitude);
        exif["Exif.GPSInfo.GPSLongitudeRef"] = std::string(position.longitude >= 0.0 ? "E" : "W");
        exif["Exif.GPSInfo.GPSLongitude"] = toDms(position.longitude);

        double degrees = 0.0;
        if (writeDirection && normalisedDirection(direction, degrees)) {
            Exiv2::URationalValue hundredths;
            hundredths.value_.push_back({toRationalPart(std::round(degrees * 100.0)), 100});
            exif["Exif.GPSInfo.GPSImgDirection"] = hundredths;
            exif["Exif.GPSInfo.GPSImgDirectionRef"] = std::string("T");
        }

        image->setExifData(exif);
        image->writeMetadata();
    } catch (const Exiv2::Error &error) {
        log(QStringLiteral("Error al escribir EXIF en ") + path + QStringLiteral(": ") +
            messageOf(error));
    }
}

struct MetadataSnapshot::Containers
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
};

MetadataSnapshot::MetadataSnapshot()
    : m_containers(std::make_unique<Containers>())
{
}
MetadataSnapshot::~MetadataSnapshot() = default;

MetadataSnapshot::Outcome MetadataSnapshot::takeFrom(const QString &path, QDateTime &captureDate,
                                                     bool &dateFound, QString &errorText)
{
    dateFound = false;
    *m_containers = Containers();
    try {
        const auto image = openImage(qPathToNativeStdString(path));
        if (!image)
            return Outcome::NoImage;
        image->readMetadata();
        m_containers->exif = image->exifData();
        m_containers->iptc = image->iptcData();
        m_containers->xmp = image->xmpData();
        dateFound = readCaptureDate(path, captureDate);
        return Outcome::Done;
    } catch (const Exiv2::Error &error) {
        errorText = messageOf(error);
        return Outcome::Failed;
    }
}

MetadataSnapshot::Outcome MetadataSnapshot::restoreInto(const QString &path,
                                                        QString &errorText) const
{
    try {
        const auto image = openImage(qPathToNativeStdString(path));
        if (!image)
            return Outcome::NoImage;
        image->readMetadata();
        // Whole containers go back, so tags describing the old image (its size, its thumbnail)
        // keep the values of the unchanged photo.
        image->setExifData(m_containers->exif);
        image->setIptcData(m_containers->iptc);
        image->setXmpData(m_containers->xmp);
        image->writeMetadata();
        return Outcome::Done;
    } catch (const Exiv2::Error &error) {
        errorText = messageOf(error);
        return Outcome::Failed;
    }
}

bool MetadataSnapshot::isEmpty() const
{
    return m_containers->exif.empty() && m_containers->iptc.empty() && m_containers->xmp.empty();
}

bool readCaptureOffset(const QString &path, QString &offset)
{
    try {
        const auto image = openImage(qPathToNativeStdString(path));
        if (!image)
            return false;
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
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
    } catch (const Exiv2::Error &error) {
        qDebug() << "Error leyendo la zona horaria de captura:" << messageOf(error);
        return false;
    } catch (const std::exception &error) {
        qDebug() << "Error leyendo la zona horaria de captura:" << error.what();
        return false;
    }
}

bool writeLatLonToExif(const QString &path, double latitude, double longitude, QString &errorText)
{
    if (!std::isfinite(latitude) || !std::isfinite(longitude)) {
        errorText = QStringLiteral("posición no válida");
        return false;
    }
    QFile input(path);
    if (!input.open(QIODevice::ReadOnly)) {
        errorText = input.errorString();
        return false;
    }
    const QByteArray original = input.readAll();
    input.close();

    QByteArray updated;
    try {
        std::unique_ptr<Exiv2::Image> image(
            Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(original.constData()),
                                      static_cast<long>(original.size()))
                .release());
        if (!image) {
            errorText = QStringLiteral("no es una imagen");
            return false;
        }
        image->readMetadata();
        Exiv2::ExifData exif = image->exifData();
        // Readers that look for the GPS block by its version find ours too.
        const Exiv2::ExifKey versionKey("Exif.GPSInfo.GPSVersionID");
        if (exif.findKey(versionKey) == exif.end()) {
            const auto version = Exiv2::Value::create(Exiv2::unsignedByte);
            version->read("2 2 0 0");
            exif.add(versionKey, version.get());
        }
        exif["Exif.GPSInfo.GPSLatitudeRef"] = std::string(latitude >= 0.0 ? "N" : "S");
        exif["Exif.GPSInfo.GPSLatitude"] = toDms(latitude);
        exif["Exif.GPSInfo.GPSLongitudeRef"] = std::string(longitude >= 0.0 ? "E" : "W");
        exif["Exif.GPSInfo.GPSLongitude"] = toDms(longitude);
        image->setExifData(exif);
        image->writeMetadata();

        Exiv2::BasicIo &io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        const Exiv2::DataBuf bytes = io.read(static_cast<long>(io.size()));
        updated = QByteArray(reinterpret_cast<const char *>(bytes.pData_), bytes.size_);
    } catch (const Exiv2::Error &error) {
        errorText = messageOf(error);
        return false;
    } catch (const std::exception &error) {
        errorText = QString::fromUtf8(error.what());
        return false;
    }

    QSaveFile output(path);
    if (!output.open(QIODevice::WriteOnly) || output.write(updated) != updated.size() ||
        !output.commit()) {
        errorText = output.errorString();
        return false;
    }
    return true;
}

void MetadataSnapshot::markUpright()
{
    Exiv2::ExifData &exif = m_containers->exif;
    const auto exifOrientation = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (exifOrientation != exif.end())
        exif["Exif.Image.Orientation"] = uint16_t(1);
    Exiv2::XmpData &xmp = m_containers->xmp;
    const auto xmpOrientation = xmp.findKey(Exiv2::XmpKey("Xmp.tiff.Orientation"));
    if (xmpOrientation != xmp.end())
        xmp["Xmp.tiff.Orientation"] = std::string("1");
}

void initializeMetadataLibrary()
{
    // The XMP toolkit keeps process-wide state: it must be set up once, before any worker, and
    // it takes every parse and serialisation under this lock so workers may read and write the
    // XMP of different photos at the same time.
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
    });
}

bool readImageDirection(const QString &path, double &direction)
{
    try {
        const auto image = openImage(qPathToNativeStdString(path));
        if (!image)
            return false;
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
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
    } catch (const Exiv2::Error &error) {
        qDebug() << "Error leyendo la orientación GPS:" << messageOf(error);
        return false;
    }
}
