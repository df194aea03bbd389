// Runs one large photo through the whole batch and reports its time and the process's peak
// memory, to check that big photos decode at all and stay within a few times their pixel size.
//
//   bench_bigphoto make <file.jpg> <width> <height>   writes a plain-colour photo with tags
//   bench_bigphoto run <folder>                       runs the batch (every option on) over it
//   bench_bigphoto history <file>                     times one XMP history entry added to its
//                                                     bytes in memory
#include "photometadata.h"
#include "photoprocessor.h"

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <exiv2/exiv2.hpp>

#include <cstdio>

namespace {

long peakKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// Plain colour: quick to encode and decode, while the decoded size is the real one.
int make(const QString &path, int width, int height)
{
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(QColor(70, 110, 160));
        QImageWriter writer(path);
        writer.setQuality(90);
        if (!writer.write(image)) {
            std::fprintf(stderr, "%s\n", qPrintable(writer.errorString()));
            return 1;
        }
    }
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Banco";
    exif["Exif.Photo.DateTimeOriginal"] = "2024:03:15 10:20:30";
    exif["Exif.GPSInfo.GPSLatitude"] = "33/1 26/1 1608/100";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "S";
    exif["Exif.GPSInfo.GPSLongitude"] = "70/1 39/1 18/1";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
    exif["Exif.GPSInfo.GPSImgDirection"] = "4500/100";
    exif["Exif.GPSInfo.GPSImgDirectionRef"] = "T";
    image->setExifData(exif);
    image->writeMetadata();
    return 0;
}

int run(const QString &folder)
{
    const QString fontPath =
        QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
    QElapsedTimer timer;
    timer.start();
    PhotoProcessor::processPhotos(
        folder, QString(), fontPath, 0.03, true, QString(), QColor(Qt::white), 0.0,
        QStringLiteral("arriba-izquierda"), QStringLiteral("abajo-derecha"),
        QStringLiteral("abajo-izquierda"), 0.18, false, false, QString(), false, true, true, false,
        QStringLiteral("arriba-derecha"), false,
        [](const QString &line) { std::printf("%s\n", qPrintable(line)); });
    std::printf("Batch: %lld ms, peak resident memory (VmHWM) %ld MiB\n",
                static_cast<long long>(timer.elapsed()), peakKb() / 1024);
    return 0;
}

// Each round starts from the file's bytes, so every one adds the first Cartaluz entry.
int history(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray original = file.readAll();
    const HistoryEntry entry{QStringLiteral("edited"), QStringLiteral("Cartaluz bench"),
                             QDateTime::currentDateTime(), QStringLiteral("--prefijo P")};
    constexpr int rounds = 50;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i) {
        QByteArray photo = original;
        QString error;
        if (!appendHistoryEntry(photo, entry, error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    std::printf("History entry on %lld bytes: %.2f ms each (mean of %d)\n",
                static_cast<long long>(original.size()), timer.nsecsElapsed() / 1e6 / rounds,
                rounds);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == QLatin1String("make"))
        return make(args[2], args[3].toInt(), args[4].toInt());
    if (args.size() == 3 && args[1] == QLatin1String("run"))
        return run(args[2]);
    if (args.size() == 3 && args[1] == QLatin1String("history"))
        return history(args[2]);
    std::fprintf(stderr, "usage: bench_bigphoto make <file.jpg> <width> <height>\n"
                         "       bench_bigphoto run <folder>\n"
                         "       bench_bigphoto history <file>\n");
    return 2;
}
