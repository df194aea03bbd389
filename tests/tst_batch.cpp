// The batch run end to end on folders of generated photos, checked through its log and files.
#include "photoprocessor.h"
#include "testphotos.h"
#include "utm.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

// The options a test varies; the rest stay at the window's defaults.
struct Job
{
    Job(const QString &directory)
        : directory(directory)
    {
    }

    QString directory;
    QString logoPath;
    bool useExif = true;
    QString txtPath;
    bool renameToUtm = false;
    bool addPrefix = false;
    QString prefix = QStringLiteral("XXX_XXX_SA_");
    bool includeSubdirectories = false;
    bool embedTxtInExif = false;
    bool makeBackup = false;
};

QStringList runBatch(const Job &job)
{
    QStringList log;
    PhotoProcessor::processPhotos(
        job.directory, job.logoPath, QString(), 0.03, job.useExif, job.txtPath,
        QColor(QStringLiteral("#FFFFFF")), job.logoPath.isEmpty() ? 0.0 : 0.2,
        QStringLiteral("arriba-izquierda"), QStringLiteral("abajo-derecha"),
        QStringLiteral("abajo-derecha"), 0.18, job.renameToUtm, job.addPrefix, job.prefix,
        job.includeSubdirectories, true, true, job.embedTxtInExif, QStringLiteral("arriba-derecha"),
        job.makeBackup, [&log](const QString &line) { log.append(line); });
    return log;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QStringList processedNames(const QStringList &log)
{
    const QString marker = QStringLiteral("\nProcesando: ");
    QStringList names;
    for (const QString &line : log)
        if (line.startsWith(marker))
            names.append(line.mid(marker.size()));
    names.sort();
    return names;
}

// The lines of one photo's turn, from its "Procesando" line up to the next photo's.
QStringList blockOf(const QStringList &log, const QString &fileName)
{
    const int start = log.indexOf(QStringLiteral("\nProcesando: ") + fileName);
    if (start < 0)
        return {};
    int end = start + 1;
    while (end < log.size() && !log.at(end).startsWith(QLatin1Char('\n')))
        ++end;
    return log.mid(start, end - start);
}

QStringList filesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files);
    names.sort();
    return names;
}

QString utmName(double latitude, double longitude)
{
    const UtmPosition utm = latLonToUtm(latitude, longitude);
    return QString::number(utm.zoneNumber) + QLatin1Char(utm.zoneLetter) + QLatin1Char(' ') +
           QString::number(utm.easting, 'f', 0) + QLatin1Char(' ') +
           QString::number(utm.northing, 'f', 0);
}

// The first luminance quantisation value: 3 for the standard tables at quality 90.
int firstQuantisationValue(const QByteArray &jpeg)
{
    const int dqt = jpeg.indexOf(QByteArray("\xFF\xDB", 2));
    return dqt < 0 || dqt + 5 >= jpeg.size() ? -1 : static_cast<unsigned char>(jpeg.at(dqt + 5));
}

const QString fallbackName = QStringLiteral("19J 500000 6000000");

} // namespace

class TestBatch : public QObject
{
    Q_OBJECT

private slots:
    void photosAreListedByExtensionInAnyCase();
    void subfoldersAreWalkedOnlyWhenAsked_data();
    void subfoldersAreWalkedOnlyWhenAsked();
    void filesMadeDuringTheRunAreNotPickedUp();
    void emptyFolderLogsOnlyTheLogoFailure();
    void backupNames_data();
    void backupNames();
    void failedBackupIsLoggedAndThePhotoGoesOn();
    void renameCollisionsStayInsideOneFolder();
    void secondRunMovesRenamedPhotoToCounterOne();
    void prefix_data();
    void prefix();
    void fullLogInExifMode();
    void fullLogInTextMode();
    void photoMissingFromTheTableKeepsBackupAndIsSkipped();
    void unloadablePhotoIsSkippedUnchanged();
    void pngKeepsItsNameAndIsWrittenUncompressed();
    void tiffRenamedToJpgBecomesJpegWithItsMetadata();
    void unwritablePhotoIsLeftIntact();
    void fullDiskLeavesThePhotoIntact();
};

void TestBatch::photosAreListedByExtensionInAnyCase()
{
    QTemporaryDir dir;
    const QStringList photos{"a.jpg", "b.JPG", "c.Png", "d.jpeg", "e.TIFF", "f.JpEg"};
    for (const QString &name : photos)
        QVERIFY(TestPhotos::writeImage(dir.filePath(name), 64, 48, Qt::gray, "PNG"));
    for (const QString &name : QStringList{"g.tif", "h.heic", "i.jpg.txt"})
        QVERIFY(TestPhotos::writeImage(dir.filePath(name), 64, 48, Qt::gray, "PNG"));
    QVERIFY(QFile::link(dir.filePath("a.jpg"), dir.filePath("link.jpg")));

    QCOMPARE(processedNames(runBatch({dir.path()})), photos);
}

void TestBatch::subfoldersAreWalkedOnlyWhenAsked_data()
{
    QTest::addColumn<bool>("includeSubdirectories");
    QTest::addColumn<QStringList>("expected");
    QTest::addRow("top folder only") << false << QStringList{"top.jpg"};
    QTest::addRow("with subfolders, an old Backup folder included")
        << true << QStringList{"deep.jpg", "inner.jpg", "top.jpg", "top_backup.jpg"};
}

void TestBatch::subfoldersAreWalkedOnlyWhenAsked()
{
    QFETCH(bool, includeSubdirectories);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("sub/deeper") && QDir(dir.path()).mkpath("Backup"));
    for (const QString &name :
         QStringList{"top.jpg", "sub/inner.jpg", "sub/deeper/deep.jpg", "Backup/top_backup.jpg"})
        QVERIFY(TestPhotos::writeImage(dir.filePath(name)));

    Job job{dir.path()};
    job.includeSubdirectories = includeSubdirectories;
    QCOMPARE(processedNames(runBatch(job)), expected);
}

void TestBatch::filesMadeDuringTheRunAreNotPickedUp()
{
    QTemporaryDir dir;
    QVERIFY(TestPhotos::writeImage(dir.filePath("one.jpg")));
    QVERIFY(TestPhotos::writeImage(dir.filePath("two.jpg")));
    Job job{dir.path()};
    job.makeBackup = true;
    job.renameToUtm = true;
    job.includeSubdirectories = true;

    QCOMPARE(processedNames(runBatch(job)), QStringList({"one.jpg", "two.jpg"}));
    QCOMPARE(filesIn(dir.filePath("Backup")), QStringList({"one_backup.jpg", "two_backup.jpg"}));
    QCOMPARE(filesIn(dir.path()), QStringList({fallbackName + " (1).jpg", fallbackName + ".jpg"}));
}

void TestBatch::emptyFolderLogsOnlyTheLogoFailure()
{
    QTemporaryDir dir;
    Job job{dir.path()};
    QCOMPARE(runBatch(job), QStringList());
    job.logoPath = dir.filePath("missing-logo.png");
    QCOMPARE(runBatch(job), QStringList{"Error al abrir el logo."});
}

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

    Job job{dir.path()};
    job.makeBackup = true;
    QStringList log;
    for (int i = 0; i < runs; ++i)
        log += runBatch(job);

    QCOMPARE(filesIn(dir.filePath("Backup")), expected);
    for (const QString &name : expected)
        QVERIFY2(log.contains("Backup creado: " + name), qPrintable(name));
    if (photos.size() == 1)
        QCOMPARE(contents(dir.filePath("Backup/" + expected.last())), original);
}

void TestBatch::failedBackupIsLoggedAndThePhotoGoesOn()
{
    QTemporaryDir dir;
    QVERIFY(TestPhotos::writeImage(dir.filePath("a.jpg")));
    QVERIFY(writeFile(dir.filePath("Backup"), "a file where the folder should be"));
    Job job{dir.path()};
    job.makeBackup = true;

    const QStringList log = runBatch(job);
    QCOMPARE(log.value(1), QStringLiteral("Error creando backup de a.jpg"));
    QCOMPARE(log.last(), QStringLiteral("Metadatos restaurados para a.jpg"));
}

void TestBatch::renameCollisionsStayInsideOneFolder()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    for (const QString &name : QStringList{"a.jpg", "b.jpg", "c.png", "sub/d.jpg"})
        QVERIFY(TestPhotos::writeImage(dir.filePath(name)));
    Job job{dir.path()};
    job.renameToUtm = true;
    job.includeSubdirectories = true;

    const QStringList log = runBatch(job);
    QCOMPARE(filesIn(dir.path()), QStringList({fallbackName + " (1).jpg", fallbackName + " (2).jpg",
                                               fallbackName + ".jpg"}));
    QCOMPARE(filesIn(dir.filePath("sub")), QStringList{fallbackName + ".jpg"});
    QVERIFY(log.contains("Renombrado: d.jpg a " + fallbackName + ".jpg"));
    QVERIFY(log.contains("Datos GPS no encontrados en EXIF para c.png. Usando coords fijas."));
}

void TestBatch::secondRunMovesRenamedPhotoToCounterOne()
{
    QTemporaryDir dir;
    QVERIFY(TestPhotos::writeImage(dir.filePath("a.jpg")));
    Job job{dir.path()};
    job.renameToUtm = true;
    QVERIFY(runBatch(job).contains("Renombrado: a.jpg a " + fallbackName + ".jpg"));
    QVERIFY(runBatch(job).contains("Renombrado: " + fallbackName + ".jpg a " + fallbackName +
                                   " (1).jpg"));
    QCOMPARE(filesIn(dir.path()), QStringList{fallbackName + " (1).jpg"});
}

void TestBatch::prefix_data()
{
    QTest::addColumn<bool>("addPrefix");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("taken");    // a folder or dangling link already there, or empty
    QTest::addColumn<QString>("expected"); // the photo's name after the run
    QTest::addRow("prefix off") << false << "P_"
                                << "" << fallbackName + ".jpg";
    QTest::addRow("empty prefix") << true << ""
                                  << "" << fallbackName + ".jpg";
    QTest::addRow("default prefix") << true << "XXX_XXX_SA_"
                                    << ""
                                    << "XXX_XXX_SA_" + fallbackName + ".jpg";
    QTest::addRow("placeholders in the prefix stay") << true << "A%1_%2B9_"
                                                     << ""
                                                     << "A%1_%2B9_" + fallbackName + ".jpg";
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
    Job job{dir.path()};
    job.renameToUtm = true;
    job.addPrefix = addPrefix;
    job.prefix = prefix;

    const QStringList log = runBatch(job);
    QVERIFY(QFileInfo::exists(dir.filePath(expected)));
    if (expected == "a.jpg")
        QVERIFY(log.contains("Error renombrando a.jpg"));
    else
        QVERIFY(log.contains("Renombrado: a.jpg a " + expected));
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
    Job job{dir.path()};
    job.makeBackup = true;
    job.renameToUtm = true;
    job.addPrefix = true;
    job.embedTxtInExif = true; // only text-file positions are written into EXIF

    const double latitude = -(33 + 26 / 60.0 + 16.08 / 3600);
    const double longitude = -(70 + 39 / 60.0 + 1.8 / 3600);
    const QString newName = "XXX_XXX_SA_" + utmName(latitude, longitude) + ".jpg";
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
    QCOMPARE(runBatch(job), expected);

    QCOMPARE(contents(dir.filePath("Backup/IMG_0001_backup.jpg")), original);
    QCOMPARE(firstQuantisationValue(contents(newPath)), 3);
    QCOMPARE(TestPhotos::tag(newPath, "Exif.Image.Make"), QStringLiteral("Cartaluz Test"));
    QCOMPARE(TestPhotos::tag(newPath, "Exif.GPSInfo.GPSImgDirection"), QStringLiteral("12345/100"));
}

void TestBatch::fullLogInTextMode()
{
    QTemporaryDir dir;
    QTemporaryDir tableDir;
    const QString path = dir.filePath("campo 1.jpg");
    QVERIFY(TestPhotos::writeImage(path));
    QVERIFY(TestPhotos::setTags(path, {{"Exif.Image.Make", "Cartaluz Test"}}));
    const QString table = tableDir.filePath("fotos.txt");
    QVERIFY(writeFile(table, "nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion\n"
                             "campo 1.jpg,19,H,346574.735,6298958.906,0\n"));
    Job job{dir.path()};
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
    QCOMPARE(runBatch(job), expected);

    QCOMPARE(TestPhotos::tag(path, "Exif.Image.Make"), QStringLiteral("Cartaluz Test"));
    QCOMPARE(TestPhotos::tag(path, "Exif.GPSInfo.GPSLatitudeRef"), QStringLiteral("S"));
    QCOMPARE(TestPhotos::tag(path, "Exif.GPSInfo.GPSImgDirection"), QStringLiteral("0/100"));
}

void TestBatch::photoMissingFromTheTableKeepsBackupAndIsSkipped()
{
    QTemporaryDir dir;
    QTemporaryDir tableDir;
    QVERIFY(TestPhotos::writeImage(dir.filePath("listed.jpg")));
    QVERIFY(TestPhotos::writeImage(dir.filePath("missing.jpg")));
    const QByteArray original = contents(dir.filePath("missing.jpg"));
    const QString table = tableDir.filePath("fotos.txt");
    QVERIFY(writeFile(table, "listed.jpg,19,H,346574.735,6298958.906\n"));
    Job job{dir.path()};
    job.useExif = false;
    job.txtPath = table;
    job.makeBackup = true;
    job.renameToUtm = true;
    job.embedTxtInExif = true;

    const QStringList log = runBatch(job);
    const QStringList expected{
        "\nProcesando: missing.jpg",
        "Backup creado: missing_backup.jpg",
        "Intentando leer EXIF desde (nativo): " + dir.filePath("missing.jpg"),
        "Fecha de captura no encontrada en metadata para missing.jpg. Usando fecha/hora actual.",
        "Coordenadas UTM no encontradas en archivo TXT para missing.jpg",
    };
    QCOMPARE(blockOf(log, "missing.jpg"), expected);
    QCOMPARE(contents(dir.filePath("missing.jpg")), original);
    QVERIFY(log.contains("Usando datos TXT: Zona 19H, Easting: 346575, Northing: 6.29896e+06"));
    QVERIFY(QFileInfo::exists(dir.filePath("19H 346575 6298959.jpg")));

    job.txtPath = tableDir.filePath("absent.txt");
    const QStringList withoutTable = runBatch(job);
    QCOMPARE(withoutTable.first(), "Error al abrir el archivo TXT: " + job.txtPath);
    QCOMPARE(withoutTable.filter("Coordenadas UTM no encontradas").size(), 2);
}

void TestBatch::unloadablePhotoIsSkippedUnchanged()
{
    QTemporaryDir dir;
    const QByteArray text = "not a picture at all\n";
    QVERIFY(writeFile(dir.filePath("x.jpg"), text));

    const QString path = dir.filePath("x.jpg");
    QStringList log = runBatch({dir.path()});
    const QString metadataError = "Error leyendo metadata original para x.jpg: ";
    QVERIFY2(log.value(2).startsWith(metadataError) && log.value(2).size() > metadataError.size(),
             qPrintable(log.join('\n')));
    log[2] = metadataError;
    const QStringList expected{
        "\nProcesando: x.jpg",
        "Intentando leer EXIF desde (nativo): " + path,
        metadataError,
        "Fecha de captura no encontrada en metadata para x.jpg. Usando fecha/hora actual.",
        "Datos GPS no encontrados en EXIF para x.jpg. Usando coords fijas.",
        "Error al abrir la imagen " + path,
    };
    QCOMPARE(log, expected);
    QCOMPARE(contents(path), text);
    QCOMPARE(filesIn(dir.path()), QStringList{"x.jpg"});
}

void TestBatch::pngKeepsItsNameAndIsWrittenUncompressed()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("plan.PNG");
    QVERIFY(TestPhotos::writeImage(path, 64, 48, Qt::darkGreen, "PNG"));
    const qint64 compressedSize = QFileInfo(path).size();

    QCOMPARE(runBatch({dir.path()}).last(), QStringLiteral("Metadatos restaurados para plan.PNG"));
    const QByteArray written = contents(path);
    QVERIFY(written.startsWith("\x89PNG\r\n\x1a\n"));
    // Stored deflate blocks: the zlib header announces level 0, and the data is at least as
    // large as the raw pixels.
    const int idat = written.indexOf("IDAT");
    QVERIFY(idat > 0 && idat + 5 < written.size());
    QCOMPARE(static_cast<unsigned char>(written.at(idat + 5)) >> 6, 0);
    QVERIFY2(written.size() > 64 * 48 * 3 && written.size() > 10 * compressedSize,
             qPrintable(QString::number(written.size())));
}

void TestBatch::tiffRenamedToJpgBecomesJpegWithItsMetadata()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("scan.tiff");
    QVERIFY(TestPhotos::writeImage(path));
    QString error;
    QVERIFY2(TestPhotos::setTags(path,
                                 {{"Exif.Image.Artist", "Ana Campos"},
                                  {"Exif.Photo.DateTimeOriginal", "2021:01:02 03:04:05"},
                                  {"Iptc.Application2.Caption", "Quebrada"},
                                  {"Xmp.dc.subject", "ladera"}},
                                 &error),
             qPrintable(error));
    Job job{dir.path()};
    job.renameToUtm = true;

    const QStringList log = runBatch(job);
    const QString jpg = dir.filePath(fallbackName + ".jpg");
    QCOMPARE(log.last(), "Metadatos restaurados para " + fallbackName + ".jpg");
    QVERIFY(contents(jpg).startsWith("\xFF\xD8\xFF"));
    QCOMPARE(TestPhotos::tag(jpg, "Exif.Image.Artist"), QStringLiteral("Ana Campos"));
    QCOMPARE(TestPhotos::tag(jpg, "Exif.Photo.DateTimeOriginal"),
             QStringLiteral("2021:01:02 03:04:05"));
    QCOMPARE(TestPhotos::tag(jpg, "Iptc.Application2.Caption"), QStringLiteral("Quebrada"));
    QCOMPARE(TestPhotos::tag(jpg, "Xmp.dc.subject"), QStringLiteral("ladera"));
}

void TestBatch::unwritablePhotoIsLeftIntact()
{
    if (geteuid() != 0)
        QSKIP("chattr +i needs root");
    QTemporaryDir dir;
    QTemporaryDir tableDir;
    const QString path = dir.filePath("ro.jpg");
    QVERIFY(TestPhotos::writeImage(path));
    const QByteArray original = contents(path);
    const QString table = tableDir.filePath("fotos.txt");
    QVERIFY(writeFile(table, "ro.jpg,19,H,346574.735,6298958.906,45\n"));
    TestPhotos::ImmutableFile guard(path);
    if (!guard.isSet())
        QSKIP("chattr +i does not work here");
    Job job{dir.path()};
    job.useExif = false;
    job.txtPath = table;
    job.embedTxtInExif = true;

    const QStringList log = runBatch(job);
    const int saveError = log.indexOf(QRegularExpression("^Error guardando la imagen: .+"));
    QVERIFY2(saveError > 0, qPrintable(log.join('\n')));
    QCOMPARE(log.last(), QStringLiteral("Datos UTM escritos en EXIF para ro.jpg"));
    QCOMPARE(log.filter("Metadatos restaurados").size(), 0);
    QCOMPARE(contents(path), original);
    QCOMPARE(filesIn(dir.path()), QStringList{"ro.jpg"});
}

void TestBatch::fullDiskLeavesThePhotoIntact()
{
    if (geteuid() != 0)
        QSKIP("mounting a small tmpfs needs root");
    QTemporaryDir dir;
    const QString mountPoint = dir.filePath("disk");
    QVERIFY(QDir(dir.path()).mkdir("disk"));
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", mountPoint}) != 0)
        QSKIP("cannot mount a tmpfs here");
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {mountPoint}); });

    // Noise at a low quality: the photo is small, its re-encoding at quality 90 much larger.
    QImage noise(320, 240, QImage::Format_RGB32);
    for (int y = 0; y < noise.height(); ++y)
        for (int x = 0; x < noise.width(); ++x)
            noise.setPixel(x, y,
                           qRgb((x * 7919 + y * 104729) % 251, (x * y * 31) % 253,
                                (x * 131 + y * 17 * x) % 255));
    const QString path = mountPoint + "/full.jpg";
    QVERIFY(noise.save(path, "JPEG", 40));
    const QByteArray original = contents(path);
    QFile filler(mountPoint + "/filler.bin");
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size()) {
    }
    filler.close();

    const QStringList log = runBatch({mountPoint});
    QVERIFY2(log.indexOf(QRegularExpression("^Error guardando la imagen: .+")) > 0,
             qPrintable(log.join('\n')));
    QCOMPARE(log.filter("Metadatos restaurados").size(), 0);
    QCOMPARE(contents(path), original);
    QCOMPARE(filesIn(mountPoint), QStringList({"filler.bin", "full.jpg"}));
}

QTEST_MAIN(TestBatch)
#include "tst_batch.moc"
