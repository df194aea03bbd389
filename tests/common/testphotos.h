// Helpers that make photos for the tests: an image on disk, then tags written with Exiv2.
#pragma once

#include <QColor>
#include <QList>
#include <QPair>
#include <QString>

namespace TestPhotos {

using Tags = QList<QPair<QString, QString>>; // key, value in Exiv2's text form

// Saves a w × h image of one colour; the format follows the suffix unless given.
bool writeImage(const QString &path, int width = 64, int height = 48,
                const QColor &color = QColor(40, 90, 160), const char *format = nullptr);

// Adds or replaces tags. Keys start with "Exif.", "Iptc." or "Xmp."; values use Exiv2's text
// form, e.g. "33/1 26/1 1608/100" for a GPS latitude. Returns false with a message in error.
bool setTags(const QString &path, const Tags &tags, QString *error = nullptr);

// Replaces the photo's XMP with this packet, written as it is: its namespaces are never
// registered with the metadata library, as in photos from drones, phones and editors.
bool setXmpPacket(const QString &path, const QByteArray &packet);

// GPS tags as a camera stores them: degrees, minutes and seconds as unsigned rationals.
Tags gpsTags(const QString &latitude, const QString &latitudeRef, const QString &longitude,
             const QString &longitudeRef, const QString &direction = QString());

// A file's bytes; empty when it cannot be read.
QByteArray readFile(const QString &path);

// Writes the file anew; false unless every byte was written.
bool writeFile(const QString &path, const QByteArray &bytes);

// The text form of one tag, or a null string when the file lacks it or cannot be read.
QString tag(const QString &path, const QString &key);

// Where the real camera photos lie; empty when the folder is absent.
QString sharedPhotosDir();

// Makes a file unwritable even for root (chattr +i) for the guard's lifetime.
class ImmutableFile
{
public:
    explicit ImmutableFile(const QString &path);
    ~ImmutableFile();
    Q_DISABLE_COPY(ImmutableFile)
    bool isSet() const { return m_set; }

private:
    QString m_path;
    bool m_set = false;
};

} // namespace TestPhotos
