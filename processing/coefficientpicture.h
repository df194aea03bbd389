// A small picture of a JPEG made from the quantized coefficients a transcoder already holds, so a
// document's copy of a stamped photo costs no second entropy decoding of the whole file.
#pragma once

#include <QImage>

#include <cstdio>

#include <jpeglib.h>

namespace coefficientpicture {

// The photo at the smallest of 1/8, 1/4 and 1/2 of its stored size (sizes rounded up) whose long
// side still reaches longSide, in its stored orientation, as RGB32: each block's low N × N
// frequencies taken back to N × N samples, then libjpeg-turbo's colour conversion. Null when even
// half is shorter, for a colour space other than grey or YCbCr, for a chroma sampling the
// conversion does not know, or without memory. Reads the arrays through the decompressor's
// memory manager, so its errors jump as libjpeg's.
QImage reduced(jpeg_decompress_struct &source, jvirt_barray_ptr *arrays, int longSide);

} // namespace coefficientpicture
