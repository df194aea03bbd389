// cartaluz-lote: the window's batch run from the command line, on every core, with progress and a
// dry run.
#include "folderlock.h"
#include "librarychatter.h"
#include "loteoptions.h"
#include "photoreport.h"
#include "progressline.h"
#include "trackrun.h"
#include "undorun.h"

#include "batchengine.h"
#include "defaultfont.h"
#include "photolisting.h"
#include "runjournal.h"
#include "samplefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>

#include <unistd.h>

namespace {

// The program's own messages and the progress line; library chatter never reaches it.
FILE *errors = stderr;

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
}

// A line holding a newline inside a name would read as two; the lines that start with one (a
// photo's first) keep it.
QString escapedLine(const QString &line)
{
    qsizetype leading = 0;
    while (leading < line.size() && line.at(leading) == QLatin1Char('\n'))
        ++leading;
    QString rest = line.mid(leading);
    if (!rest.contains(QLatin1Char('\n')) && !rest.contains(QLatin1Char('\r')))
        return line;
    rest.replace(QLatin1Char('\n'), QStringLiteral("\\n"))
        .replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return line.left(leading) + rest;
}

int runSample(const LoteRequest &request)
{
    bool failed = false;
    SampleRules rules;
    // The rows the run would take: by path where names repeat, the same positions, and its
    // names' whole metres.
    rules.relativeWhereRepeated = true;
    rules.onlyPossiblePositions = true;
    rules.roundedMetres = true;
    rules.mode = SampleWrite::Whole;
    writeSampleCoordinateFile(request.job.directory, request.samplePath,
                              request.job.includeSubdirectories, request.sampleFromExif, rules,
                              [&failed](Severity severity, const QString &line) {
                                  failed = failed || severity == Severity::Error;
                                  writeLine(stdout, line);
                              });
    return failed ? StatusPhotoErrors : StatusOk;
}

// Where the run's listing finds nothing, a run would only leave an empty Backup folder and a
// journal of nothing: one line says so instead, and a hint when the photos are one level down.
bool reportNoPhotos(const BatchJob &job)
{
    const auto listed = [&job](bool subfolders) {
        return listPhotos(job.directory, subfolders, PhotoOrder::Sorted, true, true);
    };
    if (!listed(job.includeSubdirectories).isEmpty())
        return false;
    QString line = QStringLiteral("No hay fotos en ") + job.directory;
    if (!job.includeSubdirectories && !listed(true).isEmpty())
        line += QStringLiteral(" (las hay en sus subcarpetas: véase --subdirectorios)");
    writeLine(stdout, line);
    return true;
}

// The coordinate file is read here rather than by the run, so that each row it reports names
// its line and counts in the summary. Returns how many rows were reported.
int readTable(BatchJob &job)
{
    if (job.useExif || job.txtPath.isEmpty())
        return 0;
    int reported = 0;
    const QString fileName = QFileInfo(job.txtPath).fileName();
    job.table = readCoordinateFile(job.txtPath, [&](const RowProblem &problem) {
        ++reported;
        // Concatenated: a "%1" in the file's name or a row stays as it is.
        job.log(Severity::Error,
                problem.lineNumber == 0
                    ? problem.message
                    : fileName + QStringLiteral(", línea ") + QString::number(problem.lineNumber) +
                          QStringLiteral(": ") + problem.message +
                          (problem.rowKept ? QStringLiteral(" (fila usada sin orientación)")
                                           : QStringLiteral(" (fila descartada)")));
    });
    // A sample file written without EXIF positions and never edited would put every photo on
    // the same made-up spot.
    const CoordinateTable &table = *job.table;
    const bool allPlaceholders =
        !table.isEmpty() && std::all_of(table.cbegin(), table.cend(), [](const auto &row) {
            return row.zoneNumber == 19 && row.zoneLetter == 'J' && row.easting == 500000.0 &&
                   row.northing == 6000000.0;
        });
    if (allPlaceholders)
        job.log(Severity::Warning,
                QStringLiteral("Todas las filas de ") + job.txtPath +
                    QStringLiteral(" tienen aún la posición de ejemplo (19J 500000 6000000): "
                                   "escriba en cada una la posición real de su foto."));
    return reported;
}

// The PDF and the KMZ asked for, each as a step of the progress line. False when one could not
// be written, with its message out.
bool writeReports(const ReportRun &run, const ReportOptions &options, ProgressLine &progress,
                  const PictureSpool *pictures = nullptr)
{
    int placed = 0;
    for (const ReportPhoto &photo : run.photos)
        placed += photo.located ? 1 : 0;
    const QString step = options.pdfPath.isEmpty()   ? QStringLiteral("KMZ")
                         : options.kmzPath.isEmpty() ? QStringLiteral("Informe")
                                                     : QStringLiteral("Informe y KMZ");
    QString errorText;
    std::fflush(stdout);
    const bool written = writeReportDocuments(
        run, options,
        [&progress, &step](int done, int total) { progress.updateStep(step, done, total); },
        errorText, pictures);
    progress.clear();
    if (!written) {
        writeLine(errors, QStringLiteral("cartaluz-lote: ") + errorText);
        return false;
    }
    if (!options.pdfPath.isEmpty())
        writeLine(
            stdout,
            QStringLiteral("Informe escrito: %1 (%2 fotos)").arg(options.pdfPath).arg(placed));
    if (!options.kmzPath.isEmpty())
        writeLine(stdout,
                  QStringLiteral("KMZ escrito: %1 (%2 fotos)").arg(options.kmzPath).arg(placed));
    return written;
}

int runReport(const LoteRequest &request)
{
    ReportRun run;
    QString errorText;
    if (!reportRunOfJournal(request.report.journalPath, run, errorText)) {
        writeLine(errors, QStringLiteral("cartaluz-lote: --informe-de: ") + errorText);
        return StatusUsage;
    }
    ProgressLine progress(errors);
    return writeReports(run, request.report, progress) ? StatusOk : StatusPhotoErrors;
}

int runJob(LoteRequest &request)
{
    ProgressLine progress(errors);
    BatchJob &job = request.job;
    // Only when the log shares the terminal does the progress line have to make way for it.
    const bool sharedTerminal = isatty(fileno(stdout)) == 1;
    // Errors outside any photo (a rejected coordinate file row, an unreadable logo) count too.
    bool loggedError = false;
    job.log = [&progress, sharedTerminal, &loggedError](Severity severity, const QString &line) {
        if (sharedTerminal)
            progress.clear();
        loggedError = loggedError || severity == Severity::Error;
        writeLine(stdout, escapedLine(line));
    };
    job.progress = [&progress](int done, int total) {
        // Log and progress may share one terminal: the lines go out before the progress line.
        std::fflush(stdout);
        progress.update(done, total);
    };

    if (reportNoPhotos(job))
        return StatusOk;
    FolderLock lock;
    QString lockError;
    if (!lock.take(job.directory, lockError)) {
        writeLine(errors, QStringLiteral("cartaluz-lote: ") + lockError);
        return StatusUsage;
    }
    // Read before this run's own journal exists, each journal once.
    if (job.skipProcessed)
        job.earlierWrites = std::make_shared<EarlierWrites>(readEarlierWrites(job.directory));

    // Made only now, when every run-wide check has passed: a refused run leaves nothing behind.
    RunJournal journal;
    if (request.journal) {
        const bool chosen = !request.journalPath.isEmpty();
        QString path;
        QString errorText;
        bool started = false;
        if (!chosen)
            QDir(job.directory).mkdir(QStringLiteral("Backup"));
        // Two runs starting in the same second may pick the same default name; the later one
        // takes the next.
        for (int attempt = 0; !started && attempt < (chosen ? 1 : 100); ++attempt) {
            path = chosen ? request.journalPath
                          : RunJournal::defaultPath(job.directory, job.history.when);
            started =
                journal.start(path, job.directory, request.options, request.version, errorText);
            if (!QFileInfo::exists(path))
                break;
        }
        if (!started) {
            writeLine(errors, QStringLiteral("cartaluz-lote: no se puede crear el diario %1 (%2)")
                                  .arg(path, errorText));
            return StatusUsage;
        }
        job.journal = &journal;
    }
    if (job.dryRun)
        writeLine(stdout, simulationLine());
    for (const QString &line : std::as_const(request.notes))
        job.log(Severity::Information, line);
    for (const QString &line : std::as_const(request.warnings))
        job.log(Severity::Warning, line);
    const int rowsReported = readTable(job);
    // The documents' copies of the photos stamped in their coefficients are made as they are
    // stamped, which spares decoding each photo again.
    std::unique_ptr<PictureSpool> pictures;
    if (!job.dryRun && (!request.report.pdfPath.isEmpty() || !request.report.kmzPath.isEmpty())) {
        pictures = std::make_unique<PictureSpool>(request.report);
        job.stampedPictures = [spool = pictures.get()](const QString &path, const QImage &image,
                                                       int orientation) {
            spool->add(path, image, orientation);
        };
        job.stampedPictureSide = pictures->longSide();
    }
    QVector<PhotoOutcome> outcomes;
    try {
        outcomes = runBatch(job);
    } catch (const std::exception &error) {
        progress.clear();
        std::fflush(stdout);
        writeLine(errors, QStringLiteral("cartaluz-lote: la ejecución terminó antes de tiempo: ") +
                              QString::fromUtf8(error.what()));
        return StatusEndedEarly;
    }
    progress.clear();

    int processed = 0;
    int withErrors = 0;
    int withoutPosition = 0;
    for (const PhotoOutcome &outcome : outcomes) {
        processed += outcome.processed ? 1 : 0;
        withErrors += outcome.loggedError ? 1 : 0;
        withoutPosition += outcome.positionMissing ? 1 : 0;
    }
    const int skipped = int(outcomes.size()) - processed;
    // Rows of the coordinate file it reported are errors of the run, as its exit status says.
    withErrors += rowsReported;
    if (job.journal) {
        QString errorText;
        if (!journal.finish(processed, skipped, withErrors, withoutPosition, errorText)) {
            writeLine(errors, QStringLiteral("cartaluz-lote: el diario %1 está incompleto (%2)")
                                  .arg(journal.path(), errorText));
            loggedError = true;
        }
    }
    if (job.dryRun)
        writeLine(stdout, QStringLiteral("\nSimulación: se procesarían %1 fotos, se omitirían %2, "
                                         "%3 con errores, %4 sin posición; no se ha modificado "
                                         "nada.")
                              .arg(processed)
                              .arg(skipped)
                              .arg(withErrors)
                              .arg(withoutPosition));
    else
        writeLine(
            stdout,
            QStringLiteral(
                "\nResumen: %1 fotos procesadas, %2 omitidas, %3 con errores, %4 sin posición.")
                .arg(processed)
                .arg(skipped)
                .arg(withErrors)
                .arg(withoutPosition));
    if (job.journal)
        writeLine(stdout, QStringLiteral("Diario: ") + journal.path());
    if (!request.layerPath.isEmpty()) {
        QString errorText;
        const QList<LayerPoint> points = layerPointsOf(outcomes, request.cameraZoneSeconds);
        std::fflush(stdout);
        if (!writeLayer(request.layerPath, points, errorText)) {
            writeLine(errors, QStringLiteral("cartaluz-lote: ") + errorText);
            return StatusPhotoErrors;
        }
        const auto unplaced = std::count_if(points.cbegin(), points.cend(),
                                            [](const LayerPoint &point) { return !point.located; });
        QString written = QStringLiteral("Capa escrita: %1 (%2 puntos")
                              .arg(request.layerPath)
                              .arg(points.size() - unplaced);
        if (unplaced > 0)
            written += QStringLiteral(", %1 fotos sin posición").arg(unplaced);
        writeLine(stdout, written + QLatin1Char(')'));
    }
    if (!request.report.pdfPath.isEmpty() || !request.report.kmzPath.isEmpty()) {
        ReportRun run = reportRunOf(outcomes, job.directory, job.history.when, job.dryRun);
        run.tracks = request.trackLines;
        if (!writeReports(run, request.report, progress, pictures.get()))
            return StatusPhotoErrors;
    }
    return loggedError ? StatusPhotoErrors : StatusOk;
}

// The photo as the run would stamp it, in a PNG a screen shows whole; the photo and its folder
// stay as they are.
int runPreview(const LoteRequest &request)
{
    BatchJob job = request.job;
    bool failed = false;
    job.log = [&failed](Severity severity, const QString &line) {
        failed = failed || severity == Severity::Error;
        writeLine(stdout, line);
    };
    job.dryRun = true;
    job.skipProcessed = false;
    job.journal = nullptr;
    for (const QString &line : request.notes)
        job.log(Severity::Information, line);
    const QImage image =
        previewPhoto(job, QFileInfo(request.previewPhoto).absoluteFilePath(), 1600);
    if (image.isNull()) {
        writeLine(errors, QStringLiteral("cartaluz-lote: --muestra: la ejecución no estamparía ") +
                              request.previewPhoto);
        return StatusPhotoErrors;
    }
    if (!image.save(request.previewImage, "png")) {
        writeLine(errors,
                  QStringLiteral("cartaluz-lote: no se puede escribir ") + request.previewImage);
        return StatusPhotoErrors;
    }
    writeLine(stdout, QStringLiteral("Muestra escrita: %1 (%2 × %3)")
                          .arg(request.previewImage)
                          .arg(image.width())
                          .arg(image.height()));
    return failed ? StatusPhotoErrors : StatusOk;
}

} // namespace

int main(int argc, char *argv[])
{
    errors = quietLibraries();
    // Painting text needs a GUI application, never a display: a server has none.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    LoteRequest request = parseLoteArguments(QCoreApplication::arguments(), defaultFontPath());
    int status = StatusOk;
    switch (request.action) {
    case LoteRequest::Action::Help:
    case LoteRequest::Action::Version:
        writeLine(stdout, request.text);
        break;
    case LoteRequest::Action::Error:
        writeLine(errors, request.text);
        status = StatusUsage;
        break;
    case LoteRequest::Action::Sample:
        status = runSample(request);
        break;
    case LoteRequest::Action::Run:
        status = runJob(request);
        break;
    case LoteRequest::Action::Preview:
        status = runPreview(request);
        break;
    case LoteRequest::Action::Report:
        status = runReport(request);
        break;
    case LoteRequest::Action::Undo: {
        QString errorText;
        status = undoRun(
            request.undoJournal, request.job.dryRun,
            [](const QString &line) { writeLine(stdout, escapedLine(line)); }, errorText);
        if (!errorText.isEmpty())
            writeLine(errors, QStringLiteral("cartaluz-lote: ") + errorText);
        break;
    }
    }
    std::fflush(stdout);
    return status;
}
