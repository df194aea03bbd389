// Tags a PNG or TIFF holds outside the containers a JPEG can carry: a PNG's text chunks and time
// chunk, and an interoperability directory a TIFF points to from its first directory (where the
// metadata library does not follow it). Found in the photo's bytes and given their EXIF or XMP
// homes, so a photo written in another format keeps them.
#include "formattags.h"

#include <QDateTime>
#include <QtEndian>

#include <cstring>
#include <memory>

namespace {

const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);

// A chunk's text, inflated where it is compressed; empty when it cannot be read.
QByteArray inflated(const QByteArray &deflate)
{
    // The toolkit's inflater wants the expected size first; text chunks stay small.
    QByteArray sized(4, '\0');
    qToBigEndian<quint32>(quint32(1 << 20), sized.data());
    return qUncompress(sized + deflate);
}

// The keyword and text of a tEXt, zTXt or iTXt chunk.
bool textOf(const QByteArray &type, const QByteArray &data, QByteArray &keyword, QString &text)
{
    const qsizetype end = data.indexOf('\0');
    if (end <= 0)
        return false;
    keyword = data.left(end);
    const QByteArray rest = data.mid(end + 1);
    if (type == "tEXt") {
        text = QString::fromLatin1(rest);
    } else if (type == "zTXt") {
        text = rest.isEmpty() ? QString() : QString::fromLatin1(inflated(rest.mid(1)));
    } else {
        // iTXt: compression flag and method, language tag, translated keyword, text.
        if (rest.size() < 2)
            return false;
        const bool compressed = rest.at(0) == 1;
        const qsizetype language = rest.indexOf('\0', 2);
        const qsizetype translated = language < 0 ? -1 : rest.indexOf('\0', language + 1);
        if (translated < 0)
            return false;
        const QByteArray body = rest.mid(translated + 1);
        text = QString::fromUtf8(compressed ? inflated(body) : body);
    }
    text = text.trimmed();
    return !text.isEmpty();
}

// "2003-12-14T12:01:44", "2003:12:14 12:01:44" or RFC 1123 ("Sun, 14 Dec 2003 12:01:44 GMT") to
// EXIF's form; empty when it is none of them.
QString exifDate(const QString &text)
{
    QDateTime when = QDateTime::fromString(text, Qt::ISODate);
    if (!when.isValid())
        when = QDateTime::fromString(text, QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (!when.isValid())
        when = QDateTime::fromString(text, Qt::RFC2822Date);
    return when.isValid() ? when.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")) : QString();
}

// The EXIF or XMP home of a text keyword, as PNG writers name them.
struct Home
{
    const char *keyword;
    const char *key; // an Exif. or Xmp. key
    bool date;
};

const Home homes[] = {
    {"Make", "Exif.Image.Make", false},
    {"Model", "Exif.Image.Model", false},
    {"Software", "Exif.Image.Software", false},
    {"Author", "Exif.Image.Artist", false},
    {"Artist", "Exif.Image.Artist", false},
    {"Description", "Exif.Image.ImageDescription", false},
    {"Copyright", "Exif.Image.Copyright", false},
    {"Title", "Xmp.dc.title", false},
    {"Comment", "Xmp.exif.UserComment", false},
    {"Creation Time", "Exif.Photo.DateTimeDigitized", true},
    {"create-date", "Exif.Photo.DateTimeDigitized", true},
    {"CreateDate", "Exif.Photo.DateTimeDigitized", true},
    {"date:create", "Exif.Photo.DateTimeDigitized", true},
    {"modify-date", "Exif.Image.DateTime", true},
    {"ModifyDate", "Exif.Image.DateTime", true},
    {"date:modify", "Exif.Image.DateTime", true},
};

void putIfMissing(FormatTags &tags, const Exiv2::ExifData &exif, const Exiv2::XmpData &xmp,
                  const char *key, const QString &value)
{
    const std::string text = value.toStdString();
    if (std::strncmp(key, "Exif.", 5) == 0) {
        const Exiv2::ExifKey exifKey(key);
        if (exif.findKey(exifKey) == exif.end() && tags.exif.findKey(exifKey) == tags.exif.end())
            tags.exif[key] = text;
    } else {
        const Exiv2::XmpKey xmpKey(key);
        if (xmp.findKey(xmpKey) == xmp.end() && tags.xmp.findKey(xmpKey) == tags.xmp.end())
            tags.xmp[key] = text;
    }
}

void readPng(const QByteArray &png, const Exiv2::ExifData &exif, const Exiv2::XmpData &xmp,
             FormatTags &tags)
{
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const quint32 length = qFromBigEndian<quint32>(png.constData() + at);
        const QByteArray type = png.mid(at + 4, 4);
        if (length > quint32(png.size() - at - 12))
            return;
        const QByteArray data = png.mid(at + 8, qsizetype(length));
        at += 12 + qsizetype(length);
        if (type == "tIME" && data.size() == 7) {
            const auto *b = reinterpret_cast<const uchar *>(data.constData());
            const QDateTime modified(QDate(b[0] << 8 | b[1], b[2], b[3]), QTime(b[4], b[5], b[6]),
                                     Qt::UTC);
            if (modified.isValid())
                putIfMissing(tags, exif, xmp, "Exif.Image.DateTime",
                             modified.toString(QStringLiteral("yyyy:MM:dd HH:mm:ss")));
            continue;
        }
        QByteArray keyword;
        QString text;
        if ((type != "tEXt" && type != "zTXt" && type != "iTXt") ||
            !textOf(type, data, keyword, text))
            continue;
        for (const Home &home : homes) {
            if (keyword != home.keyword)
                continue;
            const QString value = home.date ? exifDate(text) : text;
            if (!value.isEmpty())
                putIfMissing(tags, exif, xmp, home.key, value);
        }
    }
}

// An interoperability directory a TIFF's first directory points to (tag 0xA005, which belongs in
// the EXIF directory): its entries read as the library would read them there.
void readTiffInterop(const QByteArray &tiff, const Exiv2::ExifData &exif, FormatTags &tags)
{
    const auto pointer = exif.findKey(Exiv2::ExifKey("Exif.Image.0xa005"));
    if (pointer == exif.end() || tiff.size() < 8)
        return;
    const bool little = tiff.startsWith("II");
    if (!little && !tiff.startsWith("MM"))
        return;
    const Exiv2::ByteOrder order = little ? Exiv2::littleEndian : Exiv2::bigEndian;
    const auto *b = reinterpret_cast<const Exiv2::byte *>(tiff.constData());
    const auto size = quint64(tiff.size());
    const quint64 offset = quint64(pointer->toLong());
    if (offset + 2 > size)
        return;
    const quint16 count = Exiv2::getUShort(b + offset, order);
    for (quint16 i = 0; i < count && offset + 2 + (i + 1) * 12ull <= size; ++i) {
        const Exiv2::byte *entry = b + offset + 2 + i * 12;
        const quint16 tag = Exiv2::getUShort(entry, order);
        const auto type = Exiv2::TypeId(Exiv2::getUShort(entry + 2, order));
        const quint32 values = Exiv2::getULong(entry + 4, order);
        const long unit = Exiv2::TypeInfo::typeSize(type);
        if (unit <= 0 || values == 0 || values > 4096)
            continue;
        const quint64 bytes = quint64(unit) * values;
        const Exiv2::byte *data = entry + 8;
        if (bytes > 4) {
            const quint64 at = Exiv2::getULong(entry + 8, order);
            if (at + bytes > size)
                continue;
            data = b + at;
        }
        const std::unique_ptr<Exiv2::Value> value(Exiv2::Value::create(type).release());
        if (value->read(data, long(bytes), order) == 0)
            tags.exif.add(Exiv2::ExifKey(tag, "Iop"), value.get());
    }
    if (!tags.exif.empty())
        tags.droppedPointer = true;
}

} // namespace

FormatTags formatTagsOf(const QByteArray &bytes, const Exiv2::ExifData &exif,
                        const Exiv2::XmpData &xmp)
{
    FormatTags tags;
    try {
        if (bytes.startsWith(pngSignature))
            readPng(bytes, exif, xmp, tags);
        else
            readTiffInterop(bytes, exif, tags);
    } catch (const Exiv2::AnyError &) {
        // A tag the library will not take is one this photo keeps no home for.
        tags = FormatTags();
    }
    return tags;
}

void carryFormatTags(const FormatTags &tags, Exiv2::ExifData &exif, Exiv2::XmpData &xmp)
{
    if (tags.droppedPointer) {
        const auto pointer = exif.findKey(Exiv2::ExifKey("Exif.Image.0xa005"));
        if (pointer != exif.end())
            exif.erase(pointer);
    }
    for (const Exiv2::Exifdatum &datum : tags.exif)
        exif.add(datum);
    for (const Exiv2::Xmpdatum &datum : tags.xmp)
        xmp.add(datum);
}
