// The batch engine. It only orchestrates: it lists the photos, has each one prepared in listing
// order on the calling thread (backups and renames depend on what earlier photos took), hands the
// rest of its road to the workers, and hands each photo's log lines out together and in listing
// order, so a run gives the same files and the same log whatever the number of workers.
#include "batchengine.h"

#include "annotationfont.h"
#include "photocommit.h"
#include "photolisting.h"
#include "photoplan.h"
#include "photorender.h"
#include "runjournal.h"
#include "utm.h"

#include <QImage>
#include <QStringList>
#include <QThreadPool>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

using photoroad::Photo;
using photoroad::Run;

namespace {

// What a photo's lines say of it besides their text, gathered as they are made.
struct Marks
{
    bool loggedError = false;
    QStringList problems; // warning and error lines
};

PhotoOutcome outcomeOf(const Photo &photo, const QString &listedPath, bool processed,
                       const Marks &marks)
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
    outcome.altitude = photo.altitude;
    outcome.headingReference = photo.headingReference;
    outcome.loggedError = marks.loggedError;
    outcome.problems = marks.problems;
    outcome.positionMissing = photo.positionMissing;
    outcome.reason = photo.reason;
    outcome.captureOffset = photo.captureOffset;
    outcome.positioningErrorMetres = photo.positioningErrorMetres;
    if (photo.source == PositionSource::Track) {
        outcome.trackFile = photo.track.trackFile;
        outcome.trackFixes = photo.track.trackFixes;
    }
    outcome.attributes = photo.attributes;
    if (photo.backupMade)
        outcome.backupPath = photo.backupPath;
    outcome.sha256Original = photo.sha256Original;
    outcome.sha256Backup = photo.sha256Backup;
    outcome.sha256Written = photo.sha256Written;
    outcome.writtenSize = photo.writtenSize;
    return outcome;
}

// The render and the commit of a planned photo. False when it was not processed.
bool finishPhoto(Photo &photo, const Run &run, QImage &image)
{
    photoroad::Rendered rendered;
    const photoroad::RenderResult result = photoroad::renderPhoto(photo, run, image, rendered);
    if (result == photoroad::RenderResult::Ready)
        run.commit->write(photo, rendered, run);
    else if (result == photoroad::RenderResult::Undecodable)
        run.commit->undecodable(photo);
    else
        run.commit->unencodable(photo, run);
    // The photo's bytes are done with; its turn may still wait to be handed out.
    photo.bytes = QByteArray();
    return result != photoroad::RenderResult::Undecodable && !photo.leftUntouched;
}

// The run as one photo sees it: its lines also mark the photo.
Run runFor(const Run &run, const LogSink &sink, Marks *marks)
{
    Run photoRun = run;
    photoRun.log = [sink, marks](Severity severity, const QString &line) {
        if (severity == Severity::Error)
            marks->loggedError = true;
        if (severity != Severity::Information)
            marks->problems.append(line.trimmed());
        sink(severity, line);
    };
    return photoRun;
}

void journalDone(const BatchJob &job, const PhotoOutcome &outcome)
{
    if (job.journal && !job.dryRun)
        job.journal->photoDone(outcome);
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
        Marks marks;
        const Run photoRun = runFor(run, run.log, &marks);
        Photo photo;
        const bool processed =
            photoroad::planPhoto(photo, path, photoRun) && finishPhoto(photo, photoRun, picture);
        outcomes.append(outcomeOf(photo, path, processed, marks));
        journalDone(job, outcomes.constLast());
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
    QVector<std::pair<Severity, QString>> lines;
    Marks marks;
    PhotoOutcome outcome;
    bool done = false; // guarded by the run's mutex
    std::exception_ptr failure;
};

class ParallelRun
{
public:
    ParallelRun(const QStringList &photos, const Run &run, const BatchJob &job, int workers)
        : m_photos(photos)
        , m_run(run)
        , m_job(job)
        , m_turns(size_t(photos.size()))
    {
        m_pool.setMaxThreadCount(workers);
    }

    QVector<PhotoOutcome> run()
    {
        // Prepared photos wait with their metadata snapshot in memory, so the naming phase keeps
        // only a few turns ahead of the oldest one not yet handed out.
        const int ahead = 2 * m_pool.maxThreadCount();
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
    LogSink sinkFor(Turn &turn)
    {
        return [&turn](Severity severity, const QString &line) {
            turn.lines.append({severity, line});
        };
    }

    void prepare(int index)
    {
        Turn &turn = m_turns[size_t(index)];
        const QString &path = m_photos.at(index);
        turn.photo = std::make_unique<Photo>();
        turn.run = runFor(m_run, sinkFor(turn), &turn.marks);
        bool goesOn = false;
        try {
            goesOn = photoroad::planPhoto(*turn.photo, path, turn.run);
        } catch (...) {
            finish(turn, std::current_exception());
            return;
        }
        if (!goesOn) {
            turn.outcome = outcomeOf(*turn.photo, path, false, turn.marks);
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
            const bool processed = finishPhoto(*turn.photo, turn.run, picture);
            turn.outcome = outcomeOf(*turn.photo, m_photos.at(index), processed, turn.marks);
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
            for (const auto &[severity, line] : std::as_const(turn.lines))
                m_job.log(severity, line);
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
                journalDone(m_job, turn.outcome);
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

} // namespace

QVector<PhotoOutcome> runBatch(const BatchJob &job)
{
    initializeMetadataLibrary();
    // The whole list is collected before any photo is touched, so backups and renamed files
    // made by this run are never picked up by it.
    // A script's listing is sorted, so collision numbers do not depend on the file system's
    // order, and never walks into Backup folders, which hold earlier runs' clean copies.
    const bool script = job.policy == RunPolicy::Script;
    const QStringList photos =
        listPhotos(job.directory, job.includeSubdirectories,
                   script ? PhotoOrder::Sorted : PhotoOrder::Walk, script, script);
    DiskOperations disk;
    RecordingOperations recording;
    FileOperations &files = job.dryRun ? static_cast<FileOperations &>(recording) : disk;
    const std::unique_ptr<photoroad::CommitPolicy> commit =
        photoroad::makeCommitPolicy(job.policy, photos);
    Run run = photoroad::startRun(job, photos, files);
    run.commit = commit.get();
    const int workers = std::clamp(job.workers, 1, maxWorkers);
    if (workers == 1 || photos.size() <= 1)
        return runInline(photos, run, job);
    // Registering the font touches the process-wide font database: done once, here, so the
    // workers only ever find it registered.
    annotationFont(job.style.fontPath);
    return ParallelRun(photos, run, job, workers).run();
}

QImage previewPhoto(const BatchJob &job, const QString &path, int longSide)
{
    initializeMetadataLibrary();
    // The folder's listing, so that the photo's name and rows come out as in the run.
    const QStringList photos =
        listPhotos(job.directory, job.includeSubdirectories, PhotoOrder::Sorted, true, true);
    RecordingOperations recording;
    const std::unique_ptr<photoroad::CommitPolicy> commit =
        photoroad::makeCommitPolicy(job.policy, photos);
    Run run = photoroad::startRun(job, photos, recording);
    run.commit = commit.get();
    Photo photo;
    QImage image;
    if (!photoroad::planPhoto(photo, path, run) || !photoroad::paintedPicture(photo, run, image))
        return QImage();
    if (std::max(image.width(), image.height()) > longSide)
        image = image.scaled(longSide, longSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return image;
}
