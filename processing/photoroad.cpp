// The road of one photo, in the order a run takes it: backup, metadata, position, UTM name and
// rename; then decoding, painting, encoding, the metadata carried over, and one atomic write.
// cartaluz-lote may skip the decoding: a photo with nothing to paint keeps its own bytes, and a
// JPEG can be stamped in its coefficients.
#include "photoroad.h"

#include "librarynotes.h"
#include "losslessjpeg.h"
#include "photonaming.h"
#include "runjournal.h"
#include "sha256.h"
#include "utm.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageIOHandler>
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

// Whether a new file may not be put at path. In a run whose changes come last, the names claimed
// so far and every listed photo's own count as taken whatever the disk says at that moment: the
// workers are changing it, and the names must not depend on how far they are.
bool isTaken(const QString &path, const Run &run)
{
    return (run.claims &&
            (run.claims->claimed.contains(path) || run.claims->listed.contains(path))) ||
           run.files->isTaken(path);
}

QString backupFolderOf(const Photo &photo)
{
    return QDir(photo.folder).filePath(QStringLiteral("Backup"));
}

// The copy into a Backup folder made, when needed, now.
bool copyBackup(Photo &photo, const Run &run)
{
    // A folder that cannot be made shows up as a failed copy, which is reported.
    run.files->makeFolder(backupFolderOf(photo));
    if (run.files->copy(photo.sourcePath, photo.backupPath)) {
        photo.backupMade = true;
        info(run.log, QStringLiteral("Backup creado: ") + QFileInfo(photo.backupPath).fileName());
        return true;
    }
    error(run.log, QStringLiteral("Error creando backup de ") + photo.fileName);
    return false;
}

bool backUp(Photo &photo, const Run &run)
{
    run.files->makeFolder(backupFolderOf(photo));
    photo.backupPath = backupPathIn(backupFolderOf(photo), photo.baseName, photo.suffix,
                                    [&run](const QString &path) { return isTaken(path, run); });
    return copyBackup(photo, run);
}

// With changesLast the backup's name is claimed in listing order and the copy is made on the
// photo's worker, just before its first change.
void claimBackup(Photo &photo, const Run &run)
{
    photo.backupPath = backupPathIn(backupFolderOf(photo), photo.baseName, photo.suffix,
                                    [&run](const QString &path) { return isTaken(path, run); });
    run.claims->claimed.insert(photo.backupPath);
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
    // The heading comes from the photo's own EXIF, with or without its position.
    photo.headingReference = found.directionReference;
    if (gpsFound) {
        photo.source = PositionSource::Exif;
        photo.altitude = found.altitude;
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
        photo.altitude = track.altitude;
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

// With changesLast the new name is only claimed here: the photo's worker renames it once its new
// bytes are ready.
void renameToUtm(Photo &photo, const Run &run)
{
    FileOperations &files = *run.files;
    const bool ownNameIsFree = run.safety.ownNameIsFree;
    const QString newName = utmFileName(photo.folder, photo.prefixedName, [&](const QString &path) {
        return !(ownNameIsFree && path == photo.sourcePath) && isTaken(path, run);
    });
    const QString newPath = QDir(photo.folder).filePath(newName);
    if (newPath == photo.sourcePath) {
        info(run.log, QStringLiteral("Ya lleva su nombre UTM: ") + photo.fileName);
        return;
    }
    if (run.changesLast) {
        run.claims->claimed.insert(newPath);
        photo.currentPath = newPath;
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
bool loadPhotoImage(QIODevice *device, bool upright, QImage &image)
{
    allowLargeImages();
    QImageReader reader(device);
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

// False when the file cannot be decoded; the photo's turn then ends without any write. bytes are
// the file's, when an earlier step has read them already; otherwise the file is read here.
bool loadAndPaint(const Photo &photo, const Run &run, QImage &image, const QByteArray &bytes)
{
    // Where the photo lies now: with changesLast it has not been renamed yet.
    const QString &shownPath = run.changesLast ? photo.sourcePath : photo.currentPath;
    LibraryNotes::take();
    QFile file(photo.contentPath);
    QBuffer buffer;
    buffer.setData(bytes);
    QIODevice *device = bytes.isEmpty() ? static_cast<QIODevice *>(&file) : &buffer;
    const bool loaded =
        device->open(QIODevice::ReadOnly) && loadPhotoImage(device, run.orientUpright, image);
    const QString notes = notesText();
    if (!loaded) {
        error(run.log, QStringLiteral("Error al abrir la imagen ") + shownPath + notes);
        return false;
    }
    if (!notes.isEmpty())
        warning(run.log, QStringLiteral("Avisos al leer la imagen ") + shownPath + notes);
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

bool embedsUtm(const Run &run)
{
    return !run.useExif && run.embedTxtInExif;
}

bool embedsTrack(const Photo &photo, const Run &run)
{
    return run.writeTrackToExif && photo.source == PositionSource::Track;
}

// Puts the metadata into the photo's bytes and writes them once. With restore the bytes are a
// new encoding, which gets the snapshot back first; without it they are the photo's own, already
// carrying its metadata, and are written only when a position changed them. The metadata steps'
// lines are held back until the write has worked: a failed write logs only its own error, and the
// position steps then run on the file as it lies.
using HeldLines = QVector<std::pair<Severity, QString>>;

void logHeld(const HeldLines &held, const Run &run)
{
    for (const auto &[severity, line] : held)
        run.log(severity, line);
}

// Puts what a photo's journal line needs to know on disk before the photo changes. False when it
// cannot: the photo is then left as it is.
bool journalPlan(Photo &photo, const Run &run, const QByteArray &bytes, bool changed)
{
    if (photo.sha256Original.isEmpty())
        photo.sha256Original = fileSha256Hex(photo.sourcePath);
    photo.sha256Backup = photo.backupMade ? fileSha256Hex(photo.backupPath) : QByteArray();
    photo.sha256Written = changed ? sha256Hex(bytes) : photo.sha256Original;
    QString errorText = QStringLiteral("no se puede leer la foto");
    const JournalPlan plan{photo.sourcePath,   photo.backupMade ? photo.backupPath : QString(),
                           photo.currentPath,  photo.sha256Original,
                           photo.sha256Backup, photo.sha256Written};
    if (!photo.sha256Original.isEmpty() && (!photo.backupMade || !photo.sha256Backup.isEmpty()) &&
        run.journal->plan(plan, errorText))
        return true;
    error(run.log, QStringLiteral("Error escribiendo el diario para ") + photo.fileName +
                       QStringLiteral(": ") + errorText);
    return false;
}

// With changesLast, every change to the photo's files, once its new bytes are ready: the backup
// copy, the journal's plan, the rename and the write. A failed step leaves the photo as it was
// (a failed write renames it back); leftUntouched then says so.
void commitChanges(const QByteArray &bytes, bool changed, const HeldLines &held, Photo &photo,
                   const Run &run)
{
    FileOperations &files = *run.files;
    const auto leaveUntouched = [&photo] {
        photo.leftUntouched = true;
        photo.currentPath = photo.sourcePath;
        photo.sha256Written.clear();
    };
    if ((run.makeBackup && !copyBackup(photo, run)) ||
        (run.journal && !journalPlan(photo, run, bytes, changed)))
        return leaveUntouched();
    const QString newName = QFileInfo(photo.currentPath).fileName();
    const bool renames = photo.currentPath != photo.sourcePath;
    if (renames) {
        if (!files.rename(photo.sourcePath, photo.currentPath)) {
            error(run.log, QStringLiteral("Error renombrando ") + photo.fileName);
            return leaveUntouched();
        }
        info(run.log,
             QStringLiteral("Renombrado: ") + photo.fileName + QStringLiteral(" a ") + newName);
    }
    QString errorText;
    if (!changed || files.write(photo.currentPath, bytes, errorText))
        return logHeld(held, run);
    error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
    if (!renames)
        return leaveUntouched();
    if (files.rename(photo.currentPath, photo.sourcePath)) {
        info(run.log, QStringLiteral("Nombre devuelto: ") + newName + QStringLiteral(" a ") +
                          photo.fileName);
        return leaveUntouched();
    }
    // Its bytes are still the original's, under the new name.
    photo.leftUntouched = true;
    photo.sha256Written = photo.sha256Original;
    error(run.log, QStringLiteral("Error devolviendo su nombre a ") + photo.fileName +
                       QStringLiteral(": queda como ") + newName);
}

void writeWithMetadata(QByteArray bytes, bool restore, Photo &photo, const Run &run)
{
    HeldLines held;
    const LogSink hold = [&held](Severity severity, const QString &line) {
        held.append({severity, line});
    };
    bool changed = restore;
    if (restore)
        restoreMetadata(photo, bytes, hold);
    if (embedsUtm(run)) {
        changed = writeUtmPosition(photo, bytes, hold) || changed;
        logUtmWritten(photo, hold);
    }
    if (embedsTrack(photo, run)) {
        QString trackError;
        const bool written = writeTrackPosition(photo, bytes, trackError);
        changed = changed || written;
        logTrackWritten(photo, written, trackError, hold);
    }
    if (!run.history.softwareAgent.isEmpty()) {
        QString historyError;
        if (appendHistoryEntry(bytes, run.history, historyError))
            changed = true;
        else
            warning(hold, QStringLiteral("No se pudo anotar el historial XMP de ") +
                              QFileInfo(photo.currentPath).fileName() + QStringLiteral(": ") +
                              historyError);
    }
    if (run.changesLast)
        return commitChanges(bytes, changed, held, photo, run);
    QString errorText;
    if (!changed || run.files->write(photo.currentPath, bytes, errorText))
        return logHeld(held, run);
    error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
    writePositionsIntoFile(photo, embedsUtm(run), embedsTrack(photo, run), run);
}

void saveWithMetadata(const QImage &painted, Photo &photo, const Run &run)
{
    QByteArray encoded;
    QString errorText;
    if (encode(painted, photo, encoded, errorText)) {
        writeWithMetadata(std::move(encoded), true, photo, run);
        return;
    }
    error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
    if (run.changesLast) {
        photo.leftUntouched = true;
        photo.currentPath = photo.sourcePath;
        return;
    }
    writePositionsIntoFile(photo, embedsUtm(run), embedsTrack(photo, run), run);
}

// A photo's file as it lies, with what the road needs to know before keeping its image data.
struct OwnBytes
{
    QByteArray bytes;
    QByteArray format;       // by content: "jpeg", "tiff", "png", or anything else
    bool formatKept = false; // its current name asks for the format it has
    int orientation = 1;     // the EXIF orientation the decoder would apply
};

// The EXIF orientation (1–8) of the decoder's transformation.
int exifOrientation(QImageIOHandler::Transformations transformation)
{
    using T = QImageIOHandler::Transformation;
    const QImageIOHandler::Transformations byTag[] = {T::TransformationNone,
                                                      T::TransformationMirror,
                                                      T::TransformationRotate180,
                                                      T::TransformationFlip,
                                                      T::TransformationFlipAndRotate90,
                                                      T::TransformationRotate90,
                                                      T::TransformationMirrorAndRotate90,
                                                      T::TransformationRotate270};
    for (int tag = 1; tag <= 8; ++tag) {
        if (byTag[tag - 1] == transformation)
            return tag;
    }
    return 1;
}

// With a journal the digest of the original is taken from these bytes, not from a second read.
void readOwnBytes(Photo &photo, const Run &run, OwnBytes &own)
{
    QFile file(photo.contentPath);
    if (!file.open(QIODevice::ReadOnly))
        return;
    own.bytes = file.readAll();
    if (run.journal)
        photo.sha256Original = sha256Hex(own.bytes);
    QBuffer buffer(&own.bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    own.format = reader.format();
    own.orientation = exifOrientation(reader.transformation());
    // The encoder takes its format from the suffix (see encode).
    const QByteArray wanted = QFileInfo(photo.currentPath).suffix().toLower().toUtf8();
    own.formatKept = !own.format.isEmpty() && own.format == (wanted == "jpg" ? "jpeg" : wanted);
}

// Always false: the photo goes on to the decoder.
bool fallBack(const Photo &photo, const QString &reason, const Run &run)
{
    warning(run.log, QStringLiteral("No se puede estampar sin pérdidas ") +
                         QFileInfo(photo.currentPath).fileName() + QStringLiteral(" (") + reason +
                         QStringLiteral("); se recodifica."));
    return false;
}

// The stamps painted on a layer of the photo's size (upright under orientUpright, then turned
// into the stored orientation) and put into its coefficients. False when the photo must be
// decoded after all; the painting's lines are then left to the decoded road.
bool stampLosslessly(const OwnBytes &own, Photo &photo, const Run &run)
{
    const losslessjpeg::Probe header = losslessjpeg::probe(own.bytes);
    if (header.outcome != losslessjpeg::Outcome::Done)
        return fallBack(photo, header.message, run);
    QSize size = header.storedSize;
    if (run.orientUpright && own.orientation >= 5)
        size.transpose();
    QImage layer = losslessjpeg::transparentLayer(size);
    QVector<std::pair<Severity, QString>> held;
    const LogSink hold = [&held](Severity severity, const QString &line) {
        held.append({severity, line});
    };
    if (!layer.isNull()) {
        paintAnnotations(layer, run.logo, run.style, photo.captureDate, photo.coordinateText,
                         photo.orientation, photo.orientationKnown,
                         withSeverity(hold, Severity::Information));
        if (run.orientUpright)
            layer = losslessjpeg::toStoredOrientation(layer, own.orientation);
    }
    if (layer.isNull())
        return fallBack(photo, QStringLiteral("sin memoria para la capa"), run);
    const losslessjpeg::Result stamped = losslessjpeg::stamp(own.bytes, layer);
    if (stamped.outcome != losslessjpeg::Outcome::Done)
        return fallBack(photo, stamped.message, run);
    logHeld(held, run);
    info(run.log, QStringLiteral("Estampado sin pérdidas en %1: %2 de %3 bloques recodificados.")
                      .arg(QFileInfo(photo.currentPath).fileName())
                      .arg(stamped.blocksReencoded)
                      .arg(stamped.blocksTotal));
    writeWithMetadata(stamped.jpeg, true, photo, run);
    return true;
}

// True when the photo was written from its own bytes, not decoded: nothing is painted on it, or
// it was stamped losslessly. Only the decoder turns pixels upright, so under orientUpright a
// photo stored turned keeps its bytes only on the lossless road, which keeps its orientation.
// own holds the file's bytes when they were read, for the decoder to take on a fallback.
bool keepImageData(Photo &photo, const Run &run, OwnBytes &own)
{
    const bool paints = paintsAnything(run.logo, run.style, photo.orientationKnown);
    if (!run.lossless && (paints || !run.metadataOnlyWrites))
        return false;
    readOwnBytes(photo, run, own);
    const bool photoFormat = own.format == "jpeg" || own.format == "tiff" || own.format == "png";
    if (!photoFormat)
        return false; // the decoder reports it
    if (!own.formatKept)
        return run.lossless &&
               fallBack(photo,
                        own.format == "jpeg" ? QStringLiteral("su nombre pide otro formato")
                                             : QStringLiteral("no es un JPEG"),
                        run);
    if (!paints && run.metadataOnlyWrites &&
        (run.lossless || !run.orientUpright || own.orientation == 1)) {
        info(run.log, QStringLiteral("Nada que dibujar en ") +
                          QFileInfo(photo.currentPath).fileName() +
                          QStringLiteral(": imagen conservada sin recodificar."));
        writeWithMetadata(own.bytes, false, photo, run);
        return true;
    }
    if (!run.lossless)
        return false;
    if (own.format != "jpeg")
        return fallBack(photo, QStringLiteral("no es un JPEG"), run);
    return stampLosslessly(own, photo, run);
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
    run.metadataOnlyWrites = job.metadataOnlyWrites;
    run.lossless = job.lossless;
    run.files = &files;
    run.log = job.log;
    run.safety = job.safety;
    run.directory = job.directory;
    run.changesLast = job.safety.changesLast;
    if (run.changesLast) {
        run.claims = std::make_shared<NameClaims>();
        for (const QString &path : photos)
            run.claims->listed.insert(QFileInfo(path).absoluteFilePath());
    }
    run.history = job.history;
    run.skipProcessed = job.skipProcessed;
    // The journal's plan comes between the backup and the first change, which only a run whose
    // changes come last keeps together.
    run.journal = run.changesLast && !job.dryRun ? job.journal : nullptr;
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
        if (run.makeBackup && run.changesLast)
            claimBackup(photo, run);
        return !run.makeBackup || run.changesLast || backUp(photo, run) ||
               !safety.untouchedWithoutBackup;
    };
    if (!checksFirst && !backUpUnlessFailed())
        return false;
    PhotoMetadata found = readMetadata(photo, run);
    if (found.outcome == MetadataSnapshot::Outcome::Failed && safety.untouchedWithoutMetadata)
        return false;
    if (run.skipProcessed && found.processedByCartaluz) {
        photo.reason = QStringLiteral("ya procesada");
        info(run.log, QStringLiteral("Ya procesada por Cartaluz el ") +
                          found.processedWhen.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")) +
                          QStringLiteral(": ") + photo.fileName);
        return false;
    }
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

bool finishPhoto(Photo &photo, const Run &run, QImage &image)
{
    OwnBytes own;
    if (keepImageData(photo, run, own))
        return !photo.leftUntouched;
    // The journal needs the original's digest: one read serves it and the decoder.
    if (run.journal && own.bytes.isEmpty())
        readOwnBytes(photo, run, own);
    // Only decoded pixels are turned upright, so only then do the tags say so.
    if (run.orientUpright)
        photo.snapshot.markUpright();
    if (!loadAndPaint(photo, run, image, own.bytes)) {
        // With changesLast nothing has changed yet: the claimed name was never taken.
        if (run.changesLast)
            photo.currentPath = photo.sourcePath;
        return false;
    }
    saveWithMetadata(image, photo, run);
    return !photo.leftUntouched;
}

} // namespace photoroad
