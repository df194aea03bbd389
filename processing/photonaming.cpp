// Backup and UTM file names.
#include "photonaming.h"

#include <QDir>

QString backupPathIn(const QString &backupFolder, const QString &baseName, const QString &suffix,
                     const NameTaken &taken)
{
    const QDir folder(backupFolder);
    // Concatenated rather than formatted: a name holding "%1" must stay as it is.
    QString name = baseName + QStringLiteral("_backup.") + suffix;
    for (int counter = 1; taken(folder.filePath(name)); ++counter)
        name = baseName + QStringLiteral("_backup(") + QString::number(counter) +
               QStringLiteral(").") + suffix;
    return folder.filePath(name);
}

QString wholeMetres(double metres)
{
    return QString::number(metres, 'f', 0);
}

QString utmName(int zoneNumber, char zoneLetter, double easting, double northing)
{
    // One multi-argument pass, so nothing substituted is read again as a placeholder.
    return QStringLiteral("%1%2 %3 %4")
        .arg(QString::number(zoneNumber), QString(QLatin1Char(zoneLetter)), wholeMetres(easting),
             wholeMetres(northing));
}

QString utmFileName(const QString &folder, const QString &prefixedName, const NameTaken &taken,
                    const QString &suffix)
{
    const QDir dir(folder);
    // Concatenated rather than formatted: a prefix may hold "%1" and must stay as typed.
    const QString dotted = QLatin1Char('.') + suffix;
    QString newName = prefixedName + dotted;
    for (int counter = 1; taken(dir.filePath(newName)); ++counter)
        newName = prefixedName + QStringLiteral(" (") + QString::number(counter) +
                  QStringLiteral(")") + dotted;
    return newName;
}
