// The blocks under a stamp: one 8 × 8 block of a component taken back to samples, the layer
// composited there, and quantized again with the photo's own table.
#pragma once

#include <QtGlobal>

#include <cstdio>

#include <jpeglib.h>

namespace blockstamp {

// The layer's share of one component: weights of premultiplied red, green and blue, plus the
// offset that scales with coverage (chroma is centred on 128).
struct LayerWeights
{
    float red, green, blue, offset;
};

// For a component of a photo in this colour space.
LayerWeights weightsFor(J_COLOR_SPACE space, int component);

// The premultiplied layer's pixels, read without QImage's per-call checks.
struct LayerView
{
    const uchar *bits;
    qsizetype bytesPerLine;
    int width;
    int height;
};

// One component's quantization: the table and, per coefficient, 2^40 / d rounded up for the
// divisor d = 64 · q, with which a multiplication and a shift give the exact quotient of any
// transform output by d (the outputs stay below 2^17 and d below 2^22, so their product stays
// below 2^40), where a division per coefficient would cost more than the transform.
struct Quantizer
{
    const UINT16 *table;
    quint64 reciprocal[64];

    explicit Quantizer(const UINT16 *quant);
};

// One component block whose samples each cover scaleX × scaleY photo pixels, from (x0, y0):
// decode, composite the layer source-over (averaged over each sample's pixels, as an encoder
// downsamples), encode. Pixels past the photo's edge repeat the edge, as encoders pad.
void restampBlock(JCOEF *coef, const Quantizer &quant, const LayerWeights &w,
                  const LayerView &layer, int x0, int y0, int scaleX, int scaleY);

} // namespace blockstamp
