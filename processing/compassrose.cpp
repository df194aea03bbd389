// The compass rose drawn onto photos with a known heading: a translucent disc, a white ring,
// fixed N/S/E/W letters and a red needle that alone turns with the heading.
#include "compassrose.h"

#include "annotationfont.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {

constexpr double degreesToRadians = 0.017453292519943295;
constexpr double quarterTurn = 1.5707963267948966;

const QColor discColor(211, 211, 211, 128);

} // namespace

CompassRoseLayout compassRoseLayout(int size, double ratio)
{
    CompassRoseLayout layout;
    layout.centre = size / 2;
    // Thin rings would vanish under antialiasing, tiny letters would be unreadable: hence the
    // floors.
    layout.ringWidth = std::max(2, int(size * 0.03 * ratio));
    layout.radius = (size - layout.ringWidth) / 2;
    layout.letterMargin = std::max(2, int(layout.radius * 0.08));
    layout.letterPointSize = std::max(10, int(layout.radius * 0.25));
    layout.inner = layout.ringWidth / 2 + layout.ringWidth + layout.letterMargin;
    return layout;
}

QPolygonF compassRoseNeedle(double orientation, const CompassRoseLayout &layout)
{
    // Headings run clockwise from north; with y pointing down, north is the angle −90°.
    const double angle = (orientation - 90) * degreesToRadians;
    const double length = layout.radius * 0.95;
    const double halfBase = length * 0.25 * 0.5;
    const QPointF centre(layout.centre, layout.centre);
    const QPointF along(std::cos(angle), std::sin(angle));
    const QPointF across(std::cos(angle + quarterTurn), std::sin(angle + quarterTurn));

    const QPointF tip = centre + length * along;
    const QPointF baseCentre = centre - 0.1 * length * along;
    return QPolygonF{baseCentre + halfBase * across, tip, baseCentre - halfBase * across};
}

QImage compassRose(double orientation, int size, double ratio, const QString &fontPath)
{
    return compassRose(orientation, size, ratio, fontPath, RoseLetters());
}

QImage compassRose(double orientation, int size, double ratio, const QString &fontPath,
                   const RoseLetters &letters)
{
    if (size < 1)
        return {};

    const CompassRoseLayout layout = compassRoseLayout(size, ratio);
    const int w = layout.ringWidth;
    const int cx = layout.centre;
    const int inner = layout.inner;

    QImage rose(size, size, QImage::Format_ARGB32);
    rose.fill(Qt::transparent);

    QPainter painter(&rose);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);

    painter.setPen(Qt::NoPen);
    painter.setBrush(discColor);
    painter.drawEllipse(0, 0, size, size);

    painter.setPen(QPen(Qt::white, qreal(w), Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(w / 2, w / 2, size - w, size - w);

    QFont font = annotationFont(fontPath);
    font.setPointSize(layout.letterPointSize);
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);

    const QFontMetrics metrics(font);
    const int h = metrics.height();
    const int a = metrics.ascent();
    const auto advance = [&metrics](const QString &letter) {
        return metrics.horizontalAdvance(letter);
    };
    const auto letter = [&](int x, int y, const QString &text) {
        paintTextLine(painter, QPoint(x, y), text, letters.background);
    };
    letter(cx - advance(QStringLiteral("N")) / 2, inner + a, QStringLiteral("N"));
    letter(cx - advance(QStringLiteral("S")) / 2, size - inner - h + a, QStringLiteral("S"));
    letter(size - inner - advance(QStringLiteral("E")), cx - h / 2 + a, QStringLiteral("E"));
    letter(inner, cx - h / 2 + a, letters.west);

    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::red);
    painter.drawPolygon(compassRoseNeedle(orientation, layout), Qt::OddEvenFill);
    painter.end();
    return rose;
}
