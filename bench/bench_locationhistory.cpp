// Reads a phone's location-history export of a given size, as a crew's year of it, and reports
// the time it takes and the process's peak memory, which the streaming reader keeps bounded.
//
//   bench_locationhistory [megabytes=150] [ondevice|takeout]
#include "gpstrack.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>

namespace {

long peakKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A walk from Madrid: one path point a minute in activity segments, visits between them, and
// raw signals (positions and Wi-Fi scans) as the 2024 on-device export writes them; or the
// Takeout Records.json form. Written piece by piece, so writing it costs no memory.
bool writeExport(const QString &path, qint64 bytes, bool onDevice, qint64 &points)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator random(5);
    double latitude = 40.4168, longitude = -3.7038;
    QDateTime time(QDate(2023, 1, 1), QTime(8, 0), Qt::OffsetFromUTC, 3600);
    const auto step = [&] {
        latitude += (random.generateDouble() - 0.5) * 1e-3;
        longitude += (random.generateDouble() - 0.5) * 1e-3;
        time = time.addSecs(60);
        ++points;
    };
    points = 0;
    if (!onDevice) {
        file.write("{\n  \"locations\": [");
        for (bool first = true; file.size() < bytes; first = false) {
            step();
            file.write(QStringLiteral("%1{\n    \"latitudeE7\": %2,\n    \"longitudeE7\": %3,\n"
                                      "    \"accuracy\": 12,\n    \"source\": \"WIFI\",\n"
                                      "    \"timestamp\": \"%4\"\n  }")
                           .arg(first ? "\n  " : ",\n  ")
                           .arg(qRound64(latitude * 1e7))
                           .arg(qRound64(longitude * 1e7))
                           .arg(time.toUTC().toString(Qt::ISODateWithMs))
                           .toUtf8());
        }
        file.write("\n  ]\n}\n");
        return file.error() == QFile::NoError;
    }
    file.write("{\n  \"semanticSegments\": [");
    const qint64 segmentsEnd = bytes * 7 / 10;
    for (bool first = true; file.size() < segmentsEnd; first = false) {
        QByteArray segment =
            QStringLiteral("%1{\n      \"startTime\": \"%2\",\n      \"endTime\": "
                           "\"%2\",\n      \"timelinePath\": [")
                .arg(first ? "\n    " : ",\n    ", time.toString(Qt::ISODateWithMs))
                .toUtf8();
        for (int i = 0; i < 30; ++i) {
            step();
            segment += QStringLiteral("%1{\n        \"point\": \"%2°, %3°\",\n        \"time\": "
                                      "\"%4\"\n      }")
                           .arg(i ? ", " : "")
                           .arg(latitude, 0, 'f', 7)
                           .arg(longitude, 0, 'f', 7)
                           .arg(time.toString(Qt::ISODateWithMs))
                           .toUtf8();
        }
        segment += QStringLiteral("]\n    }, {\n      \"startTime\": \"%1\",\n      \"visit\": "
                                  "{\n        \"probability\": 0.9,\n        \"topCandidate\": "
                                  "{\n          \"placeId\": \"ChIJ\",\n          "
                                  "\"placeLocation\": {\n            \"latLng\": \"%2°, %3°\"\n"
                                  "          }\n        }\n      }\n    }")
                       .arg(time.toString(Qt::ISODateWithMs))
                       .arg(latitude, 0, 'f', 7)
                       .arg(longitude, 0, 'f', 7)
                       .toUtf8();
        file.write(segment);
    }
    file.write("\n  ],\n  \"rawSignals\": [");
    for (bool first = true; file.size() < bytes; first = false) {
        step();
        file.write(QStringLiteral("%1{\n      \"position\": {\n        \"LatLng\": \"%2°, %3°\",\n"
                                  "        \"accuracyMeters\": 8,\n        \"altitudeMeters\": "
                                  "655.3,\n        \"source\": \"GPS\",\n        \"timestamp\": "
                                  "\"%4\"\n      }\n    }, {\n      \"wifiScan\": {\n        "
                                  "\"deliveryTime\": \"%4\",\n        \"devicesRecords\": [{\n  "
                                  "        \"mac\": 123456789,\n          \"rawRssi\": -70\n   "
                                  "     }]\n      }\n    }")
                       .arg(first ? "\n    " : ",\n    ")
                       .arg(latitude, 0, 'f', 7)
                       .arg(longitude, 0, 'f', 7)
                       .arg(time.toString(Qt::ISODateWithMs))
                       .toUtf8());
    }
    file.write("\n  ],\n  \"userLocationProfile\": {\n    \"frequentPlaces\": []\n  }\n}\n");
    return file.error() == QFile::NoError;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 megabytes = args.size() > 1 ? args[1].toLongLong() : 150;
    const bool onDevice = args.size() <= 2 || args[2] != QLatin1String("takeout");

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("historial.json"));
    qint64 points = 0;
    if (!writeExport(path, megabytes * 1000 * 1000, onDevice, points)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return 1;
    }
    const long beforeKiB = peakKiB();
    std::printf("%s export: %.1f MB, %lld fixes written; peak so far %.1f MiB\n",
                onDevice ? "on-device" : "Takeout", QFile(path).size() / 1e6,
                static_cast<long long>(points), beforeKiB / 1024.0);

    GpsTrack track;
    QString error;
    QElapsedTimer timer;
    timer.start();
    if (!track.load(path, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("load: %.2f s, %d fixes in the track\n", timer.nsecsElapsed() / 1e9,
                track.fixCount());
    std::printf("peak memory of the process: %.1f MiB (target < 200 MiB)\n", peakKiB() / 1024.0);
    return 0;
}
