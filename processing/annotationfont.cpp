// The font of everything drawn on a photo, and the background of its letters.
#include "annotationfont.h"

#include <QDateTime>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHash>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

#include <mutex>

namespace {

struct RegisteredFont
{
    qint64 size = 0;
    QDateTime modified;
    QString family;
};

// Every addApplicationFont call loads one more copy of the file into the process-wide font
// database and nothing ever removes it, so registering the font for each photo would make a long
// run grow without bound. A file always yields the same family, so it is registered once and the
// family remembered; a file changed on disk is registered anew, and failures are not remembered,
// so the drawn text is what a fresh registration would give. Painting workers share the table.
bool registeredFamily(const QString &fontPath, QString *family)
{
    static std::mutex mutex;
    static QHash<QString, RegisteredFont> registered;
    const std::lock_guard<std::mutex> lock(mutex);
    const QFileInfo info(fontPath);
    const auto known = registered.constFind(fontPath);
    if (known != registered.cend() && known->size == info.size() &&
        known->modified == info.lastModified()) {
        *family = known->family;
        return true;
    }
    const int id = QFontDatabase::addApplicationFont(fontPath);
    if (id == -1)
        return false;
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    *family = families.isEmpty() ? QString() : families.first();
    registered.insert(fontPath, {info.size(), info.lastModified(), *family});
    return true;
}

constexpr int haloAlpha = 200;

bool inHaloDisc(int dx, int dy, int radius)
{
    return dx * dx + dy * dy <= radius * radius + radius;
}

// Drawing the line once per offset of the halo's disc costs a couple of hundred text draws, and
// photo-sized glyphs are past the glyph cache, so each draw fills every glyph as a path: seconds a
// photo. The same halo comes from one draw: the dark copies laid over each other leave the ground
// multiplied by (1 - a * coverage) once per offset, so the product over the disc, summed as
// logarithms along each row's span, gives the halo's alpha at every pixel. Only for a painter that
// draws on an image at whole-pixel offsets, where a glyph shifted by a pixel renders the same.
bool paintHaloFromMask(QPainter &painter, const QPoint &origin, const QString &text, int radius)
{
    const QTransform transform = painter.transform();
    if (!painter.device() || painter.device()->devType() != QInternal::Image ||
        transform.type() > QTransform::TxTranslate ||
        transform.dx() != std::round(transform.dx()) ||
        transform.dy() != std::round(transform.dy()))
        return false;
    const QImage *device = static_cast<const QImage *>(painter.device());
    const QFontMetrics metrics(painter.font(), painter.device());
    // Glyphs may reach past their advance and ascent; a few pixels spare keep them whole.
    const int spare = radius + 4;
    const QRect glyphs =
        metrics.boundingRect(text)
            .united(QRect(0, -metrics.ascent(), metrics.horizontalAdvance(text), metrics.height()))
            .translated(origin)
            .adjusted(-spare, -spare, spare, spare);
    if (glyphs.isEmpty())
        return true;
    QImage mask(glyphs.size(), QImage::Format_ARGB32_Premultiplied);
    mask.setDotsPerMeterX(device->dotsPerMeterX());
    mask.setDotsPerMeterY(device->dotsPerMeterY());
    mask.fill(Qt::transparent);
    {
        QPainter maskPainter(&mask);
        maskPainter.setRenderHints(painter.renderHints());
        maskPainter.setFont(painter.font());
        maskPainter.setPen(Qt::white);
        maskPainter.drawText(origin - glyphs.topLeft(), text);
    }
    const int w = mask.width();
    const int h = mask.height();
    // Per coverage value, what one dark copy leaves of the ground, as a logarithm.
    float leaves[256];
    for (int c = 0; c < 256; ++c)
        leaves[c] = std::log(1.0f - float(haloAlpha) / 255.0f * float(c) / 255.0f);
    // Row prefix sums of those logarithms, so a row's span of the disc is one subtraction.
    std::vector<float> prefix(size_t(h) * size_t(w + 1), 0.0f);
    for (int y = 0; y < h; ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(mask.constScanLine(y));
        float *row = prefix.data() + size_t(y) * size_t(w + 1);
        for (int x = 0; x < w; ++x)
            row[x + 1] = row[x] + leaves[qAlpha(line[x])];
    }
    std::vector<int> span(size_t(2 * radius + 1));
    for (int dy = -radius; dy <= radius; ++dy) {
        int reach = 0;
        while (inHaloDisc(reach + 1, dy, radius))
            ++reach;
        span[size_t(dy + radius)] = inHaloDisc(0, dy, radius) ? reach : -1;
    }
    QImage shade(mask.size(), QImage::Format_ARGB32_Premultiplied);
    std::vector<float> sums(static_cast<size_t>(w));
    for (int y = 0; y < h; ++y) {
        // The pixel's own place is the text, not the halo.
        const QRgb *own = reinterpret_cast<const QRgb *>(mask.constScanLine(y));
        for (int x = 0; x < w; ++x)
            sums[size_t(x)] = -leaves[qAlpha(own[x])];
        // Row by row of the disc, each a span of the prefix sums; the spans cut by the mask's
        // edges apart, so the long middle run is plain arithmetic.
        for (int dy = -radius; dy <= radius; ++dy) {
            const int reach = span[size_t(dy + radius)];
            const int sy = y - dy;
            if (reach < 0 || sy < 0 || sy >= h)
                continue;
            const float *row = prefix.data() + size_t(sy) * size_t(w + 1);
            float *sum = sums.data();
            const int left = std::min(reach, w), right = std::max(left, w - reach - 1);
            for (int x = 0; x < left; ++x)
                sum[x] += row[std::min(w, x + reach + 1)] - row[0];
            for (int x = left; x < right; ++x)
                sum[x] += row[x + reach + 1] - row[x - reach];
            for (int x = right; x < w; ++x)
                sum[x] += row[w] - row[std::max(0, x - reach)];
        }
        QRgb *out = reinterpret_cast<QRgb *>(shade.scanLine(y));
        for (int x = 0; x < w; ++x) {
            // Most of the mask is bare ground or deep shade: neither needs the exponential.
            const float sum = sums[size_t(x)];
            const int alpha = sum > -0.0019f ? 0
                              : sum < -6.3f  ? 255
                                             : int(255.0f * (1.0f - std::exp(sum)) + 0.5f);
            out[x] = qRgba(0, 0, 0, alpha);
        }
    }
    painter.drawImage(glyphs.topLeft(), shade);
    return true;
}

} // namespace

QFont annotationFont(const QString &fontPath)
{
    QString family;
    if (!fontPath.isEmpty() && registeredFamily(fontPath, &family))
        return QFont(family);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setStyleHint(QFont::SansSerif, QFont::PreferDefault);
    return font;
}

void paintTextLine(QPainter &painter, const QPoint &origin, const QString &text,
                   TextBackground background)
{
    if (background == TextBackground::None) {
        painter.drawText(origin, text);
        return;
    }
    const QFontMetrics metrics(painter.font());
    // Wide enough to part the letters from any ground, narrow enough to keep their shapes open.
    const int halo = std::max(2, metrics.height() / 12);
    if (background == TextBackground::Box) {
        const QRect box(origin.x() - halo, origin.y() - metrics.ascent() - halo,
                        metrics.horizontalAdvance(text) + 2 * halo, metrics.height() + 2 * halo);
        painter.fillRect(box, QColor(0, 0, 0, 170));
        painter.drawText(origin, text);
        return;
    }
    // The halo is the text itself drawn dark around its place: glyphs alone, as the text, render
    // alike on every thread and at every turn, which outlines do not.
    if (!paintHaloFromMask(painter, origin, text, halo)) {
        const QPen pen = painter.pen();
        painter.setPen(QColor(0, 0, 0, haloAlpha));
        for (int dy = -halo; dy <= halo; ++dy)
            for (int dx = -halo; dx <= halo; ++dx)
                if ((dx != 0 || dy != 0) && inHaloDisc(dx, dy, halo))
                    painter.drawText(origin + QPoint(dx, dy), text);
        painter.setPen(pen);
    }
    painter.drawText(origin, text);
}
