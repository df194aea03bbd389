// Fuzzes lossless stamping with the documents' picture asked for: the input is one JPEG, stamped
// where a run's stamps go and reduced from its coefficients as a report takes it.
#include "losslessjpeg.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: a static one would be torn down after the thread storage it needs.
    new QGuiApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray jpeg(reinterpret_cast<const char *>(data), qsizetype(size));
    const losslessjpeg::Probe probe = losslessjpeg::probe(jpeg);
    // A header may claim any size; the fuzzer's memory limit is not the point here.
    if (probe.outcome != losslessjpeg::Outcome::Done || probe.storedSize.width() > 4096 ||
        probe.storedSize.height() > 4096)
        return 0;
    QImage layer = losslessjpeg::transparentLayer(probe.storedSize);
    if (layer.isNull())
        return 0;
    QPainter(&layer).fillRect(QRect(QPoint(), probe.storedSize / 3), QColor(250, 220, 40, 180));
    for (const int side : {1, probe.storedSize.width() / 5, probe.storedSize.width()})
        losslessjpeg::stamp(jpeg, layer, side);
    return 0;
}
