// Times the whole batch (re-encoding, under cartaluz-lote's data-safety rules) with one worker and
// with several against its floor (decoding and re-encoding the same photos at quality 90 with the
// same codec), and samples memory from the first photo to the last of a longer run with several
// workers.
//
//   bench_pipeline [photos=20] [memoryPhotos=200] [width=4000] [height=3000] [workers=cores]
#include "batchengine.h"
#include "benchscene.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <exiv2/exiv2.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace {

void addCameraTags(const QString &path, int index)
{
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    Exiv2::ExifData exif;
    exif["Exif.Image.Make"] = "Banco";
    exif["Exif.Image.Model"] = "Prueba 1";
    exif["Exif.Photo.DateTimeOriginal"] = "2024:03:15 10:20:30";
    exif["Exif.GPSInfo.GPSLatitude"] = "33/1 26/1 " + std::to_string(1608 + index * 10) + "/100";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "S";
    exif["Exif.GPSInfo.GPSLongitude"] = "70/1 39/1 18/1";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
    exif["Exif.GPSInfo.GPSImgDirection"] = std::to_string(4500 + index * 100) + "/100";
    exif["Exif.GPSInfo.GPSImgDirectionRef"] = "T";
    image->setExifData(exif);
    Exiv2::XmpData xmp;
    xmp["Xmp.dc.subject"] = "banco";
    image->setXmpData(xmp);
    image->writeMetadata();
}

QStringList makePhotos(const QString &dir, const QString &source, int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path =
            QDir(dir).filePath(QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QChar('0')));
        QFile::copy(source, path);
        addCameraTags(path, i);
        paths << path;
    }
    return paths;
}

long statusKb(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

// User plus system CPU time of the whole process: on a shared machine it says what the work
// costs when wall time only says how busy the other tenants were.
double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// CPU time of the calling thread alone: in a run with workers, the ordered part of the road
// (listing, backup, metadata read, names) plus handing the log out.
double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// Decode and encode each photo once, as the floor of what any pipeline must do.
std::vector<double> timeFloor(const QStringList &paths)
{
    std::vector<double> times;
    for (const QString &path : paths) {
        QElapsedTimer timer;
        timer.start();
        const QImage image(path);
        QImageWriter writer(path);
        writer.setFormat("jpg");
        writer.setQuality(90);
        writer.write(image);
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    return times;
}

struct RunFigures
{
    double perPhotoMs = 0; // wall time of the whole run over the photos it processed
    double cpuPerPhotoMs = 0;
    double callingPerPhotoMs = 0; // the calling thread's CPU time
    std::vector<long> rssKb;      // sampled as each photo's log is handed out
    long peakKb = 0;
};

// sampleMemory reads the process's status as each photo is handed out; the timed runs leave it
// out, as it would count as the calling thread's work.
RunFigures timePipeline(const QString &dir, const QString &logoPath, const QString &fontPath,
                        int workers, bool sampleMemory = false)
{
    RunFigures figures;
    QStringList errors;
    int processed = 0;
    BatchJob job;
    job.directory = dir;
    job.logoPath = logoPath;
    job.style.fontPath = fontPath;
    job.addPrefix = true;
    job.prefix = QStringLiteral("XXX_XXX_SA_");
    job.workers = workers;
    // The rules cartaluz-lote, the front end that runs several workers, runs under: each photo's
    // backup, rename and write on its worker, only its names claimed on the calling thread.
    job.policy = RunPolicy::Script;
    job.log = [&](Severity severity, const QString &line) {
        if (severity == Severity::Error)
            errors << line;
    };
    double callingAtFirst = 0;
    job.progress = [&](int done, int) {
        processed = done;
        if (done == 1)
            callingAtFirst = threadCpuMs();
        if (sampleMemory)
            figures.rssKb.push_back(statusKb("VmRSS"));
    };
    QElapsedTimer timer;
    timer.start();
    const double cpuStart = cpuMs();
    runBatch(job);
    // From the first photo handed out on, so the run's start (logo, font) is left out.
    figures.callingPerPhotoMs =
        processed > 1 ? (threadCpuMs() - callingAtFirst) / (processed - 1) : 0.0;
    figures.cpuPerPhotoMs = processed > 0 ? (cpuMs() - cpuStart) / processed : 0.0;
    figures.perPhotoMs = processed > 0 ? timer.nsecsElapsed() / 1e6 / processed : 0.0;
    figures.peakKb = statusKb("VmHWM");
    for (const QString &e : errors.mid(0, 5))
        std::printf("  log error: %s\n", qPrintable(e));
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int photos = args.value(1, QStringLiteral("20")).toInt();
    const int memoryPhotos = args.value(2, QStringLiteral("200")).toInt();
    const int width = args.value(3, QStringLiteral("4000")).toInt();
    const int height = args.value(4, QStringLiteral("3000")).toInt();
    const int workers = args.value(5, QString::number(QThread::idealThreadCount())).toInt();

    QTemporaryDir work;
    const QString fontPath =
        QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
    const QString source = work.filePath(QStringLiteral("source.jpg"));
    const QString logoPath = work.filePath(QStringLiteral("logo.png"));
    {
        QImageWriter writer(source);
        writer.setQuality(92);
        writer.write(makeScene(width, height));
        QImage logo(400, 200, QImage::Format_ARGB32);
        logo.fill(QColor(200, 30, 30, 180));
        logo.save(logoPath);
    }
    std::printf("Photos of %d x %d, %lld bytes each\n", width, height,
                static_cast<long long>(QFile(source).size()));

    const QString floorDir = work.filePath(QStringLiteral("floor"));
    const QString runDir = work.filePath(QStringLiteral("run"));
    QDir().mkpath(floorDir);
    QDir().mkpath(runDir);
    const QStringList floorPaths = makePhotos(floorDir, source, photos);
    makePhotos(runDir, source, photos);

    const QString manyDir = work.filePath(QStringLiteral("many"));
    QDir().mkpath(manyDir);
    makePhotos(manyDir, source, photos);

    const double floorCpuStart = cpuMs();
    const std::vector<double> floorTimes = timeFloor(floorPaths);
    const double floorCpuMs = (cpuMs() - floorCpuStart) / double(floorPaths.size());
    double floorMs = 0;
    for (double ms : floorTimes)
        floorMs += ms / double(floorTimes.size());
    const RunFigures one = timePipeline(runDir, logoPath, fontPath, 1);
    const RunFigures many = timePipeline(manyDir, logoPath, fontPath, workers);
    std::printf("Floor (decode + encode, quality 90): %.1f ms per photo\n", floorMs);
    std::printf("CPU time per photo: floor %.1f ms, 1 worker %.1f ms (%.2f x floor), %d workers "
                "%.1f ms\n",
                floorCpuMs, one.cpuPerPhotoMs,
                floorCpuMs > 0 ? one.cpuPerPhotoMs / floorCpuMs : 0.0, workers, many.cpuPerPhotoMs);
    std::printf("Engine, 1 worker (every option on):  %.1f ms per photo (%.2f x floor)\n",
                one.perPhotoMs, floorMs > 0 ? one.perPhotoMs / floorMs : 0.0);
    std::printf("Engine, %d workers:                   %.1f ms per photo (%.2f x 1 worker)\n",
                workers, many.perPhotoMs,
                one.perPhotoMs > 0 ? many.perPhotoMs / one.perPhotoMs : 0.0);
    // The calling thread's part is done in order, one photo after the other: however many
    // workers, a run cannot go faster than one photo per that much time.
    std::printf("Calling thread, %d workers: %.2f ms per photo; speed-up ceiling %.0f x 1 worker\n",
                workers, many.callingPerPhotoMs,
                many.callingPerPhotoMs > 0 ? one.perPhotoMs / many.callingPerPhotoMs : 0.0);
    std::printf("Ratios: 1 worker %.2f x floor; %d workers %.2f x 1 worker\n",
                floorMs > 0 ? one.perPhotoMs / floorMs : 0.0, workers,
                one.perPhotoMs > 0 ? many.perPhotoMs / one.perPhotoMs : 0.0);

    if (memoryPhotos > 0) {
        const QString memDir = work.filePath(QStringLiteral("memory"));
        QDir().mkpath(memDir);
        makePhotos(memDir, source, memoryPhotos);
        const RunFigures mem = timePipeline(memDir, logoPath, fontPath, workers, true);
        std::printf("Memory over %d photos, %d workers (VmRSS as each photo is handed out):\n",
                    memoryPhotos, workers);
        for (int i : {1, 2, 5, 10, 25, 50, 100, 200, 500}) {
            if (i <= int(mem.rssKb.size()))
                std::printf("  photo %4d: %ld MiB\n", i, mem.rssKb[size_t(i - 1)] / 1024);
        }
        std::printf("  peak (VmHWM, whole process): %ld MiB; one decoded photo: %lld MiB\n",
                    mem.peakKb / 1024, static_cast<long long>(width) * height * 4 / (1024 * 1024));
    }
    return 0;
}
