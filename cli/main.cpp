// cartaluz-lote: the window's batch run from the command line, on every core, with progress and a
// dry run.
#include "librarychatter.h"
#include "loteoptions.h"
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
#include <utility>

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

// The first line of every simulated run or undo: what follows only says what would happen.
const QString simulationLine =
    QStringLiteral("Simulación: no se modificará ningún archivo; cada línea dice lo que se haría.");

int runSample(const LoteRequest &request)
{
    bool failed = false;
    SampleRules rules;
    rules.relativeWhereRepeated = request.job.safety.relativePathRows;
    // The rows the run would take: the same positions, and its names' whole metres.
    rules.onlyPossiblePositions = request.job.safety.rejectImpossiblePositions;
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
        return listPhotos(job.directory, subfolders, PhotoOrder::Sorted,
                          job.safety.skipBackupFolders);
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
        writeLine(stdout, line);
    };
    job.progress = [&progress](int done, int total) {
        // Log and progress may share one terminal: the lines go out before the progress line.
        std::fflush(stdout);
        progress.update(done, total);
    };

    if (reportNoPhotos(job))
        return StatusOk;

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
        writeLine(stdout, simulationLine);
    for (const QString &line : std::as_const(request.warnings))
        job.log(Severity::Warning, line);
    const int rowsReported = readTable(job);
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
    return loggedError ? StatusPhotoErrors : StatusOk;
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
    case LoteRequest::Action::Undo: {
        QString errorText;
        // Before the undo's first line: a journal it cannot read gives no log at all.
        bool opening = request.job.dryRun;
        status = undoRun(
            request.undoJournal, request.job.dryRun,
            [&opening](const QString &line) {
                if (std::exchange(opening, false))
                    writeLine(stdout, simulationLine);
                writeLine(stdout, line);
            },
            errorText);
        if (!errorText.isEmpty())
            writeLine(errors, QStringLiteral("cartaluz-lote: ") + errorText);
        break;
    }
    }
    std::fflush(stdout);
    return status;
}
