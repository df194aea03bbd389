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

// How a photo's picture is kept: its orientation, its format, the quality of a re-encoding.
void addPictureOptions(QCommandLineParser &parser)
{
    parser.addOption(QCommandLineOption(QStringLiteral("como-guardada")));
    parser.addOption(QCommandLineOption(QStringLiteral("todo-jpeg")));
    parser.addOption(valued({QStringLiteral("calidad")}, QStringLiteral("N")));
}

// Stamps go where the viewer's corners are unless --como-guardada asks for the stored picture's;
// --orientar, once needed for that, is still taken.
QString parsePictureOptions(const QCommandLineParser &parser, BatchJob &job)
{
    const bool asStored = parser.isSet(QStringLiteral("como-guardada"));
    if (asStored && parser.isSet(QStringLiteral("orientar")))
        return QStringLiteral("--como-guardada: no se combina con --orientar");
    job.orientUpright = !asStored;
    job.keepFormat = !parser.isSet(QStringLiteral("todo-jpeg"));
    if (parser.isSet(QStringLiteral("calidad"))) {
        bool ok = false;
        job.quality = parser.value(QStringLiteral("calidad")).toInt(&ok);
        if (!ok || job.quality < 1 || job.quality > 100)
            return QStringLiteral("--calidad: «%1» no es un número entero entre 1 y 100")
                .arg(parser.value(QStringLiteral("calidad")));
    }
    return QString();
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
        for (const char *trackOnly : {"zona-camara", "ajuste-reloj", "max-intervalo",
                                      "track-a-exif", "sincronizar", "max-hdop", "min-satelites"})
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
    if (parser.isSet(QStringLiteral("sincronizar"))) {
        if (parser.isSet(QStringLiteral("ajuste-reloj")))
            return QStringLiteral("--sincronizar: no se combina con --ajuste-reloj");
        for (const QString &sync : parser.values(QStringLiteral("sincronizar")))
            if (!parseSyncOption(sync, clock, errorText))
                return errorText;
    }
    TrackFilter filter;
    if (parser.isSet(QStringLiteral("max-hdop"))) {
        double hdop = 0;
        if (!parseMaxHdopOption(parser.value(QStringLiteral("max-hdop")), hdop, errorText))
            return errorText;
        filter.maxHdop = hdop;
    }
    if (parser.isSet(QStringLiteral("min-satelites"))) {
        int count = 0;
        if (!parseMinSatellitesOption(parser.value(QStringLiteral("min-satelites")), count,
                                      errorText))
            return errorText;
        filter.minSatellites = count;
    }
    int maxIntervalSeconds = 1800;
    if (parser.isSet(QStringLiteral("max-intervalo")) &&
        !parseMaxIntervalOption(parser.value(QStringLiteral("max-intervalo")), maxIntervalSeconds,
                                errorText))
        return errorText;

    auto track = std::make_shared<GpsTrack>();
    track->setFilter(filter);
    for (const QString &path : parser.values(QStringLiteral("track"))) {
        if (!track->load(path, errorText))
            return QStringLiteral("--track: ") + errorText;
        const QString left = track->lastLoad().warningLine(path);
        if (!left.isEmpty())
            request.warnings << left;
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
    parser.addOption(valued({QStringLiteral("sincronizar")}, QStringLiteral("CAMARA=REAL")));
    parser.addOption(valued({QStringLiteral("max-hdop")}, QStringLiteral("N")));
    parser.addOption(valued({QStringLiteral("min-satelites")}, QStringLiteral("N")));
    addPictureOptions(parser);

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
    if (const QString problem = parsePictureOptions(parser, job); !problem.isEmpty())
        return failure(problem);
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
