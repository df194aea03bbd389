// The Debian package as a user gets it: built by CPack, unpacked into a scratch root with dpkg -x,
// and the programs and files installed there put to work.
#include "testphotos.h"

#include <QImage>
#include <QtTest>

namespace {

// The program's exit code (-1 when it did not end normally) and its output, stderr last.
QPair<int, QString>
run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(300000);
    return {finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())};
}

// A black photo with a date and a position, so that two runs paint the same text.
void makePhoto(const QString &path)
{
    QVERIFY(TestPhotos::writeImage(path, 640, 480, Qt::black));
    QVERIFY(TestPhotos::setTags(
        path, TestPhotos::gpsTags("33/1 27/1 0/1", "S", "70/1 39/1 36/1", "W") +
                  TestPhotos::Tags{{"Exif.Photo.DateTimeOriginal", "2024:03:15 10:20:30"}}));
}

qsizetype brightPixels(const QImage &image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    return std::count_if(grey.constBits(), grey.constBits() + grey.sizeInBytes(),
                         [](uchar value) { return value > 128; });
}

// What bash completion offers, sorted, for the words of a cartaluz-lote command line, the last one
// being completed.
QStringList complete(const QString &root, const QStringList &words)
{
    const QString script = QStringLiteral(
        "source /usr/share/bash-completion/bash_completion && source \"$1\" && shift && "
        "COMP_WORDS=(\"$@\") COMP_CWORD=$(($# - 1)) COMP_LINE=\"$*\" && "
        "COMP_POINT=${#COMP_LINE} && _cartaluz_lote cartaluz-lote \"${@: -1}\" \"${@: -2:1}\" && "
        "printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", root + "/usr/bin:" + environment.value("PATH"));
    return run("bash",
               QStringList{"-c", script, "bash",
                           root + "/usr/share/bash-completion/completions/cartaluz-lote",
                           "cartaluz-lote"} +
                   words,
               environment)
        .second.split('\n', Qt::SkipEmptyParts);
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
        const auto cpack =
            run(CARTALUZ_CPACK, {"--config", CARTALUZ_CPACK_CONFIG, "-B", scratch.path()});
        QVERIFY2(cpack.first == 0 && QFile::exists(deb), qPrintable(cpack.second));
        const auto dpkg = run("dpkg", {"-x", deb, root});
        QVERIFY2(dpkg.first == 0 && dpkg.second.isEmpty(), qPrintable(dpkg.second));
    }

    void control()
    {
        const QString depends = run("dpkg-deb", {"-f", deb, "Depends"}).second;
        QVERIFY2(depends.contains("fonts-noto-core") && depends.contains("libqt6gui6") &&
                     depends.contains("qt6-translations-l10n"),
                 qPrintable(depends));
        QCOMPARE(run(root + "/usr/bin/cartaluz-lote", {"--version"}),
                 qMakePair(0, QStringLiteral("cartaluz-lote " CARTALUZ_VERSION "\n")));
        QDirIterator files(root, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext())
            QVERIFY2(!files.next().endsWith(".ttf"), "the package ships a font");
    }

    // With fontconfig knowing no font at all, only the default font file can give the text its
    // letters: the installed program must paint exactly what the build's copy of Noto Sans does.
    void defaultFontFound()
    {
        QTemporaryDir photos;
        const QString config = photos.filePath("fonts.conf");
        QVERIFY(TestPhotos::writeFile(config, "<fontconfig><cachedir>" +
                                                  photos.filePath("cache").toUtf8() +
                                                  "</cachedir></fontconfig>"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("FONTCONFIG_FILE", config);
        const QString notoSans = QCoreApplication::applicationDirPath() + "/notosans.ttf";
        for (const QStringList &font : {QStringList{"--fuente", notoSans}, QStringList()}) {
            const QString folder = photos.filePath(font.isEmpty() ? "default" : "given");
            QVERIFY(QDir().mkdir(folder));
            makePhoto(folder + "/a.jpg");
            const auto lote =
                run(root + "/usr/bin/cartaluz-lote",
                    font + QStringList{"--sin-rosa", "--sin-backup", "--sin-renombrar", folder},
                    environment);
            QVERIFY2(lote.first == 0, qPrintable(lote.second));
        }

        const QImage painted(photos.filePath("default/a.jpg"));
        QVERIFY(brightPixels(painted) > 500);
        QVERIFY(painted == QImage(photos.filePath("given/a.jpg")));
    }

    // Both pages speak Spanish down to their headings, and date themselves alike.
    void manPages()
    {
        QStringList seen;
        for (const QString page : {"cartaluz-lote", "cartaluz"}) {
            const QString text =
                '\n' + run("gzip", {"-dc", root + "/usr/share/man/man1/" + page + ".1.gz"}).second;
            auto lines = QRegularExpression(R"(\n\.(SH|TH) ([^\n]*))").globalMatch(text);
            while (lines.hasNext())
                seen << lines.next().captured(2).remove(QRegularExpression(R"(^\S+ "?1"? )"));
        }
        const QString date = "\"" CARTALUZ_RELEASE_DATE "\" \"";
        QCOMPARE(seen.join('|'), date +
                                     "cartaluz-lote " CARTALUZ_VERSION "\" \"Órdenes de usuario\"|"
                                     "NOMBRE|SINOPSIS|DESCRIPCIÓN|OPCIONES|\"ESTADO DE SALIDA\"|"
                                     "ARCHIVOS|EJEMPLOS|\"VÉASE TAMBIÉN\"|" +
                                     date +
                                     "cartaluz " CARTALUZ_VERSION "\" \"Órdenes de usuario\"|"
                                     "NOMBRE|SINOPSIS|DESCRIPCIÓN|ARCHIVOS|\"VÉASE TAMBIÉN\"");
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
        // The help names it again under other options.
        QTest::newRow("each option once") << QStringList{"--sim"} << QStringList{"--simular"};
        QTest::newRow("paper") << QStringList{"--papel", ""} << QStringList{"a4", "carta"};
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
