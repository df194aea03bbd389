// The journal of a cartaluz-lote run: one JSON object per line, from which the run can be
// audited and taken back. A photo's planned names and digests reach the file before the photo is
// renamed or overwritten, so even a run that was killed leaves enough to put every photo back.
#pragma once

#include "batchjob.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <mutex>
#include <optional>

// What a photo's turn is about to do, once its backup exists and its new bytes are ready.
struct JournalPlan
{
    QString listedPath;
    QString backupPath; // empty: no backup
    QString finalPath;  // the listed path when the photo keeps its name
    QByteArray sha256Original;
    QByteArray sha256Backup;
    QByteArray sha256Written; // of the bytes the photo holds at finalPath when done
    qint64 writtenSize = -1;  // their size
};

// What earlier runs wrote into a folder's photos, read from the journals in its Backup folder.
struct EarlierWrites
{
    QHash<QByteArray, QDateTime> startByDigest; // SHA-256 (hexadecimal) -> that run's start
    QSet<qint64> sizes;   // of the bytes written, where the journal states them
    bool allSized = true; // every digest has its size among sizes
    int unreadable = 0;   // journals that could not be read

    bool isEmpty() const { return startByDigest.isEmpty(); }
    // When a photo holding bytes was written so by an earlier run, the start of that run. Hashes
    // the bytes only when their size is one such bytes had.
    std::optional<QDateTime> writtenBy(const QByteArray &bytes) const;
};

// Every journal of folder's Backup folder, each read once. A photo's latest line counts: a
// photo whose write was taken back has no written digest in its closing line.
EarlierWrites readEarlierWrites(const QString &folder);

class RunJournal
{
public:
    // Where a run over folder keeps its journal by default: Backup/cartaluz-AAAAMMDD-HHMMSS.jsonl,
    // with "-2", "-3"… when a run in the same second took that name.
    static QString defaultPath(const QString &folder, const QDateTime &start);

    // Creates the journal at path (in a folder that exists), never over an existing file, and
    // writes its first line.
    // Paths in the journal are relative to folder. False with the reason in errorText.
    bool start(const QString &path, const QString &folder, const QStringList &options,
               const QString &version, QString &errorText);

    // From any thread; on disk when it returns true. False: the photo must not be changed.
    bool plan(const JournalPlan &plan, QString &errorText);
    // One line per listed photo, after its turn.
    void photoDone(const PhotoOutcome &outcome);
    // The closing line; false with the reason when any line could not be written.
    bool finish(int processed, int skipped, int withErrors, int withoutPosition,
                QString &errorText);

    QString path() const { return m_file.fileName(); }

private:
    bool writeLine(const QByteArray &line, QString &errorText, bool durable = false);
    QString relative(const QString &path) const;

    std::mutex m_mutex;
    QFile m_file;
    QString m_folder;
    QString m_firstError; // the first line that could not be written
};
