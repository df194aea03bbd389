// The batch run end to end on folders of made photos, checked through its log and its files.
#include "photoprocessor.h"
#include "testphotos.h"

#include <QBuffer>
#include <QDir>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

struct Job
{
    bool useExif = true;
    QString txtPath;
    bool rename = false;
    QString prefix; // added when not empty
    bool backup = false;
};

// The log cut into one list per photo, keyed by its name as the "Procesando" line gives it.
QMap<QString, QStringList> runBatch(const QString &dir, const Job &job)
{
    QMap<QString, QStringList> log;
    QString current;
    PhotoProcessor::processPhotos(dir, QString(), QString(), 0.03, job.useExif, job.txtPath,
                                  Qt::white, 0.0, "arriba-izquierda", "abajo-derecha",
                                  "abajo-derecha", 0.18, job.rename, !job.prefix.isEmpty(),
                                  job.prefix, false, true, true, true, "arriba-derecha", job.backup,
                                  [&](const QString &line) {
                                      if (line.startsWith("\nProcesando: "))
                                          current = line.mid(13);
                                      log[current] << line;
                                  });
    return log;
}

QByteArray bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every quantization table segment of a JPEG, in order.
QByteArray quantTables(const QByteArray &jpeg)
{
    QByteArray tables;
    for (int at = jpeg.indexOf("\xFF\xDB"); at > 0; at = jpeg.indexOf("\xFF\xDB", at + 2))
        tables += jpeg.mid(at, 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3])));
    return tables;
}

const QString fallback = QStringLiteral("19J 500000 6000000");
const TestPhotos::Tags carried{{"Exif.Image.Make", "Cartaluz Test"},
                               {"Iptc.Application2.Caption", "Quebrada"},
                               {"Xmp.dc.subject", "ladera"}};

} // namespace

class TestBatch : public QObject
{
    Q_OBJECT

private slots:
    void exifMode();
    void textMode();
    void names_data();
    void names();
    void unwritablePhotoIsLeftIntact();
};

void TestBatch::exifMode()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("IMG_0001.jpg");
    QVERIFY(TestPhotos::writeImage(path, 320, 240));
    QVERIFY(TestPhotos::setTags(path, carried + TestPhotos::gpsTags("33/1 26/1 1608/100", "S",
                                                                    "70/1 39/1 180/100", "W",
                                                                    "12345/100")));
    const QByteArray original = bytes(path);
    const QString name = "%1_19H 346575 6298959.jpg"; // the prefix is kept as typed
    const QString written = dir.filePath(name);

    const QStringList expected{
        "\nProcesando: IMG_0001.jpg",
        "Backup creado: IMG_0001_backup.jpg",
        "Intentando leer EXIF desde (nativo): " + path,
        "Fecha de captura no encontrada en metadata para IMG_0001.jpg. Usando fecha/hora actual.",
        "Lat: -33.4378, Lon: -70.6505, Orientación: 123.45",
        "Renombrado: IMG_0001.jpg a " + name,
        "Dibujando rosa con orientación 123.45",
        "Intentando escribir EXIF a (nativo): " + written,
        "Metadatos restaurados para " + name};
    QCOMPARE(runBatch(dir.path(), {true, {}, true, "%1_", true}).value("IMG_0001.jpg"), expected);
    QCOMPARE(bytes(dir.filePath("Backup/IMG_0001_backup.jpg")), original);
    for (const auto &[key, value] : carried)
        QCOMPARE(TestPhotos::tag(written, key), value);

    // Re-encoded at quality 90: the same tables as a quality-90 encode of any picture.
    QBuffer reference;
    QVERIFY(reference.open(QIODevice::WriteOnly));
    QImageWriter writer(&reference, "jpeg");
    writer.setQuality(90);
    QVERIFY(writer.write(QImage(8, 8, QImage::Format_RGB32)));
    QCOMPARE(quantTables(bytes(written)), quantTables(reference.data()));
}

void TestBatch::textMode()
{
    QTemporaryDir dir;
    for (const char *name : {"listed.jpg", "unlisted.jpg"})
        QVERIFY(TestPhotos::writeImage(dir.filePath(name)));
    QFile junk(dir.filePath("junk.jpg"));
    QVERIFY(junk.open(QIODevice::WriteOnly) && junk.write("not a picture") == 13);
    junk.close();
    QTemporaryDir elsewhere;
    QFile table(elsewhere.filePath("coords.txt"));
    QVERIFY(table.open(QIODevice::WriteOnly));
    table.write("nombre,zona,letra,easting,northing,orientacion\r\nlisted.jpg,19,H,1,2,0\r\n"
                "listed.jpg,19,H,346574.735,6298958.906,45\r\njunk.jpg,19,H,1,2\r\n");
    table.close();
    const QByteArray unlisted = bytes(dir.filePath("unlisted.jpg"));

    const auto log = runBatch(dir.path(), {false, table.fileName(), false, {}, false});
    const QString listed = dir.filePath("listed.jpg");
    const QString read = "Intentando leer EXIF desde (nativo): ";
    const QString noDate =
        "Fecha de captura no encontrada en metadata para %1. Usando fecha/hora actual.";
    QCOMPARE(log.value("listed.jpg"),
             QStringList({"\nProcesando: listed.jpg", read + listed, noDate.arg("listed.jpg"),
                          "Usando datos TXT: Zona 19H, Easting: 346575, Northing: 6.29896e+06, "
                          "Orientación: 45",
                          "Dibujando rosa con orientación 45",
                          "Intentando escribir EXIF a (nativo): " + listed,
                          "Metadatos restaurados para listed.jpg",
                          "Intentando escribir UTM EXIF en (nativo): " + listed,
                          "No hay metadata EXIF para escribir en " + listed + ". Se creará.",
                          "Datos UTM escritos en EXIF para listed.jpg"}));
    QCOMPARE(log.value("unlisted.jpg"),
             QStringList({"\nProcesando: unlisted.jpg", read + dir.filePath("unlisted.jpg"),
                          noDate.arg("unlisted.jpg"),
                          "Coordenadas UTM no encontradas en archivo TXT para unlisted.jpg"}));
    QCOMPARE(log.value("junk.jpg").last(), "Error al abrir la imagen " + dir.filePath("junk.jpg"));
    QCOMPARE(bytes(dir.filePath("unlisted.jpg")), unlisted);
    QCOMPARE(TestPhotos::tag(listed, "Exif.GPSInfo.GPSLatitudeRef"), "S");
}

void TestBatch::names_data()
{
    QTest::addColumn<QStringList>("photos"); // made as PNG, TIFF or JPEG after their suffix
    QTest::addColumn<bool>("rename");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QStringList>("files");   // in the folder afterwards
    QTest::addColumn<QStringList>("backups"); // in its Backup folder

    QTest::addRow("backup names over three runs")
        << QStringList{"a.b.jpg"} << false << 3 << QStringList{"a.b.jpg"}
        << QStringList{"a_backup(1).jpg", "a_backup(2).jpg", "a_backup.jpg"};
    QTest::addRow("renamed photos become numbered JPEGs")
        << QStringList{"a.jpg", "b.png", "c.tiff"} << true << 1
        << QStringList{fallback + " (1).jpg", fallback + " (2).jpg", fallback + ".jpg"}
        << QStringList{"a_backup.jpg", "b_backup.png", "c_backup.tiff"};
    QTest::addRow("a kept PNG is stored uncompressed")
        << QStringList{"p.png"} << false << 1 << QStringList{"p.png"}
        << QStringList{"p_backup.png"};
}

void TestBatch::names()
{
    QFETCH(QStringList, photos);
    QFETCH(bool, rename);
    QFETCH(int, runs);
    QTemporaryDir dir;
    for (const QString &name : photos)
        QVERIFY(TestPhotos::writeImage(dir.filePath(name), 200, 150) &&
                TestPhotos::setTags(dir.filePath(name), carried));

    for (int i = 0; i < runs; ++i)
        runBatch(dir.path(), {true, {}, rename, {}, true});
    QTEST(QDir(dir.path()).entryList(QDir::Files), "files");
    QTEST(QDir(dir.filePath("Backup")).entryList(QDir::Files), "backups");
    for (const QString &name : QDir(dir.path()).entryList(QDir::Files)) {
        const QByteArray written = bytes(dir.filePath(name));
        // The format follows the name: a PNG or TIFF renamed to .jpg is a real JPEG.
        if (name.endsWith(".jpg"))
            QVERIFY2(written.startsWith("\xFF\xD8\xFF"), qPrintable(name));
        else // compression 0 leaves the pixels' bytes uncompressed
            QVERIFY2(written.size() > 200 * 150 * 3, qPrintable(name));
        QCOMPARE(TestPhotos::tag(dir.filePath(name), "Iptc.Application2.Caption"), "Quebrada");
    }
}

void TestBatch::unwritablePhotoIsLeftIntact()
{
    if (geteuid() != 0)
        QSKIP("chattr +i needs root");
    QTemporaryDir dir;
    const QString path = dir.filePath("photo.jpg");
    QVERIFY(TestPhotos::writeImage(path));
    const QByteArray original = bytes(path);
    TestPhotos::ImmutableFile guard(path);
    if (!guard.isSet())
        QSKIP("chattr +i does not work here");

    const QStringList log = runBatch(dir.path(), Job()).value("photo.jpg");
    QVERIFY2(log.last().startsWith("Error guardando la imagen: "), qPrintable(log.join('\n')));
    QCOMPARE(bytes(path), original);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"photo.jpg"});
}

QTEST_MAIN(TestBatch)
#include "tst_batch.moc"
