// The one place that decides which files of a folder are photos, and in which order.
#include "photolisting.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <dirent.h>
#endif

namespace {

// Without QDir::CaseSensitive the name filters ignore letter case (IMG.JPG, a.Png).
const QStringList windowFilters{QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                                QStringLiteral("*.tiff"), QStringLiteral("*.png")};
// A phone's HEIF and a camera's .TIF, for the script.
const QStringList scriptFilters =
    windowFilters + QStringList{QStringLiteral("*.heic"), QStringLiteral("*.heif"),
                                QStringLiteral("*.hif"), QStringLiteral("*.tif")};
const QString backupFolder = QStringLiteral("Backup");

#ifdef Q_OS_UNIX
// Names with bytes that are no UTF-8 come back from the toolkit as another name, which no file
// has, so it leaves them out; they are listed after the folder's other photos, for the road to
// say why it leaves them alone.
void appendOddNames(const QString &folder, const QStringList &filters, QStringList &paths)
{
    DIR *dir = ::opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return;
    QStringList odd;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray raw(entry->d_name);
        const QString name = QFile::decodeName(raw);
        if (QFile::encodeName(name) != raw && QDir::match(filters, name))
            odd.append(QDir(folder).filePath(name));
    }
    ::closedir(dir);
    odd.sort();
    paths.append(odd);
}
#else
void appendOddNames(const QString &, const QStringList &, QStringList &) {}
#endif

// Links are listed, not followed, so that the road can say it leaves them alone: a linked folder
// may lead outside the folder the run was given, or into it twice.
void walkSorted(const QString &folder, bool subfolders, bool skipBackupFolders,
                const QStringList &filters, QStringList &paths)
{
    const QDir dir(folder);
    const QDir::SortFlags order = QDir::Name | QDir::IgnoreCase;
    for (const QFileInfo &entry : dir.entryInfoList(filters, QDir::Files, order))
        paths.append(entry.filePath());
    appendOddNames(folder, filters, paths);
    if (!subfolders)
        return;
    for (const QFileInfo &entry : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, order)) {
        if (entry.isSymLink())
            paths.append(entry.filePath());
        else if (!(skipBackupFolders && entry.fileName() == backupFolder))
            walkSorted(entry.filePath(), true, skipBackupFolders, filters, paths);
    }
}

bool underBackupFolder(const QString &directory, const QString &path)
{
    return QDir(directory).relativeFilePath(path).split(QLatin1Char('/')).contains(backupFolder);
}

} // namespace

QStringList listPhotos(const QString &directory, bool includeSubdirectories, PhotoOrder order,
                       bool skipBackupFolders, bool withHeif)
{
    const QStringList &filters = withHeif ? scriptFilters : windowFilters;
    QStringList paths;
    if (order == PhotoOrder::Sorted) {
        walkSorted(directory, includeSubdirectories, skipBackupFolders, filters, paths);
        return paths;
    }
    if (order == PhotoOrder::ByName && !includeSubdirectories) {
        const QFileInfoList entries =
            QDir(directory).entryInfoList(filters, QDir::Files, QDir::Name | QDir::IgnoreCase);
        for (const QFileInfo &entry : entries)
            paths.append(entry.filePath());
        return paths;
    }
    QDirIterator it(directory, filters, QDir::Files | QDir::NoSymLinks,
                    includeSubdirectories ? QDirIterator::Subdirectories
                                          : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!(skipBackupFolders && underBackupFolder(directory, QFileInfo(path).path())))
            paths.append(path);
    }
    return paths;
}
