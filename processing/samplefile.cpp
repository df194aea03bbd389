// The sample coordinate text file: one row per photo of a folder, in the reader's format.
#include "samplefile.h"

#include "photolisting.h"
#include "photometadata.h"
#include "photonaming.h"
#include "utm.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTextStream>

#include <cmath>
#include <limits>
#include <memory>

namespace {

struct SampleRow
{
    int zoneNumber = 19;
    char zoneLetter = 'J';
    double easting = 500000.0;
    double northing = 6000000.0;
    double orientation = 0.0;
};

// The fraction dropped toward zero. A value no 32-bit integer can hold (a damaged GPS tag can
// give an infinite or huge one) is pinned to the nearest end of the range, and not-a-number
// becomes 0, so the row keeps six numeric fields the reader accepts.
QString wholeNumber(double value)
{
    if (std::isnan(value))
        return QStringLiteral("0");
    const double truncated = std::trunc(value);
    if (truncated >= static_cast<double>(std::numeric_limits<qint32>::max()))
        return QString::number(std::numeric_limits<qint32>::max());
    if (truncated <= static_cast<double>(std::numeric_limits<qint32>::min()))
        return QString::number(std::numeric_limits<qint32>::min());
    return QString::number(static_cast<qint32>(truncated));
}

} // namespace

void writeSampleCoordinateFile(const QString &directory, const QString &outputPath,
                               bool includeSubdirectories, bool useExif, const SampleRules &rules,
                               const LogSink &log)
{
    const SampleWrite mode = rules.mode;
    std::unique_ptr<QFileDevice> device;
    if (mode == SampleWrite::Whole)
        device = std::make_unique<QSaveFile>(outputPath);
    else
        device = std::make_unique<QFile>(outputPath);
    QFileDevice &file = *device;
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate)) {
        log(Severity::Error,
            QStringLiteral("Error al crear el archivo de ejemplo: no se pudo abrir el archivo."));
        return;
    }

    QTextStream out(&file);
    out << "nombre_de_la_foto.jpg,zona,letra,easting,northing,orientacion\n";

    const QStringList photos = listPhotos(directory, includeSubdirectories, PhotoOrder::ByName);
    QHash<QString, int> nameCounts;
    for (const QString &path : photos)
        ++nameCounts[QFileInfo(path).fileName()];
    for (const QString &path : photos) {
        const QFileInfo info(path);
        const QString name = rules.relativeWhereRepeated && nameCounts.value(info.fileName()) > 1
                                 ? QDir(directory).relativeFilePath(path)
                                 : info.fileName();
        SampleRow row;
        const auto metres = [&rules](double value) {
            return rules.roundedMetres ? wholeMetres(value) : wholeNumber(value);
        };
        if (useExif) {
            double latitude = 0.0;
            double longitude = 0.0;
            double direction = 0.0;
            const bool found = readGpsData(info.absoluteFilePath(), latitude, longitude, direction);
            const bool possible =
                !rules.onlyPossiblePositions || isPossiblePosition(latitude, longitude);
            if (found && !possible) {
                log(Severity::Warning,
                    QStringLiteral("Posición GPS no válida en EXIF para ") + name +
                        QStringLiteral(" (Lat: ") + QString::number(latitude, 'g', 6) +
                        QStringLiteral(", Lon: ") + QString::number(longitude, 'g', 6) +
                        QStringLiteral("). Usando coordenadas y orientación fijas"));
            } else if (found) {
                const UtmPosition utm = latLonToUtm(latitude, longitude);
                row.zoneNumber = utm.zoneNumber;
                row.zoneLetter = utm.zoneLetter;
                row.easting = utm.easting;
                row.northing = utm.northing;
                row.orientation = direction;
            } else {
                log(Severity::Warning,
                    QStringLiteral("Datos GPS no encontrados en EXIF para ") + name +
                        QStringLiteral(". Usando coordenadas y orientación fijas"));
            }
        }
        // Concatenated rather than formatted, so a "%1" in a file name stays as it is.
        out << name << ',' << QString::number(row.zoneNumber) << ','
            << QChar::fromLatin1(row.zoneLetter) << ',' << metres(row.easting) << ','
            << metres(row.northing) << ',' << wholeNumber(row.orientation) << '\n';
    }

    out.flush();
    if (mode == SampleWrite::Whole) {
        auto &whole = static_cast<QSaveFile &>(file);
        // The stream's flush also flushes the file, so a failed write shows in its status;
        // either way the target is left as it was.
        if (out.status() != QTextStream::Ok || !whole.commit()) {
            log(Severity::Error, QStringLiteral("Error al escribir el archivo de ejemplo %1: %2")
                                     .arg(outputPath, whole.errorString()));
            return;
        }
    } else {
        file.close();
    }
    log(Severity::Information, QStringLiteral("Archivo de ejemplo creado en: ") + outputPath);
}
