// Fuzzes a photo's road through the batch: the input is one photo file, which is decoded,
// painted with every option on, encoded and given its metadata back.
#include "photoprocessor.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: a static one would be torn down after the thread storage it needs.
    new QGuiApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QTemporaryDir dir;
    {
        QFile file(dir.filePath(QStringLiteral("photo.jpg")));
        if (!file.open(QIODevice::WriteOnly))
            return 0;
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    static const QString fontPath = QCoreApplication::applicationDirPath() + "/notosans.ttf";
    PhotoProcessor::processPhotos(
        dir.path(), QString(), fontPath, 0.05, true, QString(), QColor(Qt::yellow), 0.0,
        QStringLiteral("arriba-izquierda"), QStringLiteral("abajo-derecha"),
        QStringLiteral("abajo-izquierda"), 0.3, false, false, QString(), false, true, true, false,
        QStringLiteral("arriba-derecha"), false, [](const QString &) {});
    return 0;
}
