// One run at a time on a photo folder: two runs, or a run and an undo, would claim the same
// names and stamp the same photos, and their journals could no longer take them back.
#pragma once

#include <QString>

class FolderLock
{
public:
    FolderLock() = default;
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    ~FolderLock();

    // An exclusive lock on the folder itself, held until this object goes; the system frees it
    // when the process ends, however it ends, so no lock file is ever left behind. False with
    // the line to show when another run holds it, or the folder cannot be opened.
    bool take(const QString &folder, QString &errorText);

private:
    int m_descriptor = -1;
};
