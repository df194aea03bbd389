// The documents' copies of stamped photos, made while the run stamps them.
#include "exiforientation.h"
#include "photoreport.h"
#include "reportfiles.h"
#include "reportsinks.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryFile>

#include <mutex>

struct PictureSpool::State
{
    bool forReport = false;
    bool forKmz = false;
    std::mutex mutex;
    QTemporaryFile file{QDir::tempPath() + QStringLiteral("/cartaluz-copias-XXXXXX")};
    bool usable = true;
    struct Entry
    {
        qint64 offset;
        qsizetype reportBytes, kmzBytes;
        QSize size;
    };
    QHash<QString, Entry> entries;
};

namespace {

QString keyOf(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

PictureSpool::PictureSpool(const ReportOptions &options)
    : m_state(std::make_unique<State>())
{
    m_state->forReport = !options.pdfPath.isEmpty();
    m_state->forKmz = !options.kmzPath.isEmpty();
}

PictureSpool::~PictureSpool() = default;

int PictureSpool::longSide() const
{
    return m_state->forReport ? reportLongSide : kmzLongSide;
}

void PictureSpool::add(const QString &finalPath, const QImage &picture, int exifOrientation)
{
    // Turned once small: turning costs by the pixel.
    const PreparedPhoto prepared =
        preparedFrom(turnedUpright(shrunkTo(picture, reportLongSide),
                                   exiforientation::transformationOf(exifOrientation)),
                     m_state->forReport, m_state->forKmz);
    if (prepared.reportJpeg.isEmpty() && prepared.kmzJpeg.isEmpty())
        return;
    State &state = *m_state;
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.usable || (!state.file.isOpen() && !state.file.open())) {
        state.usable = false;
        return;
    }
    const qint64 offset = state.file.size();
    if (!state.file.seek(offset) ||
        state.file.write(prepared.reportJpeg) != prepared.reportJpeg.size() ||
        state.file.write(prepared.kmzJpeg) != prepared.kmzJpeg.size()) {
        // A full disk: what was kept stays good, the rest is read from the photos.
        state.usable = false;
        return;
    }
    state.entries.insert(keyOf(finalPath), {offset, prepared.reportJpeg.size(),
                                            prepared.kmzJpeg.size(), prepared.size});
}

bool PictureSpool::take(const QString &path, PreparedPhoto &prepared) const
{
    State &state = *m_state;
    const std::lock_guard<std::mutex> lock(state.mutex);
    const auto entry = state.entries.constFind(keyOf(path));
    if (entry == state.entries.cend() || !state.file.seek(entry->offset))
        return false;
    prepared.size = entry->size;
    prepared.reportJpeg = state.file.read(entry->reportBytes);
    prepared.kmzJpeg = state.file.read(entry->kmzBytes);
    return prepared.reportJpeg.size() == entry->reportBytes &&
           prepared.kmzJpeg.size() == entry->kmzBytes;
}
