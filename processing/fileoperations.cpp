// The real and the recorded file operations of a run.
#include "fileoperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// A dangling symbolic link counts as taken too: copying or renaming onto it would follow it.
bool takenOnDisk(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

#ifdef Q_OS_LINUX
// The kernel copies from file to file without the bytes passing through the program: the backup
// copy is made in listing order on the calling thread, and the toolkit's own copy, which moves
// the bytes a few kilobytes at a time, took three times as long there. False, with nothing left
// behind, when it cannot; the caller then tries the toolkit's copy.
bool copyInKernel(const QString &from, const QString &to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    const int in = ::open(source.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    struct stat info = {};
    int out = -1;
    bool copied = false;
    if (::fstat(in, &info) == 0 && S_ISREG(info.st_mode)) {
        // Never onto an existing file, as the toolkit's copy.
        out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                     info.st_mode & 0777);
        off_t left = info.st_size;
        while (out >= 0 && left > 0) {
            const ssize_t done = ::copy_file_range(in, nullptr, out, nullptr, size_t(left), 0);
            if (done <= 0)
                break;
            left -= done;
        }
        copied = out >= 0 && left == 0;
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0)
        copied = false;
    if (!copied && out >= 0)
        ::unlink(target.constData());
    return copied;
}
#endif

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
#ifdef Q_OS_LINUX
    if (copyInKernel(from, to))
        return true;
#endif
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
    // was and the write is reported, rather than truncated and rewritten in place. Flushed first:
    // Qt 6.4's commit does not report a failure to write what it still buffers (a photo under
    // 16 KB on a full disk), and would put the truncated file in place.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
        file.commit())
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
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_folders.contains(path) || m_files.contains(path) ||
           (!m_removed.contains(path) && takenOnDisk(path));
}

bool RecordingOperations::isFolder(const QString &path) const
{
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_folders.contains(path) || (!m_removed.contains(path) && QFileInfo(path).isDir());
}

bool RecordingOperations::isFile(const QString &path) const
{
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_files.contains(path) || (!m_removed.contains(path) && QFileInfo(path).isFile());
}

bool RecordingOperations::makeFolder(const QString &path)
{
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
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
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (!isFile(from) || !isFolder(QFileInfo(to).path()) || isTaken(to))
        return false;
    m_files.insert(to);
    return true;
}

bool RecordingOperations::rename(const QString &from, const QString &to)
{
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
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
    const std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_movedFrom.value(path, path);
}
