// An extra integration check on copies of real camera photos, hostile files among them: a whole
// batch run carries every decodable photo through and leaves the others alone.
#include "photoprocessor.h"
#include "testphotos.h"

#include <QtTest>

class TestRealPhotos : public QObject
{
    Q_OBJECT

private slots:
    void batch()
    {
        const QString shared = TestPhotos::sharedPhotosDir();
        if (shared.isEmpty())
            QSKIP("the shared camera photos are not present");
        QTemporaryDir dir;
        int decodable = 0;
        for (const QString &name : QDir(shared).entryList({"*.jpg", "*.jpeg", "*.png", "*.tiff"})) {
            QVERIFY(QFile::copy(shared + '/' + name, dir.filePath(name)));
            decodable += !QImage(dir.filePath(name)).isNull();
        }
        QStringList log;
        PhotoProcessor::processPhotos(dir.path(), {}, {}, 0.03, true, {}, Qt::white, 0.1,
                                      "arriba-izquierda", "abajo-derecha", "abajo-derecha", 0.18,
                                      true, false, {}, false, true, true, false, "abajo-izquierda",
                                      true, [&log](const QString &line) { log << line; });
        QVERIFY(decodable > 0);
        QCOMPARE(log.filter("Metadatos restaurados para ").size(), decodable);
    }
};

QTEST_MAIN(TestRealPhotos)
#include "tst_realphotos.moc"
