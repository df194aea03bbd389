// The metadata library as this module uses it: set up once, opened over files or bytes, read and
// written under one lock. Internal to the metadata module: nothing outside it sees Exiv2.
#pragma once

#include "formattags.h"
#include "jpegsegments.h"
#include "photometadata.h"

#include <QByteArray>
#include <QString>

#include <exiv2/exiv2.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <string>

namespace exivlib {

// Process-wide set-up of the library, done once before its first use from any thread.
void initialiseLibrary();

// The library keeps one process-wide table of XMP namespaces: every parse and every write of a
// photo's tags goes under this one lock (see its definition).
extern std::mutex metadataLock;
void readTags(Exiv2::Image &image);
void writeTags(Exiv2::Image &image);

// Only JPEG, TIFF and PNG reach the library's parsers.
bool isPhotoType(int type);
// The photo at a native path; null for content of another known type. Throws the library's
// errors, also for content it does not know at all.
std::unique_ptr<Exiv2::Image> openImage(const std::string &nativePath);
// A whole file, read as the library opens files.
QByteArray readWholeFile(const std::string &nativePath);
// An image object over a private copy of bytes; null for content the library may not parse.
std::unique_ptr<Exiv2::Image> openBytes(const QByteArray &bytes);
// A file to be changed, read whole into bytes.
std::unique_ptr<Exiv2::Image> openFileInMemory(const std::string &nativePath, QByteArray &bytes);
// The file as the library left it after writeTags on an image made by openBytes.
QByteArray bytesOf(Exiv2::Image &image);
// What lies at path is always either the complete old file or the complete new one.
bool replaceFile(const QString &path, const QByteArray &bytes, QString &errorText);
QString messageOf(const std::exception &error);

// The XMP history: its key, and the position of the item a key belongs to
// ("Xmp.xmpMM.History[3]/stEvt:when" gives 3; 0 for any other key).
extern const char *const historyKey;
int historyIndexOf(const std::string &key, std::string *field = nullptr);

} // namespace exivlib

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
    // A PNG's or TIFF's tags that its own format alone holds, for a photo written as a JPEG.
    FormatTags formatTags;
};
