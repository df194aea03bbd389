// What the three rooms of a photo's road share: their log lines and the decoder's limits.
#pragma once

#include "librarynotes.h"
#include "logline.h"

#include <QImageReader>
#include <QString>
#include <QStringList>
#include <QVector>

#include <mutex>
#include <utility>

namespace photoroad {

inline void info(const LogSink &log, const QString &line)
{
    log(Severity::Information, line);
}

inline void warning(const LogSink &log, const QString &line)
{
    log(Severity::Warning, line);
}

inline void error(const LogSink &log, const QString &line)
{
    log(Severity::Error, line);
}

// Lines held back until the photo's bytes are on disk: a failed write logs only its own error.
using HeldLines = QVector<std::pair<Severity, QString>>;

inline LogSink holdInto(HeldLines &held)
{
    return [&held](Severity severity, const QString &line) {
        held.append({severity, line});
    };
}

inline void logHeld(const HeldLines &held, const LogSink &log)
{
    for (const auto &[severity, line] : held)
        log(severity, line);
}

// What the decoding libraries said of the photo, for its log line: " (…; …)", or empty. Only a
// front end that routes their output collects anything; the window's lines stay as they are.
inline QString notesText()
{
    const QStringList notes = LibraryNotes::take();
    return notes.isEmpty()
               ? QString()
               : QStringLiteral(" (") + notes.join(QStringLiteral("; ")) + QLatin1Char(')');
}

// The toolkit refuses to decode any image larger than its allocation limit (128 MB by default,
// about 33 MP at 4 bytes a pixel); the limit is raised so that any photo up to 256 MP at 4 bytes a
// pixel decodes (1024 MB), which covers today's 200 MP phones, while a file that declares absurd
// dimensions is still refused.
inline void allowLargeImages()
{
    static std::once_flag once;
    std::call_once(once, [] { QImageReader::setAllocationLimit(1024); });
}

} // namespace photoroad
