// The window's and the script's ways of changing a photo's files.
#include "photocommit.h"

#include "photonaming.h"
#include "photorender.h"
#include "runjournal.h"
#include "sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace photoroad {

namespace {

QString backupFolderOf(const Photo &photo)
{
    return QDir(photo.folder).filePath(QStringLiteral("Backup"));
}

QString backupNameFor(const Photo &photo, const Run &run)
{
    return backupPathIn(backupFolderOf(photo), photo.baseName, photo.suffix,
                        [&run](const QString &path) { return isTaken(path, run); });
}

// The copy into a Backup folder, made now.
bool copyBackup(Photo &photo, const Run &run)
{
    // A folder that cannot be made shows up as a failed copy, which is reported.
    run.files->makeFolder(backupFolderOf(photo));
    if (run.files->copy(photo.sourcePath, photo.backupPath)) {
        photo.backupMade = true;
        info(run.log, QStringLiteral("Backup creado: ") + QFileInfo(photo.backupPath).fileName());
        return true;
    }
    error(run.log, QStringLiteral("Error creando backup de ") + photo.fileName);
    return false;
}

// Each step as the plan reaches it: the backup before anything is read, the rename before the
// photo is decoded, the write last; a failed step costs a line and the photo goes on.
class WindowCommit final : public CommitPolicy
{
public:
    bool beforeReading(Photo &photo, const Run &run) override
    {
        if (run.makeBackup) {
            run.files->makeFolder(backupFolderOf(photo));
            photo.backupPath = backupNameFor(photo, run);
            copyBackup(photo, run);
        }
        return true;
    }

    bool afterChecks(Photo &, const Run &) override { return true; }

    bool isTaken(const QString &path, const Run &run) const override
    {
        return run.files->isTaken(path);
    }

    void rename(Photo &photo, const QString &newPath, const Run &run) override
    {
        if (run.files->rename(photo.sourcePath, newPath)) {
            photo.currentPath = newPath;
            photo.lyingAt = newPath;
            info(run.log, QStringLiteral("Renombrado: ") + photo.fileName + QStringLiteral(" a ") +
                              QFileInfo(newPath).fileName());
        } else {
            error(run.log, QStringLiteral("Error renombrando ") + photo.fileName);
        }
    }

    void write(Photo &photo, const Rendered &rendered, const Run &run) override
    {
        QString errorText;
        if (!rendered.changed || run.files->write(photo.currentPath, rendered.bytes, errorText))
            return logHeld(rendered.held, run.log);
        error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
        writePositionsIntoFile(photo, run);
    }

    void undecodable(Photo &) override {}

    void unencodable(Photo &photo, const Run &run) override { writePositionsIntoFile(photo, run); }

private:
    // After a failed write the positions still go into the photo as it lies on disk, each
    // replacing it whole on its own.
    static void writePositionsIntoFile(const Photo &photo, const Run &run)
    {
        QString ignored;
        if (embedsUtm(run)) {
            QByteArray bytes = run.files->read(photo.currentPath, ignored);
            QString errorText;
            if (writeUtmPosition(photo, run, bytes, run.log) &&
                !run.files->write(photo.currentPath, bytes, errorText))
                error(run.log, QStringLiteral("Error al escribir EXIF en ") + photo.currentPath +
                                   QStringLiteral(": ") + errorText);
            logUtmWritten(photo, run.log);
        }
        if (embedsTrack(photo, run)) {
            QByteArray bytes = run.files->read(photo.currentPath, ignored);
            QString errorText;
            const bool written = writeTrackPosition(photo, run, bytes, errorText) &&
                                 run.files->write(photo.currentPath, bytes, errorText);
            logTrackWritten(photo, written, errorText, run.log);
        }
    }
};

// Names claimed in listing order on the calling thread, every change made on the photo's worker
// once its new bytes are ready: the journal's plan, the backup copy, the rename and the write. A
// failed step leaves the photo as it was (a failed write renames it back). A listed photo's own
// name stays taken for the whole run, even once that photo has been renamed, so the names never
// depend on how far the workers are.
class ScriptCommit final : public CommitPolicy
{
public:
    explicit ScriptCommit(const QStringList &photos)
    {
        for (const QString &path : photos)
            m_listed.insert(QFileInfo(path).absoluteFilePath());
    }

    bool beforeReading(Photo &, const Run &) override { return true; }

    bool afterChecks(Photo &photo, const Run &run) override
    {
        if (run.makeBackup) {
            photo.backupPath = backupNameFor(photo, run);
            m_claimed.insert(photo.backupPath);
        }
        return true;
    }

    bool isTaken(const QString &path, const Run &run) const override
    {
        return m_claimed.contains(path) || m_listed.contains(path) || run.files->isTaken(path);
    }

    void rename(Photo &photo, const QString &newPath, const Run &) override
    {
        m_claimed.insert(newPath);
        photo.currentPath = newPath;
    }

    void write(Photo &photo, const Rendered &rendered, const Run &run) override
    {
        if (run.journal)
            photo.sha256Original = sha256Hex(photo.bytes);
        if ((run.journal && !journalPlan(photo, rendered, run)) ||
            (run.makeBackup && !copyChecked(photo, run)))
            return leaveUntouched(photo);
        FileOperations &files = *run.files;
        const QString newName = QFileInfo(photo.currentPath).fileName();
        const bool renames = photo.currentPath != photo.sourcePath;
        if (renames) {
            if (!files.rename(photo.sourcePath, photo.currentPath)) {
                error(run.log, QStringLiteral("Error renombrando ") + photo.fileName);
                return leaveUntouched(photo);
            }
            info(run.log,
                 QStringLiteral("Renombrado: ") + photo.fileName + QStringLiteral(" a ") + newName);
        }
        QString errorText;
        if (!rendered.changed || files.write(photo.currentPath, rendered.bytes, errorText))
            return logHeld(rendered.held, run.log);
        error(run.log, QStringLiteral("Error guardando la imagen: ") + errorText);
        if (!renames)
            return leaveUntouched(photo);
        if (files.rename(photo.currentPath, photo.sourcePath)) {
            info(run.log, QStringLiteral("Nombre devuelto: ") + newName + QStringLiteral(" a ") +
                              photo.fileName);
            return leaveUntouched(photo);
        }
        // Its bytes are still the original's, under the new name.
        photo.leftUntouched = true;
        photo.sha256Written = photo.sha256Original;
        photo.writtenSize = photo.bytes.size();
        error(run.log, QStringLiteral("Error devolviendo su nombre a ") + photo.fileName +
                           QStringLiteral(": queda como ") + newName);
    }

    // Nothing has changed yet: the claimed name was never taken.
    void undecodable(Photo &photo) override { photo.currentPath = photo.sourcePath; }

    void unencodable(Photo &photo, const Run &) override { leaveUntouched(photo); }

private:
    static void leaveUntouched(Photo &photo)
    {
        photo.leftUntouched = true;
        photo.currentPath = photo.sourcePath;
        photo.sha256Written.clear();
        if (!photo.backupMade)
            photo.sha256Backup.clear();
    }

    // Puts what a photo's journal line needs to know on disk before anything of the photo's
    // changes, its backup copy included: a run killed at any later point leaves a journal that
    // names every file it made. The backup is to hold the original's bytes; copyChecked checks
    // that it does. False when it cannot: the photo is then left as it is.
    static bool journalPlan(Photo &photo, const Rendered &rendered, const Run &run)
    {
        photo.sha256Backup = run.makeBackup ? photo.sha256Original : QByteArray();
        photo.sha256Written = rendered.changed ? sha256Hex(rendered.bytes) : photo.sha256Original;
        photo.writtenSize = rendered.changed ? rendered.bytes.size() : photo.bytes.size();
        QString errorText = QStringLiteral("no se puede leer la foto");
        JournalPlan plan{photo.sourcePath,   run.makeBackup ? photo.backupPath : QString(),
                         photo.currentPath,  photo.sha256Original,
                         photo.sha256Backup, photo.sha256Written};
        plan.writtenSize = photo.writtenSize;
        if (!photo.bytes.isEmpty() && run.journal->plan(plan, errorText))
            return true;
        error(run.log, QStringLiteral("Error escribiendo el diario para ") + photo.fileName +
                           QStringLiteral(": ") + errorText);
        return false;
    }

    // With a journal the copy is read back: a backup that does not hold the original's bytes (a
    // disk that lost them) is no backup, and goes again.
    static bool copyChecked(Photo &photo, const Run &run)
    {
        if (!copyBackup(photo, run))
            return false;
        if (!run.journal || fileSha256Hex(photo.backupPath) == photo.sha256Original)
            return true;
        QFile::remove(photo.backupPath);
        photo.backupMade = false;
        error(run.log, QStringLiteral("Error creando backup de ") + photo.fileName +
                           QStringLiteral(": la copia no es igual a la foto"));
        return false;
    }

    QSet<QString> m_listed;  // every listed photo's path: taken for the whole run
    QSet<QString> m_claimed; // backup and new names given to photos so far
};

} // namespace

std::unique_ptr<CommitPolicy> makeCommitPolicy(RunPolicy policy, const QStringList &photos)
{
    if (policy == RunPolicy::Script)
        return std::make_unique<ScriptCommit>(photos);
    return std::make_unique<WindowCommit>();
}

} // namespace photoroad
