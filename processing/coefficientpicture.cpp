// Half-size pictures straight from DCT coefficients.
#include "coefficientpicture.h"

#include <QSysInfo>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <turbojpeg.h>

namespace coefficientpicture {

namespace {

// byFrequency[u][n]: frequency u of the 8-point inverse transform at the middle of samples 2n
// and 2n + 1, with its normalisation, so the four results are the block at half its resolution.
// Laid out with the samples innermost, so each pass below is four-wide arithmetic.
struct Basis
{
    float byFrequency[4][4];
    Basis()
    {
        const double pi = std::acos(-1.0);
        for (int u = 0; u < 4; ++u)
            for (int n = 0; n < 4; ++n)
                byFrequency[u][n] = float(0.5 * (u == 0 ? std::sqrt(0.5) : 1.0) *
                                          std::cos((2 * n + 1) * u * pi / 8));
    }
};

// Rounded and held to 0–255 without a library call: this runs for every sample.
quint8 sample(float value)
{
    return quint8(int(std::min(std::max(value, 0.0f), 255.0f) + 0.5f));
}

// One component's plane at half size: 4 × 4 samples per block.
struct Plane
{
    int width = 0;
    int height = 0;
    std::vector<quint8> samples;
};

Plane halfPlane(jpeg_decompress_struct &source, jvirt_barray_ptr array,
                const jpeg_component_info &component)
{
    static const Basis basis;
    const JQUANT_TBL *table = component.quant_table ? component.quant_table
                                                    : source.quant_tbl_ptrs[component.quant_tbl_no];
    Plane plane;
    plane.width = int(component.width_in_blocks) * 4;
    plane.height = int(component.height_in_blocks) * 4;
    plane.samples.resize(size_t(plane.width) * size_t(plane.height));
    if (!table)
        return plane; // no table is no picture worth showing; the stamp itself fails on it
    float quant[4][4];
    for (int v = 0; v < 4; ++v)
        for (int u = 0; u < 4; ++u)
            quant[v][u] = float(table->quantval[v * 8 + u]);
    const size_t stride = size_t(plane.width);
    for (JDIMENSION by = 0; by < component.height_in_blocks; ++by) {
        JBLOCKARRAY row = (*source.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&source),
                                                            array, by, 1, FALSE);
        quint8 *out = plane.samples.data() + size_t(by) * 4 * stride;
        for (JDIMENSION bx = 0; bx < component.width_in_blocks; ++bx) {
            const JCOEF *block = row[0][bx];
            quint8 *corner = out + size_t(bx) * 4;
            // Smooth ground has no low AC frequency left: one level for the whole block.
            const bool flat = !(block[1] | block[2] | block[3] | block[8] | block[9] | block[10] |
                                block[11] | block[16] | block[17] | block[18] | block[19] |
                                block[24] | block[25] | block[26] | block[27]);
            if (flat) {
                const quint8 level = sample(float(block[0]) * quant[0][0] / 8 + 128);
                for (int m = 0; m < 4; ++m)
                    std::memset(corner + size_t(m) * stride, level, 4);
                continue;
            }
            // Rows first: across[v][n] is frequency row v at output column n.
            float across[4][4] = {};
            for (int v = 0; v < 4; ++v)
                for (int u = 0; u < 4; ++u) {
                    const float f = float(block[v * 8 + u]) * quant[v][u];
                    for (int n = 0; n < 4; ++n)
                        across[v][n] += f * basis.byFrequency[u][n];
                }
            for (int m = 0; m < 4; ++m) {
                float line[4] = {128, 128, 128, 128};
                for (int v = 0; v < 4; ++v) {
                    const float b = basis.byFrequency[v][m];
                    for (int n = 0; n < 4; ++n)
                        line[n] += b * across[v][n];
                }
                quint8 *target = corner + size_t(m) * stride;
                for (int n = 0; n < 4; ++n)
                    target[n] = sample(line[n]);
            }
        }
    }
    return plane;
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

QImage halfSize(jpeg_decompress_struct &source, jvirt_barray_ptr *arrays)
{
    const bool grey = source.jpeg_color_space == JCS_GRAYSCALE && source.num_components == 1;
    const bool ycc = source.jpeg_color_space == JCS_YCbCr && source.num_components == 3;
    const int subsampling = subsamplingOf(source);
    if ((!grey && !ycc) || subsampling < 0)
        return {};
    const int width = int(source.image_width + 1) / 2;
    const int height = int(source.image_height + 1) / 2;
    QImage picture(width, height, QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    std::vector<Plane> planes;
    const unsigned char *samples[3] = {};
    int strides[3] = {};
    for (int c = 0; c < source.num_components; ++c) {
        planes.push_back(halfPlane(source, arrays[c], source.comp_info[c]));
        // Each plane covers at least what the subsampling asks of a picture this size.
        if (planes.back().width < tjPlaneWidth(c, width, subsampling) ||
            planes.back().height < tjPlaneHeight(c, height, subsampling))
            return {};
    }
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
