// The names a run gives: backup copies, UTM names and their collision numbers. Pure functions
// over a question whether a path is taken, so a real run and a dry run choose alike.
#pragma once

#include <QString>

#include <functional>

using NameTaken = std::function<bool(const QString &path)>;

// The first free path among backupFolder/baseName_backup.suffix, then _backup(1), _backup(2)...
QString backupPathIn(const QString &backupFolder, const QString &baseName, const QString &suffix,
                     const NameTaken &taken);

// Metres rounded to the nearest whole metre, as UTM names write them.
QString wholeMetres(double metres);

// "19H 346575 6298959": zone, band letter, easting and northing rounded to whole metres.
QString utmName(int zoneNumber, char zoneLetter, double easting, double northing);

// The first free file name among prefixedName.jpg, then "prefixedName (1).jpg", ... in folder;
// suffix replaces "jpg" for a photo that keeps its format.
QString utmFileName(const QString &folder, const QString &prefixedName, const NameTaken &taken,
                    const QString &suffix = QStringLiteral("jpg"));
