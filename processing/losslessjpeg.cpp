// Lossless stamping in libjpeg's coefficient domain: read the coefficients, transform back only
// the blocks under painted layer pixels, composite there and quantize again, write everything out.
#include "losslessjpeg.h"

#include <QImage>
#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include <jpeglib.h>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

namespace losslessjpeg {
namespace {

// A hostile progressive file can carry thousands of tiny scans; real ones have about ten.
constexpr int kScanLimit = 500;
// Coefficient arrays beyond this mean a header that lies about the size, or a photo the normal
// path would refuse as well.
constexpr long kMemoryLimit = 1024L * 1024 * 1024;

struct ErrorManager
{
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char text[JMSG_LENGTH_MAX];
};

[[noreturn]] void failWith(ErrorManager &err, const char *text)
{
    std::snprintf(err.text, sizeof err.text, "%s", text);
    std::longjmp(err.jump, 1);
}

[[noreturn]] void errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->text);
    std::longjmp(err->jump, 1);
}

// A warning is corrupt data that libjpeg would paper over (a truncated file decodes with grey
// rows), and the photo must not be rewritten from that.
void emitMessage(j_common_ptr cinfo, int level)
{
    if (level < 0)
        errorExit(cinfo);
}

void outputMessage(j_common_ptr) {}

void watchScans(j_common_ptr cinfo)
{
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kScanLimit)
        failWith(*reinterpret_cast<ErrorManager *>(cinfo->err), "demasiados barridos progresivos");
}

// A coefficient array of the decompressor, kept in the worker's pool instead of libjpeg's own
// memory. Rows are zeroed as they are first reached, as libjpeg does for its pre-zeroed arrays.
struct PooledArray
{
    JDIMENSION blocksPerRow = 0;
    JDIMENSION rows = 0;
    JDIMENSION firstUndefinedRow = 0;
    JBLOCKARRAY rowPointers = nullptr;
};

// Both libjpeg objects and the output buffer; destroyed whatever happened.
struct Codec
{
    ErrorManager err{};
    jpeg_progress_mgr progress{};
    jpeg_decompress_struct src{};
    jpeg_compress_struct dst{};
    bool srcCreated = false;
    bool dstCreated = false;
    // The new file, written in place: no buffer of libjpeg's to copy out of.
    jpeg_destination_mgr destination{};
    QByteArray out;
    PooledArray arrays[MAX_COMPONENTS];
    int arrayCount = 0;
    JBLOCKARRAY(*libjpegAccess[2])
    (j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean) = {};
    void (*libjpegRealize)(j_common_ptr) = nullptr;
    bool holdsPool = false;

    Codec()
    {
        src.client_data = this;
        dst.client_data = this;
        src.err = jpeg_std_error(&err.pub);
        dst.err = &err.pub;
        err.pub.error_exit = errorExit;
        err.pub.emit_message = emitMessage;
        err.pub.output_message = outputMessage;
        progress.progress_monitor = watchScans;
    }
    ~Codec()
    {
        releasePool();
        if (dstCreated)
            jpeg_destroy_compress(&dst);
        if (srcCreated)
            jpeg_destroy_decompress(&src);
    }
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;

    bool owns(jvirt_barray_ptr array) const
    {
        const auto *pooled = reinterpret_cast<const PooledArray *>(array);
        return pooled >= arrays && pooled < arrays + arrayCount;
    }
    void releasePool();
};

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

void Codec::releasePool()
{
    if (!holdsPool)
        return;
    CoefficientPool &pool = workerPool();
    pool.busy = false;
    if (pool.capacity > kKeptBytes)
        pool.release();
    holdsPool = false;
}

jvirt_barray_ptr requestBlocks(j_common_ptr cinfo, int, boolean, JDIMENSION blocksPerRow,
                               JDIMENSION rows, JDIMENSION)
{
    Codec &codec = *static_cast<Codec *>(cinfo->client_data);
    if (codec.arrayCount == MAX_COMPONENTS)
        failWith(codec.err, "demasiadas matrices de coeficientes");
    PooledArray &array = codec.arrays[codec.arrayCount++];
    array.blocksPerRow = blocksPerRow;
    array.rows = rows;
    return reinterpret_cast<jvirt_barray_ptr>(&array);
}

void realizeBlocks(j_common_ptr cinfo)
{
    Codec &codec = *static_cast<Codec *>(cinfo->client_data);
    codec.libjpegRealize(cinfo);
    size_t blocks = 0, rows = 0;
    for (int i = 0; i < codec.arrayCount; ++i) {
        blocks += size_t(codec.arrays[i].blocksPerRow) * codec.arrays[i].rows;
        rows += codec.arrays[i].rows;
    }
    const size_t bytes = blocks * sizeof(JBLOCK) + rows * sizeof(JBLOCKROW);
    if (codec.holdsPool || bytes > size_t(kMemoryLimit))
        failWith(codec.err, "la foto pide más memoria de la que se admite");
    CoefficientPool &pool = workerPool();
    // Only one stamp runs on a thread at a time; the pool is never shared.
    void *memory = pool.busy ? nullptr : pool.take(bytes);
    if (!memory)
        failWith(codec.err, "sin memoria para los coeficientes");
    codec.holdsPool = true;
    auto *blockMemory = static_cast<JBLOCK *>(memory);
    auto *rowMemory = reinterpret_cast<JBLOCKROW *>(blockMemory + blocks);
    for (int i = 0; i < codec.arrayCount; ++i) {
        PooledArray &array = codec.arrays[i];
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
    Codec &codec = *static_cast<Codec *>(cinfo->client_data);
    if (!codec.owns(handle))
        return codec.libjpegAccess[cinfo->is_decompressor ? 1 : 0](cinfo, handle, start, count,
                                                                   writable);
    PooledArray &array = *reinterpret_cast<PooledArray *>(handle);
    const JDIMENSION end = start + count;
    if (!array.rowPointers || end > array.rows || end < start)
        failWith(codec.err, "acceso fuera de las matrices de coeficientes");
    if (end > array.firstUndefinedRow) {
        // One run: the rows are contiguous.
        std::memset(array.rowPointers[array.firstUndefinedRow], 0,
                    size_t(end - array.firstUndefinedRow) * array.blocksPerRow * sizeof(JBLOCK));
        array.firstUndefinedRow = end;
    }
    return array.rowPointers + start;
}

// Put after each object's creation: coefficient arrays from the worker's pool.
void poolCoefficients(Codec &codec, j_common_ptr cinfo)
{
    codec.libjpegAccess[cinfo->is_decompressor ? 1 : 0] = cinfo->mem->access_virt_barray;
    cinfo->mem->access_virt_barray = accessBlocks;
    if (cinfo->is_decompressor) {
        codec.libjpegRealize = cinfo->mem->realize_virt_arrays;
        cinfo->mem->request_virt_barray = requestBlocks;
        cinfo->mem->realize_virt_arrays = realizeBlocks;
    }
}

bool looksLikeJpeg(const QByteArray &bytes)
{
    return bytes.size() > 3 && quint8(bytes[0]) == 0xFF && quint8(bytes[1]) == 0xD8 &&
           quint8(bytes[2]) == 0xFF;
}

// The functions that call libjpeg set their own return point and create nothing with a
// destructor, so an error's longjmp skips no cleanup.
bool readHeader(Codec &codec, const QByteArray &jpeg)
{
    if (setjmp(codec.err.jump))
        return false;
    jpeg_create_decompress(&codec.src);
    codec.srcCreated = true;
    poolCoefficients(codec, reinterpret_cast<j_common_ptr>(&codec.src));
    codec.src.mem->max_memory_to_use = kMemoryLimit;
    codec.src.progress = &codec.progress;
    jpeg_save_markers(&codec.src, JPEG_COM, 0xFFFF);
    for (int marker = JPEG_APP0; marker <= JPEG_APP0 + 15; ++marker)
        jpeg_save_markers(&codec.src, marker, 0xFFFF);
    jpeg_mem_src(&codec.src, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&codec.src, TRUE);
    return true;
}

const char *unsuitableReason(const jpeg_decompress_struct &src)
{
    if (src.arith_code)
        return "codificación aritmética";
    if (src.jpeg_color_space == JCS_CMYK || src.jpeg_color_space == JCS_YCCK)
        return "JPEG CMYK";
    const bool known = (src.jpeg_color_space == JCS_GRAYSCALE && src.num_components == 1) ||
                       ((src.jpeg_color_space == JCS_YCbCr || src.jpeg_color_space == JCS_RGB) &&
                        src.num_components == 3);
    if (!known)
        return "espacio de color desconocido";
    for (int c = 0; c < src.num_components; ++c) {
        const jpeg_component_info &comp = src.comp_info[c];
        if (src.max_h_samp_factor % comp.h_samp_factor != 0 ||
            src.max_v_samp_factor % comp.v_samp_factor != 0)
            return "submuestreo de color no entero";
    }
    return nullptr;
}

// Which 8 × 8 pixel cells of the photo hold any painted layer pixel.
struct PaintedCells
{
    int columns = 0;
    int rows = 0;
    std::vector<quint8> cells;

    // Whether any cell in the rectangle [x0, x0 + w) × [y0, y0 + h) is painted.
    bool any(int x0, int y0, int w, int h) const
    {
        const int x1 = std::min(x0 + w, columns);
        const int y1 = std::min(y0 + h, rows);
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                if (cells[size_t(y) * size_t(columns) + size_t(x)])
                    return true;
            }
        }
        return false;
    }
};

// Whether any of count pixels from pixels has a bit set; eight bytes at a time, as most of a
// photo-sized layer is transparent.
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

// In a premultiplied layer a transparent pixel is all zero bits.
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

// The layer's share of one component: weights of premultiplied red, green and blue, plus the
// offset that scales with coverage (chroma is centred on 128).
struct LayerWeights
{
    float red, green, blue, offset;
};

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

// The 8-point DCT in integers as libjpeg's accurate ("islow") method computes it (the
// Loeffler–Ligtenberg–Moschytz factorization, constants scaled by 2^13, 64-bit sums as libjpeg's
// on this platform), so a re-stamped block starts from the samples a decoder shows. Samples
// between the two directions carry kFraction more bits than a decoder's: rounding them to whole
// levels there and back would move an untouched sample by up to two.
namespace islow {

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

// One component's quantization: the table and, per coefficient, 2^40 / d rounded up for the
// divisor d = 8 · kOne · q, with which a multiplication and a shift give the exact quotient of any
// transform output by d (the outputs stay below 2^17 and d below 2^22, so their product stays
// below 2^40), where a division per coefficient would cost more than the transform.
struct Quantizer
{
    const UINT16 *table;
    quint64 reciprocal[64];

    explicit Quantizer(const UINT16 *quant)
        : table(quant)
    {
        for (int i = 0; i < 64; ++i) {
            const quint64 divisor = quint64(std::max<UINT16>(quant[i], 1)) * 8 * kOne;
            reciprocal[i] = ((quint64(1) << 40) + divisor - 1) / divisor;
        }
    }
};

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

} // namespace islow

// The premultiplied layer's pixels, read without QImage's per-call checks.
struct LayerView
{
    const uchar *bits;
    qsizetype bytesPerLine;
    int width;
    int height;
};

// One component block whose samples each cover scaleX × scaleY photo pixels, from (x0, y0):
// decode, composite the layer source-over (averaged over each sample's pixels, as an encoder
// downsamples), encode. Pixels past the photo's edge repeat the edge, as encoders pad.
void restampBlock(JCOEF *coef, const islow::Quantizer &quant, const LayerWeights &w,
                  const LayerView &layer, int x0, int y0, int scaleX, int scaleY)
{
    int samples[64];
    islow::inverse(coef, quant.table, samples);
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
                float(islow::kOne);
            int &sample = samples[j * 8 + i];
            sample = int(std::clamp(paint + (1.f - coverage) * float(sample), 0.f,
                                    float(islow::kSampleMax)) +
                         0.5f);
        }
    }
    islow::forward(samples, quant, coef);
}

struct BlockCounts
{
    qint64 total = 0;
    qint64 reencoded = 0;
};

// MCU by MCU, so the layer pixels under one MCU are read from the cache for its chroma blocks.
BlockCounts restampBlocks(Codec &codec, jvirt_barray_ptr *arrays, const PaintedCells &painted,
                          const QImage &layer)
{
    jpeg_decompress_struct &src = codec.src;
    const LayerView view{layer.constBits(), layer.bytesPerLine(), layer.width(), layer.height()};
    struct Component
    {
        jpeg_component_info *info;
        LayerWeights weights;
        islow::Quantizer quant;
        int scaleX, scaleY;
    };
    std::vector<Component> components;
    BlockCounts counts;
    for (int c = 0; c < src.num_components; ++c) {
        jpeg_component_info &comp = src.comp_info[c];
        counts.total += qint64(comp.width_in_blocks) * qint64(comp.height_in_blocks);
        // The table the component was actually coded with, latched at its first scan.
        const JQUANT_TBL *table =
            comp.quant_table ? comp.quant_table : src.quant_tbl_ptrs[comp.quant_tbl_no];
        if (!table)
            failWith(codec.err, "componente sin tabla de cuantización");
        components.push_back({&comp, weightsFor(src.jpeg_color_space, c),
                              islow::Quantizer(table->quantval),
                              src.max_h_samp_factor / comp.h_samp_factor,
                              src.max_v_samp_factor / comp.v_samp_factor});
    }
    const int mcuCellsX = src.max_h_samp_factor;
    const int mcuCellsY = src.max_v_samp_factor;
    JBLOCKARRAY rows[MAX_COMPONENTS] = {};
    for (int my = 0; my * mcuCellsY < painted.rows; ++my) {
        if (!painted.any(0, my * mcuCellsY, painted.columns, mcuCellsY))
            continue;
        for (size_t c = 0; c < components.size(); ++c) {
            const jpeg_component_info &comp = *components[c].info;
            const JDIMENSION first = JDIMENSION(my) * JDIMENSION(comp.v_samp_factor);
            const JDIMENSION count =
                std::min(JDIMENSION(comp.v_samp_factor), comp.height_in_blocks - first);
            rows[c] = first < comp.height_in_blocks
                          ? (*src.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&src),
                                                           arrays[c], first, count, TRUE)
                          : nullptr;
        }
        for (int mx = 0; mx * mcuCellsX < painted.columns; ++mx) {
            if (!painted.any(mx * mcuCellsX, my * mcuCellsY, mcuCellsX, mcuCellsY))
                continue;
            for (size_t c = 0; c < components.size(); ++c) {
                const Component &component = components[c];
                const jpeg_component_info &comp = *component.info;
                for (int v = 0; v < comp.v_samp_factor && rows[c]; ++v) {
                    const JDIMENSION by = JDIMENSION(my * comp.v_samp_factor + v);
                    if (by >= comp.height_in_blocks)
                        break;
                    for (int h = 0; h < comp.h_samp_factor; ++h) {
                        const JDIMENSION bx = JDIMENSION(mx * comp.h_samp_factor + h);
                        if (bx >= comp.width_in_blocks)
                            break;
                        const int cellX = int(bx) * component.scaleX;
                        const int cellY = int(by) * component.scaleY;
                        if (!painted.any(cellX, cellY, component.scaleX, component.scaleY))
                            continue;
                        restampBlock(rows[c][v][bx], component.quant, component.weights, view,
                                     cellX * 8, cellY * 8, component.scaleX, component.scaleY);
                        ++counts.reencoded;
                    }
                }
            }
        }
    }
    return counts;
}

bool sameTable(const JHUFF_TBL &a, const JHUFF_TBL &b)
{
    if (std::memcmp(a.bits + 1, b.bits + 1, 16) != 0)
        return false;
    int count = 0;
    for (int length = 1; length <= 16; ++length)
        count += a.bits[length];
    return std::memcmp(a.huffval, b.huffval, size_t(count)) == 0;
}

// Whether any Huffman table of the source differs from the standard ones that dst was set up
// with, i.e. the source's were fitted to it. Fitting the output's costs a second pass over every
// coefficient, most of the write, and pays only where the source had done so too.
bool fittedTables(const jpeg_decompress_struct &src, const jpeg_compress_struct &dst)
{
    const auto standard = [](const JHUFF_TBL *table, JHUFF_TBL *const *defaults) {
        return !table || sameTable(*table, *defaults[0]) || sameTable(*table, *defaults[1]);
    };
    for (int slot = 0; slot < NUM_HUFF_TBLS; ++slot) {
        if (!standard(src.dc_huff_tbl_ptrs[slot], dst.dc_huff_tbl_ptrs) ||
            !standard(src.ac_huff_tbl_ptrs[slot], dst.ac_huff_tbl_ptrs))
            return true;
    }
    return false;
}

void startOutput(j_compress_ptr cinfo)
{
    Codec &codec = *static_cast<Codec *>(cinfo->client_data);
    codec.destination.next_output_byte = reinterpret_cast<JOCTET *>(codec.out.data());
    codec.destination.free_in_buffer = size_t(codec.out.size());
}

boolean growOutput(j_compress_ptr cinfo)
{
    Codec &codec = *static_cast<Codec *>(cinfo->client_data);
    const qsizetype used = codec.out.size();
    if (used > qsizetype(kMemoryLimit))
        failWith(codec.err, "la foto nueva pasa de lo que se admite");
    codec.out.resize(used + used / 2 + 65536);
    codec.destination.next_output_byte = reinterpret_cast<JOCTET *>(codec.out.data()) + used;
    codec.destination.free_in_buffer = size_t(codec.out.size() - used);
    return TRUE;
}

void finishOutput(j_compress_ptr cinfo)
{
    Codec &codec = *static_cast<Codec *>(cinfo->client_data);
    codec.out.resize(codec.out.size() - qsizetype(codec.destination.free_in_buffer));
}

bool transcode(Codec &codec, const PaintedCells &painted, const QImage &layer, BlockCounts &counts,
               size_t sizeHint)
{
    if (setjmp(codec.err.jump))
        return false;
    jvirt_barray_ptr *arrays = jpeg_read_coefficients(&codec.src);
    counts = restampBlocks(codec, arrays, painted, layer);

    jpeg_create_compress(&codec.dst);
    codec.dstCreated = true;
    poolCoefficients(codec, reinterpret_cast<j_common_ptr>(&codec.dst));
    jpeg_copy_critical_parameters(&codec.src, &codec.dst);
    // The source's own JFIF and Adobe markers are copied below with the rest, byte for byte.
    codec.dst.write_JFIF_header = FALSE;
    codec.dst.write_Adobe_marker = FALSE;
    codec.dst.restart_interval = codec.src.restart_interval;
    // Progressive output always gets fitted tables.
    codec.dst.optimize_coding = fittedTables(codec.src, codec.dst);
    if (codec.src.progressive_mode)
        jpeg_simple_progression(&codec.dst);
    codec.out.resize(qsizetype(sizeHint));
    codec.destination.init_destination = startOutput;
    codec.destination.empty_output_buffer = growOutput;
    codec.destination.term_destination = finishOutput;
    codec.dst.dest = &codec.destination;
    jpeg_write_coefficients(&codec.dst, arrays);
    for (jpeg_saved_marker_ptr m = codec.src.marker_list; m; m = m->next)
        jpeg_write_marker(&codec.dst, m->marker, m->data, m->data_length);
    jpeg_finish_compress(&codec.dst);
    jpeg_finish_decompress(&codec.src);
    return true;
}

#ifdef Q_OS_LINUX
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
#endif

QString damaged(const Codec &codec)
{
    return QStringLiteral("JPEG dañado: ") + QString::fromUtf8(codec.err.text);
}

// Where upright pixel p of a width × height layer lies in the stored one: each case undoes what a
// viewer does to the stored pixels for that EXIF orientation.
QPoint storedPoint(QPoint p, int width, int height, int orientation)
{
    switch (orientation) {
    case 2:
        return {width - 1 - p.x(), p.y()};
    case 3:
        return {width - 1 - p.x(), height - 1 - p.y()};
    case 4:
        return {p.x(), height - 1 - p.y()};
    case 5:
        return {p.y(), p.x()};
    case 6:
        return {p.y(), width - 1 - p.x()};
    case 7:
        return {height - 1 - p.y(), width - 1 - p.x()};
    case 8:
        return {height - 1 - p.y(), p.x()};
    default:
        return p;
    }
}

// The same turn as storedPoint, of a whole image.
QImage turned(const QImage &image, int orientation)
{
    switch (orientation) {
    case 2:
        return image.mirrored(true, false);
    case 3:
        return image.mirrored(true, true);
    case 4:
        return image.mirrored(false, true);
    case 5:
        return image.transformed(QTransform().rotate(90)).mirrored(true, false);
    case 6:
        return image.transformed(QTransform().rotate(-90));
    case 7:
        return image.transformed(QTransform().rotate(90)).mirrored(false, true);
    case 8:
        return image.transformed(QTransform().rotate(90));
    default:
        return image;
    }
}

// Reads the headers into codec and tells whether the rest can go on.
Probe inspect(Codec &codec, const QByteArray &jpeg)
{
    Probe result;
    if (!looksLikeJpeg(jpeg)) {
        result.outcome = Outcome::NotSuitable;
        result.message = QStringLiteral("no es un JPEG");
        return result;
    }
    if (!readHeader(codec, jpeg)) {
        result.message = damaged(codec);
        return result;
    }
    result.storedSize = QSize(int(codec.src.image_width), int(codec.src.image_height));
    if (const char *reason = unsuitableReason(codec.src)) {
        result.outcome = Outcome::NotSuitable;
        result.message = QString::fromUtf8(reason);
        return result;
    }
    result.outcome = Outcome::Done;
    return result;
}

} // namespace

Probe probe(const QByteArray &jpeg)
{
    Codec codec;
    return inspect(codec, jpeg);
}

QImage transparentLayer(const QSize &size)
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

Result stamp(const QByteArray &jpeg, const QImage &layer)
{
    Result result;
    Codec codec;
    const Probe header = inspect(codec, jpeg);
    if (header.outcome != Outcome::Done) {
        result.outcome = header.outcome;
        result.message = header.message;
        return result;
    }
    if (layer.size() != header.storedSize) {
        result.message = QStringLiteral("la capa mide %1×%2 y la foto %3×%4")
                             .arg(layer.width())
                             .arg(layer.height())
                             .arg(header.storedSize.width())
                             .arg(header.storedSize.height());
        return result;
    }
    const QImage premultiplied = layer.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const PaintedCells painted = findPaintedCells(premultiplied);

    BlockCounts counts;
    // Untouched blocks cost the same bytes again; a little room spares a regrowth.
    const size_t sizeHint = size_t(jpeg.size()) + size_t(jpeg.size()) / 8 + 65536;
    if (!transcode(codec, painted, premultiplied, counts, sizeHint)) {
        result.message = damaged(codec);
        return result;
    }
    result.outcome = Outcome::Done;
    result.jpeg = std::move(codec.out);
    result.blocksTotal = counts.total;
    result.blocksReencoded = counts.reencoded;
    return result;
}

QImage toStoredOrientation(const QImage &uprightLayer, int exifOrientation)
{
    if (exifOrientation < 2 || exifOrientation > 8)
        return uprightLayer;
    const QImage upright = uprightLayer.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int width = upright.width();
    const int height = upright.height();
    QImage stored =
        transparentLayer(exifOrientation >= 5 ? QSize(height, width) : QSize(width, height));
    if (stored.isNull())
        return stored;
    // Only the painted runs are turned: turning a photo-sized layer whole would write every
    // page of the result, where stamp() wants untouched memory.
    const PaintedCells painted = findPaintedCells(upright);
    QPainter painter(&stored);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    for (int cy = 0; cy < painted.rows; ++cy) {
        for (int cx = 0; cx < painted.columns;) {
            int end = cx;
            while (end < painted.columns && painted.any(end, cy, 1, 1))
                ++end;
            if (end == cx) {
                ++cx;
                continue;
            }
            const QRect run = QRect(cx * 8, cy * 8, (end - cx) * 8, 8) & upright.rect();
            const QRect target =
                QRect(storedPoint(run.topLeft(), width, height, exifOrientation),
                      storedPoint(run.bottomRight(), width, height, exifOrientation))
                    .normalized();
            painter.drawImage(target.topLeft(), turned(upright.copy(run), exifOrientation));
            cx = end;
        }
    }
    return stored;
}

} // namespace losslessjpeg
