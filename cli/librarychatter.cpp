// Library output routed to LibraryNotes instead of stderr.
#include "librarychatter.h"

#include "librarynotes.h"

#include <QByteArray>
#include <QString>

#include <cpl_error.h>
#include <tiffio.h>

#include <cstdarg>
#include <string>

namespace {

FILE *ownStream = stderr;

void writeOwn(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), ownStream);
    std::fputc('\n', ownStream);
}

// The toolkit's image plugins and the metadata library (through the toolkit) warn here; only
// critical and fatal messages are the program's business.
void toolkitMessage(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        writeOwn(message.toUtf8());
    else
        LibraryNotes::add(message.trimmed());
}

void tiffMessage(const char *module, const char *format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    LibraryNotes::add(
        module ? QStringLiteral("%1: %2").arg(QString::fromUtf8(module), QString::fromUtf8(text))
               : QString::fromUtf8(text));
}

void gdalMessage(CPLErr, CPLErrorNum, const char *message)
{
    LibraryNotes::add(QString::fromUtf8(message));
}

#ifdef __GLIBC__
// libpng has no hook for the errors of a reader it did not create: the image plugin's reader
// prints them with fprintf to the C stderr. Lines from libpng are kept; anything else written
// there (the runtime's last words before an abort, say) passes through. Lines are gathered per
// thread, as the library writes one line in two calls.
ssize_t sortLine(void *, const char *data, size_t size)
{
    thread_local std::string pending;
    pending.append(data, size);
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line.rfind("libpng ", 0) == 0)
            LibraryNotes::add(QString::fromStdString(line));
        else
            writeOwn(QByteArray::fromStdString(line));
    }
    return ssize_t(size);
}
#endif

} // namespace

FILE *quietLibraries()
{
    ownStream = stderr;
    qInstallMessageHandler(toolkitMessage);
    TIFFSetErrorHandler(tiffMessage);
    TIFFSetWarningHandler(tiffMessage);
    CPLSetErrorHandler(gdalMessage);
#ifdef __GLIBC__
    // The C library lets stderr be set like any other variable; our own stream keeps fd 2.
    cookie_io_functions_t io{nullptr, sortLine, nullptr, nullptr};
    if (FILE *sorter = fopencookie(nullptr, "w", io)) {
        std::setvbuf(sorter, nullptr, _IONBF, 0);
        stderr = sorter;
    }
#endif
    return ownStream;
}
