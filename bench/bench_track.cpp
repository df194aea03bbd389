// Times loading a day of GPS track at one fix per second and looking photos up in it.
//
//   bench_track [fixes=86400] [matches=100000]
#include "gpstrack.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// A walk that wanders a few kilometres from Madrid, one fix per second from midnight UTC.
bool writeDayTrack(const QString &path, int fixes, const QDateTime &start)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<gpx version=\"1.1\" creator=\"bench\" "
               "xmlns=\"http://www.topografix.com/GPX/1/1\">\n<trk><trkseg>\n");
    QRandomGenerator random(7);
    double latitude = 40.4168;
    double longitude = -3.7038;
    for (int i = 0; i < fixes; ++i) {
        latitude += (random.generateDouble() - 0.5) * 1e-4;
        longitude += (random.generateDouble() - 0.5) * 1e-4;
        const QString time = start.addSecs(i).toString(Qt::ISODate);
        file.write(QStringLiteral("<trkpt lat=\"%1\" lon=\"%2\"><ele>650.0</ele><time>%3</time>"
                                  "</trkpt>\n")
                       .arg(latitude, 0, 'f', 7)
                       .arg(longitude, 0, 'f', 7)
                       .arg(time)
                       .toUtf8());
    }
    file.write("</trkseg></trk>\n</gpx>\n");
    return file.error() == QFile::NoError;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int fixes = args.size() > 1 ? args[1].toInt() : 86400;
    const int matches = args.size() > 2 ? args[2].toInt() : 100000;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("day.gpx"));
    const QDateTime start(QDate(2024, 5, 1), QTime(0, 0), Qt::UTC);
    if (!writeDayTrack(path, fixes, start)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("track: %d fixes, %.1f MB\n", fixes, QFile(path).size() / 1e6);

    // Best of three: the first run also pays for GDAL's driver registration.
    qint64 bestLoad = -1;
    GpsTrack track;
    for (int run = 0; run < 3; ++run) {
        GpsTrack fresh;
        QString error;
        QElapsedTimer timer;
        timer.start();
        if (!fresh.load(path, error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        const qint64 elapsed = timer.nsecsElapsed();
        std::printf("load run %d: %.3f s (%d fixes)\n", run + 1, elapsed / 1e9, fresh.fixCount());
        if (bestLoad < 0 || elapsed < bestLoad)
            bestLoad = elapsed;
        track = std::move(fresh);
    }

    QRandomGenerator random(11);
    const qint64 span = static_cast<qint64>(fixes) * 1000;
    int found = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < matches; ++i) {
        const QDateTime at = start.addMSecs(static_cast<qint64>(random.bounded(double(span))));
        found += track.match(at, 1800).found() ? 1 : 0;
    }
    const qint64 elapsed = timer.nsecsElapsed();
    std::printf("load best: %.3f s (target < 1 s)\n", bestLoad / 1e9);
    std::printf("%d matches: %.3f s, %.2f us each, %d found\n", matches, elapsed / 1e9,
                elapsed / 1e3 / matches, found);
    return 0;
}
