// Both documents from one read of each photo, on several workers: decoding is what they cost.
// The documents themselves are written in order on the calling thread.
#include "photoreport.h"
#include "reportfiles.h"
#include "reportsinks.h"

#include <algorithm>
#include <deque>
#include <future>
#include <vector>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

PreparedPhoto prepare(const QString &path, bool forReport, bool forKmz, const PictureSpool *spool)
{
    PreparedPhoto prepared;
    if (path.isEmpty() || (spool && spool->take(path, prepared)))
        return prepared;
    QString problem; // the documents say so where the photo would be
    return preparedFrom(smallImage(path, reportLongSide, problem), forReport, forKmz);
}

} // namespace

PreparedPhoto preparedFrom(const QImage &image, bool forReport, bool forKmz)
{
    PreparedPhoto prepared;
    if (image.isNull())
        return prepared;
    prepared.size = image.size();
    if (forReport)
        prepared.reportJpeg = jpegOf(image, pictureQuality);
    if (forKmz)
        prepared.kmzJpeg = jpegOf(shrunkTo(image, kmzLongSide), pictureQuality);
    return prepared;
}

bool writeReportDocuments(const ReportRun &run, const ReportOptions &options,
                          const ReportProgress &progress, QString &errorText,
                          const PictureSpool *spool)
{
#ifdef __GLIBC__
    // Every photo takes a few images of some megabytes each. Above the default threshold each one
    // is mapped afresh and its pages faulted in and zeroed, which cost a sixth of the time; kept
    // in the heap they are used again from one photo to the next.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
    std::vector<std::unique_ptr<PhotoSink>> sinks;
    if (!options.pdfPath.isEmpty())
        sinks.push_back(startPdf(run, options, errorText));
    if (!options.kmzPath.isEmpty() && (sinks.empty() || sinks.back()))
        sinks.push_back(startKmz(run, options, errorText));
    for (const auto &sink : sinks)
        if (!sink)
            return false;
    std::vector<const ReportPhoto *> placed;
    for (const ReportPhoto &photo : run.photos)
        if (photo.located)
            placed.push_back(&photo);

    // As many photos in hand as there are workers, each on its own thread; taken in order.
    const size_t window = size_t(std::max(1, options.workers));
    std::deque<std::future<PreparedPhoto>> pending;
    size_t launched = 0;
    const bool forReport = !options.pdfPath.isEmpty();
    const bool forKmz = !options.kmzPath.isEmpty();
    for (size_t done = 0; done < placed.size(); ++done) {
        while (launched < placed.size() && pending.size() < window) {
            const QString path = placed[launched++]->imagePath;
            pending.push_back(
                std::async(std::launch::async, prepare, path, forReport, forKmz, spool));
        }
        const PreparedPhoto prepared = pending.front().get();
        pending.pop_front();
        for (const auto &sink : sinks)
            if (!sink->add(*placed[done], int(done) + 1, prepared, errorText))
                return false; // the futures still pending finish before they go
        if (progress)
            progress(int(done) + 1, int(placed.size()));
    }
    for (const auto &sink : sinks)
        if (!sink->finish(errorText))
            return false;
    return true;
}
