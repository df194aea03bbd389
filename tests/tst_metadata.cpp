// Photo metadata access on photos made here: native paths, the date and GPS readers, the UTM
// writer and the snapshot that carries EXIF, IPTC and XMP across a re-encoding.
#include "photometadata.h"
#include "testphotos.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <unistd.h>

using TestPhotos::Tags;

namespace {

// The toolkit's debug and warning lines written while an instance lives.
class MessageLog
{
public:
    MessageLog()
    {
        s_lines.clear();
        m_previous = qInstallMessageHandler(handler);
    }
    ~MessageLog() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return s_lines; }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &message)
    {
        s_lines << message;
    }
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

QString describe(double value)
{
    return QString::number(value, 'g', 17);
}

// Exact comparison that also treats two NaNs as equal.
bool same(double actual, double expected)
{
    return (std::isnan(actual) && std::isnan(expected)) || actual == expected;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// "33/1 26/1 16080/1000" as decimal degrees.
double dmsToDecimal(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(' '));
    double result = 0.0;
    double scale = 1.0;
    for (const QString &part : parts) {
        const QStringList fraction = part.split(QLatin1Char('/'));
        result += fraction.at(0).toDouble() / fraction.at(1).toDouble() / scale;
        scale *= 60.0;
    }
    return result;
}

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();
const QDateTime untouched(QDate(1999, 9, 9), QTime(9, 9, 9));

// Tags that must survive every write: camera, date, an IPTC keyword and an XMP label.
const Tags otherTags{{"Exif.Image.Make", "Cartaluz Cam"},
                     {"Exif.Image.Model", "Modelo 7"},
                     {"Exif.Photo.DateTimeOriginal", "2023:07:14 16:05:09"},
                     {"Iptc.Application2.Keywords", "montana"},
                     {"Xmp.xmp.Label", "Campo"}};

const Tags santiago =
    TestPhotos::gpsTags("33/1 26/1 1608/100", "S", "70/1 39/1 18/1", "W", "1234/10");

} // namespace

class TestMetadata : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void nativePath_data();
    void nativePath();
    void nativePathEmpty();
    void nonAsciiPath();

    void readGps_data();
    void readGps();
    void readCaptureDate_data();
    void readCaptureDate();
    void brokenFiles_data();
    void brokenFiles();

    void writeUtm_data();
    void writeUtm();
    void writeUtmKeepsDirectionWhenFlagOff();
    void writeUtmWithoutExif_data();
    void writeUtmWithoutExif();
    void writeUtmNotAnImage_data();
    void writeUtmNotAnImage();
    void writeUtmReadOnly();

    void snapshotRoundTrip_data();
    void snapshotRoundTrip();
    void emptySnapshotClearsTarget();
    void snapshotFromBrokenFile_data();
    void snapshotFromBrokenFile();
    void snapshotIntoReadOnly();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // A small image with the given tags; empty on failure (with the reason as a warning).
    QString photo(const QString &name, const Tags &tags = {}) const;
    QString brokenFile(const QString &kind) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

QString TestMetadata::photo(const QString &name, const Tags &tags) const
{
    const QString file = path(name);
    QDir().mkpath(QFileInfo(file).absolutePath());
    if (!TestPhotos::writeImage(file)) {
        qWarning() << "cannot write" << file;
        return {};
    }
    QString error;
    if (!tags.isEmpty() && !TestPhotos::setTags(file, tags, &error)) {
        qWarning() << "cannot tag" << file << error;
        return {};
    }
    return file;
}

// Files no reader may crash on. The truncated JPEGs are cut from a tagged photo.
QString TestMetadata::brokenFile(const QString &kind) const
{
    const QString file = path(kind + QLatin1String(".jpg"));
    if (kind == QLatin1String("missing"))
        return file;
    if (kind == QLatin1String("text"))
        return writeBytes(file, "not a photo, just words\n") ? file : QString();
    if (kind == QLatin1String("empty"))
        return writeBytes(file, {}) ? file : QString();

    const QString source = photo(QStringLiteral("whole.jpg"), otherTags + santiago);
    const QByteArray whole = contents(source);
    const int scanStart = whole.indexOf("\xff\xda"); // start of scan: all metadata lies before
    if (source.isEmpty() || scanStart < 0)
        return {};
    int length = 0;
    if (kind == QLatin1String("jpeg marker only"))
        length = 2;
    else if (kind == QLatin1String("cut inside EXIF"))
        length = 60;
    else if (kind == QLatin1String("cut before scan"))
        length = scanStart - 10;
    else if (kind == QLatin1String("cut inside scan"))
        length = scanStart + (whole.size() - scanStart) / 2;
    return writeBytes(file, whole.left(length)) ? file : QString();
}

void TestMetadata::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestMetadata::nativePath_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected"); // relative to the current directory when not absolute

    QTest::addRow("relative") << "fotos/a.jpg"
                              << "fotos/a.jpg";
    QTest::addRow("absolute") << "/srv/fotos/b.JPG"
                              << "/srv/fotos/b.JPG";
    QTest::addRow("relative, not existing, non-ASCII") << "Año 2024/b.JPG"
                                                       << "Año 2024/b.JPG";
}

void TestMetadata::nativePath()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    const std::string native = qPathToNativeStdString(input);
    const QString current = QDir::currentPath();
    QDir::setCurrent(previous);

    if (!expected.startsWith(QLatin1Char('/')))
        expected = current + QLatin1Char('/') + expected;
    const QByteArray utf8 = expected.toUtf8();
    QCOMPARE(QByteArray(native.data(), int(native.size())), utf8);
}

void TestMetadata::nativePathEmpty()
{
    QTest::ignoreMessage(QtWarningMsg,
                         "qPathToNativeStdString: No se pudo obtener la ruta absoluta para: \"\"");
    QCOMPARE(qPathToNativeStdString(QString()), std::string());
}

void TestMetadata::nonAsciiPath()
{
    const QString file = photo(QStringLiteral("Año 2024/ñandú.jpg"), otherTags + santiago);
    QVERIFY(!file.isEmpty());

    const std::string native = qPathToNativeStdString(file);
    QVERIFY2(native.find("A\xC3\xB1o 2024/\xC3\xB1"
                         "and\xC3\xBA.jpg") != std::string::npos,
             native.c_str());
    QCOMPARE(QString::fromStdString(native), file);

    double latitude = 0, longitude = 0, direction = 0;
    QVERIFY(readGpsData(file, latitude, longitude, direction));
    QCOMPARE(direction, 123.4);
    QDateTime date;
    QVERIFY(::readCaptureDate(file, date));
    QCOMPARE(date, QDateTime(QDate(2023, 7, 14), QTime(16, 5, 9)));

    QStringList log;
    writeUtmToExif(file, 19, 'H', 346574.735, 6298958.906, 10.0, true,
                   [&log](const QString &line) { log << line; });
    QCOMPARE(log, QStringList{"Intentando escribir UTM EXIF en (nativo): " + file});
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirection"), QString("1000/100"));
}

void TestMetadata::readGps_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("direction");

    const QString lat = QStringLiteral("33/1 26/1 1608/100");
    const QString lon = QStringLiteral("70/1 39/1 18/1");
    const double south = -33.437799999999996;
    for (const char *suffix : {"jpg", "png", "tif"})
        QTest::addRow("S and W, %s", suffix)
            << suffix << TestPhotos::gpsTags(lat, "S", lon, "W") << true << south << -70.655 << 0.0;
    QTest::addRow("lower-case s and w")
        << "jpg" << TestPhotos::gpsTags(lat, "s", lon, "w") << true << south << -70.655 << 0.0;
    QTest::addRow("South and West spelled out stay positive")
        << "jpg" << TestPhotos::gpsTags(lat, "South", lon, "West") << true << -south << 70.655
        << 0.0;
    QTest::addRow("empty references")
        << "jpg" << TestPhotos::gpsTags(lat, "", lon, "") << true << -south << 70.655 << 0.0;
    QTest::addRow("direction 1234/10")
        << "jpg" << TestPhotos::gpsTags(lat, "N", lon, "E", "1234/10") << true << -south << 70.655
        << 123.4;
    QTest::addRow("direction 1234/10, tif")
        << "tif" << TestPhotos::gpsTags(lat, "N", lon, "E", "1234/10") << true << -south << 70.655
        << 123.4;
    QTest::addRow("zero seconds denominator")
        << "jpg" << TestPhotos::gpsTags("33/1 26/1 0/0", "S", lon, "W") << true << notANumber
        << -70.655 << 0.0;
    QTest::addRow("zero degrees denominator")
        << "jpg" << TestPhotos::gpsTags("33/0 26/1 1608/100", "N", lon, "W") << true << inf
        << -70.655 << 0.0;
    QTest::addRow("zero direction denominator")
        << "jpg" << TestPhotos::gpsTags(lat, "S", lon, "W", "5/0") << true << south << -70.655
        << inf;
    QTest::addRow("two-component latitude")
        << "jpg" << TestPhotos::gpsTags("33/1 26/1", "S", lon, "W") << false << 0.0 << 0.0 << 0.0;
    // The latitude was already stored when the longitude turns out short.
    QTest::addRow("two-component longitude")
        << "jpg" << TestPhotos::gpsTags(lat, "S", "70/1 39/1", "W") << false << south << 0.0 << 0.0;
    QTest::addRow("longitude reference missing") << "jpg"
                                                 << Tags{{"Exif.GPSInfo.GPSLatitude", lat},
                                                         {"Exif.GPSInfo.GPSLatitudeRef", "S"},
                                                         {"Exif.GPSInfo.GPSLongitude", lon}}
                                                 << false << 0.0 << 0.0 << 0.0;
    QTest::addRow("EXIF without GPS") << "jpg" << otherTags << false << 0.0 << 0.0 << 0.0;
    QTest::addRow("no EXIF at all") << "jpg" << Tags() << false << 0.0 << 0.0 << 0.0;
    QTest::addRow("no EXIF at all, png") << "png" << Tags() << false << 0.0 << 0.0 << 0.0;
}

void TestMetadata::readGps()
{
    QFETCH(QString, suffix);
    QFETCH(Tags, tags);
    QFETCH(bool, found);
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, direction);

    const QString file = photo("gps." + suffix, tags);
    QVERIFY(!file.isEmpty());

    double lat = 1, lon = 1, dir = 1;
    MessageLog messages;
    QCOMPARE(readGpsData(file, lat, lon, dir), found);
    QCOMPARE(messages.lines(), QStringList());
    QVERIFY2(same(lat, latitude), qPrintable(describe(lat)));
    QVERIFY2(same(lon, longitude), qPrintable(describe(lon)));
    QVERIFY2(same(dir, direction), qPrintable(describe(dir)));
}

void TestMetadata::readCaptureDate_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QDateTime>("expected"); // invalid: none found

    const QDateTime july(QDate(2023, 7, 14), QTime(16, 5, 9));
    const QDateTime january(QDate(2021, 1, 2), QTime(3, 4, 5));
    const QDateTime may(QDate(2022, 5, 6), QTime(7, 8, 9));
    const Tags both{{"Exif.Photo.DateTimeOriginal", "2023:07:14 16:05:09"},
                    {"Exif.Image.DateTime", "2021:01:02 03:04:05"}};
    const Tags zeroOriginal{{"Exif.Photo.DateTimeOriginal", "0000:00:00 00:00:00"},
                            {"Exif.Image.DateTime", "2021:01:02 03:04:05"}};
    const Tags xmpDate{{"Xmp.xmp.CreateDate", "2022-05-06T07:08:09"}};

    for (const char *suffix : {"jpg", "png", "tif"}) {
        QTest::addRow("DateTimeOriginal wins, %s", suffix) << suffix << both << july;
        QTest::addRow("all-zero DateTimeOriginal falls back, %s", suffix)
            << suffix << zeroOriginal << january;
        QTest::addRow("XMP CreateDate without EXIF, %s", suffix) << suffix << xmpDate << may;
    }
    QTest::addRow("dashed layout skipped")
        << "jpg"
        << Tags{{"Exif.Photo.DateTimeOriginal", "2023-07-14 16:05:09"},
                {"Exif.Image.DateTime", "2021:01:02 03:04:05"}}
        << january;
    QTest::addRow("dashed layout alone")
        << "jpg" << Tags{{"Exif.Photo.DateTimeOriginal", "2023-07-14 16:05:09"}} << QDateTime();
    QTest::addRow("EXIF dates unusable, XMP used")
        << "jpg" << Tags{{"Exif.Photo.DateTimeOriginal", "0000:00:00 00:00:00"}} + xmpDate << may;
    QTest::addRow("EXIF date wins over XMP") << "jpg" << both + xmpDate << july;
    QTest::addRow("XMP CreateDate with offset")
        << "jpg" << Tags{{"Xmp.xmp.CreateDate", "2022-05-06T07:08:09+02:00"}}
        << QDateTime(QDate(2022, 5, 6), QTime(7, 8, 9), Qt::OffsetFromUTC, 7200);
    QTest::addRow("XMP CreateDate unparsable")
        << "jpg" << Tags{{"Xmp.xmp.CreateDate", "yesterday"}} << QDateTime();
    QTest::addRow("no date tags") << "jpg" << Tags{{"Exif.Image.Make", "Cartaluz Cam"}}
                                  << QDateTime();
    QTest::addRow("no metadata") << "png" << Tags() << QDateTime();
}

void TestMetadata::readCaptureDate()
{
    QFETCH(QString, suffix);
    QFETCH(Tags, tags);
    QFETCH(QDateTime, expected);

    const QString file = photo("date." + suffix, tags);
    QVERIFY(!file.isEmpty());

    QDateTime date = untouched;
    MessageLog messages;
    QCOMPARE(::readCaptureDate(file, date), expected.isValid());
    QCOMPARE(messages.lines(), QStringList());
    QCOMPARE(date, expected.isValid() ? expected : untouched);
    if (expected.isValid())
        QCOMPARE(date.timeSpec(), expected.timeSpec());
}

void TestMetadata::brokenFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("readable"); // whether the metadata is still there to be read

    QTest::addRow("text file") << "text" << false;
    QTest::addRow("empty file") << "empty" << false;
    QTest::addRow("missing file") << "missing" << false;
    QTest::addRow("JPEG marker only") << "jpeg marker only" << false;
    QTest::addRow("cut inside EXIF") << "cut inside EXIF" << false;
    QTest::addRow("cut before scan") << "cut before scan" << false;
    QTest::addRow("cut inside scan") << "cut inside scan" << true;
}

void TestMetadata::brokenFiles()
{
    QFETCH(QString, kind);
    QFETCH(bool, readable);

    const QString file = brokenFile(kind);
    QVERIFY(!file.isEmpty());

    double lat = 1, lon = 1, dir = 1;
    QDateTime date = untouched;
    MessageLog messages;
    const bool gpsFound = readGpsData(file, lat, lon, dir);
    const bool dateFound = ::readCaptureDate(file, date);
    const QStringList lines = messages.lines();

    QCOMPARE(gpsFound, readable);
    QCOMPARE(dateFound, readable);
    if (readable) {
        QCOMPARE(lat, -33.437799999999996);
        QCOMPARE(date, QDateTime(QDate(2023, 7, 14), QTime(16, 5, 9)));
        QCOMPARE(lines, QStringList());
        return;
    }
    QCOMPARE(date, untouched);
    QCOMPARE(lat, 0.0);
    // Each reader turns the library's error into one quoted debug line.
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith("Error leyendo EXIF: \"") && lines.at(0).endsWith('"'),
             qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).startsWith("Error leyendo metadata para fecha de captura: \"") &&
                 lines.at(1).endsWith('"'),
             qPrintable(lines.at(1)));
    QVERIFY(lines.at(0).size() > int(strlen("Error leyendo EXIF: \"\"")));
}

void TestMetadata::writeUtm_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<int>("zone");
    QTest::addColumn<char>("letter");
    QTest::addColumn<double>("easting");
    QTest::addColumn<double>("northing");
    QTest::addColumn<double>("direction");
    QTest::addColumn<bool>("writeDirection");
    QTest::addColumn<QString>("latitudeRef");
    QTest::addColumn<QString>("latitude");
    QTest::addColumn<QString>("longitudeRef");
    QTest::addColumn<QString>("longitude");
    QTest::addColumn<QString>("directionText"); // null: no direction tag

    for (const char *suffix : {"jpg", "png", "tif"})
        QTest::addRow("zone 19 H with direction, %s", suffix)
            << suffix << 19 << 'H' << 346574.735 << 6298958.906 << 123.456 << true << "S"
            << "33/1 26/1 16080/1000"
            << "W"
            << "70/1 39/1 1800/1000"
            << "12346/100";
    QTest::addRow("zone 18 N without direction")
        << "jpg" << 18 << 'N' << 602049.765 << 508514.880 << 123.456 << false << "N"
        << "4/1 36/1 0/1000"
        << "W"
        << "74/1 4/1 48000/1000" << QString();

    // Headings outside 0..360 are wrapped; one that is not a number is left out.
    const auto heading = [](const char *name, double direction, const QString &text) {
        QTest::addRow("%s", name) << "jpg" << 19 << 'H' << 346574.735 << 6298958.906 << direction
                                  << true << "S"
                                  << "33/1 26/1 16080/1000"
                                  << "W"
                                  << "70/1 39/1 1800/1000" << text;
    };
    heading("direction 360 kept", 360.0, "36000/100");
    heading("direction 0", 0.0, "0/100");
    heading("direction -45 wraps to 315", -45.0, "31500/100");
    heading("direction 725 wraps to 5", 725.0, "500/100");
    heading("direction 1e12 wraps", 1e12, "28000/100");
    heading("direction NaN not written", notANumber, QString());
}

void TestMetadata::writeUtm()
{
    QFETCH(QString, suffix);
    QFETCH(int, zone);
    QFETCH(char, letter);
    QFETCH(double, easting);
    QFETCH(double, northing);
    QFETCH(double, direction);
    QFETCH(bool, writeDirection);
    QFETCH(QString, latitudeRef);
    QFETCH(QString, latitude);
    QFETCH(QString, longitudeRef);
    QFETCH(QString, longitude);
    QFETCH(QString, directionText);

    // A stale position of another place, to be replaced.
    const QString file = photo(
        "utm." + suffix, otherTags + TestPhotos::gpsTags("1/1 2/1 3/1", "N", "4/1 5/1 6/1", "E"));
    QVERIFY(!file.isEmpty());

    QStringList log;
    writeUtmToExif(file, zone, letter, easting, northing, direction, writeDirection,
                   [&log](const QString &line) { log << line; });
    QCOMPARE(log, QStringList{"Intentando escribir UTM EXIF en (nativo): " + file});

    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitudeRef"), latitudeRef);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitude"), latitude);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitudeRef"), longitudeRef);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitude"), longitude);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirection"), directionText);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirectionRef"),
             directionText.isNull() ? QString() : QString("T"));
    for (const auto &[key, value] : otherTags)
        QCOMPARE(TestPhotos::tag(file, key), value);

    if (!TestPhotos::haveExiftool())
        QSKIP("exiftool not installed: the independent read-back is left out");
    const QMap<QString, QString> values =
        TestPhotos::exiftoolValues(file, {"GPSLatitude", "GPSLongitude", "GPSImgDirection", "Make",
                                          "Model", "DateTimeOriginal", "Keywords", "Label"});
    const double lat = dmsToDecimal(latitude) * (latitudeRef == "S" ? -1 : 1);
    const double lon = dmsToDecimal(longitude) * (longitudeRef == "W" ? -1 : 1);
    QVERIFY2(std::fabs(values.value("GPSLatitude").toDouble() - lat) < 1e-9,
             qPrintable(values.value("GPSLatitude")));
    QVERIFY2(std::fabs(values.value("GPSLongitude").toDouble() - lon) < 1e-9,
             qPrintable(values.value("GPSLongitude")));
    if (directionText.isNull())
        QVERIFY(!values.contains("GPSImgDirection"));
    else
        QCOMPARE(values.value("GPSImgDirection").toDouble(), dmsToDecimal(directionText));
    QCOMPARE(values.value("Make"), QString("Cartaluz Cam"));
    QCOMPARE(values.value("Model"), QString("Modelo 7"));
    QCOMPARE(values.value("DateTimeOriginal"), QString("2023:07:14 16:05:09"));
    QCOMPARE(values.value("Keywords"), QString("montana"));
    QCOMPARE(values.value("Label"), QString("Campo"));
}

void TestMetadata::writeUtmKeepsDirectionWhenFlagOff()
{
    const QString file =
        photo("heading.jpg", TestPhotos::gpsTags("1/1 2/1 3/1", "N", "4/1 5/1 6/1", "E", "5/1"));
    QVERIFY(!file.isEmpty());

    writeUtmToExif(file, 19, 'H', 346574.735, 6298958.906, 123.456, false, [](const QString &) {});
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitude"), QString("33/1 26/1 16080/1000"));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirection"), QString("5/1"));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirectionRef"), QString("T"));
}

void TestMetadata::writeUtmWithoutExif_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addRow("jpg") << "jpg";
    QTest::addRow("png") << "png";
    QTest::addRow("tif") << "tif";
}

void TestMetadata::writeUtmWithoutExif()
{
    QFETCH(QString, suffix);
    const QString file = photo("bare." + suffix);
    QVERIFY(!file.isEmpty());

    QStringList log;
    writeUtmToExif(file, 19, 'H', 346574.735, 6298958.906, 123.456, true,
                   [&log](const QString &line) { log << line; });
    const QStringList expected{"Intentando escribir UTM EXIF en (nativo): " + file,
                               "No hay metadata EXIF para escribir en " + file + ". Se creará."};
    // A TIFF carries its image structure in EXIF, so it is never without it.
    if (suffix == QLatin1String("tif"))
        QCOMPARE(log, expected.mid(0, 1));
    else
        QCOMPARE(log, expected);

    double lat = 0, lon = 0, dir = 0;
    QVERIFY(readGpsData(file, lat, lon, dir));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitude"), QString("33/1 26/1 16080/1000"));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitude"), QString("70/1 39/1 1800/1000"));
    QCOMPARE(dir, 123.46);
    QVERIFY(!QImage(file).isNull());
}

void TestMetadata::writeUtmNotAnImage_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("text file") << "text";
    QTest::addRow("empty file") << "empty";
    QTest::addRow("missing file") << "missing";
    QTest::addRow("cut inside EXIF") << "cut inside EXIF";
}

void TestMetadata::writeUtmNotAnImage()
{
    QFETCH(QString, kind);
    const QString file = brokenFile(kind);
    QVERIFY(!file.isEmpty());
    const QByteArray before = contents(file);

    QStringList log;
    writeUtmToExif(file, 19, 'H', 346574.735, 6298958.906, 123.456, true,
                   [&log](const QString &line) { log << line; });
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0), "Intentando escribir UTM EXIF en (nativo): " + file);
    const QString prefix = "Error al escribir EXIF en " + file + ": ";
    QVERIFY2(log.at(1).startsWith(prefix) && log.at(1).size() > prefix.size(),
             qPrintable(log.at(1)));
    QCOMPARE(contents(file), before);
    QCOMPARE(QFileInfo::exists(file), kind != QLatin1String("missing"));
}

void TestMetadata::writeUtmReadOnly()
{
    if (geteuid() != 0)
        QSKIP("needs root to make a file immutable");
    const QString file = photo("locked.jpg", otherTags + santiago);
    QVERIFY(!file.isEmpty());
    const QByteArray before = contents(file);

    QStringList log;
    {
        TestPhotos::ImmutableFile locked(file);
        QVERIFY2(locked.isSet(), "chattr +i failed");
        writeUtmToExif(file, 18, 'N', 602049.765, 508514.880, 10.0, true,
                       [&log](const QString &line) { log << line; });
    }
    QCOMPARE(log.size(), 2);
    const QString prefix = "Error al escribir EXIF en " + file + ": ";
    QVERIFY2(log.at(1).startsWith(prefix) && log.at(1).size() > prefix.size(),
             qPrintable(log.at(1)));
    QCOMPARE(contents(file), before);
}

void TestMetadata::snapshotRoundTrip_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target"); // written afresh, then the snapshot restored into it

    QTest::addRow("JPEG in place") << "a.jpg"
                                   << "a.jpg";
    QTest::addRow("JPEG into PNG") << "a.jpg"
                                   << "a.png";
    QTest::addRow("TIFF renamed to JPEG") << "a.tif"
                                          << "b.jpg";
    QTest::addRow("PNG in place") << "a.png"
                                  << "a.png";
}

void TestMetadata::snapshotRoundTrip()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    const Tags tags = otherTags + santiago;
    const QString from = photo(source, tags);
    QVERIFY(!from.isEmpty());

    MetadataSnapshot snapshot;
    QDateTime date = untouched;
    bool dateFound = false;
    QString error;
    QCOMPARE(snapshot.takeFrom(from, date, dateFound, error), MetadataSnapshot::Outcome::Done);
    QVERIFY(dateFound);
    QCOMPARE(date, QDateTime(QDate(2023, 7, 14), QTime(16, 5, 9)));
    QVERIFY(!snapshot.isEmpty());

    // QImage writes no EXIF, IPTC or XMP: everything after this comes from the snapshot.
    const QString to = path(target);
    QVERIFY(TestPhotos::writeImage(to, 80, 60));
    QVERIFY(TestPhotos::tag(to, "Exif.Image.Make").isNull());

    QCOMPARE(snapshot.restoreInto(to, error), MetadataSnapshot::Outcome::Done);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const auto &[key, value] : tags)
        QCOMPARE(TestPhotos::tag(to, key), value);
    QCOMPARE(QImage(to).size(), QSize(80, 60));

    if (!TestPhotos::haveExiftool())
        QSKIP("exiftool not installed: the independent read-back is left out");
    const QMap<QString, QString> values =
        TestPhotos::exiftoolValues(to, {"Make", "Model", "DateTimeOriginal", "Keywords", "Label",
                                        "GPSLatitude", "GPSImgDirection"});
    QCOMPARE(values.value("Make"), QString("Cartaluz Cam"));
    QCOMPARE(values.value("Model"), QString("Modelo 7"));
    QCOMPARE(values.value("DateTimeOriginal"), QString("2023:07:14 16:05:09"));
    QCOMPARE(values.value("Keywords"), QString("montana"));
    QCOMPARE(values.value("Label"), QString("Campo"));
    QVERIFY2(std::fabs(values.value("GPSLatitude").toDouble() + 33.4378) < 1e-9,
             qPrintable(values.value("GPSLatitude")));
    QCOMPARE(values.value("GPSImgDirection"), QString("123.4"));
}

void TestMetadata::emptySnapshotClearsTarget()
{
    const QString bare = photo("bare.jpg");
    const QString tagged = photo("tagged.jpg", otherTags + santiago);
    QVERIFY(!bare.isEmpty() && !tagged.isEmpty());

    MetadataSnapshot snapshot;
    QDateTime date = untouched;
    bool dateFound = true;
    QString error;
    QCOMPARE(snapshot.takeFrom(bare, date, dateFound, error), MetadataSnapshot::Outcome::Done);
    QVERIFY(snapshot.isEmpty());
    QVERIFY(!dateFound);
    QCOMPARE(date, untouched);

    // Containers go back whole: the target's own tags do not outlive the restore.
    QCOMPARE(snapshot.restoreInto(tagged, error), MetadataSnapshot::Outcome::Done);
    for (const auto &[key, value] : otherTags)
        QVERIFY2(TestPhotos::tag(tagged, key).isNull(), qPrintable(key));
    QVERIFY(!QImage(tagged).isNull());
}

void TestMetadata::snapshotFromBrokenFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("text file") << "text";
    QTest::addRow("empty file") << "empty";
    QTest::addRow("missing file") << "missing";
    QTest::addRow("JPEG marker only") << "jpeg marker only";
    QTest::addRow("cut inside EXIF") << "cut inside EXIF";
}

void TestMetadata::snapshotFromBrokenFile()
{
    QFETCH(QString, kind);
    const QString file = brokenFile(kind);
    QVERIFY(!file.isEmpty());
    const QString target = photo("target.jpg", otherTags);
    QVERIFY(!target.isEmpty());

    MetadataSnapshot snapshot;
    QDateTime date = untouched;
    bool dateFound = true;
    QString error;
    const MetadataSnapshot::Outcome outcome = snapshot.takeFrom(file, date, dateFound, error);
    QVERIFY(!dateFound);
    QCOMPARE(date, untouched);
    if (outcome == MetadataSnapshot::Outcome::Failed)
        QVERIFY(!error.isEmpty());
    else
        QVERIFY2(snapshot.isEmpty(), "a broken file gave metadata");

    // Restoring a broken file's snapshot must not fail on a good photo.
    QString restoreError;
    QCOMPARE(snapshot.restoreInto(target, restoreError), MetadataSnapshot::Outcome::Done);
    QVERIFY(!QImage(target).isNull());

    // Nor may restoring into a broken file crash or hide its failure.
    MetadataSnapshot good;
    QVERIFY(good.takeFrom(target, date, dateFound, error) == MetadataSnapshot::Outcome::Done);
    const QByteArray before = contents(file);
    restoreError.clear();
    if (good.restoreInto(file, restoreError) == MetadataSnapshot::Outcome::Failed)
        QVERIFY(!restoreError.isEmpty());
    QCOMPARE(contents(file), before);
}

void TestMetadata::snapshotIntoReadOnly()
{
    if (geteuid() != 0)
        QSKIP("needs root to make a file immutable");
    const QString source = photo("source.jpg", otherTags + santiago);
    const QString target = photo("target.jpg");
    QVERIFY(!source.isEmpty() && !target.isEmpty());
    const QByteArray before = contents(target);

    MetadataSnapshot snapshot;
    QDateTime date;
    bool dateFound = false;
    QString error;
    QCOMPARE(snapshot.takeFrom(source, date, dateFound, error), MetadataSnapshot::Outcome::Done);
    {
        TestPhotos::ImmutableFile locked(target);
        QVERIFY2(locked.isSet(), "chattr +i failed");
        QCOMPARE(snapshot.restoreInto(target, error), MetadataSnapshot::Outcome::Failed);
    }
    QVERIFY(!error.isEmpty());
    QCOMPARE(contents(target), before);
}

QTEST_GUILESS_MAIN(TestMetadata)
#include "tst_metadata.moc"
