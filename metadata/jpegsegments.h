// JPEG marker segments, without any metadata library: the segments ahead of the image data and
// what each holds, a new JPEG put together from a freshly encoded image and the metadata segments
// of its source copied byte for byte, and one segment replaced in place.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

enum class JpegSegmentKind {
    Exif,        // APP1 "Exif\0\0"
    Xmp,         // APP1 XMP packet
    ExtendedXmp, // APP1 continuation of a packet too large for one segment
    Icc,         // APP2 ICC profile chunk
    Mpf,         // APP2 index of further images stored after the primary one
    Photoshop,   // APP13 image resources, the IPTC record among them
    Jfif,        // APP0 JFIF header
    Jfxx,        // APP0 JFIF extension (a thumbnail)
    Adobe,       // APP14 colour transform: says how the encoder stored the colours
    OtherApp,    // any other APPn
    Comment,     // COM
    Coding       // tables, frame header, restart interval: the image's own coding
};

struct JpegSegment
{
    JpegSegmentKind kind = JpegSegmentKind::Coding;
    quint8 marker = 0;    // the byte after 0xFF
    qsizetype offset = 0; // of the marker's 0xFF
    qsizetype size = 0;   // marker, length field and content
};

struct JpegLayout
{
    bool valid = false;
    QString error;               // why the bytes are not a JPEG whose segments can be listed
    QList<JpegSegment> segments; // after SOI, up to the first SOS
    qsizetype scanOffset = -1;   // of the first SOS marker
};

// Lists the segments of jpeg from SOI to its first SOS. Never reads outside jpeg: a length that
// runs past the end, or no SOS at all, makes the layout invalid with its reason.
JpegLayout parseJpegLayout(const QByteArray &jpeg);

// True for the photo's own metadata, which a new encoding of it carries; false for MPF (its
// images would still show the old picture, and its offsets would point nowhere), for the Adobe
// colour transform and for the coding segments, all of which belong to the encoder.
bool isCarriedMetadata(JpegSegmentKind kind);

// The metadata segments a new encoding of a photo carries, taken from its source JPEG.
struct JpegMetadata
{
    bool fromJpeg = false;      // the source was a JPEG whose segments could be listed
    QList<QByteArray> segments; // whole segments, in source order
    bool mpfLeftOut = false;    // the source had MPF segments, which are never carried
};

// Empty (fromJpeg false) when source is no JPEG whose segments can be listed.
JpegMetadata takeJpegMetadata(const QByteArray &source);

// encoded, a JPEG fresh from an encoder, with its own APPn and COM segments (those that do not
// describe its coding) dropped and metadata's segments put right after SOI. False with the
// reason when encoded is no JPEG whose segments can be listed; result is then left as it was.
bool spliceJpegMetadata(const QByteArray &encoded, const JpegMetadata &metadata, QByteArray &result,
                        QString &error);

// Puts segment in place of jpeg's first segment of kind (an empty segment removes it). Without
// one, segment goes after the leading JFIF segments and, for XMP, after the EXIF segment too.
// Every other byte stays as it was. False with the reason when jpeg cannot be listed.
bool replaceJpegSegment(QByteArray &jpeg, JpegSegmentKind kind, const QByteArray &segment,
                        QString &error);

// The first segment of kind in jpeg, whole; empty when there is none or jpeg cannot be listed.
QByteArray findJpegSegment(const QByteArray &jpeg, JpegSegmentKind kind);

// A segment: 0xFF, marker, the length and content. Empty when content is more than one
// segment holds (65533 bytes).
QByteArray makeJpegSegment(quint8 marker, const QByteArray &content);

// The identifiers that start the content of the segments the metadata library rewrites.
inline const QByteArray &exifIdentifier()
{
    static const QByteArray id("Exif\0\0", 6);
    return id;
}
inline const QByteArray &xmpIdentifier()
{
    static const QByteArray id("http://ns.adobe.com/xap/1.0/\0", 29);
    return id;
}
