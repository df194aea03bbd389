// Single segments of a JPEG rewritten through Exiv2: EXIF through its own parser over the old
// segment's bytes, XMP as a new packet, each spliced back in place of the old segment.
#include "segmentwriter.h"

#include <exiv2/exiv2.hpp>

namespace {

constexpr quint8 markerApp1 = 0xE1;

// The TIFF structure inside an EXIF segment: after the marker, the length and the identifier.
QByteArray tiffOf(const QByteArray &exifSegment)
{
    return exifSegment.mid(4 + exifIdentifier().size());
}

// Exiv2's parser throws on a TIFF header it cannot read, but takes anything past it; a rewrite
// over such a block starts afresh.
bool hasTiffHeader(const QByteArray &tiff)
{
    if (tiff.size() < 8)
        return false;
    const auto *b = reinterpret_cast<const uchar *>(tiff.constData());
    const bool intel = b[0] == 'I' && b[1] == 'I' && b[2] == 0x2A && b[3] == 0;
    const bool motorola = b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 0x2A;
    const quint32 first = intel ? quint32(b[4] | b[5] << 8 | b[6] << 16 | quint32(b[7]) << 24)
                                : quint32(quint32(b[4]) << 24 | b[5] << 16 | b[6] << 8 | b[7]);
    return (intel || motorola) && first < quint32(tiff.size());
}

void replaceOrThrow(QByteArray &jpeg, JpegSegmentKind kind, const QByteArray &segment)
{
    QString error;
    if (!replaceJpegSegment(jpeg, kind, segment, error))
        throw Exiv2::Error(Exiv2::kerErrorMessage, error.toStdString());
}

} // namespace

bool readJpegExif(const QByteArray &jpeg, Exiv2::ExifData &exif)
{
    exif.clear();
    if (!parseJpegLayout(jpeg).valid)
        return false;
    const QByteArray tiff = tiffOf(findJpegSegment(jpeg, JpegSegmentKind::Exif));
    if (tiff.isEmpty())
        return true;
    // As the library's own JPEG reader: a block without a TIFF header throws, so the caller
    // reports it and writes nothing over it; one it cannot decode further counts as no EXIF.
    if (Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte *>(tiff.constData()),
                                  static_cast<uint32_t>(tiff.size())) == Exiv2::invalidByteOrder)
        exif.clear();
    return true;
}

bool putJpegExif(QByteArray &jpeg, const Exiv2::ExifData &exif)
{
    if (!parseJpegLayout(jpeg).valid)
        return false;
    QByteArray tiff = tiffOf(findJpegSegment(jpeg, JpegSegmentKind::Exif));
    const bool base = hasTiffHeader(tiff);
    const Exiv2::ByteOrder order =
        base && tiff.startsWith("MM") ? Exiv2::bigEndian : Exiv2::littleEndian;
    QByteArray segment;
    if (!exif.empty()) {
        Exiv2::Blob blob;
        // tiff is a private copy: the library updates it in place when it can.
        auto *data = base ? reinterpret_cast<Exiv2::byte *>(tiff.data()) : nullptr;
        const Exiv2::WriteMethod method = Exiv2::ExifParser::encode(
            blob, data, base ? static_cast<uint32_t>(tiff.size()) : 0, order, exif);
        if (method == Exiv2::wmIntrusive)
            tiff = QByteArray(reinterpret_cast<const char *>(blob.data()),
                              static_cast<qsizetype>(blob.size()));
        if (!tiff.isEmpty()) {
            segment = makeJpegSegment(markerApp1, exifIdentifier() + tiff);
            if (segment.isEmpty())
                throw Exiv2::Error(Exiv2::kerTooLargeJpegSegment, "Exif");
        }
    }
    replaceOrThrow(jpeg, JpegSegmentKind::Exif, segment);
    return true;
}

bool putJpegXmp(QByteArray &jpeg, const Exiv2::XmpData &xmp)
{
    if (!parseJpegLayout(jpeg).valid)
        return false;
    // The caller holds containers the library made, so it is readied already.
    std::string packet;
    // The library's JPEG writer logs a failed serialisation and drops the packet; here it is an
    // error, so the old packet stays.
    if (!xmp.empty() && Exiv2::XmpParser::encode(packet, xmp,
                                                 Exiv2::XmpParser::useCompactFormat |
                                                     Exiv2::XmpParser::omitAllFormatting) > 1)
        throw Exiv2::Error(Exiv2::kerErrorMessage, "Failed to encode XMP metadata");
    QByteArray segment;
    if (!packet.empty()) {
        segment = makeJpegSegment(markerApp1, xmpIdentifier() + QByteArray::fromStdString(packet));
        if (segment.isEmpty())
            throw Exiv2::Error(Exiv2::kerTooLargeJpegSegment, "XMP");
    }
    replaceOrThrow(jpeg, JpegSegmentKind::Xmp, segment);
    return true;
}

bool restoreJpegSegments(QByteArray &encoded, const JpegMetadata &source,
                         const Exiv2::ExifData *changedExif, const Exiv2::XmpData *changedXmp)
{
    QByteArray spliced;
    QString error;
    if (!source.fromJpeg || !spliceJpegMetadata(encoded, source, spliced, error))
        return false;
    if (changedExif)
        putJpegExif(spliced, *changedExif);
    if (changedXmp)
        putJpegXmp(spliced, *changedXmp);
    encoded = std::move(spliced);
    return true;
}
