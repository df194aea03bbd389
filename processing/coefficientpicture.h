// A small picture of a JPEG made from the quantized coefficients a transcoder already holds, so a
// document's copy of a stamped photo costs no second entropy decoding of the whole file.
#pragma once

#include <QImage>

#include <cstdio>

#include <jpeglib.h>

namespace coefficientpicture {

// The photo at half its stored size (odd sizes rounded up), in its stored orientation, as RGB32:
// each block's low 4 × 4 frequencies taken back to 4 × 4 samples, chroma repeated over the
// pixels it covers. Null for a colour space other than grey, YCbCr or RGB, or without memory.
// Reads the arrays through the decompressor's memory manager, so its errors jump as libjpeg's.
QImage halfSize(jpeg_decompress_struct &source, jvirt_barray_ptr *arrays);

} // namespace coefficientpicture
