// New output files that never replace one, and photos read small.
#include "reportfiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

NewFile::NewFile(const QString &path)
    : m_path(path)
{
}

NewFile::~NewFile() = default;

bool NewFile::open(QString &errorText)
{
    const QFileInfo target(m_path);
    m_file = std::make_unique<QTemporaryFile>(target.absoluteDir().filePath(
        QStringLiteral(".") + target.fileName() + QStringLiteral(".XXXXXX")));
    if (m_file->open()) {
        // As any new file: what the umask leaves of read and write for all, not the temporary
        // file's owner-only mode.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(m_file->handle(), 0666 & ~mask);
        return true;
    }
    errorText = QStringLiteral("no se puede crear un archivo en la carpeta de %1 (%2)")
                    .arg(m_path, m_file->errorString());
    return false;
}

QString NewFile::temporaryPath() const
{
    return m_file ? m_file->fileName() : QString();
}

QFile *NewFile::device() const
{
    return m_file.get();
}

bool NewFile::publish(QString &errorText)
{
    if (!m_file->flush()) {
        errorText =
            QStringLiteral("no se puede escribir %1 (%2)").arg(m_path, m_file->errorString());
        return false;
    }
    m_file->close();
    const QByteArray from = QFile::encodeName(m_file->fileName());
    const QByteArray to = QFile::encodeName(m_path);
    // A hard link fails rather than replace what another program put there meanwhile.
    if (::link(from.constData(), to.constData()) == 0)
        return true;
    const int linkError = errno;
    if (linkError == EEXIST) {
        errorText = QStringLiteral("el archivo %1 ya existe; no se sobrescribe.").arg(m_path);
        return false;
    }
    // File systems without hard links: the name is checked, then taken.
    if (linkError == EPERM || linkError == ENOTSUP) {
        if (!QFileInfo::exists(m_path) && m_file->rename(m_path)) {
            m_file->setAutoRemove(false);
            return true;
        }
    }
    errorText = QStringLiteral("no se puede escribir %1 (%2)")
                    .arg(m_path, QString::fromLocal8Bit(std::strerror(linkError)));
    return false;
}

bool checkNewOutput(const QString &option, const QString &path, QString &errorText)
{
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        errorText =
            QStringLiteral("--%1: el archivo %2 ya existe; no se sobrescribe.").arg(option, path);
        return false;
    }
    NewFile probe(path);
    QString reason;
    if (!probe.open(reason)) {
        errorText = QStringLiteral("--%1: %2").arg(option, reason);
        return false;
    }
    return true;
}

bool smallPhoto(const QString &path, int longSide, int quality, QImage &image, QByteArray &jpeg,
                QString &errorText)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize stored = reader.size();
    const int longest = std::max(stored.width(), stored.height());
    // The JPEG reader picks the DCT scale nearest above this size, then smooths the rest.
    if (stored.isValid() && longest > longSide)
        reader.setScaledSize(stored.scaled(longSide, longSide, Qt::KeepAspectRatio));
    image = reader.read();
    if (image.isNull()) {
        errorText =
            QStringLiteral("no se puede leer la foto %1 (%2)").arg(path, reader.errorString());
        return false;
    }
    image = image.convertToFormat(QImage::Format_RGB32);
    jpeg.clear();
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image)) {
        errorText = QStringLiteral("no se puede codificar la foto %1").arg(path);
        return false;
    }
    return true;
}
