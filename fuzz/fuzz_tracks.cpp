// Fuzzes the track readers: the input is a whole track file, whatever format it looks like.
#include "trackreaders.h"

#include <QBuffer>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    TrackReading reading;
    readTrackBytes(buffer, reading);
    return 0;
}
