// The window's entry to the batch engine and to the pieces it is built from.
#include "photoprocessor.h"

#include "batchengine.h"
#include "compassrose.h"
#include "fileoperations.h"
#include "photonaming.h"
#include "samplefile.h"

#include <QDir>

#include <utility>

PhotoProcessor::PhotoProcessor(QObject *parent)
    : QObject(parent)
{
}

void PhotoProcessor::processPhotos(
    const QString &directory, const QString &logoPath, const QString &fontPath, double fontRatio,
    bool useExif, const QString &txtPath, const QColor &textColor, double logoRatio,
    const QString &logoPosition, const QString &dateTimePosition,
    const QString &coordinatesPosition, double roseRatio, bool renameToUtm, bool addPrefix,
    const QString &prefix, bool includeSubdirectories, bool drawRose, bool drawText,
    bool embedTxtInExif, const QString &rosePosition, bool makeBackup, LogCallback log)
{
    BatchJob job;
    job.directory = directory;
    job.logoPath = logoPath;
    job.style.fontPath = fontPath;
    job.style.fontRatio = fontRatio;
    job.useExif = useExif;
    job.txtPath = txtPath;
    job.style.textColor = textColor;
    job.style.logoRatio = logoRatio;
    job.style.logoPosition = cornerFromName(logoPosition);
    job.style.dateTimePosition = cornerFromName(dateTimePosition);
    job.style.coordinatesPosition = cornerFromName(coordinatesPosition);
    job.style.roseRatio = roseRatio;
    job.renameToUtm = renameToUtm;
    job.addPrefix = addPrefix;
    job.prefix = prefix;
    job.includeSubdirectories = includeSubdirectories;
    job.style.drawRose = drawRose;
    job.style.drawText = drawText;
    job.embedTxtInExif = embedTxtInExif;
    job.style.rosePosition = cornerFromName(rosePosition);
    job.makeBackup = makeBackup;
    job.log = textOnly(std::move(log));
    runBatch(job);
}

QString PhotoProcessor::makeBackupPath(const QString &folder, const QString &baseName,
                                       const QString &suffix)
{
    DiskOperations disk;
    const QString backupFolder = QDir(folder).filePath(QStringLiteral("Backup"));
    // A failure here shows up as a failed copy, which the caller reports.
    disk.makeFolder(backupFolder);
    return backupPathIn(backupFolder, baseName, suffix,
                        [&disk](const QString &path) { return disk.isTaken(path); });
}

QImage PhotoProcessor::createCompassRose(double orientation, int size, double ratio,
                                         const QString &fontPath)
{
    return compassRose(orientation, size, ratio, fontPath);
}

void PhotoProcessor::createSampleCoordinateFile(const QString &directory, const QString &outputPath,
                                                bool includeSubdirectories, bool useExif,
                                                LogCallback log)
{
    writeSampleCoordinateFile(directory, outputPath, includeSubdirectories, useExif, SampleRules(),
                              textOnly(std::move(log)));
}
