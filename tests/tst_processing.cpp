// Painting onto a photo (where the logo, the two text lines and the compass rose land), and the
// batch run end to end on folders of made photos, checked through its log and its files: damaged,
// disguised and oversized files among them, and photos that cannot be written back.
#include "annotationfont.h"
#include "photoannotation.h"
#include "photoprocessor.h"
#include "testphotos.h"

#include <QtGui>
#include <QtTest>

#include <optional>

#include <unistd.h>

using TestPhotos::readFile;
using TestPhotos::writeFile;

namespace {

QMap<QString, QStringList> runBatch(const QString &dir, bool useExif, const QString &txtPath,
                                    bool rename, const QString &prefix, bool backup)
{
    QMap<QString, QStringList> log;
    QString current;
    PhotoProcessor::processPhotos(dir, QString(), QString(), 0.03, useExif, txtPath, Qt::white, 0.0,
                                  "arriba-izquierda", "abajo-derecha", "abajo-derecha", 0.18,
                                  rename, !prefix.isEmpty(), prefix, false, true, true, true,
                                  "arriba-derecha", backup, [&](const QString &line) {
                                      if (line.startsWith("\nProcesando: "))
                                          current = line.mid(13);
                                      log[current] << line;
                                  });
    return log;
}

// Every quantization table segment of a JPEG, in order.
QByteArray quantTables(const QByteArray &jpeg)
{
    QByteArray tables;
    for (int at = jpeg.indexOf("\xFF\xDB"); at > 0; at = jpeg.indexOf("\xFF\xDB", at + 2))
        tables += jpeg.mid(at, 2 + (uchar(jpeg[at + 2]) << 8 | uchar(jpeg[at + 3])));
    return tables;
}

const TestPhotos::Tags carried{{"Exif.Image.Make", "Cartaluz Test"},
                               {"Iptc.Application2.Caption", "Quebrada"},
                               {"Xmp.dc.subject", "ladera"}};

// The bounding box of the non-black pixels of an 800 × 600 black photo after painting on it.
QRect paintedBox(const AnnotationStyle &style, const QImage &logo, QImage &photo,
                 const QTime &time = QTime(9, 5, 3))
{
    photo = QImage(800, 600, QImage::Format_RGB32);
    photo.fill(Qt::black);
    paintAnnotations(photo, logo, style, QDateTime(QDate(2023, 7, 4), time), "19H 346575 6298959",
                     90, true, [](const QString &) {});
    QRect box;
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); ++x)
            if ((photo.pixel(x, y) & 0xffffff) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestProcessing : public QObject
{
    Q_OBJECT

private slots:
    void placement_data();
    void placement();
    void dateLineText();
    void roseDrawing_data();
    void roseDrawing();
    void exifMode();
    void textMode();
    void names_data();
    void names();
    void hostileFileDoesNotStopTheRun_data();
    void hostileFileDoesNotStopTheRun();
    void bigPhotoIsProcessedAtFullSize();
    void unwritablePhotoIsLeftIntact_data();
    void unwritablePhotoIsLeftIntact();
    void sampleFile();
};

void TestProcessing::placement_data()
{
    // Each row is named by what is painted ("text", "logo" or "rose") and the corners asked for.
    QTest::addColumn<QRect>("expected");

    // 800 × 600 at the ratio 0.03 gives 18 points; lines 5 pixels apart. At 0.2 a 2:1 logo is
    // 160 × 80; at 0.25 the rose is 150. Everything stays 10 pixels from the edges.
    QFont font = annotationFont(QCoreApplication::applicationDirPath() + "/notosans.ttf");
    font.setPointSize(18);
    const QFontMetrics m(font);
    // d and c: the ink of the date and of the coordinates on a baseline at (0, 0).
    const QRect d = m.tightBoundingRect("04/07/2023 09:05:03");
    const QRect c = m.tightBoundingRect("19H 346575 6298959");
    const int h = m.height(), right = 790 - m.horizontalAdvance("04/07/2023 09:05:03"),
              rightC = 790 - m.horizontalAdvance("19H 346575 6298959");
    QTest::newRow("text abajo-derecha abajo-derecha")
        << (d.translated(right, 590) | c.translated(rightC, 585 - h));
    QTest::newRow("text arriba-izquierda arriba-izquierda")
        << (d.translated(10, h + 10) | c.translated(10, 2 * h + 15));
    QTest::newRow("text arriba-derecha abajo-izquierda")
        << (d.translated(right, h + 10) | c.translated(10, 590));
    QTest::newRow("logo arriba-izquierda") << QRect(10, 10, 160, 80);
    QTest::newRow("logo arriba-derecha") << QRect(630, 10, 160, 80);
    QTest::newRow("logo abajo-izquierda") << QRect(10, 510, 160, 80);
    QTest::newRow("logo abajo-derecha") << QRect(630, 510, 160, 80);
    QTest::newRow("logo centro") << QRect(10, 10, 160, 80);
    QTest::newRow("rose arriba-derecha") << QRect(640, 10, 150, 150);
    QTest::newRow("rose arriba") << QRect(640, 440, 150, 150);
}

void TestProcessing::placement()
{
    const QString what = QTest::currentDataTag();
    QFETCH(QRect, expected);
    const QString kind = what.section(' ', 0, 0);
    QImage logo(100, 50, QImage::Format_RGB32);
    logo.fill(Qt::blue);
    AnnotationStyle style;
    style.fontPath = QCoreApplication::applicationDirPath() + "/notosans.ttf";
    style.logoRatio = 0.2;
    style.roseRatio = 0.25;
    style.logoPosition = style.rosePosition = style.dateTimePosition =
        cornerFromName(what.section(' ', 1, 1));
    style.coordinatesPosition = cornerFromName(what.section(' ', -1));
    style.drawRose = kind == "rose";
    style.drawText = kind == "text";
    QImage image;
    const QRect box = paintedBox(style, kind == "logo" ? logo : QImage(), image);
    // Rounding and antialiasing may move text and rose a pixel, but both text lines alike.
    const int off = (box.topLeft() - expected.topLeft()).manhattanLength() +
                    (box.bottomRight() - expected.bottomRight()).manhattanLength();
    QVERIFY2(off <= (kind == "logo" ? 0 : 3) &&
                 (kind != "text" || box.height() == expected.height()),
             QTest::toString(box));
    if (kind == "rose") { // heading 90 puts the needle east of the centre
        QCOMPARE(image.pixel(expected.center() + QPoint(40, 0)), qRgb(255, 0, 0));
        QVERIFY(image.pixel(expected.center() - QPoint(40, 0)) != qRgb(255, 0, 0));
    }
}

void TestProcessing::exifMode()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("IMG_0001.jpg");
    QVERIFY(TestPhotos::writeImage(path, 320, 240));
    QVERIFY(TestPhotos::setTags(path, carried + TestPhotos::gpsTags("33/1 26/1 1608/100", "S",
                                                                    "70/1 39/1 180/100", "W",
                                                                    "12345/100")));
    const QByteArray original = readFile(path);
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
    QCOMPARE(runBatch(dir.path(), true, {}, true, "%1_", true).value("IMG_0001.jpg"), expected);
    QCOMPARE(readFile(dir.filePath("Backup/IMG_0001_backup.jpg")), original);
    for (const auto &[key, value] : carried)
        QCOMPARE(TestPhotos::tag(written, key), value);
}

void TestProcessing::textMode()
{
    QTemporaryDir dir;
    for (const char *name : {"listed.jpg", "unlisted.jpg"})
        QVERIFY(TestPhotos::writeImage(dir.filePath(name)));
    QVERIFY(writeFile(dir.filePath("junk.jpg"), "not a picture"));
    QTemporaryDir elsewhere;
    const QString table = elsewhere.filePath("coords.txt");
    QVERIFY(writeFile(table,
                      "nombre,zona,letra,easting,northing,orientacion\r\nlisted.jpg,19,H,1,2,0\r\n"
                      "listed.jpg,19,H,346574.735,6298958.906,45\r\njunk.jpg,19,H,1,2\r\n"));
    const QByteArray unlisted = readFile(dir.filePath("unlisted.jpg"));

    const auto log = runBatch(dir.path(), false, table, false, {}, false);
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
    QCOMPARE(readFile(dir.filePath("unlisted.jpg")), unlisted);
    QStringList gps;
    for (const char *key : {"LatitudeRef", "Latitude", "LongitudeRef", "Longitude", "ImgDirection",
                            "ImgDirectionRef"})
        gps << TestPhotos::tag(listed, QString("Exif.GPSInfo.GPS") + key);
    QCOMPARE(gps, QString("S|33/1 26/1 16080/1000|W|70/1 39/1 1800/1000|4500/100|T").split('|'));
}

void TestProcessing::names_data()
{
    QTest::addColumn<QString>("photos"); // made as PNG, TIFF or JPEG after their suffix
    QTest::addColumn<bool>("rename");
    QTest::addColumn<int>("runs");
    QTest::addColumn<QString>("files");   // in the folder afterwards
    QTest::addColumn<QString>("backups"); // in its Backup folder

    QTest::addRow("backup names over three runs") << "a.b.jpg" << false << 3 << "a.b.jpg"
                                                  << "a_backup(1).jpg|a_backup(2).jpg|a_backup.jpg";
    QTest::addRow("renamed photos become numbered JPEGs")
        << "a.jpg|b.png|c.tiff" << true << 1
        << "19J 500000 6000000 (1).jpg|19J 500000 6000000 (2).jpg|19J 500000 6000000.jpg"
        << "a_backup.jpg|b_backup.png|c_backup.tiff";
    QTest::addRow("a kept PNG") << "p.png" << false << 1 << "p.png"
                                << "p_backup.png";
}

void TestProcessing::names()
{
    QFETCH(QString, photos);
    QFETCH(bool, rename);
    QFETCH(int, runs);
    QFETCH(QString, files);
    QFETCH(QString, backups);
    QTemporaryDir dir;
    for (const QString &name : photos.split('|'))
        QVERIFY(TestPhotos::writeImage(dir.filePath(name), 200, 150) &&
                TestPhotos::setTags(dir.filePath(name), carried));

    for (int i = 0; i < runs; ++i)
        runBatch(dir.path(), true, {}, rename, {}, true);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), files.split('|'));
    QCOMPARE(QDir(dir.filePath("Backup")).entryList(QDir::Files), backups.split('|'));
    // The format follows the name: a PNG or TIFF renamed to .jpg is a JPEG encoded at quality 90,
    // with the tables of any quality-90 encode; a PNG is stored at compression 0, uncompressed.
    QBuffer reference;
    QVERIFY(QImage(8, 8, QImage::Format_RGB32).save(&reference, "JPEG", 90));
    for (const QString &name : files.split('|')) {
        const QByteArray written = readFile(dir.filePath(name));
        if (name.endsWith(".jpg"))
            QCOMPARE(quantTables(written), quantTables(reference.data()));
        else
            QVERIFY2(written.size() > 200 * 150 * 3, qPrintable(name));
        for (const auto &[key, value] : carried)
            QCOMPARE(TestPhotos::tag(dir.filePath(name), key), value);
    }
}

void TestProcessing::hostileFileDoesNotStopTheRun_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("libraryError"); // the library's text; empty: no error line

    // A damaged QuickTime clip on which the library's video parser corrupts its heap.
    const QByteArray clip =
        QByteArray::fromHex("000000186674797071742020000000007174202000000000000000156d646864ffff"
                            "1200000000ff7e00b4ff000000002f75726c2000ff00ff81bbff00ffdcff00af0055"
                            "00000000ffffff0027ffffff880041ff7200ffaeff06d100")
            .leftJustified(128, '\0');
    QTest::addRow("QuickTime clip named .jpg") << "clip.jpg" << clip << QString();
    const QByteArray webp = QByteArray::fromHex(
        "524946461c000000574542505650384c0f0000002f014000000710fd8ffe0722a2ff0100");
    QTest::addRow("WebP named .png") << "webp.png" << webp << QString();
    QTest::addRow("PDF named .png")
        << "doc.png" << QByteArray("%PDF-1.4\n%\xE2\xE3\n1 0 obj\n") << "Failed to read input data";
    QTest::addRow("empty file") << "empty.jpg" << QByteArray() << "Failed to read input data";
    const QByteArray exifStart = QByteArray("\xFF\xD8\xFF\xE1\x7F\xF0", 6) + "Exif" +
                                 QByteArray(2, '\0') + "II*" + QByteArray(1, '\0');
    QTest::addRow("JPEG cut inside its EXIF")
        << "cut.jpg" << exifStart << "Failed to read image data";
    const QByteArray huge = QByteArray::fromHex(
        "89504e470d0a1a0a0000000d49484452000186a0000186a0080200000027309c9f0000000b49444154789c"
        "63604005000010000139bd8f650000000049454e44ae426082");
    QTest::addRow("PNG declaring 10 gigapixels") << "huge.png" << huge << QString();
}

void TestProcessing::hostileFileDoesNotStopTheRun()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, libraryError);
    QTemporaryDir dir;
    const QString hostile = dir.filePath(name);
    const QString good = dir.filePath("good.jpg");
    QVERIFY(writeFile(hostile, bytes) && TestPhotos::writeImage(good));
    QVERIFY(TestPhotos::setTags(good, {{"Exif.Photo.DateTimeOriginal", "2023:07:14 10:20:30"}}));
    const QByteArray goodBytes = readFile(good);

    const auto log = runBatch(dir.path(), true, {}, false, {}, true);

    const QString base = QFileInfo(hostile).completeBaseName();
    QStringList expected{"\nProcesando: " + name,
                         "Backup creado: " + base + "_backup." + QFileInfo(hostile).suffix(),
                         "Intentando leer EXIF desde (nativo): " + hostile};
    if (!libraryError.isEmpty())
        expected << "Error leyendo metadata original para " + name + ": " + libraryError;
    expected << "Fecha de captura no encontrada en metadata para " + name +
                    ". Usando fecha/hora actual."
             << "Datos GPS no encontrados en EXIF para " + name + ". Usando coords fijas."
             << "Error al abrir la imagen " + hostile;
    QCOMPARE(log.value(name), expected);
    // The good photo goes all the way, whether it came before the hostile file or after it.
    QCOMPARE(log.value("good.jpg").constLast(), "Metadatos restaurados para good.jpg");
    QCOMPARE(TestPhotos::tag(good, "Exif.Photo.DateTimeOriginal"), "2023:07:14 10:20:30");
    QCOMPARE(readFile(hostile), bytes);
    QCOMPARE(readFile(dir.filePath("Backup/" + base + "_backup." + QFileInfo(hostile).suffix())),
             bytes);
    QCOMPARE(readFile(dir.filePath("Backup/good_backup.jpg")), goodBytes);
}

void TestProcessing::bigPhotoIsProcessedAtFullSize()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("big.jpg");
    // 45 MP, the sensor of a current full-frame camera; one colour keeps it quick to code.
    QVERIFY(TestPhotos::writeImage(path, 8192, 5464));
    QVERIFY(TestPhotos::setTags(path, {{"Exif.Image.Make", "Cartaluz"}}));

    const QStringList log = runBatch(dir.path(), true, {}, false, {}, false).value("big.jpg");
    QCOMPARE(log.constLast(), "Metadatos restaurados para big.jpg");
    QCOMPARE(QImageReader(path).size(), QSize(8192, 5464));
    QCOMPARE(TestPhotos::tag(path, "Exif.Image.Make"), "Cartaluz");
}

void TestProcessing::unwritablePhotoIsLeftIntact_data()
{
    QTest::addColumn<bool>("fullDisk");
    QTest::addRow("immutable file") << false;
    // The disk has room for the picture alone (1 KB), not for it with its 120 KB of metadata.
    QTest::addRow("disk full during the metadata step") << true;
}

void TestProcessing::unwritablePhotoIsLeftIntact()
{
    QFETCH(bool, fullDisk);
    QTemporaryDir tmp;
    const QString dir = tmp.path(), path = dir + "/photo.jpg";
    if (fullDisk && (geteuid() != 0 || QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m",
                                                                   "tmpfs", dir}) != 0))
        QSKIP("mounting a tmpfs needs root");
    const auto unmount = qScopeGuard([&] {
        if (fullDisk)
            QProcess::execute("umount", {dir});
    });
    const QString comment(60000, 'c');
    QVERIFY(TestPhotos::writeImage(path) &&
            TestPhotos::setTags(
                path, {{"Exif.Photo.UserComment", comment}, {"Xmp.dc.description", comment}}));
    const QByteArray original = readFile(path);
    std::optional<TestPhotos::ImmutableFile> guard;
    QFile filler(dir + "/filler.bin"), holder(path);
    if (fullDisk) {
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(4096, 'x')) == 4096) {
        }
        QVERIFY(filler.resize(filler.size() - 40 * 1024));
        // Held open, the replaced original keeps its blocks, as a viewer showing it would.
        QVERIFY(holder.open(QIODevice::ReadOnly));
    } else if (!guard.emplace(path).isSet()) {
        QSKIP("chattr +i does not work here (it needs root)");
    }

    const QStringList log = runBatch(dir, true, {}, false, {}, false).value("photo.jpg");
    // Written once, with its metadata, or not at all: here not at all, and the old photo stays.
    QVERIFY2(log.last().startsWith("Error guardando la imagen: "), qPrintable(log.join('\n')));
    QVERIFY(!log.contains("Metadatos restaurados para photo.jpg"));
    QCOMPARE(readFile(path), original);
    QCOMPARE(QDir(dir).entryList(QDir::Files).join(' '),
             fullDisk ? "filler.bin photo.jpg" : "photo.jpg");
}

void TestProcessing::sampleFile()
{
    QTemporaryDir dir;
    const QString b = dir.filePath("B.jpg"), out = dir.filePath("ejemplo.txt");
    QVERIFY(TestPhotos::writeImage(b) && TestPhotos::writeImage(dir.filePath("a.png")) &&
            TestPhotos::setTags(b, TestPhotos::gpsTags("33/1 26/1 1608/100", "S",
                                                       "70/1 39/1 180/100", "W", "1234/10")));
    QStringList log;
    PhotoProcessor::createSampleCoordinateFile(dir.path(), out, false, true,
                                               [&log](const QString &line) { log << line; });
    // Sorted by name ignoring case; whole numbers; the placeholder row for a photo without GPS.
    QCOMPARE(readFile(out),
             "nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion\na.png,19,"
             "J,500000,6000000,0\nB.jpg,19,H,346574,6298958,123\n");
    QCOMPARE(log.join('|'), "Datos GPS no encontrados en EXIF para a.png. Usando coordenadas y "
                            "orientación fijas|Archivo de ejemplo creado en: " +
                                out);
}

// The date line is the capture date as "dd/MM/yyyy HH:mm:ss": the painted pixels equal that
// text drawn by hand in the same font at the bottom-left anchor.
void TestProcessing::dateLineText()
{
    AnnotationStyle style;
    style.fontPath = QCoreApplication::applicationDirPath() + "/notosans.ttf";
    style.drawRose = false;
    style.dateTimePosition = Corner::BottomLeft;
    style.coordinatesPosition = Corner::TopRight;
    QImage painted;
    paintedBox(style, QImage(), painted, QTime(21, 5, 3));

    QImage expected(800, 600, QImage::Format_RGB32);
    expected.fill(Qt::black);
    QPainter painter(&expected);
    painter.setRenderHint(QPainter::Antialiasing);
    QFont font = annotationFont(style.fontPath);
    font.setPointSize(18);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(10, 590, "04/07/2023 21:05:03");
    painter.end();
    const QRect bottomLeft(0, 500, 400, 100);
    QCOMPARE(painted.copy(bottomLeft), expected.copy(bottomLeft));
}

void TestProcessing::roseDrawing_data()
{
    QTest::addColumn<double>("heading");
    QTest::addRow("north") << 0.0;
    QTest::addRow("east") << 90.0;
    QTest::addRow("south-west") << 225.0;
}

// A translucent grey disc inside a white ring on a transparent square; the red needle points along
// the heading, clockwise from north, and nothing red lies the other way.
void TestProcessing::roseDrawing()
{
    QFETCH(double, heading);
    const int size = 200;
    const QImage rose = PhotoProcessor::createCompassRose(
        heading, size, 0.18, QCoreApplication::applicationDirPath() + "/notosans.ttf");
    QCOMPARE(rose.size(), QSize(size, size));
    const QPointF centre(100, 100);
    const double angle = qDegreesToRadians(heading);
    const auto at = [&](double distance, double turn) {
        const QPointF p = centre + distance * QPointF(qSin(angle + turn), -qCos(angle + turn));
        return rose.pixel(p.toPoint());
    };
    QCOMPARE(rose.pixel(1, 1), qRgba(0, 0, 0, 0));
    QCOMPARE(at(60, 0), qRgb(255, 0, 0));
    QCOMPARE(at(30, M_PI), qRgba(211, 211, 211, 128));
    QCOMPARE(at(30, M_PI / 2), qRgba(211, 211, 211, 128));
    QCOMPARE(rose.pixel(100, 1), qRgb(255, 255, 255)); // the ring, above the N
    QCOMPARE(rose.pixel(198, 100), qRgb(255, 255, 255));
}

QTEST_MAIN(TestProcessing)
#include "tst_processing.moc"
