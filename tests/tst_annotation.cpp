// Painting onto a photo: where the logo, the two text lines and the rose land, and the font.
#include "photoannotation.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include <cstdlib>

namespace {

const QString topLeft = QStringLiteral("arriba-izquierda");
const QString topRight = QStringLiteral("arriba-derecha");
const QString bottomLeft = QStringLiteral("abajo-izquierda");
const QString bottomRight = QStringLiteral("abajo-derecha");

const QDateTime captureDate(QDate(2023, 7, 4), QTime(9, 5, 3));
const QString dateText = QStringLiteral("04/07/2023 09:05:03");
const QString coordinateText = QStringLiteral("19H 346575 6298959");

QString notoSansPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
}

QImage blackPhoto()
{
    QImage image(800, 600, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

AnnotationStyle plainStyle(bool drawText = false, bool drawRose = false)
{
    AnnotationStyle style;
    style.fontPath = notoSansPath();
    style.dateTimePosition = bottomRight;
    style.coordinatesPosition = bottomRight;
    style.drawText = drawText;
    style.drawRose = drawRose;
    return style;
}

QImage annotate(QImage photo, const AnnotationStyle &style, double orientation = 0,
                bool orientationKnown = false, const QImage &logo = QImage())
{
    paintAnnotations(photo, logo, style, captureDate, coordinateText, orientation, orientationKnown,
                     [](const QString &) {});
    return photo;
}

// The bounding box of the non-black pixels within area.
QRect paintedBox(const QImage &image, const QRect &area)
{
    const QRect clipped = area & image.rect();
    QRect box;
    for (int y = clipped.top(); y <= clipped.bottom(); ++y)
        for (int x = clipped.left(); x <= clipped.right(); ++x)
            if ((image.pixel(x, y) & 0xffffff) != 0)
                box |= QRect(x, y, 1, 1);
    return box;
}

// Empty when actual is expected to a pixel of rounding, else both boxes.
QString near(const QRect &actual, const QRect &expected)
{
    const QMargins off(actual.left() - expected.left(), actual.top() - expected.top(),
                       expected.right() - actual.right(), expected.bottom() - actual.bottom());
    if (!actual.isNull() && std::max({std::abs(off.left()), std::abs(off.top()),
                                      std::abs(off.right()), std::abs(off.bottom())}) <= 1)
        return QString();
    QString message;
    QDebug(&message) << "ink" << actual << "expected" << expected;
    return message;
}

} // namespace

class TestAnnotation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void textPlacement_data();
    void textPlacement();
    void storedDensityKeepsTextSize_data();
    void storedDensityKeepsTextSize();
    void palettePhotoIsAnnotated();
    void fontChoice();
    void logoPlacement_data();
    void logoPlacement();
    void roseOnlyWithKnownHeading_data();
    void roseOnlyWithKnownHeading();
    void rosePlacement_data();
    void rosePlacement();

private:
    QString notoSansFamily;
    QTemporaryDir tempDir;
};

void TestAnnotation::initTestCase()
{
    QVERIFY2(QFile::exists(notoSansPath()), qPrintable(notoSansPath()));
    QVERIFY(tempDir.isValid());
    const int id = QFontDatabase::addApplicationFont(notoSansPath());
    notoSansFamily = QFontDatabase::applicationFontFamilies(id).value(0);
    QCOMPARE(notoSansFamily, QStringLiteral("Noto Sans"));
}

void TestAnnotation::textPlacement_data()
{
    QTest::addColumn<QString>("datePosition");
    QTest::addColumn<QString>("coordinatesPosition");
    QTest::addColumn<QPoint>("dateBaseline");
    QTest::addColumn<QPoint>("coordinatesBaseline");

    // An 800 × 600 photo at the ratio 0.03 gets 18 points.
    const QFontMetrics metrics(QFont(notoSansFamily, 18));
    const int lineH = metrics.height();
    const int dateRight = 790 - metrics.horizontalAdvance(dateText);
    const int coordinatesRight = 790 - metrics.horizontalAdvance(coordinateText);

    QTest::addRow("both bottom right, coordinates above")
        << bottomRight << bottomRight << QPoint(dateRight, 590)
        << QPoint(coordinatesRight, 590 - lineH - 5);
    QTest::addRow("both top left, coordinates below")
        << topLeft << topLeft << QPoint(10, lineH + 10) << QPoint(10, 2 * lineH + 15);
    QTest::addRow("date top right, coordinates bottom left")
        << topRight << bottomLeft << QPoint(dateRight, lineH + 10) << QPoint(10, 590);
    QTest::addRow("corner names are case-sensitive")
        << QStringLiteral("Abajo-Derecha") << bottomLeft << QPoint(0, 0) << QPoint(10, 590);
    QTest::addRow("same unknown corner for both")
        << QStringLiteral("centro") << QStringLiteral("centro") << QPoint(0, 0)
        << QPoint(0, -lineH - 5);
}

void TestAnnotation::textPlacement()
{
    QFETCH(QString, datePosition);
    QFETCH(QString, coordinatesPosition);
    QFETCH(QPoint, dateBaseline);
    QFETCH(QPoint, coordinatesBaseline);

    AnnotationStyle style = plainStyle(true);
    style.dateTimePosition = datePosition;
    style.coordinatesPosition = coordinatesPosition;
    QImage image = annotate(blackPhoto(), style);

    // Each line's ink is its tight box set on its baseline, to a pixel of rounding; parts above
    // the picture are lost.
    const QFontMetrics metrics(QFont(notoSansFamily, 18));
    const QList<QPair<QString, QPoint>> lines{{dateText, dateBaseline},
                                              {coordinateText, coordinatesBaseline}};
    QList<QPoint> offsets;
    QList<QPoint> expectedOffsets;
    QImage rest = image;
    QPainter painter(&rest);
    for (const auto &[text, baseline] : lines) {
        const QRect expected = metrics.tightBoundingRect(text).translated(baseline) & image.rect();
        if (expected.isEmpty())
            continue;
        const QRect area = expected.adjusted(-3, -3, 3, 3);
        const QRect ink = paintedBox(image, area);
        QVERIFY2(near(ink, expected).isEmpty(),
                 qPrintable(text + QStringLiteral(": ") + near(ink, expected)));
        offsets << ink.topLeft();
        expectedOffsets << expected.topLeft();
        painter.fillRect(area, Qt::black);
    }
    painter.end();
    QVERIFY(paintedBox(rest, rest.rect()).isNull());

    // Rounding moves both lines alike, so the step from one line to the other is exact.
    if (offsets.size() == 2)
        QCOMPARE(offsets[1] - offsets[0], expectedOffsets[1] - expectedOffsets[0]);
}

void TestAnnotation::storedDensityKeepsTextSize_data()
{
    QTest::addColumn<int>("dotsPerMeter");
    QTest::addRow("72 dpi") << 2835;
    QTest::addRow("300 dpi") << 11811;
}

void TestAnnotation::storedDensityKeepsTextSize()
{
    QFETCH(int, dotsPerMeter);
    const AnnotationStyle style = plainStyle(true, true);
    const QImage reference = annotate(blackPhoto(), style, 45.0, true);

    QImage photo = blackPhoto();
    photo.setDotsPerMeterX(dotsPerMeter);
    photo.setDotsPerMeterY(dotsPerMeter);
    photo = annotate(photo, style, 45.0, true);

    // The density is kept for saving, and the drawing is the same as at the default density.
    QCOMPARE(photo.dotsPerMeterX(), dotsPerMeter);
    QCOMPARE(photo.dotsPerMeterY(), dotsPerMeter);
    photo.setDotsPerMeterX(reference.dotsPerMeterX());
    photo.setDotsPerMeterY(reference.dotsPerMeterY());
    QVERIFY(photo == reference);
}

void TestAnnotation::palettePhotoIsAnnotated()
{
    const AnnotationStyle style = plainStyle(true, true);
    const QImage reference = annotate(blackPhoto(), style, 45.0, true);
    const QImage photo =
        annotate(blackPhoto().convertToFormat(QImage::Format_Indexed8), style, 45.0, true);
    QVERIFY(!paintedBox(photo, photo.rect()).isNull());
    QVERIFY(photo.convertToFormat(QImage::Format_RGB32) == reference);
}

void TestAnnotation::fontChoice()
{
    QCOMPARE(annotationFont(notoSansPath()).family(), notoSansFamily);

    const QString notAFont = tempDir.filePath(QStringLiteral("notafont.ttf"));
    QFile file(notAFont);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("no glyphs in here\n");
    file.close();
    for (const QString &path : {QString(), notAFont}) {
        const QFont font = annotationFont(path);
        QCOMPARE(font.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
        QCOMPARE(font.styleHint(), QFont::SansSerif);
        QVERIFY(!font.italic() && !font.bold());
    }

    // Font ids count up with every registration, so the gap between two of the test's own
    // shows how many happened in between.
    const int before = QFontDatabase::addApplicationFont(notoSansPath());
    const AnnotationStyle style = plainStyle(true, true);
    for (int photo = 0; photo < 5; ++photo)
        annotate(blackPhoto(), style, 30, true);
    const int after = QFontDatabase::addApplicationFont(notoSansPath());
    QVERIFY(before != -1);
    QCOMPARE(after, before + 1);
}

void TestAnnotation::logoPlacement_data()
{
    QTest::addColumn<QSize>("logoSize");
    QTest::addColumn<double>("logoRatio");
    QTest::addColumn<QString>("position");
    QTest::addColumn<QRect>("expected");

    // 800 × 600 photo; at 0.2 the logo is 160 wide, a 2:1 logo 80 high.
    QTest::addRow("top left") << QSize(100, 50) << 0.2 << topLeft << QRect(10, 10, 160, 80);
    QTest::addRow("unknown name goes top left")
        << QSize(100, 50) << 0.2 << QStringLiteral("centro") << QRect(10, 10, 160, 80);
    // 7 × 160 / 3 = 373 high; the scaled image is one pixel narrower than 160 and is still
    // placed as if it were 160 wide.
    QTest::addRow("odd proportions, integer height")
        << QSize(3, 7) << 0.2 << bottomRight << QRect(630, 217, 159, 373);
    QTest::addRow("tall logo runs past the top edge")
        << QSize(10, 100) << 0.2 << bottomRight << QRect(630, 0, 160, 590);
    QTest::addRow("logo under one pixel wide") << QSize(100, 50) << 0.001 << topLeft << QRect();
}

void TestAnnotation::logoPlacement()
{
    QFETCH(QSize, logoSize);
    QFETCH(double, logoRatio);
    QFETCH(QString, position);
    QFETCH(QRect, expected);

    QImage logo(logoSize, QImage::Format_RGB32);
    logo.fill(QColor(0, 0, 255));
    AnnotationStyle style = plainStyle();
    style.logoRatio = logoRatio;
    style.logoPosition = position;
    const QImage image = annotate(blackPhoto(), style, 0, false, logo);

    const QRect box = paintedBox(image, image.rect());
    QCOMPARE(box, expected);
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            QVERIFY2(qRed(pixel) == 0 && qGreen(pixel) == 0 && qBlue(pixel) >= 253,
                     qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        }
    }
}

void TestAnnotation::roseOnlyWithKnownHeading_data()
{
    QTest::addColumn<bool>("drawRose");
    QTest::addColumn<bool>("orientationKnown");
    QTest::addColumn<double>("orientation");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::addRow("six significant digits")
        << true << true << -33.45678912
        << QStringList{QStringLiteral("Dibujando rosa con orientación -33.4568")};
    QTest::addRow("large heading in exponent form")
        << true << true << 1234567.0
        << QStringList{QStringLiteral("Dibujando rosa con orientación 1.23457e+06")};
    QTest::addRow("heading unknown") << true << false << 123.4 << QStringList();
    QTest::addRow("rose not asked for") << false << true << 123.4 << QStringList();
}

void TestAnnotation::roseOnlyWithKnownHeading()
{
    QFETCH(bool, drawRose);
    QFETCH(bool, orientationKnown);
    QFETCH(double, orientation);
    QFETCH(QStringList, expectedLog);

    QImage image = blackPhoto();
    const AnnotationStyle style = plainStyle(false, drawRose);
    QStringList log;
    paintAnnotations(image, QImage(), style, captureDate, coordinateText, orientation,
                     orientationKnown, [&log](const QString &line) { log << line; });

    QCOMPARE(log, expectedLog);
    QCOMPARE(paintedBox(image, image.rect()).isNull(), expectedLog.isEmpty());
}

void TestAnnotation::rosePlacement_data()
{
    QTest::addColumn<QString>("position");
    QTest::addColumn<QRect>("expected");

    // 800 × 600 photo at 0.25: a 150-pixel rose.
    QTest::addRow("top right") << topRight << QRect(640, 10, 150, 150);
    QTest::addRow("unknown name goes bottom right")
        << QStringLiteral("arriba") << QRect(640, 440, 150, 150);
}

void TestAnnotation::rosePlacement()
{
    QFETCH(QString, position);
    QFETCH(QRect, expected);

    AnnotationStyle style = plainStyle(false, true);
    style.roseRatio = 0.25;
    style.rosePosition = position;
    const QImage image = annotate(blackPhoto(), style, 90, true);

    const QRect box = paintedBox(image, image.rect());
    QVERIFY2(near(box, expected).isEmpty(), qPrintable(near(box, expected)));
    // The needle points east from the rose's centre.
    const QPoint centre = expected.topLeft() + QPoint(75, 75);
    QCOMPARE(image.pixel(centre + QPoint(40, 0)), qRgb(255, 0, 0));
    QVERIFY(image.pixel(centre + QPoint(-40, 0)) != qRgb(255, 0, 0));
}

QTEST_MAIN(TestAnnotation)
#include "tst_annotation.moc"
