// The plan of one photo, in the order a run takes it: the backup (or its name), the bytes and the
// metadata, the position, the UTM name, and what becomes of the image data.
#include "photoplan.h"

#include "exiforientation.h"
#include "heifimage.h"
#include "photocommit.h"
#include "photonaming.h"
#include "roadlines.h"
#include "runjournal.h"
#include "sha256.h"
#include "utm.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QImageIOHandler>
#include <QImageReader>

#include <cmath>
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

void describe(Photo &photo, const QString &listedPath, const Run &run)
{
    const QFileInfo info(listedPath);
    photo.sourcePath = info.absoluteFilePath();
    photo.fileName = info.fileName();
    photo.folder = info.absolutePath();
    // A script keeps every dot of the name in its backup's (obra.1.jpg, obra.2.jpg).
    photo.baseName = run.script ? info.completeBaseName() : info.baseName();
    photo.suffix = info.suffix();
    photo.currentPath = photo.sourcePath;
    photo.lyingAt = photo.sourcePath;
}

// A link may lead outside the folder, and a name that does not survive the round trip through
// the system's encoding cannot be opened again: both are listed with one line and left alone.
bool isRefused(Photo &photo, const Run &run)
{
    const QString shown = QDir(run.directory).relativeFilePath(photo.sourcePath);
    if (run.files->isLink(photo.sourcePath)) {
        photo.reason = QStringLiteral("enlace simbólico");
        warning(run.log, QFileInfo(photo.sourcePath).isDir()
                             ? QStringLiteral("Carpeta enlazada no recorrida: ") + shown +
                                   QStringLiteral(" (sus fotos quedan como están).")
                             : QStringLiteral("Enlace simbólico omitido: ") + shown +
                                   QStringLiteral(" (no se modifica)."));
        return true;
    }
    // A byte the system's encoding does not take was read as U+FFFD, which names another file.
    if (photo.fileName.contains(QChar::ReplacementCharacter) &&
        !run.files->exists(photo.sourcePath)) {
        photo.reason = QStringLiteral("nombre no válido");
        warning(run.log, QStringLiteral("Nombre de archivo no válido en UTF-8 omitido: ") + shown +
                             QStringLiteral(" (no se modifica; cámbiele el nombre)."));
        return true;
    }
    return false;
}

// A header read is enough to tell a photo the decoder will take from a clip, a text or a
// truncated header wearing a photo's name; it also gives the format by content and the
// orientation the decoder would apply.
bool readHeader(Photo &photo, const Run &run)
{
    if (heifimage::isHeif(photo.bytes)) {
        const heifimage::Probe probe = heifimage::probe(photo.bytes);
        if (!probe.decodable) {
            error(run.log, QStringLiteral("Error al abrir la imagen ") + photo.sourcePath +
                               QStringLiteral(" (HEIF: ") + probe.errorText + QStringLiteral(")"));
            return false;
        }
        photo.format = "heif";
        photo.heif = true;
        photo.heifLeftOut = probe.leftOut;
        // Its rotation boxes are applied by the decoder: the JPEG is upright.
        photo.storedOrientation = 1;
        if (run.makeBackup)
            return true;
        // The JPEG takes the HEIF's place, so the HEIF's only copy is its backup.
        error(run.log, QStringLiteral("No se convierte ") + photo.fileName +
                           QStringLiteral(" a JPEG sin backup (quite --sin-backup)."));
        return false;
    }
    allowLargeImages();
    LibraryNotes::take();
    QBuffer buffer(&photo.bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    photo.format = reader.format();
    photo.storedOrientation = exiforientation::tagOf(reader.transformation());
    const QSize size = reader.size();
    const qint64 bytes = qint64(size.width()) * size.height() * 4;
    const QByteArray &format = photo.format;
    if ((format == "jpeg" || format == "tiff" || format == "png") && size.isValid() &&
        !size.isEmpty() && bytes <= qint64(QImageReader::allocationLimit()) * 1024 * 1024)
        return true;
    error(run.log, QStringLiteral("Error al abrir la imagen ") + photo.sourcePath + notesText());
    return false;
}

// One parse of the bytes gives the snapshot (the re-encoded image carries no metadata of its
// own), the date and the position.
PhotoMetadata readMetadata(const Photo &photo, const Run &run)
{
    info(run.log, QStringLiteral("Intentando leer EXIF desde (nativo): ") +
                      nativePathText(photo.sourcePath));
    PhotoMetadata found = readPhotoMetadata(photo.bytes, photo.sourcePath);
    if (found.outcome == MetadataSnapshot::Outcome::Failed)
        error(run.log, QStringLiteral("Error leyendo metadata original para ") + photo.fileName +
                           QStringLiteral(": ") + found.errorText);
    return found;
}

// Stamped by an earlier run: its XMP history says so, or it still holds bytes an earlier run's
// journal recorded as written (a photo whose history entry could not be written).
bool isProcessed(Photo &photo, const PhotoMetadata &found, const Run &run)
{
    std::optional<QDateTime> when;
    if (found.processedByCartaluz)
        when = found.processedWhen;
    else if (run.earlierWrites)
        when = run.earlierWrites->writtenBy(photo.bytes);
    if (!when)
        return false;
    photo.reason = QStringLiteral("ya procesada");
    info(run.log, QStringLiteral("Ya procesada por Cartaluz el ") +
                      when->toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")) + QStringLiteral(": ") +
                      photo.fileName);
    return true;
}

// The snapshot and the capture date, or the current time when the photo states none.
void takeMetadata(Photo &photo, PhotoMetadata &found, const Run &run)
{
    photo.snapshot = std::move(found.snapshot);
    photo.dateFound = found.dateFound;
    photo.captureDate = found.captureDate;
    photo.captureOffset = found.captureOffset;
    photo.description = found.description;
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

// Under the script's rules a photo without a position is left as it is, unless the fixed
// position was asked for.
bool untouchedWithoutPosition(const Run &run)
{
    return run.script && !run.fixedPositionWhenMissing;
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
    // A script reads the position however the camera stored it; the window keeps its reader.
    const GpsReading &tolerant = found.tolerantGps;
    if (run.script) {
        gpsFound = tolerant.found;
        latitude = tolerant.latitude;
        longitude = tolerant.longitude;
        orientation = tolerant.directionFound ? tolerant.direction : 0.0;
    }
    // A position that is none would give names such as "-2147483647E nan nan.jpg".
    if (gpsFound && run.script && !isPossiblePosition(latitude, longitude)) {
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
        if (!track.found && untouchedWithoutPosition(run)) {
            photo.positionMissing = true;
            const QString gpsReason = tolerant.reason.isEmpty()
                                          ? QStringLiteral("sin datos GPS en EXIF")
                                          : tolerant.reason;
            photo.reason = track.reason.isEmpty() ? gpsReason : track.reason;
            warning(run.log,
                    (track.logLine.isEmpty()
                         ? QStringLiteral("Sin posición para ") + photo.fileName +
                               (tolerant.reason.isEmpty()
                                    ? QStringLiteral(": no hay datos GPS en EXIF.")
                                    : QStringLiteral(": ") + tolerant.reason + QStringLiteral("."))
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
        photo.positioningErrorMetres = track.errorMetres;
    }
    QString notes; // what a script's crew should know of where the position came from
    if (run.script && photo.source == PositionSource::Exif) {
        // The heading's reference next to the heading.
        if (tolerant.directionFound && tolerant.directionMagnetic)
            notes += QStringLiteral(", rumbo magnético");
        if (tolerant.fromXmp)
            notes += QStringLiteral(", posición de XMP");
        photo.positioningErrorMetres = tolerant.positioningErrorMetres;
    }
    // The camera's stated error, or the accuracy the track states for its fixes.
    if (run.script && photo.positioningErrorMetres)
        notes += QStringLiteral(", error ±") + numberText(*photo.positioningErrorMetres) +
                 QStringLiteral(" m");
    info(run.log, QStringLiteral("Lat: ") + numberText(latitude) + QStringLiteral(", Lon: ") +
                      numberText(longitude) + QStringLiteral(", Orientación: ") +
                      numberText(orientation) + notes);
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
// A script's rows may name a path relative to the folder, which wins over a bare name; a bare
// name shared by several listed photos places none of them.
bool locateFromTable(Photo &photo, const Run &run)
{
    auto row = run.table.constEnd();
    if (run.script) {
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
        photo.positionMissing = untouchedWithoutPosition(run);
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

// The suffix of the photo's new name: ".jpg", or, for a PNG or TIFF that keeps its format, its
// own in lower case (a TIFF's "tif" or "tiff" as it had).
QString newSuffix(const Photo &photo, const Run &run)
{
    if (!run.keepFormat || (photo.format != "png" && photo.format != "tiff"))
        return QStringLiteral("jpg");
    if (photo.format == "png")
        return QStringLiteral("png");
    return photo.suffix.toLower() == QLatin1String("tiff") ? QStringLiteral("tiff")
                                                           : QStringLiteral("tif");
}

// A script lets a photo already named after its position keep its name instead of "(1)".
void renameToUtm(Photo &photo, const Run &run)
{
    const QString newName = utmFileName(
        photo.folder, photo.prefixedName,
        [&](const QString &path) {
            return !(run.script && path == photo.sourcePath) && isTaken(path, run);
        },
        newSuffix(photo, run));
    const QString newPath = QDir(photo.folder).filePath(newName);
    if (newPath == photo.sourcePath) {
        info(run.log, QStringLiteral("Ya lleva su nombre UTM: ") + photo.fileName);
        return;
    }
    run.commit->rename(photo, newPath, run);
}

// A HEIF photo becomes a JPEG: a name of its own with ".jpg" unless the UTM name gave one already.
// Never JPEG bytes under a HEIF name.
void nameAsJpeg(Photo &photo, const Run &run)
{
    if (QFileInfo(photo.currentPath).suffix() == QLatin1String("jpg"))
        return;
    const QString newName = utmFileName(photo.folder, photo.baseName,
                                        [&](const QString &path) { return isTaken(path, run); });
    run.commit->rename(photo, QDir(photo.folder).filePath(newName), run);
}

// Always Decode: the photo goes on to the decoder, with a line saying why.
Treatment fallBack(const Photo &photo, const QString &reason, const Run &run)
{
    warning(run.log, QStringLiteral("No se puede estampar sin pérdidas ") +
                         QFileInfo(photo.currentPath).fileName() + QStringLiteral(" (") + reason +
                         QStringLiteral("); se recodifica."));
    return Treatment::Decode;
}

// A photo on which nothing is painted keeps its own bytes, and a JPEG may be stamped in its
// coefficients. Only the decoder turns pixels upright, so under orientUpright a photo stored
// turned keeps its bytes only on the lossless road, which keeps its orientation.
Treatment treatmentOf(const Photo &photo, const Run &run)
{
    if (photo.heif) {
        info(run.log, QStringLiteral("HEIF a JPEG: ") + photo.fileName + QStringLiteral(" a ") +
                          QFileInfo(photo.currentPath).fileName());
        if (photo.heifLeftOut > 0)
            info(run.log, QStringLiteral("Mapas de profundidad, imágenes auxiliares y miniaturas "
                                         "de ") +
                              photo.fileName + QStringLiteral(" no pasan al JPEG."));
        return Treatment::Decode;
    }
    const bool paints = paintsAnything(run.logo, run.style, photo.orientationKnown);
    if (!run.lossless && (paints || !run.metadataOnlyWrites))
        return Treatment::Decode;
    const QByteArray &format = photo.format;
    if (format != "jpeg" && format != "tiff" && format != "png")
        return Treatment::Decode; // the decoder reports it
    // The encoder takes its format from the suffix.
    const QByteArray wanted = QFileInfo(photo.currentPath).suffix().toLower().toUtf8();
    if (format != (wanted == "jpg" ? "jpeg" : wanted == "tif" ? "tiff" : wanted))
        return run.lossless
                   ? fallBack(photo,
                              format == "jpeg" ? QStringLiteral("su nombre pide otro formato")
                                               : QStringLiteral("no es un JPEG"),
                              run)
                   : Treatment::Decode;
    if (!paints && run.metadataOnlyWrites &&
        (run.lossless || !run.orientUpright || photo.storedOrientation == 1)) {
        info(run.log, QStringLiteral("Nada que dibujar en ") +
                          QFileInfo(photo.currentPath).fileName() +
                          QStringLiteral(": imagen conservada sin recodificar."));
        return Treatment::KeepData;
    }
    if (!run.lossless)
        return Treatment::Decode;
    if (format != "jpeg")
        return fallBack(photo, QStringLiteral("no es un JPEG"), run);
    return Treatment::Lossless;
}

} // namespace

bool isTaken(const QString &path, const Run &run)
{
    return run.commit->isTaken(path, run);
}

Run startRun(const BatchJob &job, const QStringList &photos, FileOperations &files)
{
    Run run;
    run.script = job.policy == RunPolicy::Script;
    run.useExif = job.useExif;
    run.renameToUtm = job.renameToUtm;
    run.addPrefix = job.addPrefix;
    run.prefix = job.prefix;
    run.embedTxtInExif = job.embedTxtInExif;
    run.makeBackup = job.makeBackup;
    run.orientUpright = job.orientUpright;
    run.fixedPositionWhenMissing = job.fixedPositionWhenMissing;
    run.style = job.style;
    run.templates = job.templates;
    run.trackLookup = job.trackLookup;
    run.writeTrackToExif = job.writeTrackToExif;
    run.metadataOnlyWrites = job.metadataOnlyWrites;
    run.lossless = job.lossless;
    if (!job.dryRun)
        run.stampedPictures = job.stampedPictures;
    run.stampedPictureSide = job.stampedPictureSide;
    run.quality = job.quality;
    run.keepFormat = run.script && job.keepFormat;
    run.files = &files;
    run.log = job.log;
    run.directory = job.directory;
    run.history = job.history;
    run.skipProcessed = job.skipProcessed;
    run.journal = run.script && !job.dryRun ? job.journal : nullptr;
    run.journalled = job.journalled;
    run.earlierWrites = job.earlierWrites;
    if (run.script) {
        readHeifMetadata();
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
    if (!job.useExif && job.table)
        run.table = *job.table;
    else if (!job.useExif && !job.txtPath.isEmpty())
        run.table = readCoordinateFile(job.txtPath, withSeverity(run.log, Severity::Error));
    return run;
}

bool planPhoto(Photo &photo, const QString &listedPath, const Run &run)
{
    photo.treatment = Treatment::Skip;
    describe(photo, listedPath, run);
    if (run.script && isRefused(photo, run))
        return false;
    info(run.log, QStringLiteral("\nProcesando: ") + photo.fileName);
    if (!run.commit->beforeReading(photo, run))
        return false;
    QString readError;
    photo.bytes = run.files->read(photo.sourcePath, readError);
    // A script checks everything it can before the first change.
    if (run.script && !readHeader(photo, run))
        return false;
    PhotoMetadata found = readMetadata(photo, run);
    if (found.outcome == MetadataSnapshot::Outcome::Failed && run.script)
        return false;
    if (run.skipProcessed && isProcessed(photo, found, run))
        return false;
    takeMetadata(photo, found, run);
    if (run.useExif ? !locateFromExif(photo, found, run) : !locateFromTable(photo, run))
        return false;
    if (!run.commit->afterChecks(photo, run))
        return false;

    nameAfterUtm(photo, run);
    if (run.renameToUtm)
        renameToUtm(photo, run);
    if (photo.heif)
        nameAsJpeg(photo, run);
    stampLines(photo, run);
    photo.treatment = treatmentOf(photo, run);
    return true;
}

} // namespace photoroad
