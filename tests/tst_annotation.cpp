// Painting onto a photo: where the logo, the two text lines and the compass rose land.
#include "compassrose.h"
#include "photoannotation.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QTest>

namespace {

QImage annotate(const AnnotationStyle &style, const QImage &logo = QImage())
{
    QImage photo(800, 600, QImage::Format_RGB32);
    photo.fill(Qt::black);
    paintAnnotations(photo, logo, style, QDateTime(QDate(2023, 7, 4), QTime(9, 5, 3)),
                     "19H 346575 6298959", 90, true, [](const QString &) {});
    return photo;
}

QString fontPath()
{
    return QCoreApplication::applicationDirPath() + "/notosans.ttf";
}

QFont notoSans()
{
    QFont font = annotationFont(fontPath());
    font.setPointSize(18);
    return font;
}

// The bounding box of the non-black pixels within area.
QRect ink(const QImage &image, const QRect &area)
{
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if ((image.pixel(x, y) & 0xffffff) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestAnnotation : public QObject
{
    Q_OBJECT

private slots:
    void text_data();
    void text();
    void logo_data();
    void logo();
    void rose_data();
    void rose();
};

void TestAnnotation::text_data()
{
    QTest::addColumn<QString>("datePosition");
    QTest::addColumn<QString>("coordinatesPosition");
    QTest::addColumn<QPoint>("dateBaseline"); // x of the right end for a right corner
    QTest::addColumn<QPoint>("coordinatesBaseline");

    // 800 × 600 at the ratio 0.03: 18 points; lines 5 pixels apart, 10 from the edges.
    const int lineH = QFontMetrics(notoSans()).height();
    QTest::addRow("both bottom right, coordinates above")
        << "abajo-derecha"
        << "abajo-derecha" << QPoint(790, 590) << QPoint(790, 585 - lineH);
    QTest::addRow("both top left, coordinates below")
        << "arriba-izquierda"
        << "arriba-izquierda" << QPoint(10, lineH + 10) << QPoint(10, 2 * lineH + 15);
    QTest::addRow("date top right, coordinates bottom left")
        << "arriba-derecha"
        << "abajo-izquierda" << QPoint(790, lineH + 10) << QPoint(10, 590);
}

void TestAnnotation::text()
{
    QFETCH(QPoint, dateBaseline);
    QFETCH(QPoint, coordinatesBaseline);
    AnnotationStyle style;
    style.fontPath = fontPath();
    QFETCH(QString, datePosition);
    QFETCH(QString, coordinatesPosition);
    style.dateTimePosition = datePosition;
    style.coordinatesPosition = coordinatesPosition;
    style.drawRose = false;
    const QImage image = annotate(style);

    // Each line's ink is its tight box on its baseline; rounding moves both lines alike.
    const QFontMetrics m(notoSans());
    QList<QPoint> shift;
    for (const auto &[text, baseline] :
         {qMakePair(QString("04/07/2023 09:05:03"), dateBaseline),
          qMakePair(QString("19H 346575 6298959"), coordinatesBaseline)}) {
        const QPoint origin =
            baseline - QPoint(baseline.x() > 400 ? m.horizontalAdvance(text) : 0, 0);
        const QRect expected = m.tightBoundingRect(text).translated(origin);
        const QRect found = ink(image, expected.adjusted(-3, -3, 3, 3));
        shift << found.topLeft() - expected.topLeft();
        QVERIFY2(found.isValid() && shift.last().manhattanLength() <= 1 &&
                     qAbs(found.width() - expected.width()) <= 1,
                 qPrintable(text));
    }
    QCOMPARE(shift[0], shift[1]);
}

void TestAnnotation::logo_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<QRect>("expected");
    // At 0.2 a 2:1 logo is 160 × 80, 10 pixels in from the corner.
    QTest::addRow("top left") << "arriba-izquierda" << QRect(10, 10, 160, 80);
    QTest::addRow("top right") << "arriba-derecha" << QRect(630, 10, 160, 80);
    QTest::addRow("bottom left") << "abajo-izquierda" << QRect(10, 510, 160, 80);
    QTest::addRow("bottom right") << "abajo-derecha" << QRect(630, 510, 160, 80);
    QTest::addRow("unknown name") << "centro" << QRect(10, 10, 160, 80);
}

void TestAnnotation::logo()
{
    QFETCH(QString, position);
    QImage logo(100, 50, QImage::Format_RGB32);
    logo.fill(Qt::blue);
    AnnotationStyle style;
    style.logoRatio = 0.2;
    style.logoPosition = position;
    style.drawRose = style.drawText = false;
    const QImage image = annotate(style, logo);
    QTEST(ink(image, image.rect()), "expected");
}

void TestAnnotation::rose_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<QRect>("expected");
    // At 0.25 the rose is 150 pixels.
    QTest::addRow("top right") << "arriba-derecha" << QRect(640, 10, 150, 150);
    QTest::addRow("unknown name goes bottom right") << "arriba" << QRect(640, 440, 150, 150);
}

void TestAnnotation::rose()
{
    QFETCH(QString, position);
    QFETCH(QRect, expected);
    AnnotationStyle style;
    style.roseRatio = 0.25;
    style.rosePosition = position;
    style.drawText = false;
    const QImage image = annotate(style);
    const QRect box = ink(image, image.rect());
    QVERIFY2((box.topLeft() - expected.topLeft()).manhattanLength() <= 2 &&
                 (box.bottomRight() - expected.bottomRight()).manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2 %3x%4")
                            .arg(box.x())
                            .arg(box.y())
                            .arg(box.width())
                            .arg(box.height())));
    // Heading 90: the needle points east from the centre, and the base lies just west of it.
    const QPoint centre = expected.center();
    QCOMPARE(image.pixel(centre + QPoint(40, 0)), qRgb(255, 0, 0));
    QVERIFY(image.pixel(centre - QPoint(40, 0)) != qRgb(255, 0, 0));

    // The needle's triangle for a 540-pixel rose: base corners, tip; 0 points up.
    const QPolygonF needle = compassRoseNeedle(0, compassRoseLayout(540, 0.18));
    QCOMPARE(needle, QPolygonF({QPointF(301.94375, 295.555), QPointF(270, 14.45),
                                QPointF(238.05625, 295.555)}));
}

QTEST_MAIN(TestAnnotation)
#include "tst_annotation.moc"
