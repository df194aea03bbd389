// Painting the logo, the date/time and coordinate lines and the compass rose onto a photo.
#include "photoannotation.h"

#include "photoprocessor.h"

#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHash>
#include <QPainter>

#include <algorithm>
#include <mutex>

namespace {

constexpr int edgeMargin = 10;
constexpr int lineGap = 5;

const QString topLeft = QStringLiteral("arriba-izquierda");
const QString topRight = QStringLiteral("arriba-derecha");
const QString bottomLeft = QStringLiteral("abajo-izquierda");
const QString bottomRight = QStringLiteral("abajo-derecha");

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

// Any name other than the four corners puts the logo top left.
QPoint logoOrigin(const QString &corner, int width, int height, int logoW, int logoH)
{
    if (corner == topRight)
        return {width - logoW - edgeMargin, edgeMargin};
    if (corner == bottomLeft)
        return {edgeMargin, height - logoH - edgeMargin};
    if (corner == bottomRight)
        return {width - logoW - edgeMargin, height - logoH - edgeMargin};
    return {edgeMargin, edgeMargin};
}

// The left end of a text line's baseline. Any name other than the four corners gives (0, 0),
// which leaves the line above the picture.
QPoint textAnchor(const QString &corner, int width, int height, int lineH)
{
    if (corner == topLeft)
        return {edgeMargin, lineH + edgeMargin};
    if (corner == topRight)
        return {width - edgeMargin, lineH + edgeMargin};
    if (corner == bottomLeft)
        return {edgeMargin, height - edgeMargin};
    if (corner == bottomRight)
        return {width - edgeMargin, height - edgeMargin};
    return {0, 0};
}

// Any name other than the four corners puts the rose bottom right.
QPoint roseOrigin(const QString &corner, int width, int height, const QSize &rose)
{
    if (corner == topLeft)
        return {edgeMargin, edgeMargin};
    if (corner == topRight)
        return {width - rose.width() - edgeMargin, edgeMargin};
    if (corner == bottomLeft)
        return {edgeMargin, height - edgeMargin - rose.height()};
    return {width - rose.width() - edgeMargin, height - edgeMargin - rose.height()};
}

void paintLogo(QPainter &painter, const QImage &logo, const AnnotationStyle &style, int width,
               int height)
{
    const int logoW = int(width * style.logoRatio);
    // Multiplied before dividing so the height keeps the logo's proportions to the pixel; the
    // product is widened only to survive very large logos.
    const int logoH = int(qint64(logo.height()) * logoW / logo.width());
    const QImage scaled = logo.scaled(logoW, logoH, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (scaled.isNull())
        return;
    // Placed by the requested size, not the scaled one, which can be a pixel narrower.
    painter.drawImage(logoOrigin(style.logoPosition, width, height, logoW, logoH), scaled);
}

void paintTextLines(QPainter &painter, const AnnotationStyle &style, const QDateTime &captureDate,
                    const QString &coordinateText, int width, int height)
{
    QFont font = annotationFont(style.fontPath);
    font.setPointSize(std::max(10, int(height * style.fontRatio)));
    painter.setFont(font);
    painter.setPen(style.textColor);

    const QString dateText = captureDate.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
    const QFontMetrics metrics(painter.font());
    const int lineH = metrics.height();

    const QString &datePosition = style.dateTimePosition;
    const QString &coordinatesPosition = style.coordinatesPosition;
    QPoint date = textAnchor(datePosition, width, height, lineH);
    QPoint coordinates = textAnchor(coordinatesPosition, width, height, lineH);
    if (datePosition.contains(QLatin1String("derecha")))
        date.rx() -= metrics.horizontalAdvance(dateText);
    if (coordinatesPosition.contains(QLatin1String("derecha")))
        coordinates.rx() -= metrics.horizontalAdvance(coordinateText);

    if (datePosition != coordinatesPosition) {
        painter.drawText(date, dateText);
        painter.drawText(coordinates, coordinateText);
    } else if (datePosition.contains(QLatin1String("arriba"))) {
        // Sharing a top corner, the coordinates go under the date ...
        painter.drawText(date, dateText);
        painter.drawText(coordinates.x(), date.y() + lineH + lineGap, coordinateText);
    } else {
        // ... and sharing any other, above it, so the date keeps the line nearest the edge.
        painter.drawText(coordinates.x(), date.y() - lineH - lineGap, coordinateText);
        painter.drawText(date, dateText);
    }
}

void paintRose(QPainter &painter, const AnnotationStyle &style, double orientation, int width,
               int height, const LogCallback &log)
{
    log(QStringLiteral("Dibujando rosa con orientación ") + QString::number(orientation, 'g', 6));
    const int edge = int(std::min(width, height) * style.roseRatio);
    const QImage rose =
        PhotoProcessor::createCompassRose(orientation, edge, style.roseRatio, style.fontPath);
    if (rose.isNull())
        return;
    painter.drawImage(roseOrigin(style.rosePosition, width, height, rose.size()), rose);
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

void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const QDateTime &captureDate, const QString &coordinateText,
                      double orientation, bool orientationKnown, const LogCallback &log)
{
    if (image.isNull())
        return;
    // Palette and one-bit images cannot be painted on: widen them so they get their annotations.
    if (image.format() == QImage::Format_Indexed8 || image.format() == QImage::Format_Mono ||
        image.format() == QImage::Format_MonoLSB) {
        image = image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32
                                                              : QImage::Format_RGB32);
    }
    // Text is laid out with the font's own metrics, so paint at the resolution those assume
    // whatever density the file stores (a 72 or 300 dpi photo would otherwise get text of another
    // size than its layout); the stored density goes back for saving.
    const int storedDpmX = image.dotsPerMeterX();
    const int storedDpmY = image.dotsPerMeterY();
    const QImage reference(1, 1, QImage::Format_RGB32);
    image.setDotsPerMeterX(reference.dotsPerMeterX());
    image.setDotsPerMeterY(reference.dotsPerMeterY());
    QPainter painter;
    if (!painter.begin(&image)) {
        image.setDotsPerMeterX(storedDpmX);
        image.setDotsPerMeterY(storedDpmY);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    const int width = image.width();
    const int height = image.height();

    // The order matters where elements overlap: text covers the logo, the rose covers both.
    if (!logo.isNull())
        paintLogo(painter, logo, style, width, height);
    if (style.drawText)
        paintTextLines(painter, style, captureDate, coordinateText, width, height);
    if (style.drawRose && orientationKnown)
        paintRose(painter, style, orientation, width, height, log);
    painter.end();
    image.setDotsPerMeterX(storedDpmX);
    image.setDotsPerMeterY(storedDpmY);
}
