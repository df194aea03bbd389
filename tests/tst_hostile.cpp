// The batch run against damaged, disguised and oversized files: it runs to the end, leaves every
// original and backup whole, and never leaves a half-written photo.
#include "photoprocessor.h"
#include "testphotos.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

using TestPhotos::readFile;
using TestPhotos::writeFile;

namespace {

QStringList runBatch(const QString &directory, bool makeBackup)
{
    QStringList log;
    PhotoProcessor::processPhotos(directory, QString(), QString(), 0.03, true, QString(),
                                  QColor(Qt::white), 0.0, QStringLiteral("arriba-izquierda"),
                                  QStringLiteral("abajo-derecha"), QStringLiteral("abajo-derecha"),
                                  0.18, false, false, QString(), false, true, true, false,
                                  QStringLiteral("arriba-derecha"), makeBackup,
                                  [&log](const QString &line) { log.append(line); });
    return log;
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void hostileFileDoesNotStopTheRun_data();
    void hostileFileDoesNotStopTheRun();
    void bigPhotoIsProcessedAtFullSize();
    void fullDiskDuringMetadataLeavesPhotoWhole();
};

void TestHostile::hostileFileDoesNotStopTheRun_data()
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

void TestHostile::hostileFileDoesNotStopTheRun()
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

    const QStringList log = runBatch(dir.path(), true);

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
    QCOMPARE(log.mid(log.indexOf(expected.first()), expected.size()), expected);
    // The good photo goes all the way, whether it came before the hostile file or after it.
    const qsizetype goodEnd = log.indexOf("Metadatos restaurados para good.jpg");
    QVERIFY2(goodEnd > log.indexOf("\nProcesando: good.jpg"), qPrintable(log.join('\n')));
    QCOMPARE(TestPhotos::tag(good, "Exif.Photo.DateTimeOriginal"), "2023:07:14 10:20:30");
    QCOMPARE(readFile(hostile), bytes);
    QCOMPARE(readFile(dir.filePath("Backup/" + base + "_backup." + QFileInfo(hostile).suffix())),
             bytes);
    QCOMPARE(readFile(dir.filePath("Backup/good_backup.jpg")), goodBytes);
}

void TestHostile::bigPhotoIsProcessedAtFullSize()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("big.jpg");
    // 45 MP, the sensor of a current full-frame camera; one colour keeps it quick to code.
    QVERIFY(TestPhotos::writeImage(path, 8192, 5464));
    QVERIFY(TestPhotos::setTags(path, {{"Exif.Image.Make", "Cartaluz"}}));

    const QStringList log = runBatch(dir.path(), false);

    QCOMPARE(log.constLast(), "Metadatos restaurados para big.jpg");
    QCOMPARE(QImageReader(path).size(), QSize(8192, 5464));
    QCOMPARE(TestPhotos::tag(path, "Exif.Image.Make"), "Cartaluz");
}

void TestHostile::fullDiskDuringMetadataLeavesPhotoWhole()
{
    if (geteuid() != 0)
        QSKIP("mounting a tmpfs needs root");
    QTemporaryDir tmp;
    const QString dir = tmp.path();
    if (QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=1m", "tmpfs", dir}) != 0)
        QSKIP("cannot mount a tmpfs here");
    const auto unmount = qScopeGuard([&] { QProcess::execute("umount", {dir}); });

    // About 120 KB of metadata on a picture that encodes to 1 KB: the disk has room for the
    // picture alone, not for the picture with its metadata.
    const QString path = dir + "/photo.jpg";
    const QString comment(60000, 'c');
    QVERIFY(TestPhotos::writeImage(path));
    QVERIFY(TestPhotos::setTags(
        path, {{"Exif.Photo.UserComment", comment}, {"Xmp.dc.description", comment}}));
    const QByteArray original = readFile(path);
    QFile filler(dir + "/filler.bin");
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(4096, 'x')) == 4096) {
    }
    QVERIFY(filler.resize(filler.size() - 40 * 1024));
    // Held open, the replaced original keeps its blocks, as a viewer showing it would.
    QFile holder(path);
    QVERIFY(holder.open(QIODevice::ReadOnly));

    const QStringList log = runBatch(dir, false);

    // Written once, with its metadata, or not at all: here not at all, and the old photo stays.
    QVERIFY2(log.constLast().startsWith("Error guardando la imagen: "), qPrintable(log.join('\n')));
    QVERIFY(!log.contains("Metadatos restaurados para photo.jpg"));
    QCOMPARE(readFile(path), original);
    QVERIFY(!QImage(path).isNull());
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
