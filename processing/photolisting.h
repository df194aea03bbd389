// The one place that decides which files of a folder are photos, and in which order.
#pragma once

#include <QString>
#include <QStringList>

enum class PhotoOrder {
    Walk,   // the directory walk's own order; symbolic links neither listed nor followed
    ByName, // without subfolders: sorted by name ignoring case, links to files listed, no hidden
    Sorted  // each folder's photos by name ignoring case, then its subfolders in the same order;
            // symbolic links neither listed nor followed
};

// Full paths of the files ending in .jpg, .jpeg, .tiff or .png in any letter case. With
// subfolders ByName falls back to the walk order. skipBackupFolders leaves out every subfolder
// named "Backup" and what lies below it.
// withHeif adds .heic, .heif, .hif and .tif, which only the script takes.
QStringList listPhotos(const QString &directory, bool includeSubdirectories,
                       PhotoOrder order = PhotoOrder::Walk, bool skipBackupFolders = false,
                       bool withHeif = false);
