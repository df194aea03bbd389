// The batch engine called directly: a failure part-way through a run with one or several workers,
// and worker counts it must not take at their word.
#include "batchengine.h"
#include "testphotos.h"

#include <QtGui>
#include <QtTest>

#include <atomic>
#include <stdexcept>

namespace {

QByteArray bytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Photos without a GPS position, so each asks the track lookup.
QMap<QString, QByteArray> makePhotos(const QString &dir, int count)
{
    QMap<QString, QByteArray> made;
    for (int i = 0; i < count; ++i) {
        const QString path = dir + QStringLiteral("/p%1.jpg").arg(i);
        TestPhotos::writeImage(path, 64, 48);
        made.insert(QFileInfo(path).fileName(), bytes(path));
    }
    return made;
}

} // namespace

class TestEngine : public QObject
{
    Q_OBJECT

private slots:
    void failureEndsTheRun_data()
    {
        QTest::addColumn<int>("workers");
        QTest::addRow("one worker") << 1;
        QTest::addRow("three workers") << 3;
    }

    // The third photo's position lookup throws: the caller gets the exception, the photos before
    // it are finished and logged, and no later photo is backed up, renamed or written.
    void failureEndsTheRun()
    {
        QFETCH(int, workers);
        QTemporaryDir dir;
        const auto made = makePhotos(dir.path(), 8);
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
        const QStringList backups = QDir(dir.filePath("Backup")).entryList(QDir::Files);
        QCOMPARE(backups.size(), 3); // the failing photo was backed up before its lookup
        for (auto it = made.cbegin(); it != made.cend(); ++it) {
            const bool reached = started.contains(it.key());
            QCOMPARE(QFileInfo::exists(dir.filePath(it.key())),
                     !reached || it.key() == started.last());
            if (!reached)
                QCOMPARE(bytes(dir.filePath(it.key())), it.value());
        }
        // The two finished photos share the fixed position's name.
        QVERIFY(QFileInfo::exists(dir.filePath("19J 500000 6000000.jpg")));
        QVERIFY(QFileInfo::exists(dir.filePath("19J 500000 6000000 (1).jpg")));
    }

    void workerCountsAreBounded_data()
    {
        QTest::addColumn<int>("workers");
        QTest::addRow("zero") << 0;
        QTest::addRow("negative") << -4;
        QTest::addRow("absurd") << 1500000000;
    }

    void workerCountsAreBounded()
    {
        QFETCH(int, workers);
        QTemporaryDir dir;
        makePhotos(dir.path(), 3);
        BatchJob job;
        job.directory = dir.path();
        job.workers = workers;
        job.log = [](Severity, const QString &) {
        };
        const QVector<PhotoOutcome> outcomes = runBatch(job);
        QCOMPARE(outcomes.size(), 3);
        for (const PhotoOutcome &outcome : outcomes)
            QVERIFY(outcome.processed && !outcome.loggedError);
    }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
