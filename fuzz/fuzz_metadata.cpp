// Fuzzes the metadata readers and writers on one file: the date and GPS readers, the snapshot,
// then its restore into the same bytes held in memory and the UTM write on the result.
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
    const auto ignore = [](Severity, const QString &) {
    };

    QDateTime date;
    readCaptureDate(path, date);
    double latitude = 0.0;
    double longitude = 0.0;
    double direction = 0.0;
    readGpsData(path, latitude, longitude, direction);

    MetadataSnapshot snapshot;
    bool dateFound = false;
    QString error;
    snapshot.takeFrom(path, date, dateFound, error);
    QByteArray copy = bytes;
    snapshot.restoreInto(copy, error);
    writeUtmToExif(copy, path, 19, 'H', 346574.735, 6298958.906, direction, true, ignore);
    // The file forms of the two writes add only a file read and a rename around these.
    return 0;
}
