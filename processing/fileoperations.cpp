// The real and the recorded file operations of a run.
#include "fileoperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "systemerror.h"

#include <QRandomGenerator>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#endif

namespace {

// A dangling symbolic link counts as taken too: copying or renaming onto it would follow it.
bool takenOnDisk(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

#ifdef Q_OS_LINUX
// Where a test may have the run killed, to check that a killed run can still be taken back. The
// variable names one point and how many times it is passed first ("tras-copia:3" kills the run
// right after its third backup copy); unset, nothing is ever killed.
struct FaultPoint
{
    QByteArray point;
    int after = 0;
    std::atomic<int> passed{0};
};

FaultPoint &faultPoint()
{
    static FaultPoint fault;
    static std::once_flag once;
    std::call_once(once, [] {
        const QList<QByteArray> parts = qgetenv("CARTALUZ_PRUEBA_FALLO").split(':');
        if (parts.size() == 2) {
            fault.point = parts.at(0);
            fault.after = parts.at(1).toInt();
        }
    });
    return fault;
}

// True when the run is to die at this pass of point; die() then ends it at once.
bool dueToDie(const char *point)
{
    FaultPoint &fault = faultPoint();
    return fault.after > 0 && fault.point == point && ++fault.passed == fault.after;
}

void die()
{
    ::kill(::getpid(), SIGKILL);
}

// The copy gets the original's permissions, owner (where this process may give it) and times,
// as "cp -p" does: a photo taken back from its backup is the photo it was, dated as it was.
void keepFileAttributes(int out, const struct stat &info)
{
    if (::fchown(out, info.st_uid, info.st_gid) != 0) {
        // Only a privileged process may give a file away; the copy stays the caller's.
    }
    ::fchmod(out, info.st_mode & 07777);
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    ::futimens(out, times);
}

// Up to left bytes from in to out through a buffer; what was written, or -1 with errno.
ssize_t copyThrough(int in, int out, off_t left)
{
    char buffer[1 << 16];
    ssize_t got = 0;
    do
        got = ::read(in, buffer, size_t(std::min<off_t>(left, off_t(sizeof buffer))));
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return got;
    for (ssize_t put = 0; put < got;) {
        const ssize_t wrote = ::write(out, buffer + put, size_t(got - put));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return -1;
        put += wrote;
    }
    return got;
}

// The kernel copies from file to file without the bytes passing through the program: the
// toolkit's own copy, which moves the bytes a few kilobytes at a time, took three times as long.
// False, with nothing left behind, when it cannot; errno then says why.
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
    int failure = EIO;
    if (::fstat(in, &info) == 0 && S_ISREG(info.st_mode)) {
        // Never onto an existing file, nor through a link at the target.
        out =
            ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        failure = errno;
        const bool partial = out >= 0 && dueToDie("copia-parcial");
        off_t left = partial ? info.st_size / 2 : info.st_size;
        bool inKernel = true;
        while (out >= 0 && left > 0) {
            ssize_t done = inKernel ? ::copy_file_range(in, nullptr, out, nullptr, size_t(left), 0)
                                    : copyThrough(in, out, left);
            // File systems the kernel cannot copy within (a camera's FAT card, some network
            // shares) take the bytes through the program instead.
            if (done < 0 && inKernel &&
                (errno == EXDEV || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)) {
                inKernel = false;
                continue;
            }
            if (done <= 0) {
                failure = done < 0 ? errno : EIO;
                break;
            }
            left -= done;
        }
        if (partial)
            die();
        copied = out >= 0 && left == 0;
        if (copied)
            keepFileAttributes(out, info);
    }
    ::close(in);
    if (out >= 0 && ::close(out) != 0) {
        failure = errno;
        copied = false;
    }
    if (!copied && out >= 0)
        ::unlink(target.constData());
    errno = copied ? 0 : failure;
    return copied;
}

QByteArray randomSuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray suffix(6, 'x');
    for (char &letter : suffix)
        letter = letters[QRandomGenerator::global()->bounded(int(sizeof letters) - 1)];
    return suffix;
}

// Written into an unnamed file in the target's folder, synced, given a name beside the target
// ("NAME.XXXXXX") and renamed over it: the photo is never missing nor half written, and a name
// the write leaves behind (a run killed between link and rename) only ever holds whole bytes. A
// replaced photo keeps its permissions and owner. The error is the system's.
bool writeWhole(const QString &path, const QByteArray &bytes, QString &errorText)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    struct stat existing = {};
    const bool replaces = ::stat(target.constData(), &existing) == 0;
    bool named = false;
    QByteArray temporary;
    int out = ::open(folder.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (out < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: a named one from the start.
        temporary = target + ".XXXXXX";
        out = ::mkostemp(temporary.data(), O_CLOEXEC);
        named = out >= 0;
        // The usual mode of a new file; a replaced one gets its own below.
        if (named)
            ::fchmod(out, 0644);
    }
    const auto fail = [&](int error) {
        errorText = systemErrorText(error);
        if (out >= 0)
            ::close(out);
        if (named)
            ::unlink(temporary.constData());
        return false;
    };
    if (out < 0)
        return fail(errno);
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(out, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return fail(wrote < 0 ? errno : EIO);
        done += wrote;
    }
    if (replaces) {
        if (::fchown(out, existing.st_uid, existing.st_gid) != 0) {
            // As for copies: only a privileged process may keep another's ownership.
        }
        ::fchmod(out, existing.st_mode & 07777);
    }
    if (::fdatasync(out) != 0)
        return fail(errno);
    for (int attempt = 0; !named; ++attempt) {
        temporary = target + '.' + randomSuffix();
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(out);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, temporary.constData(),
                     AT_SYMLINK_FOLLOW) == 0)
            named = true;
        else if (errno != EEXIST || attempt == 100)
            return fail(errno);
    }
    passFaultPoint("tras-enlace");
    if (::rename(temporary.constData(), target.constData()) != 0)
        return fail(errno);
    named = false;
    if (::close(out) != 0) {
        out = -1;
        return fail(errno);
    }
    return true;
}
#endif

} // namespace

void passFaultPoint(const char *point)
{
#ifdef Q_OS_LINUX
    if (dueToDie(point))
        die();
#else
    Q_UNUSED(point);
#endif
}

QByteArray FileOperations::read(const QString &path, QString &errorText) const
{
    QFile file(readablePath(path));
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray bytes = file.readAll();
        if (file.error() == QFileDevice::NoError)
            return bytes;
    }
    errorText = file.errorString();
    return {};
}

bool FileOperations::isLink(const QString &path) const
{
    return QFileInfo(readablePath(path)).isSymLink();
}

bool FileOperations::exists(const QString &path) const
{
    return QFileInfo::exists(readablePath(path));
}

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
    const bool copied = copyInKernel(from, to);
    if (copied)
        passFaultPoint("tras-copia");
    return copied;
#else
    return QFile::copy(from, to);
#endif
}

bool DiskOperations::rename(const QString &from, const QString &to)
{
    const bool renamed = QFile::rename(from, to);
#ifdef Q_OS_LINUX
    if (renamed)
        passFaultPoint("tras-renombrar");
#endif
    return renamed;
}

bool DiskOperations::write(const QString &path, const QByteArray &bytes, QString &errorText)
{
#ifdef Q_OS_LINUX
    return writeWhole(path, bytes, errorText);
#else
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
#endif
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
