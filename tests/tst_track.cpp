// Positions from GPS tracks of every format by a photo's capture time, checked against the
// reference geotagger (exiftool) on the same files; drifting clocks; damaged track files; and
// photos without a position in the run's layer.
#include "gpstrack.h"
#include "testphotos.h"
#include "trackrun.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

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

// The track every format is made from: 1 May 2024, UTC, one segment with a 68-minute hole.
// Minutes carry more than three decimals, so formats that round them (NMEA, IGC) differ.
struct SourceFix
{
    const char *time;
    double latitude;
    double longitude;
    double elevation;
};
const SourceFix sourceFixes[] = {
    {"10:00:00", 40.0, -3.0, 600.5},           {"10:00:10", 40.0012345, -3.0023456, 601.5},
    {"10:00:20", 40.0022371, -3.0043412, 602}, {"10:01:00", 40.0039013, -3.0081277, 603.25},
    {"10:02:00", 40.0051234, -3.0110198, 604}, {"11:10:00", 40.0201187, -3.0413322, 610},
    {"11:10:20", 40.0209055, -3.0415071, 611}, {"11:11:00", 40.0217262, -3.0420199, 612},
};

// Capture times (camera clock, UTC): outside the track, at and between fixes, in the hole near a
// fix and far from both, after the end.
const char *const photoTimes[] = {"09:20:00", "09:40:00", "10:00:00", "10:00:07",
                                  "10:00:33", "10:01:47", "10:20:00", "10:36:00",
                                  "10:50:00", "11:10:31", "11:30:00", "12:00:00"};

QByteArray sourceGpx()
{
    QByteArray body;
    for (const SourceFix &f : sourceFixes)
        body += QString("<trkpt lat=\"%1\" lon=\"%2\"><ele>%3</ele><time>2024-05-01T%4Z</time>"
                        "<fix>3d</fix><sat>8</sat><hdop>0.9</hdop></trkpt>\n")
                    .arg(f.latitude, 0, 'f', 7)
                    .arg(f.longitude, 0, 'f', 7)
                    .arg(f.elevation)
                    .arg(f.time)
                    .toUtf8();
    return "<?xml version=\"1.0\"?>\n<gpx version=\"1.1\" creator=\"t\" xmlns=\"http://"
           "www.topografix.com/GPX/1/1\"><trk><trkseg>\n" +
           body + "</trkseg></trk></gpx>\n";
}

// The files gpsbabel does not write, made by hand from the same fixes.
QByteArray handMade(const QString &kind)
{
    QByteArray out;
    int i = 0;
    for (const SourceFix &f : sourceFixes) {
        const QString lat = QString::number(f.latitude, 'f', 7);
        const QString lon = QString::number(f.longitude, 'f', 7);
        const QString sep = i++ ? ",\n" : "";
        if (kind.startsWith("takeout"))
            // An activity guess has a timestamp of its own, which is not the fix's.
            out += QString("%1    {\n      \"latitudeE7\": %2,\n      \"longitudeE7\": %3,\n"
                           "      \"accuracy\": 4,\n%5"
                           "      \"timestamp\": \"2024-05-01T%4.000Z\"\n    }")
                       .arg(sep)
                       .arg(std::llround(f.latitude * 1e7))
                       .arg(std::llround(f.longitude * 1e7))
                       .arg(f.time)
                       .arg(kind == "takeout" ? ""
                                              : "      \"activity\": [{\n        \"timestamp\": "
                                                "\"2020-01-01T00:00:00Z\"\n      }],\n")
                       .toUtf8();
        else if (kind == "device")
            // Local times with the phone's offset, as the export writes them.
            out +=
                QString("%1{\"point\": \"%2°, %3°\", \"time\": \"%4\"}")
                    .arg(sep, lat, lon,
                         QDateTime::fromString(QString("2024-05-01T%1Z").arg(f.time), Qt::ISODate)
                             .toOffsetFromUtc(7200)
                             .toString(Qt::ISODateWithMs))
                    .toUtf8();
        else if (kind == "csv-en")
            out += QString("2024-05-01T%1Z,%2,%3,%4\n")
                       .arg(f.time, lat, lon)
                       .arg(f.elevation)
                       .toUtf8();
        else
            out += QString("2024-05-01;%1;%2;%3;%4\n")
                       .arg(f.time, QString(lat).replace('.', ','), QString(lon).replace('.', ','))
                       .arg(f.elevation)
                       .toUtf8();
    }
    if (kind.startsWith("takeout"))
        return "{\n  \"locations\": [\n" + out + "\n  ]\n}\n";
    if (kind == "device")
        return "{\"semanticSegments\": [{\"startTime\": \"2024-05-01T11:00:00.000+02:00\", "
               "\"timelinePath\": [" +
               out +
               "]}, {\"visit\": {\"topCandidate\": {\"placeLocation\": {\"latLng\": \"41.0°, "
               "-4.0°\"}}}}], \"rawSignals\": [{\"position\": {\"LatLng\": \"40.0000000°, "
               "-3.0000000°\", \"accuracyMeters\": 5, \"timestamp\": "
               "\"2024-05-01T10:00:00.000Z\"}}], \"userLocationProfile\": {}}";
    if (kind == "csv-en")
        return "time,lat,lon,ele\n" + out;
    return "fecha;hora;latitud;longitud;altitud\n" + out;
}

QString runTool(const QString &program, const QStringList &arguments, QString *errors = nullptr)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", "UTC"); // photo times are UTC
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    process.waitForFinished(120000);
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return process.exitCode() == 0 ? QString::fromUtf8(process.readAllStandardOutput()) : QString();
}

// Each photo's position by the reference geotagger, "lat lon", or our reason for its warning.
QMap<QString, QString> referencePositions(const QString &track, const QString &folder,
                                          const QStringList &extra = {})
{
    QString warnings;
    runTool("exiftool",
            QStringList{"-overwrite_original", "-geotag", track} + extra +
                QStringList{"-xmp:geotime<DateTimeOriginal", folder},
            &warnings);
    QMap<QString, QString> positions;
    static const QRegularExpression warning("Warning: (.*) in File:Geotime.* - (.*)$",
                                            QRegularExpression::MultilineOption);
    for (const auto &m : warning.globalMatch(warnings)) {
        const QString why = m.captured(1);
        positions[QFileInfo(m.captured(2)).fileName()] =
            why.contains("too far from nearest") ? "hueco demasiado largo"
            : why.contains("too far")            ? "fuera del track"
                                                 : why;
    }
    const QJsonArray files =
        QJsonDocument::fromJson(
            runTool("exiftool", {"-n", "-j", "-XMP:GPSLatitude", "-XMP:GPSLongitude", folder})
                .toUtf8())
            .array();
    for (const QJsonValue &file : files) {
        const QJsonObject tags = file.toObject();
        if (tags.contains("GPSLatitude"))
            positions[QFileInfo(tags["SourceFile"].toString()).fileName()] =
                QString("%1 %2")
                    .arg(tags["GPSLatitude"].toDouble(), 0, 'f', 9)
                    .arg(tags["GPSLongitude"].toDouble(), 0, 'f', 9);
    }
    return positions;
}

// Metres between two "lat lon" texts, on a sphere; -1 when either is no position.
double metresBetween(const QString &a, const QString &b)
{
    const QStringList p = a.split(' '), q = b.split(' ');
    bool ok[4] = {};
    if (p.size() != 2 || q.size() != 2)
        return -1;
    const double lat1 = p[0].toDouble(&ok[0]), lon1 = p[1].toDouble(&ok[1]);
    const double lat2 = q[0].toDouble(&ok[2]), lon2 = q[1].toDouble(&ok[3]);
    if (!ok[0] || !ok[1] || !ok[2] || !ok[3])
        return -1;
    const double radians = M_PI / 180.0;
    const double dy = (lat2 - lat1) * radians;
    const double dx = (lon2 - lon1) * radians * std::cos((lat1 + lat2) / 2 * radians);
    return 6371008.8 * std::hypot(dx, dy);
}

// Photos named after their capture time, in a new folder.
bool makePhotos(const QString &folder, const QStringList &times)
{
    QDir().mkpath(folder);
    for (const QString &time : times) {
        const QString path = folder + "/p" + QString(time).remove(':') + ".jpg";
        if (!TestPhotos::writeImage(path, 16, 16) ||
            !TestPhotos::setTags(path, {{"Exif.Photo.DateTimeOriginal", "2024:05:01 " + time}}))
            return false;
    }
    return true;
}

QString ourPosition(const GpsTrack &track, const QString &photo, const CameraClock &clock)
{
    const QString time = photo.mid(1, 6);
    const QDateTime camera = QDateTime::fromString("2024:05:01 " + time, "yyyy:MM:dd HHmmss");
    const TrackMatch m = track.match(cameraTimeToUtc(camera, clock), 1800);
    return m.found() ? QString("%1 %2").arg(m.latitude, 0, 'f', 9).arg(m.longitude, 0, 'f', 9)
                     : trackMatchReason(m.result);
}

// "$" + body + "*" + its checksum, as a receiver writes a sentence.
QByteArray nmea(const QByteArray &body)
{
    unsigned char sum = 0;
    for (const char c : body)
        sum ^= static_cast<unsigned char>(c);
    return '$' + body + '*' + QByteArray::number(sum, 16).rightJustified(2, '0').toUpper() + "\r\n";
}

// "FORMAT [dN] [fN] [iN]: MM-dd HH:mm:ss lat lon [eE] [hH] [sS] | ...", or "error: why".
QString describe(const TrackReading &r, bool ok)
{
    if (!ok)
        return "error: " + r.error;
    QString counts;
    if (r.damaged)
        counts += QString(" d%1").arg(r.damaged);
    if (r.withoutFix)
        counts += QString(" f%1").arg(r.withoutFix);
    if (r.impossible)
        counts += QString(" i%1").arg(r.impossible);
    QStringList points;
    for (const TrackPoint &p : r.points) {
        QString text = QDateTime::fromMSecsSinceEpoch(p.msecs, Qt::UTC)
                           .toString("MM-dd HH:mm:ss.zzz")
                           .remove(QRegularExpression("\\.000$")) +
                       QString(" %1 %2").arg(p.latitude, 0, 'g', 9).arg(p.longitude, 0, 'g', 9);
        if (!std::isnan(p.elevation))
            text += QString(" e%1").arg(double(p.elevation));
        if (!std::isnan(p.hdop))
            text += QString(" h%1").arg(double(p.hdop));
        if (p.satellites >= 0)
            text += QString(" s%1").arg(p.satellites);
        if (!std::isnan(p.errorMetres))
            text += QString(" ±%1").arg(double(p.errorMetres));
        points << text;
    }
    return r.format + counts + ": " + points.join(" | ");
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

    void formatsAsReference_data()
    {
        QTest::addColumn<QString>("make");        // gpsbabel's output format, or "hand:KIND"
        QTest::addColumn<bool>("referenceReads"); // exiftool reads the made file itself
        QTest::addColumn<QString>("format");      // as our reader names it
        QTest::newRow("GPX") << "gpx" << true << "GPX 1.1";
        QTest::newRow("NMEA") << "nmea" << true << "NMEA 0183";
        QTest::newRow("KML with gx:Track and timed points") << "kml" << true << "KML";
        // The reference reads the KML the KMZ zips.
        QTest::newRow("KMZ, zipped KML") << "kmz" << true << "KMZ";
        QTest::newRow("TCX") << "gtrnctr" << true << "TCX";
        QTest::newRow("IGC") << "igc" << true << "IGC";
        QTest::newRow("unicsv, Date and Time apart") << "unicsv" << true << "CSV";
        QTest::newRow("FIT through gpsbabel") << "garmin_fit" << false << "FIT";
        QTest::newRow("Takeout Records.json")
            << "hand:takeout" << true << "historial de ubicaciones";
        // The reference takes an activity's timestamp for the fix's; compared with the GPX.
        QTest::newRow("Takeout with activity guesses")
            << "hand:takeout-activity" << false << "historial de ubicaciones";
        QTest::newRow("on-device export") << "hand:device" << false << "historial de ubicaciones";
        QTest::newRow("CSV, English names") << "hand:csv-en" << false << "CSV";
        QTest::newRow("CSV, Spanish names, semicolons") << "hand:csv-es" << false << "CSV";
    }

    // Every photo gets from each file the position the reference geotagger gives from that same
    // file (or, where it cannot read the format, from the GPX it was made from), or its reason.
    void formatsAsReference()
    {
        QFETCH(QString, make);
        QFETCH(bool, referenceReads);
        QFETCH(QString, format);
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            QSKIP("exiftool is not installed (apt install libimage-exiftool-perl)");
        const bool byHand = make.startsWith("hand:");
        if (!byHand && QStandardPaths::findExecutable("gpsbabel").isEmpty())
            QSKIP("gpsbabel is not installed (apt install gpsbabel)");
        QTemporaryDir dir;
        const QString gpx = dir.filePath("fuente.gpx"), track = dir.filePath("track.dat");
        const QString kml = dir.filePath("doc.kml");
        QVERIFY(TestPhotos::writeFile(gpx, sourceGpx()));
        if (make == "gpx")
            QVERIFY(QFile::copy(gpx, track));
        else if (byHand)
            QVERIFY(TestPhotos::writeFile(track, handMade(make.mid(5))));
        else if (make == "kmz") {
            runTool("gpsbabel", {"-t", "-i", "gpx", "-f", gpx, "-o", "kml", "-F", kml});
            runTool("python3", {"-c",
                                "import sys, zipfile\nwith zipfile.ZipFile(sys.argv[1], 'w', "
                                "zipfile.ZIP_DEFLATED) as z: z.write(sys.argv[2], 'doc.kml')",
                                track, kml});
        } else {
            runTool("gpsbabel", {"-t", "-i", "gpx", "-f", gpx, "-o", make, "-F", track});
        }
        QVERIFY2(QFileInfo(track).size() > 0, "the track file could not be made");
        QStringList times;
        for (const char *time : photoTimes)
            times << time;
        const QString folder = dir.filePath("fotos");
        QVERIFY(makePhotos(folder, times));
        const QMap<QString, QString> reference = referencePositions(!referenceReads ? gpx
                                                                    : make == "kmz" ? kml
                                                                                    : track,
                                                                    folder);

        GpsTrack ours;
        QString error;
        QVERIFY2(ours.load(track, error), qPrintable(error));
        QCOMPARE(ours.lastLoad().format, format);
        CameraClock clock;
        clock.zoneOffsetSeconds = 0;
        int placed = 0;
        for (const QString &time : times) {
            const QString photo = "p" + QString(time).remove(':') + ".jpg";
            const QString want = reference.value(photo, "(sin respuesta)");
            const QString got = ourPosition(ours, photo, clock);
            const double metres = metresBetween(got, want);
            placed += metres >= 0 ? 1 : 0;
            QVERIFY2(metres >= 0 ? metres <= 0.02 : got == want,
                     qPrintable(
                         QString("%1: %2, reference %3 (%4 m)").arg(photo, got, want).arg(metres)));
        }
        // The times were chosen so that most photos are placed and each reason occurs.
        QCOMPARE(placed, 9);
    }

    void drift_data()
    {
        QTest::addColumn<QStringList>("syncs"); // --sincronizar values
        QTest::addColumn<QString>("camera");    // capture time
        QTest::addColumn<int>("correction");    // seconds added to the camera's reading
        const QStringList two{"2024:05:01 10:00:00=2024:05:01 10:00:10",
                              "2024:05:01 12:00:00=2024:05:01 12:01:10"};
        QTest::newRow("half-way") << two << "11:00:00" << 40;
        QTest::newRow("at the first point") << two << "10:00:00" << 10;
        QTest::newRow("before both") << two << "09:00:00" << -20;
        QTest::newRow("after both") << two << "13:00:00" << 100;
        QTest::newRow("given in reverse order") << QStringList{two[1], two[0]} << "11:00:00" << 40;
        QTest::newRow("one point, a fixed offset")
            << QStringList{"2024-05-01T10:00:00=2024-05-01T09:59:15"} << "15:00:00" << -45;
        QTest::newRow("three points, second pair")
            << (two + QStringList{"2024:05:01 14:00:00=2024:05:01 14:01:10"}) << "13:00:00" << 70;
    }

    // Two sync points 2 hours apart with 60 s of drift between them: half-way the camera is
    // corrected by half of it; outside the points along the nearest pair.
    void drift()
    {
        QFETCH(QStringList, syncs);
        QFETCH(QString, camera);
        QFETCH(int, correction);
        CameraClock clock;
        clock.zoneOffsetSeconds = 0;
        QString error;
        for (const QString &sync : syncs)
            QVERIFY2(parseSyncOption(sync, clock, error), qPrintable(error));
        const QDateTime reading =
            QDateTime::fromString("2024:05:01 " + camera, "yyyy:MM:dd HH:mm:ss");
        QCOMPARE(cameraTimeToUtc(reading, clock).toString(Qt::ISODate),
                 QDateTime(reading.date(), reading.time(), Qt::UTC)
                     .addSecs(correction)
                     .toString(Qt::ISODate));
    }

    // Photos before, between and after two sync points get the position the reference
    // geotagger's two-point -geosync gives them.
    void driftAsReference()
    {
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            QSKIP("exiftool is not installed (apt install libimage-exiftool-perl)");
        QTemporaryDir dir;
        const QString gpx = dir.filePath("fuente.gpx"), folder = dir.filePath("fotos");
        QVERIFY(TestPhotos::writeFile(gpx, sourceGpx()));
        const QStringList times{"09:59:40", "10:00:03", "10:00:41", "10:01:30", "11:09:50"};
        QVERIFY(makePhotos(folder, times));
        // The camera 5 s slow at 10:00:00 and 65 s slow at 11:00:00.
        const QMap<QString, QString> reference =
            referencePositions(gpx, folder,
                               {"-geosync=2024:05:01 10:00:05@2024:05:01 10:00:00",
                                "-geosync=2024:05:01 11:01:05@2024:05:01 11:00:00"});
        CameraClock clock;
        clock.zoneOffsetSeconds = 0;
        QString error;
        QVERIFY(parseSyncOption("2024:05:01 10:00:00=2024:05:01 10:00:05", clock, error));
        QVERIFY(parseSyncOption("2024:05:01 11:00:00=2024:05:01 11:01:05", clock, error));
        GpsTrack ours;
        QVERIFY2(ours.load(gpx, error), qPrintable(error));
        for (const QString &time : times) {
            const QString photo = "p" + QString(time).remove(':') + ".jpg";
            const QString got = ourPosition(ours, photo, clock);
            const QString want = reference.value(photo);
            const double metres = metresBetween(got, want);
            QVERIFY2(metres >= 0 && metres <= 0.02,
                     qPrintable(QString("%1: %2, reference %3").arg(photo, got, want)));
        }
    }

    void readers_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected"); // as describe() puts it
        const QByteArray rmc = nmea("GPRMC,100000.00,A,4030.000,N,00315.000,W,0.0,0.0,010524,,");
        const QByteArray gga =
            nmea("GPGGA,100000.00,4030.000,N,00315.000,W,1,07,1.2,600.5,M,0,M,,");
        QTest::newRow("NMEA: RMC and GGA of one second merged")
            << rmc + gga << "NMEA 0183: 05-01 10:00:00 40.5 -3.25 e600.5 h1.2 s7";
        QTest::newRow("NMEA: void RMC is no fix, whatever GGA says")
            << nmea("GPRMC,095959,V,4030.000,N,00315.000,W,,,010524,,") +
                   nmea("GPGGA,095959,4030.000,N,00315.000,W,1,07,1.2,600.5,M,0,M,,") + rmc
            << "NMEA 0183 f1: 05-01 10:00:00 40.5 -3.25";
        QTest::newRow("NMEA: GGA quality 0 beside a valid RMC")
            << rmc + nmea("GPGGA,100000.00,4030.000,N,00315.000,W,0,00,,,M,,M,,")
            << "error: no tiene puntos con hora y posición que se puedan usar (NMEA 0183; 1 "
               "puntos sin fix)";
        QTest::newRow("NMEA: bad checksum skipped and counted")
            << QByteArray("$GPRMC,095950,A,4000.000,N,00300.000,W,,,010524,,*00\r\n") + rmc
            << "NMEA 0183 d1: 05-01 10:00:00 40.5 -3.25";
        QTest::newRow("NMEA: any talker, GNS and GLL dated by ZDA")
            << nmea("GNZDA,095959.00,01,05,2024,00,00") +
                   nmea("GNGNS,100000.00,4030.000,N,00315.000,W,AAN,09,0.8,601.0,0,,") +
                   nmea("GAGLL,4030.060,N,00315.120,W,100001.00,A,A") +
                   nmea("GLGLL,4030.060,N,00315.120,W,100002.00,V,N")
            << "NMEA 0183 f1: 05-01 10:00:00 40.5 -3.25 e601 h0.8 s9 | 05-01 10:00:01 40.501 "
               "-3.252";
        QTest::newRow("NMEA: GGA only past midnight")
            << nmea("GPZDA,235959.00,30,04,2024,00,00") +
                   nmea("GPGGA,235959,4030.000,N,00315.000,W,1,07,1.2,600,M,0,M,,") +
                   nmea("GPGGA,000001,4030.000,N,00315.000,W,1,07,1.2,600,M,0,M,,")
            << "NMEA 0183: 04-30 23:59:59 40.5 -3.25 e600 h1.2 s7 | 05-01 00:00:01 40.5 -3.25 "
               "e600 h1.2 s7";
        QTest::newRow("NMEA: no date anywhere")
            << nmea("GPGGA,100000,4030.000,N,00315.000,W,1,07,1.2,600,M,0,M,,")
            << "error: el registro NMEA no tiene fecha (ninguna frase RMC ni ZDA)";
        QTest::newRow("NMEA: every checksum bad")
            << QByteArray("$GPRMC,100000,A,4030.000,N,00315.000,W,,,010524,,*11\n"
                          "$GPRMC,100001,A,4030.000,N,00315.000,W,,,010524,,*12\n")
            << "error: no tiene puntos con hora y posición que se puedan usar (NMEA 0183; 2 "
               "líneas o registros dañados)";

        const QByteArray igcHead = "AXXX001 logger\r\nHFPLTPILOT:Ana\r\n";
        QTest::newRow("IGC: old date header, GNSS altitude, pressure when GNSS is 0")
            << igcHead + "HFDTE010524\r\nB1000004030000N00315000WA0059000600\r\n"
                         "B1000104030500S00315500EA0059100000\r\n"
            << "IGC: 05-01 10:00:00 40.5 -3.25 e600 | 05-01 10:00:10 -40.5083333 3.25833333 e591";
        QTest::newRow("IGC: new date header, midnight")
            << igcHead + "HFDTEDATE:300424,01\r\nB2359594030000N00315000WA0059000600\r\n"
                         "B0000014030000N00315000WA0059000600\r\n"
            << "IGC: 04-30 23:59:59 40.5 -3.25 e600 | 05-01 00:00:01 40.5 -3.25 e600";
        QTest::newRow("IGC: a record cut short, counted")
            << igcHead + "HFDTE010524\r\nB1000004030000N00315000WA0059000600\r\nB10001040300\r\n"
            << "IGC d1: 05-01 10:00:00 40.5 -3.25 e600";
        QTest::newRow("IGC: wrong date header")
            << igcHead + "HFDTE320524\r\nB1000004030000N00315000WA0059000600\r\n"
            << "error: la cabecera HFDTE del IGC no es una fecha válida";
        QTest::newRow("IGC: no date header") << igcHead + "B1000004030000N00315000WA0059000600\r\n"
                                             << "error: el IGC no tiene cabecera de fecha (HFDTE)";

        const QByteArray gpxHead =
            "<gpx version=\"1.1\" xmlns=\"http://www.topografix.com/GPX/1/1\">";
        QTest::newRow("GPX: timed route and waypoints, untimed waypoint left out")
            << gpxHead + "<wpt lat=\"41\" lon=\"-4\"><time>2024-05-01T09:00:00Z</time></wpt>"
                         "<wpt lat=\"42\" lon=\"-4\"/><rte><rtept lat=\"40\" lon=\"-3\">"
                         "<time>2024-05-01T10:00:00+02:00</time><sat>5</sat></rtept></rte></gpx>"
            << "GPX 1.1: 05-01 09:00:00 41 -4 | 05-01 08:00:00 40 -3 s5";
        QTest::newRow("GPX: fix none never used")
            << gpxHead + "<trk><trkseg><trkpt lat=\"40\" lon=\"-3\"><time>2024-05-01T10:00:00Z"
                         "</time><fix>none</fix></trkpt><trkpt lat=\"40\" lon=\"-3\"><time>2024-"
                         "05-01T10:00:01.5Z</time><fix>2d</fix><hdop>3.5</hdop></trkpt></trkseg>"
                         "</trk></gpx>"
            << "GPX 1.1 f1: 05-01 10:00:01.500 40 -3 h3.5";
        QTest::newRow("GPX: cut short after a point, counted")
            << gpxHead + "<trk><trkseg><trkpt lat=\"40\" lon=\"-3\"><time>2024-05-01T10:00:00Z"
                         "</time></trkpt><trkpt lat=\"40.1\" lon=\"-3\"><ti"
            << "GPX 1.1 d1: 05-01 10:00:00 40 -3";
        QTest::newRow("GPX: cut short before any point")
            << gpxHead + "<trk><trkseg><trkpt lat=\"40\" lo"
            << "error: el GPX 1.1 está dañado: Premature end of document. (línea 1)";

        const QByteArray kmlHead = "<kml xmlns=\"http://www.opengis.net/kml/2.2\" "
                                   "xmlns:gx=\"http://www.google.com/kml/ext/2.2\"><Document>";
        QTest::newRow("KML: timed placemarks and a gx:Track with a coord too many")
            << kmlHead + "<Placemark><TimeStamp><when>2024-05-01T10:00:00Z</when></TimeStamp>"
                         "<Point><coordinates>-3.25,40.5,600</coordinates></Point></Placemark>"
                         "<Placemark><gx:Track><when>2024-05-01T10:00:05Z</when><gx:coord>-3.2 "
                         "40.6 610</gx:coord><gx:coord>-3.1 40.7 0</gx:coord></gx:Track>"
                         "</Placemark></Document></kml>"
            << "KML d1: 05-01 10:00:00 40.5 -3.25 e600 | 05-01 10:00:05 40.6 -3.2 e610";
        QTest::newRow("KML: a LineString has no times")
            << kmlHead + "<Placemark><LineString><coordinates>-3,40 -3.1,40.1</coordinates>"
                         "</LineString></Placemark></Document></kml>"
            << "error: el KML solo tiene líneas (LineString), que no llevan horas; se necesita "
               "un gx:Track o marcas con TimeStamp";
        QTest::newRow("TCX: a point without a position is a pause")
            << QByteArray("<TrainingCenterDatabase><Activities><Activity><Lap><Track>"
                          "<Trackpoint><Time>2024-05-01T10:00:00Z</Time></Trackpoint>"
                          "<Trackpoint><Time>2024-05-01T10:00:01Z</Time><Position>"
                          "<LatitudeDegrees>40.5</LatitudeDegrees><LongitudeDegrees>-3.25"
                          "</LongitudeDegrees></Position><AltitudeMeters>601</AltitudeMeters>"
                          "</Trackpoint></Track></Lap></Activity></Activities>"
                          "</TrainingCenterDatabase>")
            << "TCX: 05-01 10:00:01 40.5 -3.25 e601";
        QTest::newRow("XML of another kind") << QByteArray("<?xml version=\"1.0\"?><html></html>")
                                             << "error: es un XML <html>, no GPX, KML ni TCX";

        QTest::newRow("CSV: English names, an offset, a bad row counted")
            << QByteArray("Time,Latitude,Longitude,Alt,HDOP,Sats\n2024-05-01T12:00:00+02:00,"
                          "40.5,-3.25,600,1.5,6\n2024-05-01 10:00:01,40.6,x,600,,\n")
            << "CSV d1: 05-01 10:00:00 40.5 -3.25 e600 h1.5 s6";
        QTest::newRow("CSV: Spanish names, one moment column, tabs")
            << QByteArray("fecha\tlatitud\tlongitud\taltitud\n2024-05-01 10:00:00\t40.5\t"
                          "-3.25\t600\n")
            << "CSV: 05-01 10:00:00 40.5 -3.25 e600";
        QTest::newRow("CSV: no time, latitude and longitude columns")
            << QByteArray("nombre,x,y\na,1,2\n")
            << "error: no es un formato de track reconocido (ni GPX, KML, TCX, NMEA, IGC, FIT o "
               "historial de ubicaciones, ni un CSV cuya primera línea nombre las columnas de "
               "hora, latitud y longitud)";

        QTest::newRow("Takeout: timestampMs, accuracy kept, cut short")
            << QByteArray("{\"locations\": [{\"latitudeE7\": 405000000, \"longitudeE7\": "
                          "-32500000, \"accuracy\": 12, \"timestampMs\": \"1714557600000\"}, "
                          "{\"latitudeE7\": 4060")
            << "historial de ubicaciones d1: 05-01 10:00:00 40.5 -3.25 ±12";
        QTest::newRow("2024 export: raw signals with height")
            << QByteArray("{\"rawSignals\": [{\"position\": {\"LatLng\": \"40.5°, -3.25°\", "
                          "\"accuracyMeters\": 3, \"altitudeMeters\": 650.5, \"source\": \"GPS\","
                          " \"timestamp\": \"2024-05-01T12:00:00.000+02:00\"}}, {\"wifiScan\": "
                          "{\"deliveryTime\": \"2024-05-01T12:00:00.000+02:00\"}}]}")
            << "historial de ubicaciones: 05-01 10:00:00 40.5 -3.25 e650.5 ±3";
        QTest::newRow("JSON with a byte order mark")
            << QByteArray("\xEF\xBB\xBF{\"locations\": [{\"latitudeE7\": 405000000, "
                          "\"longitudeE7\": -32500000, \"timestamp\": \"2024-05-01T10:00:00Z\"}]}")
            << "historial de ubicaciones: 05-01 10:00:00 40.5 -3.25";
        QTest::newRow("NMEA with a byte order mark")
            << "\xEF\xBB\xBF" + nmea("GPRMC,100000.00,A,4030.000,N,00315.000,W,0.0,0.0,010524,,")
            << "NMEA 0183: 05-01 10:00:00 40.5 -3.25";
        QTest::newRow("JSON broken before any fix")
            << QByteArray("{\"semanticSegments\": [{\"timelinePath\": [{\"point\": }]}]}")
            << "error: el JSON está dañado o cortado (cerca del byte 50)";
    }

    // Each reader, on what its format's writers put in a file and on damaged files.
    void readers()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QBuffer buffer(&content);
        QVERIFY(buffer.open(QIODevice::ReadOnly));
        TrackReading reading;
        const bool ok = readTrackBytes(buffer, reading);
        QCOMPARE(describe(reading, ok), expected);
    }

    void unreadableFiles_data()
    {
        QTest::addColumn<QString>("kind"); // what stands at the track's path
        QTest::addColumn<QString>("expected");
        QTest::newRow("a folder") << "folder"
                                  << "es una carpeta, no un archivo";
        QTest::newRow("an empty file") << "empty"
                                       << "el archivo está vacío";
        QTest::newRow("nothing") << "missing"
                                 << "el archivo no existe";
    }

    void unreadableFiles()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath("t.gpx");
        if (kind == "folder")
            QVERIFY(QDir().mkpath(path));
        if (kind == "empty")
            QVERIFY(TestPhotos::writeFile(path, QByteArray()));
        TrackReading reading;
        QVERIFY(!readTrackFile(path, reading));
        QCOMPARE(reading.error, expected);
    }

    // A KMZ that is no ZIP, or holds no KML, says so.
    void damagedKmz_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("cut short") << QByteArray("PK\x03\x04\x14\x00\x00")
                                   << "el archivo KMZ está dañado (no es un ZIP legible)";
        // A ZIP whose directory lists nothing.
        QTest::newRow("no KML inside")
            << QByteArray("PK\x03\x04") + QByteArray("PK\x05\x06") + QByteArray(18, '\0')
            << "el KMZ no contiene ningún documento KML";
    }

    void damagedKmz()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath("a.kmz");
        QVERIFY(TestPhotos::writeFile(path, content));
        TrackReading reading;
        QVERIFY(!readTrackFile(path, reading));
        QCOMPARE(reading.error, expected);
    }

    // A FIT file goes through gpsbabel; without it the line says how to install it.
    void fitFiles()
    {
        QTemporaryDir dir;
        const QString fit = dir.filePath("a.fit");
        QByteArray header(12, '\0');
        header[0] = 12;
        header.replace(8, 4, ".FIT");
        QVERIFY(TestPhotos::writeFile(fit, header + "no records"));
        const QByteArray path = qgetenv("PATH");
        TrackReading reading;
        qputenv("PATH", dir.path().toUtf8());
        const bool withoutTool = readTrackFile(fit, reading);
        qputenv("PATH", path);
        QVERIFY(!withoutTool);
        QCOMPARE(reading.error, "es un archivo FIT, que se lee con gpsbabel; instálelo con «apt "
                                "install gpsbabel»");
        if (QStandardPaths::findExecutable("gpsbabel").isEmpty())
            QSKIP("gpsbabel is not installed (apt install gpsbabel)");
        TrackReading damaged;
        QVERIFY(!readTrackFile(fit, damaged));
        QVERIFY2(damaged.error.startsWith("el archivo FIT está dañado (gpsbabel: "),
                 qPrintable(damaged.error));
    }

    void filtersAndMerge_data()
    {
        QTest::addColumn<QStringList>("files"); // GPX texts, loaded in turn
        QTest::addColumn<QString>("hdop");      // --max-hdop, empty when not given
        QTest::addColumn<QString>("sats");      // --min-satelites
        QTest::addColumn<QString>("expected");  // each load's warning line, then the lines
        const auto point = [](const char *time, const char *extra = "") {
            return QString("<trkpt lat=\"40\" lon=\"-3.%1\"><time>2024-05-01T10:00:%1Z</time>%2"
                           "</trkpt>")
                .arg(time, extra);
        };
        const auto file = [](const QString &points) {
            return "<gpx version=\"1.1\" "
                   "xmlns=\"http://www.topografix.com/GPX/1/1\"><trk><trkseg>" +
                   points + "</trkseg></trk></gpx>";
        };
        const QString mixed = file(point("10", "<sat>3</sat><hdop>4</hdop>") +
                                   point("20", "<sat>9</sat><hdop>0.8</hdop>") + point("30"));
        QTest::newRow("HDOP over the maximum left out")
            << QStringList{mixed} << "2"
            << ""
            << "Track t0 (GPX 1.1): 2 puntos usados; se omiten 1 puntos con HDOP mayor que el "
               "máximo. || -3.2 -3.3";
        QTest::newRow("too few satellites left out")
            << QStringList{mixed} << ""
            << "4"
            << "Track t0 (GPX 1.1): 2 puntos usados; se omiten 1 puntos con menos satélites que "
               "el mínimo. || -3.2 -3.3";
        QTest::newRow("no filter") << QStringList{mixed} << ""
                                   << ""
                                   << " || -3.1 -3.2 -3.3";
        QTest::newRow("two files, the same second once")
            << QStringList{file(point("10") + point("20")), file(point("20") + point("40"))} << ""
            << ""
            << " | Track t1 (GPX 1.1): 1 puntos usados; se omiten 1 puntos repetidos (misma hora "
               "que otro). || -3.1 -3.2 / -3.4";
        QTest::newRow("every fix filtered out")
            << QStringList{file(point("10", "<hdop>4</hdop>"))} << "0.5"
            << ""
            << "No se pudo leer el track t0: ninguno de sus puntos cumple --max-hdop y "
               "--min-satelites";
    }

    void filtersAndMerge()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, hdop);
        QFETCH(QString, sats);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        TrackFilter filter;
        QString error;
        double maxHdop = 0;
        int minSats = 0;
        if (!hdop.isEmpty()) {
            QVERIFY2(parseMaxHdopOption(hdop, maxHdop, error), qPrintable(error));
            filter.maxHdop = maxHdop;
        }
        if (!sats.isEmpty()) {
            QVERIFY2(parseMinSatellitesOption(sats, minSats, error), qPrintable(error));
            filter.minSatellites = minSats;
        }
        GpsTrack track;
        track.setFilter(filter);
        QStringList warnings;
        for (int i = 0; i < files.size(); ++i) {
            const QString path = dir.filePath(QString("t%1").arg(i));
            QVERIFY(TestPhotos::writeFile(path, files[i].toUtf8()));
            if (!track.load(path, error)) {
                QCOMPARE(error.replace(dir.path() + '/', ""), expected);
                return;
            }
            warnings << track.lastLoad().warningLine(path).replace(dir.path() + '/', "");
        }
        QStringList segments;
        for (const auto &line : track.lines()) {
            QStringList longitudes;
            for (const GeoPosition &p : line)
                longitudes << QString::number(p.longitude);
            segments << longitudes.join(' ');
        }
        QCOMPARE(warnings.join(" | ") + " || " + segments.join(" / "), expected);
    }

    void syncOption_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error"); // empty when taken
        QTest::newRow("camera form") << "2024:05:01 10:00:00=2024:05:01 10:00:42"
                                     << "";
        QTest::newRow("ISO form") << "2024-05-01T10:00=2024-05-01T10:00:42.5"
                                  << "";
        QTest::newRow("one side") << "2024:05:01 10:00:00"
                                  << "Valor no válido para --sincronizar";
        QTest::newRow("a date that does not exist") << "2024:02:30 10:00:00=2024:02:30 10:00:42"
                                                    << "Valor no válido para --sincronizar";
        QTest::newRow("an offset is no wall-clock time")
            << "2024:05:01 10:00:00Z=2024:05:01 10:00:42"
            << "Valor no válido para --sincronizar";
    }

    void syncOption()
    {
        QFETCH(QString, text);
        QFETCH(QString, error);
        CameraClock clock;
        QString message;
        QCOMPARE(parseSyncOption(text, clock, message), error.isEmpty());
        QVERIFY2(error.isEmpty() ? message.isEmpty() : message.startsWith(error),
                 qPrintable(message));
        QCOMPARE(clock.syncs.size(), size_t(error.isEmpty() ? 1 : 0));
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
