// Layers lent out and taken back, and the scan for their painted cells.
#include "layermemory.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace layermemory {

bool anyBits(const quint32 *pixels, int count)
{
    quint64 a = 0, b = 0;
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        quint64 first, second;
        std::memcpy(&first, pixels + i, sizeof first);
        std::memcpy(&second, pixels + i + 2, sizeof second);
        a |= first;
        b |= second;
    }
    for (; i < count; ++i)
        a |= pixels[i];
    return (a | b) != 0;
}

PaintedCells findPaintedCells(const QImage &layer)
{
    PaintedCells painted;
    painted.columns = (layer.width() + 7) / 8;
    painted.rows = (layer.height() + 7) / 8;
    painted.cells.assign(size_t(painted.columns) * size_t(painted.rows), 0);
    // Spans of eight cells are looked at whole first.
    constexpr int kSpan = 64;
    for (int y = 0; y < layer.height(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(layer.constScanLine(y));
        quint8 *cellRow = painted.cells.data() + size_t(y / 8) * size_t(painted.columns);
        for (int span = 0; span < layer.width(); span += kSpan) {
            const int spanEnd = std::min(span + kSpan, layer.width());
            if (!anyBits(line + span, spanEnd - span))
                continue;
            for (int x = span; x < spanEnd; x += 8) {
                quint8 &cell = cellRow[x / 8];
                cell = cell || anyBits(line + x, std::min(8, spanEnd - x));
            }
        }
    }
    return painted;
}

#ifdef Q_OS_LINUX
namespace {

// A layer's memory: the whole mapping, and its first huge page boundary, from which usable bytes
// are all zero whenever the mapping is not lent out.
struct Mapping
{
    void *start;
    size_t length;
    uchar *aligned;
    size_t usable;
    size_t lent = 0; // bytes of the layer that has it
};

// Layers go back to this shelf when their last image lets go, cleared of what was painted, so
// the next photo's painting finds its pages in place instead of the kernel zeroing fresh 2 MiB
// pages under the brush. Any thread may let a layer go.
struct LayerShelf
{
    static constexpr size_t kKept = 4;                    // a layer and its turned copy per worker
    static constexpr size_t kLargest = size_t(512) << 20; // beyond, memory goes straight back
    std::mutex mutex;
    std::vector<Mapping *> free;
};

// Never destroyed: a layer may be let go by a static image after exit has begun.
LayerShelf &layerShelf()
{
    static auto *shelf = new LayerShelf;
    return *shelf;
}

void returnLayer(void *info)
{
    auto *mapping = static_cast<Mapping *>(info);
    LayerShelf &shelf = layerShelf();
    if (mapping->usable <= LayerShelf::kLargest) {
        // Only what was painted is written: the rest still reads as the shared zero page.
        constexpr size_t kChunk = 4096;
        for (size_t offset = 0; offset < mapping->lent; offset += kChunk) {
            const size_t count = std::min(kChunk, mapping->lent - offset);
            const auto *chunk = reinterpret_cast<const quint32 *>(mapping->aligned + offset);
            if (anyBits(chunk, int(count / 4)))
                std::memset(mapping->aligned + offset, 0, count);
        }
        mapping->lent = 0;
        const std::lock_guard<std::mutex> lock(shelf.mutex);
        if (shelf.free.size() < LayerShelf::kKept) {
            shelf.free.push_back(mapping);
            return;
        }
    }
    munmap(mapping->start, mapping->length);
    delete mapping;
}

// A zeroed mapping of at least bytes from the shelf, the smallest that fits, or a new one.
Mapping *lendLayer(size_t bytes)
{
    {
        LayerShelf &shelf = layerShelf();
        const std::lock_guard<std::mutex> lock(shelf.mutex);
        auto best = shelf.free.end();
        for (auto it = shelf.free.begin(); it != shelf.free.end(); ++it) {
            if ((*it)->usable >= bytes &&
                (best == shelf.free.end() || (*it)->usable < (*best)->usable))
                best = it;
        }
        if (best != shelf.free.end()) {
            Mapping *mapping = *best;
            shelf.free.erase(best);
            mapping->lent = bytes;
            return mapping;
        }
    }
    // stamp() reads the whole layer. Untouched fresh memory reads as one shared zero page, but
    // faulting that in 4 KiB at a time is most of the cost of a photo-sized layer on a virtual
    // machine; huge pages take one fault per 2 MiB.
    constexpr size_t hugePage = size_t(2) << 20;
    const size_t length = bytes + hugePage;
    void *mapped =
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        return nullptr;
    auto *aligned = reinterpret_cast<uchar *>((reinterpret_cast<quintptr>(mapped) + hugePage - 1) &
                                              ~quintptr(hugePage - 1));
    const size_t usable = length - size_t(aligned - static_cast<uchar *>(mapped));
    madvise(aligned, usable, MADV_HUGEPAGE);
    return new Mapping{mapped, length, aligned, usable, bytes};
}
} // namespace
#endif

QImage transparentImage(const QSize &size)
{
    if (size.isEmpty())
        return QImage();
    const qsizetype bytesPerLine = qsizetype(size.width()) * 4;
#ifdef Q_OS_LINUX
    if (Mapping *mapping = lendLayer(size_t(bytesPerLine) * size_t(size.height())))
        return QImage(mapping->aligned, size.width(), size.height(), bytesPerLine,
                      QImage::Format_ARGB32_Premultiplied, returnLayer, mapping);
#endif
    void *bits = std::calloc(size_t(size.height()), size_t(bytesPerLine));
    if (!bits)
        return QImage();
    return QImage(static_cast<uchar *>(bits), size.width(), size.height(), bytesPerLine,
                  QImage::Format_ARGB32_Premultiplied, std::free, bits);
}

} // namespace layermemory
