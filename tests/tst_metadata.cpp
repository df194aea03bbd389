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
#include <limits>
#include <memory>
#include <unistd.h>

using TestPhotos::Tags;

namespace {

// The toolkit's debug and warning lines written while an instance lives.
class MessageLog
{
public:
    MessageLog() { s_lines.clear(), m_previous = qInstallMessageHandler(handler); }
    ~MessageLog() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return s_lines; }

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &m) { s_lines << m; }
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};

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

const double notANumber = std::numeric_limits<double>::quiet_NaN();
const QDateTime untouched(QDate(1999, 9, 9), QTime(9, 9, 9));
const QDateTime july(QDate(2023, 7, 14), QTime(16, 5, 9));
const QString south = QStringLiteral("33/1 26/1 16080/1000");
const QString west = QStringLiteral("70/1 39/1 1800/1000");

// Tags that must survive every write: camera, date, an IPTC keyword and an XMP label.
const Tags otherTags{{"Exif.Image.Make", "Cartaluz Cam"},
                     {"Exif.Image.Model", "Modelo 7"},
                     {"Exif.Photo.DateTimeOriginal", "2023:07:14 16:05:09"},
                     {"Iptc.Application2.Keywords", "montana"},
                     {"Xmp.xmp.Label", "Campo"}};

const Tags santiago =
    TestPhotos::gpsTags("33/1 26/1 1608/100", "S", "70/1 39/1 18/1", "W", "1234/10");

QStringList writeUtm(const QString &file, double direction = 123.456, bool withDirection = true)
{
    QStringList log;
    writeUtmToExif(file, 19, 'H', 346574.735, 6298958.906, direction, withDirection,
                   [&log](const QString &line) { log << line; });
    return log;
}

} // namespace

class TestMetadata : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void nativePath_data();
    void nativePath();
    void nativePathEmpty();
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
    void writeUtmFails_data();
    void writeUtmFails();
    void snapshotRoundTrip_data();
    void snapshotRoundTrip();
    void emptySnapshotClearsTarget();
    void snapshotFromBrokenFile_data() { brokenFiles_data(); }
    void snapshotFromBrokenFile();
    void snapshotIntoReadOnly();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString photo(const QString &name, const Tags &tags = {}) const;
    QString brokenFile(const QString &kind) const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

// A small image with the given tags; empty on failure.
QString TestMetadata::photo(const QString &name, const Tags &tags) const
{
    const QString file = path(name);
    QDir().mkpath(QFileInfo(file).absolutePath());
    QString error;
    if (!TestPhotos::writeImage(file) ||
        (!tags.isEmpty() && !TestPhotos::setTags(file, tags, &error))) {
        qWarning() << "cannot make" << file << error;
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
    const QByteArray whole = contents(photo(QStringLiteral("whole.jpg"), otherTags + santiago));
    const int scanStart = whole.indexOf("\xff\xda"); // all metadata lies before the scan
    if (scanStart < 0)
        return {};
    const int length =
        kind == QLatin1String("cut inside EXIF") ? 60 : scanStart + (whole.size() - scanStart) / 2;
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
    QTest::addRow("absolute") << "/srv/fotos/b.JPG";
    QTest::addRow("relative, not existing, non-ASCII") << "Año 2024/b.JPG";
}

void TestMetadata::nativePath()
{
    QFETCH(QString, input);
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
    const std::string native = qPathToNativeStdString(input);
    const QString current = QDir::currentPath();
    QDir::setCurrent(previous);

    const QString expected = input.startsWith('/') ? input : current + '/' + input;
    QCOMPARE(QByteArray::fromStdString(native), expected.toUtf8());
}

void TestMetadata::nativePathEmpty()
{
    QTest::ignoreMessage(QtWarningMsg,
                         "qPathToNativeStdString: No se pudo obtener la ruta absoluta para: \"\"");
    QCOMPARE(qPathToNativeStdString(QString()), std::string());
}

void TestMetadata::readGps_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<bool>("found");
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<double>("direction");

    const QString lat = QStringLiteral("33/1 26/1 1608/100");
    const QString lon = QStringLiteral("70/1 39/1 18/1");
    const double s = -33.437799999999996;
    for (const char *suffix : {"jpg", "png", "tif"})
        QTest::addRow("S and W, %s", suffix)
            << QString("gps.") + suffix << TestPhotos::gpsTags(lat, "S", lon, "W") << true << s
            << -70.655 << 0.0;
    QTest::addRow("non-ASCII path, direction 1234/10")
        << "Año 2024/ñandú.jpg" << santiago << true << s << -70.655 << 123.4;
    QTest::addRow("lower-case s and w")
        << "gps.jpg" << TestPhotos::gpsTags(lat, "s", lon, "w") << true << s << -70.655 << 0.0;
    QTest::addRow("South and West spelled out stay positive")
        << "gps.jpg" << TestPhotos::gpsTags(lat, "South", lon, "West") << true << -s << 70.655
        << 0.0;
    QTest::addRow("zero seconds denominator")
        << "gps.jpg" << TestPhotos::gpsTags("33/1 26/1 0/0", "S", lon, "W") << true << notANumber
        << -70.655 << 0.0;
    QTest::addRow("zero degrees denominator")
        << "gps.jpg" << TestPhotos::gpsTags("33/0 26/1 1608/100", "N", lon, "W") << true
        << std::numeric_limits<double>::infinity() << -70.655 << 0.0;
    // The latitude was already stored when the longitude turns out short.
    QTest::addRow("two-component longitude")
        << "gps.jpg" << TestPhotos::gpsTags(lat, "S", "70/1 39/1", "W") << false << s << 0.0 << 0.0;
    QTest::addRow("longitude reference missing")
        << "gps.jpg" << santiago.mid(0, 3) << false << 0.0 << 0.0 << 0.0;
    QTest::addRow("EXIF without GPS") << "gps.png" << otherTags << false << 0.0 << 0.0 << 0.0;
}

void TestMetadata::readGps()
{
    QFETCH(QString, name);
    QFETCH(Tags, tags);
    QFETCH(bool, found);
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(double, direction);
    const QString file = photo(name, tags);
    QVERIFY(!file.isEmpty());

    double lat = 1, lon = 1, dir = 1;
    MessageLog messages;
    QCOMPARE(readGpsData(file, lat, lon, dir), found);
    QCOMPARE(messages.lines(), QStringList());
    QVERIFY2(same(lat, latitude), qPrintable(QString::number(lat, 'g', 17)));
    QVERIFY2(same(lon, longitude), qPrintable(QString::number(lon, 'g', 17)));
    QVERIFY2(same(dir, direction), qPrintable(QString::number(dir, 'g', 17)));
}

void TestMetadata::readCaptureDate_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<Tags>("tags");
    QTest::addColumn<QDateTime>("expected"); // invalid: none found

    const QDateTime january(QDate(2021, 1, 2), QTime(3, 4, 5));
    const QDateTime may(QDate(2022, 5, 6), QTime(7, 8, 9));
    const Tags imageDate{{"Exif.Image.DateTime", "2021:01:02 03:04:05"}};
    const Tags xmpDate{{"Xmp.xmp.CreateDate", "2022-05-06T07:08:09"}};
    const auto original = [](const char *value) {
        return Tags{{"Exif.Photo.DateTimeOriginal", value}};
    };

    for (const char *suffix : {"jpg", "png", "tif"}) {
        QTest::addRow("DateTimeOriginal wins, %s", suffix)
            << suffix << original("2023:07:14 16:05:09") + imageDate + xmpDate << july;
        QTest::addRow("all-zero DateTimeOriginal falls back, %s", suffix)
            << suffix << original("0000:00:00 00:00:00") + imageDate << january;
        QTest::addRow("XMP CreateDate without EXIF, %s", suffix) << suffix << xmpDate << may;
    }
    QTest::addRow("dashed layout skipped")
        << "jpg" << original("2023-07-14 16:05:09") + imageDate << january;
    QTest::addRow("dashed layout alone") << "jpg" << original("2023-07-14 16:05:09") << QDateTime();
    QTest::addRow("EXIF dates unusable, XMP used")
        << "jpg" << original("0000:00:00 00:00:00") + xmpDate << may;
    QTest::addRow("XMP CreateDate with offset")
        << "jpg" << Tags{{"Xmp.xmp.CreateDate", "2022-05-06T07:08:09+02:00"}}
        << QDateTime(QDate(2022, 5, 6), QTime(7, 8, 9), Qt::OffsetFromUTC, 7200);
    QTest::addRow("XMP CreateDate unparsable")
        << "jpg" << Tags{{"Xmp.xmp.CreateDate", "yesterday"}} << QDateTime();
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
    QTest::addRow("text file") << "text";
    QTest::addRow("missing file") << "missing";
    QTest::addRow("cut inside EXIF") << "cut inside EXIF";
    QTest::addRow("cut inside scan") << "cut inside scan"; // metadata intact
}

void TestMetadata::brokenFiles()
{
    QFETCH(QString, kind);
    const QString file = brokenFile(kind);
    QVERIFY(!file.isEmpty());
    const bool readable = kind == QLatin1String("cut inside scan");

    double lat = 1, lon = 1, dir = 1;
    QDateTime date = untouched;
    MessageLog messages;
    QCOMPARE(readGpsData(file, lat, lon, dir), readable);
    QCOMPARE(::readCaptureDate(file, date), readable);
    const QStringList lines = messages.lines();
    if (readable) {
        QCOMPARE(lat, -33.437799999999996);
        QCOMPARE(date, july);
        QCOMPARE(lines, QStringList());
        return;
    }
    QCOMPARE(date, untouched);
    QCOMPARE(lat, 0.0);
    // Each reader turns the library's error into one quoted debug line.
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).startsWith("Error leyendo EXIF: \"") && lines.at(0).endsWith('"') &&
                 lines.at(0).size() > 22,
             qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).startsWith("Error leyendo metadata para fecha de captura: \"") &&
                 lines.at(1).endsWith('"'),
             qPrintable(lines.at(1)));
}

void TestMetadata::writeUtm_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<double>("direction");
    QTest::addColumn<QString>("directionText"); // null: no direction tag

    for (const char *suffix : {"jpg", "png", "tif"})
        QTest::addRow("direction 123.456, %s", suffix) << suffix << 123.456 << "12346/100";
    // Headings outside 0..360 are wrapped; one that is not a number is left out.
    QTest::addRow("direction 360 kept") << "jpg" << 360.0 << "36000/100";
    QTest::addRow("direction -45 wraps to 315") << "jpg" << -45.0 << "31500/100";
    QTest::addRow("direction 725 wraps to 5") << "jpg" << 725.0 << "500/100";
    QTest::addRow("direction NaN not written") << "jpg" << notANumber << QString();
}

void TestMetadata::writeUtm()
{
    QFETCH(QString, suffix);
    QFETCH(double, direction);
    QFETCH(QString, directionText);
    // A stale position of another place, to be replaced.
    const QString file = photo(
        "utm." + suffix, otherTags + TestPhotos::gpsTags("1/1 2/1 3/1", "N", "4/1 5/1 6/1", "E"));
    QVERIFY(!file.isEmpty());

    QCOMPARE(::writeUtm(file, direction),
             QStringList{"Intentando escribir UTM EXIF en (nativo): " + file});
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitudeRef"), QString("S"));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitude"), south);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitudeRef"), QString("W"));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitude"), west);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirection"), directionText);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirectionRef"),
             directionText.isNull() ? QString() : QString("T"));
    for (const auto &[key, value] : otherTags)
        QCOMPARE(TestPhotos::tag(file, key), value);
}

void TestMetadata::writeUtmKeepsDirectionWhenFlagOff()
{
    const QString file =
        photo("heading.jpg", TestPhotos::gpsTags("1/1 2/1 3/1", "N", "4/1 5/1 6/1", "E", "5/1"));
    QVERIFY(!file.isEmpty());
    ::writeUtm(file, 123.456, false);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLatitude"), south);
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSImgDirection"), QString("5/1"));
}

void TestMetadata::writeUtmWithoutExif_data()
{
    QTest::addColumn<QString>("suffix");
    for (const char *suffix : {"jpg", "png", "tif"})
        QTest::addRow("%s", suffix) << suffix;
}

void TestMetadata::writeUtmWithoutExif()
{
    QFETCH(QString, suffix);
    const QString file = photo("bare." + suffix);
    QVERIFY(!file.isEmpty());

    const QStringList expected{"Intentando escribir UTM EXIF en (nativo): " + file,
                               "No hay metadata EXIF para escribir en " + file + ". Se creará."};
    // A TIFF carries its image structure in EXIF, so it is never without it.
    QCOMPARE(::writeUtm(file), suffix == QLatin1String("tif") ? expected.mid(0, 1) : expected);
    double lat = 0, lon = 0, dir = 0;
    QVERIFY(readGpsData(file, lat, lon, dir));
    QCOMPARE(TestPhotos::tag(file, "Exif.GPSInfo.GPSLongitude"), west);
    QCOMPARE(dir, 123.46);
    QVERIFY(!QImage(file).isNull());
}

void TestMetadata::writeUtmFails_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("text file") << "text";
    QTest::addRow("missing file") << "missing";
    QTest::addRow("cut inside EXIF") << "cut inside EXIF";
    QTest::addRow("immutable photo") << "immutable";
}

void TestMetadata::writeUtmFails()
{
    QFETCH(QString, kind);
    const bool immutable = kind == QLatin1String("immutable");
    if (immutable && geteuid() != 0)
        QSKIP("needs root to make a file immutable");
    const QString file = immutable ? photo("locked.jpg", otherTags + santiago) : brokenFile(kind);
    QVERIFY(!file.isEmpty());
    const QByteArray before = contents(file);

    QStringList log;
    {
        std::unique_ptr<TestPhotos::ImmutableFile> locked;
        if (immutable) {
            locked = std::make_unique<TestPhotos::ImmutableFile>(file);
            QVERIFY2(locked->isSet(), "chattr +i failed");
        }
        log = ::writeUtm(file);
    }
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0), "Intentando escribir UTM EXIF en (nativo): " + file);
    const QString prefix = "Error al escribir EXIF en " + file + ": ";
    QVERIFY2(log.at(1).startsWith(prefix) && log.at(1).size() > prefix.size(),
             qPrintable(log.at(1)));
    QCOMPARE(contents(file), before);
    QCOMPARE(QFileInfo::exists(file), kind != QLatin1String("missing"));
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
}

void TestMetadata::snapshotRoundTrip()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    const QString from = photo(source, otherTags + santiago);
    QVERIFY(!from.isEmpty());

    MetadataSnapshot snapshot;
    QDateTime date = untouched;
    bool dateFound = false;
    QString error;
    QCOMPARE(snapshot.takeFrom(from, date, dateFound, error), MetadataSnapshot::Outcome::Done);
    QVERIFY(dateFound);
    QCOMPARE(date, july);

    // QImage writes no EXIF, IPTC or XMP: everything after this comes from the snapshot.
    const QString to = path(target);
    QVERIFY(TestPhotos::writeImage(to, 80, 60));
    QVERIFY(TestPhotos::tag(to, "Exif.Image.Make").isNull());
    QCOMPARE(snapshot.restoreInto(to, error), MetadataSnapshot::Outcome::Done);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    for (const auto &[key, value] : otherTags + santiago)
        QCOMPARE(TestPhotos::tag(to, key), value);
    QCOMPARE(QImage(to).size(), QSize(80, 60));
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

void TestMetadata::snapshotFromBrokenFile()
{
    QFETCH(QString, kind);
    const QString file = brokenFile(kind);
    const QString target = photo("target.jpg", otherTags);
    QVERIFY(!file.isEmpty() && !target.isEmpty());

    MetadataSnapshot snapshot;
    QDateTime date = untouched;
    bool dateFound = true;
    QString error;
    const MetadataSnapshot::Outcome outcome = snapshot.takeFrom(file, date, dateFound, error);
    if (kind == QLatin1String("cut inside scan")) {
        QCOMPARE(outcome, MetadataSnapshot::Outcome::Done);
        QCOMPARE(date, july);
        return;
    }
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

    // Nor may restoring into a broken file crash, hide its failure or change it.
    MetadataSnapshot good;
    QCOMPARE(good.takeFrom(target, date, dateFound, error), MetadataSnapshot::Outcome::Done);
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
