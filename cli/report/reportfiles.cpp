// New output files that never replace one, and photos read small.
#include "reportfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageIOHandler>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryFile>
#include <QTransform>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>

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

namespace {

struct JpegError
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

[[noreturn]] void jpegErrorExit(j_common_ptr codec)
{
    std::longjmp(reinterpret_cast<JpegError *>(codec->err)->jump, 1);
}

void jpegQuiet(j_common_ptr, int) {}

// A JPEG decoded at the smallest scale of eighths whose long side still reaches longSide, as
// stored; only the chroma's fast upsampling, as the result is scaled down anyway. False when it
// is no JPEG libjpeg decodes. The image lives outside this frame, so the jump leaves it defined.
bool scaledJpeg(const uchar *data, qint64 size, int longSide, QImage &image)
{
    jpeg_decompress_struct codec{};
    JpegError error{};
    codec.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = jpegErrorExit;
    error.pub.emit_message = jpegQuiet;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&codec);
        image = QImage();
        return false;
    }
    jpeg_create_decompress(&codec);
    jpeg_mem_src(&codec, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&codec, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&codec);
        return false;
    }
    const unsigned longest = std::max(codec.image_width, codec.image_height);
    unsigned eighths = 8;
    while (eighths > 1 && longest * (eighths - 1) / 8 >= unsigned(longSide))
        --eighths;
    codec.scale_num = eighths;
    codec.scale_denom = 8;
    codec.do_fancy_upsampling = FALSE;
    // A picture for a page or a balloon: the fast integer transform's error stays under a level.
    codec.dct_method = JDCT_IFAST;
    codec.out_color_space = JCS_EXT_BGRX; // QImage's RGB32 in memory order
    jpeg_start_decompress(&codec);
    image = QImage(int(codec.output_width), int(codec.output_height), QImage::Format_RGB32);
    if (image.isNull()) {
        jpeg_destroy_decompress(&codec);
        return false;
    }
    while (codec.output_scanline < codec.output_height) {
        JSAMPROW row = image.scanLine(int(codec.output_scanline));
        jpeg_read_scanlines(&codec, &row, 1);
    }
    jpeg_finish_decompress(&codec);
    jpeg_destroy_decompress(&codec);
    return true;
}

} // namespace

QImage smallImage(const QString &path, int longSide, QString &errorText)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    QImage image;
    QFile file(path);
    if (reader.format() == "jpeg" && file.open(QIODevice::ReadOnly)) {
        const uchar *data = file.map(0, file.size());
        if (data && !scaledJpeg(data, file.size(), longSide, image))
            image = QImage();
        // Turned once small: turning costs by the pixel.
        if (!image.isNull())
            return turnedUpright(shrunkTo(image, longSide), reader.transformation());
    }
    if (image.isNull()) {
        // Anything else the toolkit reads, at the size asked while decoding where it can.
        const QSize stored = reader.size();
        if (stored.isValid() && std::max(stored.width(), stored.height()) > longSide)
            reader.setScaledSize(stored.scaled(longSide, longSide, Qt::KeepAspectRatio));
        image = reader.read();
        if (image.isNull()) {
            errorText =
                QStringLiteral("no se puede leer la foto %1 (%2)").arg(path, reader.errorString());
            return image;
        }
    }
    return shrunkTo(image, longSide);
}

QImage turnedUpright(const QImage &image, QImageIOHandler::Transformations turn)
{
    // As the toolkit's reader turns it: mirrored or flipped first, then turned.
    if (image.isNull() || turn == QImageIOHandler::TransformationNone)
        return image;
    if (turn == QImageIOHandler::TransformationRotate270)
        return image.transformed(QTransform().rotate(270));
    const QImage mirrored = image.mirrored(turn & QImageIOHandler::TransformationMirror,
                                           turn & QImageIOHandler::TransformationFlip);
    return turn & QImageIOHandler::TransformationRotate90
               ? mirrored.transformed(QTransform().rotate(90))
               : mirrored;
}

QImage shrunkTo(const QImage &image, int longSide)
{
    const QSize size = image.size().scaled(longSide, longSide, Qt::KeepAspectRatio);
    if (std::max(image.width(), image.height()) <= longSide)
        return image.convertToFormat(QImage::Format_RGB32);
    // Down to half the size, every source pixel still reaches an output pixel through the
    // painter's bilinear filter, at a third of the cost of the toolkit's area average; further
    // down only the average keeps fine detail from aliasing.
    if (size.width() * 2 < image.width())
        return image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .convertToFormat(QImage::Format_RGB32);
    QImage shrunk(size, QImage::Format_RGB32);
    if (shrunk.isNull())
        return shrunk;
    QPainter painter(&shrunk);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(QRect(QPoint(), size), image);
    return shrunk;
}

// Encoded straight from the image's own pixels (libjpeg takes QImage's RGB32 memory order, so no
// row is converted first), with the fast integer transform: a page's or a balloon's picture.
QByteArray jpegOf(const QImage &source, int quality)
{
    const QImage image = source.convertToFormat(QImage::Format_RGB32);
    if (image.isNull())
        return {};
    jpeg_compress_struct codec{};
    JpegError error{};
    codec.err = jpeg_std_error(&error.pub);
    error.pub.error_exit = jpegErrorExit;
    error.pub.emit_message = jpegQuiet;
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&codec);
        std::free(buffer);
        return {};
    }
    jpeg_create_compress(&codec);
    jpeg_mem_dest(&codec, &buffer, &size);
    codec.image_width = JDIMENSION(image.width());
    codec.image_height = JDIMENSION(image.height());
    codec.input_components = 4;
    codec.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&codec);
    jpeg_set_quality(&codec, quality, TRUE);
    codec.dct_method = JDCT_IFAST;
    jpeg_start_compress(&codec, TRUE);
    while (codec.next_scanline < codec.image_height) {
        JSAMPROW row = const_cast<uchar *>(image.constScanLine(int(codec.next_scanline)));
        jpeg_write_scanlines(&codec, &row, 1);
    }
    jpeg_finish_compress(&codec);
    jpeg_destroy_compress(&codec);
    QByteArray jpeg(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return jpeg;
}
