// The font of everything drawn on a photo, and the background of its letters.
#include "annotationfont.h"

#include <QDateTime>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHash>
#include <QPainter>

#include <algorithm>

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
    const QPen pen = painter.pen();
    painter.setPen(QColor(0, 0, 0, 200));
    for (int dy = -halo; dy <= halo; ++dy)
        for (int dx = -halo; dx <= halo; ++dx)
            if ((dx != 0 || dy != 0) && dx * dx + dy * dy <= halo * halo + halo)
                painter.drawText(origin + QPoint(dx, dy), text);
    painter.setPen(pen);
    painter.drawText(origin, text);
}
