// The command line of the batch front end: every setting of the window's form as an option, with
// the form's defaults and ranges, checked before anything is touched.
#include "loteoptions.h"
#include "reportfiles.h"
#include "trackrun.h"

#include <QColor>
#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QImageReader>
#include <QThread>

#include <algorithm>
#include <memory>

namespace {

struct RatioOption
{
    const char *name;
    double minimum;
    double maximum;
    double BatchJob::*field;
};

// The ranges of the form's spin boxes.
const RatioOption ratioOptions[] = {
    {"ratio-fuente", 0.01, 0.1, &BatchJob::fontRatio},
    {"ratio-logo", 0.01, 0.3, &BatchJob::logoRatio},
    {"ratio-rosa", 0.05, 0.5, &BatchJob::roseRatio},
};

struct CornerOption
{
    const char *name;
    Corner BatchJob::*field;
};

const CornerOption cornerOptions[] = {
    {"posicion-logo", &BatchJob::logoPosition},
    {"posicion-fecha", &BatchJob::dateTimePosition},
    {"posicion-coordenadas", &BatchJob::coordinatesPosition},
    {"posicion-rosa", &BatchJob::rosePosition},
};

QCommandLineOption valued(const QStringList &names, const QString &valueName)
{
    return QCommandLineOption(names, QString(), valueName);
}

LoteRequest failure(const QString &text)
{
    LoteRequest request;
    request.action = LoteRequest::Action::Error;
    request.text = QStringLiteral("cartaluz-lote: ") + text;
    return request;
}

// The parser's own messages are English; the option it names is quoted in them.
QString quotedName(const QString &message)
{
    const int first = message.indexOf(QLatin1Char('\''));
    const int last = message.lastIndexOf(QLatin1Char('\''));
    return first >= 0 && last > first ? message.mid(first + 1, last - first - 1) : QString();
}

QString dashed(const QString &name)
{
    if (name.startsWith(QLatin1Char('-')))
        return name;
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

// What is wrong with a run-wide input file, or an empty text. Each is opened as the run would
// use it: every photo depends on it, so a bad one would fail or skip every photo, or be found
// out only after all of them were changed.
QString unusableInput(const QString &option, const QString &path)
{
    if (option == QLatin1String("logo")) {
        // The road lets pictures up to 1024 MB decode; a logo it would take must pass here too.
        QImageReader::setAllocationLimit(std::max(QImageReader::allocationLimit(), 1024));
        QImageReader reader(path);
        if (!reader.read().isNull())
            return QString();
        return QStringLiteral("no se puede leer la imagen %1 (%2)").arg(path, reader.errorString());
    }
    if (option == QLatin1String("fuente")) {
        const int font = QFontDatabase::addApplicationFont(path);
        if (font == -1)
            return QStringLiteral("no se puede cargar la fuente %1").arg(path);
        // The run registers it again, once, for itself.
        QFontDatabase::removeApplicationFont(font);
        return QString();
    }
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        file.readAll();
        if (file.error() == QFileDevice::NoError)
            return QString();
    }
    return QStringLiteral("no se puede leer el archivo %1 (%2)").arg(path, file.errorString());
}

// The track and layer options; an empty text when they are all right. The tracks are read here,
// so a track that cannot be used stops the run before anything is touched.
QString parseTrackOptions(const QCommandLineParser &parser, LoteRequest &request)
{
    BatchJob &job = request.job;
    QString &layerPath = request.layerPath;
    if (parser.isSet(QStringLiteral("capa"))) {
        layerPath = parser.value(QStringLiteral("capa"));
        QString errorText;
        if (!checkLayerPath(layerPath, errorText))
            return QStringLiteral("--capa: ") + errorText;
    }
    if (!parser.isSet(QStringLiteral("track"))) {
        for (const char *trackOnly :
             {"zona-camara", "ajuste-reloj", "max-intervalo", "track-a-exif"})
            if (parser.isSet(QString::fromLatin1(trackOnly)))
                return QStringLiteral("--%1: solo vale junto con --track")
                    .arg(QString::fromLatin1(trackOnly));
        return QString();
    }
    if (!job.useExif)
        return QStringLiteral("--track: no se combina con --txt");

    QString errorText;
    CameraClock clock;
    if (parser.isSet(QStringLiteral("zona-camara"))) {
        int offsetSeconds = 0;
        if (!parseCameraZoneOption(parser.value(QStringLiteral("zona-camara")), offsetSeconds,
                                   errorText))
            return errorText;
        clock.zoneOffsetSeconds = offsetSeconds;
        request.cameraZoneSeconds = offsetSeconds;
    }
    if (parser.isSet(QStringLiteral("ajuste-reloj")) &&
        !parseClockAdjustOption(parser.value(QStringLiteral("ajuste-reloj")), clock.adjustSeconds,
                                errorText))
        return errorText;
    int maxIntervalSeconds = 1800;
    if (parser.isSet(QStringLiteral("max-intervalo")) &&
        !parseMaxIntervalOption(parser.value(QStringLiteral("max-intervalo")), maxIntervalSeconds,
                                errorText))
        return errorText;

    auto track = std::make_shared<GpsTrack>();
    for (const QString &path : parser.values(QStringLiteral("track"))) {
        if (!track->load(path, errorText))
            return QStringLiteral("--track: ") + errorText;
        if (const int left = track->impossibleFixesInLastLoad())
            request.warnings << QStringLiteral("Se omiten %1 puntos del track %2 con coordenadas "
                                               "imposibles.")
                                    .arg(left)
                                    .arg(path);
    }
    job.trackLookup = trackLookupFor(track, clock, maxIntervalSeconds);
    request.trackLines = track->lines();
    job.writeTrackToExif = parser.isSet(QStringLiteral("track-a-exif"));
    return QString();
}

// What only shapes the report and the KMZ, never a photo.
const QStringList &reportOptionNames()
{
    static const QStringList names{QStringLiteral("informe"),   QStringLiteral("kmz"),
                                   QStringLiteral("titulo"),    QStringLiteral("fotos-por-pagina"),
                                   QStringLiteral("papel"),     QStringLiteral("mapa-base"),
                                   QStringLiteral("informe-de")};
    return names;
}

// The report and KMZ options; an empty text when they are all right. The output files are
// checked as the layer's: none may be there yet, and their folders must take a file.
QString parseReportOptions(const QCommandLineParser &parser, ReportOptions &report)
{
    const bool pdf = parser.isSet(QStringLiteral("informe"));
    const bool kmz = parser.isSet(QStringLiteral("kmz"));
    for (const char *pdfOnly : {"fotos-por-pagina", "papel", "mapa-base"})
        if (!pdf && parser.isSet(QString::fromLatin1(pdfOnly)))
            return QStringLiteral("--%1: solo vale junto con --informe")
                .arg(QString::fromLatin1(pdfOnly));
    if (!pdf && !kmz) {
        for (const char *reportOnly : {"titulo", "informe-de"})
            if (parser.isSet(QString::fromLatin1(reportOnly)))
                return QStringLiteral("--%1: solo vale junto con --informe o --kmz")
                    .arg(QString::fromLatin1(reportOnly));
        return QString();
    }
    QString errorText;
    if (pdf) {
        report.pdfPath = parser.value(QStringLiteral("informe"));
        if (!checkNewOutput(QStringLiteral("informe"), report.pdfPath, errorText))
            return errorText;
    }
    if (kmz) {
        report.kmzPath = parser.value(QStringLiteral("kmz"));
        if (pdf && QFileInfo(report.kmzPath).absoluteFilePath() ==
                       QFileInfo(report.pdfPath).absoluteFilePath())
            return QStringLiteral("--kmz: es el mismo archivo que --informe");
        if (!checkNewOutput(QStringLiteral("kmz"), report.kmzPath, errorText))
            return errorText;
    }
    report.title = parser.value(QStringLiteral("titulo")).trimmed();
    if (parser.isSet(QStringLiteral("fotos-por-pagina"))) {
        const QString count = parser.value(QStringLiteral("fotos-por-pagina"));
        if (count != QLatin1String("1") && count != QLatin1String("2") &&
            count != QLatin1String("4"))
            return QStringLiteral("--fotos-por-pagina: «%1» no es 1, 2 ni 4").arg(count);
        report.photosPerPage = count.toInt();
    }
    if (parser.isSet(QStringLiteral("papel"))) {
        const QString paper = parser.value(QStringLiteral("papel")).toLower();
        if (paper != QLatin1String("a4") && paper != QLatin1String("carta"))
            return QStringLiteral("--papel: papel desconocido «%1» (use a4 o carta)")
                .arg(parser.value(QStringLiteral("papel")));
        report.letter = paper == QLatin1String("carta");
    }
    if (parser.isSet(QStringLiteral("mapa-base"))) {
        report.basemapPath = parser.value(QStringLiteral("mapa-base"));
        if (!checkBasemap(report.basemapPath, errorText))
            return errorText;
    }
    report.journalPath = parser.value(QStringLiteral("informe-de"));
    return QString();
}

// The options that shape what a photo becomes, as given, for its history: not how many workers
// ran, nor where the journal went.
QString settingsText(const QCommandLineParser &parser)
{
    QStringList settings;
    for (const QString &name : parser.optionNames()) {
        if (name == QLatin1String("j") || name == QLatin1String("trabajos") ||
            name == QLatin1String("diario") || reportOptionNames().contains(name))
            continue;
        settings << dashed(name);
        const QStringList values = parser.values(name);
        if (!values.isEmpty())
            settings << values.first();
    }
    return settings.isEmpty() ? QStringLiteral("cartaluz-lote, valores por omisión")
                              : QStringLiteral("cartaluz-lote ") + settings.join(QLatin1Char(' '));
}

// The run's moment, with this machine's UTC offset. SOURCE_DATE_EPOCH, the convention of
// reproducible builds, fixes it, so that two runs over the same photos write the same bytes.
QDateTime runStart()
{
    bool fixed = false;
    const qint64 epoch = qEnvironmentVariableIntValue("SOURCE_DATE_EPOCH", &fixed);
    const QDateTime start =
        fixed ? QDateTime::fromSecsSinceEpoch(epoch) : QDateTime::currentDateTime();
    return start.toOffsetFromUtc(start.offsetFromUtc());
}

} // namespace

LoteRequest parseLoteArguments(const QStringList &arguments, const QString &defaultFontPath)
{
    QCommandLineParser parser;
    const QStringList flags{QStringLiteral("subdirectorios"), QStringLiteral("sin-renombrar"),
                            QStringLiteral("sin-rosa"),       QStringLiteral("sin-texto"),
                            QStringLiteral("sin-backup"),     QStringLiteral("txt-a-exif"),
                            QStringLiteral("ejemplo-exif"),   QStringLiteral("simular"),
                            QStringLiteral("orientar"),       QStringLiteral("track-a-exif"),
                            QStringLiteral("posicion-fija"),  QStringLiteral("sin-perdidas"),
                            QStringLiteral("recodificar"),    QStringLiteral("reprocesar")};
    for (const QString &flag : flags)
        parser.addOption(QCommandLineOption(flag));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    parser.addOption(
        QCommandLineOption(QStringList{QStringLiteral("v"), QStringLiteral("version")}));
    const QStringList fileOptions{QStringLiteral("logo"),  QStringLiteral("fuente"),
                                  QStringLiteral("txt"),   QStringLiteral("ejemplo"),
                                  QStringLiteral("track"), QStringLiteral("capa"),
                                  QStringLiteral("diario")};
    parser.addOption(valued({QStringLiteral("deshacer")}, QStringLiteral("DIARIO")));
    parser.addOption(valued({QStringLiteral("informe-de")}, QStringLiteral("DIARIO")));
    parser.addOption(valued({QStringLiteral("informe")}, QStringLiteral("ARCHIVO")));
    parser.addOption(valued({QStringLiteral("kmz")}, QStringLiteral("ARCHIVO")));
    parser.addOption(valued({QStringLiteral("mapa-base")}, QStringLiteral("RASTER")));
    parser.addOption(valued({QStringLiteral("titulo")}, QStringLiteral("TEXTO")));
    parser.addOption(valued({QStringLiteral("fotos-por-pagina")}, QStringLiteral("N")));
    parser.addOption(valued({QStringLiteral("papel")}, QStringLiteral("PAPEL")));
    for (const QString &name : fileOptions)
        parser.addOption(valued({name}, QStringLiteral("ARCHIVO")));
    for (const RatioOption &ratio : ratioOptions)
        parser.addOption(valued({QString::fromLatin1(ratio.name)}, QStringLiteral("R")));
    for (const CornerOption &corner : cornerOptions)
        parser.addOption(valued({QString::fromLatin1(corner.name)}, QStringLiteral("ESQUINA")));
    parser.addOption(valued({QStringLiteral("color-fuente")}, QStringLiteral("COLOR")));
    parser.addOption(valued({QStringLiteral("prefijo")}, QStringLiteral("TEXTO")));
    parser.addOption(
        valued({QStringLiteral("j"), QStringLiteral("trabajos")}, QStringLiteral("N")));
    parser.addOption(valued({QStringLiteral("zona-camara")}, QStringLiteral("±HH:MM")));
    parser.addOption(valued({QStringLiteral("ajuste-reloj")}, QStringLiteral("±SEGUNDOS")));
    parser.addOption(valued({QStringLiteral("max-intervalo")}, QStringLiteral("SEGUNDOS")));

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return failure(QStringLiteral("opción desconocida: ") +
                           dashed(parser.unknownOptionNames().constFirst()));
        return failure(QStringLiteral("falta el valor de la opción ") +
                       dashed(quotedName(parser.errorText())));
    }

    LoteRequest request;
    if (parser.isSet(QStringLiteral("help"))) {
        request.action = LoteRequest::Action::Help;
        request.text = loteHelpText();
        return request;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        request.action = LoteRequest::Action::Version;
        request.text = QStringLiteral("cartaluz-lote " CARTALUZ_VERSION);
        return request;
    }

    const QStringList folders = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("deshacer"))) {
        // An undo takes back what the journal records, with nothing of a run's own.
        if (!folders.isEmpty())
            return failure(QStringLiteral("--deshacer: no se combina con CARPETA: ") +
                           folders.first());
        for (const QString &name : parser.optionNames())
            if (name != QLatin1String("deshacer") && name != QLatin1String("simular"))
                return failure(QStringLiteral("--deshacer: no se combina con ") + dashed(name));
        request.action = LoteRequest::Action::Undo;
        request.undoJournal = parser.value(QStringLiteral("deshacer"));
        request.job.dryRun = parser.isSet(QStringLiteral("simular"));
        return request;
    }
    if (parser.isSet(QStringLiteral("informe-de"))) {
        // A report of an earlier run runs nothing: only the report's own options and the font.
        if (!folders.isEmpty())
            return failure(QStringLiteral("--informe-de: no se combina con CARPETA: ") +
                           folders.first());
        for (const QString &name : parser.optionNames())
            if (!reportOptionNames().contains(name) && name != QLatin1String("fuente"))
                return failure(QStringLiteral("--informe-de: no se combina con ") + dashed(name));
        if (!parser.isSet(QStringLiteral("informe")) && !parser.isSet(QStringLiteral("kmz")))
            return failure(QStringLiteral("--informe-de: falta --informe o --kmz"));
        const QString problem = parseReportOptions(parser, request.report);
        if (!problem.isEmpty())
            return failure(problem);
        request.report.fontPath = defaultFontPath;
        request.report.workers = std::max(1, QThread::idealThreadCount());
        if (parser.isSet(QStringLiteral("fuente"))) {
            request.report.fontPath = parser.value(QStringLiteral("fuente"));
            if (!QFileInfo(request.report.fontPath).isFile())
                return failure(QStringLiteral("--fuente: no existe el archivo ") +
                               request.report.fontPath);
        }
        request.action = LoteRequest::Action::Report;
        return request;
    }
    if (folders.isEmpty())
        return failure(QStringLiteral("falta CARPETA (véase --help)"));
    if (folders.size() > 1)
        return failure(QStringLiteral("sobra el argumento: ") + folders.at(1));
    if (!QFileInfo(folders.first()).isDir())
        return failure(QStringLiteral("CARPETA: no existe la carpeta ") + folders.first());

    BatchJob &job = request.job;
    job.directory = folders.first();
    job.includeSubdirectories = parser.isSet(QStringLiteral("subdirectorios"));
    job.renameToUtm = !parser.isSet(QStringLiteral("sin-renombrar"));
    job.drawRose = !parser.isSet(QStringLiteral("sin-rosa"));
    job.drawText = !parser.isSet(QStringLiteral("sin-texto"));
    job.makeBackup = !parser.isSet(QStringLiteral("sin-backup"));
    job.embedTxtInExif = parser.isSet(QStringLiteral("txt-a-exif"));
    job.dryRun = parser.isSet(QStringLiteral("simular"));
    job.orientUpright = parser.isSet(QStringLiteral("orientar"));
    job.metadataOnlyWrites = true;
    // A JPEG keeps every block no stamp touches; --recodificar asks for the window's whole
    // re-encode at quality 90, which loses detail on every run.
    if (parser.isSet(QStringLiteral("sin-perdidas")) && parser.isSet(QStringLiteral("recodificar")))
        return failure(QStringLiteral("--recodificar: no se combina con --sin-perdidas"));
    job.lossless = !parser.isSet(QStringLiteral("recodificar"));
    // A script over a crew's whole archive must not lose a photo, a name or its metadata where the
    // window would; --posicion-fija asks for the window's made-up position back.
    job.policy = RunPolicy::Script;
    job.fixedPositionWhenMissing = parser.isSet(QStringLiteral("posicion-fija"));
    job.fontPath = defaultFontPath;

    // Re-runs over a folder that gained new photos must not stamp the earlier ones twice: each
    // photo written carries this entry in its XMP history, and photos that have one are skipped.
    request.options = arguments.mid(1);
    request.version = QStringLiteral(CARTALUZ_VERSION);
    job.history.action = QStringLiteral("edited");
    job.history.softwareAgent = QStringLiteral("Cartaluz " CARTALUZ_VERSION);
    job.history.when = runStart();
    job.history.parameters = settingsText(parser);
    job.skipProcessed = !parser.isSet(QStringLiteral("reprocesar"));
    job.journalled = job.makeBackup || parser.isSet(QStringLiteral("diario"));
    request.journal = !job.dryRun && job.journalled;
    if (parser.isSet(QStringLiteral("diario"))) {
        request.journalPath = parser.value(QStringLiteral("diario"));
        const QFileInfo journal(request.journalPath);
        if (journal.exists() || journal.isSymLink())
            return failure(QStringLiteral("--diario: el archivo %1 ya existe; no se sobrescribe.")
                               .arg(request.journalPath));
    }

    const auto existingFile = [&](const QString &name, QString *target) -> QString {
        if (!parser.isSet(name))
            return QString();
        *target = parser.value(name);
        if (QFileInfo(*target).isFile())
            return QString();
        return QStringLiteral("--") + name + QStringLiteral(": no existe el archivo ") + *target;
    };
    for (const auto &[name, target] : {std::pair{QStringLiteral("logo"), &job.logoPath},
                                       std::pair{QStringLiteral("fuente"), &job.fontPath},
                                       std::pair{QStringLiteral("txt"), &job.txtPath}}) {
        QString problem = existingFile(name, target);
        if (problem.isEmpty() && parser.isSet(name)) {
            problem = unusableInput(name, *target);
            if (!problem.isEmpty())
                problem = QStringLiteral("--") + name + QStringLiteral(": ") + problem;
        }
        if (!problem.isEmpty())
            return failure(problem);
    }
    // Without a logo the window passes a zero logo ratio; nothing is drawn either way.
    if (job.logoPath.isEmpty())
        job.logoRatio = 0.0;
    job.useExif = job.txtPath.isEmpty();

    for (const RatioOption &ratio : ratioOptions) {
        const QString name = QString::fromLatin1(ratio.name);
        if (!parser.isSet(name))
            continue;
        bool ok = false;
        const double value = parser.value(name).toDouble(&ok);
        if (!ok || value < ratio.minimum || value > ratio.maximum)
            return failure(QStringLiteral("--%1: «%2» no es un número entre %3 y %4")
                               .arg(name, parser.value(name), QString::number(ratio.minimum),
                                    QString::number(ratio.maximum)));
        if (ratio.field != &BatchJob::logoRatio || !job.logoPath.isEmpty())
            job.*ratio.field = value;
    }
    for (const CornerOption &corner : cornerOptions) {
        const QString name = QString::fromLatin1(corner.name);
        if (!parser.isSet(name))
            continue;
        const Corner chosen = cornerFromName(parser.value(name));
        if (chosen == Corner::Unknown)
            return failure(
                QStringLiteral("--%1: esquina desconocida «%2» (use %3)")
                    .arg(name, parser.value(name), cornerNames().join(QStringLiteral(", "))));
        job.*corner.field = chosen;
    }
    if (parser.isSet(QStringLiteral("color-fuente"))) {
        const QString color = parser.value(QStringLiteral("color-fuente"));
        if (!QColor::isValidColorName(color))
            return failure(QStringLiteral("--color-fuente: color desconocido «%1»").arg(color));
        job.textColor = QColor(color);
    }
    if (parser.isSet(QStringLiteral("prefijo"))) {
        job.addPrefix = true;
        job.prefix = parser.value(QStringLiteral("prefijo"));
    }
    job.workers = std::max(1, QThread::idealThreadCount());
    if (parser.isSet(QStringLiteral("trabajos"))) {
        bool ok = false;
        job.workers = parser.value(QStringLiteral("trabajos")).toInt(&ok);
        // A count the machine cannot run is refused rather than quietly cut down.
        if (!ok || job.workers < 1 || job.workers > maxWorkers)
            return failure(QStringLiteral("--trabajos: «%1» no es un número entero entre 1 y %2")
                               .arg(parser.value(QStringLiteral("trabajos")))
                               .arg(maxWorkers));
    }

    QString problem = parseTrackOptions(parser, request);
    if (problem.isEmpty())
        problem = parseReportOptions(parser, request.report);
    if (!problem.isEmpty())
        return failure(problem);
    request.report.fontPath = job.fontPath;
    request.report.workers = job.workers;

    if (parser.isSet(QStringLiteral("ejemplo"))) {
        // The sample file is written, so it cannot be part of a run that touches nothing.
        if (job.dryRun)
            return failure(QStringLiteral("--simular: no se combina con --ejemplo"));
        for (const char *runOnly : {"track", "capa", "informe", "kmz"})
            if (parser.isSet(QString::fromLatin1(runOnly)))
                return failure(QStringLiteral("--%1: no se combina con --ejemplo")
                                   .arg(QString::fromLatin1(runOnly)));
        request.action = LoteRequest::Action::Sample;
        request.samplePath = parser.value(QStringLiteral("ejemplo"));
        // As with the layer: a file already there is someone's, perhaps edited by hand.
        const QFileInfo sample(request.samplePath);
        if (sample.exists() || sample.isSymLink())
            return failure(QStringLiteral("--ejemplo: el archivo %1 ya existe; no se sobrescribe.")
                               .arg(request.samplePath));
        request.sampleFromExif = parser.isSet(QStringLiteral("ejemplo-exif"));
        return request;
    }
    if (parser.isSet(QStringLiteral("ejemplo-exif")))
        return failure(QStringLiteral("--ejemplo-exif: solo vale junto con --ejemplo"));
    request.action = LoteRequest::Action::Run;
    return request;
}

QString loteHelpText()
{
    return QStringLiteral(
        "Uso: cartaluz-lote [opciones] CARPETA  o  cartaluz-lote [--simular] --deshacer DIARIO\n"
        "  o  cartaluz-lote --informe-de DIARIO [--informe ARCHIVO] [--kmz ARCHIVO]\n"
        "Procesa las fotos de CARPETA como el botón de inicio de la ventana: copia de seguridad,\n"
        "fecha y posición, nombre UTM, logo, textos y rosa de los vientos, metadatos restaurados.\n"
        "El registro va a la salida estándar; el progreso, a la salida de errores si es una\n"
        "terminal.\n"
        "\n"
        "Fotos:\n"
        "  --subdirectorios            incluir las subcarpetas (no)\n"
        "  --txt ARCHIVO               posiciones del archivo de coordenadas (sin él: EXIF)\n"
        "  --txt-a-exif                con --txt, escribir también las posiciones en el EXIF\n"
        "  --sin-backup                no copiar cada foto a la carpeta Backup\n"
        "  --sin-renombrar             no renombrar las fotos a coordenadas UTM\n"
        "  --prefijo TEXTO             anteponer TEXTO al nombre nuevo, tal cual\n"
        "  --orientar                  pintar la foto derecha, como la muestran los visores,\n"
        "                              y escribir Orientación 1 (no: se pinta como está guardada)\n"
        "  --recodificar               recodificar la foto entera con calidad 90, como la\n"
        "                              ventana (no: en los JPEG solo se recodifican los bloques\n"
        "                              de 8 × 8 bajo lo dibujado, con las tablas de la foto, y el\n"
        "                              resto queda igual; con --orientar la foto queda como está\n"
        "                              guardada, con su Orientación, y lo dibujado se gira; los\n"
        "                              JPEG CMYK o aritméticos, las fotos que no son JPEG y las\n"
        "                              que cambian de formato al renombrarse se recodifican, con\n"
        "                              una línea en el registro)\n"
        "  --sin-perdidas              lo contrario de --recodificar (es lo que se hace por\n"
        "                              omisión)\n"
        "  --posicion-fija             a las fotos sin posición, darles la posición fija\n"
        "                              19J 500000 6000000 como la ventana (no: se dejan sin "
        "tocar)\n"
        "\n"
        "Seguridad (a diferencia de la ventana, nunca se pierde una foto, su nombre ni sus\n"
        "metadatos): una foto se deja sin tocar, con una línea en el registro, si no se pudo\n"
        "copiar a Backup, si no es una imagen legible, si sus metadatos no se pueden leer o si no\n"
        "tiene posición (GPS, track o fila); las carpetas Backup nunca se recorren; las fotos van\n"
        "por nombre, sin distinguir mayúsculas; una foto que ya lleva su nombre UTM lo conserva;\n"
        "una posición EXIF imposible (nan, fuera de rango, 0,0) cuenta como ausente; en el\n"
        "archivo de coordenadas una fila puede nombrar la ruta relativa (100CANON/IMG_0001.JPG),\n"
        "que gana al nombre solo, y un nombre que llevan varias fotos no sitúa a ninguna.\n"
        "Cada foto se copia, se renombra y se escribe solo cuando su imagen nueva está lista; si\n"
        "la escritura falla, recupera su nombre. El diario guarda, antes de tocar cada foto, su\n"
        "backup, su nombre nuevo y el SHA-256 del original, del backup y de lo escrito, y después\n"
        "su resultado; cada foto escrita lleva una entrada más en su historial XMP\n"
        "(xmpMM:History, «Cartaluz VERSIÓN»).\n"
        "Una foto en la que no se dibuja nada (sin logo, --sin-texto, sin rosa) no se\n"
        "recodifica: solo cambian sus metadatos, y su imagen queda idéntica byte a byte (con\n"
        "--orientar, salvo que haya que girarla).\n"
        "\n"
        "Dibujo:\n"
        "  --logo ARCHIVO              dibujar este logo (sin él, ningún logo)\n"
        "  --fuente ARCHIVO            archivo de fuente (notosans.ttf junto al programa; si no\n"
        "                              está, la Noto Sans del sistema)\n"
        "  --color-fuente COLOR        color del texto, p. ej. #FFFF00 o yellow (#FFFFFF)\n"
        "  --ratio-fuente R            alto del texto / alto de la foto, 0.01 a 0.1 (0.03)\n"
        "  --ratio-logo R              ancho del logo / ancho de la foto, 0.01 a 0.3 (0.2)\n"
        "  --ratio-rosa R              lado de la rosa / lado menor, 0.05 a 0.5 (0.18)\n"
        "  --posicion-logo ESQUINA     (arriba-izquierda)\n"
        "  --posicion-fecha ESQUINA    (abajo-derecha)\n"
        "  --posicion-coordenadas ESQUINA (abajo-derecha)\n"
        "  --posicion-rosa ESQUINA     (abajo-izquierda)\n"
        "                              ESQUINA: arriba-izquierda, arriba-derecha,\n"
        "                              abajo-izquierda o abajo-derecha\n"
        "  --sin-texto                 no dibujar fecha ni coordenadas\n"
        "  --sin-rosa                  no dibujar la rosa de los vientos\n"
        "\n"
        "Track GPS y capa:\n"
        "  --track ARCHIVO             track GPX (1.0 o 1.1): las fotos sin posición en el EXIF\n"
        "                              la toman del track por su hora de captura\n"
        "                              (DateTimeOriginal; si no, la de XMP o IPTC; nunca la fecha\n"
        "                              de modificación); se puede repetir (no con --txt); los\n"
        "                              puntos con coordenadas imposibles se omiten\n"
        "  --zona-camara ±HH:MM        zona horaria del reloj de la cámara, p. ej. -05, +5:30\n"
        "                              (sin ella: OffsetTimeOriginal, la zona que indique la\n"
        "                              fecha XMP o IPTC, o la de este equipo)\n"
        "  --ajuste-reloj ±SEGUNDOS    hora de la cámara menos la hora real (0)\n"
        "  --max-intervalo SEGUNDOS    separación máxima entre los dos puntos del track que\n"
        "                              rodean la hora para interpolar; si no, distancia máxima al\n"
        "                              punto más cercano (1800); nunca entre segmentos\n"
        "  --track-a-exif              escribir en el EXIF la posición tomada del track, con su\n"
        "                              altitud, la hora UTC y el datum WGS-84\n"
        "  --capa ARCHIVO              escribir un punto por foto procesada, en el formato de la\n"
        "                              extensión: .gpkg, .geojson, .kml, .shp o .csv (con .csvt y\n"
        "                              .prj); las fotos sin posición van sin geometría; nunca\n"
        "                              sobrescribe un archivo existente (con --simular, las\n"
        "                              posiciones que se usarían)\n"
        "\n"
        "Informe y KMZ (con --simular, de las fotos como están, marcadas «Simulación»):\n"
        "  --informe ARCHIVO           escribir un informe fotográfico en PDF: portada con el\n"
        "                              resumen y un mapa de las fotos y los tracks en el huso\n"
        "                              UTM de la ejecución; cada foto como quedó, con su número\n"
        "                              del mapa, nombres, fecha, posiciones, altitud y\n"
        "                              orientación; al final, las fotos sin posición\n"
        "  --titulo TEXTO              título del informe y del KMZ (el nombre de CARPETA)\n"
        "  --fotos-por-pagina N        1, 2 o 4 (2)\n"
        "  --papel PAPEL               a4 o carta (a4)\n"
        "  --mapa-base RASTER          ráster que GDAL pueda leer y reproyectar (GeoTIFF,\n"
        "                              MBTiles…), dibujado bajo el mapa\n"
        "  --kmz ARCHIVO               escribir un KMZ para Google Earth: un punto por foto,\n"
        "                              con su icono girado a su orientación y la foto en el\n"
        "                              globo; los tracks como líneas; una carpeta por subcarpeta\n"
        "  --informe-de DIARIO         hacer --informe y --kmz de una ejecución anterior, desde\n"
        "                              su diario y las fotos que nombra, sin procesar nada (una\n"
        "                              foto cambiada desde entonces lleva una nota)\n"
        "                              Nunca sobrescriben un archivo existente.\n"
        "\n"
        "Ejecución:\n"
        "  -j, --trabajos N            fotos procesadas a la vez (número de núcleos)\n"
        "  --simular                   decir qué se haría, sin tocar nada\n"
        "  --diario ARCHIVO            escribir el diario de la ejecución en ARCHIVO (por\n"
        "                              omisión Backup/cartaluz-AAAAMMDD-HHMMSS.jsonl en CARPETA;\n"
        "                              con --sin-backup y sin --diario no hay diario); nunca\n"
        "                              sobrescribe un archivo existente\n"
        "  --reprocesar                procesar también las fotos que ya procesó Cartaluz (no: se\n"
        "                              omiten, con «Ya procesada por Cartaluz el …»)\n"
        "  --deshacer DIARIO           devolver cada foto de la ejecución del DIARIO a su\n"
        "                              nombre y contenido de antes, desde su backup; una foto\n"
        "                              editada desde entonces, cuyo backup falte o haya cambiado\n"
        "                              o cuyo nombre original esté ocupado se deja, con una\n"
        "                              línea; si vuelven todas, se borran el diario y las\n"
        "                              carpetas Backup vacías (sin CARPETA ni otras opciones que\n"
        "                              --simular)\n"
        "  --ejemplo ARCHIVO           escribir el archivo de coordenadas de ejemplo de CARPETA\n"
        "                              en vez de procesar; nunca sobrescribe un archivo existente\n"
        "  --ejemplo-exif              con --ejemplo, llenar las filas desde el EXIF\n"
        "  -h, --help                  mostrar esta ayuda\n"
        "  -v, --version               mostrar la versión\n"
        "\n"
        "Antes de tocar nada se comprueba que el logo se pueda leer como imagen, que la fuente\n"
        "se pueda cargar, que el archivo de coordenadas y los tracks se puedan leer y que en la\n"
        "carpeta de la capa se pueda crear un archivo. Los avisos de las bibliotecas sobre\n"
        "archivos dañados no salen por la salida de errores.\n"
        "\n"
        "Estado de salida: 0 sin errores; 1 si alguna foto registró un error o no se pudo\n"
        "escribir la capa, el informe, el KMZ o el archivo de ejemplo, o si --deshacer dejó\n"
        "alguna foto; 2 opciones o archivos de entrada no válidos, o un DIARIO que no se puede\n"
        "leer (no se toca nada);\n"
        "3 la ejecución terminó antes de tiempo.\n");
}

QString simulationLine()
{
    return QStringLiteral(
        "Simulación: no se modificará ningún archivo; cada línea dice lo que se haría.");
}
