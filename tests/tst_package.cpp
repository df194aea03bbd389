// The Debian package as a user gets it: built by CPack, unpacked into a scratch root with dpkg -x,
// and the programs and files installed there put to work.
#include "testphotos.h"

#include <QImage>
#include <QtTest>

namespace {

QString run(const QString &program, const QStringList &arguments,
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
            int *status = nullptr)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(300000);
    if (status)
        *status =
            finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
}

// A black photo with a date and a position, so that two runs paint the same text.
void makePhoto(const QString &path)
{
    QVERIFY(TestPhotos::writeImage(path, 640, 480, Qt::black));
    QVERIFY(TestPhotos::setTags(
        path, TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W") +
                  TestPhotos::Tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"}}));
}

int brightPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qGray(image.pixel(x, y)) > 128 ? 1 : 0;
    return count;
}

// What bash completion offers for the words of a cartaluz-lote command line, the last one
// being completed.
QStringList complete(const QString &root, const QStringList &words)
{
    const QString script = QStringLiteral(
        "source /usr/share/bash-completion/bash_completion && source \"$1\" && shift && "
        "COMP_WORDS=(\"$@\") COMP_CWORD=$(($# - 1)) COMP_LINE=\"$*\" && "
        "COMP_POINT=${#COMP_LINE} && _cartaluz_lote cartaluz-lote \"${@: -1}\" \"${@: -2:1}\" && "
        "printf '%s\\n' \"${COMPREPLY[@]}\"");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", root + "/usr/bin:" + environment.value("PATH"));
    QStringList offered =
        run("bash",
            QStringList{"-c", script, "bash",
                        root + "/usr/share/bash-completion/completions/cartaluz-lote",
                        "cartaluz-lote"} +
                words,
            environment)
            .split('\n', Qt::SkipEmptyParts);
    offered.sort();
    return offered;
}

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QString root;
    QString deb;

private slots:
    void initTestCase()
    {
        QVERIFY(scratch.isValid());
        deb = scratch.filePath(QStringLiteral("cartaluz_" CARTALUZ_VERSION "_amd64.deb"));
        root = scratch.filePath("root");
        int status = -1;
        const QString cpack =
            run(CARTALUZ_CPACK, {"--config", CARTALUZ_CPACK_CONFIG, "-B", scratch.path()},
                QProcessEnvironment::systemEnvironment(), &status);
        QVERIFY2(status == 0 && QFile::exists(deb), qPrintable(cpack));
        QVERIFY2(run("dpkg", {"-x", deb, root}).isEmpty(), "dpkg -x failed");
    }

    void control()
    {
        const QString depends = run("dpkg-deb", {"-f", deb, "Depends"});
        QVERIFY2(depends.contains("fonts-noto-core") && depends.contains("libqt6gui6"),
                 qPrintable(depends));
        QCOMPARE(run(root + "/usr/bin/cartaluz-lote", {"--version"}),
                 QStringLiteral("cartaluz-lote " CARTALUZ_VERSION "\n"));
        QDirIterator files(root, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext())
            QVERIFY2(!files.next().endsWith(".ttf"), "the package ships a font");
    }

    // With fontconfig knowing no font at all, only the default font file can give the text its
    // letters: the installed program must paint exactly what the build's copy of Noto Sans does.
    void defaultFontFound()
    {
        QTemporaryDir photos;
        for (const char *folder : {"default", "given"}) {
            QVERIFY(QDir(photos.path()).mkdir(folder));
            makePhoto(photos.filePath(folder + QStringLiteral("/a.jpg")));
        }
        QFile config(photos.filePath("fonts.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("<fontconfig><cachedir>" + photos.filePath("cache").toUtf8() +
                     "</cachedir></fontconfig>");
        config.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("FONTCONFIG_FILE", config.fileName());

        const QStringList common{"--sin-rosa", "--sin-backup", "--sin-renombrar"};
        const QString notoSans = QCoreApplication::applicationDirPath() + "/notosans.ttf";
        int status = -1;
        QString log = run(root + "/usr/bin/cartaluz-lote",
                          common + QStringList{"--fuente", notoSans, photos.filePath("given")},
                          environment, &status);
        QVERIFY2(status == 0, qPrintable(log));
        log = run(root + "/usr/bin/cartaluz-lote", common + QStringList{photos.filePath("default")},
                  environment, &status);
        QVERIFY2(status == 0, qPrintable(log));

        const QImage painted(photos.filePath("default/a.jpg"));
        QVERIFY(brightPixels(painted) > 500);
        QVERIFY(painted == QImage(photos.filePath("given/a.jpg")));
    }

    void completion_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QStringList>("offered");
        const QString dir = scratch.path() + "/fotos/";
        QTest::newRow("options from --help")
            << QStringList{"--sin-r"} << QStringList{"--sin-renombrar", "--sin-rosa"};
        QTest::newRow("corners") << QStringList{"--posicion-rosa", "abajo-"}
                                 << QStringList{"abajo-derecha", "abajo-izquierda"};
        QTest::newRow("files after --track")
            << QStringList{"--track", dir} << QStringList{dir + "a.jpg", dir + "sub"};
        QTest::newRow("folder last") << QStringList{"--sin-rosa", dir} << QStringList{dir + "sub"};
        QTest::newRow("no guess for a ratio") << QStringList{"--ratio-rosa", ""} << QStringList{};
    }

    void completion()
    {
        QFETCH(QStringList, words);
        QFETCH(QStringList, offered);
        QVERIFY(QDir(scratch.path()).mkpath("fotos/sub"));
        QVERIFY(TestPhotos::writeImage(scratch.path() + "/fotos/a.jpg"));
        QCOMPARE(complete(root, words), offered);
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
