// The sample coordinate file: which photos are listed, the rows written for them, and that the
// coordinate file reader takes the result back.
#include "coordinatefile.h"
#include "photoprocessor.h"
#include "testphotos.h"
#include "utm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const QString kHeader =
    QStringLiteral("nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion");
const QString kDone = QStringLiteral("Archivo de ejemplo creado en: ");

QString placeholderRow(const QString &name)
{
    return name + QStringLiteral(",19,J,500000,6000000,0");
}

QString noGpsMessage(const QString &name)
{
    return QStringLiteral("Datos GPS no encontrados en EXIF para ") + name +
           QStringLiteral(". Usando coordenadas y orientación fijas");
}

// The row for a photo at (latitude, longitude): the converted position without fractions.
QString gpsRow(const QString &name, double latitude, double longitude, const QString &orientation)
{
    const UtmPosition utm = latLonToUtm(latitude, longitude);
    return name + QLatin1Char(',') + QString::number(utm.zoneNumber) + QLatin1Char(',') +
           QLatin1Char(utm.zoneLetter) + QLatin1Char(',') +
           QString::number(static_cast<int>(utm.easting)) + QLatin1Char(',') +
           QString::number(static_cast<int>(utm.northing)) + QLatin1Char(',') + orientation;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A JPEG carrying GPS tags in the form a camera writes them.
bool writeGpsPhoto(const QString &path, const QString &latitude, const QString &latitudeRef,
                   const QString &longitude, const QString &longitudeRef,
                   const QString &direction = QString())
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QString error;
    if (!TestPhotos::writeImage(path))
        return false;
    if (!TestPhotos::setTags(
            path, TestPhotos::gpsTags(latitude, latitudeRef, longitude, longitudeRef, direction),
            &error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    return true;
}

} // namespace

class TestSampleFile : public QObject
{
    Q_OBJECT

private slots:
    void listing_data();
    void listing();
    void missingFolder_data();
    void missingFolder();
    void overwritesExistingTarget();
    void exifRows_data();
    void exifRows();
    void photosWithoutGps_data();
    void photosWithoutGps();
    void unwritableTarget_data();
    void unwritableTarget();
    void roundTrip();

private:
    QStringList generate(const QString &directory, const QString &output, bool subdirectories,
                         bool useExif);
};

QStringList TestSampleFile::generate(const QString &directory, const QString &output,
                                     bool subdirectories, bool useExif)
{
    QStringList messages;
    PhotoProcessor::createSampleCoordinateFile(
        directory, output, subdirectories, useExif,
        [&messages](const QString &line) { messages.append(line); });
    return messages;
}

void TestSampleFile::listing_data()
{
    // Entries are made under <tmp>/photos: "x.jpg" an empty file, "x/" a folder,
    // "link->target" a symbolic link to <tmp>/target. Only the listing matters here.
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("subdirectories");
    QTest::addColumn<QStringList>("expected"); // in file order; sorted first when walking

    QTest::addRow("sorted by name ignoring case")
        << QStringList{"b.jpg", "A.png", "c.JPEG", "a2.tiff", "B2.Jpg"} << false
        << QStringList{"A.png", "a2.tiff", "b.jpg", "B2.Jpg", "c.JPEG"};
    QTest::addRow("four extensions in any case, nothing else")
        << QStringList{"IMG_1.JPG", "IMG_2.TIFF", "x.tif",  "x.heic",   "x.gif",
                       "x.jpg.txt", "jpg",        "x.jpgx", "IMG_3.PnG"}
        << false << QStringList{"IMG_1.JPG", "IMG_2.TIFF", "IMG_3.PnG"};
    QTest::addRow("hidden files, folders and subfolder photos left out")
        << QStringList{".hidden.jpg", "sub/b.jpg", "album.jpg/", "a.jpg"} << false
        << QStringList{"a.jpg"};
    QTest::addRow("subfolders walked")
        << QStringList{"a.jpg",           "sub/b.png",       "sub/deeper/C.JPEG",
                       "sub/.hidden.jpg", "album.jpg/d.jpg", "sub/e.tif"}
        << true << QStringList{"C.JPEG", "a.jpg", "b.png", "d.jpg"};
    QTest::addRow("same name in two subfolders")
        << QStringList{"one/x.jpg", "two/x.jpg"} << true << QStringList{"x.jpg", "x.jpg"};
    QTest::addRow("symbolic link to a file listed without subfolders")
        << QStringList{"a.jpg", "link.jpg->outside/real.jpg", "broken.jpg->outside/missing.jpg"}
        << false << QStringList{"a.jpg", "link.jpg"};
    QTest::addRow("symbolic links neither listed nor followed in a walk")
        << QStringList{"a.jpg", "link.jpg->outside/real.jpg", "linked->outside"} << true
        << QStringList{"a.jpg"};
    QTest::addRow("names written as they are")
        << QStringList{"100%1 %2.jpg", "a,b.jpg", QString::fromUtf8("Año ó.jpg")} << false
        << QStringList{"100%1 %2.jpg", "a,b.jpg", QString::fromUtf8("Año ó.jpg")};
}

void TestSampleFile::listing()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, subdirectories);
    QFETCH(QStringList, expected);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QDir root(tmp.path());
    QVERIFY(writeFile(root.filePath("outside/real.jpg"), "x"));
    QDir photos(root.filePath("photos"));
    QVERIFY(root.mkpath("photos"));
    for (const QString &entry : entries) {
        const int arrow = entry.indexOf("->");
        if (arrow >= 0) {
            QVERIFY(QFile::link(root.filePath(entry.mid(arrow + 2)),
                                photos.filePath(entry.left(arrow))));
        } else if (entry.endsWith('/')) {
            QVERIFY(photos.mkpath(entry));
        } else {
            QVERIFY(writeFile(photos.filePath(entry), QByteArray()));
        }
    }

    const QString output = root.filePath("sample.txt");
    QCOMPARE(generate(photos.path(), output, subdirectories, false), QStringList{kDone + output});

    const QByteArray written = readFile(output);
    QVERIFY2(written.endsWith('\n'), written.constData());
    QStringList lines = QString::fromUtf8(written).split('\n');
    lines.removeLast();
    QCOMPARE(lines.value(0), kHeader);
    lines.removeFirst();
    if (subdirectories)
        lines.sort();
    QStringList rows;
    for (const QString &name : expected)
        rows.append(placeholderRow(name));
    QCOMPARE(lines, rows);
}

void TestSampleFile::missingFolder_data()
{
    QTest::addColumn<bool>("subdirectories");
    QTest::addRow("listing") << false;
    QTest::addRow("walk") << true;
}

void TestSampleFile::missingFolder()
{
    QFETCH(bool, subdirectories);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString output = tmp.filePath("sample.txt");
    QCOMPARE(generate(tmp.filePath("nowhere"), output, subdirectories, true),
             QStringList{kDone + output});
    QCOMPARE(readFile(output), (kHeader + '\n').toUtf8());
}

void TestSampleFile::overwritesExistingTarget()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath("photos/a.jpg"), QByteArray()));
    const QString output = tmp.filePath("sample.txt");
    QVERIFY(writeFile(output, QByteArray(4096, 'z') + "\nold.jpg,1,A,2,3,4\n"));

    generate(tmp.filePath("photos"), output, false, false);
    QCOMPARE(QString::fromUtf8(readFile(output)), kHeader + '\n' + placeholderRow("a.jpg") + '\n');
}

void TestSampleFile::exifRows_data()
{
    QTest::addColumn<QString>("latitude");
    QTest::addColumn<QString>("latitudeRef");
    QTest::addColumn<QString>("longitude");
    QTest::addColumn<QString>("longitudeRef");
    QTest::addColumn<QString>("direction");
    QTest::addColumn<double>("expectedLatitude");
    QTest::addColumn<double>("expectedLongitude");
    QTest::addColumn<QString>("expectedOrientation");

    const double santiagoLat = -(33.0 + 27.0 / 60.0);
    const double santiagoLon = -(70.0 + 39.0 / 60.0 + 36.0 / 3600.0);
    QTest::addRow("south west, direction 123.9")
        << "33/1 27/1 0/1"
        << "S"
        << "70/1 39/1 36/1"
        << "W"
        << "1239/10" << santiagoLat << santiagoLon << "123";
    QTest::addRow("north east without direction")
        << "48/1 51/1 30/1"
        << "N"
        << "2/1 17/1 40/1"
        << "E" << QString() << 48.0 + 51.0 / 60.0 + 30.0 / 3600.0
        << 2.0 + 17.0 / 60.0 + 40.0 / 3600.0 << "0";
    // The reader takes the rational's parts as signed, so these hold -0.7 and -123.9.
    QTest::addRow("direction -0.7 truncated, not rounded")
        << "33/1 27/1 0/1"
        << "S"
        << "70/1 39/1 36/1"
        << "W"
        << "4294967289/10" << santiagoLat << santiagoLon << "0";
    QTest::addRow("direction -123.9 truncated toward zero")
        << "33/1 27/1 0/1"
        << "S"
        << "70/1 39/1 36/1"
        << "W"
        << "4294966057/10" << santiagoLat << santiagoLon << "-123";
    QTest::addRow("infinite direction pinned to the integer range")
        << "33/1 27/1 0/1"
        << "S"
        << "70/1 39/1 36/1"
        << "W"
        << "1/0" << santiagoLat << santiagoLon << "2147483647";
    QTest::addRow("not-a-number direction written 0") << "33/1 27/1 0/1"
                                                      << "S"
                                                      << "70/1 39/1 36/1"
                                                      << "W"
                                                      << "0/0" << santiagoLat << santiagoLon << "0";
}

void TestSampleFile::exifRows()
{
    QFETCH(QString, latitude);
    QFETCH(QString, latitudeRef);
    QFETCH(QString, longitude);
    QFETCH(QString, longitudeRef);
    QFETCH(QString, direction);
    QFETCH(double, expectedLatitude);
    QFETCH(double, expectedLongitude);
    QFETCH(QString, expectedOrientation);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeGpsPhoto(tmp.filePath("photos/gps.jpg"), latitude, latitudeRef, longitude,
                          longitudeRef, direction));
    const QString output = tmp.filePath("sample.txt");
    QCOMPARE(generate(tmp.filePath("photos"), output, false, true), QStringList{kDone + output});
    QCOMPARE(QString::fromUtf8(readFile(output)),
             kHeader + '\n' +
                 gpsRow("gps.jpg", expectedLatitude, expectedLongitude, expectedOrientation) +
                 '\n');
}

void TestSampleFile::photosWithoutGps_data()
{
    QTest::addColumn<bool>("useExif");
    QTest::addRow("from EXIF") << true;
    QTest::addRow("placeholders only") << false;
}

void TestSampleFile::photosWithoutGps()
{
    QFETCH(bool, useExif);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir photos(tmp.filePath("photos"));
    QVERIFY(writeGpsPhoto(photos.filePath("gps.jpg"), "33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W",
                          "90/1"));
    QVERIFY(TestPhotos::writeImage(photos.filePath("plain.jpg")));
    QVERIFY(writeFile(photos.filePath("broken.jpg"), "not a picture"));
    QVERIFY(writeGpsPhoto(photos.filePath("no_longitude.jpg"), "33/1 27/1 0/1", "S", "70/1", "W"));

    const QString output = tmp.filePath("sample.txt");
    const QStringList messages = generate(photos.path(), output, false, useExif);

    QStringList expectedMessages;
    if (useExif) {
        expectedMessages << noGpsMessage("broken.jpg") << noGpsMessage("no_longitude.jpg")
                         << noGpsMessage("plain.jpg");
    }
    expectedMessages << kDone + output;
    QCOMPARE(messages, expectedMessages);

    const QString gps = useExif ? gpsRow("gps.jpg", -(33.0 + 27.0 / 60.0),
                                         -(70.0 + 39.0 / 60.0 + 36.0 / 3600.0), "90")
                                : placeholderRow("gps.jpg");
    QCOMPARE(QString::fromUtf8(readFile(output)).split('\n'),
             (QStringList{kHeader, placeholderRow("broken.jpg"), gps,
                          placeholderRow("no_longitude.jpg"), placeholderRow("plain.jpg"), ""}));
}

void TestSampleFile::unwritableTarget_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("folder does not exist") << "missing folder";
    QTest::addRow("target is a folder") << "folder";
    QTest::addRow("immutable file") << "immutable";
}

void TestSampleFile::unwritableTarget()
{
    QFETCH(QString, kind);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath("photos/a.jpg"), QByteArray()));
    const QByteArray oldContent = "old.jpg,1,A,2,3,4\n";
    QString output;
    if (kind == "missing folder") {
        output = tmp.filePath("nowhere/sample.txt");
    } else if (kind == "folder") {
        output = tmp.filePath("photos");
    } else {
        if (geteuid() != 0)
            QSKIP("Needs root to make a file immutable");
        output = tmp.filePath("sample.txt");
        QVERIFY(writeFile(output, oldContent));
        if (QProcess::execute("chattr", {"+i", output}) != 0)
            QSKIP("chattr +i is not available on this file system");
    }
    const auto undo = qScopeGuard([&] {
        if (kind == "immutable")
            QProcess::execute("chattr", {"-i", output});
    });

    QCOMPARE(generate(tmp.filePath("photos"), output, false, true),
             QStringList{"Error al crear el archivo de ejemplo: no se pudo abrir el archivo."});
    if (kind == "immutable")
        QCOMPARE(readFile(output), oldContent);
    else if (kind == "missing folder")
        QVERIFY(!QFileInfo::exists(tmp.filePath("nowhere")));
}

void TestSampleFile::roundTrip()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QDir photos(tmp.filePath("photos"));
    const double latA = 4.0 + 36.0 / 60.0;
    const double lonA = -(74.0 + 4.0 / 60.0 + 48.0 / 3600.0);
    const double latB = -(0.0 + 30.0 / 60.0);
    const double lonB = -(78.0 + 30.0 / 60.0);
    QVERIFY(writeGpsPhoto(photos.filePath("one/x.jpg"), "4/1 36/1 0/1", "N", "74/1 4/1 48/1", "W",
                          "2705/10"));
    QVERIFY(writeGpsPhoto(photos.filePath("two/x.jpg"), "0/1 30/1 0/1", "S", "78/1 30/1 0/1", "W",
                          "15/1"));
    QVERIFY(TestPhotos::writeImage(photos.filePath("two/plain.png")));
    QVERIFY(writeFile(photos.filePath("one/%1 name.jpg"), "not a picture"));

    const QString output = tmp.filePath("sample.txt");
    generate(photos.path(), output, true, true);
    const QStringList lines = QString::fromUtf8(readFile(output)).split('\n');
    QCOMPARE(lines.size(), 6); // header, four rows, nothing after the last line end

    // The reader keeps whichever x.jpg row the walk wrote last.
    const int rowA = lines.indexOf(gpsRow("x.jpg", latA, lonA, "270"));
    const int rowB = lines.indexOf(gpsRow("x.jpg", latB, lonB, "15"));
    QVERIFY2(rowA > 0 && rowB > 0, qPrintable(lines.join('\n')));
    const UtmPosition later = rowA > rowB ? latLonToUtm(latA, lonA) : latLonToUtm(latB, lonB);

    QStringList messages;
    const CoordinateTable table =
        readCoordinateFile(output, [&messages](const QString &line) { messages.append(line); });
    QCOMPARE(messages, QStringList());
    QCOMPARE(table.keys(), (QStringList{"%1 name.jpg", "plain.png", "x.jpg"}));
    for (const CoordinateRecord &record : table)
        QVERIFY(record.hasOrientation);
    const CoordinateRecord placeholder{19, 'J', 500000.0, 6000000.0, 0.0, true};
    QVERIFY(table.value("%1 name.jpg") == placeholder);
    QVERIFY(table.value("plain.png") == placeholder);
    const CoordinateRecord x = table.value("x.jpg");
    QCOMPARE(x.zoneNumber, later.zoneNumber);
    QCOMPARE(x.zoneLetter, later.zoneLetter);
    QCOMPARE(x.easting, double(static_cast<int>(later.easting)));
    QCOMPARE(x.northing, double(static_cast<int>(later.northing)));
    QCOMPARE(x.orientation, rowA > rowB ? 270.0 : 15.0);
}

QTEST_GUILESS_MAIN(TestSampleFile)
#include "tst_samplefile.moc"
