// The batch engine. Names are claimed in listing order on the calling thread (backups and renames
// depend on what earlier photos took); decoding, painting, encoding and writing run on the
// workers; each photo's log lines are handed out together and in listing order, so a run gives
// the same files and the same log whatever the number of workers.
#include "batchengine.h"

#include "photoannotation.h"
#include "photolisting.h"
#include "photometadata.h"
#include "photoroad.h"
#include "utm.h"

#include <QFileInfo>
#include <QImage>
#include <QSet>
#include <QStringList>
#include <QThreadPool>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

using photoroad::Photo;
using photoroad::Run;

namespace {

bool isErrorLine(const QString &line)
{
    return line.startsWith(QLatin1String("Error"));
}

PhotoOutcome outcomeOf(const Photo &photo, const QString &listedPath, bool processed,
                       bool loggedError)
{
    PhotoOutcome outcome;
    outcome.listedPath = listedPath;
    outcome.finalPath = photo.currentPath;
    outcome.processed = processed;
    outcome.captureDate = photo.captureDate;
    outcome.dateFound = photo.dateFound;
    outcome.zoneNumber = photo.zoneNumber;
    outcome.zoneLetter = photo.zoneLetter;
    outcome.easting = photo.easting;
    outcome.northing = photo.northing;
    outcome.latLonKnown = photo.latLonKnown;
    outcome.latitude = photo.latitude;
    outcome.longitude = photo.longitude;
    if (photo.source == PositionSource::Table) {
        const GeoPosition position =
            utmToLatLon(photo.zoneNumber, photo.zoneLetter, photo.easting, photo.northing);
        outcome.latLonKnown = true;
        outcome.latitude = position.latitude;
        outcome.longitude = position.longitude;
    }
    outcome.orientation = photo.orientation;
    outcome.orientationKnown = photo.orientationKnown;
    outcome.source = photo.source;
    outcome.loggedError = loggedError;
    return outcome;
}

// The run as one photo sees it: its log lines also mark the photo when they report a failure.
Run runFor(const Run &run, const LogCallback &sink, bool *loggedError)
{
    Run photoRun = run;
    photoRun.log = [sink, loggedError](const QString &line) {
        if (isErrorLine(line))
            *loggedError = true;
        sink(line);
    };
    return photoRun;
}

void reportProgress(const BatchJob &job, int done, int total)
{
    if (job.progress)
        job.progress(done, total);
}

// One worker, on the calling thread: every line reaches the log the moment it is made.
QVector<PhotoOutcome> runInline(const QStringList &photos, const Run &run, const BatchJob &job)
{
    QVector<PhotoOutcome> outcomes;
    QImage picture;
    for (const QString &path : photos) {
        bool loggedError = false;
        const Run photoRun = runFor(run, run.log, &loggedError);
        Photo photo;
        const bool processed = photoroad::preparePhoto(photo, path, photoRun) &&
                               photoroad::finishPhoto(photo, photoRun, picture);
        outcomes.append(outcomeOf(photo, path, processed, loggedError));
        reportProgress(job, int(outcomes.size()), int(photos.size()));
    }
    return outcomes;
}

// One photo's turn in a parallel run. Its lines are written by the calling thread while it is
// prepared and by one worker while it is finished, and read only once done is set.
struct Turn
{
    std::unique_ptr<Photo> photo;
    Run run; // the job's run, with a log of its own that fills lines
    QStringList lines;
    bool loggedError = false;
    PhotoOutcome outcome;
    bool done = false; // guarded by the run's mutex
    std::exception_ptr failure;
};

class ParallelRun
{
public:
    ParallelRun(const QStringList &photos, const Run &run, const BatchJob &job)
        : m_photos(photos)
        , m_run(run)
        , m_job(job)
        , m_turns(size_t(photos.size()))
    {
        m_pool.setMaxThreadCount(job.workers);
    }

    QVector<PhotoOutcome> run()
    {
        // Prepared photos wait with their metadata snapshot in memory, so the naming phase keeps
        // only a few turns ahead of the oldest one not yet handed out.
        const int ahead = 2 * m_job.workers;
        const int total = int(m_photos.size());
        for (int i = 0; i < total && !stopped(); ++i) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(
                    lock, [&] { return i - m_emitted < ahead || m_turns[size_t(m_emitted)].done; });
            }
            emitFinished();
            prepare(i);
            emitFinished();
        }
        m_pool.waitForDone();
        emitFinished();
        if (m_failure)
            std::rethrow_exception(m_failure);
        return m_outcomes;
    }

private:
    LogCallback sinkFor(Turn &turn)
    {
        return [&turn](const QString &line) {
            turn.lines.append(line);
        };
    }

    void prepare(int index)
    {
        Turn &turn = m_turns[size_t(index)];
        const QString &path = m_photos.at(index);
        turn.photo = std::make_unique<Photo>();
        turn.run = runFor(m_run, sinkFor(turn), &turn.loggedError);
        bool goesOn = false;
        try {
            goesOn = photoroad::preparePhoto(*turn.photo, path, turn.run);
        } catch (...) {
            finish(turn, std::current_exception());
            return;
        }
        if (!goesOn) {
            turn.outcome = outcomeOf(*turn.photo, path, false, turn.loggedError);
            finish(turn, nullptr);
            return;
        }
        handOver();
        m_pool.start([this, index] { finishOnWorker(index); });
    }

    // A prepared turn reaches its worker through the pool's queue, whose lock thread checkers
    // cannot see (the toolkit is not built with them). Both sides pass the run's lock, the calling
    // thread after preparing and the worker before reading the turn, which shows them the order
    // the queue gives; the task itself carries only the turn's number, copied by the toolkit.
    void handOver() { const std::lock_guard<std::mutex> lock(m_mutex); }

    void finishOnWorker(int index)
    {
        handOver();
        Turn &turn = m_turns[size_t(index)];
        // One picture buffer per worker thread; it goes when the pool's threads end.
        thread_local QImage picture;
        std::exception_ptr failure;
        try {
            const bool processed = photoroad::finishPhoto(*turn.photo, turn.run, picture);
            turn.outcome = outcomeOf(*turn.photo, m_photos.at(index), processed, turn.loggedError);
        } catch (...) {
            failure = std::current_exception();
        }
        finish(turn, failure);
    }

    void finish(Turn &turn, std::exception_ptr failure)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        turn.failure = failure;
        turn.done = true;
        if (failure)
            m_stop = true;
        m_changed.notify_all();
    }

    bool stopped()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_stop;
    }

    // Hands out, in listing order, every turn that is done and has no unfinished turn before it.
    void emitFinished()
    {
        for (;;) {
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                if (m_emitted >= int(m_turns.size()) || !m_turns[size_t(m_emitted)].done)
                    return;
            }
            Turn &turn = m_turns[size_t(m_emitted)];
            for (const QString &line : std::as_const(turn.lines))
                m_job.log(line);
            turn.lines.clear();
            turn.photo.reset();
            turn.run = Run();
            // The first failure in listing order is the one the caller gets; photos that other
            // workers had under way are still finished and logged.
            if (turn.failure) {
                if (!m_failure)
                    m_failure = turn.failure;
            } else {
                m_outcomes.append(turn.outcome);
            }
            ++m_emitted;
            reportProgress(m_job, m_emitted, int(m_turns.size()));
        }
    }

    const QStringList &m_photos;
    const Run &m_run;
    const BatchJob &m_job;
    std::vector<Turn> m_turns;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stop = false;
    int m_emitted = 0; // touched by the calling thread only
    std::exception_ptr m_failure;
    QVector<PhotoOutcome> m_outcomes;
    QThreadPool m_pool; // last, so it is gone before anything its tasks use
};

QString sourceText(PositionSource source)
{
    switch (source) {
    case PositionSource::Exif:
        return QStringLiteral("EXIF");
    case PositionSource::Fallback:
        return QStringLiteral("track GPS");
    case PositionSource::Table:
        return QStringLiteral("archivo TXT");
    case PositionSource::Fixed:
        break;
    }
    return QStringLiteral("coordenadas fijas");
}

// What a run would do, on the same names the real run would claim; nothing is written. Files the
// simulated run would create or move away are remembered so later photos see them as it would.
QVector<PhotoOutcome> simulate(const QStringList &photos, const Run &run, const BatchJob &job)
{
    QSet<QString> created;
    QSet<QString> removed;
    const photoroad::NameTaken taken = [&](const QString &path) {
        if (created.contains(path))
            return true;
        return !removed.contains(path) && photoroad::nameTaken(path);
    };

    QVector<PhotoOutcome> outcomes;
    for (const QString &path : photos) {
        bool loggedError = false;
        const Run photoRun = runFor(run, run.log, &loggedError);
        Photo photo;
        photoroad::describe(photo, path);
        photoRun.log(QStringLiteral("\nSimulación: ") + photo.fileName);
        if (run.makeBackup) {
            const QDir backupDir(QDir(photo.folder).filePath(QStringLiteral("Backup")));
            const QString backupPath =
                photoroad::backupPathIn(backupDir, photo.baseName, photo.suffix, taken);
            created.insert(backupPath);
            photoRun.log(QStringLiteral("Backup: ") + QFileInfo(backupPath).fileName());
        }
        photo.dateFound = readCaptureDate(photo.sourcePath, photo.captureDate);
        if (!photo.dateFound)
            photo.captureDate = QDateTime::currentDateTime();

        const bool goesOn = photoroad::locate(photo, photoRun);
        photoRun.log(QStringLiteral("Posición desde: ") + sourceText(photo.source));
        if (!goesOn) {
            photoRun.log(QStringLiteral("Se omitiría: sin fila en el archivo TXT"));
            outcomes.append(outcomeOf(photo, path, false, loggedError));
            reportProgress(job, int(outcomes.size()), int(photos.size()));
            continue;
        }
        photoroad::nameAfterUtm(photo, run);
        photoRun.log(QStringLiteral("Nombre UTM: ") + photo.utmName);
        if (run.renameToUtm) {
            const QDir folder(photo.folder);
            const QString newName = photoroad::utmFileName(folder, photo.prefixedName, taken);
            const QString newPath = folder.filePath(newName);
            created.remove(photo.sourcePath);
            removed.insert(photo.sourcePath);
            removed.remove(newPath);
            created.insert(newPath);
            photo.currentPath = newPath;
            photoRun.log(QStringLiteral("Nuevo nombre: ") + newName);
        } else {
            photoRun.log(QStringLiteral("Nuevo nombre: ") + photo.fileName +
                         QStringLiteral(" (sin renombrar)"));
        }
        outcomes.append(outcomeOf(photo, path, true, loggedError));
        reportProgress(job, int(outcomes.size()), int(photos.size()));
    }
    return outcomes;
}

} // namespace

QVector<PhotoOutcome> runBatch(const BatchJob &job)
{
    initializeMetadataLibrary();
    // The whole list is collected before any photo is touched, so backups and renamed files
    // made by this run are never picked up by it.
    const QStringList photos = listPhotos(job.directory, job.includeSubdirectories);
    const Run run = photoroad::startRun(job);
    if (job.dryRun)
        return simulate(photos, run, job);
    if (job.workers <= 1 || photos.size() <= 1)
        return runInline(photos, run, job);
    // Registering the font touches the process-wide font database: done once, here, so the
    // workers only ever find it registered.
    annotationFont(job.fontPath);
    return ParallelRun(photos, run, job).run();
}
