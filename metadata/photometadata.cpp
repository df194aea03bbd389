// Writing a photo's metadata: the GPS tags, the UTM writer, the snapshot put back across a
// re-encoding with the run's edits in one step, and entries of the XMP history.
#include "exivlibrary.h"

#include "jpegsegments.h"
#include "segmentwriter.h"
#include "utm.h"
#include "xmphistory.h"

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

using namespace exivlib;

namespace {

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

namespace {

// Exiv2 0.27 hands values out as std::auto_ptr; ownership is taken at once.
std::unique_ptr<Exiv2::Value> bytesValue(const char *text)
{
    std::unique_ptr<Exiv2::Value> value(Exiv2::Value::create(Exiv2::unsignedByte).release());
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
    double degrees = 0.0;
    if (tags.direction && normalisedDirection(*tags.direction, degrees)) {
        Exiv2::URationalValue hundredths;
        hundredths.value_.push_back({toRationalPart(std::round(degrees * 100.0)), 100});
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
} // namespace

GpsWrite putGpsIntoPhoto(QByteArray &bytes, const GpsTags &tags)
{
    GpsWrite result;
    try {
        std::unique_ptr<Exiv2::Image> image = openBytes(bytes);
        if (!image) {
            result.outcome = MetadataSnapshot::Outcome::NoImage;
            return result;
        }
        Exiv2::ExifData exif;
        const bool segmentOnly = readJpegExif(bytes, exif); // a JPEG: only its EXIF segment
        if (!segmentOnly) {
            readTags(*image);
            exif = image->exifData();
        }
        result.exifWasEmpty = exif.empty();
        putGpsTags(exif, tags);
        result.outcome = MetadataSnapshot::Outcome::Done;
        if (segmentOnly && putJpegExif(bytes, exif))
            return result;
        image->setExifData(exif);
        writeTags(*image);
        QByteArray changed = bytesOf(*image);
        image.reset();
        bytes = std::move(changed);
    } catch (const std::exception &error) {
        result.outcome = MetadataSnapshot::Outcome::Failed;
        result.errorText = messageOf(error);
    }
    return result;
}

void writeUtmToExif(const QString &path, int zoneNumber, char zoneLetter, double easting,
                    double northing, double direction, bool writeDirection, LogCallback log)
{
    const GeoPosition position = utmToLatLon(zoneNumber, zoneLetter, easting, northing);
    const std::string nativePath = qPathToNativeStdString(path);
    log(QStringLiteral("Intentando escribir UTM EXIF en (nativo): ") +
        QString::fromStdString(nativePath));
    QByteArray bytes;
    try {
        if (!openImage(nativePath)) {
            log(QStringLiteral("Error al abrir la imagen para escribir EXIF: ") + path);
            return;
        }
        bytes = readWholeFile(nativePath);
    } catch (const std::exception &error) {
        log(QStringLiteral("Error al escribir EXIF en ") + path + QStringLiteral(": ") +
            messageOf(error));
        return;
    }
    GpsTags tags;
    tags.latitude = position.latitude;
    tags.longitude = position.longitude;
    if (writeDirection)
        tags.direction = direction;
    const GpsWrite written = putGpsIntoPhoto(bytes, tags);
    if (written.outcome == MetadataSnapshot::Outcome::NoImage) {
        log(QStringLiteral("Error al abrir la imagen para escribir EXIF: ") + path);
        return;
    }
    if (written.exifWasEmpty)
        log(QStringLiteral("No hay metadata EXIF para escribir en ") + path +
            QStringLiteral(". Se creará."));
    QString errorText = written.errorText;
    if (written.outcome == MetadataSnapshot::Outcome::Done && replaceFile(path, bytes, errorText))
        return;
    log(QStringLiteral("Error al escribir EXIF en ") + path + QStringLiteral(": ") + errorText);
}

MetadataSnapshot::MetadataSnapshot()
    : m_containers(std::make_unique<Containers>())
{
}
MetadataSnapshot::~MetadataSnapshot() = default;

MetadataSnapshot::MetadataSnapshot(MetadataSnapshot &&) noexcept = default;
MetadataSnapshot &MetadataSnapshot::operator=(MetadataSnapshot &&) noexcept = default;

// Read whole, changed in memory and put back by one rename (see writeUtmToExif).
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

bool writeGpsToExif(QByteArray &encoded, const GpsTags &tags, QString &errorText)
{
    if (!std::isfinite(tags.latitude) || !std::isfinite(tags.longitude)) {
        errorText = QStringLiteral("posición no válida");
        return false;
    }
    const GpsWrite written = putGpsIntoPhoto(encoded, tags);
    if (written.outcome == MetadataSnapshot::Outcome::Done)
        return true;
    errorText = written.outcome == MetadataSnapshot::Outcome::NoImage
                    ? QStringLiteral("no es una imagen")
                    : written.errorText;
    return false;
}

namespace {

// ISO 8601 to the second with the offset always spelled out, "+00:00" included, rounded to whole
// minutes as the format allows.
// The entry in a JPEG's XMP segment, only that segment rewritten.
bool addHistoryToJpeg(QByteArray &jpeg, const HistoryEntry &entry, QString &errorText)
{
    const QByteArray segment = findJpegSegment(jpeg, JpegSegmentKind::Xmp);
    std::string packet = segment.mid(4 + xmpIdentifier().size()).toStdString();
    if (!addHistoryToPacket(packet, entry, errorText))
        return false;
    const QByteArray written =
        makeJpegSegment(0xE1, xmpIdentifier() + QByteArray::fromStdString(packet));
    if (written.isEmpty()) {
        errorText = QStringLiteral("el paquete XMP no cabe en su segmento JPEG");
        return false;
    }
    return replaceJpegSegment(jpeg, JpegSegmentKind::Xmp, written, errorText);
}

// The entry in the packet the image will write: its own as read, or, where its containers were
// set anew, theirs serialised.
bool addHistoryToImage(Exiv2::Image &image, bool fromContainers, const HistoryEntry &entry,
                       QString &errorText)
{
    std::string packet;
    {
        // Asking the image for its packet serialises its XMP where it holds no packet text, and
        // serialising walks the namespace table, so both ways go under the lock.
        const std::lock_guard<std::mutex> lock(metadataLock);
        if (!fromContainers) {
            packet = image.xmpPacket();
        } else if (!image.xmpData().empty() &&
                   Exiv2::XmpParser::encode(packet, image.xmpData(),
                                            Exiv2::XmpParser::useCompactFormat |
                                                Exiv2::XmpParser::omitAllFormatting) > 1) {
            errorText = QStringLiteral("no se puede escribir el paquete XMP");
            return false;
        }
    }
    if (!addHistoryToPacket(packet, entry, errorText))
        return false;
    image.setXmpPacket(packet);
    image.writeXmpFromPacket(true);
    return true;
}

} // namespace

// Everything from decoding to encoding runs under the metadata lock: decoding registers the
// packet's namespaces and encoding walks them.
bool appendHistoryEntry(QByteArray &photo, const HistoryEntry &entry, QString &errorText)
{
    try {
        if (parseJpegLayout(photo).valid)
            return addHistoryToJpeg(photo, entry, errorText);
        auto image = openBytes(photo);
        if (!image) {
            errorText = QStringLiteral("no es una imagen");
            return false;
        }
        readTags(*image);
        if (!addHistoryToImage(*image, false, entry, errorText))
            return false;
        writeTags(*image);
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
void MetadataSnapshot::carryFormatTags()
{
    Containers &c = *m_containers;
    const bool exif = !c.formatTags.exif.empty() || c.formatTags.droppedPointer;
    const bool xmp = !c.formatTags.xmp.empty();
    ::carryFormatTags(c.formatTags, c.exif, c.xmp);
    c.formatTags = FormatTags();
    c.exifChanged = c.exifChanged || exif;
    c.xmpChanged = c.xmpChanged || xmp;
}

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

namespace {

// The one-step write: the edited containers spliced into a JPEG's segments, or written through
// the library once for PNG and TIFF. False (bytes as they were) when any part cannot be made so.
bool writeAtOnce(QByteArray &bytes, bool restore, const MetadataSnapshot::Containers &source,
                 const GpsTags *gps, const HistoryEntry *history)
{
    Exiv2::ExifData exif = source.exif;
    const bool exifChanged = source.exifChanged || gps;
    if (gps)
        putGpsTags(exif, *gps);
    QByteArray out = bytes;
    QString ignored;
    if (parseJpegLayout(out).valid && (!restore || source.jpeg.fromJpeg)) {
        {
            // A changed XMP packet is serialised, which walks the namespace table.
            std::unique_lock<std::mutex> lock(metadataLock, std::defer_lock);
            if (source.xmpChanged)
                lock.lock();
            const Exiv2::XmpData *xmp = source.xmpChanged ? &source.xmp : nullptr;
            if (restore &&
                !restoreJpegSegments(out, source.jpeg, exifChanged ? &exif : nullptr, xmp))
                return false;
            if (!restore &&
                ((exifChanged && !putJpegExif(out, exif)) || (xmp && !putJpegXmp(out, *xmp))))
                return false;
        }
        if (history && !addHistoryToJpeg(out, *history, ignored))
            return false;
        bytes = std::move(out);
        return true;
    }
    auto image = openBytes(out);
    if (!image)
        return false;
    readTags(*image);
    if (restore || exifChanged)
        image->setExifData(exif);
    if (restore)
        image->setIptcData(source.iptc);
    if (restore || source.xmpChanged)
        image->setXmpData(source.xmp);
    if (history && !addHistoryToImage(*image, restore || source.xmpChanged, *history, ignored))
        return false;
    writeTags(*image);
    QByteArray changed = bytesOf(*image);
    image.reset();
    bytes = std::move(changed);
    return true;
}

} // namespace

MetadataWrite MetadataSnapshot::writeInto(QByteArray &bytes, bool restore, const GpsTags *gps,
                                          const HistoryEntry *history) const
{
    MetadataWrite result;
    const Containers &c = *m_containers;
    bool atOnce = false;
    try {
        atOnce = writeAtOnce(bytes, restore, c, gps, history);
    } catch (const std::exception &) {
        atOnce = false; // each step again on its own says which failed
    }
    if (atOnce) {
        result.restore = restore ? Outcome::Done : Outcome::NoImage;
        if (gps) {
            result.gps.outcome = Outcome::Done;
            result.gps.exifWasEmpty = c.exif.empty();
        }
        result.historyWritten = history != nullptr;
        return result;
    }
    if (restore)
        result.restore = restoreInto(bytes, result.restoreError);
    if (gps)
        result.gps = putGpsIntoPhoto(bytes, *gps);
    if (history)
        result.historyWritten = appendHistoryEntry(bytes, *history, result.historyError);
    return result;
}

void initializeMetadataLibrary()
{
    initialiseLibrary();
}
