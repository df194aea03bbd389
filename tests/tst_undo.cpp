// cartaluz-lote --deshacer over journals written here, in every state a run, finished or killed,
// leaves its files in. Contents are one-letter texts; journals name them by their SHA-256.
#include <QtTest>

namespace {

QString hashOf(char content)
{
    return content ? QCryptographicHash::hash(QByteArray(1, content), QCryptographicHash::Sha256)
                         .toHex()
                   : QString();
}

QString jsonOrNull(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("null") : '\'' + text + '\'';
}

const QString header = QStringLiteral("{'tipo':'inicio','programa':'cartaluz-lote',"
                                      "'version':'1.0','carpeta':'DIR','opciones':[]}");

// A plan or foto line; the backup is Backup/<stem>_backup.jpg. An empty final name and a zero
// written content stand for null.
QString entry(const char *kind, const QString &photo, const QString &finalName, char original,
              char written)
{
    const QString backup = "Backup/" + QFileInfo(photo).completeBaseName() + "_backup.jpg";
    return QStringLiteral("{'tipo':'%1','foto':'%2','backup':'%3','final':%4,"
                          "'sha256_original':'%5','sha256_backup':'%5','sha256_escrita':%6,"
                          "'resultado':'procesada'}")
        .arg(kind, photo, backup, jsonOrNull(finalName), hashOf(original),
             jsonOrNull(hashOf(written)));
}

// "a.jpg=O Backup/a_backup.jpg=O": files and their contents.
QMap<QString, QByteArray> files(const QString &spec)
{
    QMap<QString, QByteArray> found;
    for (const QString &file : spec.split(' ', Qt::SkipEmptyParts))
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
        QTest::addColumn<QStringList>("journal"); // ' for ", DIR for the folder
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after"); // the journal kept besides, unless all came back
        QTest::addColumn<bool>("simulate");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        const auto plan = [](const char *photo, const char *finalName, char original = 'O',
                             char written = 'W') {
            return entry("plan", photo, finalName, original, written);
        };
        const auto done = [](const char *photo, const char *finalName, char original = 'O',
                             char written = 'W') {
            return entry("foto", photo, finalName, original, written);
        };
        const QString renamed = "b.jpg=W Backup/a_backup.jpg=O";
        const auto row = [](const char *name, const QStringList &journal, const QString &before,
                            const QString &after, int status, const char *line,
                            bool simulate = false) {
            QTest::newRow(name) << journal << before << after << simulate << status << line;
        };
        row("renamed", {header, plan("a.jpg", "b.jpg"), done("a.jpg", "b.jpg")}, renamed, "a.jpg=O",
            0, "Restaurada: a.jpg");
        row("kept name", {header, plan("a.jpg", "a.jpg"), done("a.jpg", "a.jpg")},
            "a.jpg=W Backup/a_backup.jpg=O", "a.jpg=O", 0, "Deshacer: 1 fotos restauradas");
        row("killed: written", {header, plan("a.jpg", "b.jpg")}, renamed, "a.jpg=O", 0, "");
        row("killed: renamed, not written", {header, plan("a.jpg", "b.jpg")},
            "b.jpg=O Backup/a_backup.jpg=O", "a.jpg=O", 0, "");
        row("killed: not renamed", {header, plan("a.jpg", "b.jpg")},
            "a.jpg=O Backup/a_backup.jpg=O", "a.jpg=O", 0, "");
        row("write failed, renamed back",
            {header, plan("a.jpg", "b.jpg"), done("a.jpg", "a.jpg", 'O', 0)},
            "a.jpg=O Backup/a_backup.jpg=O", "a.jpg=O", 0, "");
        row("skipped", {header, done("a.jpg", "", 'O', 0)}, "a.jpg=O Backup/a_backup.jpg=O",
            "a.jpg=O", 0, "");
        row("truncated last line", {header, plan("a.jpg", "b.jpg"), "{'tipo':'fo"}, renamed,
            "a.jpg=O", 0, "Se ignora la última línea");
        // c.jpg took a.jpg's name after a.jpg gave it up.
        const QStringList chain{header, plan("a.jpg", "b.jpg"), plan("c.jpg", "a.jpg", 'P', 'V')};
        const QString chained = renamed + " a.jpg=V Backup/c_backup.jpg=P";
        row("chain", chain, chained, "a.jpg=O c.jpg=P", 0, "Restaurada: c.jpg");
        row("chain, simulated", chain, chained, chained, 0, "Se restauraría: a.jpg", true);
        row("one edited of two", {header, plan("a.jpg", "b.jpg"), plan("c.jpg", "d.jpg", 'P', 'V')},
            "b.jpg=X Backup/a_backup.jpg=O d.jpg=V Backup/c_backup.jpg=P",
            "b.jpg=X Backup/a_backup.jpg=O c.jpg=P", 1,
            "No se restaura a.jpg: editada desde la ejecución.");
        row("backup missing", {header, plan("a.jpg", "b.jpg")}, "b.jpg=W", "b.jpg=W", 1,
            "backup ausente o cambiado");
        row("backup changed", {header, plan("a.jpg", "b.jpg")}, "b.jpg=W Backup/a_backup.jpg=X",
            "b.jpg=W Backup/a_backup.jpg=X", 1, "backup ausente o cambiado");
        row("original name taken", {header, plan("a.jpg", "b.jpg")}, renamed + " a.jpg=X",
            renamed + " a.jpg=X", 1, "nombre original ocupado");
        row("outside the folder", {header, plan("../a.jpg", "b.jpg")}, renamed, renamed, 1,
            "ruta fuera de la carpeta");
        row("damaged line", {header, "{'tipo':'pl", plan("a.jpg", "b.jpg")}, renamed, renamed, 2,
            "dañado en la línea 2");
    }

    void undo()
    {
        QFETCH(QStringList, journal);
        QFETCH(QString, before);
        QFETCH(QString, after);
        QFETCH(bool, simulate);
        QFETCH(int, status);
        QFETCH(QString, line);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("Backup"));
        const QString journalPath = dir.filePath("Backup/run.jsonl");
        const QByteArray journalText =
            journal.join('\n').replace('\'', '"').replace("DIR", dir.path()).toUtf8();
        QMap<QString, QByteArray> expected = files(after);
        QMap<QString, QByteArray> written = files(before);
        written.insert("Backup/run.jsonl", journalText);
        for (auto [name, bytes] : written.asKeyValueRange()) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        }
        if (status != 0 || simulate)
            expected.insert("Backup/run.jsonl", journalText);

        QProcess process;
        process.start(CARTALUZ_LOTE, QStringList{"--deshacer", journalPath} +
                                         (simulate ? QStringList{"--simular"} : QStringList{}));
        QVERIFY(process.waitForFinished(30000));
        const QString log = process.readAllStandardOutput() + process.readAllStandardError();
        QVERIFY2(log.contains(line), qPrintable(log));
        QCOMPARE(process.exitCode(), status);
        QCOMPARE(tree(dir.path()), expected);
        const bool keepsBackup =
            std::any_of(expected.keyBegin(), expected.keyEnd(),
                        [](const QString &name) { return name.startsWith("Backup/"); });
        QCOMPARE(QFileInfo::exists(dir.filePath("Backup")), keepsBackup);
    }
};

QTEST_GUILESS_MAIN(TestUndo)
#include "tst_undo.moc"
