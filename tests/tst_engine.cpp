// The batch engine called directly: a failure part-way through a run with one or several workers,
// and worker counts it must not take at their word.
#include "batchengine.h"
#include "testphotos.h"

#include <QtGui>
#include <QtTest>

#include <atomic>
#include <stdexcept>

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void failureEndsTheRun_data()
    {
        QTest::addColumn<int>("workers");
        QTest::addRow("one worker") << 1;
        QTest::addRow("three workers") << 3;
        // Out of range: taken at their word they stall the run or ask for threads by the billion.
        QTest::addRow("zero workers") << 0;
        QTest::addRow("negative workers") << -4;
        QTest::addRow("absurd workers") << 1500000000;
    }

    // The third photo's position lookup throws: the caller gets the exception, the photos before
    // it are finished and logged, and no later photo is backed up, renamed or written.
    void failureEndsTheRun()
    {
        QFETCH(int, workers);
        QTemporaryDir dir;
        QStringList names; // photos without a GPS position, so each asks the lookup
        for (int i = 0; i < 8; ++i) {
            names << QStringLiteral("p%1.jpg").arg(i);
            QVERIFY(TestPhotos::writeImage(dir.filePath(names.last())));
        }
        const QByteArray made = TestPhotos::readFile(dir.filePath(names.first())); // all alike
        BatchJob job;
        job.directory = dir.path();
        job.workers = workers;
        QStringList started;
        job.log = [&started](Severity, const QString &line) {
            if (line.startsWith("\nProcesando: "))
                started << line.mid(13);
        };
        std::atomic<int> asked{0};
        job.trackLookup = [&asked](const TrackQuery &) -> TrackPosition {
            if (++asked == 3)
                throw std::runtime_error("track roto");
            return {};
        };
        QString caught;
        try {
            runBatch(job);
        } catch (const std::runtime_error &error) {
            caught = error.what();
        }
        QCOMPARE(caught, QStringLiteral("track roto"));
        QCOMPARE(asked.load(), 3);
        QCOMPARE(started.size(), 3);
        // The failing photo was backed up before its lookup.
        QCOMPARE(QDir(dir.filePath("Backup")).entryList(QDir::Files).size(), 3);
        for (const QString &name : names) {
            const bool reached = started.contains(name);
            QCOMPARE(QFileInfo::exists(dir.filePath(name)), !reached || name == started.last());
            if (!reached)
                QCOMPARE(TestPhotos::readFile(dir.filePath(name)), made);
        }
        // The two finished photos were written under the fixed position's name.
        for (const char *name : {"19J 500000 6000000.jpg", "19J 500000 6000000 (1).jpg"}) {
            const QByteArray written = TestPhotos::readFile(dir.filePath(name));
            QVERIFY2(!written.isEmpty() && written != made, name);
        }
    }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
