// Fuzzes the JPEG segment lister and splicer on one file's bytes: listing, taking the metadata,
// splicing it into the same bytes and replacing, adding and removing an EXIF segment.
#include "jpegsegments.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const JpegLayout layout = parseJpegLayout(bytes);
    for (const JpegSegment &segment : layout.segments) {
        if (segment.offset < 2 || segment.size > bytes.size() - segment.offset)
            __builtin_trap();
    }
    const JpegMetadata metadata = takeJpegMetadata(bytes);
    QByteArray spliced;
    QString error;
    spliceJpegMetadata(bytes, metadata, spliced, error);
    QByteArray changed = bytes;
    const QByteArray exif = makeJpegSegment(0xE1, exifIdentifier() + bytes.left(64));
    replaceJpegSegment(changed, JpegSegmentKind::Exif, exif, error);
    replaceJpegSegment(changed, JpegSegmentKind::Xmp, exif, error);
    replaceJpegSegment(changed, JpegSegmentKind::Exif, QByteArray(), error);
    findJpegSegment(changed, JpegSegmentKind::Xmp);
    return 0;
}
