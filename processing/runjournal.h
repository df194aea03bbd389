// The journal of a cartaluz-lote run: one JSON object per line, from which the run can be
// audited and taken back. A photo's planned names and digests reach the file before the photo is
// renamed or overwritten, so even a run that was killed leaves enough to put every photo back.
#pragma once

#include "batchjob.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <mutex>

// What a photo's turn is about to do, once its backup exists and its new bytes are ready.
struct JournalPlan
{
    QString listedPath;
    QString backupPath; // empty: no backup
    QString finalPath;  // the listed path when the photo keeps its name
    QByteArray sha256Original;
    QByteArray sha256Backup;
    QByteArray sha256Written; // of the bytes the photo holds at finalPath when done
};

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
