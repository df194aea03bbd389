// The metadata library set up, opened and driven under one lock.
#include "exivlibrary.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <atomic>

namespace {

// The long-path form "\\?\" is Windows path syntax; native paths elsewhere begin with '/'.
#ifdef Q_OS_WIN
constexpr bool needsLongPathPrefix = true;
#else
constexpr bool needsLongPathPrefix = false;
#endif

QString withLongPathPrefix(const QString &nativePath)
{
    // Already long, or a network path (\\server\share): left as it is.
    if (nativePath.startsWith(QLatin1String("\\\\?\\")) ||
        nativePath.startsWith(QLatin1String("\\\\")))
        return nativePath;
    return QLatin1String("\\\\?\\") + nativePath;
}

// The library's warnings ("Directory GPSInfo, entry ... has unknown type") join the program's
// own warning output instead of going straight to stderr.
void forwardLibraryMessage(int, const char *message)
{
    qWarning().noquote() << QString::fromUtf8(message).trimmed();
}

} // namespace

namespace exivlib {

// Process-wide set-up of the library, done once before its first use from any thread. The XMP
// toolkit's namespace registrations are taken under a lock of its own.
void initialiseLibrary()
{
    static std::once_flag once;
    static std::recursive_mutex xmpLock;
    std::call_once(once, [] {
        Exiv2::XmpParser::initialize(
            [](void *lock, bool acquire) {
                auto *mutex = static_cast<std::recursive_mutex *>(lock);
                if (acquire)
                    mutex->lock();
                else
                    mutex->unlock();
            },
            &xmpLock);
        Exiv2::LogMsg::setHandler(forwardLibraryMessage);
    });
}

// The library keeps one process-wide table of XMP namespaces. Reading a photo adds those it does
// not know yet (drones, phones and editors bring their own), under the library's lock; writing XMP
// walks the whole table without that lock. A read on the calling thread and a write on a worker
// then race, so every parse and every write of a photo's tags goes under this one lock. Looking
// tags up and changing them in memory stay outside it.
std::mutex metadataLock;

void readTags(Exiv2::Image &image)
{
    const std::lock_guard<std::mutex> lock(metadataLock);
    image.readMetadata();
}

void writeTags(Exiv2::Image &image)
{
    const std::lock_guard<std::mutex> lock(metadataLock);
    image.writeMetadata();
}

// Only these contents reach the library's parsers. It also recognises video and audio
// containers, raw formats and the like, and some of those parsers hang or crash on damaged
// data, so a clip that merely wears a photo's name counts as no image.
// HEIF joins them only where its reading was asked for (see readHeifMetadata).
std::atomic<bool> heifRead{false};

bool isPhotoType(int type)
{
    return type == Exiv2::ImageType::jpeg || type == Exiv2::ImageType::tiff ||
           type == Exiv2::ImageType::png || (type == Exiv2::ImageType::bmff && heifRead);
}

// Exiv2 0.27 hands images out as std::auto_ptr; taking ownership here keeps that deprecated
// type out of the rest of the file. Content the library does not recognise at all still goes to
// its factory, which reports it (or a file that cannot be opened) by its own error.
std::unique_ptr<Exiv2::Image> openImage(const std::string &nativePath)
{
    initialiseLibrary();
    {
        Exiv2::FileIo file(nativePath);
        const int type = Exiv2::ImageFactory::getType(file);
        if (type != Exiv2::ImageType::none && !isPhotoType(type))
            return {};
    }
    // useCurl only matters for URLs, never for our paths.
    return std::unique_ptr<Exiv2::Image>(Exiv2::ImageFactory::open(nativePath, true).release());
}

// A whole file, read the way the library's factory opens files, so that a missing or unreadable
// file gives the same error as opening it by path would.
QByteArray readWholeFile(const std::string &nativePath)
{
    Exiv2::FileIo file(nativePath);
    if (file.open() != 0)
        throw Exiv2::Error(Exiv2::kerDataSourceOpenFailed, file.path(), Exiv2::strError());
    QByteArray bytes(static_cast<qsizetype>(file.size()), Qt::Uninitialized);
    if (file.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), static_cast<long>(bytes.size())) !=
        static_cast<long>(bytes.size()))
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    return bytes;
}

// An image object over a private copy of bytes held in memory: the library writes some formats
// (TIFF) in place into the buffer it was given, which must not be the caller's. Same gate as
// openImage; null also for content the library does not know.
std::unique_ptr<Exiv2::Image> openBytes(const QByteArray &bytes)
{
    initialiseLibrary();
    const auto *data = reinterpret_cast<const Exiv2::byte *>(bytes.constData());
    const long size = static_cast<long>(bytes.size());
    if (!isPhotoType(Exiv2::ImageFactory::getType(data, size)))
        return {};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    // The only factory entry that takes an I/O object wants the library's deprecated pointer.
    Exiv2::BasicIo::AutoPtr io(new Exiv2::MemIo);
#pragma GCC diagnostic pop
    if (io->write(data, size) != size)
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    return std::unique_ptr<Exiv2::Image>(Exiv2::ImageFactory::open(io).release());
}

// A file to be changed, read whole into bytes. Opened by path first, so that a missing,
// unreadable or unknown file gives the library's own error and a disguised one no image.
std::unique_ptr<Exiv2::Image> openFileInMemory(const std::string &nativePath, QByteArray &bytes)
{
    if (!openImage(nativePath))
        return {};
    bytes = readWholeFile(nativePath);
    return openBytes(bytes);
}

// The file as the library left it after writeTags on an image made by openBytes.
QByteArray bytesOf(Exiv2::Image &image)
{
    Exiv2::BasicIo &io = image.io();
    if (io.open() != 0)
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    QByteArray bytes(static_cast<qsizetype>(io.size()), Qt::Uninitialized);
    const long read =
        io.read(reinterpret_cast<Exiv2::byte *>(bytes.data()), static_cast<long>(bytes.size()));
    io.close();
    if (read != static_cast<long>(bytes.size()))
        throw Exiv2::Error(Exiv2::kerFailedToReadImageData);
    return bytes;
}

// What lies at the path is always either the complete old file or the complete new one.
bool replaceFile(const QString &path, const QByteArray &bytes, QString &errorText)
{
    QSaveFile file(path);
    // Flushed first: Qt 6.4's commit does not report a failure to write what it still buffers.
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush() &&
        file.commit())
        return true;
    errorText = file.errorString();
    return false;
}

// Any standard exception from inside a library call is that library's error: on malformed tags
// Exiv2 also throws overflow_error, out_of_range or bad_alloc, and one bad photo must not end
// the run. Exiv2::Error derives from std::exception.
QString messageOf(const std::exception &error)
{
    return QString::fromUtf8(error.what());
}

const char *const historyKey = "Xmp.xmpMM.History";

// The position of the History item a key belongs to ("Xmp.xmpMM.History[3]/stEvt:when" gives
// 3), 0 for any other key.
int historyIndexOf(const std::string &key, std::string *field)
{
    static const std::string prefix = std::string(historyKey) + '[';
    if (key.compare(0, prefix.size(), prefix) != 0)
        return 0;
    const size_t close = key.find(']', prefix.size());
    const std::string digits = key.substr(prefix.size(), close - prefix.size());
    if (close == std::string::npos || digits.empty() || digits.size() > 6 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    if (field)
        *field = key.substr(close + 1);
    return std::stoi(digits);
}

} // namespace exivlib

std::string qPathToNativeStdString(const QString &path)
{
    const QString absolutePath = QFileInfo(path).absoluteFilePath();
    if (absolutePath.isEmpty()) {
        qWarning() << "qPathToNativeStdString: No se pudo obtener la ruta absoluta para:" << path;
        return {};
    }
    QString nativePath = QDir::toNativeSeparators(absolutePath);
    if (needsLongPathPrefix)
        nativePath = withLongPathPrefix(nativePath);
    const QByteArray utf8 = nativePath.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

void readHeifMetadata()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::enableBMFF(true);
        exivlib::heifRead = true;
    });
}
