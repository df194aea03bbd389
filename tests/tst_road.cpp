// The rooms of a photo's road on their own: the plan decided from bytes held in memory, under
// names in a folder that does not exist, and the commits' steps as they reach the file
// operations.
#include "photocommit.h"
#include "photoplan.h"
#include "testphotos.h"

#include <QBuffer>
#include <QtTest>

using namespace photoroad;

namespace {

const QString folder = QStringLiteral("/sin/carpeta/fotos");
const QString utmName = QStringLiteral("19H 345713 6297592"); // 33.45 S, 70.66 W

// Files held in memory; every change is recorded, in order.
class MemoryFiles final : public FileOperations
{
public:
    QMap<QString, QByteArray> files;
    QStringList calls;
    bool refuseCopies = false;
    bool refuseWrites = false;

    bool isTaken(const QString &path) const override { return files.contains(path); }
    bool makeFolder(const QString &) override { return true; }
    bool copy(const QString &from, const QString &to) override
    {
        calls << "copy " + QFileInfo(to).fileName();
        if (refuseCopies || !files.contains(from) || files.contains(to))
            return false;
        files.insert(to, files.value(from));
        return true;
    }
    bool rename(const QString &from, const QString &to) override
    {
        calls << "rename " + QFileInfo(to).fileName();
        if (!files.contains(from) || files.contains(to))
            return false;
        files.insert(to, files.take(from));
        return true;
    }
    bool write(const QString &path, const QByteArray &bytes, QString &errorText) override
    {
        calls << "write " + QFileInfo(path).fileName();
        if (refuseWrites) {
            errorText = "disco lleno";
            return false;
        }
        files.insert(path, bytes);
        return true;
    }
    QString readablePath(const QString &path) const override { return path; }
    QByteArray read(const QString &path, QString &) const override { return files.value(path); }
    bool isLink(const QString &) const override { return false; }
    bool exists(const QString &path) const override { return files.contains(path); }
};

// A photo's bytes, made in a folder that is gone before any plan is made.
QByteArray madePhoto(const char *format, bool withGps)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.") + format);
    TestPhotos::Tags tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"}};
    if (withGps)
        tags += TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W", "45/1");
    if (!TestPhotos::writeImage(path, 64, 48) || !TestPhotos::setTags(path, tags))
        return {};
    return TestPhotos::readFile(path);
}

struct Planned
{
    Photo photo;
    QStringList lines;
    bool goesOn = false;
};

// The job as cartaluz-lote builds it, over one photo "a.<suffix>" holding bytes.
BatchJob scriptJob(QStringList &lines)
{
    BatchJob job;
    job.directory = folder;
    job.policy = RunPolicy::Script;
    job.lossless = true;
    job.metadataOnlyWrites = true;
    job.makeBackup = true;
    job.log = [&lines](Severity, const QString &line) {
        lines << line;
    };
    return job;
}

} // namespace

class TestRoad : public QObject
{
    Q_OBJECT

private slots:
    void plan_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("options"); // window, fixed, nothing-drawn, taken
        QTest::addColumn<int>("treatment");
        QTest::addColumn<QString>("finalName");
        QTest::addColumn<QString>("backup");
        QTest::addColumn<QString>("line");
        const QByteArray jpeg = madePhoto("jpg", true);
        const QByteArray lost = madePhoto("jpg", false);
        const int lossless = int(Treatment::Lossless), decode = int(Treatment::Decode);
        QTest::newRow("jpeg") << "a.jpg" << jpeg << "" << lossless << utmName + ".jpg"
                              << "a_backup.jpg"
                              << "Lat: -33.45";
        QTest::newRow("names taken")
            << "a.jpg" << jpeg << "taken" << lossless << utmName + " (1).jpg"
            << "a_backup(1).jpg"
            << "";
        QTest::newRow("nothing drawn")
            << "a.jpg" << jpeg << "nothing-drawn" << int(Treatment::KeepData) << utmName + ".jpg"
            << "a_backup.jpg"
            << "Nada que dibujar en " + utmName + ".jpg";
        QTest::newRow("png renamed to .jpg")
            << "a.png" << madePhoto("png", true) << "" << decode << utmName + ".jpg"
            << "a_backup.png"
            << "No se puede estampar sin pérdidas " + utmName +
                   ".jpg (no es un JPEG); se recodifica.";
        QTest::newRow("no position") << "a.jpg" << lost << "" << int(Treatment::Skip) << "a.jpg"
                                     << ""
                                     << "Sin posición para a.jpg";
        QTest::newRow("fixed position")
            << "a.jpg" << lost << "fixed" << lossless << "19J 500000 6000000.jpg"
            << "a_backup.jpg"
            << "";
        QTest::newRow("not a photo")
            << "a.jpg" << QByteArray("texto") << "" << int(Treatment::Skip) << "a.jpg"
            << ""
            << "Error al abrir la imagen " + folder + "/a.jpg";
        QTest::newRow("window") << "a.jpg" << jpeg << "window" << decode << utmName + ".jpg"
                                << "a_backup.jpg"
                                << "Renombrado: a.jpg a " + utmName + ".jpg";
    }

    // What the run will do with one photo, decided from its bytes alone. Only the window's
    // commit changes anything while the plan is made.
    void plan()
    {
        QFETCH(QString, file);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, options);
        QFETCH(int, treatment);
        QFETCH(QString, finalName);
        QFETCH(QString, backup);
        QFETCH(QString, line);
        QVERIFY(!bytes.isEmpty());
        MemoryFiles files;
        const QString path = folder + '/' + file;
        files.files.insert(path, bytes);
        if (options == "taken") {
            files.files.insert(folder + '/' + utmName + ".jpg", "otra");
            files.files.insert(folder + "/Backup/a_backup.jpg", "otra");
        }
        QStringList lines;
        BatchJob job = scriptJob(lines);
        job.fixedPositionWhenMissing = options == "fixed";
        job.style.drawText = job.style.drawRose = options != "nothing-drawn";
        if (options == "window") {
            job.policy = RunPolicy::Window;
            job.lossless = job.metadataOnlyWrites = false;
        }
        const auto commit = makeCommitPolicy(job.policy, {path});
        Run run = startRun(job, {path}, files);
        run.commit = commit.get();
        Photo photo;
        const bool goesOn = planPhoto(photo, path, run);

        QCOMPARE(goesOn, treatment != int(Treatment::Skip));
        QCOMPARE(int(photo.treatment), treatment);
        QCOMPARE(QFileInfo(photo.currentPath).fileName(), finalName);
        QCOMPARE(QFileInfo(photo.backupPath).fileName(), backup);
        QVERIFY2(lines.join('\n').contains(line), qPrintable(lines.join('\n')));
        QCOMPARE(files.calls.isEmpty(), options != "window");
    }

    void scriptCommit_data()
    {
        QTest::addColumn<QString>("refused"); // copy, write
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("left"); // files afterwards
        const QString renamed = utmName + ".jpg";
        QTest::newRow("all steps")
            << "" << QStringList{"copy a_backup.jpg", "rename " + renamed, "write " + renamed}
            << QStringList{"Backup/a_backup.jpg", renamed};
        QTest::newRow("backup refused")
            << "copy" << QStringList{"copy a_backup.jpg"} << QStringList{"a.jpg"};
        QTest::newRow("write refused: name given back")
            << "write"
            << QStringList{"copy a_backup.jpg", "rename " + renamed, "write " + renamed,
                           "rename a.jpg"}
            << QStringList{"Backup/a_backup.jpg", "a.jpg"};
    }

    // A script run's changes come last, in one order, and a failed step takes them back.
    void scriptCommit()
    {
        QFETCH(QString, refused);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, left);
        MemoryFiles files;
        const QString path = folder + "/a.jpg";
        const QByteArray original = madePhoto("jpg", true);
        files.files.insert(path, original);
        QStringList lines;
        BatchJob job = scriptJob(lines);
        const auto commit = makeCommitPolicy(job.policy, {path});
        Run run = startRun(job, {path}, files);
        run.commit = commit.get();
        Photo photo;
        QVERIFY(planPhoto(photo, path, run));
        QVERIFY(files.calls.isEmpty());
        files.refuseCopies = refused == "copy";
        files.refuseWrites = refused == "write";
        Rendered rendered;
        rendered.bytes = "nuevos";
        rendered.changed = true;
        rendered.held = {{Severity::Information, "retenida"}};
        commit->write(photo, rendered, run);

        QCOMPARE(files.calls, calls);
        QStringList found;
        for (const QString &name : files.files.keys())
            found << QDir(folder).relativeFilePath(name);
        found.sort();
        left.sort();
        QCOMPARE(found, left);
        QCOMPARE(photo.leftUntouched, !refused.isEmpty());
        QCOMPARE(files.files.value(path, original), original);
        // The metadata steps' lines only once the bytes are on disk.
        QCOMPARE(lines.contains("retenida"), refused.isEmpty());
    }
};

QTEST_MAIN(TestRoad)
#include "tst_road.moc"
