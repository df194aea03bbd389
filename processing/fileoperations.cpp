// The real and the recorded file operations of a run.
#include "fileoperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A dangling symbolic link counts as taken too: copying or renaming onto it would follow it.
bool takenOnDisk(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

bool DiskOperations::isTaken(const QString &path) const
{
    return takenOnDisk(path);
}

bool DiskOperations::makeFolder(const QString &path)
{
    return QDir().mkpath(path);
}

bool DiskOperations::copy(const QString &from, const QString &to)
{
    return QFile::copy(from, to);
}

bool DiskOperations::rename(const QString &from, const QString &to)
{
    return QFile::rename(from, to);
}

bool DiskOperations::write(const QString &path, const QByteArray &bytes, QString &errorText)
{
    QSaveFile file(path);
    // No direct-write fallback: in a folder that takes no new entries the file is left as it
    // was and the write is reported, rather than truncated and rewritten in place.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    errorText = file.errorString();
    return false;
}

QString DiskOperations::readablePath(const QString &path) const
{
    return path;
}

bool RecordingOperations::isTaken(const QString &path) const
{
    return m_folders.contains(path) || m_files.contains(path) ||
           (!m_removed.contains(path) && takenOnDisk(path));
}

bool RecordingOperations::isFolder(const QString &path) const
{
    return m_folders.contains(path) || (!m_removed.contains(path) && QFileInfo(path).isDir());
}

bool RecordingOperations::isFile(const QString &path) const
{
    return m_files.contains(path) || (!m_removed.contains(path) && QFileInfo(path).isFile());
}

bool RecordingOperations::makeFolder(const QString &path)
{
    // Anything but a folder in the way (a file named like it, or like a parent) stops mkpath.
    QStringList missing;
    for (QString at = QDir::cleanPath(QFileInfo(path).absoluteFilePath()); !isFolder(at);) {
        if (isTaken(at))
            return false;
        missing.prepend(at);
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            return false;
        at = parent;
    }
    for (const QString &folder : std::as_const(missing))
        m_folders.insert(folder);
    return true;
}

bool RecordingOperations::copy(const QString &from, const QString &to)
{
    if (!isFile(from) || !isFolder(QFileInfo(to).path()) || isTaken(to))
        return false;
    m_files.insert(to);
    return true;
}

bool RecordingOperations::rename(const QString &from, const QString &to)
{
    if (!isFile(from) || !isFolder(QFileInfo(to).path()) || isTaken(to))
        return false;
    const QString content = readablePath(from);
    m_files.remove(from);
    m_movedFrom.remove(from);
    m_removed.insert(from);
    m_removed.remove(to);
    m_files.insert(to);
    m_movedFrom.insert(to, content);
    return true;
}

bool RecordingOperations::write(const QString &, const QByteArray &, QString &)
{
    return true;
}

QString RecordingOperations::readablePath(const QString &path) const
{
    return m_movedFrom.value(path, path);
}
