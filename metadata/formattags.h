// Tags of a PNG or TIFF that only its own format holds, given EXIF and XMP homes. Internal to
// the metadata module.
#pragma once

#include <QByteArray>

#include <exiv2/exiv2.hpp>

struct FormatTags
{
    Exiv2::ExifData exif;        // tags the photo's EXIF lacks, from its text chunks or directory
    Exiv2::XmpData xmp;          // the same for its XMP
    bool droppedPointer = false; // the TIFF's misplaced interoperability pointer goes
};

// What the photo's bytes hold beyond exif and xmp, as read by the library: a PNG's text chunks
// (Make, Model, Software, Author, Description, Copyright, Title, Comment, its creation and
// modification dates) and tIME chunk; a TIFF's interoperability directory pointed to from its
// first directory. Only tags the containers lack; nothing for other content.
FormatTags formatTagsOf(const QByteArray &bytes, const Exiv2::ExifData &exif,
                        const Exiv2::XmpData &xmp);

// The tags put into the containers of a photo written in another format.
void carryFormatTags(const FormatTags &tags, Exiv2::ExifData &exif, Exiv2::XmpData &xmp);
