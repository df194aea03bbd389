// Positions from GPX tracks by a photo's capture time, and photos without a position in the run's
// layer.
#include "gpstrack.h"
#include "testphotos.h"
#include "trackrun.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>

namespace {

// One string per segment, points "lat lon [HH:mm:ss[±HH:MM]]" (1 May 2024, UTC unless an offset
// follows) split by commas.
QString gpx(const QString &version, const QStringList &segments)
{
    QString body;
    for (const QString &segment : segments) {
        body += "<trkseg>";
        for (const QString &point : segment.split(", ")) {
            const QStringList f = point.split(' ') << QString();
            const QString zone = f[2].size() == 8 ? "Z" : "";
            const QString time =
                f[2].isEmpty() ? "" : "<time>2024-05-01T" + f[2] + zone + "</time>";
            body += QString("<trkpt lat=\"%1\" lon=\"%2\">%3</trkpt>").arg(f[0], f[1], time);
        }
        body += "</trkseg>";
    }
    return QString("<?xml version=\"1.0\"?><gpx version=\"%1\" creator=\"t\" xmlns=\"http://"
                   "www.topografix.com/GPX/%2\"><trk>%3</trk></gpx>")
        .arg(version, QString(version).replace('.', '/'), body);
}

const QStringList daySegments{"40 -3 10:00:00, 40.001 -3.002 10:00:10, 40.1 -3.1 11:00:10",
                              "41 -4 11:10:00, 41.002 -4.004 11:10:20"};

const char *const between = "40.0005 -3.001 10:00:00 10:00:10";

// "lat lon fix [laterFix]" (times UTC), or the reason when there is no position.
QString describe(const TrackMatch &m)
{
    const QString fixes = m.fix.toString("HH:mm:ss") + ' ' + m.laterFix.toString("HH:mm:ss");
    return m.found() ? QString("%1 %2 %3")
                           .arg(m.latitude, 0, 'g', 9)
                           .arg(m.longitude, 0, 'g', 9)
                           .arg(fixes.trimmed())
                     : trackMatchReason(m.result);
}

} // namespace

class TestTrack : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The machine's zone, for captures with no other offset: three hours east of UTC.
        qputenv("TZ", "UTC-3");
        tzset();
    }

    void match_data()
    {
        QTest::addColumn<QStringList>("tracks"); // GPX texts loaded in turn; "" for a missing file
        QTest::addColumn<QString>("camera");     // capture time on the camera's clock
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("expected"); // as describe() puts it, or the start of the error
        QTest::addColumn<QString>("zone");     // --zona-camara; empty when not given
        QTest::addColumn<QString>("offset");   // the photo's OffsetTimeOriginal; empty when absent
        QTest::addColumn<int>("adjust");
        const auto row = [](const char *name, const QStringList &tracks, const char *camera,
                            int limit, const char *expected, const char *zone = "+00:00",
                            const char *offset = "", int adjust = 0) {
            QTest::newRow(name) << tracks << camera << limit << expected << zone << offset
                                << adjust;
        };
        const QStringList day{gpx("1.1", daySegments)};
        row("exact fix", day, "10:00:10", 1800, "40.001 -3.002 10:00:10");
        row("between fixes", day, "10:00:05", 1800, between);
        row("long gap, nearer fix within", day, "10:35:00", 1800, "40.1 -3.1 11:00:10");
        row("long gap, both fixes beyond", day, "10:30:10", 600, "hueco demasiado largo");
        row("gap at the limit", day, "10:30:10", 3600, "40.0505 -3.051 10:00:10 11:00:10");
        row("before the start, within", day, "09:30:00", 1800, "40 -3 10:00:00");
        row("before the start, beyond", day, "09:29:59", 1800, "fuera del track");
        row("after the end, beyond", day, "11:40:21", 1800, "fuera del track");
        row("segment break, end of one", day, "11:05:00", 1800, "40.1 -3.1 11:00:10");
        row("segment break, start of next", day, "11:06:00", 1800, "41 -4 11:10:00");
        row("segment break, both too far", day, "11:05:00", 200, "hueco demasiado largo");
        row("offset from the option", day, "12:00:05", 1800, between, "+02:00", "-05:00");
        row("offset from OffsetTimeOriginal", day, "05:00:05", 1800, between, "", "-05:00");
        row("machine time zone", day, "13:00:05", 1800, between, "");
        row("camera clock a minute fast", day, "12:01:05", 1800, between, "+02:00", "", 60);
        row("zone typed as hours", day, "05:00:05", 1800, between, "-05");
        row("zone with one-digit hours", day, "15:30:05", 1800, between, "+5:30");
        row("no capture date", day, "", 1800, "sin fecha de captura");
        row("GPX 1.0", {gpx("1.0", daySegments)}, "10:00:05", 1800, between);
        row("untimed point left out",
            {gpx("1.1", {"40 -3 10:00:00, 50 -9, 40.001 -3.002 10:00:10"})}, "10:00:05", 1800,
            between);
        row("out of order, time with an offset",
            {gpx("1.1", {"40.001 -3.002 10:00:10, 40 -3 12:00:00+02:00"})}, "10:00:05", 1800,
            between);
        row("two files, later one earlier",
            {gpx("1.1", {"41 -4 10:00:20, 41 -4 10:00:30, 41 -4 10:00:40"}),
             gpx("1.1", {"40 -3 10:00:00, 40.001 -3.002 10:00:10"})},
            "10:00:14", 1800, "40.001 -3.002 10:00:10");
        row("no timed points", {gpx("1.1", {"40.0 -3.0"})}, "", 0, "No se pudo leer el track");
        row("not a GPX file", {"fecha,lat,lon\n"}, "", 0, "No se pudo leer el track");
        row("missing file", {""}, "", 0, "No se pudo leer el track");
    }

    void match()
    {
        QFETCH(QStringList, tracks);
        QFETCH(QString, camera);
        QFETCH(int, limit);
        QFETCH(QString, expected);
        QFETCH(QString, zone);
        QFETCH(QString, offset);
        QFETCH(int, adjust);
        QTemporaryDir dir;
        GpsTrack track;
        QString error;
        for (int i = 0; i < tracks.size(); ++i) {
            const QString path = dir.filePath(QString("t%1.gpx").arg(i));
            QVERIFY(tracks[i].isEmpty() || TestPhotos::writeFile(path, tracks[i].toUtf8()));
            if (!track.load(path, error)) {
                QVERIFY2(error.startsWith(expected) && error.contains(path), qPrintable(error));
                return;
            }
        }
        CameraClock clock;
        clock.adjustSeconds = adjust;
        int zoneSeconds = 0;
        if (!zone.isEmpty()) {
            QVERIFY2(parseCameraZoneOption(zone, zoneSeconds, error), qPrintable(error));
            clock.zoneOffsetSeconds = zoneSeconds;
        }
        const QDateTime captureDate =
            QDateTime::fromString("2024:05:01 " + camera, "yyyy:MM:dd HH:mm:ss");
        QCOMPARE(describe(track.match(cameraTimeToUtc(captureDate, clock, offset), limit)),
                 expected);
    }

    // A photo left without a position is a feature without geometry whose fuente says why; one
    // skipped for anything else is left out. Dates carry the photo's offset.
    void unplacedPhotoInTheLayer()
    {
        QVector<PhotoOutcome> outcomes(3);
        for (int i = 0; i < 3; ++i) {
            outcomes[i].listedPath = outcomes[i].finalPath = QString("%1.jpg").arg(QChar('a' + i));
            outcomes[i].captureDate = QDateTime(QDate(2024, 3, 15), QTime(10, 20, 30));
            outcomes[i].dateFound = true;
            outcomes[i].captureOffset = "-03:00";
        }
        outcomes[0].processed = true;
        outcomes[1].positionMissing = true;
        outcomes[1].reason = "fuera del track";
        QTemporaryDir dir;
        const QString path = dir.filePath("capa.gpkg");
        QString error;
        QVERIFY2(writeLayer(path, layerPointsOf(outcomes), error), qPrintable(error));
        GDALAllRegister();
        const GDALDatasetUniquePtr data(GDALDataset::Open(QFile::encodeName(path), GDAL_OF_VECTOR));
        QVERIFY(data && data->GetLayerCount() == 1);
        QStringList rows;
        for (const auto &feature : *data->GetLayer(0))
            rows << QStringList{feature->GetFieldAsString("archivo"),
                                feature->GetFieldAsString("fuente"),
                                feature->GetFieldAsString("fecha"),
                                feature->GetGeometryRef() ? "punto" : "",
                                feature->GetFieldAsString("easting")}
                        .join('|');
        QCOMPARE(rows,
                 QStringList({"a.jpg|fija|2024-03-15T10:20:30-03:00|punto|500000",
                              "b.jpg|sin posición: fuera del track|2024-03-15T10:20:30-03:00||"}));
    }
};

QTEST_GUILESS_MAIN(TestTrack)
#include "tst_track.moc"
