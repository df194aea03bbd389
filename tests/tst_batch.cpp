// The batch run end to end on folders of generated photos, checked through its log and files.
#include "photoprocessor.h"
#include "testphotos.h"
#include "utm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <unistd.h>

namespace {

struct Job
{
    bool useExif = true;
    QString txtPath;
    bool renameToUtm = false;
    bool addPrefix = false;
    QString prefix = QStringLiteral("XXX_XXX_SA_");
    bool includeSubdirectories = false;
    bool embedTxtInExif = false;
    bool makeBackup = false;
};

QStringList runBatch(const QString &directory, const Job &job = Job())
{
    QStringList log;
    PhotoProcessor::processPhotos(
        directory, QString(), QString(), 0.03, job.useExif, job.txtPath,
        QColor(QStringLiteral("#FFFFFF")), 0.0, QStringLiteral("arriba-izquierda"),
        QStringLiteral("abajo-derecha"), QStringLiteral("abajo-derecha"), 0.18, job.renameToUtm,
        job.addPrefix, job.prefix, job.includeSubdirectories, true, true, job.embedTxtInExif,
        QStringLiteral("arriba-derecha"), job.makeBackup,
        [&log](const QString &line) { log.append(line); });
    return log;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList filesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files);
    names.sort();
    return names;
}

const QString fallbackName = QStringLiteral("19J 500000 6000000");

} // namespace

class TestBatch : public QObject
{
    Q_OBJECT

private slots:
    void backupNames_data();
    void backupNames();
    void renameCollisionsStayInsideOneFolder();
    void prefix_data();
    void prefix();
    void fullLogInExifMode();
    void fullLogInTextMode();
    void textModeSkipsUnlistedAndUnloadablePhotos();
    void tiffRenamedToJpgBecomesJpegWithItsMetadata();
    void unsavablePhotoIsLeftIntact_data();
    void unsavablePhotoIsLeftIntact();
};

void TestBatch::backupNames_data()
{
    QTest::addColumn<QStringList>("photos");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QStringList>("expected");
    QTest::addRow("three runs over one photo")
        << QStringList{"IMG_0001.jpg"} << 3
        << QStringList{"IMG_0001_backup(1).jpg", "IMG_0001_backup(2).jpg", "IMG_0001_backup.jpg"};
    QTest::addRow("base name up to the first dot")
        << QStringList{"holiday.2024.jpg", "holiday.2025.jpg"} << 1
        << QStringList{"holiday_backup(1).jpg", "holiday_backup.jpg"};
    QTest::addRow("suffix keeps its case")
        << QStringList{"IMG.JPG"} << 1 << QStringList{"IMG_backup.JPG"};
    QTest::addRow("percent sign in the name stays")
        << QStringList{"a%1b.jpg"} << 2 << QStringList{"a%1b_backup(1).jpg", "a%1b_backup.jpg"};
}

void TestBatch::backupNames()
{
    QFETCH(QStringList, photos);
    QFETCH(int, runs);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    for (const QString &name : photos)
        QVERIFY(TestPhotos::writeImage(dir.filePath(name)));
    const QByteArray original = contents(dir.filePath(photos.first()));

    Job job;
    job.makeBackup = true;
    QStringList log;
    for (int i = 0; i < runs; ++i)
        log += runBatch(dir.path(), job);

    QCOMPARE(filesIn(dir.filePath("Backup")), expected);
    for (const QString &name : expected)
        QVERIFY2(log.contains("Backup creado: " + name), qPrintable(name));
    if (photos.size() == 1)
        QCOMPARE(contents(dir.filePath("Backup/" + expected.last())), original);
}

void TestBatch::renameCollisionsStayInsideOneFolder()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    for (const QString &name : QStringList{"a.jpg", "b.jpg", "c.png", "sub/d.jpg"})
        QVERIFY(TestPhotos::writeImage(dir.filePath(name)));
    Job job;
    job.renameToUtm = true;
    job.includeSubdirectories = true;

    const QStringList log = runBatch(dir.path(), job);
    QCOMPARE(filesIn(dir.path()), QStringList({fallbackName + " (1).jpg", fallbackName + " (2).jpg",
                                               fallbackName + ".jpg"}));
    QCOMPARE(filesIn(dir.filePath("sub")), QStringList{fallbackName + ".jpg"});
    QVERIFY(log.contains("Renombrado: d.jpg a " + fallbackName + ".jpg"));
    QVERIFY(log.contains("Datos GPS no encontrados en EXIF para c.png. Usando coords fijas."));
}

void TestBatch::prefix_data()
{
    QTest::addColumn<bool>("addPrefix");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("taken");    // a folder or dangling link already there, or empty
    QTest::addColumn<QString>("expected"); // the photo's name after the run
    QTest::addRow("empty prefix") << true << ""
                                  << "" << fallbackName + ".jpg";
    QTest::addRow("placeholder prefix on a taken name") << true << "%1"
                                                        << "folder:%1" + fallbackName + ".jpg"
                                                        << "%1" + fallbackName + " (1).jpg";
    QTest::addRow("dangling link takes the name")
        << false << ""
        << "link:" + fallbackName + ".jpg" << fallbackName + " (1).jpg";
    QTest::addRow("separator in the prefix") << true << "nodir/"
                                             << ""
                                             << "a.jpg";
}

void TestBatch::prefix()
{
    QFETCH(bool, addPrefix);
    QFETCH(QString, prefix);
    QFETCH(QString, taken);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(TestPhotos::writeImage(dir.filePath("a.jpg")));
    // Neither a folder nor a link is listed as a photo, so only the name test meets them.
    const QString takenPath = dir.filePath(taken.section(':', 1));
    if (taken.startsWith("folder:"))
        QVERIFY(QDir().mkdir(takenPath));
    else if (taken.startsWith("link:"))
        QVERIFY(QFile::link(dir.filePath("nowhere.jpg"), takenPath));
    Job job;
    job.renameToUtm = true;
    job.addPrefix = addPrefix;
    job.prefix = prefix;

    const QStringList log = runBatch(dir.path(), job);
    QVERIFY(QFileInfo::exists(dir.filePath(expected)));
    QVERIFY(log.contains(expected == "a.jpg" ? "Error renombrando a.jpg"
                                             : "Renombrado: a.jpg a " + expected));
    QCOMPARE(log.last(), "Metadatos restaurados para " + expected);
    QVERIFY(!QFileInfo::exists(dir.filePath("nowhere.jpg")));
}

void TestBatch::fullLogInExifMode()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("IMG_0001.jpg");
    QVERIFY(TestPhotos::writeImage(path));
    TestPhotos::Tags tags =
        TestPhotos::gpsTags("33/1 26/1 1608/100", "S", "70/1 39/1 180/100", "W", "12345/100");
    tags += TestPhotos::Tags{{"Exif.Photo.DateTimeOriginal", "2023:07:14 16:05:09"},
                             {"Exif.Image.Make", "Cartaluz Test"}};
    QVERIFY(TestPhotos::setTags(path, tags));
    const QByteArray original = contents(path);
    Job job;
    job.makeBackup = true;
    job.renameToUtm = true;
    job.addPrefix = true;
    job.embedTxtInExif = true; // only text-file positions are written into EXIF

    const double latitude = -(33 + 26 / 60.0 + 16.08 / 3600);
    const double longitude = -(70 + 39 / 60.0 + 1.8 / 3600);
    const UtmPosition utm = latLonToUtm(latitude, longitude);
    const QString newName = QString("XXX_XXX_SA_%1%2 %3 %4.jpg")
                                .arg(utm.zoneNumber)
                                .arg(QLatin1Char(utm.zoneLetter))
                                .arg(utm.easting, 0, 'f', 0)
                                .arg(utm.northing, 0, 'f', 0);
    const QString newPath = dir.filePath(newName);
    const QStringList expected{
        "\nProcesando: IMG_0001.jpg",
        "Backup creado: IMG_0001_backup.jpg",
        "Intentando leer EXIF desde (nativo): " + QFileInfo(path).absoluteFilePath(),
        "Lat: " + QString::number(latitude, 'g', 6) +
            ", Lon: " + QString::number(longitude, 'g', 6) + ", Orientación: 123.45",
        "Renombrado: IMG_0001.jpg a " + newName,
        "Dibujando rosa con orientación 123.45",
        "Intentando escribir EXIF a (nativo): " + QFileInfo(newPath).absoluteFilePath(),
        "Metadatos restaurados para " + newName,
    };
    QCOMPARE(runBatch(dir.path(), job), expected);

    QCOMPARE(contents(dir.filePath("Backup/IMG_0001_backup.jpg")), original);
    // Quality 90 with the standard tables: the first luminance quantiser is 3.
    const QByteArray written = contents(newPath);
    const int dqt = written.indexOf(QByteArray("\xFF\xDB", 2));
    QVERIFY(dqt > 0 && dqt + 5 < written.size());
    QCOMPARE(static_cast<unsigned char>(written.at(dqt + 5)), 3);
    QCOMPARE(TestPhotos::tag(newPath, "Exif.Image.Make"), QStringLiteral("Cartaluz Test"));
    QCOMPARE(TestPhotos::tag(newPath, "Exif.GPSInfo.GPSImgDirection"), QStringLiteral("12345/100"));
}

void TestBatch::fullLogInTextMode()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("campo 1.jpg");
    QVERIFY(TestPhotos::writeImage(path));
    QVERIFY(TestPhotos::setTags(path, {{"Exif.Image.Make", "Cartaluz Test"}}));
    const QString table = dir.filePath("fotos.txt");
    QFile file(table);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion\n"
               "campo 1.jpg,19,H,346574.735,6298958.906,0\n");
    file.close();
    Job job;
    job.useExif = false;
    job.txtPath = table;
    job.embedTxtInExif = true;

    const QString native = QFileInfo(path).absoluteFilePath();
    const QStringList expected{
        "\nProcesando: campo 1.jpg",
        "Intentando leer EXIF desde (nativo): " + native,
        "Fecha de captura no encontrada en metadata para campo 1.jpg. Usando fecha/hora actual.",
        "Usando datos TXT: Zona 19H, Easting: 346575, Northing: 6.29896e+06, Orientación: 0",
        "Dibujando rosa con orientación 0",
        "Intentando escribir EXIF a (nativo): " + native,
        "Metadatos restaurados para campo 1.jpg",
        "Intentando escribir UTM EXIF en (nativo): " + native,
        "Datos UTM escritos en EXIF para campo 1.jpg",
    };
    QCOMPARE(runBatch(dir.path(), job), expected);

    QCOMPARE(TestPhotos::tag(path, "Exif.Image.Make"), QStringLiteral("Cartaluz Test"));
    QCOMPARE(TestPhotos::tag(path, "Exif.GPSInfo.GPSLatitudeRef"), QStringLiteral("S"));
    QCOMPARE(TestPhotos::tag(path, "Exif.GPSInfo.GPSImgDirection"), QStringLiteral("0/100"));
}

void TestBatch::textModeSkipsUnlistedAndUnloadablePhotos()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(QDir(root).mkpath(QStringLiteral("Backup")));
    QVERIFY(TestPhotos::writeImage(root + QStringLiteral("/listed.jpg")));
    QVERIFY(TestPhotos::writeImage(root + QStringLiteral("/unlisted.jpg")));
    QVERIFY(TestPhotos::writeImage(root + QStringLiteral("/Backup/old.jpg")));
    QFile junk(root + QStringLiteral("/junk.jpg"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    junk.write("not a picture");
    junk.close();
    const QByteArray unlistedBytes = contents(root + QStringLiteral("/unlisted.jpg"));
    const QString txt = root + QStringLiteral("/coords.txt");
    QFile table(txt);
    QVERIFY(table.open(QIODevice::WriteOnly));
    table.write("listed.jpg,19,H,346575,6298959\njunk.jpg,19,H,346575,6298959\n");
    table.close();

    Job job;
    job.useExif = false;
    job.txtPath = txt;
    job.includeSubdirectories = true;
    job.makeBackup = true;
    const QStringList log = runBatch(root, job);

    // The old Backup folder is walked like any other; backups made now are not processed.
    QCOMPARE(log.filter(QStringLiteral("Procesando: ")).size(), 4);
    QCOMPARE(log.filter(QStringLiteral("_backup")).filter(QStringLiteral("Procesando")).size(), 0);

    // Unlisted: backup, metadata and date lines, then the skip line ends its turn.
    const QString unlisted = root + QStringLiteral("/unlisted.jpg");
    const int start = log.indexOf(QStringLiteral("\nProcesando: unlisted.jpg"));
    QVERIFY(start >= 0);
    QCOMPARE(log.mid(start + 1, 4),
             QStringList({QStringLiteral("Backup creado: unlisted_backup.jpg"),
                          QStringLiteral("Intentando leer EXIF desde (nativo): ") + unlisted,
                          QStringLiteral("Fecha de captura no encontrada en metadata para "
                                         "unlisted.jpg. Usando fecha/hora actual."),
                          QStringLiteral("Coordenadas UTM no encontradas en archivo TXT para "
                                         "unlisted.jpg")}));
    QVERIFY(start + 5 == log.size() || log.at(start + 5).startsWith(QLatin1String("\nProcesando")));
    QCOMPARE(contents(unlisted), unlistedBytes);

    // A file that is no picture is skipped at loading and keeps its bytes.
    QVERIFY(log.contains(QStringLiteral("Error al abrir la imagen ") + root +
                         QStringLiteral("/junk.jpg")));
    QCOMPARE(contents(root + QStringLiteral("/junk.jpg")), QByteArray("not a picture"));
}

void TestBatch::tiffRenamedToJpgBecomesJpegWithItsMetadata()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scan.tiff");
    QVERIFY(TestPhotos::writeImage(path));
    const TestPhotos::Tags tags{{"Exif.Image.Artist", "Ana Campos"},
                                {"Exif.Photo.DateTimeOriginal", "2021:01:02 03:04:05"},
                                {"Iptc.Application2.Caption", "Quebrada"},
                                {"Xmp.dc.subject", "ladera"}};
    QString error;
    QVERIFY2(TestPhotos::setTags(path, tags, &error), qPrintable(error));
    Job job;
    job.renameToUtm = true;

    const QStringList log = runBatch(dir.path(), job);
    const QString jpg = dir.filePath(fallbackName + ".jpg");
    QCOMPARE(log.last(), "Metadatos restaurados para " + fallbackName + ".jpg");
    QVERIFY(contents(jpg).startsWith("\xFF\xD8\xFF"));
    for (const auto &[key, value] : tags)
        QCOMPARE(TestPhotos::tag(jpg, key), value);
}

void TestBatch::unsavablePhotoIsLeftIntact_data()
{
    QTest::addColumn<bool>("fullDisk");
    QTest::addRow("read-only photo") << false;
    QTest::addRow("full disk") << true;
}

void TestBatch::unsavablePhotoIsLeftIntact()
{
    QFETCH(bool, fullDisk);
    if (geteuid() != 0)
        QSKIP("chattr +i and mounting a tmpfs need root");
    QTemporaryDir tmp;
    const QString dir = tmp.filePath("photos");
    QVERIFY(QDir().mkdir(dir));
    const bool mounted =
        fullDisk && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", dir}) == 0;
    if (fullDisk && !mounted)
        QSKIP("cannot mount a tmpfs here");
    const auto unmount = qScopeGuard([&] {
        if (mounted)
            QProcess::execute("umount", {dir});
    });

    // Noise at a low quality: the photo is small, its re-encoding at quality 90 much larger.
    QImage noise(320, 240, QImage::Format_RGB32);
    for (int i = 0; i < noise.width() * noise.height(); ++i)
        noise.setPixel(i % noise.width(), i / noise.width(), (i * 2654435761u) >> 8);
    const QString path = dir + "/photo.jpg";
    QVERIFY(noise.save(path, "JPEG", 40));
    const QByteArray original = contents(path);
    std::optional<TestPhotos::ImmutableFile> guard;
    if (fullDisk) {
        QFile filler(dir + "/filler.bin");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'x')) == 4096) {
        }
    } else if (!guard.emplace(path).isSet()) {
        QSKIP("chattr +i does not work here");
    }
    const QStringList before = filesIn(dir);

    const QStringList log = runBatch(dir);
    QVERIFY2(log.indexOf(QRegularExpression("^Error guardando la imagen: .+")) > 0,
             qPrintable(log.join('\n')));
    QCOMPARE(log.filter("Metadatos restaurados").size(), 0);
    QCOMPARE(contents(path), original);
    QCOMPARE(filesIn(dir), before);
}

QTEST_MAIN(TestBatch)
#include "tst_batch.moc"
