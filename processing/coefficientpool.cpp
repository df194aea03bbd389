// The worker's memory behind libjpeg's virtual coefficient arrays: libjpeg reaches them only
// through its memory manager's methods, which install() points here.
#include "coefficientpool.h"

#include <QtGlobal>

#include <cstdlib>
#include <cstring>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace coefficientpool {
namespace {

// Each worker thread keeps the memory of its last photo's coefficients for the next: fresh pages
// cost the kernel a fault and a zeroing each, as much as a third of a stamp. Beyond kKeptBytes
// (a 4:4:4 photo of 30 megapixels, or 4:2:0 of 60) the memory goes back after the photo.
struct CoefficientPool
{
    void *memory = nullptr;
    size_t capacity = 0;
    bool busy = false; // a stamp holds it

    ~CoefficientPool() { release(); }
    void release()
    {
        if (!memory)
            return;
#ifdef Q_OS_LINUX
        munmap(memory, capacity);
#else
        std::free(memory);
#endif
        memory = nullptr;
        capacity = 0;
    }
    // Memory of at least bytes, its contents undefined; null if it cannot be had.
    void *take(size_t bytes)
    {
        if (bytes > capacity) {
            release();
#ifdef Q_OS_LINUX
            // Huge pages take one fault per 2 MiB where small ones take 512.
            void *mapped =
                mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (mapped == MAP_FAILED)
                return nullptr;
            madvise(mapped, bytes, MADV_HUGEPAGE);
            memory = mapped;
#else
            memory = std::malloc(bytes);
            if (!memory)
                return nullptr;
#endif
            capacity = bytes;
        }
        busy = true;
        return memory;
    }
};

constexpr size_t kKeptBytes = size_t(192) << 20;

CoefficientPool &workerPool()
{
    static thread_local CoefficientPool pool;
    return pool;
}

} // namespace

void Arrays::release()
{
    if (!holdsPool)
        return;
    CoefficientPool &pool = workerPool();
    pool.busy = false;
    if (pool.capacity > kKeptBytes)
        pool.release();
    holdsPool = false;
}

namespace {

jvirt_barray_ptr requestBlocks(j_common_ptr cinfo, int, boolean, JDIMENSION blocksPerRow,
                               JDIMENSION rows, JDIMENSION)
{
    Arrays &pool = *static_cast<Arrays *>(cinfo->client_data);
    if (pool.count == MAX_COMPONENTS) {
        pool.fail(cinfo, "demasiadas matrices de coeficientes");
        return nullptr;
    }
    PooledArray &array = pool.arrays[pool.count++];
    array.blocksPerRow = blocksPerRow;
    array.rows = rows;
    return reinterpret_cast<jvirt_barray_ptr>(&array);
}

void realizeBlocks(j_common_ptr cinfo)
{
    Arrays &pool = *static_cast<Arrays *>(cinfo->client_data);
    pool.libjpegRealize(cinfo);
    size_t blocks = 0, rows = 0;
    for (int i = 0; i < pool.count; ++i) {
        blocks += size_t(pool.arrays[i].blocksPerRow) * pool.arrays[i].rows;
        rows += pool.arrays[i].rows;
    }
    const size_t bytes = blocks * sizeof(JBLOCK) + rows * sizeof(JBLOCKROW);
    if (pool.holdsPool || bytes > pool.limit)
        return pool.fail(cinfo, "la foto pide más memoria de la que se admite");
    CoefficientPool &worker = workerPool();
    // Only one stamp runs on a thread at a time; the memory is never shared.
    void *memory = worker.busy ? nullptr : worker.take(bytes);
    if (!memory)
        return pool.fail(cinfo, "sin memoria para los coeficientes");
    pool.holdsPool = true;
    auto *blockMemory = static_cast<JBLOCK *>(memory);
    auto *rowMemory = reinterpret_cast<JBLOCKROW *>(blockMemory + blocks);
    for (int i = 0; i < pool.count; ++i) {
        PooledArray &array = pool.arrays[i];
        array.rowPointers = rowMemory;
        for (JDIMENSION row = 0; row < array.rows; ++row)
            array.rowPointers[row] = blockMemory + size_t(row) * array.blocksPerRow;
        rowMemory += array.rows;
        blockMemory += size_t(array.rows) * array.blocksPerRow;
    }
}

// Serves both objects: the compressor reads the decompressor's arrays through its own manager.
JBLOCKARRAY accessBlocks(j_common_ptr cinfo, jvirt_barray_ptr handle, JDIMENSION start,
                         JDIMENSION count, boolean writable)
{
    Arrays &pool = *static_cast<Arrays *>(cinfo->client_data);
    if (!pool.owns(handle))
        return pool.libjpegAccess[cinfo->is_decompressor ? 1 : 0](cinfo, handle, start, count,
                                                                  writable);
    PooledArray &array = *reinterpret_cast<PooledArray *>(handle);
    const JDIMENSION end = start + count;
    if (!array.rowPointers || end > array.rows || end < start) {
        pool.fail(cinfo, "acceso fuera de las matrices de coeficientes");
        return nullptr;
    }
    if (end > array.firstUndefinedRow) {
        // One run: the rows are contiguous.
        std::memset(array.rowPointers[array.firstUndefinedRow], 0,
                    size_t(end - array.firstUndefinedRow) * array.blocksPerRow * sizeof(JBLOCK));
        array.firstUndefinedRow = end;
    }
    return array.rowPointers + start;
}

} // namespace

void install(Arrays &arrays, j_common_ptr cinfo)
{
    arrays.libjpegAccess[cinfo->is_decompressor ? 1 : 0] = cinfo->mem->access_virt_barray;
    cinfo->mem->access_virt_barray = accessBlocks;
    if (cinfo->is_decompressor) {
        arrays.libjpegRealize = cinfo->mem->realize_virt_arrays;
        cinfo->mem->request_virt_barray = requestBlocks;
        cinfo->mem->realize_virt_arrays = realizeBlocks;
    }
}

} // namespace coefficientpool
