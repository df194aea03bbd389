// An extra integration check on copies of real camera photos: the GPS reader agrees with the
// photos' manifest, and a whole batch run carries every decodable photo through.
#include "photometadata.h"
#include "photoprocessor.h"
#include "testphotos.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class TestRealPhotos : public QObject
{
    Q_OBJECT

private slots:
    void gpsAndBatch();
};

void TestRealPhotos::gpsAndBatch()
{
    const QString shared = TestPhotos::sharedPhotosDir();
    if (shared.isEmpty())
        QSKIP("the shared camera photos are not present");
    QFile manifest(shared + "/manifest.tsv");
    QVERIFY(manifest.open(QIODevice::ReadOnly | QIODevice::Text));
    int checked = 0;
    while (!manifest.atEnd()) {
        const QStringList row = QString::fromUtf8(manifest.readLine()).split('\t');
        if (row.size() < 19 || !row[18].contains("gps_source=EXIF") || row[9].isEmpty())
            continue;
        double latitude = 0, longitude = 0, direction = 0;
        QVERIFY2(readGpsData(shared + '/' + row[0], latitude, longitude, direction),
                 qPrintable(row[0]));
        QVERIFY2(qAbs(latitude - row[9].toDouble()) < 1e-6 &&
                     qAbs(longitude - row[10].toDouble()) < 1e-6,
                 qPrintable(row[0]));
        ++checked;
    }
    QVERIFY(checked > 0);

    QTemporaryDir dir;
    int decodable = 0;
    for (const QString &name :
         QDir(shared).entryList({"*.jpg", "*.JPG", "*.tiff", "*.png"}, QDir::Files)) {
        QVERIFY(QFile::copy(shared + '/' + name, dir.filePath(name)));
        decodable += !QImage(dir.filePath(name)).isNull();
    }
    QStringList log;
    PhotoProcessor::processPhotos(dir.path(), {}, {}, 0.03, true, {}, Qt::white, 0.1,
                                  "arriba-izquierda", "abajo-derecha", "abajo-derecha", 0.18, true,
                                  false, {}, false, true, true, false, "abajo-izquierda", true,
                                  [&log](const QString &line) { log << line; });
    QCOMPARE(log.filter("Metadatos restaurados para ").size(), decodable);
}

QTEST_MAIN(TestRealPhotos)
#include "tst_realphotos.moc"
