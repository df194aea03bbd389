// A run's photos as report records, from the outcomes of a run or from its journal.
#include "reportdata.h"
#include "gpstrack.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString headingReferenceName(const QString &reference)
{
    if (reference == QLatin1String("T"))
        return QStringLiteral("norte verdadero");
    if (reference == QLatin1String("M"))
        return QStringLiteral("norte magnético");
    return QStringLiteral("referencia no indicada");
}

// A zone as the journal writes it, "19H".
bool parseZone(const QString &text, UtmPosition &utm)
{
    if (text.size() < 2)
        return false;
    bool ok = false;
    utm.zoneNumber = text.left(text.size() - 1).toInt(&ok);
    utm.zoneLetter = text.back().toLatin1();
    return ok && utm.zoneNumber >= 1 && utm.zoneNumber <= 60 && QChar(utm.zoneLetter).isLetter();
}

std::optional<double> numberOf(const QJsonValue &value)
{
    return value.isDouble() ? std::optional<double>(value.toDouble()) : std::nullopt;
}

// Track paths in the options a run was given ("--track A", "--track=A").
QStringList trackPathsIn(const QJsonArray &options)
{
    QStringList paths;
    for (qsizetype at = 0; at < options.size(); ++at) {
        const QString option = options.at(at).toString();
        if (option == QLatin1String("--track") && at + 1 < options.size())
            paths << options.at(++at).toString();
        else if (option.startsWith(QLatin1String("--track=")))
            paths << option.mid(8);
    }
    return paths;
}

} // namespace

QString ReportPhoto::subfolder() const
{
    const QString folder = QFileInfo(finalPath).path();
    return folder == QLatin1String(".") ? QString() : folder;
}

ReportRun reportRunOf(const QVector<PhotoOutcome> &outcomes, const QString &folder,
                      const QDateTime &runDate, bool simulated)
{
    const QDir dir(QFileInfo(folder).absoluteFilePath());
    const auto relative = [&dir](const QString &path) {
        return path.isEmpty() ? QString()
                              : dir.relativeFilePath(QFileInfo(path).absoluteFilePath());
    };
    ReportRun run;
    run.title = QDir(dir).dirName();
    run.runDate = runDate;
    run.simulated = simulated;
    for (const PhotoOutcome &outcome : outcomes) {
        run.processed += outcome.processed ? 1 : 0;
        run.withErrors += outcome.loggedError ? 1 : 0;
        run.withoutPosition += outcome.positionMissing ? 1 : 0;
        if (!outcome.processed && !outcome.positionMissing)
            continue;
        ReportPhoto photo;
        photo.originalPath = relative(outcome.listedPath);
        photo.finalPath = relative(outcome.processed ? outcome.finalPath : outcome.listedPath);
        // A dry run leaves every photo where and as it was.
        photo.imagePath = simulated ? outcome.listedPath : dir.filePath(photo.finalPath);
        photo.located = outcome.processed;
        if (outcome.dateFound) {
            photo.date = outcome.captureDate;
            photo.dateOffset = outcome.captureOffset;
        }
        if (photo.located) {
            photo.utm = {outcome.zoneNumber, outcome.zoneLetter, outcome.easting, outcome.northing};
            photo.position = outcome.latLonKnown ? GeoPosition{outcome.latitude, outcome.longitude}
                                                 : utmToLatLon(photo.utm);
            photo.altitude = outcome.altitude;
            if (outcome.orientationKnown)
                photo.heading = outcome.orientation;
            photo.headingReference = outcome.headingReference;
            photo.source = positionSourceName(outcome.source);
        } else {
            photo.reason = outcome.reason;
        }
        if (simulated)
            photo.note = QStringLiteral("Simulación");
        run.photos.append(photo);
    }
    run.skipped = int(outcomes.size()) - run.processed;
    return run;
}

bool reportRunOfJournal(const QString &journalPath, ReportRun &run, QString &errorText)
{
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly)) {
        errorText = QStringLiteral("no se puede leer el diario %1 (%2)")
                        .arg(journalPath, file.errorString());
        return false;
    }
    const QList<QByteArray> lines = file.readAll().split('\n');
    const QJsonObject header = QJsonDocument::fromJson(lines.constFirst()).object();
    const QString folderPath = header.value(QLatin1String("carpeta")).toString();
    if (header.value(QLatin1String("tipo")).toString() != QLatin1String("inicio") ||
        header.value(QLatin1String("programa")).toString() != QLatin1String("cartaluz-lote") ||
        !QDir::isAbsolutePath(folderPath)) {
        errorText = QStringLiteral("%1 no es un diario de cartaluz-lote").arg(journalPath);
        return false;
    }
    // A folder moved as a whole still holds its journal in its Backup folder.
    QDir folder(folderPath);
    const QDir journalFolder = QFileInfo(journalPath).absoluteDir();
    if (!folder.exists() && journalFolder.dirName() == QLatin1String("Backup"))
        folder = QFileInfo(journalFolder.path()).dir();
    run = ReportRun();
    run.title = QDir(folderPath).dirName();
    run.runDate =
        QDateTime::fromString(header.value(QLatin1String("inicio")).toString(), Qt::ISODateWithMs);

    bool finished = false;
    int listed = 0;
    for (qsizetype at = 1; at < lines.size(); ++at) {
        const QJsonObject line = QJsonDocument::fromJson(lines.at(at)).object();
        const QString kind = line.value(QLatin1String("tipo")).toString();
        if (kind == QLatin1String("fin")) {
            finished = true;
            run.processed = line.value(QLatin1String("procesadas")).toInt();
            run.skipped = line.value(QLatin1String("omitidas")).toInt();
            run.withErrors = line.value(QLatin1String("errores")).toInt();
            run.withoutPosition = line.value(QLatin1String("sin_posicion")).toInt();
            continue;
        }
        if (kind != QLatin1String("foto"))
            continue;
        ++listed;
        const QString result = line.value(QLatin1String("resultado")).toString();
        const bool processed = result == QLatin1String("procesada");
        const bool missing = line.value(QLatin1String("sin_posicion")).toBool();
        if (!finished) {
            run.processed += processed ? 1 : 0;
            run.withErrors += result == QLatin1String("error") ? 1 : 0;
            run.withoutPosition += missing ? 1 : 0;
        }
        const QJsonObject place = line.value(QLatin1String("posicion")).toObject();
        ReportPhoto photo;
        if (processed && !parseZone(place.value(QLatin1String("zona")).toString(), photo.utm))
            continue;
        if (!processed && !missing)
            continue;
        photo.originalPath = line.value(QLatin1String("foto")).toString();
        const QString finalPath = line.value(QLatin1String("final")).toString();
        photo.finalPath = finalPath.isEmpty() ? photo.originalPath : finalPath;
        const QString date = line.value(QLatin1String("fecha")).toString();
        if (!date.isEmpty())
            photo.date = QDateTime::fromString(date, Qt::ISODateWithMs);
        photo.dateOffset = line.value(QLatin1String("desfase")).toString();
        photo.located = processed;
        if (processed) {
            photo.utm.easting = place.value(QLatin1String("este")).toDouble();
            photo.utm.northing = place.value(QLatin1String("norte")).toDouble();
            photo.position = place.contains(QLatin1String("lat"))
                                 ? GeoPosition{place.value(QLatin1String("lat")).toDouble(),
                                               place.value(QLatin1String("lon")).toDouble()}
                                 : utmToLatLon(photo.utm);
            photo.altitude = numberOf(place.value(QLatin1String("altitud")));
            photo.heading = numberOf(place.value(QLatin1String("orientacion")));
            photo.headingReference = place.value(QLatin1String("orientacion_ref")).toString();
            photo.source = place.value(QLatin1String("fuente")).toString();
        } else {
            photo.reason = line.value(QLatin1String("motivo")).toString();
        }
        // The photo as it is now; its digest tells whether it is still what the run left.
        const QString path = folder.filePath(photo.finalPath);
        if (QFileInfo(path).isFile()) {
            photo.imagePath = path;
            QByteArray expected = line.value(QLatin1String("sha256_escrita")).toString().toLatin1();
            if (expected.isEmpty())
                expected = line.value(QLatin1String("sha256_original")).toString().toLatin1();
            if (!expected.isEmpty() && fileSha256Hex(path) != expected)
                photo.note = QStringLiteral("La foto ha cambiado desde la ejecución.");
        } else {
            photo.note = QStringLiteral("La foto ya no está en la carpeta.");
        }
        run.photos.append(photo);
    }
    if (!finished)
        run.skipped = listed - run.processed;

    for (const QString &trackPath :
         trackPathsIn(header.value(QLatin1String("opciones")).toArray())) {
        GpsTrack track;
        QString ignored; // a track gone since the run only leaves its line off the map
        if (track.load(trackPath, ignored))
            for (auto &line : track.lines())
                run.tracks.push_back(std::move(line));
    }
    return true;
}

QString reportDateText(const ReportPhoto &photo)
{
    if (!photo.date.isValid())
        return QStringLiteral("sin fecha de captura");
    QString text = photo.date.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
    if (!photo.dateOffset.isEmpty())
        text += QStringLiteral(" (UTC%1)").arg(photo.dateOffset);
    return text;
}

QString reportUtmText(const ReportPhoto &photo)
{
    return QStringLiteral("UTM %1%2 %3 E %4 N")
        .arg(photo.utm.zoneNumber)
        .arg(QLatin1Char(photo.utm.zoneLetter))
        .arg(QString::number(photo.utm.easting, 'f', 0),
             QString::number(photo.utm.northing, 'f', 0));
}

QString reportLatLonText(const ReportPhoto &photo)
{
    return QStringLiteral("Lat %1, Lon %2")
        .arg(QString::number(photo.position.latitude, 'f', 6),
             QString::number(photo.position.longitude, 'f', 6));
}

QString reportHeadingText(const ReportPhoto &photo)
{
    if (!photo.heading)
        return QStringLiteral("sin orientación");
    return QStringLiteral("%1° (%2)")
        .arg(QString::number(*photo.heading, 'f', 1), headingReferenceName(photo.headingReference));
}

QString reportAltitudeText(const ReportPhoto &photo)
{
    return photo.altitude ? QStringLiteral("%1 m").arg(QString::number(*photo.altitude, 'f', 1))
                          : QStringLiteral("sin altitud");
}

QString reportSourceText(const ReportPhoto &photo)
{
    if (photo.source == QLatin1String("exif"))
        return QStringLiteral("GPS de la foto (EXIF)");
    if (photo.source == QLatin1String("track"))
        return QStringLiteral("track GPS");
    if (photo.source == QLatin1String("txt"))
        return QStringLiteral("archivo de coordenadas");
    return QStringLiteral("posición fija");
}

QStringList reportPhotoLines(const ReportPhoto &photo)
{
    return {QStringLiteral("Original: ") + photo.originalPath,
            QStringLiteral("Fecha: ") + reportDateText(photo),
            reportUtmText(photo),
            reportLatLonText(photo),
            QStringLiteral("Altitud: ") + reportAltitudeText(photo),
            QStringLiteral("Orientación: ") + reportHeadingText(photo),
            QStringLiteral("Posición: ") + reportSourceText(photo)};
}
