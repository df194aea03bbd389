// Integer transforms in both directions and the composite between them.
#include "blockstamp.h"

#include <QRgb>

#include <algorithm>
#include <cstdlib>

namespace blockstamp {
namespace {

// The 8-point DCT in integers as libjpeg's accurate ("islow") method computes it (the
// Loeffler–Ligtenberg–Moschytz factorization, constants scaled by 2^13, 64-bit sums as libjpeg's
// on this platform), so a re-stamped block starts from the samples a decoder shows. Samples
// between the two directions carry kFraction more bits than a decoder's: rounding them to whole
// levels there and back would move an untouched sample by up to two.

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;
constexpr int kFraction = 3;
constexpr int kOne = 1 << kFraction; // one sample level
constexpr int kSampleMax = 255 * kOne;
constexpr qint64 k0_298631336 = 2446, k0_390180644 = 3196, k0_541196100 = 4433, k0_765366865 = 6270,
                 k0_899976223 = 7373, k1_175875602 = 9633, k1_501321110 = 12299,
                 k1_847759065 = 15137, k1_961570560 = 16069, k2_053119869 = 16819,
                 k2_562915447 = 20995, k3_072711026 = 25172;

constexpr qint64 descale(qint64 x, int n)
{
    return (x + (qint64(1) << (n - 1))) >> n;
}

// The odd part shared by both directions: from in[1], in[3], in[5], in[7] (inverse) or the
// differences (forward) to the four rotated terms.
struct Odd
{
    qint64 t0, t1, t2, t3;
};

inline Odd oddPart(qint64 t0, qint64 t1, qint64 t2, qint64 t3)
{
    const qint64 z5 = (t0 + t1 + t2 + t3) * k1_175875602;
    const qint64 z1 = (t0 + t3) * -k0_899976223;
    const qint64 z2 = (t1 + t2) * -k2_562915447;
    const qint64 z3 = (t0 + t2) * -k1_961570560 + z5;
    const qint64 z4 = (t1 + t3) * -k0_390180644 + z5;
    return {t0 * k0_298631336 + z1 + z3, t1 * k2_053119869 + z2 + z4, t2 * k3_072711026 + z2 + z3,
            t3 * k1_501321110 + z1 + z4};
}

// One pass of the inverse transform over in[0], in[stride], ...; shift is the pass's descaling
// and the even part's DC term enters already shifted by 2^13.
template <typename In>
inline void inverse8(const In *in, int stride, qint64 *out, int outStride, int shift)
{
    const qint64 z1 = (qint64(in[2 * stride]) + qint64(in[6 * stride])) * k0_541196100;
    const qint64 e2 = z1 + qint64(in[6 * stride]) * -k1_847759065;
    const qint64 e3 = z1 + qint64(in[2 * stride]) * k0_765366865;
    const qint64 e0 = (qint64(in[0]) + qint64(in[4 * stride])) * (1 << kConstBits);
    const qint64 e1 = (qint64(in[0]) - qint64(in[4 * stride])) * (1 << kConstBits);
    const qint64 t10 = e0 + e3, t13 = e0 - e3, t11 = e1 + e2, t12 = e1 - e2;
    const Odd o = oddPart(qint64(in[7 * stride]), qint64(in[5 * stride]), qint64(in[3 * stride]),
                          qint64(in[1 * stride]));
    out[0] = descale(t10 + o.t3, shift);
    out[7 * outStride] = descale(t10 - o.t3, shift);
    out[1 * outStride] = descale(t11 + o.t2, shift);
    out[6 * outStride] = descale(t11 - o.t2, shift);
    out[2 * outStride] = descale(t12 + o.t1, shift);
    out[5 * outStride] = descale(t12 - o.t1, shift);
    out[3 * outStride] = descale(t13 + o.t0, shift);
    out[4 * outStride] = descale(t13 - o.t0, shift);
}

// Dequantizes coef and transforms it to samples 0–kSampleMax, clamped as decoders clamp.
void inverse(const JCOEF *coef, const UINT16 *quant, int samples[64])
{
    qint64 dequantized[64], columns[64];
    for (int i = 0; i < 64; ++i)
        dequantized[i] = qint64(coef[i]) * qint64(quant[i]);
    for (int x = 0; x < 8; ++x)
        inverse8(dequantized + x, 8, columns + x, 8, kConstBits - kPass1Bits);
    qint64 rows[8];
    for (int y = 0; y < 8; ++y) {
        inverse8(columns + y * 8, 1, rows, 1, kConstBits + kPass1Bits + 3 - kFraction);
        for (int x = 0; x < 8; ++x)
            samples[y * 8 + x] = int(std::clamp<qint64>(rows[x] + 128 * kOne, 0, kSampleMax));
    }
}

// One pass of the forward transform; the even outputs of the first pass are shifted up by
// firstShift (2^2), the rest descaled by shift.
inline void forward8(const qint64 *in, int stride, qint64 *out, int outStride, int shift,
                     bool firstPass)
{
    const qint64 t0 = in[0] + in[7 * stride], t7 = in[0] - in[7 * stride];
    const qint64 t1 = in[stride] + in[6 * stride], t6 = in[stride] - in[6 * stride];
    const qint64 t2 = in[2 * stride] + in[5 * stride], t5 = in[2 * stride] - in[5 * stride];
    const qint64 t3 = in[3 * stride] + in[4 * stride], t4 = in[3 * stride] - in[4 * stride];
    const qint64 t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
    out[0] = firstPass ? (t10 + t11) * (1 << kPass1Bits) : descale(t10 + t11, kPass1Bits);
    out[4 * outStride] =
        firstPass ? (t10 - t11) * (1 << kPass1Bits) : descale(t10 - t11, kPass1Bits);
    const qint64 z1 = (t12 + t13) * k0_541196100;
    out[2 * outStride] = descale(z1 + t13 * k0_765366865, shift);
    out[6 * outStride] = descale(z1 + t12 * -k1_847759065, shift);
    const Odd o = oddPart(t4, t5, t6, t7);
    out[7 * outStride] = descale(o.t0, shift);
    out[5 * outStride] = descale(o.t1, shift);
    out[3 * outStride] = descale(o.t2, shift);
    out[1 * outStride] = descale(o.t3, shift);
}

// Transforms samples 0–kSampleMax and quantizes them as libjpeg does (the transform's outputs are
// eight times the orthonormal DCT's; rounding half away from zero).
void forward(const int samples[64], const Quantizer &quant, JCOEF *coef)
{
    qint64 centred[64], rows[64], result[64];
    for (int i = 0; i < 64; ++i)
        centred[i] = samples[i] - 128 * kOne;
    for (int y = 0; y < 8; ++y)
        forward8(centred + y * 8, 1, rows + y * 8, 1, kConstBits - kPass1Bits, true);
    for (int x = 0; x < 8; ++x)
        forward8(rows + x, 8, result + x, 8, kConstBits + kPass1Bits, false);
    for (int i = 0; i < 64; ++i) {
        const quint64 half = quint64(std::max<UINT16>(quant.table[i], 1)) * 4 * kOne;
        const qint64 magnitude =
            qint64(((quint64(std::abs(result[i])) + half) * quant.reciprocal[i]) >> 40);
        // Eight-bit baseline Huffman coding carries at most ten bits of an AC coefficient.
        const qint64 limit = i == 0 ? 2047 : 1023;
        coef[i] = JCOEF(std::min(magnitude, limit) * (result[i] < 0 ? -1 : 1));
    }
}

} // namespace

LayerWeights weightsFor(J_COLOR_SPACE space, int component)
{
    if (space == JCS_RGB)
        return {component == 0 ? 1.f : 0.f, component == 1 ? 1.f : 0.f, component == 2 ? 1.f : 0.f,
                0.f};
    switch (component) {
    case 1:
        return {-0.168736f, -0.331264f, 0.5f, 128.f};
    case 2:
        return {0.5f, -0.418688f, -0.081312f, 128.f};
    default:
        return {0.299f, 0.587f, 0.114f, 0.f};
    }
}

Quantizer::Quantizer(const UINT16 *quant)
    : table(quant)
{
    for (int i = 0; i < 64; ++i) {
        const quint64 divisor = quint64(std::max<UINT16>(quant[i], 1)) * 8 * kOne;
        reciprocal[i] = ((quint64(1) << 40) + divisor - 1) / divisor;
    }
}

// One component block whose samples each cover scaleX × scaleY photo pixels, from (x0, y0):
// decode, composite the layer source-over (averaged over each sample's pixels, as an encoder
// downsamples), encode. Pixels past the photo's edge repeat the edge, as encoders pad.
void restampBlock(JCOEF *coef, const Quantizer &quant, const LayerWeights &w,
                  const LayerView &layer, int x0, int y0, int scaleX, int scaleY)
{
    int samples[64];
    inverse(coef, quant.table, samples);
    int columns[8 * MAX_SAMP_FACTOR];
    for (int i = 0; i < 8 * scaleX; ++i)
        columns[i] = std::min(x0 + i, layer.width - 1);
    const float perSample = 1.f / float(scaleX * scaleY);
    for (int j = 0; j < 8; ++j) {
        int red[8] = {}, green[8] = {}, blue[8] = {}, alpha[8] = {};
        for (int dy = 0; dy < scaleY; ++dy) {
            const int y = std::min(y0 + j * scaleY + dy, layer.height - 1);
            const auto *line = reinterpret_cast<const QRgb *>(layer.bits + y * layer.bytesPerLine);
            for (int i = 0; i < 8; ++i) {
                for (int dx = 0; dx < scaleX; ++dx) {
                    const QRgb pixel = line[columns[i * scaleX + dx]];
                    if (!pixel)
                        continue;
                    red[i] += qRed(pixel);
                    green[i] += qGreen(pixel);
                    blue[i] += qBlue(pixel);
                    alpha[i] += qAlpha(pixel);
                }
            }
        }
        for (int i = 0; i < 8; ++i) {
            if (!alpha[i])
                continue; // premultiplied: no colour without coverage
            const float coverage = float(alpha[i]) * perSample / 255.f;
            const float paint =
                ((w.red * float(red[i]) + w.green * float(green[i]) + w.blue * float(blue[i])) *
                     perSample +
                 w.offset * coverage) *
                float(kOne);
            int &sample = samples[j * 8 + i];
            sample =
                int(std::clamp(paint + (1.f - coverage) * float(sample), 0.f, float(kSampleMax)) +
                    0.5f);
        }
    }
    forward(samples, quant, coef);
}

} // namespace blockstamp
