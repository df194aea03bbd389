// Reduced pictures straight from DCT coefficients.
#include "coefficientpicture.h"

#include <QSysInfo>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <turbojpeg.h>

namespace coefficientpicture {

namespace {

// byFrequency[u][n]: frequency u of the 8-point inverse transform at the middle of the n-th run
// of 8 / N samples, with its normalisation, so the N results are the block at N / 8 of its
// resolution. Laid out with the samples innermost, so each pass below is N-wide arithmetic.
template <int N> struct Basis
{
    float byFrequency[N][N];
    Basis()
    {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < N; ++u)
            for (int n = 0; n < N; ++n)
                byFrequency[u][n] = float(0.5 * (u == 0 ? std::sqrt(0.5) : 1.0) *
                                          std::cos((2 * n + 1) * u * pi / (2 * N)));
    }
};

// Rounded and held to 0–255 without a library call: this runs for every sample.
quint8 sample(float value)
{
    return quint8(int(std::min(std::max(value, 0.0f), 255.0f) + 0.5f));
}

// One component's plane at N / 8 of its size: N × N samples per block.
struct Plane
{
    int width = 0;
    int height = 0;
    std::vector<quint8> samples;
};

template <int N>
Plane reducedPlane(jpeg_decompress_struct &source, jvirt_barray_ptr array,
                   const jpeg_component_info &component, QSize atLeast)
{
    static const Basis<N> basis;
    const JQUANT_TBL *table = component.quant_table ? component.quant_table
                                                    : source.quant_tbl_ptrs[component.quant_tbl_no];
    Plane plane;
    const int blocksWide = int(component.width_in_blocks) * N;
    const int blocksHigh = int(component.height_in_blocks) * N;
    plane.width = std::max(blocksWide, atLeast.width());
    plane.height = std::max(blocksHigh, atLeast.height());
    plane.samples.resize(size_t(plane.width) * size_t(plane.height));
    if (!table)
        return plane; // no table is no picture worth showing; the stamp itself fails on it
    float quant[N][N];
    for (int v = 0; v < N; ++v)
        for (int u = 0; u < N; ++u)
            quant[v][u] = float(table->quantval[v * 8 + u]);
    const size_t stride = size_t(plane.width);
    for (JDIMENSION by = 0; by < component.height_in_blocks; ++by) {
        JBLOCKARRAY row = (*source.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&source),
                                                            array, by, 1, FALSE);
        quint8 *out = plane.samples.data() + size_t(by) * N * stride;
        for (JDIMENSION bx = 0; bx < component.width_in_blocks; ++bx) {
            const JCOEF *block = row[0][bx];
            quint8 *corner = out + size_t(bx) * N;
            // Smooth ground has no low AC frequency left: one level for the whole block.
            int ac = 0;
            for (int v = 0; v < N; ++v)
                for (int u = 0; u < N; ++u)
                    ac |= (v | u) ? block[v * 8 + u] : 0;
            if (ac == 0) {
                const quint8 level = sample(float(block[0]) * quant[0][0] / 8 + 128);
                for (int m = 0; m < N; ++m)
                    std::memset(corner + size_t(m) * stride, level, N);
                continue;
            }
            // Rows first: across[v][n] is frequency row v at output column n.
            float across[N][N] = {};
            for (int v = 0; v < N; ++v)
                for (int u = 0; u < N; ++u) {
                    const float f = float(block[v * 8 + u]) * quant[v][u];
                    for (int n = 0; n < N; ++n)
                        across[v][n] += f * basis.byFrequency[u][n];
                }
            for (int m = 0; m < N; ++m) {
                float line[N];
                for (int n = 0; n < N; ++n)
                    line[n] = 128;
                for (int v = 0; v < N; ++v) {
                    const float b = basis.byFrequency[v][m];
                    for (int n = 0; n < N; ++n)
                        line[n] += b * across[v][n];
                }
                quint8 *target = corner + size_t(m) * stride;
                for (int n = 0; n < N; ++n)
                    target[n] = sample(line[n]);
            }
        }
        // The colour conversion may read a sample past the blocks, as whole MCUs would give.
        for (int m = 0; m < N; ++m) {
            quint8 *line = out + size_t(m) * stride;
            std::fill(line + blocksWide, line + plane.width, line[blocksWide - 1]);
        }
    }
    for (int y = blocksHigh; y < plane.height; ++y)
        std::copy_n(plane.samples.data() + size_t(blocksHigh - 1) * stride, stride,
                    plane.samples.data() + size_t(y) * stride);
    return plane;
}

Plane reducedPlane(int n, jpeg_decompress_struct &source, jvirt_barray_ptr array,
                   const jpeg_component_info &component, QSize atLeast)
{
    return n == 4   ? reducedPlane<4>(source, array, component, atLeast)
           : n == 2 ? reducedPlane<2>(source, array, component, atLeast)
                    : reducedPlane<1>(source, array, component, atLeast);
}

// The chroma subsampling the colour conversion knows, from the luma's sampling; -1 for others.
int subsamplingOf(const jpeg_decompress_struct &source)
{
    if (source.num_components == 1)
        return TJSAMP_GRAY;
    for (int c = 1; c < 3; ++c)
        if (source.comp_info[c].h_samp_factor != 1 || source.comp_info[c].v_samp_factor != 1)
            return -1;
    const int h = source.comp_info[0].h_samp_factor, v = source.comp_info[0].v_samp_factor;
    return h == 1 && v == 1   ? TJSAMP_444
           : h == 2 && v == 1 ? TJSAMP_422
           : h == 2 && v == 2 ? TJSAMP_420
           : h == 1 && v == 2 ? TJSAMP_440
           : h == 4 && v == 1 ? TJSAMP_411
                              : -1;
}

} // namespace

QImage reduced(jpeg_decompress_struct &source, jvirt_barray_ptr *arrays, int longSide)
{
    const bool grey = source.jpeg_color_space == JCS_GRAYSCALE && source.num_components == 1;
    const bool ycc = source.jpeg_color_space == JCS_YCbCr && source.num_components == 3;
    const int subsampling = subsamplingOf(source);
    const int longest = int(std::max(source.image_width, source.image_height));
    int n = 1; // samples per block side: 1, 2 or 4
    while (n < 4 && (longest * n + 7) / 8 < longSide)
        n *= 2;
    if ((!grey && !ycc) || subsampling < 0 || (longest * n + 7) / 8 < longSide)
        return {};
    const int width = int(source.image_width * unsigned(n) + 7) / 8;
    const int height = int(source.image_height * unsigned(n) + 7) / 8;
    QImage picture(width, height, QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    std::vector<Plane> planes;
    const unsigned char *samples[3] = {};
    int strides[3] = {};
    for (int c = 0; c < source.num_components; ++c)
        planes.push_back(reducedPlane(
            n, source, arrays[c], source.comp_info[c],
            QSize(tjPlaneWidth(c, width, subsampling), tjPlaneHeight(c, height, subsampling))));
    for (size_t c = 0; c < planes.size(); ++c) {
        samples[c] = planes[c].samples.data();
        strides[c] = planes[c].width;
    }
    // The toolkit's RGB32 is BGRX in memory on little-endian machines, ARGB on big-endian ones.
    const int format = QSysInfo::ByteOrder == QSysInfo::LittleEndian ? TJPF_BGRX : TJPF_XRGB;
    tjhandle converter = tjInitDecompress();
    const bool done =
        converter && tjDecodeYUVPlanes(converter, samples, strides, subsampling, picture.bits(),
                                       width, int(picture.bytesPerLine()), height, format, 0) == 0;
    if (converter)
        tjDestroy(converter);
    return done ? picture : QImage();
}

} // namespace coefficientpicture
