#include "folderlock.h"

#include "systemerror.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

FolderLock::~FolderLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool FolderLock::take(const QString &folder, QString &errorText)
{
    m_descriptor =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_descriptor < 0) {
        errorText = QStringLiteral("%1: %2").arg(folder, systemErrorText(errno));
        return false;
    }
    if (::flock(m_descriptor, LOCK_EX | LOCK_NB) == 0)
        return true;
    const int error = errno;
    ::close(m_descriptor);
    m_descriptor = -1;
    errorText = error == EWOULDBLOCK
                    ? QStringLiteral("%1: otra ejecución de Cartaluz está en curso").arg(folder)
                    : QStringLiteral("%1: %2").arg(folder, systemErrorText(error));
    return false;
}
