// The coefficient arrays of a lossless stamp in each worker thread's own memory, kept between
// photos, instead of libjpeg's fresh pages for every photo.
#pragma once

#include <cstddef>
#include <cstdio>

#include <jpeglib.h>

namespace coefficientpool {

// A coefficient array of the decompressor. Rows are zeroed as they are first reached, as libjpeg
// does for its pre-zeroed arrays.
struct PooledArray
{
    JDIMENSION blocksPerRow = 0;
    JDIMENSION rows = 0;
    JDIMENSION firstUndefinedRow = 0;
    JBLOCKARRAY rowPointers = nullptr;
};

// One stamp's arrays. fail must not return (it leaves through the caller's setjmp).
struct Arrays
{
    void (*fail)(j_common_ptr, const char *) = nullptr;
    size_t limit = 0; // bytes beyond which a photo is refused
    PooledArray arrays[MAX_COMPONENTS];
    int count = 0;
    JBLOCKARRAY (*libjpegAccess[2])
    (j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean) = {};
    void (*libjpegRealize)(j_common_ptr) = nullptr;
    bool holdsPool = false;

    Arrays() = default;
    Arrays(const Arrays &) = delete;
    Arrays &operator=(const Arrays &) = delete;
    ~Arrays() { release(); }

    bool owns(jvirt_barray_ptr array) const
    {
        const auto *pooled = reinterpret_cast<const PooledArray *>(array);
        return pooled >= arrays && pooled < arrays + count;
    }
    // Gives the worker's memory back; the arrays are unusable after.
    void release();
};

// Put after each object's creation, with cinfo->client_data pointing at arrays: the
// decompressor's coefficient arrays come from the worker's memory, and the compressor reads them
// there.
void install(Arrays &arrays, j_common_ptr cinfo);

} // namespace coefficientpool
