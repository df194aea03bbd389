// Decoding, painting and encoding a photo, or stamping it in its coefficients, and the metadata
// it carries: everything in memory, on the photo's worker.
#include "photorender.h"

#include "heifimage.h"
#include "losslessjpeg.h"
#include "photoannotation.h"
#include "roadlines.h"
#include "utm.h"

#include <QBuffer>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>

#include <cmath>
#include <optional>
#include <utility>

namespace photoroad {

namespace {

QString nativePathText(const QString &path)
{
    return QString::fromStdString(qPathToNativeStdString(path));
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

// False when the photo's bytes cannot be decoded; the photo's turn then ends without any write.
bool loadAndPaint(const Photo &photo, const Run &run, QImage &image)
{
    LibraryNotes::take();
    bool loaded = false;
    QString notes;
    if (photo.heif) {
        QString errorText;
        image = heifimage::decode(photo.bytes, errorText);
        loaded = !image.isNull();
        if (!loaded)
            notes = QStringLiteral(" (HEIF: ") + errorText + QStringLiteral(")");
    } else {
        QByteArray bytes = photo.bytes;
        QBuffer buffer(&bytes);
        loaded =
            buffer.open(QIODevice::ReadOnly) && loadPhotoImage(&buffer, run.orientUpright, image);
        notes = notesText();
    }
    if (!loaded) {
        error(run.log, QStringLiteral("Error al abrir la imagen ") + photo.lyingAt + notes);
        return false;
    }
    if (!notes.isEmpty())
        warning(run.log, QStringLiteral("Avisos al leer la imagen ") + photo.lyingAt + notes);
    paintAnnotations(image, run.logo, run.style, photo.stampText, photo.orientation,
                     photo.orientationKnown, withSeverity(run.log, Severity::Information));
    return true;
}

// The painted picture, encoded as the suffix says, into memory; the metadata steps then work on
// these bytes and the photo is written once. False with the writer's text on failure.
bool encode(const QImage &image, const Photo &photo, int quality, QByteArray &encoded,
            QString &errorText)
{
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer;
    writer.setDevice(&buffer);
    // The format follows the suffix, so a photo renamed to ".jpg" becomes a JPEG.
    writer.setFormat(QFileInfo(photo.currentPath).suffix().toUtf8());
    writer.setQuality(quality);
    if (writer.format().toLower() == "png")
        writer.setCompression(0);
    if (writer.write(image))
        return true;
    errorText = writer.errorString();
    encoded.clear();
    return false;
}

// The tags a run's position puts into the photo: the UTM position of a coordinate row as
// latitude and longitude with the heading when known, or a track's position with its height and
// time; none when the position stays as the photo has it.
std::optional<GpsTags> gpsTagsOf(const Photo &photo, const Run &run)
{
    GpsTags tags;
    if (embedsUtm(run)) {
        const GeoPosition position =
            utmToLatLon(photo.zoneNumber, photo.zoneLetter, photo.easting, photo.northing);
        tags.latitude = position.latitude;
        tags.longitude = position.longitude;
        if (photo.orientationKnown)
            tags.direction = photo.orientation;
        return tags;
    }
    if (!embedsTrack(photo, run))
        return std::nullopt;
    tags.latitude = photo.latitude;
    tags.longitude = photo.longitude;
    tags.altitude = photo.track.altitude;
    tags.time = photo.track.utc;
    tags.versionAndDatum = true;
    return tags;
}

void logRestore(const Photo &photo, const MetadataWrite &written, const LogSink &log)
{
    const QString currentName = QFileInfo(photo.currentPath).fileName();
    switch (written.restore) {
    case MetadataSnapshot::Outcome::Done:
        info(log, QStringLiteral("Metadatos restaurados para ") + currentName);
        if (photo.snapshot.leavesOutMpf())
            info(log, QStringLiteral("Imágenes MPF descartadas para ") + currentName);
        break;
    case MetadataSnapshot::Outcome::Failed:
        error(log, QStringLiteral("Error restaurando metadatos en ") + currentName +
                       QStringLiteral(": ") + written.restoreError);
        break;
    case MetadataSnapshot::Outcome::NoImage:
        break;
    }
}

// A coordinate row's position written, as the lines tell it.
void logUtmAttempt(const Photo &photo, const GpsWrite &written, const LogSink &log)
{
    const QString &path = photo.currentPath;
    info(log, QStringLiteral("Intentando escribir UTM EXIF en (nativo): ") + nativePathText(path));
    if (written.outcome == MetadataSnapshot::Outcome::NoImage)
        error(log, QStringLiteral("Error al abrir la imagen para escribir EXIF: ") + path);
    if (written.exifWasEmpty)
        info(log, QStringLiteral("No hay metadata EXIF para escribir en ") + path +
                      QStringLiteral(". Se creará."));
    if (written.outcome == MetadataSnapshot::Outcome::Failed)
        error(log, QStringLiteral("Error al escribir EXIF en ") + path + QStringLiteral(": ") +
                       written.errorText);
}

// Puts the metadata into the photo's bytes, in one step from the photo's one parse. With restore
// the bytes are a new encoding, which gets the snapshot back; without it they are the photo's
// own, already carrying its metadata, and change only where a position or the history does. The
// lines wait in rendered.held, in the order the steps are told.
void addMetadata(QByteArray bytes, bool restore, const Photo &photo, const Run &run,
                 Rendered &rendered)
{
    const LogSink hold = holdInto(rendered.held);
    if (restore)
        info(hold, QStringLiteral("Intentando escribir EXIF a (nativo): ") +
                       nativePathText(photo.currentPath));
    std::optional<GpsTags> gps = gpsTagsOf(photo, run);
    QString gpsError;
    // A track position that is no number never reaches the tags.
    if (gps && !std::isfinite(gps->latitude + gps->longitude)) {
        gps.reset();
        gpsError = QStringLiteral("posición no válida");
    }
    const bool history = !run.history.softwareAgent.isEmpty();
    const MetadataWrite written = photo.snapshot.writeInto(bytes, restore, gps ? &*gps : nullptr,
                                                           history ? &run.history : nullptr);
    if (restore)
        logRestore(photo, written, hold);
    const bool gpsWritten = gps && written.gps.outcome == MetadataSnapshot::Outcome::Done;
    if (embedsUtm(run)) {
        logUtmAttempt(photo, written.gps, hold);
        logUtmWritten(photo, hold);
    } else if (embedsTrack(photo, run))
        logTrackWritten(photo, gpsWritten,
                        gpsError.isEmpty()
                            ? (written.gps.outcome == MetadataSnapshot::Outcome::NoImage
                                   ? QStringLiteral("no es una imagen")
                                   : written.gps.errorText)
                            : gpsError,
                        hold);
    if (history && !written.historyWritten)
        // Without a journal nothing else will tell a later run that this photo is stamped.
        warning(hold, QStringLiteral("No se pudo anotar el historial XMP de ") +
                          QFileInfo(photo.currentPath).fileName() + QStringLiteral(": ") +
                          written.historyError +
                          (run.journalled ? QString()
                                          : QStringLiteral(". Sin diario, una nueva ejecución "
                                                           "la estamparía otra vez")));
    rendered.bytes = std::move(bytes);
    rendered.changed = restore || gpsWritten || written.historyWritten;
}

// False: the photo goes on to the decoder, with a line saying why.
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
bool stampLosslessly(Photo &photo, const Run &run, Rendered &rendered)
{
    const losslessjpeg::Probe header = losslessjpeg::probe(photo.bytes);
    if (header.outcome != losslessjpeg::Outcome::Done)
        return fallBack(photo, header.message, run);
    QSize size = header.storedSize;
    if (run.orientUpright && photo.storedOrientation >= 5)
        size.transpose();
    QImage layer = losslessjpeg::transparentLayer(size);
    HeldLines held;
    if (!layer.isNull()) {
        paintAnnotations(layer, run.logo, run.style, photo.stampText, photo.orientation,
                         photo.orientationKnown,
                         withSeverity(holdInto(held), Severity::Information));
        if (run.orientUpright)
            layer = losslessjpeg::toStoredOrientation(layer, photo.storedOrientation);
    }
    if (layer.isNull())
        return fallBack(photo, QStringLiteral("sin memoria para la capa"), run);
    const losslessjpeg::Result stamped =
        losslessjpeg::stamp(photo.bytes, layer, run.stampedPictures ? run.stampedPictureSide : 0);
    if (stamped.outcome != losslessjpeg::Outcome::Done)
        return fallBack(photo, stamped.message, run);
    if (!stamped.picture.isNull())
        run.stampedPictures(photo.currentPath, stamped.picture, photo.storedOrientation);
    logHeld(held, run.log);
    info(run.log, QStringLiteral("Estampado sin pérdidas en %1: %2 de %3 bloques recodificados.")
                      .arg(QFileInfo(photo.currentPath).fileName())
                      .arg(stamped.blocksReencoded)
                      .arg(stamped.blocksTotal));
    addMetadata(stamped.jpeg, true, photo, run, rendered);
    return true;
}

} // namespace

bool paintedPicture(const Photo &photo, const Run &run, QImage &image)
{
    return loadAndPaint(photo, run, image);
}

bool embedsUtm(const Run &run)
{
    return !run.useExif && run.embedTxtInExif;
}

bool embedsTrack(const Photo &photo, const Run &run)
{
    return run.writeTrackToExif && photo.source == PositionSource::Track;
}

// The position of a coordinate row written on its own into the photo as it lies, after a failed
// write. False when the bytes were left as they were (the reason is logged).
bool writeUtmPosition(const Photo &photo, const Run &run, QByteArray &bytes, const LogSink &log)
{
    const GpsWrite written = putGpsIntoPhoto(bytes, *gpsTagsOf(photo, run));
    logUtmAttempt(photo, written, log);
    return written.outcome == MetadataSnapshot::Outcome::Done;
}

void logUtmWritten(const Photo &photo, const LogSink &log)
{
    info(log, QStringLiteral("Datos UTM escritos en EXIF para ") +
                  QFileInfo(photo.currentPath).fileName());
}

bool writeTrackPosition(const Photo &photo, const Run &run, QByteArray &bytes, QString &errorText)
{
    return writeGpsToExif(bytes, *gpsTagsOf(photo, run), errorText);
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

RenderResult renderPhoto(Photo &photo, const Run &run, QImage &image, Rendered &rendered)
{
    if (photo.treatment == Treatment::KeepData) {
        addMetadata(photo.bytes, false, photo, run, rendered);
        return RenderResult::Ready;
    }
    if (photo.treatment == Treatment::Lossless && stampLosslessly(photo, run, rendered))
        return RenderResult::Ready;
    // Only decoded pixels are turned upright, so only then do the tags say so; a HEIF's decoder
    // always turns them.
    if (run.orientUpright || photo.heif)
        photo.snapshot.markUpright();
    // A new encoding has none of a PNG's text chunks nor a TIFF's own directories: a script
    // gives what they hold an EXIF or XMP home.
    if (run.script)
        photo.snapshot.carryFormatTags();
    if (!loadAndPaint(photo, run, image))
        return RenderResult::Undecodable;
    QByteArray encoded;
    QString errorText;
    const int quality = run.quality > 0 ? run.quality : photo.heif ? 92 : 90;
    if (!encode(image, photo, quality, encoded, errorText)) {
        error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
        return RenderResult::Unencodable;
    }
    addMetadata(std::move(encoded), true, photo, run, rendered);
    return RenderResult::Ready;
}

} // namespace photoroad
