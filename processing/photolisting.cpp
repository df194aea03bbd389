// The one place that decides which files of a folder are photos, and in which order.
#include "photolisting.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

QStringList listPhotos(const QString &directory, bool includeSubdirectories, PhotoOrder order)
{
    // Without QDir::CaseSensitive the name filters ignore letter case (IMG.JPG, a.Png).
    const QStringList filters{QStringLiteral("*.jpg"), QStringLiteral("*.jpeg"),
                              QStringLiteral("*.tiff"), QStringLiteral("*.png")};
    QStringList paths;
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
    while (it.hasNext())
        paths.append(it.next());
    return paths;
}
