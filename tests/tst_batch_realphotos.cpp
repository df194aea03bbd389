// The batch run over copies of real camera photos, hostile files included.
#include "photoprocessor.h"
#include "testphotos.h"
#include "utm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointF>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Latitude (x) and longitude (y) of the photos whose EXIF GPS block is usable, by file name.
QMap<QString, QPointF> exifPositions(const QString &manifestPath)
{
    QMap<QString, QPointF> positions;
    QFile file(manifestPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return positions;
    const QStringList header = QString::fromUtf8(file.readLine()).trimmed().split('\t');
    const int lat = header.indexOf("gps_lat"), lon = header.indexOf("gps_lon");
    const int notes = header.indexOf("notes");
    while (!file.atEnd()) {
        const QStringList row = QString::fromUtf8(file.readLine()).chopped(1).split('\t');
        if (row.size() > notes && !row.at(lat).isEmpty() &&
            row.at(notes).contains("gps_source=EXIF"))
            positions.insert(row.at(0), {row.at(lat).toDouble(), row.at(lon).toDouble()});
    }
    return positions;
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
    QStringList photos = QDir(shared).entryList(QDir::Files);
    photos.removeAll("README.md");
    photos.removeAll("manifest.tsv");
    QVERIFY(!photos.isEmpty());
    for (const QString &name : photos)
        QVERIFY(QFile::copy(QDir(shared).filePath(name), dir.filePath(name)));
    const QMap<QString, QPointF> positions = exifPositions(QDir(shared).filePath("manifest.tsv"));
    QVERIFY(positions.size() > 10);

    QStringList log;
    PhotoProcessor::processPhotos(dir.path(), QString(), QString(), 0.03, true, QString(),
                                  QColor("#FFFFFF"), 0.0, "arriba-izquierda", "abajo-derecha",
                                  "abajo-derecha", 0.18, true, false, QString(), false, true, true,
                                  false, "arriba-derecha", true,
                                  [&log](const QString &line) { log.append(line); });

    const QRegularExpression utmName(R"(^(\d+)(.) (-?\d+) (-?\d+)(?: \(\d+\))?\.jpg$)");
    for (const QString &name : photos) {
        // This photo's turn runs from its "Procesando" line up to the next photo's.
        const int start = log.indexOf("\nProcesando: " + name);
        QVERIFY2(start >= 0, qPrintable(name));
        int end = start + 1;
        while (end < log.size() && !log.at(end).startsWith('\n'))
            ++end;
        const QStringList block = log.mid(start, end - start);
        const QString backupLine = block.value(1);
        const QString renameLine = block.filter("Renombrado: " + name + " a ").value(0);
        QVERIFY2(backupLine.startsWith("Backup creado: ") && !renameLine.isEmpty(),
                 qPrintable(block.join('\n')));

        const QByteArray original = contents(QDir(shared).filePath(name));
        QCOMPARE(contents(dir.filePath("Backup/" + backupLine.section(": ", 1))), original);
        const QString newName = renameLine.mid(renameLine.indexOf(" a ") + 3);
        const QString newPath = dir.filePath(newName);
        if (block.contains("Error al abrir la imagen " + newPath))
            QVERIFY2(contents(newPath) == original, qPrintable(name));
        else
            QVERIFY2(contents(newPath).startsWith("\xFF\xD8\xFF"), qPrintable(name));

        if (!positions.contains(name))
            continue;
        const UtmPosition expected = latLonToUtm(positions[name].x(), positions[name].y());
        const QRegularExpressionMatch match = utmName.match(newName);
        QVERIFY2(match.hasMatch(), qPrintable(name + " -> " + newName));
        QCOMPARE(match.captured(1).toInt(), expected.zoneNumber);
        QCOMPARE(match.captured(2), QString(QLatin1Char(expected.zoneLetter)));
        // The manifest's degrees carry seven decimals, a centimetre or so.
        QVERIFY2(qAbs(match.captured(3).toDouble() - expected.easting) <= 1.0 &&
                     qAbs(match.captured(4).toDouble() - expected.northing) <= 1.0,
                 qPrintable(name + " -> " + newName));
    }
    QCOMPARE(QDir(dir.filePath("Backup")).entryList(QDir::Files).size(), photos.size());
}

QTEST_MAIN(TestBatchRealPhotos)
#include "tst_batch_realphotos.moc"
