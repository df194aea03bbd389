// An extra integration check on copies of real camera photos, hostile files among them: a whole
// batch run carries every decodable photo through and leaves the others alone.
#include "batchengine.h"
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

    // Written as JPEGs by a script's run: what the PNG's text chunks and the TIFF's misplaced
    // interoperability directory hold reaches the JPEG's EXIF.
    void formatTagsCarried()
    {
        const QString shared = TestPhotos::sharedPhotosDir();
        if (shared.isEmpty())
            QSKIP("the shared camera photos are not present");
        QTemporaryDir dir;
        for (const char *name : {"002.tiff", "png_with_exif_and_gps.png"})
            QVERIFY(QFile::copy(shared + '/' + name, dir.filePath(name)));
        BatchJob job;
        job.directory = dir.path();
        job.policy = RunPolicy::Script;
        job.lossless = true;
        job.log = [](Severity, const QString &) {
        };
        const QVector<PhotoOutcome> outcomes = runBatch(job);
        QCOMPARE(outcomes.size(), 2);
        const QString tiff = outcomes[0].finalPath, png = outcomes[1].finalPath;
        QVERIFY(tiff.endsWith(".jpg") && png.endsWith(".jpg"));
        QCOMPARE(TestPhotos::tag(tiff, "Exif.Iop.InteroperabilityIndex"), QString("THM"));
        QCOMPARE(TestPhotos::tag(tiff, "Exif.Image.0xa005"), QString());
        QCOMPARE(TestPhotos::tag(png, "Exif.Photo.DateTimeDigitized"),
                 QString("2003:12:14 12:01:44"));
        QCOMPARE(TestPhotos::tag(png, "Exif.Image.Make"), QString("Canon"));
    }

    // Each photo of the manifest, by its computed position (the notes give it where the stored
    // values need a tolerant reading) as the log prints it, or a stated reason for none.
    void scriptPositions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("position"); // empty: none
        QFile manifest(TestPhotos::sharedPhotosDir() + "/manifest.tsv");
        if (!manifest.open(QIODevice::ReadOnly))
            QTest::newRow("absent") << QString() << QString();
        const QRegularExpression noted("(?:intended value|gives) (-?[0-9.]+), (-?[0-9.]+)");
        for (manifest.readLine(); !manifest.atEnd();) {
            const QStringList fields = QString::fromUtf8(manifest.readLine()).split('\t');
            const auto note = noted.match(fields.value(18));
            const double latitude = (note.hasMatch() ? note.captured(1) : fields[9]).toDouble();
            const double longitude = (note.hasMatch() ? note.captured(2) : fields[10]).toDouble();
            const bool possible = qAbs(latitude) <= 90 && (latitude || longitude);
            QTest::newRow(qPrintable(fields[0])) << fields[0]
                                                 << (possible ? QString("Lat: %1, Lon: %2,")
                                                                    .arg(latitude, 0, 'g', 6)
                                                                    .arg(longitude, 0, 'g', 6)
                                                              : QString());
        }
    }

    void scriptPositions()
    {
        QFETCH(QString, name);
        QFETCH(QString, position);
        if (name.isEmpty())
            QSKIP("the shared camera photos are not present");
        static QString log;
        // Copies: a run takes its folder's lock even when it only says what it would do.
        QTemporaryDir dir;
        for (const QString &photo : QDir(TestPhotos::sharedPhotosDir()).entryList(QDir::Files))
            QVERIFY(log.size() ||
                    QFile::copy(TestPhotos::sharedPhotosDir() + '/' + photo, dir.filePath(photo)));
        QProcess run;
        if (log.isEmpty()) {
            run.start(CARTALUZ_LOTE, {"--simular", dir.path()});
            QVERIFY(run.waitForFinished(120000));
            log = QString::fromUtf8(run.readAllStandardOutput());
        }
        const QString block =
            log.section("Procesando: " + name + '\n', 1).section("Procesando: ", 0, 0);
        QVERIFY2(position.isEmpty()
                     ? !block.contains("\nLat: ") &&
                           QRegularExpression("Sin posición|Error").match(block).hasMatch()
                     : block.contains(position),
                 qPrintable(block));
    }
};

QTEST_MAIN(TestRealPhotos)
#include "tst_realphotos.moc"
