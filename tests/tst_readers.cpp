// The readers of positions: UTM both ways, the coordinate text file, and the photo metadata
// readers on photos made here with the tags a camera writes.
#include "coordinatefile.h"
#include "photometadata.h"
#include "testphotos.h"
#include "utm.h"

#include <QtTest>

using TestPhotos::gpsTags;
using TestPhotos::Tags;
Q_DECLARE_METATYPE(GeoPosition)
Q_DECLARE_METATYPE(UtmPosition)

namespace {

// One "name=19H 350000.5 6300000.25 45" entry per row, "-" for no orientation, in key order.
QStringList dump(const CoordinateTable &table)
{
    QStringList rows;
    for (auto it = table.cbegin(); it != table.cend(); ++it)
        rows << it.key() +
                    QString::asprintf("=%d%c %.12g %.12g ", it->zoneNumber, it->zoneLetter,
                                      it->easting, it->northing) +
                    (it->hasOrientation ? QString::number(it->orientation) : "-");
    return rows;
}

} // namespace

class TestReaders : public QObject
{
    Q_OBJECT

private slots:
    void positions_data()
    {
        QTest::addColumn<GeoPosition>("geo");
        QTest::addColumn<UtmPosition>("utm");
        QTest::addColumn<QString>("references"); // written latitude's, then longitude's
        QTest::addRow("paris") << GeoPosition{48.8583, 2.2945}
                               << UtmPosition{31, 'U', 448251.898, 5411943.794} << "N E";
        QTest::addRow("santiago") << GeoPosition{-33.4378, -70.6505}
                                  << UtmPosition{19, 'H', 346574.735, 6298958.906} << "S W";
        QTest::addRow("null island")
            << GeoPosition{0, 0} << UtmPosition{31, 'N', 166021.443, 0} << QString();
        QTest::addRow("just south of the equator")
            << GeoPosition{-0.5, -78.5} << UtmPosition{17, 'M', 778265.778, 9944681.960} << "S W";
        QTest::addRow("central meridian")
            << GeoPosition{36.1447181, -3} << UtmPosition{30, 'S', 500000, 4000000} << "N W";
    }

    // UTM both ways, and both GPS writers put the hemisphere letters beside the values; the UTM
    // writer also says the heading is true north, the lat/lon writer names the GPS block's version.
    void positions()
    {
        QFETCH(GeoPosition, geo);
        QFETCH(UtmPosition, utm);
        QFETCH(QString, references);
        const UtmPosition found = latLonToUtm(geo);
        QCOMPARE(found.zoneNumber, utm.zoneNumber);
        QCOMPARE(found.zoneLetter, utm.zoneLetter);
        // To the millimetre both ways.
        QCOMPARE(qRound64(found.easting * 1000), qRound64(utm.easting * 1000));
        QCOMPARE(qRound64(found.northing * 1000), qRound64(utm.northing * 1000));

        // Back again: only the side of 'N' the letter is on decides the hemisphere.
        for (char letter : utm.zoneLetter < 'N' ? QByteArray("CHM") : QByteArray("NPXzh")) {
            const GeoPosition back = utmToLatLon(utm.zoneNumber, letter, utm.easting, utm.northing);
            QCOMPARE(qRound64(back.latitude * 1e7), qRound64(geo.latitude * 1e7));
            QCOMPARE(qRound64(back.longitude * 1e7), qRound64(geo.longitude * 1e7));
        }

        if (references.isEmpty()) // on the equator and the prime meridian either letter is right
            return;
        QTemporaryDir dir;
        const QString utmFile = dir.filePath("utm.jpg"), latLonFile = dir.filePath("latlon.jpg");
        QVERIFY(TestPhotos::writeImage(utmFile) && TestPhotos::writeImage(latLonFile));
        QVERIFY(TestPhotos::setTags(
            latLonFile, {{"Exif.Photo.OffsetTimeOriginal", "-05:00"}, {"Xmp.xmp.Label", "Campo"}}));
        writeUtmToExif(utmFile, utm.zoneNumber, utm.zoneLetter, utm.easting, utm.northing, 12.5,
                       true, [](const QString &) {});
        QString error;
        QByteArray bytes = TestPhotos::readFile(latLonFile);
        GpsTags tags;
        tags.latitude = geo.latitude;
        tags.longitude = geo.longitude;
        tags.versionAndDatum = true;
        QVERIFY2(writeGpsToExif(bytes, tags, error), qPrintable(error));
        QVERIFY(TestPhotos::writeFile(latLonFile, bytes));
        for (const QString &file : {utmFile, latLonFile})
            QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitudeRef") + ' ' +
                         TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitudeRef"),
                     references);
        QCOMPARE(TestPhotos::tag(utmFile, "Exif.GPSInfo.GPSImgDirectionRef"), QString("T"));
        QCOMPARE(TestPhotos::tag(latLonFile, "Exif.GPSInfo.GPSVersionID"), QString("2 2 0 0"));
        // The lat/lon writer keeps the position to the micro-degree and the photo's other tags.
        double latitude = 0, longitude = 0, direction = 0;
        QVERIFY(readGpsData(latLonFile, latitude, longitude, direction));
        QVERIFY(qAbs(latitude - geo.latitude) < 1e-6 && qAbs(longitude - geo.longitude) < 1e-6);
        QCOMPARE(readPhotoMetadata(latLonFile).captureOffset, QString("-05:00"));
        QCOMPARE(TestPhotos::tag(latLonFile, "Xmp.xmp.Label"), QString("Campo"));
        QByteArray text("no es una foto");
        QVERIFY(!writeGpsToExif(text, tags, error));
        QVERIFY(!error.isEmpty());
        // The UTM writer's tags are the window's: the track position's extras stay out.
        QCOMPARE(TestPhotos::tag(utmFile, "Exif.GPSInfo.GPSVersionID") +
                     TestPhotos::tag(utmFile, "Exif.GPSInfo.GPSMapDatum"),
                 QString());
    }

    void zoneAndBand_data()
    {
        // Zone edges every 6 degrees from -180, no exception for Norway; bands every 8 from -80.
        QTest::addColumn<QString>("row"); // latitude, longitude, zone and letter
        for (const char *row : {"84 -180 1X", "72 -174.0001 1X", "71.999 -174 2W", "60 5.999 31V",
                                "8 6 32P", "7.999 179.9 60N", "-1e-9 -70 19M", "-32 -70 19J",
                                "-32.001 -70 19H", "-56 -70 19F", "-56.001 -70 19E", "-80 -70 19E"})
            QTest::newRow(row) << QString(row);
    }

    void zoneAndBand()
    {
        QFETCH(QString, row);
        const QStringList fields = row.split(' ');
        const UtmPosition utm = latLonToUtm(fields[0].toDouble(), fields[1].toDouble());
        QCOMPARE(QString::number(utm.zoneNumber) + utm.zoneLetter, fields[2]);
    }

    void coordinateFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("expected"); // the messages, then the table's rows; %1: path

        const QByteArray header = "nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion";
        const QStringList two{"a.jpg=19H 350000.5 6300000.25 45", "b.jpg=18G 1 2 -"};
        const QString shortLine = "Línea inválida en archivo txt (menos de 5 columnas): ";

        QTest::addRow("lf, no final line end")
            << header + "\na.jpg,19,H,350000.5,6300000.25,45\nb.jpg,18,G,1,2" << two;
        QTest::addRow("cr lf, blank lines")
            << header + "\r\n\r\na.jpg,19,H,350000.5,6300000.25,45\r\n \t\r\nb.jpg,18,G,1,2\r\n"
            << two;
        QTest::addRow("lone cr") << header + "\ra.jpg,19,H,350000.5,6300000.25,45\rb.jpg,18,G,1,2\r"
                                 << two;
        QTest::addRow("byte-order mark, header in capitals")
            << QByteArray("\xEF\xBB\xBFNOMBRE,ZONA,LETRA\nb.jpg,18,G,1,2\n") << two.mid(1);
        QTest::addRow("header with easting but no zona")
            << QByteArray("Nombre;Easting\nb.jpg,18,G,1,2\n") << two.mid(1);
        QTest::addRow("header after a data line is data")
            << QByteArray("b.jpg,18,G,1,2\nNombre,Zona,Letra,Easting,Northing\n")
            << QStringList{"Zona UTM inválida para Nombre: Zona"} + two.mid(1);
        QTest::addRow("nombre alone is not a header")
            << QByteArray("nombre.jpg,19,H,1,2\n") << QStringList{"nombre.jpg=19H 1 2 -"};
        QTest::addRow("blanks trimmed, empty letter is N, seventh column ignored")
            << QByteArray("  foto 1.jpg ,\t019 ,  ,  +3.5e5 , -1.25E2 ,  12.5  ,x\n")
            << QStringList{"foto 1.jpg=19N 350000 -125 12.5"};
        QTest::addRow("later line wins, names case-sensitive")
            << QByteArray("f.jpg,19,H,1,2,45\nF.jpg,20,K,7,8\nf.jpg,18,g,3,4\n")
            << QStringList{"F.jpg=20K 7 8 -", "f.jpg=18g 3 4 -"};
        QTest::addRow("each bad field once, reading goes on")
            << QByteArray("a.jpg,19.0,H,1,2\nb.jpg,18,G,1,2\nc.jpg,19,H,1\nd.jpg,19,H,1,6 300\n"
                          "e.jpg,19,H,35m,y\nf.jpg,19,H,1,2, norte ,45\n")
            << QString(
                   "Zona UTM inválida para a.jpg: 19.0|" + shortLine +
                   "c.jpg,19,H,1|Northing inválido para d.jpg: 6 300|Easting inválido para e.jpg: "
                   "35m|Orientación inválida para f.jpg: norte|b.jpg=18G 1 2 -|f.jpg=19H 1 2 -")
                   .split('|');
        QTest::addRow("semicolons, line quoted as read")
            << QByteArray(" f.jpg;19;H;1;2 \n") << QStringList{shortLine + " f.jpg;19;H;1;2 "};
        QTest::addRow("missing file, one message")
            << QByteArray() << QStringList{"Error al abrir el archivo TXT: %1"};
    }

    void coordinateFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString file = dir.filePath("coords.txt");
        QVERIFY(content.isNull() || TestPhotos::writeFile(file, content));
        // A decimal-comma locale must not change how the numbers are read.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

        QStringList logged;
        const QStringList rows =
            dump(readCoordinateFile(file, [&](const QString &line) { logged << line; }));
        QCOMPARE(logged + rows, expected.replaceInStrings("%1", file));
    }

    void read_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Tags>("tags");
        QTest::addColumn<QString>("gps");        // "latitude longitude direction"; empty: not found
        QTest::addColumn<QDateTime>("expected"); // invalid: none found, the output stays as it was
        QTest::addColumn<QString>(
            "capture"); // for tracks: ISO 8601 with milliseconds, '|', the tag

        const Tags image{{"Exif.Image.DateTime", "2021:01:02 03:04:05"}};
        const Tags xmp{{"Xmp.xmp.CreateDate", "2022-05-06T07:08:09"}};
        const auto original = [](const char *value) {
            return Tags{{"Exif.Photo.DateTimeOriginal", value}};
        };
        const QDateTime january(QDate(2021, 1, 2), QTime(3, 4, 5));
        const QString lat = "33/1 26/1 1608/100", lon = "70/1 39/1 18/1";

        QTest::addRow("S and W with direction, DateTimeOriginal first")
            << "a.jpg"
            << gpsTags(lat, "S", lon, "W", "1234/10") + original("2023:07:14 16:05:09") + image +
                   xmp
            << "-33.4378 -70.655 123.4" << QDateTime(QDate(2023, 7, 14), QTime(16, 5, 9))
            << "2023-07-14T16:05:09.000|Exif.Photo.DateTimeOriginal";
        QTest::addRow("lower-case s and w; all-zero original falls back, png")
            << "b.png"
            << gpsTags(lat, "s", lon, "w") + original("0000:00:00 00:00:00") + image + xmp
            << "-33.4378 -70.655 0" << january << "";
        QTest::addRow("N and E; dashed original skipped, tiff")
            << "c.tif" << gpsTags(lat, "N", lon, "E") + original("2023-07-14 16:05:09") + image
            << "33.4378 70.655 0" << january << "";
        QTest::addRow("South spelled out stays positive; XMP last")
            << "d.jpg" << gpsTags(lat, "South", lon, "West") + original("0000:00:00 00:00:00") + xmp
            << "33.4378 70.655 0" << QDateTime(QDate(2022, 5, 6), QTime(7, 8, 9)) << "";
        QTest::addRow("two-component longitude; no date")
            << "e.jpg" << gpsTags(lat, "S", "70/1 39/1", "W") << "" << QDateTime() << "";
        // Tracks are matched only by the time a camera wrote, never by the edit date.
        QTest::addRow("fraction of a second")
            << "f.jpg"
            << image + original("2024:03:15 10:20:30") +
                   Tags{{"Exif.Photo.SubSecTimeOriginal", "45"}}
            << "" << QDateTime(QDate(2024, 3, 15), QTime(10, 20, 30))
            << "2024-03-15T10:20:30.450|Exif.Photo.DateTimeOriginal";
        QTest::addRow("zeros: XMP original for tracks")
            << "g.jpg"
            << image + original("0000:00:00 00:00:00") +
                   Tags{{"Xmp.exif.DateTimeOriginal", "2024-03-15T10:20:30Z"}}
            << "" << january << "2024-03-15T10:20:30.000Z|Xmp.exif.DateTimeOriginal";
        QTest::addRow("IPTC for tracks")
            << "h.jpg"
            << image + Tags{{"Iptc.Application2.DateCreated", "2024-03-15"},
                            {"Iptc.Application2.TimeCreated", "10:20:30+02:00"}}
            << "" << january
            << "2024-03-15T10:20:30.000+02:00|Iptc.Application2.DateCreated/TimeCreated";
        // An editor writes XMP's DateCreated bare and IPTC's time with the zone: one reading.
        QTest::addRow("bare XMP date takes IPTC's offset for the same time")
            << "i.jpg"
            << image + Tags{{"Xmp.photoshop.DateCreated", "2024-03-15T15:15:44"},
                            {"Iptc.Application2.TimeCreated", "15:15:44-04:00"}}
            << "" << january
            << "2024-03-15T15:15:44.000-04:00|Xmp.photoshop.DateCreated, desfase de "
               "Iptc.Application2.TimeCreated";
        QTest::addRow("bare EXIF original takes XMP's offset for the same time")
            << "j.jpg"
            << image + original("2024:03:15 15:15:44") +
                   Tags{{"Xmp.photoshop.DateCreated", "2024-03-15T15:15:44+01:00"}}
            << "" << QDateTime(QDate(2024, 3, 15), QTime(15, 15, 44))
            << "2024-03-15T15:15:44.000+01:00|Exif.Photo.DateTimeOriginal, desfase de "
               "Xmp.photoshop.DateCreated";
        QTest::addRow("an offset stated for another time is not borrowed")
            << "k.jpg"
            << image + Tags{{"Xmp.photoshop.DateCreated", "2024-03-15T15:15:44"},
                            {"Iptc.Application2.DateCreated", "2024-03-15"},
                            {"Iptc.Application2.TimeCreated", "15:16:44-04:00"}}
            << "" << january << "2024-03-15T15:15:44.000|Xmp.photoshop.DateCreated";
    }

    void read()
    {
        QFETCH(QString, name);
        QFETCH(Tags, tags);
        QFETCH(QString, gps);
        QFETCH(QDateTime, expected);
        QFETCH(QString, capture);
        QTemporaryDir dir;
        const QString file = dir.filePath(name);
        QVERIFY(TestPhotos::writeImage(file) && TestPhotos::setTags(file, tags));

        double latitude = 0, longitude = 0, direction = 0;
        QCOMPARE(readGpsData(file, latitude, longitude, direction), !gps.isEmpty());
        if (!gps.isEmpty())
            QCOMPARE(QString::asprintf("%.10g %.10g %.10g", latitude, longitude, direction), gps);
        const QDateTime untouched(QDate(1999, 9, 9), QTime(9, 9, 9));
        QDateTime date = untouched;
        QCOMPARE(readCaptureDate(file, date), expected.isValid());
        QCOMPARE(date, expected.isValid() ? expected : untouched);
        const PhotoMetadata found = readPhotoMetadata(file);
        QCOMPARE(found.captureTimeFound
                     ? found.captureTime.toString(Qt::ISODateWithMs) + '|' + found.captureTimeTag
                     : QString(),
                 capture);
    }
};

QTEST_GUILESS_MAIN(TestReaders)
#include "tst_readers.moc"
