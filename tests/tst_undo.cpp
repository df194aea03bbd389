// cartaluz-lote --deshacer over journals written here, in every state a run, finished or killed,
// leaves its files in. Contents are one-letter texts; journals name them by their SHA-256.
#include "testphotos.h"

#include <QtTest>

namespace {

// A journal from "plan:a:b foto:a:b:OW": kind, photo, final name (empty for null), original and
// written contents (OW when left out, - for null); the backup is Backup/<photo>_backup. A token
// starting with { is a line as it is.
QByteArray journal(const QString &notation, const QString &folder)
{
    QStringList lines{"{'tipo':'inicio','programa':'cartaluz-lote','carpeta':'" + folder + "'}"};
    for (const QString &token : notation.split(' ', Qt::SkipEmptyParts)) {
        const QStringList field = (token + ":::").split(':');
        const QString contents = field[3].isEmpty() ? "OW" : field[3];
        const auto digest = [&contents](int at) {
            const QByteArray bytes = contents.mid(at, 1).toUtf8();
            const QByteArray hex =
                QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
            return bytes == "-" ? QString("null") : '\'' + hex + '\'';
        };
        const QString finalName = field[2].isEmpty() ? "null" : '\'' + field[2] + '\'';
        lines << (token.startsWith('{')
                      ? token
                      : QString("{'tipo':'%1','foto':'%2','backup':'Backup/%2_backup','final':%3,"
                                "'sha256_original':%4,'sha256_backup':%4,'sha256_escrita':%5}")
                            .arg(field[0], field[1], finalName, digest(0), digest(1)));
    }
    return lines.join('\n').replace('\'', '"').toUtf8();
}

// "a=O Backup/a_backup=O": files and their contents.
QMap<QString, QByteArray> files(const QString &notation)
{
    QMap<QString, QByteArray> found;
    for (const QString &file : notation.split(' ', Qt::SkipEmptyParts))
        found.insert(file.section('=', 0, 0), file.section('=', 1).toUtf8());
    return found;
}

QMap<QString, QByteArray> tree(const QString &dir)
{
    QMap<QString, QByteArray> found;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        found.insert(QDir(dir).relativeFilePath(file.fileName()), file.readAll());
    }
    return found;
}

} // namespace

class TestUndo : public QObject
{
    Q_OBJECT

private slots:
    void undo_data()
    {
        QTest::addColumn<QString>("journal");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after"); // empty: as before; the journal kept besides, unless
                                            // every photo came back
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("simulate");
        const auto row = [](const char *name, const char *journal, const QString &before,
                            const QString &after, int status, const char *line,
                            bool simulate = false) {
            QTest::newRow(name) << journal << before << after << status << line << simulate;
        };
        const QString renamed = "b=W Backup/a_backup=O";
        row("renamed", "plan:a:b foto:a:b", renamed, "a=O", 0, "Restaurada: a");
        row("kept name", "plan:a:a foto:a:a", "a=W Backup/a_backup=O", "a=O", 0, "1 fotos rest");
        row("killed: renamed, not written", "plan:a:b", "b=O Backup/a_backup=O", "a=O", 0, "");
        row("killed: not renamed", "plan:a:b", "a=O Backup/a_backup=O", "a=O", 0, "");
        row("skipped", "foto:a::O-", "a=O Backup/a_backup=O", "a=O", 0, "");
        row("skipped, no backup", "{'tipo':'foto','foto':'a','backup':null,'final':'a'}", "a=O",
            "a=O", 0, "Sin cambios que deshacer: a");
        row("truncated last line", "plan:a:b {'tipo':'fo", renamed, "a=O", 0, "Se ignora la");
        // c took a's name after a gave it up.
        const QString chained = renamed + " a=V Backup/c_backup=P";
        row("chain", "plan:a:b plan:c:a:PV", chained, "a=O c=P", 0, "Restaurada: c");
        row("chain, simulated", "plan:a:b plan:c:a:PV", chained, "", 0, "Se restauraría: a", true);
        row("one edited of two", "plan:a:b plan:c:d:PV", renamed + " b=X d=V Backup/c_backup=P",
            "b=X Backup/a_backup=O c=P", 1,
            "No se restaura a (ahora b): editada desde la ejecución.");
        row("written photo missing", "plan:a:b", "Backup/a_backup=O", "", 1,
            "foto escrita ausente");
        row("backup missing", "plan:a:b", "b=W", "", 1, "backup ausente o cambiado");
        row("backup changed", "plan:a:b", "b=W Backup/a_backup=X", "", 1, "backup ausente");
        row("original name taken", "plan:a:b", renamed + " a=X", "", 1, "nombre original ocupado");
        row("outside the folder", "plan:../a:b", renamed, "", 1, "ruta fuera de la carpeta");
        row("damaged line", "{'tipo':'pl plan:a:b", renamed, "", 2, "dañado en la línea 2");
        // A run killed while copying leaves the photo's first bytes as its backup.
        row("killed while copying", "plan:a:b", "a=O Backup/a_backup=", "a=O", 0,
            "Backup retirado: Backup/a_backup (la foto no llegó a cambiar).");
        row("killed between link and rename", "plan:a:b", renamed + " b.Ab12Cd=W", "a=O", 0,
            "Escritura a medias retirada: b.Ab12Cd");
        row("a stranger's file beside", "plan:a:b", renamed + " b.Ab12Cd=X b.Ab12C=W",
            "a=O b.Ab12Cd=X b.Ab12C=W", 0, "Restaurada: a");
    }

    void undo()
    {
        QFETCH(QString, journal);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(int, status);
        QFETCH(QString, line);
        QFETCH(bool, simulate);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Backup"));
        QMap<QString, QByteArray> written = files(before);
        QMap<QString, QByteArray> expected = files(after.isEmpty() ? before : after);
        written.insert("Backup/run.jsonl", ::journal(journal, dir.path()));
        for (auto [name, bytes] : written.asKeyValueRange()) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        if (status != 0 || simulate)
            expected.insert("Backup/run.jsonl", written.value("Backup/run.jsonl"));

        QProcess process;
        process.start(CARTALUZ_LOTE, QStringList{"--deshacer", dir.filePath("Backup/run.jsonl")} +
                                         (simulate ? QStringList{"--simular"} : QStringList{}));
        QVERIFY(process.waitForFinished(30000));
        const QString log = process.readAllStandardOutput() + process.readAllStandardError();
        QVERIFY2(log.contains(line), qPrintable(log));
        // A simulation says first that nothing changes, once the journal has read as one.
        QCOMPARE(log.startsWith("Simulación: no se modificará ningún archivo"),
                 simulate && status != 2);
        QCOMPARE(process.exitCode(), status);
        QCOMPARE(tree(dir.path()), expected);
        // "Backup/" sorts before the photos' lower-case names.
        QCOMPARE(QFileInfo::exists(dir.filePath("Backup")),
                 expected.firstKey().startsWith("Backup/"));
    }

    // A folder received with a link in it: the undo never follows it to files elsewhere.
    void linksAreNotFollowed()
    {
        QTemporaryDir dir;
        QTemporaryDir elsewhere;
        QVERIFY(QDir(dir.path()).mkdir("Backup"));
        QVERIFY(QFile::link(elsewhere.path(), dir.filePath("lnk")));
        QVERIFY(TestPhotos::writeFile(elsewhere.filePath("b"), "W"));
        QVERIFY(TestPhotos::writeFile(dir.filePath("Backup/a_backup"), "O"));
        const QString journalPath = dir.filePath("Backup/run.jsonl");
        QByteArray lines = ::journal("plan:lnk/a:lnk/b", dir.path());
        lines.replace("Backup/lnk/a_backup", "Backup/a_backup");
        QVERIFY(TestPhotos::writeFile(journalPath, lines));
        const auto before = tree(dir.path());

        QProcess process;
        process.start(CARTALUZ_LOTE, {"--deshacer", journalPath});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 1);
        QVERIFY(QString(process.readAllStandardOutput()).contains("fuera de la carpeta"));
        QCOMPARE(tree(dir.path()), before);
        QCOMPARE(tree(elsewhere.path()), files("b=W"));
    }

    // An undo killed after it put the photos back but before its journal went can be run again.
    void killedUndoRunsAgain()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath("Backup"));
        const QString journalPath = dir.filePath("Backup/run.jsonl");
        QVERIFY(TestPhotos::writeFile(journalPath, ::journal("plan:a:b", dir.path())));
        QVERIFY(TestPhotos::writeFile(dir.filePath("b"), "W"));
        QVERIFY(TestPhotos::writeFile(dir.filePath("Backup/a_backup"), "O"));
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("CARTALUZ_PRUEBA_FALLO", "antes-del-diario:1");
        process.setProcessEnvironment(environment);
        process.start(CARTALUZ_LOTE, {"--deshacer", journalPath});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitStatus(), QProcess::CrashExit);
        QCOMPARE(tree(dir.path()),
                 files("a=O Backup/run.jsonl=" + TestPhotos::readFile(journalPath)));

        process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        process.start(CARTALUZ_LOTE, {"--deshacer", journalPath});
        QVERIFY(process.waitForFinished(30000));
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(tree(dir.path()), files("a=O"));
        QVERIFY(!QFileInfo::exists(dir.filePath("Backup")));
    }
};

QTEST_GUILESS_MAIN(TestUndo)
#include "tst_undo.moc"
