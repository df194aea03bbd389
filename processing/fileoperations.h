// Every change a run makes to the file system goes through here: a real run performs it, a dry
// run only records it and answers later questions as if it had happened. Both runs take the
// same decisions in the same code, so a dry run says what the real run would do, failed steps
// included.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QString>

#include <mutex>

// Where a test may have the process killed: the variable CARTALUZ_PRUEBA_FALLO names a point
// and how often it is passed first ("tras-copia:3"). Unset, it does nothing.
void passFaultPoint(const char *point);

class FileOperations
{
public:
    virtual ~FileOperations() = default;

    // Whether a new file may not be put at path.
    virtual bool isTaken(const QString &path) const = 0;
    // The folder and its parents; true when it is there afterwards.
    virtual bool makeFolder(const QString &path) = 0;
    // Never onto a taken path.
    virtual bool copy(const QString &from, const QString &to) = 0;
    virtual bool rename(const QString &from, const QString &to) = 0;
    // Replaces the file at path as a whole, never leaving it half written. Safe from any thread.
    virtual bool write(const QString &path, const QByteArray &bytes, QString &errorText) = 0;
    // Where what path holds can be read now: a dry run has not moved anything.
    virtual QString readablePath(const QString &path) const = 0;

    // What the photo at path holds now, whole; empty with the reason when it cannot be read.
    virtual QByteArray read(const QString &path, QString &errorText) const;
    // Whether path is a symbolic link, and whether it names a file that is there (a link counts
    // by its target).
    virtual bool isLink(const QString &path) const;
    virtual bool exists(const QString &path) const;
};

class DiskOperations final : public FileOperations
{
public:
    bool isTaken(const QString &path) const override;
    bool makeFolder(const QString &path) override;
    bool copy(const QString &from, const QString &to) override;
    bool rename(const QString &from, const QString &to) override;
    bool write(const QString &path, const QByteArray &bytes, QString &errorText) override;
    QString readablePath(const QString &path) const override;
};

// Touches nothing. Copies and renames succeed where the real ones would: the source is there,
// the target folder is (or would have been made), and the target is free. Safe from any thread:
// in a run whose changes come last, workers record while the calling thread asks.
class RecordingOperations final : public FileOperations
{
public:
    bool isTaken(const QString &path) const override;
    bool makeFolder(const QString &path) override;
    bool copy(const QString &from, const QString &to) override;
    bool rename(const QString &from, const QString &to) override;
    // Always succeeds: whether the disk would take the bytes cannot be known without writing.
    bool write(const QString &path, const QByteArray &bytes, QString &errorText) override;
    QString readablePath(const QString &path) const override;

private:
    bool isFolder(const QString &path) const;
    bool isFile(const QString &path) const;

    mutable std::recursive_mutex m_mutex; // makeFolder asks isTaken
    QSet<QString> m_folders;              // folders the run would have made
    QSet<QString> m_files;                // files it would have made, by copy or rename
    QSet<QString> m_removed;              // files it would have moved away
    QHash<QString, QString> m_movedFrom;  // renamed file -> where its content lies now
};
