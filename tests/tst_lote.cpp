// The batch front end driven as a script would: the real executable, its options, statuses,
// dry run, upright painting, and the same result whatever the number of workers.
#include "testphotos.h"

#include <QImage>
#include <QtTest>

#include <algorithm>

namespace {

const QString utmName = QStringLiteral("19H 345713 6297592"); // 33.45 S, 70.66 W

struct Result
{
    int status = -1;
    QString out, err;
};

Result lote(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("QT_QPA_PLATFORM");
    environment.remove("DISPLAY");
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(CARTALUZ_LOTE), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A blue photo stored on its side, with a capture date and, when asked, the GPS position of
// utmName.
void makePhoto(const QString &path, bool withGps = true)
{
    QVERIFY(TestPhotos::writeImage(path, 320, 240, QColor(30, 60, 160)));
    TestPhotos::Tags tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"},
                          {"Exif.Image.Orientation", "6"}}; // upright: turned a quarter right
    if (withGps)
        tags += TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W", "45/1");
    QVERIFY(TestPhotos::setTags(path, tags));
}

// Every file under dir, by relative path, with a hash of its bytes.
QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(dir).relativeFilePath(file.fileName()),
                     QCryptographicHash::hash(file.readAll(), QCryptographicHash::Md5));
    }
    return files;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

bool hasColour(const QString &path, const QColor &c)
{
    const QImage image = QImage(path).convertToFormat(QImage::Format_RGB32);
    const auto *pixels = reinterpret_cast<const QRgb *>(image.constBits());
    return std::any_of(pixels, pixels + image.width() * image.height(), [&c](QRgb p) {
        return qAbs(qRed(p) - c.red()) + qAbs(qGreen(p) - c.green()) + qAbs(qBlue(p) - c.blue()) <
               120;
    });
}

} // namespace

class TestLote : public QObject
{
    Q_OBJECT

private slots:
    void options_data()
    {
        QTest::addColumn<QString>("arguments"); // separated by spaces
        QTest::addColumn<QString>("result");    // the photo's file after the run
        QTest::addColumn<QString>("logLine");   // with a leading '!': a line the log must lack
        QTest::addColumn<QColor>("colour");     // a colour the written photo must hold
        const auto row = [](const char *name, const char *arguments, const QString &result,
                            const char *logLine, const QColor &colour) {
            QTest::newRow(name) << QString(arguments) << result << QString(logLine) << colour;
        };
        const QString renamed = utmName + ".jpg";
        const QColor noWhite(255, 255, 255, 0); // transparent: a colour the photo must lack
        row("defaults", "", renamed, "Backup creado: a_backup.jpg", Qt::white);
        row("no rename", "--sin-renombrar", "a.jpg", "Lat: -33.45", Qt::white);
        row("prefix", "--prefijo P_%1_", "P_%1_" + renamed, "a P_%1_", Qt::white);
        row("no backup, no rose", "--sin-backup --sin-rosa", renamed, "!rosa", Qt::white);
        row("no text", "--sin-texto --sin-rosa", renamed, "Metadatos restaurados", noWhite);
        row("text colour", "--color-fuente lime --ratio-fuente 0.1 --sin-rosa", renamed, "Renombr",
            Qt::green);
        row("logo", "--logo logo.png --ratio-logo 0.3", renamed, "Renombrado", Qt::yellow);
        row("coordinate file into EXIF", "--txt coords.txt --txt-a-exif", "19K 300000 7000000.jpg",
            "Datos UTM escritos en EXIF para 19K 300000 7000000.jpg", Qt::white);
        row("upright", "--orientar --sin-renombrar", "a.jpg", "Lat: -33.45", Qt::white);
        row("subfolders", "--subdirectorios --sin-renombrar", "sub/b.jpg", "Procesando: b.jpg",
            Qt::white);
        row("sample file", "--ejemplo ej.txt --ejemplo-exif", "a.jpg", "Archivo de ejemplo",
            noWhite);
    }

    void options()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, result);
        QFETCH(QString, logLine);
        QFETCH(QColor, colour);
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QDir().mkpath(folder + "/sub");
        makePhoto(folder + "/a.jpg");
        makePhoto(folder + "/sub/b.jpg");
        QVERIFY(TestPhotos::writeImage(dir.filePath("logo.png"), 40, 20, Qt::yellow));
        writeFile(dir.filePath("coords.txt"), "a.jpg,19,K,300000,7000000,90\n");
        for (const char *file : {"logo.png", "coords.txt", "ej.txt"})
            arguments.replace(file, dir.filePath(file));
        const Result run = lote(arguments.split(' ', Qt::SkipEmptyParts) << folder);
        QCOMPARE(run.status, 0);
        QCOMPARE(run.err, QString());
        const bool absent = logLine.startsWith('!');
        QVERIFY2(run.out.contains(logLine.mid(absent ? 1 : 0)) != absent, qPrintable(run.out));
        QCOMPARE(hasColour(folder + '/' + result, colour), colour.alpha() != 0);
        QCOMPARE(QFileInfo::exists(folder + "/Backup"), run.out.contains("Backup creado"));
        const bool upright = arguments.contains("--orientar");
        QCOMPARE(QImage(folder + '/' + result).width(), upright ? 240 : 320);
        QCOMPARE(TestPhotos::tag(folder + '/' + result, "Exif.Image.Orientation"),
                 upright ? "1" : "6");
        if (arguments.contains("--ejemplo")) {
            QFile sample(dir.filePath("ej.txt"));
            QVERIFY(sample.open(QIODevice::ReadOnly) && sample.readAll().contains("\na.jpg,19,H,"));
        }
    }

    void badValues_data()
    {
        QTest::addColumn<QString>("arguments"); // separated by spaces; DIR is a folder with a photo
        QTest::addColumn<QString>("message");
        const auto row = [](const char *arguments, const char *message) {
            QTest::newRow(arguments) << QString(arguments) << QString(message);
        };
        row("--ratio-rosa 0.6 DIR", "--ratio-rosa");
        row("--posicion-logo centro DIR", "--posicion-logo");
        row("--logo /nada/logo.png DIR", "--logo");
        row("-j 0 DIR", "--trabajos");
        row("--color-fuente nada DIR", "--color-fuente");
        row("--rapido DIR", "--rapido");
        row("DIR --logo", "--logo");
        row("--simular DIR/nada", "CARPETA");
    }

    void badValues()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, message);
        QTemporaryDir dir;
        makePhoto(dir.filePath("a.jpg"));
        const auto before = tree(dir.path());
        const Result run = lote(arguments.replace("DIR", dir.path()).split(' '));
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(tree(dir.path()), before);
    }

    void dryRunPlansWhatTheRunDoesAndTouchesNothing()
    {
        QTemporaryDir dir;
        for (const char *name : {"a.jpg", "b.jpg", "c.jpg"})
            makePhoto(dir.filePath(name));
        QVERIFY(QFile::copy(dir.filePath("a.jpg"), dir.filePath(utmName + ".jpg")));
        const auto before = tree(dir.path());
        const Result plan = lote({"--simular", dir.path()});
        QCOMPARE(plan.status, 0);
        QCOMPARE(tree(dir.path()), before);
        QVERIFY(!QFileInfo::exists(dir.filePath("Backup")));
        const Result run = lote({"-j", "2", dir.path()});
        QCOMPARE(run.status, 0);
        static const QRegularExpression pattern("^(Backup|Nuevo nombre): (.*)$",
                                                QRegularExpression::MultilineOption);
        QStringList planned;
        for (const auto &match : pattern.globalMatch(plan.out))
            planned << (match.captured(1) == "Backup" ? "Backup/" : "") + match.captured(2);
        planned.sort();
        QCOMPARE(planned, tree(dir.path()).keys());
        QVERIFY(planned.contains(utmName + " (1).jpg"));
    }

    void workersGiveTheSameTreeAndLog()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath("fotos");
        QList<QPair<QMap<QString, QByteArray>, Result>> results;
        for (const char *workers : {"1", "4"}) {
            QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder));
            for (int i = 0; i < 7; ++i)
                makePhoto(folder + "/p" + QString::number(i) + ".jpg", i % 3 != 0);
            writeFile(folder + "/roto.jpg", "not a photo");
            const Result run = lote({"-j", workers, folder});
            QCOMPARE(run.status, 1);
            QVERIFY(run.out.contains("7 fotos procesadas, 1 omitidas, 1 con errores"));
            results.append({tree(folder), run});
        }
        QCOMPARE(results[1].first, results[0].first);
        QCOMPARE(results[1].second.out, results[0].second.out);
        QVERIFY(results[0].first.contains("19J 500000 6000000 (2).jpg"));
    }
};

QTEST_MAIN(TestLote)
#include "tst_lote.moc"
