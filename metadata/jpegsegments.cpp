// JPEG marker segments listed, classified and spliced on bytes held in memory. Every read is
// checked against the end of the bytes first: this code sees damaged and hostile files.
#include "jpegsegments.h"

#include <cstring>

namespace {

constexpr quint8 markerSoi = 0xD8;
constexpr quint8 markerEoi = 0xD9;
constexpr quint8 markerSos = 0xDA;
constexpr quint8 markerTem = 0x01;
constexpr quint8 markerApp0 = 0xE0;
constexpr quint8 markerApp1 = 0xE1;
constexpr quint8 markerApp2 = 0xE2;
constexpr quint8 markerApp13 = 0xED;
constexpr quint8 markerApp14 = 0xEE;
constexpr quint8 markerApp15 = 0xEF;
constexpr quint8 markerCom = 0xFE;
constexpr qsizetype maximumContent = 0xFFFF - 2;

quint8 byteAt(const QByteArray &bytes, qsizetype at)
{
    return static_cast<quint8>(bytes.at(at));
}

// What a segment holds, from its marker and the identifier its content starts with; content
// runs from contentAt to end.
JpegSegmentKind classify(quint8 marker, const QByteArray &jpeg, qsizetype contentAt, qsizetype end)
{
    const auto startsWith = [&](const char *id, qsizetype size) {
        return end - contentAt >= size && std::memcmp(jpeg.constData() + contentAt, id, size) == 0;
    };
    switch (marker) {
    case markerApp0:
        if (startsWith("JFIF\0", 5))
            return JpegSegmentKind::Jfif;
        if (startsWith("JFXX\0", 5))
            return JpegSegmentKind::Jfxx;
        break;
    case markerApp1:
        if (startsWith(exifIdentifier().constData(), exifIdentifier().size()))
            return JpegSegmentKind::Exif;
        if (startsWith(xmpIdentifier().constData(), xmpIdentifier().size()))
            return JpegSegmentKind::Xmp;
        if (startsWith("http://ns.adobe.com/xmp/extension/\0", 35))
            return JpegSegmentKind::ExtendedXmp;
        break;
    case markerApp2:
        if (startsWith("ICC_PROFILE\0", 12))
            return JpegSegmentKind::Icc;
        if (startsWith("MPF\0", 4))
            return JpegSegmentKind::Mpf;
        break;
    case markerApp13:
        if (startsWith("Photoshop 3.0\0", 14))
            return JpegSegmentKind::Photoshop;
        break;
    case markerApp14:
        if (startsWith("Adobe", 5))
            return JpegSegmentKind::Adobe;
        break;
    case markerCom:
        return JpegSegmentKind::Comment;
    default:
        break;
    }
    return marker >= markerApp0 && marker <= markerApp15 ? JpegSegmentKind::OtherApp
                                                         : JpegSegmentKind::Coding;
}

QString atByte(qsizetype offset)
{
    return QStringLiteral(" en el byte ") + QString::number(offset);
}

} // namespace

JpegLayout parseJpegLayout(const QByteArray &jpeg)
{
    JpegLayout layout;
    const qsizetype size = jpeg.size();
    if (size < 2 || byteAt(jpeg, 0) != 0xFF || byteAt(jpeg, 1) != markerSoi) {
        layout.error = QStringLiteral("no empieza como un JPEG");
        return layout;
    }
    qsizetype at = 2;
    for (;;) {
        // Stray bytes before a marker are skipped, as decoders skip them; 0xFF runs are fill.
        while (at < size && byteAt(jpeg, at) != 0xFF)
            ++at;
        while (at + 1 < size && byteAt(jpeg, at + 1) == 0xFF)
            ++at;
        if (at + 1 >= size) {
            layout.error = QStringLiteral("termina antes de los datos de la imagen");
            return layout;
        }
        const quint8 marker = byteAt(jpeg, at + 1);
        if (marker == 0x00) { // an escaped 0xFF data byte, not a marker
            at += 2;
            continue;
        }
        if (marker == markerSos) {
            layout.scanOffset = at;
            layout.valid = true;
            return layout;
        }
        if (marker == markerSoi || marker == markerEoi) {
            layout.error = QStringLiteral("marcador fuera de lugar") + atByte(at);
            return layout;
        }
        if (marker == markerTem || (marker >= 0xD0 && marker <= 0xD7)) { // no length field
            layout.segments.append({JpegSegmentKind::Coding, marker, at, 2});
            at += 2;
            continue;
        }
        if (size - at < 4) {
            layout.error = QStringLiteral("segmento cortado") + atByte(at);
            return layout;
        }
        const qsizetype length = qsizetype(byteAt(jpeg, at + 2)) << 8 | byteAt(jpeg, at + 3);
        if (length < 2 || length > size - at - 2) {
            layout.error = QStringLiteral("segmento de largo imposible") + atByte(at);
            return layout;
        }
        const qsizetype end = at + 2 + length;
        layout.segments.append({classify(marker, jpeg, at + 4, end), marker, at, 2 + length});
        at = end;
    }
}

bool isCarriedMetadata(JpegSegmentKind kind)
{
    switch (kind) {
    case JpegSegmentKind::Mpf:
    case JpegSegmentKind::Adobe:
    case JpegSegmentKind::Coding:
        return false;
    default:
        return true;
    }
}

JpegMetadata takeJpegMetadata(const QByteArray &source)
{
    JpegMetadata metadata;
    const JpegLayout layout = parseJpegLayout(source);
    if (!layout.valid)
        return metadata;
    metadata.fromJpeg = true;
    for (const JpegSegment &segment : layout.segments) {
        if (isCarriedMetadata(segment.kind))
            metadata.segments.append(source.mid(segment.offset, segment.size));
        else if (segment.kind == JpegSegmentKind::Mpf)
            metadata.mpfLeftOut = true;
    }
    return metadata;
}

bool spliceJpegMetadata(const QByteArray &encoded, const JpegMetadata &metadata, QByteArray &result,
                        QString &error)
{
    const JpegLayout layout = parseJpegLayout(encoded);
    if (!layout.valid) {
        error = layout.error;
        return false;
    }
    qsizetype size = encoded.size();
    for (const QByteArray &segment : metadata.segments)
        size += segment.size();
    QByteArray spliced;
    spliced.reserve(size);
    spliced.append(encoded.constData(), 2);
    for (const QByteArray &segment : metadata.segments)
        spliced.append(segment);
    // What the encoder wrote as metadata (its JFIF header, comments made from image text, its
    // own copy of a profile) gives way to the source's; what describes its coding stays.
    for (const JpegSegment &segment : layout.segments) {
        if (segment.kind == JpegSegmentKind::Coding || segment.kind == JpegSegmentKind::Adobe)
            spliced.append(encoded.constData() + segment.offset, segment.size);
    }
    spliced.append(encoded.constData() + layout.scanOffset, encoded.size() - layout.scanOffset);
    result = std::move(spliced);
    return true;
}

bool replaceJpegSegment(QByteArray &jpeg, JpegSegmentKind kind, const QByteArray &segment,
                        QString &error)
{
    const JpegLayout layout = parseJpegLayout(jpeg);
    if (!layout.valid) {
        error = layout.error;
        return false;
    }
    for (const JpegSegment &old : layout.segments) {
        if (old.kind == kind) {
            jpeg.replace(old.offset, old.size, segment);
            return true;
        }
    }
    if (segment.isEmpty())
        return true;
    // Readers expect JFIF first and EXIF right after it; XMP conventionally follows EXIF.
    qsizetype at = 2;
    for (const JpegSegment &old : layout.segments) {
        const bool leading = old.kind == JpegSegmentKind::Jfif ||
                             old.kind == JpegSegmentKind::Jfxx ||
                             (kind == JpegSegmentKind::Xmp && old.kind == JpegSegmentKind::Exif);
        if (!leading)
            break;
        at = old.offset + old.size;
    }
    jpeg.insert(at, segment);
    return true;
}

QByteArray findJpegSegment(const QByteArray &jpeg, JpegSegmentKind kind)
{
    const JpegLayout layout = parseJpegLayout(jpeg);
    for (const JpegSegment &segment : layout.segments) {
        if (segment.kind == kind)
            return jpeg.mid(segment.offset, segment.size);
    }
    return {};
}

QByteArray makeJpegSegment(quint8 marker, const QByteArray &content)
{
    if (content.size() > maximumContent)
        return {};
    const qsizetype length = content.size() + 2;
    QByteArray segment;
    segment.reserve(length + 2);
    segment.append(char(0xFF));
    segment.append(char(marker));
    segment.append(char(length >> 8));
    segment.append(char(length & 0xFF));
    segment.append(content);
    return segment;
}
