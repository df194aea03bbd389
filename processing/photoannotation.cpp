// Painting the logo, the date/time and coordinate lines and the compass rose onto a photo.
#include "photoannotation.h"

#include "annotationfont.h"
#include "compassrose.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int edgeMargin = 10;
constexpr int lineGap = 5;

// No corner puts the logo top left.
QPoint logoOrigin(Corner corner, int width, int height, int logoW, int logoH)
{
    switch (corner) {
    case Corner::TopRight:
        return {width - logoW - edgeMargin, edgeMargin};
    case Corner::BottomLeft:
        return {edgeMargin, height - logoH - edgeMargin};
    case Corner::BottomRight:
        return {width - logoW - edgeMargin, height - logoH - edgeMargin};
    case Corner::TopLeft:
    case Corner::Unknown:
        break;
    }
    return {edgeMargin, edgeMargin};
}

// The left end of a text line's baseline. No corner gives (0, 0), which leaves the line above
// the picture.
QPoint textAnchor(Corner corner, int width, int height, int lineH)
{
    switch (corner) {
    case Corner::TopLeft:
        return {edgeMargin, lineH + edgeMargin};
    case Corner::TopRight:
        return {width - edgeMargin, lineH + edgeMargin};
    case Corner::BottomLeft:
        return {edgeMargin, height - edgeMargin};
    case Corner::BottomRight:
        return {width - edgeMargin, height - edgeMargin};
    case Corner::Unknown:
        break;
    }
    return {0, 0};
}

// No corner puts the rose bottom right.
QPoint roseOrigin(Corner corner, int width, int height, const QSize &rose)
{
    switch (corner) {
    case Corner::TopLeft:
        return {edgeMargin, edgeMargin};
    case Corner::TopRight:
        return {width - rose.width() - edgeMargin, edgeMargin};
    case Corner::BottomLeft:
        return {edgeMargin, height - edgeMargin - rose.height()};
    case Corner::BottomRight:
    case Corner::Unknown:
        break;
    }
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

// A corner's lines, top to bottom: from lineH + 10 down in a top corner, up to H - 10 in any
// other, lineH + 5 apart.
void paintCornerLines(QPainter &painter, const AnnotationStyle &style, Corner corner,
                      const QStringList &lines, int width, int height)
{
    const QFontMetrics metrics(painter.font());
    const int lineH = metrics.height();
    const QPoint anchor = textAnchor(corner, width, height, lineH);
    const int step = lineH + lineGap;
    int y = isTopCorner(corner) ? anchor.y() : anchor.y() - step * int(lines.size() - 1);
    for (const QString &line : lines) {
        int x = anchor.x();
        if (isRightCorner(corner))
            x -= metrics.horizontalAdvance(line);
        paintTextLine(painter, QPoint(x, y), line, style.background);
        y += step;
    }
}

void paintTextLines(QPainter &painter, const AnnotationStyle &style, const StampText &text,
                    int width, int height)
{
    QFont font = annotationFont(style.fontPath);
    font.setPointSize(std::max(10, int(height * style.fontRatio)));
    painter.setFont(font);
    painter.setPen(style.textColor);

    const Corner datePosition = style.dateTimePosition;
    const Corner coordinatesPosition = style.coordinatesPosition;
    if (datePosition != coordinatesPosition) {
        paintCornerLines(painter, style, datePosition, text.dateLines, width, height);
        paintCornerLines(painter, style, coordinatesPosition, text.coordinateLines, width, height);
    } else if (isTopCorner(datePosition)) {
        // Sharing a top corner, the coordinates go under the date ...
        paintCornerLines(painter, style, datePosition, text.dateLines + text.coordinateLines, width,
                         height);
    } else {
        // ... and sharing any other, above it, so the date keeps the line nearest the edge.
        paintCornerLines(painter, style, datePosition, text.coordinateLines + text.dateLines, width,
                         height);
    }
}

void paintRose(QPainter &painter, const AnnotationStyle &style, double orientation, int width,
               int height, const LogCallback &log)
{
    log(QStringLiteral("Dibujando rosa con orientación ") + QString::number(orientation, 'g', 6));
    const int edge = int(std::min(width, height) * style.roseRatio);
    const QImage rose = compassRose(orientation, edge, style.roseRatio, style.fontPath,
                                    RoseLetters{style.westLetter, style.background});
    if (rose.isNull())
        return;
    painter.drawImage(roseOrigin(style.rosePosition, width, height, rose.size()), rose);
}

} // namespace

QString dateLineText(const QDateTime &captureDate)
{
    return captureDate.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const QDateTime &captureDate, const QString &coordinateText,
                      double orientation, bool orientationKnown, const LogCallback &log)
{
    paintAnnotations(image, logo, style,
                     StampText{QStringList{dateLineText(captureDate)}, QStringList{coordinateText}},
                     orientation, orientationKnown, log);
}

void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const StampText &text, double orientation, bool orientationKnown,
                      const LogCallback &log)
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
        paintTextLines(painter, style, text, width, height);
    if (style.drawRose && orientationKnown)
        paintRose(painter, style, orientation, width, height, log);
    painter.end();
    image.setDotsPerMeterX(storedDpmX);
    image.setDotsPerMeterY(storedDpmY);
}

bool paintsAnything(const QImage &logo, const AnnotationStyle &style, bool orientationKnown)
{
    return !logo.isNull() || style.drawText || (style.drawRose && orientationKnown);
}
