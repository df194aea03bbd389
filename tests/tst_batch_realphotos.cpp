// The batch run over copies of real camera photos, hostile files included.
#include "photoprocessor.h"
#include "testphotos.h"
#include "utm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct ManifestPosition
{
    double latitude = 0.0;
    double longitude = 0.0;
};

// Photos whose EXIF GPS block holds a usable position, by file name.
QMap<QString, ManifestPosition> exifPositions(const QString &manifestPath)
{
    QMap<QString, ManifestPosition> positions;
    QFile file(manifestPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return positions;
    const QStringList header = QString::fromUtf8(file.readLine()).trimmed().split('\t');
    const int latColumn = header.indexOf("gps_lat");
    const int lonColumn = header.indexOf("gps_lon");
    const int notesColumn = header.indexOf("notes");
    while (!file.atEnd()) {
        const QStringList row = QString::fromUtf8(file.readLine()).chopped(1).split('\t');
        if (row.size() <= notesColumn || row.at(latColumn).isEmpty() ||
            !row.at(notesColumn).contains("gps_source=EXIF"))
            continue;
        positions.insert(row.at(0), {row.at(latColumn).toDouble(), row.at(lonColumn).toDouble()});
    }
    return positions;
}

// The lines of one photo's turn, from its "Procesando" line up to the next photo's.
QStringList blockOf(const QStringList &log, const QString &fileName)
{
    const int start = log.indexOf("\nProcesando: " + fileName);
    if (start < 0)
        return {};
    int end = start + 1;
    while (end < log.size() && !log.at(end).startsWith('\n'))
        ++end;
    return log.mid(start, end - start);
}

QString afterPrefix(const QStringList &block, const QString &prefix)
{
    for (const QString &line : block)
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    return {};
}

} // namespace

class TestBatchRealPhotos : public QObject
{
    Q_OBJECT

private slots:
    void exifModeWithRenamingAndBackups();
};

void TestBatchRealPhotos::exifModeWithRenamingAndBackups()
{
    const QString shared = TestPhotos::sharedPhotosDir();
    if (shared.isEmpty())
        QSKIP("the shared camera photos are not present");
    QTemporaryDir dir;
    QStringList photos;
    for (const QString &name : QDir(shared).entryList(QDir::Files)) {
        if (name == "README.md" || name == "manifest.tsv")
            continue;
        QVERIFY(QFile::copy(QDir(shared).filePath(name), dir.filePath(name)));
        photos.append(name);
    }
    QVERIFY(!photos.isEmpty());
    const QMap<QString, ManifestPosition> positions =
        exifPositions(QDir(shared).filePath("manifest.tsv"));
    QVERIFY(positions.size() > 10);

    QStringList log;
    PhotoProcessor::processPhotos(dir.path(), QString(), QString(), 0.03, true, QString(),
                                  QColor("#FFFFFF"), 0.0, "arriba-izquierda", "abajo-derecha",
                                  "abajo-derecha", 0.18, true, false, QString(), false, true, true,
                                  false, "arriba-derecha", true,
                                  [&log](const QString &line) { log.append(line); });

    const QRegularExpression utmName(R"(^(\d+)(.) (-?\d+) (-?\d+)(?: \(\d+\))?\.jpg$)");
    for (const QString &name : photos) {
        const QStringList block = blockOf(log, name);
        QVERIFY2(!block.isEmpty(), qPrintable(name));
        const QByteArray original = contents(QDir(shared).filePath(name));

        const QString backup = afterPrefix(block, "Backup creado: ");
        QVERIFY2(!backup.isEmpty(), qPrintable(name));
        QCOMPARE(contents(dir.filePath("Backup/" + backup)), original);

        const QString newName = afterPrefix(block, "Renombrado: " + name + " a ");
        QVERIFY2(!newName.isEmpty(), qPrintable(block.join('\n')));
        const QString newPath = dir.filePath(newName);
        QVERIFY2(QFileInfo::exists(newPath), qPrintable(newName));

        if (block.contains("Error al abrir la imagen " + newPath))
            QVERIFY2(contents(newPath) == original, qPrintable(name));
        else
            QVERIFY2(contents(newPath).startsWith("\xFF\xD8\xFF"), qPrintable(name));

        if (!positions.contains(name))
            continue;
        const ManifestPosition position = positions.value(name);
        const UtmPosition expected = latLonToUtm(position.latitude, position.longitude);
        const QRegularExpressionMatch match = utmName.match(newName);
        QVERIFY2(match.hasMatch(), qPrintable(name + " -> " + newName));
        QCOMPARE(match.captured(1).toInt(), expected.zoneNumber);
        QCOMPARE(match.captured(2), QString(QLatin1Char(expected.zoneLetter)));
        // The manifest's degrees carry seven decimals, a centimetre or so.
        QVERIFY2(qAbs(match.captured(3).toDouble() - expected.easting) <= 1.0,
                 qPrintable(name + " -> " + newName));
        QVERIFY2(qAbs(match.captured(4).toDouble() - expected.northing) <= 1.0,
                 qPrintable(name + " -> " + newName));
    }
    QCOMPARE(QDir(dir.filePath("Backup")).entryList(QDir::Files).size(), photos.size());
}

QTEST_MAIN(TestBatchRealPhotos)
#include "tst_batch_realphotos.moc"
