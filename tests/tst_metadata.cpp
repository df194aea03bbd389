// The date and GPS readers and the UTM writer, on photos made here with the tags a camera writes.
#include "photometadata.h"
#include "testphotos.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using TestPhotos::Tags;

namespace {

const QString lat = QStringLiteral("33/1 26/1 1608/100");
const QString lon = QStringLiteral("70/1 39/1 18/1");
const double south = -33.437799999999996;
const Tags camera{{"Exif.Image.Make", "Cartaluz Cam"},
                  {"Iptc.Application2.Keywords", "montana"},
                  {"Xmp.xmp.Label", "Campo"}};

} // namespace

class TestMetadata : public QObject
{
    Q_OBJECT

private slots:
    void readGps_data();
    void readGps();
    void readCaptureDate_data();
    void readCaptureDate();
    void writeUtm_data();
    void writeUtm();

private:
    QString photo(const QString &name, const Tags &tags)
    {
        const QString file = m_dir.filePath(name);
        return TestPhotos::writeImage(file) && (tags.isEmpty() || TestPhotos::setTags(file, tags))
                   ? file
                   : QString();
    }
    QTemporaryDir m_dir;
};

void TestMetadata::readGps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("direction");

    QTest::addRow("S and W, direction")
        << "a.jpg" << TestPhotos::gpsTags(lat, "S", lon, "W", "1234/10") << true << south << -70.655
        << 123.4;
    QTest::addRow("lower-case s and w, png")
        << "b.png" << TestPhotos::gpsTags(lat, "s", lon, "w") << true << south << -70.655 << 0.0;
    QTest::addRow("N and E, tiff")
        << "c.tif" << TestPhotos::gpsTags(lat, "N", lon, "E") << true << -south << 70.655 << 0.0;
    QTest::addRow("South spelled out stays positive")
        << "d.jpg" << TestPhotos::gpsTags(lat, "South", lon, "West") << true << -south << 70.655
        << 0.0;
    QTest::addRow("two-component longitude")
        << "e.jpg" << TestPhotos::gpsTags(lat, "S", "70/1 39/1", "W") << false << south << 0.0
        << 0.0;
    QTest::addRow("no GPS") << "f.jpg" << camera << false << 0.0 << 0.0 << 0.0;
}

void TestMetadata::readGps()
{
    QFETCH(QString, name);
    QFETCH(Tags, tags);
    const QString file = photo(name, tags);
    QVERIFY(!file.isEmpty());

    double latitude = 1, longitude = 1, direction = 1;
    QTEST(readGpsData(file, latitude, longitude, direction), "found");
    QTEST(latitude, "latitude");
    QTEST(longitude, "longitude");
    QTEST(direction, "direction");
}

void TestMetadata::readCaptureDate_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QDateTime>("expected"); // invalid: none found, the output stays as it was

    const Tags image{{"Exif.Image.DateTime", "2021:01:02 03:04:05"}};
    const Tags xmp{{"Xmp.xmp.CreateDate", "2022-05-06T07:08:09"}};
    const auto original = [](const char *value) {
        return Tags{{"Exif.Photo.DateTimeOriginal", value}};
    };
    const QDateTime january(QDate(2021, 1, 2), QTime(3, 4, 5));

    QTest::addRow("DateTimeOriginal first")
        << "a.jpg" << original("2023:07:14 16:05:09") + image + xmp
        << QDateTime(QDate(2023, 7, 14), QTime(16, 5, 9));
    QTest::addRow("all-zero original falls back, tiff")
        << "b.tif" << original("0000:00:00 00:00:00") + image + xmp << january;
    QTest::addRow("dashed original skipped, png")
        << "c.png" << original("2023-07-14 16:05:09") + image << january;
    QTest::addRow("XMP last") << "d.jpg" << original("0000:00:00 00:00:00") + xmp
                              << QDateTime(QDate(2022, 5, 6), QTime(7, 8, 9));
    QTest::addRow("none") << "e.jpg" << camera << QDateTime();
}

void TestMetadata::readCaptureDate()
{
    QFETCH(QString, name);
    QFETCH(Tags, tags);
    QFETCH(QDateTime, expected);
    const QString file = photo(name, tags);
    QVERIFY(!file.isEmpty());

    const QDateTime untouched(QDate(1999, 9, 9), QTime(9, 9, 9));
    QDateTime date = untouched;
    QCOMPARE(::readCaptureDate(file, date), expected.isValid());
    QCOMPARE(date, expected.isValid() ? expected : untouched);
}

void TestMetadata::writeUtm_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("direction");
    QTest::addColumn<bool>("writeDirection");
    QTest::addColumn<QString>("directionText"); // null: no direction tag
    QTest::addColumn<QString>("noExifLine");    // null: the photo had EXIF

    QTest::addRow("jpeg, stale position replaced")
        << "a.jpg" << 123.456 << true << "12346/100" << QString();
    QTest::addRow("png without EXIF, -45 wraps") << "b.png" << -45.0 << true << "31500/100"
                                                 << "b.png";
    QTest::addRow("direction not asked for") << "c.jpg" << 725.0 << false << "5/1" << QString();
}

void TestMetadata::writeUtm()
{
    QFETCH(QString, name);
    QFETCH(double, direction);
    QFETCH(bool, writeDirection);
    QFETCH(QString, directionText);
    QFETCH(QString, noExifLine);
    const Tags stale = TestPhotos::gpsTags("1/1 2/1 3/1", "N", "4/1 5/1 6/1", "E", "5/1");
    const QString file = photo(name, noExifLine.isNull() ? camera + stale : Tags());
    QVERIFY(!file.isEmpty());

    QStringList log;
    const auto logger = [&log](const QString &line) {
        log << line;
    };
    writeUtmToExif(file, 19, 'H', 346574.735, 6298958.906, direction, writeDirection, logger);
    QStringList expected{"Intentando escribir UTM EXIF en (nativo): " + file};
    if (!noExifLine.isNull())
        expected << "No hay metadata EXIF para escribir en " + file + ". Se creará.";
    QCOMPARE(log, expected);
    const Tags written{{"Exif.GPSInfo.GPSLatitudeRef", "S"},
                       {"Exif.GPSInfo.GPSLatitude", "33/1 26/1 16080/1000"},
                       {"Exif.GPSInfo.GPSLongitudeRef", "W"},
                       {"Exif.GPSInfo.GPSLongitude", "70/1 39/1 1800/1000"},
                       {"Exif.GPSInfo.GPSImgDirection", directionText}};
    for (const auto &[key, value] : written + (noExifLine.isNull() ? camera : Tags()))
        QCOMPARE(TestPhotos::tag(file, key), value);

    // A file that cannot be written costs one error line after the first.
    log.clear();
    writeUtmToExif(file + ".missing", 19, 'H', 1, 2, 0, true, logger);
    QCOMPARE(log.size(), 2);
    QVERIFY2(log.at(1).startsWith("Error al escribir EXIF en " + file + ".missing: "),
             qPrintable(log.at(1)));
}

QTEST_GUILESS_MAIN(TestMetadata)
#include "tst_metadata.moc"
