#include "testphotos.h"

#include <QtGui>

#include <exiv2/exiv2.hpp>

namespace TestPhotos {

bool writeImage(const QString &path, int width, int height, const QColor &color, const char *format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(color);
    return image.save(path, format);
}

bool setTags(const QString &path, const Tags &tags, QString *error)
{
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        for (const auto &[key, value] : tags) {
            const std::string k = key.toStdString(), v = value.toStdString();
            if (key.startsWith(QLatin1String("Exif.")) &&
                value.startsWith(QLatin1String("ascii:"))) {
                // A tag some camera stored as text where a number belongs.
                image->exifData()[k] = Exiv2::AsciiValue(v.substr(6));
            } else if (key.startsWith(QLatin1String("Exif.")))
                image->exifData()[k] = v;
            else if (key.startsWith(QLatin1String("Iptc.")))
                image->iptcData()[k] = v;
            else
                image->xmpData()[k] = v;
        }
        image->writeMetadata();
        return true;
    } catch (const Exiv2::Error &e) {
        if (error)
            *error = QString::fromUtf8(e.what());
        return false;
    }
}

bool setXmpPacket(const QString &path, const QByteArray &packet)
{
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        image->setXmpPacket(packet.toStdString());
        image->writeMetadata();
        return true;
    } catch (const Exiv2::Error &) {
        return false;
    }
}

Tags gpsTags(const QString &latitude, const QString &latitudeRef, const QString &longitude,
             const QString &longitudeRef, const QString &direction)
{
    Tags tags{{"Exif.GPSInfo.GPSLatitude", latitude},
              {"Exif.GPSInfo.GPSLatitudeRef", latitudeRef},
              {"Exif.GPSInfo.GPSLongitude", longitude},
              {"Exif.GPSInfo.GPSLongitudeRef", longitudeRef}};
    if (!direction.isEmpty())
        tags << Tags{{"Exif.GPSInfo.GPSImgDirection", direction},
                     {"Exif.GPSInfo.GPSImgDirectionRef", "T"}};
    return tags;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString tag(const QString &path, const QString &key)
{
    try {
        auto image = Exiv2::ImageFactory::open(path.toStdString());
        image->readMetadata();
        const std::string k = key.toStdString();
        const auto text = [](auto &data, const auto &parsedKey) {
            const auto it = data.findKey(parsedKey);
            return it == data.end() ? QString() : QString::fromStdString(it->toString());
        };
        if (key.startsWith(QLatin1String("Exif.")))
            return text(image->exifData(), Exiv2::ExifKey(k));
        if (key.startsWith(QLatin1String("Iptc.")))
            return text(image->iptcData(), Exiv2::IptcKey(k));
        return text(image->xmpData(), Exiv2::XmpKey(k));
    } catch (const Exiv2::Error &) {
        return {}; // a file the library cannot read has no tags for the tests
    }
}

QString sharedPhotosDir()
{
    const QDir dir(QStringLiteral(CARTALUZ_SHARED_PHOTOS));
    return dir.exists() ? dir.absolutePath() : QString();
}

ImmutableFile::ImmutableFile(const QString &path)
    : m_path(path)
    , m_set(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0)
{
}

ImmutableFile::~ImmutableFile()
{
    if (m_set)
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
}

} // namespace TestPhotos
