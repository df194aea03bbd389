// The road of one photo through a batch run, from its backup copy to its re-encoded file with the
// original metadata put back; and the window's entry to the batch engine.
#include "photoprocessor.h"

#include "batchengine.h"
#include "photoroad.h"
#include "utm.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <mutex>
#include <utility>

namespace photoroad {

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

// Every image the batch reads goes through here first. The toolkit refuses to decode any image
// larger than its allocation limit (128 MB by default, about 33 MP at 4 bytes a pixel); the limit
// is raised so that any photo up to 256 MP at 4 bytes a pixel decodes (1024 MB), which covers
// today's 200 MP phones, while a file that declares absurd dimensions is still refused.
void allowLargeImages()
{
    static std::once_flag once;
    std::call_once(once, [] { QImageReader::setAllocationLimit(1024); });
}

// False unless the content is a JPEG, TIFF or PNG picture, whatever the name says: a clip or
// another format wearing a photo's name is rejected here as the metadata side rejects it. image
// is the previous photo's picture or null: the JPEG decoder writes every pixel into a buffer of
// the same size and format instead of faulting in a fresh one for each photo.
bool loadPhotoImage(const QString &path, bool upright, QImage &image)
{
    allowLargeImages();
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    // Upright means as viewers show it; otherwise the stored pixels are painted as they lie.
    reader.setAutoTransform(upright);
    const QByteArray format = reader.format();
    if (format != "jpeg")
        image = QImage();
    if (format != "jpeg" && format != "tiff" && format != "png")
        return false;
    if (!reader.read(&image))
        image = QImage();
    return !image.isNull();
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

// Without a GPS position in the EXIF the job's fallback, when it has one, may still give one; the
// photo then goes on as if its EXIF had held it.
void locateFromExif(Photo &photo, const Run &run)
{
    double latitude = 0.0;
    double longitude = 0.0;
    double orientation = 0.0;
    bool orientationKnown = false;
    if (readGpsData(photo.sourcePath, latitude, longitude, orientation)) {
        photo.source = PositionSource::Exif;
        // A stored heading of exactly 0 cannot be told from a missing one.
        orientationKnown = orientation != 0.0;
    } else {
        const FallbackPosition fallback =
            run.positionFallback
                ? run.positionFallback(photo.sourcePath, photo.captureDate, photo.dateFound)
                : FallbackPosition();
        if (!fallback.found) {
            run.log(QStringLiteral("Datos GPS no encontrados en EXIF para ") + photo.fileName +
                    QStringLiteral(". Usando coords fijas."));
            if (!fallback.logLine.isEmpty())
                run.log(fallback.logLine);
            return;
        }
        if (!fallback.logLine.isEmpty())
            run.log(fallback.logLine);
        latitude = fallback.latitude;
        longitude = fallback.longitude;
        orientation = fallback.direction;
        orientationKnown = fallback.directionKnown;
        photo.source = PositionSource::Fallback;
    }
    run.log(QStringLiteral("Lat: ") + numberText(latitude) + QStringLiteral(", Lon: ") +
            numberText(longitude) + QStringLiteral(", Orientación: ") + numberText(orientation));
    const UtmPosition utm = latLonToUtm(latitude, longitude);
    photo.zoneNumber = utm.zoneNumber;
    photo.zoneLetter = utm.zoneLetter;
    photo.easting = utm.easting;
    photo.northing = utm.northing;
    photo.orientation = orientation;
    photo.orientationKnown = orientationKnown;
    photo.latLonKnown = true;
    photo.latitude = latitude;
    photo.longitude = longitude;
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
    photo.source = PositionSource::Table;

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
        locateFromExif(photo, run);
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
    const QString newName = utmFileName(folder, photo.prefixedName, nameTaken);
    const QString newPath = folder.filePath(newName);
    if (QFile::rename(photo.sourcePath, newPath)) {
        photo.currentPath = newPath;
        log(QStringLiteral("Renombrado: ") + photo.fileName + QStringLiteral(" a ") + newName);
    } else {
        log(QStringLiteral("Error renombrando ") + photo.fileName);
    }
}

// False when the file cannot be decoded; the photo's turn then ends without any write. image is
// the previous photo's picture or null: the JPEG decoder writes every pixel into a buffer of the
// same size and format instead of faulting in a fresh one for each photo.
bool loadAndPaint(const Photo &photo, const Run &run, QImage &image)
{
    if (!loadPhotoImage(photo.currentPath, run.orientUpright, image)) {
        run.log(QStringLiteral("Error al abrir la imagen ") + photo.currentPath);
        return false;
    }
    paintAnnotations(image, run.logo, run.style, photo.captureDate, photo.coordinateText,
                     photo.orientation, photo.orientationKnown, run.log);
    return true;
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
    // No direct-write fallback: in a folder that takes no new entries the photo is left as it
    // was and the write is reported, rather than truncated and rewritten in place.
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
        if (photo.snapshot.leavesOutMpf())
            log(QStringLiteral("Imágenes MPF descartadas para ") + currentName);
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

// Goes after the restore so the position lands on top of the photo's own EXIF. With encoded
// bytes it works on them; without, on whatever lies under the current path.
void writeFallbackPosition(const Photo &photo, QByteArray *encoded, const LogCallback &log)
{
    const QString name = QFileInfo(photo.currentPath).fileName();
    QString errorText;
    const bool written =
        encoded ? writeLatLonToExif(*encoded, photo.latitude, photo.longitude, errorText)
                : writeLatLonToExif(photo.currentPath, photo.latitude, photo.longitude, errorText);
    if (written)
        log(QStringLiteral("Posición GPS escrita en EXIF para ") + name);
    else
        log(QStringLiteral("Error escribiendo la posición GPS en EXIF para ") + name +
            QStringLiteral(": ") + errorText);
}

// Encodes, puts the metadata into the bytes and writes the photo once. The metadata steps' lines
// are held back until the write has worked: a failed write logs only its own error, and the
// position steps then run on the file as it lies.
void saveWithMetadata(const QImage &painted, const Photo &photo, const Run &run)
{
    QByteArray encoded;
    QString errorText;
    QStringList held;
    const LogCallback hold = [&held](const QString &line) {
        held.append(line);
    };
    const bool embedUtm = !run.useExif && run.embedTxtInExif;
    const bool embedFallback =
        run.writeFallbackToExif && photo.source == PositionSource::Fallback;
    if (encode(painted, photo, encoded, errorText)) {
        restoreMetadata(photo, encoded, hold);
        if (embedUtm)
            writeUtmPosition(photo, &encoded, hold);
        if (embedFallback)
            writeFallbackPosition(photo, &encoded, hold);
        if (save(encoded, photo, errorText)) {
            for (const QString &line : std::as_const(held))
                run.log(line);
            return;
        }
    }
    run.log(QStringLiteral("Error guardando la imagen: ") + errorText);
    if (embedUtm)
        writeUtmPosition(photo, nullptr, run.log);
    if (embedFallback)
        writeFallbackPosition(photo, nullptr, run.log);
}

QString backupPathIn(const QDir &backupDir, const QString &baseName, const QString &suffix,
                     const NameTaken &taken)
{
    // Concatenated rather than formatted: a name holding "%1" must stay as it is.
    QString name = baseName + QStringLiteral("_backup.") + suffix;
    for (int counter = 1; taken(backupDir.filePath(name)); ++counter)
        name = baseName + QStringLiteral("_backup(") + QString::number(counter) +
               QStringLiteral(").") + suffix;
    return backupDir.filePath(name);
}

QString utmFileName(const QDir &folder, const QString &prefixedName, const NameTaken &taken)
{
    // Concatenated rather than formatted: a prefix may hold "%1" and must stay as typed.
    QString newName = prefixedName + QStringLiteral(".jpg");
    for (int counter = 1; taken(folder.filePath(newName)); ++counter)
        newName = prefixedName + QStringLiteral(" (") + QString::number(counter) +
                  QStringLiteral(").jpg");
    return newName;
}

Run startRun(const BatchJob &job)
{
    Run run;
    run.useExif = job.useExif;
    run.renameToUtm = job.renameToUtm;
    run.addPrefix = job.addPrefix;
    run.prefix = job.prefix;
    run.embedTxtInExif = job.embedTxtInExif;
    run.makeBackup = job.makeBackup;
    run.orientUpright = job.orientUpright;
    run.style.fontPath = job.fontPath;
    run.style.fontRatio = job.fontRatio;
    run.style.textColor = job.textColor;
    run.style.logoRatio = job.logoRatio;
    run.style.logoPosition = job.logoPosition;
    run.style.dateTimePosition = job.dateTimePosition;
    run.style.coordinatesPosition = job.coordinatesPosition;
    run.style.roseRatio = job.roseRatio;
    run.style.drawRose = job.drawRose;
    run.style.drawText = job.drawText;
    run.style.rosePosition = job.rosePosition;
    run.positionFallback = job.positionFallback;
    run.writeFallbackToExif = job.writeFallbackToExif;
    run.log = job.log;

    run.logo = loadLogo(job.logoPath, run.log);
    if (!job.useExif && !job.txtPath.isEmpty())
        run.table = readCoordinateFile(job.txtPath, run.log);
    return run;
}

bool preparePhoto(Photo &photo, const QString &listedPath, const Run &run)
{
    describe(photo, listedPath);
    run.log(QStringLiteral("\nProcesando: ") + photo.fileName);

    if (run.makeBackup)
        backUp(photo, run.log);
    takeSnapshotAndDate(photo, run.log);
    if (run.orientUpright)
        photo.snapshot.markUpright();
    if (!locate(photo, run))
        return false;

    nameAfterUtm(photo, run);
    if (run.renameToUtm)
        renameToUtm(photo, run.log);
    return true;
}

bool finishPhoto(const Photo &photo, const Run &run, QImage &image)
{
    if (!loadAndPaint(photo, run, image))
        return false;
    saveWithMetadata(image, photo, run);
    return true;
}

} // namespace photoroad

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
    job.fontPath = fontPath;
    job.fontRatio = fontRatio;
    job.useExif = useExif;
    job.txtPath = txtPath;
    job.textColor = textColor;
    job.logoRatio = logoRatio;
    job.logoPosition = logoPosition;
    job.dateTimePosition = dateTimePosition;
    job.coordinatesPosition = coordinatesPosition;
    job.roseRatio = roseRatio;
    job.renameToUtm = renameToUtm;
    job.addPrefix = addPrefix;
    job.prefix = prefix;
    job.includeSubdirectories = includeSubdirectories;
    job.drawRose = drawRose;
    job.drawText = drawText;
    job.embedTxtInExif = embedTxtInExif;
    job.rosePosition = rosePosition;
    job.makeBackup = makeBackup;
    job.log = std::move(log);
    runBatch(job);
}

QString PhotoProcessor::makeBackupPath(const QString &folder, const QString &baseName,
                                       const QString &suffix)
{
    const QDir backupDir(QDir(folder).filePath(QStringLiteral("Backup")));
    // A failure here shows up as a failed copy, which the caller reports.
    if (!backupDir.exists())
        QDir().mkpath(backupDir.path());

    return photoroad::backupPathIn(backupDir, baseName, suffix, photoroad::nameTaken);
}
