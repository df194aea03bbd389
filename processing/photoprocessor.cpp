// The batch run: lists a folder's photos, then takes each one down the same road, from its
// backup copy to its re-encoded file with the original metadata put back.
#include "photoprocessor.h"

#include "coordinatefile.h"
#include "photoannotation.h"
#include "photometadata.h"
#include "utm.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <mutex>
#include <utility>

namespace {

// What every photo of one run needs from the caller, plus the run-wide logo and table.
struct Run
{
    bool useExif = true;
    bool renameToUtm = false;
    bool addPrefix = false;
    QString prefix;
    bool embedTxtInExif = false;
    bool makeBackup = false;
    AnnotationStyle style;
    QImage logo;
    CoordinateTable table; // empty in EXIF mode or without a coordinate file
    LogCallback log;
};

// One photo's turn. The position starts at the fixed fallback and stays there wherever the
// position step finds nothing.
struct Photo
{
    QString sourcePath;
    QString fileName;
    QString folder;
    QString baseName;
    QString suffix;

    MetadataSnapshot snapshot;
    QDateTime captureDate;
    bool dateFound = false;

    int zoneNumber = 19;
    char zoneLetter = 'J';
    double easting = 500000.0;
    double northing = 6000000.0;
    double orientation = 0.0;
    bool orientationKnown = false;

    QString utmName;
    QString prefixedName;
    QString coordinateText;
    QString currentPath;
};

QString numberText(double value)
{
    return QString::number(value, 'g', 6);
}

QString nativePathText(const QString &path)
{
    return QString::fromStdString(qPathToNativeStdString(path));
}

// A dangling symbolic link counts as taken too: copying or renaming onto it would follow it.
bool nameTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// The whole list is collected before any photo is touched, so backups and renamed files made
// by this run are never picked up by it.
QStringList listPhotos(const QString &directory, bool includeSubdirectories)
{
    // Without QDir::CaseSensitive the name filters ignore letter case (IMG.JPG, a.Png).
    const QStringList filters{QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                              QStringLiteral("*.tiff"), QStringLiteral("*.png")};
    QDirIterator it(directory, filters, QDir::Files | QDir::NoSymLinks,
                    includeSubdirectories ? QDirIterator::Subdirectories
                                          : QDirIterator::NoIteratorFlags);
    QStringList paths;
    while (it.hasNext())
        paths.append(it.next());
    return paths;
}

// Every image the batch reads goes through here first. The toolkit refuses to decode any image
// larger than its allocation limit (128 MB by default, about 33 MP at 4 bytes a pixel); the limit
// is raised so that any photo up to 256 MP at 4 bytes a pixel decodes (1024 MB), which covers
// today's 200 MP phones, while a file that declares absurd dimensions is still refused.
void allowLargeImages()
{
    static std::once_flag once;
    std::call_once(once, [] { QImageReader::setAllocationLimit(1024); });
}

// Null unless the content is a JPEG, TIFF or PNG picture, whatever the name says: a clip or
// another format wearing a photo's name is rejected here as the metadata side rejects it.
QImage loadPhotoImage(const QString &path)
{
    allowLargeImages();
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    if (format != "jpeg" && format != "tiff" && format != "png")
        return {};
    return reader.read();
}

// The logo may be in any format the toolkit reads.
QImage loadLogo(const QString &logoPath, const LogCallback &log)
{
    if (logoPath.isEmpty())
        return {};
    allowLargeImages();
    const QImage logo(logoPath);
    if (logo.isNull())
        log(QStringLiteral("Error al abrir el logo."));
    return logo;
}

void describe(Photo &photo, const QString &listedPath)
{
    const QFileInfo info(listedPath);
    photo.sourcePath = info.absoluteFilePath();
    photo.fileName = info.fileName();
    photo.folder = info.absolutePath();
    photo.baseName = info.baseName();
    photo.suffix = info.suffix();
    photo.currentPath = photo.sourcePath;
}

void backUp(const Photo &photo, const LogCallback &log)
{
    const QString backupPath =
        PhotoProcessor::makeBackupPath(photo.folder, photo.baseName, photo.suffix);
    if (QFile::copy(photo.sourcePath, backupPath))
        log(QStringLiteral("Backup creado: ") + QFileInfo(backupPath).fileName());
    else
        log(QStringLiteral("Error creando backup de ") + photo.fileName);
}

// Taken from the untouched file: the re-encoded image carries no metadata of its own.
void takeSnapshotAndDate(Photo &photo, const LogCallback &log)
{
    log(QStringLiteral("Intentando leer EXIF desde (nativo): ") + nativePathText(photo.sourcePath));
    QString errorText;
    if (photo.snapshot.takeFrom(photo.sourcePath, photo.captureDate, photo.dateFound, errorText) ==
        MetadataSnapshot::Outcome::Failed) {
        log(QStringLiteral("Error leyendo metadata original para ") + photo.fileName +
            QStringLiteral(": ") + errorText);
        photo.dateFound = false;
    }
    if (!photo.dateFound) {
        photo.captureDate = QDateTime::currentDateTime();
        log(QStringLiteral("Fecha de captura no encontrada en metadata para ") + photo.fileName +
            QStringLiteral(". Usando fecha/hora actual."));
    }
}

void locateFromExif(Photo &photo, const LogCallback &log)
{
    double latitude = 0.0;
    double longitude = 0.0;
    double orientation = 0.0;
    if (!readGpsData(photo.sourcePath, latitude, longitude, orientation)) {
        log(QStringLiteral("Datos GPS no encontrados en EXIF para ") + photo.fileName +
            QStringLiteral(". Usando coords fijas."));
        return;
    }
    log(QStringLiteral("Lat: ") + numberText(latitude) + QStringLiteral(", Lon: ") +
        numberText(longitude) + QStringLiteral(", Orientación: ") + numberText(orientation));
    const UtmPosition utm = latLonToUtm(latitude, longitude);
    photo.zoneNumber = utm.zoneNumber;
    photo.zoneLetter = utm.zoneLetter;
    photo.easting = utm.easting;
    photo.northing = utm.northing;
    photo.orientation = orientation;
    // A stored heading of exactly 0 cannot be told from a missing one.
    photo.orientationKnown = orientation != 0.0;
}

// False when the photo has no row: its turn ends here, after the backup and the metadata read.
bool locateFromTable(Photo &photo, const Run &run)
{
    const auto row = run.table.constFind(photo.fileName);
    if (row == run.table.constEnd()) {
        run.log(QStringLiteral("Coordenadas UTM no encontradas en archivo TXT para ") +
                photo.fileName);
        return false;
    }
    photo.zoneNumber = row->zoneNumber;
    photo.zoneLetter = row->zoneLetter;
    photo.easting = row->easting;
    photo.northing = row->northing;
    photo.orientation = row->orientation;
    photo.orientationKnown = row->hasOrientation;

    QString line = QStringLiteral("Usando datos TXT: Zona ") + QString::number(row->zoneNumber) +
                   QLatin1Char(row->zoneLetter) + QStringLiteral(", Easting: ") +
                   numberText(row->easting) + QStringLiteral(", Northing: ") +
                   numberText(row->northing);
    if (row->hasOrientation)
        line += QStringLiteral(", Orientación: ") + numberText(row->orientation);
    run.log(line);
    return true;
}

bool locate(Photo &photo, const Run &run)
{
    if (run.useExif) {
        locateFromExif(photo, run.log);
        return true;
    }
    return locateFromTable(photo, run);
}

void nameAfterUtm(Photo &photo, const Run &run)
{
    // One multi-argument pass, so nothing substituted is read again as a placeholder.
    photo.utmName =
        QStringLiteral("%1%2 %3 %4")
            .arg(QString::number(photo.zoneNumber), QString(QLatin1Char(photo.zoneLetter)),
                 QString::number(photo.easting, 'f', 0), QString::number(photo.northing, 'f', 0));
    photo.prefixedName = run.addPrefix ? run.prefix + photo.utmName : photo.utmName;
    photo.coordinateText = QStringLiteral("UTM ") + photo.utmName;
}

void renameToUtm(Photo &photo, const LogCallback &log)
{
    const QDir folder(photo.folder);
    // Concatenated rather than formatted: a prefix may hold "%1" and must stay as typed.
    QString newName = photo.prefixedName + QStringLiteral(".jpg");
    for (int counter = 1; nameTaken(folder.filePath(newName)); ++counter)
        newName = photo.prefixedName + QStringLiteral(" (") + QString::number(counter) +
                  QStringLiteral(").jpg");

    const QString newPath = folder.filePath(newName);
    if (QFile::rename(photo.sourcePath, newPath)) {
        photo.currentPath = newPath;
        log(QStringLiteral("Renombrado: ") + photo.fileName + QStringLiteral(" a ") + newName);
    } else {
        log(QStringLiteral("Error renombrando ") + photo.fileName);
    }
}

// Null when the file cannot be decoded; the photo's turn then ends without any write.
QImage loadAndPaint(const Photo &photo, const Run &run)
{
    QImage image = loadPhotoImage(photo.currentPath);
    if (image.isNull()) {
        run.log(QStringLiteral("Error al abrir la imagen ") + photo.currentPath);
        return image;
    }
    paintAnnotations(image, run.logo, run.style, photo.captureDate, photo.coordinateText,
                     photo.orientation, photo.orientationKnown, run.log);
    return image;
}

// The painted picture, encoded as the suffix says, into memory; the metadata steps then work on
// these bytes and the photo is written once. False with the writer's text on failure.
bool encode(const QImage &image, const Photo &photo, QByteArray &encoded, QString &errorText)
{
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer;
    writer.setDevice(&buffer);
    // The format follows the suffix, so a photo renamed to ".jpg" becomes a JPEG.
    writer.setFormat(QFileInfo(photo.currentPath).suffix().toUtf8());
    writer.setQuality(90);
    if (writer.format().toLower() == "png")
        writer.setCompression(0);
    if (writer.write(image))
        return true;
    errorText = writer.errorString();
    encoded.clear();
    return false;
}

// The finished bytes replace the photo only once they are completely written: a crash, a kill or
// a full disk must not leave a truncated photo.
bool save(const QByteArray &encoded, const Photo &photo, QString &errorText)
{
    QSaveFile file(photo.currentPath);
    // A folder that takes no new entries but whose photo is writable still gets the photo
    // written in place, as it would without the temporary file.
    file.setDirectWriteFallback(true);
    if (file.open(QIODevice::WriteOnly) && file.write(encoded) == encoded.size() && file.commit())
        return true;
    errorText = file.errorString();
    return false;
}

void restoreMetadata(const Photo &photo, QByteArray &encoded, const LogCallback &log)
{
    log(QStringLiteral("Intentando escribir EXIF a (nativo): ") +
        nativePathText(photo.currentPath));
    const QString currentName = QFileInfo(photo.currentPath).fileName();
    QString errorText;
    switch (photo.snapshot.restoreInto(encoded, errorText)) {
    case MetadataSnapshot::Outcome::Done:
        log(QStringLiteral("Metadatos restaurados para ") + currentName);
        break;
    case MetadataSnapshot::Outcome::Failed:
        log(QStringLiteral("Error restaurando metadatos en ") + currentName + QStringLiteral(": ") +
            errorText);
        break;
    case MetadataSnapshot::Outcome::NoImage:
        break;
    }
}

// Goes after the restore so the position lands on top of the photo's own EXIF. With encoded
// bytes it works on them; without, on whatever lies under the current path.
void writeUtmPosition(const Photo &photo, QByteArray *encoded, const LogCallback &log)
{
    if (encoded)
        writeUtmToExif(*encoded, photo.currentPath, photo.zoneNumber, photo.zoneLetter,
                       photo.easting, photo.northing, photo.orientation, photo.orientationKnown,
                       log);
    else
        writeUtmToExif(photo.currentPath, photo.zoneNumber, photo.zoneLetter, photo.easting,
                       photo.northing, photo.orientation, photo.orientationKnown, log);
    log(QStringLiteral("Datos UTM escritos en EXIF para ") +
        QFileInfo(photo.currentPath).fileName());
}

// Encodes, puts the metadata into the bytes and writes the photo once. The metadata steps' lines
// are held back until the write has worked: a failed write logs only its own error, and the UTM
// step then runs on the file as it lies.
void saveWithMetadata(QImage painted, const Photo &photo, const Run &run)
{
    QByteArray encoded;
    QString errorText;
    QStringList held;
    const LogCallback hold = [&held](const QString &line) {
        held.append(line);
    };
    const bool embedUtm = !run.useExif && run.embedTxtInExif;
    const bool wasEncoded = encode(painted, photo, encoded, errorText);
    // The decoded picture is by far the largest thing held; it is not needed past this point.
    painted = QImage();
    if (wasEncoded) {
        restoreMetadata(photo, encoded, hold);
        if (embedUtm)
            writeUtmPosition(photo, &encoded, hold);
        if (save(encoded, photo, errorText)) {
            for (const QString &line : std::as_const(held))
                run.log(line);
            return;
        }
    }
    run.log(QStringLiteral("Error guardando la imagen: ") + errorText);
    if (embedUtm)
        writeUtmPosition(photo, nullptr, run.log);
}

void processPhoto(const QString &listedPath, const Run &run)
{
    Photo photo;
    describe(photo, listedPath);
    run.log(QStringLiteral("\nProcesando: ") + photo.fileName);

    if (run.makeBackup)
        backUp(photo, run.log);
    takeSnapshotAndDate(photo, run.log);
    if (!locate(photo, run))
        return;

    nameAfterUtm(photo, run);
    if (run.renameToUtm)
        renameToUtm(photo, run.log);

    QImage image = loadAndPaint(photo, run);
    if (image.isNull())
        return;
    saveWithMetadata(std::move(image), photo, run);
}

} // namespace

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
    const QStringList photos = listPhotos(directory, includeSubdirectories);

    Run run;
    run.useExif = useExif;
    run.renameToUtm = renameToUtm;
    run.addPrefix = addPrefix;
    run.prefix = prefix;
    run.embedTxtInExif = embedTxtInExif;
    run.makeBackup = makeBackup;
    run.style.fontPath = fontPath;
    run.style.fontRatio = fontRatio;
    run.style.textColor = textColor;
    run.style.logoRatio = logoRatio;
    run.style.logoPosition = logoPosition;
    run.style.dateTimePosition = dateTimePosition;
    run.style.coordinatesPosition = coordinatesPosition;
    run.style.roseRatio = roseRatio;
    run.style.drawRose = drawRose;
    run.style.drawText = drawText;
    run.style.rosePosition = rosePosition;
    run.log = std::move(log);

    run.logo = loadLogo(logoPath, run.log);
    if (!useExif && !txtPath.isEmpty())
        run.table = readCoordinateFile(txtPath, run.log);

    for (const QString &path : photos)
        processPhoto(path, run);
}

QString PhotoProcessor::makeBackupPath(const QString &folder, const QString &baseName,
                                       const QString &suffix)
{
    const QDir backupDir(QDir(folder).filePath(QStringLiteral("Backup")));
    // A failure here shows up as a failed copy, which the caller reports.
    if (!backupDir.exists())
        QDir().mkpath(backupDir.path());

    // Concatenated rather than formatted: a name holding "%1" must stay as it is.
    QString name = baseName + QStringLiteral("_backup.") + suffix;
    for (int counter = 1; nameTaken(backupDir.filePath(name)); ++counter)
        name = baseName + QStringLiteral("_backup(") + QString::number(counter) +
               QStringLiteral(").") + suffix;
    return backupDir.filePath(name);
}
