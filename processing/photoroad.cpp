// The road of one photo, in the order a run takes it: backup, metadata, position, UTM name and
// rename; then decoding, painting, encoding, the metadata carried over, and one atomic write.
#include "photoroad.h"

#include "librarynotes.h"
#include "photonaming.h"
#include "utm.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>

#include <cmath>
#include <mutex>
#include <utility>

namespace photoroad {

namespace {

QString numberText(double value)
{
    return QString::number(value, 'g', 6);
}

QString nativePathText(const QString &path)
{
    return QString::fromStdString(qPathToNativeStdString(path));
}

// What the decoding libraries said of the photo, for its log line: " (…; …)", or empty. Only a
// front end that routes their output collects anything; the window's lines stay as they are.
QString notesText()
{
    const QStringList notes = LibraryNotes::take();
    return notes.isEmpty()
               ? QString()
               : QStringLiteral(" (") + notes.join(QStringLiteral("; ")) + QLatin1Char(')');
}

void info(const LogSink &log, const QString &line)
{
    log(Severity::Information, line);
}

void warning(const LogSink &log, const QString &line)
{
    log(Severity::Warning, line);
}

void error(const LogSink &log, const QString &line)
{
    log(Severity::Error, line);
}

// The toolkit refuses to decode any image larger than its allocation limit (128 MB by default,
// about 33 MP at 4 bytes a pixel); the limit is raised so that any photo up to 256 MP at 4 bytes a
// pixel decodes (1024 MB), which covers today's 200 MP phones, while a file that declares absurd
// dimensions is still refused.
void allowLargeImages()
{
    static std::once_flag once;
    std::call_once(once, [] { QImageReader::setAllocationLimit(1024); });
}

// The logo may be in any format the toolkit reads.
QImage loadLogo(const QString &logoPath, const LogSink &log)
{
    if (logoPath.isEmpty())
        return {};
    allowLargeImages();
    const QImage logo(logoPath);
    if (logo.isNull())
        error(log, QStringLiteral("Error al abrir el logo."));
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
    photo.contentPath = photo.sourcePath;
}

// A header read is enough to tell a photo the decoder will take from a clip, a text or a
// truncated header wearing a photo's name, without decoding it on the calling thread.
bool isDecodable(const Photo &photo, const Run &run)
{
    allowLargeImages();
    LibraryNotes::take();
    QImageReader reader(photo.sourcePath);
    reader.setDecideFormatFromContent(true);
    const QByteArray format = reader.format();
    const QSize size = reader.size();
    const qint64 bytes = qint64(size.width()) * size.height() * 4;
    if ((format == "jpeg" || format == "tiff" || format == "png") && size.isValid() &&
        !size.isEmpty() && bytes <= qint64(QImageReader::allocationLimit()) * 1024 * 1024)
        return true;
    error(run.log, QStringLiteral("Error al abrir la imagen ") + photo.sourcePath + notesText());
    return false;
}

bool backUp(const Photo &photo, const Run &run)
{
    FileOperations &files = *run.files;
    const QString backupFolder = QDir(photo.folder).filePath(QStringLiteral("Backup"));
    // A folder that cannot be made shows up as a failed copy, which is reported.
    files.makeFolder(backupFolder);
    const QString backupPath =
        backupPathIn(backupFolder, photo.baseName, photo.suffix,
                     [&files](const QString &path) { return files.isTaken(path); });
    if (files.copy(photo.sourcePath, backupPath)) {
        info(run.log, QStringLiteral("Backup creado: ") + QFileInfo(backupPath).fileName());
        return true;
    }
    error(run.log, QStringLiteral("Error creando backup de ") + photo.fileName);
    return false;
}

// One parse of the untouched file gives the snapshot (the re-encoded image carries no metadata
// of its own), the date and the position.
PhotoMetadata readMetadata(const Photo &photo, const Run &run)
{
    info(run.log, QStringLiteral("Intentando leer EXIF desde (nativo): ") +
                      nativePathText(photo.sourcePath));
    PhotoMetadata found = readPhotoMetadata(photo.sourcePath);
    if (found.outcome == MetadataSnapshot::Outcome::Failed)
        error(run.log, QStringLiteral("Error leyendo metadata original para ") + photo.fileName +
                           QStringLiteral(": ") + found.errorText);
    return found;
}

// The snapshot and the capture date, or the current time when the photo states none.
void takeMetadata(Photo &photo, PhotoMetadata &found, const Run &run)
{
    photo.snapshot = std::move(found.snapshot);
    photo.dateFound = found.dateFound;
    photo.captureDate = found.captureDate;
    photo.captureOffset = found.captureOffset;
    if (!photo.dateFound) {
        photo.captureDate = QDateTime::currentDateTime();
        warning(run.log, QStringLiteral("Fecha de captura no encontrada en metadata para ") +
                             photo.fileName + QStringLiteral(". Usando fecha/hora actual."));
    }
    if (run.orientUpright)
        photo.snapshot.markUpright();
}

TrackPosition askTrack(const Photo &photo, const PhotoMetadata &found, const Run &run)
{
    if (!run.trackLookup)
        return {};
    TrackQuery query;
    query.path = photo.sourcePath;
    query.captureDate = photo.captureDate;
    query.dateFound = photo.dateFound;
    query.dateTag = found.dateTag;
    query.captureOffset = found.captureOffset;
    query.imageDirectionFound = found.imageDirectionFound;
    query.imageDirection = found.imageDirection;
    query.captureTimeFound = found.captureTimeFound;
    query.captureTime = found.captureTime;
    query.captureTimeTag = found.captureTimeTag;
    return run.trackLookup(query);
}

bool isPossiblePosition(double latitude, double longitude)
{
    // Comparisons with NaN are false, so a NaN never passes.
    return std::abs(latitude) <= 90.0 && std::abs(longitude) <= 180.0 &&
           !(latitude == 0.0 && longitude == 0.0);
}

// Without a GPS position in the EXIF the job's track, when it has one, may still give one; the
// photo then goes on as if its EXIF had held it. False when the photo is left untouched for want
// of a position.
bool locateFromExif(Photo &photo, const PhotoMetadata &found, const Run &run)
{
    double latitude = found.latitude;
    double longitude = found.longitude;
    double orientation = found.direction;
    bool orientationKnown = false;
    bool gpsFound = found.gpsFound;
    if (gpsFound && run.safety.rejectImpossiblePositions &&
        !isPossiblePosition(latitude, longitude)) {
        warning(run.log, QStringLiteral("Posición GPS no válida en EXIF para ") + photo.fileName +
                             QStringLiteral(" (Lat: ") + numberText(latitude) +
                             QStringLiteral(", Lon: ") + numberText(longitude) +
                             QStringLiteral("): se toma como ausente."));
        gpsFound = false;
        orientation = 0.0;
    }
    if (gpsFound) {
        photo.source = PositionSource::Exif;
        // A stored heading of exactly 0 cannot be told from a missing one.
        orientationKnown = orientation != 0.0;
    } else {
        const TrackPosition track = askTrack(photo, found, run);
        if (!track.found && run.safety.untouchedWithoutPosition) {
            photo.positionMissing = true;
            photo.reason =
                track.reason.isEmpty() ? QStringLiteral("sin datos GPS en EXIF") : track.reason;
            warning(run.log, (track.logLine.isEmpty()
                                  ? QStringLiteral("Sin posición para ") + photo.fileName +
                                        QStringLiteral(": no hay datos GPS en EXIF.")
                                  : track.logLine) +
                                 QStringLiteral(" No se modifica."));
            return false;
        }
        if (!track.found) {
            warning(run.log, QStringLiteral("Datos GPS no encontrados en EXIF para ") +
                                 photo.fileName + QStringLiteral(". Usando coords fijas."));
            if (!track.logLine.isEmpty())
                warning(run.log, track.logLine);
            return true;
        }
        if (!track.logLine.isEmpty())
            info(run.log, track.logLine);
        latitude = track.latitude;
        longitude = track.longitude;
        orientation = track.direction;
        orientationKnown = track.directionKnown;
        photo.source = PositionSource::Track;
        photo.track = track;
    }
    info(run.log, QStringLiteral("Lat: ") + numberText(latitude) + QStringLiteral(", Lon: ") +
                      numberText(longitude) + QStringLiteral(", Orientación: ") +
                      numberText(orientation));
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
    return true;
}

// False when the photo has no row: its turn ends here, after the backup and the metadata read.
bool locateFromTable(Photo &photo, const Run &run)
{
    auto row = run.table.constEnd();
    if (run.safety.relativePathRows) {
        const QString relative = QDir(run.directory).relativeFilePath(photo.sourcePath);
        row = run.table.constFind(relative);
        if (row == run.table.constEnd() && run.repeatedNames.contains(photo.fileName) &&
            run.table.contains(photo.fileName)) {
            error(run.log, QStringLiteral("Nombre ambiguo en el archivo TXT: ") + photo.fileName +
                               QStringLiteral(" es el nombre de varias fotos; escriba su ruta, "
                                              "por ejemplo ") +
                               relative);
            return false;
        }
    }
    if (row == run.table.constEnd())
        row = run.table.constFind(photo.fileName);
    if (row == run.table.constEnd()) {
        photo.positionMissing = run.safety.untouchedWithoutPosition;
        photo.reason = QStringLiteral("sin fila en el archivo TXT");
        warning(run.log, QStringLiteral("Coordenadas UTM no encontradas en archivo TXT para ") +
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
    info(run.log, line);
    return true;
}

void nameAfterUtm(Photo &photo, const Run &run)
{
    const QString name = utmName(photo.zoneNumber, photo.zoneLetter, photo.easting, photo.northing);
    photo.prefixedName = run.addPrefix ? run.prefix + name : name;
    photo.coordinateText = QStringLiteral("UTM ") + name;
}

void renameToUtm(Photo &photo, const Run &run)
{
    FileOperations &files = *run.files;
    const bool ownNameIsFree = run.safety.ownNameIsFree;
    const QString newName = utmFileName(photo.folder, photo.prefixedName, [&](const QString &path) {
        return !(ownNameIsFree && path == photo.sourcePath) && files.isTaken(path);
    });
    const QString newPath = QDir(photo.folder).filePath(newName);
    if (newPath == photo.sourcePath) {
        info(run.log, QStringLiteral("Ya lleva su nombre UTM: ") + photo.fileName);
        return;
    }
    if (files.rename(photo.sourcePath, newPath)) {
        photo.currentPath = newPath;
        photo.contentPath = files.readablePath(newPath);
        info(run.log,
             QStringLiteral("Renombrado: ") + photo.fileName + QStringLiteral(" a ") + newName);
    } else {
        error(run.log, QStringLiteral("Error renombrando ") + photo.fileName);
    }
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

// False when the file cannot be decoded; the photo's turn then ends without any write.
bool loadAndPaint(const Photo &photo, const Run &run, QImage &image)
{
    LibraryNotes::take();
    const bool loaded = loadPhotoImage(photo.contentPath, run.orientUpright, image);
    const QString notes = notesText();
    if (!loaded) {
        error(run.log, QStringLiteral("Error al abrir la imagen ") + photo.currentPath + notes);
        return false;
    }
    if (!notes.isEmpty())
        warning(run.log, QStringLiteral("Avisos al leer la imagen ") + photo.currentPath + notes);
    paintAnnotations(image, run.logo, run.style, photo.captureDate, photo.coordinateText,
                     photo.orientation, photo.orientationKnown,
                     withSeverity(run.log, Severity::Information));
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

void restoreMetadata(const Photo &photo, QByteArray &encoded, const LogSink &log)
{
    info(log, QStringLiteral("Intentando escribir EXIF a (nativo): ") +
                  nativePathText(photo.currentPath));
    const QString currentName = QFileInfo(photo.currentPath).fileName();
    QString errorText;
    switch (photo.snapshot.restoreInto(encoded, errorText)) {
    case MetadataSnapshot::Outcome::Done:
        info(log, QStringLiteral("Metadatos restaurados para ") + currentName);
        if (photo.snapshot.leavesOutMpf())
            info(log, QStringLiteral("Imágenes MPF descartadas para ") + currentName);
        break;
    case MetadataSnapshot::Outcome::Failed:
        error(log, QStringLiteral("Error restaurando metadatos en ") + currentName +
                       QStringLiteral(": ") + errorText);
        break;
    case MetadataSnapshot::Outcome::NoImage:
        break;
    }
}

// After the restore, so the position lands on top of the photo's own EXIF. False when the bytes
// were left as they were (the reason is logged).
bool writeUtmPosition(const Photo &photo, QByteArray &bytes, const LogSink &log)
{
    return writeUtmToExif(bytes, photo.currentPath, photo.zoneNumber, photo.zoneLetter,
                          photo.easting, photo.northing, photo.orientation, photo.orientationKnown,
                          log);
}

void logUtmWritten(const Photo &photo, const LogSink &log)
{
    info(log, QStringLiteral("Datos UTM escritos en EXIF para ") +
                  QFileInfo(photo.currentPath).fileName());
}

bool writeTrackPosition(const Photo &photo, QByteArray &bytes, QString &errorText)
{
    GpsTags tags;
    tags.latitude = photo.latitude;
    tags.longitude = photo.longitude;
    tags.altitude = photo.track.altitude;
    tags.time = photo.track.utc;
    tags.versionAndDatum = true;
    return writeGpsToExif(bytes, tags, errorText);
}

void logTrackWritten(const Photo &photo, bool written, const QString &errorText, const LogSink &log)
{
    const QString name = QFileInfo(photo.currentPath).fileName();
    if (written)
        info(log, QStringLiteral("Posición GPS escrita en EXIF para ") + name);
    else
        error(log, QStringLiteral("Error escribiendo la posición GPS en EXIF para ") + name +
                       QStringLiteral(": ") + errorText);
}

// After a failed write the positions still go into the photo as it lies on disk, each replacing
// it whole on its own.
void writePositionsIntoFile(const Photo &photo, bool embedUtm, bool embedTrack, const Run &run)
{
    const auto lyingBytes = [&photo](QByteArray &bytes) {
        QFile file(photo.contentPath);
        bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    if (embedUtm) {
        QByteArray bytes;
        lyingBytes(bytes);
        QString errorText;
        if (writeUtmPosition(photo, bytes, run.log) &&
            !run.files->write(photo.currentPath, bytes, errorText))
            error(run.log, QStringLiteral("Error al escribir EXIF en ") + photo.currentPath +
                               QStringLiteral(": ") + errorText);
        logUtmWritten(photo, run.log);
    }
    if (embedTrack) {
        QByteArray bytes;
        lyingBytes(bytes);
        QString errorText;
        const bool written = writeTrackPosition(photo, bytes, errorText) &&
                             run.files->write(photo.currentPath, bytes, errorText);
        logTrackWritten(photo, written, errorText, run.log);
    }
}

// Encodes, puts the metadata into the bytes and writes the photo once. The metadata steps' lines
// are held back until the write has worked: a failed write logs only its own error, and the
// position steps then run on the file as it lies.
void saveWithMetadata(const QImage &painted, const Photo &photo, const Run &run)
{
    QByteArray encoded;
    QString errorText;
    QVector<std::pair<Severity, QString>> held;
    const LogSink hold = [&held](Severity severity, const QString &line) {
        held.append({severity, line});
    };
    const bool embedUtm = !run.useExif && run.embedTxtInExif;
    const bool embedTrack = run.writeTrackToExif && photo.source == PositionSource::Track;
    if (encode(painted, photo, encoded, errorText)) {
        restoreMetadata(photo, encoded, hold);
        if (embedUtm) {
            writeUtmPosition(photo, encoded, hold);
            logUtmWritten(photo, hold);
        }
        if (embedTrack) {
            QString trackError;
            const bool written = writeTrackPosition(photo, encoded, trackError);
            logTrackWritten(photo, written, trackError, hold);
        }
        if (run.files->write(photo.currentPath, encoded, errorText)) {
            for (const auto &[severity, line] : std::as_const(held))
                run.log(severity, line);
            return;
        }
    }
    error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
    writePositionsIntoFile(photo, embedUtm, embedTrack, run);
}

} // namespace

Run startRun(const BatchJob &job, const QStringList &photos, FileOperations &files)
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
    run.trackLookup = job.trackLookup;
    run.writeTrackToExif = job.writeTrackToExif;
    run.files = &files;
    run.log = job.log;
    run.safety = job.safety;
    run.directory = job.directory;
    if (run.safety.relativePathRows) {
        QSet<QString> seen;
        for (const QString &path : photos) {
            const QString name = QFileInfo(path).fileName();
            if (seen.contains(name))
                run.repeatedNames.insert(name);
            seen.insert(name);
        }
    }

    run.logo = loadLogo(job.logoPath, run.log);
    // Every line of the reader reports a row it rejected or a file it could not read.
    if (!job.useExif && !job.txtPath.isEmpty())
        run.table = readCoordinateFile(job.txtPath, withSeverity(run.log, Severity::Error));
    return run;
}

bool preparePhoto(Photo &photo, const QString &listedPath, const Run &run)
{
    describe(photo, listedPath);
    info(run.log, QStringLiteral("\nProcesando: ") + photo.fileName);
    const DataSafety &safety = run.safety;
    if (safety.checkDecodableFirst && !isDecodable(photo, run))
        return false;

    // Read-only steps whose failure leaves the photo untouched come before the first change.
    const bool checksFirst = safety.untouchedWithoutMetadata || safety.untouchedWithoutPosition;
    const auto backUpUnlessFailed = [&] {
        return !run.makeBackup || backUp(photo, run) || !safety.untouchedWithoutBackup;
    };
    if (!checksFirst && !backUpUnlessFailed())
        return false;
    PhotoMetadata found = readMetadata(photo, run);
    if (found.outcome == MetadataSnapshot::Outcome::Failed && safety.untouchedWithoutMetadata)
        return false;
    takeMetadata(photo, found, run);
    if (run.useExif ? !locateFromExif(photo, found, run) : !locateFromTable(photo, run))
        return false;
    if (checksFirst && !backUpUnlessFailed())
        return false;

    nameAfterUtm(photo, run);
    if (run.renameToUtm)
        renameToUtm(photo, run);
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
