#include "photometadata.h"

#include <exiv2/exiv2.hpp>

// TODO(metadata helper): not implemented yet.

std::string qPathToNativeStdString(const QString &path)
{
    return path.toStdString();
}

bool readCaptureDate(const QString &, QDateTime &)
{
    return false;
}

bool readGpsData(const QString &, double &latitude, double &longitude, double &direction)
{
    latitude = longitude = direction = 0.0;
    return false;
}

void writeUtmToExif(const QString &, int, char, double, double, double, bool, LogCallback) {}

struct MetadataSnapshot::Containers
{
    Exiv2::ExifData exif;
    Exiv2::IptcData iptc;
    Exiv2::XmpData xmp;
};

MetadataSnapshot::MetadataSnapshot() : m_containers(std::make_unique<Containers>()) {}
MetadataSnapshot::~MetadataSnapshot() = default;

MetadataSnapshot::Outcome MetadataSnapshot::takeFrom(const QString &, QDateTime &, bool &dateFound,
                                                     QString &)
{
    dateFound = false;
    return Outcome::NoImage;
}

MetadataSnapshot::Outcome MetadataSnapshot::restoreInto(const QString &, QString &) const
{
    return Outcome::NoImage;
}

bool MetadataSnapshot::isEmpty() const
{
    return m_containers->exif.empty() && m_containers->iptc.empty() && m_containers->xmp.empty();
}
