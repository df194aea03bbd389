// The command line of the batch front end: every setting of the window's form as an option, with
// the form's defaults and ranges, checked before anything is touched.
#include "loteoptions.h"
#include "loteoptiontable.h"
#include "reportfiles.h"
#include "stampoptions.h"
#include "trackrun.h"

#include <QColor>
#include <QCommandLineParser>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHash>
#include <QImageReader>
#include <QThread>

#include <algorithm>
#include <memory>

namespace {

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
    const QString &layerPath = request.layerPath;
    if (parser.isSet(QStringLiteral("capa"))) {
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

    if (parser.isSet(QStringLiteral("sincronizar")) && parser.isSet(QStringLiteral("ajuste-reloj")))
        return QStringLiteral("--sincronizar: no se combina con --ajuste-reloj");

    QString errorText;
    auto track = std::make_shared<GpsTrack>();
    track->setFilter(request.trackFilter);
    for (const QString &path : request.trackPaths) {
        if (!track->load(path, errorText))
            return QStringLiteral("--track: ") + errorText;
        const QString left = track->lastLoad().warningLine(path);
        if (!left.isEmpty())
            request.warnings << left;
    }
    job.trackLookup = trackLookupFor(track, request.clock, request.maxIntervalSeconds);
    request.trackLines = track->lines();
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
QString parseReportOptions(const QCommandLineParser &parser, const ReportOptions &report)
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
        if (!checkNewOutput(QStringLiteral("informe"), report.pdfPath, errorText))
            return errorText;
    }
    if (kmz) {
        if (pdf && QFileInfo(report.kmzPath).absoluteFilePath() ==
                       QFileInfo(report.pdfPath).absoluteFilePath())
            return QStringLiteral("--kmz: es el mismo archivo que --informe");
        if (!checkNewOutput(QStringLiteral("kmz"), report.kmzPath, errorText))
            return errorText;
    }
    if (parser.isSet(QStringLiteral("mapa-base"))) {
        if (!checkBasemap(report.basemapPath, errorText))
            return errorText;
    }
    return QString();
}

// The options that shape what a photo becomes, as given, for its history: not how many workers
// ran, nor where the journal went.
QString settingsText(const QCommandLineParser &parser)
{
    QStringList settings;
    // A repeated option (--track, --linea, --sincronizar) is named once for each value it got.
    QHash<QString, int> seen;
    for (const QString &name : parser.optionNames()) {
        if (name == QLatin1String("j") || name == QLatin1String("trabajos") ||
            name == QLatin1String("diario") || reportOptionNames().contains(name))
            continue;
        settings << dashed(name);
        const QStringList values = parser.values(name);
        const int index = seen[name]++;
        if (index < values.size())
            settings << values.at(index);
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

// The value as the option's kind takes it; an empty text when it is all right.
QString checkedValue(const LoteOption &option, const QString &value)
{
    bool ok = false;
    switch (option.kind) {
    case LoteValue::Integer: {
        const int number = value.toInt(&ok);
        if (ok && number >= option.minimum && number <= option.maximum)
            return QString();
        return QStringLiteral("«%1» no es un número entero entre %2 y %3")
            .arg(value, QString::number(option.minimum), QString::number(option.maximum));
    }
    case LoteValue::Decimal: {
        const double number = value.toDouble(&ok);
        if (ok && number >= option.minimum && number <= option.maximum)
            return QString();
        return QStringLiteral("«%1» no es un número entre %2 y %3")
            .arg(value, QString::number(option.minimum), QString::number(option.maximum));
    }
    case LoteValue::Choice: {
        if (option.choices.contains(value, Qt::CaseInsensitive))
            return QString();
        const QStringList first = option.choices.mid(0, option.choices.size() - 1);
        if (option.choiceNoun.isEmpty())
            return QStringLiteral("«%1» no es %2 ni %3")
                .arg(value, first.join(QStringLiteral(", ")), option.choices.constLast());
        return QStringLiteral("%1 «%2» (use %3 o %4)")
            .arg(option.choiceNoun, value, first.join(QStringLiteral(", ")),
                 option.choices.constLast());
    }
    case LoteValue::Corner:
        if (cornerFromName(value) != Corner::Unknown)
            return QString();
        return QStringLiteral("esquina desconocida «%1» (use %2)")
            .arg(value, cornerNames().join(QStringLiteral(", ")));
    case LoteValue::None:
    case LoteValue::Text:
    case LoteValue::File:
        break;
    }
    return QString();
}

// Every option given, checked and set in the table's order; the first problem, naming its
// option, or an empty text.
QString applyOptions(const QCommandLineParser &parser, LoteRequest &request)
{
    for (const LoteOption &option : loteOptions()) {
        const QString name = longName(option);
        if (!parser.isSet(name))
            continue;
        const QStringList values =
            option.valueName.isEmpty() ? QStringList{QString()} : parser.values(name);
        for (const QString &value : values) {
            QString problem = checkedValue(option, value);
            if (problem.isEmpty())
                problem = option.sets(request, value);
            // The shared value parsers name the option themselves.
            const QString dashedName = QStringLiteral("--") + name;
            if (!problem.isEmpty())
                return problem.startsWith(QLatin1String("--")) || problem.contains(dashedName)
                           ? problem
                           : dashedName + QStringLiteral(": ") + problem;
        }
    }
    return QString();
}

} // namespace

LoteRequest parseLoteArguments(const QStringList &arguments, const QString &defaultFontPath)
{
    QCommandLineParser parser;
    for (const LoteOption &option : loteOptions())
        parser.addOption(option.valueName.isEmpty()
                             ? QCommandLineOption(option.names)
                             : QCommandLineOption(option.names, QString(), option.valueName));

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

    BatchJob &job = request.job;
    // The script's own defaults, where they are not the window's.
    job.orientUpright = true;
    job.keepFormat = true;
    job.lossless = true;
    job.metadataOnlyWrites = true;
    job.skipProcessed = true;
    job.style.fontPath = defaultFontPath;
    job.style.background = TextBackground::Halo;
    job.style.westLetter = QStringLiteral("O");
    job.workers = std::max(1, QThread::idealThreadCount());
    const QStringList folders = parser.positionalArguments();
    if (parser.isSet(QStringLiteral("deshacer"))) {
        // An undo takes back what the journal records, with nothing of a run's own.
        if (!folders.isEmpty())
            return failure(QStringLiteral("--deshacer: no se combina con CARPETA: ") +
                           folders.first());
        for (const QString &name : parser.optionNames())
            if (name != QLatin1String("deshacer") && name != QLatin1String("simular"))
                return failure(QStringLiteral("--deshacer: no se combina con ") + dashed(name));
        if (const QString problem = applyOptions(parser, request); !problem.isEmpty())
            return failure(problem);
        request.action = LoteRequest::Action::Undo;
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
        QString problem = applyOptions(parser, request);
        if (problem.isEmpty())
            problem = parseReportOptions(parser, request.report);
        if (!problem.isEmpty())
            return failure(problem);
        request.report.fontPath = job.style.fontPath;
        request.report.workers = job.workers;
        if (!QFileInfo(request.report.fontPath).isFile() && parser.isSet(QStringLiteral("fuente")))
            return failure(QStringLiteral("--fuente: no existe el archivo ") +
                           request.report.fontPath);
        request.action = LoteRequest::Action::Report;
        return request;
    }
    const bool preview = parser.isSet(QStringLiteral("muestra"));
    if (folders.isEmpty())
        return failure(preview ? QStringLiteral("--muestra: falta ARCHIVO.png")
                               : QStringLiteral("falta CARPETA (véase --help)"));
    if (folders.size() > 1)
        return failure(QStringLiteral("sobra el argumento: ") + folders.at(1));
    if (preview) {
        // A preview is of one photo, drawn into a file of its own: the photo's folder is the run's.
        const QString photo = parser.value(QStringLiteral("muestra"));
        if (!QFileInfo(photo).isFile())
            return failure(QStringLiteral("--muestra: no existe el archivo ") + photo);
        if (QFileInfo(folders.first()).suffix().toLower() != QLatin1String("png"))
            return failure(QStringLiteral("--muestra: ") + folders.first() +
                           QStringLiteral(" no es un archivo .png"));
        const QFileInfo image(folders.first());
        if (image.exists() || image.isSymLink())
            return failure(QStringLiteral("--muestra: el archivo %1 ya existe; no se sobrescribe.")
                               .arg(folders.first()));
        for (const char *runOnly : {"capa", "informe", "kmz", "ejemplo", "diario"})
            if (parser.isSet(QString::fromLatin1(runOnly)))
                return failure(QStringLiteral("--%1: no se combina con --muestra")
                                   .arg(QString::fromLatin1(runOnly)));
        request.previewImage = folders.first();
        job.directory = QFileInfo(photo).absolutePath();
    } else if (!QFileInfo(folders.first()).isDir()) {
        return failure(QStringLiteral("CARPETA: no existe la carpeta ") + folders.first());
    } else {
        job.directory = folders.first();
    }

    if (const QString problem = applyOptions(parser, request); !problem.isEmpty())
        return failure(problem);
    if (parser.isSet(QStringLiteral("como-guardada")) && parser.isSet(QStringLiteral("orientar")))
        return failure(QStringLiteral("--como-guardada: no se combina con --orientar"));
    // A JPEG keeps every block no stamp touches; --recodificar asks for the window's whole
    // re-encode at quality 90, which loses detail on every run.
    if (parser.isSet(QStringLiteral("sin-perdidas")) && parser.isSet(QStringLiteral("recodificar")))
        return failure(QStringLiteral("--recodificar: no se combina con --sin-perdidas"));
    // A script over a crew's whole archive must not lose a photo, a name or its metadata where the
    // window would; --posicion-fija asks for the window's made-up position back.
    job.policy = RunPolicy::Script;

    // Re-runs over a folder that gained new photos must not stamp the earlier ones twice: each
    // photo written carries this entry in its XMP history, and photos that have one are skipped.
    request.options = arguments.mid(1);
    request.version = QStringLiteral(CARTALUZ_VERSION);
    job.history.action = QStringLiteral("edited");
    job.history.softwareAgent = QStringLiteral("Cartaluz " CARTALUZ_VERSION);
    job.history.when = runStart();
    job.history.parameters = settingsText(parser);
    job.journalled = job.makeBackup || parser.isSet(QStringLiteral("diario"));
    request.journal = !job.dryRun && job.journalled;
    if (parser.isSet(QStringLiteral("diario"))) {
        const QFileInfo journal(request.journalPath);
        if (journal.exists() || journal.isSymLink())
            return failure(QStringLiteral("--diario: el archivo %1 ya existe; no se sobrescribe.")
                               .arg(request.journalPath));
    }

    for (const auto &[name, target] : {std::pair{QStringLiteral("logo"), &job.logoPath},
                                       std::pair{QStringLiteral("fuente"), &job.style.fontPath},
                                       std::pair{QStringLiteral("txt"), &job.txtPath}}) {
        if (!parser.isSet(name))
            continue;
        QString problem = QFileInfo(*target).isFile()
                              ? unusableInput(name, *target)
                              : QStringLiteral("no existe el archivo ") + *target;
        if (!problem.isEmpty())
            return failure(QStringLiteral("--") + name + QStringLiteral(": ") + problem);
    }
    // Without a logo the window passes a zero logo ratio; nothing is drawn either way.
    if (job.logoPath.isEmpty())
        job.style.logoRatio = 0.0;
    job.useExif = job.txtPath.isEmpty();

    QString problem = parseTrackOptions(parser, request);
    if (problem.isEmpty())
        problem = parseReportOptions(parser, request.report);
    if (!problem.isEmpty())
        return failure(problem);
    request.report.fontPath = job.style.fontPath;
    request.report.workers = job.workers;
    if (const QString problem = checkStampOptions(parser, request); !problem.isEmpty())
        return failure(problem);

    if (parser.isSet(QStringLiteral("ejemplo"))) {
        // The sample file is written, so it cannot be part of a run that touches nothing.
        if (job.dryRun)
            return failure(QStringLiteral("--simular: no se combina con --ejemplo"));
        for (const char *runOnly : {"track", "capa", "informe", "kmz"})
            if (parser.isSet(QString::fromLatin1(runOnly)))
                return failure(QStringLiteral("--%1: no se combina con --ejemplo")
                                   .arg(QString::fromLatin1(runOnly)));
        request.action = LoteRequest::Action::Sample;
        // As with the layer: a file already there is someone's, perhaps edited by hand.
        const QFileInfo sample(request.samplePath);
        if (sample.exists() || sample.isSymLink())
            return failure(QStringLiteral("--ejemplo: el archivo %1 ya existe; no se sobrescribe.")
                               .arg(request.samplePath));
        return request;
    }
    if (parser.isSet(QStringLiteral("ejemplo-exif")))
        return failure(QStringLiteral("--ejemplo-exif: solo vale junto con --ejemplo"));
    request.action = preview ? LoteRequest::Action::Preview : LoteRequest::Action::Run;
    return request;
}
