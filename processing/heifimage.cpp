// HEIF through libheif: one context per call, so workers never share one.
#include "heifimage.h"

#include <libheif/heif.h>

#include <memory>

namespace heifimage {

namespace {

struct ContextFree
{
    void operator()(heif_context *context) const { heif_context_free(context); }
};
struct HandleRelease
{
    void operator()(heif_image_handle *handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease
{
    void operator()(heif_image *image) const { heif_image_release(image); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Image = std::unique_ptr<heif_image, ImageRelease>;

QString textOf(const heif_error &error)
{
    return error.message ? QString::fromUtf8(error.message) : QStringLiteral("error de libheif");
}

// The primary image's handle; null with errorText. The context must outlive the handle.
Handle primaryOf(const QByteArray &bytes, Context &context, QString &errorText)
{
    if (!isHeif(bytes)) {
        errorText = QStringLiteral("no es un archivo HEIF");
        return {};
    }
    context.reset(heif_context_alloc());
    if (!context) {
        errorText = QStringLiteral("sin memoria");
        return {};
    }
    heif_error error = heif_context_read_from_memory_without_copy(
        context.get(), bytes.constData(), static_cast<size_t>(bytes.size()), nullptr);
    if (error.code != heif_error_Ok) {
        errorText = textOf(error);
        return {};
    }
    heif_image_handle *handle = nullptr;
    error = heif_context_get_primary_image_handle(context.get(), &handle);
    if (error.code != heif_error_Ok) {
        errorText = textOf(error);
        return {};
    }
    return Handle(handle);
}

} // namespace

bool isHeif(const QByteArray &bytes)
{
    if (bytes.size() < 12)
        return false;
    const heif_filetype_result result = heif_check_filetype(
        reinterpret_cast<const uint8_t *>(bytes.constData()), static_cast<int>(bytes.size()));
    return result == heif_filetype_yes_supported || result == heif_filetype_yes_unsupported;
}

Probe probe(const QByteArray &bytes)
{
    Probe found;
    Context context;
    const Handle handle = primaryOf(bytes, context, found.errorText);
    if (!handle)
        return found;
    found.size = QSize(heif_image_handle_get_width(handle.get()),
                       heif_image_handle_get_height(handle.get()));
    if (found.size.isEmpty()) {
        found.errorText = QStringLiteral("imagen principal vacía");
        return found;
    }
    found.leftOut = heif_image_handle_get_number_of_depth_images(handle.get()) +
                    heif_image_handle_get_number_of_thumbnails(handle.get()) +
                    heif_image_handle_get_number_of_auxiliary_images(
                        handle.get(),
                        LIBHEIF_AUX_IMAGE_FILTER_OMIT_ALPHA | LIBHEIF_AUX_IMAGE_FILTER_OMIT_DEPTH);
    found.decodable = true;
    return found;
}

QImage decode(const QByteArray &bytes, QString &errorText)
{
    Context context;
    const Handle handle = primaryOf(bytes, context, errorText);
    if (!handle)
        return {};
    // The decoder applies the file's rotation and mirror boxes itself.
    heif_image *decoded = nullptr;
    const heif_error error = heif_decode_image(handle.get(), &decoded, heif_colorspace_RGB,
                                               heif_chroma_interleaved_RGB, nullptr);
    if (error.code != heif_error_Ok) {
        errorText = textOf(error);
        return {};
    }
    const Image image(decoded);
    int stride = 0;
    const uint8_t *plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0) {
        errorText = QStringLiteral("imagen sin píxeles");
        return {};
    }
    // Copied out, since the plane belongs to the library's image.
    QImage result = QImage(plane, width, height, stride, QImage::Format_RGB888)
                        .convertToFormat(QImage::Format_RGB32);
    if (result.isNull())
        errorText = QStringLiteral("sin memoria para la imagen");
    return result;
}

} // namespace heifimage
