// Fuzzes the metadata readers and writers on one file: the date and GPS readers, the snapshot,
// then the run's read of the bytes, its restore into them and the GPS write on the result.
#include "photometadata.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("photo.jpg"));
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 0;
        file.write(bytes);
    }

    QDateTime date;
    readCaptureDate(path, date);
    double latitude = 0.0;
    double longitude = 0.0;
    double direction = 0.0;
    readGpsData(path, latitude, longitude, direction);

    // As a run reads and writes it: one parse of the bytes, the restore into them, the GPS tags.
    PhotoMetadata found = readPhotoMetadata(bytes, path);
    QString error;
    QByteArray copy = bytes;
    found.snapshot.restoreInto(copy, error);
    GpsTags tags;
    tags.latitude = -33.45;
    tags.longitude = -70.66;
    tags.direction = direction;
    putGpsIntoPhoto(copy, tags);
    // The file forms of the two writes add only a file read and a rename around these.
    return 0;
}
