// Lossless stamping in libjpeg's coefficient domain: read the coefficients, transform back only
// the blocks under painted layer pixels, composite there and quantize again, write everything out.
#include "losslessjpeg.h"

#include "blockstamp.h"
#include "coefficientpicture.h"
#include "coefficientpool.h"
#include "layermemory.h"

#include <QImage>
#include <QPainter>
#include <QTransform>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <jpeglib.h>

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

[[noreturn]] void failFromPool(j_common_ptr cinfo, const char *text)
{
    failWith(*reinterpret_cast<ErrorManager *>(cinfo->err), text);
}

// The new file, written in place: no buffer of libjpeg's to copy out of.
struct Output
{
    jpeg_destination_mgr pub{}; // first, as libjpeg hands back a pointer to it
    QByteArray bytes;
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
    Output output;
    coefficientpool::Arrays pool;

    Codec()
    {
        src.client_data = &pool;
        dst.client_data = &pool;
        pool.fail = failFromPool;
        pool.limit = size_t(kMemoryLimit);
        src.err = jpeg_std_error(&err.pub);
        dst.err = &err.pub;
        err.pub.error_exit = errorExit;
        err.pub.emit_message = emitMessage;
        err.pub.output_message = outputMessage;
        progress.progress_monitor = watchScans;
    }
    ~Codec()
    {
        pool.release();
        if (dstCreated)
            jpeg_destroy_compress(&dst);
        if (srcCreated)
            jpeg_destroy_decompress(&src);
    }
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;
};

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
    coefficientpool::install(codec.pool, reinterpret_cast<j_common_ptr>(&codec.src));
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

struct BlockCounts
{
    qint64 total = 0;
    qint64 reencoded = 0;
};

// MCU by MCU, so the layer pixels under one MCU are read from the cache for its chroma blocks.
BlockCounts restampBlocks(Codec &codec, jvirt_barray_ptr *arrays,
                          const layermemory::PaintedCells &painted, const QImage &layer)
{
    jpeg_decompress_struct &src = codec.src;
    const blockstamp::LayerView view{layer.constBits(), layer.bytesPerLine(), layer.width(),
                                     layer.height()};
    struct Component
    {
        jpeg_component_info *info;
        blockstamp::LayerWeights weights;
        blockstamp::Quantizer quant;
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
        components.push_back({&comp, blockstamp::weightsFor(src.jpeg_color_space, c),
                              blockstamp::Quantizer(table->quantval),
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
                        blockstamp::restampBlock(rows[c][v][bx], component.quant, component.weights,
                                                 view, cellX * 8, cellY * 8, component.scaleX,
                                                 component.scaleY);
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
    Output &out = *reinterpret_cast<Output *>(cinfo->dest);
    out.pub.next_output_byte = reinterpret_cast<JOCTET *>(out.bytes.data());
    out.pub.free_in_buffer = size_t(out.bytes.size());
}

boolean growOutput(j_compress_ptr cinfo)
{
    Output &out = *reinterpret_cast<Output *>(cinfo->dest);
    const qsizetype used = out.bytes.size();
    if (used > qsizetype(kMemoryLimit))
        failWith(*reinterpret_cast<ErrorManager *>(cinfo->err),
                 "la foto nueva pasa de lo que se admite");
    out.bytes.resize(used + used / 2 + 65536);
    out.pub.next_output_byte = reinterpret_cast<JOCTET *>(out.bytes.data()) + used;
    out.pub.free_in_buffer = size_t(out.bytes.size() - used);
    return TRUE;
}

void finishOutput(j_compress_ptr cinfo)
{
    Output &out = *reinterpret_cast<Output *>(cinfo->dest);
    out.bytes.resize(out.bytes.size() - qsizetype(out.pub.free_in_buffer));
}

bool transcode(Codec &codec, const layermemory::PaintedCells &painted, const QImage &layer,
               BlockCounts &counts, size_t sizeHint, int pictureSide, QImage &picture)
{
    if (setjmp(codec.err.jump))
        return false;
    jvirt_barray_ptr *arrays = jpeg_read_coefficients(&codec.src);
    counts = restampBlocks(codec, arrays, painted, layer);
    if (pictureSide > 0)
        picture = coefficientpicture::reduced(codec.src, arrays, pictureSide);

    jpeg_create_compress(&codec.dst);
    codec.dstCreated = true;
    coefficientpool::install(codec.pool, reinterpret_cast<j_common_ptr>(&codec.dst));
    jpeg_copy_critical_parameters(&codec.src, &codec.dst);
    // The source's own JFIF and Adobe markers are copied below with the rest, byte for byte.
    codec.dst.write_JFIF_header = FALSE;
    codec.dst.write_Adobe_marker = FALSE;
    codec.dst.restart_interval = codec.src.restart_interval;
    // Progressive output always gets fitted tables.
    codec.dst.optimize_coding = fittedTables(codec.src, codec.dst);
    if (codec.src.progressive_mode)
        jpeg_simple_progression(&codec.dst);
    codec.output.bytes.resize(qsizetype(sizeHint));
    codec.output.pub.init_destination = startOutput;
    codec.output.pub.empty_output_buffer = growOutput;
    codec.output.pub.term_destination = finishOutput;
    codec.dst.dest = &codec.output.pub;
    jpeg_write_coefficients(&codec.dst, arrays);
    for (jpeg_saved_marker_ptr m = codec.src.marker_list; m; m = m->next)
        jpeg_write_marker(&codec.dst, m->marker, m->data, m->data_length);
    jpeg_finish_compress(&codec.dst);
    jpeg_finish_decompress(&codec.src);
    return true;
}

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
    return layermemory::transparentImage(size);
}

Result stamp(const QByteArray &jpeg, const QImage &layer, int pictureSide)
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
    const layermemory::PaintedCells painted = layermemory::findPaintedCells(premultiplied);

    BlockCounts counts;
    // Untouched blocks cost the same bytes again; a little room spares a regrowth.
    const size_t sizeHint = size_t(jpeg.size()) + size_t(jpeg.size()) / 8 + 65536;
    if (!transcode(codec, painted, premultiplied, counts, sizeHint, pictureSide, result.picture)) {
        result.message = damaged(codec);
        return result;
    }
    result.outcome = Outcome::Done;
    result.jpeg = std::move(codec.output.bytes);
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
    const layermemory::PaintedCells painted = layermemory::findPaintedCells(upright);
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
