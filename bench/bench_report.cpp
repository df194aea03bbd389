// What the photo report and the KMZ add to a run: cartaluz-lote over the same made photos, once
// as by default (lossless stamping, no report) and once with --informe and --kmz, each from a
// fresh copy, with the CPU time, wall time and peak memory of the program itself.
//
//   bench_report CARTALUZ_LOTE [photos=200] [width=4000] [height=3000] [workers=2] [photo.jpg]
//
// With photo.jpg, copies of that photo (a camera's own) instead of the made scene.
#include "benchscene.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>

#include <cstdio>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void tag(const QString &path, int index)
{
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    Exiv2::ExifData exif;
    exif["Exif.Photo.DateTimeOriginal"] = "2024:03:15 10:20:30";
    exif["Exif.GPSInfo.GPSLatitude"] = "33/1 26/1 " + std::to_string(1608 + index * 37) + "/100";
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "S";
    exif["Exif.GPSInfo.GPSLongitude"] = "70/1 39/1 " + std::to_string(1800 + index * 23) + "/100";
    exif["Exif.GPSInfo.GPSLongitudeRef"] = "W";
    exif["Exif.GPSInfo.GPSImgDirection"] = std::to_string(index * 170 % 36000) + "/100";
    exif["Exif.GPSInfo.GPSImgDirectionRef"] = "T";
    image->setExifData(exif);
    image->writeMetadata();
}

struct Cost
{
    int status = -1;
    double wallSeconds = 0.0;
    double cpuSeconds = 0.0;
    double peakMiB = 0.0;
};

// The child's own figures, from wait4: nothing of this process's.
Cost runLote(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> bytes{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        bytes.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &argument : bytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    timer.start();
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        if (!freopen("/dev/null", "w", stdout))
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Cost cost;
    cost.wallSeconds = timer.nsecsElapsed() / 1e9;
    cost.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    cost.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                      (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    cost.peakMiB = usage.ru_maxrss / 1024.0;
    return cost;
}

void copyFolder(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QFileInfo &file : QDir(from).entryInfoList(QDir::Files))
        QFile::copy(file.filePath(), QDir(to).filePath(file.fileName()));
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "uso: bench_report CARTALUZ_LOTE [fotos] [ancho] [alto] [trabajos]\n");
        return 2;
    }
    const QString lote = args.at(1);
    const int photos = args.value(2, QStringLiteral("200")).toInt();
    const int width = args.value(3, QStringLiteral("4000")).toInt();
    const int height = args.value(4, QStringLiteral("3000")).toInt();
    const QString workers = args.value(5, QStringLiteral("2"));
    const QString camera = args.value(6);

    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("origen"));
    QDir().mkpath(source);
    const QString scene = dir.filePath(QStringLiteral("scene.jpg"));
    if (camera.isEmpty())
        makeScene(width, height).save(scene, "JPEG", 92);
    else
        QFile::copy(camera, scene);
    for (int i = 0; i < photos; ++i) {
        const QString path =
            QDir(source).filePath(QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QChar('0')));
        QFile::copy(scene, path);
        tag(path, i);
    }
    const QSize size = QImage(scene).size();
    std::printf("%d fotos de %d × %d, -j %s\n", photos, size.width(), size.height(),
                qPrintable(workers));

    // Each run twice, alternating, on fresh copies; the better of each is kept, as the machine is
    // shared.
    Cost best[2];
    for (int round = 0; round < 2; ++round) {
        for (int withReport = 0; withReport < 2; ++withReport) {
            const QString folder =
                dir.filePath(QStringLiteral("run-%1-%2").arg(round).arg(withReport));
            copyFolder(source, folder);
            QStringList arguments{QStringLiteral("-j"), workers};
            if (withReport)
                arguments << QStringLiteral("--informe") << folder + QStringLiteral(".pdf")
                          << QStringLiteral("--kmz") << folder + QStringLiteral(".kmz");
            const Cost cost = runLote(lote, arguments << folder);
            if (cost.status != 0) {
                std::fprintf(stderr, "cartaluz-lote terminó con %d\n", cost.status);
                return 1;
            }
            Cost &kept = best[withReport];
            if (round == 0 || cost.cpuSeconds < kept.cpuSeconds)
                kept = cost;
            if (withReport)
                std::printf("  informe %.1f MB (%.0f KB por foto), KMZ %.1f MB\n",
                            QFileInfo(folder + QStringLiteral(".pdf")).size() / 1e6,
                            QFileInfo(folder + QStringLiteral(".pdf")).size() / 1024.0 / photos,
                            QFileInfo(folder + QStringLiteral(".kmz")).size() / 1e6);
            QDir(folder).removeRecursively();
        }
    }
    for (int withReport = 0; withReport < 2; ++withReport)
        std::printf("%-22s CPU %6.1f s  pared %6.1f s  pico %6.1f MiB\n",
                    withReport ? "con --informe --kmz" : "por omisión", best[withReport].cpuSeconds,
                    best[withReport].wallSeconds, best[withReport].peakMiB);
    std::printf("el informe y el KMZ: CPU %+.0f %%, pared %+.0f %%, memoria %+.1f MiB\n",
                (best[1].cpuSeconds / best[0].cpuSeconds - 1) * 100,
                (best[1].wallSeconds / best[0].wallSeconds - 1) * 100,
                best[1].peakMiB - best[0].peakMiB);
    return 0;
}
