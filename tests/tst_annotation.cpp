// Painting onto a photo: where the logo, the two text lines and the rose land, and the font.
#include "photoannotation.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QTemporaryDir>
#include <QTest>

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

QImage blackPhoto(int width = 800, int height = 600)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

AnnotationStyle plainStyle()
{
    AnnotationStyle style;
    style.fontPath = notoSansPath();
    style.fontRatio = 0.03;
    style.textColor = Qt::white;
    style.dateTimePosition = bottomRight;
    style.coordinatesPosition = bottomRight;
    style.drawText = false;
    style.drawRose = false;
    return style;
}

bool painted(QRgb pixel)
{
    return (pixel & 0xffffff) != 0;
}

// The bounding box of the painted pixels within area.
QRect paintedBox(const QImage &image, const QRect &area)
{
    const QRect clipped = area & image.rect();
    QRect box;
    for (int y = clipped.top(); y <= clipped.bottom(); ++y)
        for (int x = clipped.left(); x <= clipped.right(); ++x)
            if (painted(image.pixel(x, y)))
                box |= QRect(x, y, 1, 1);
    return box;
}

int paintedOutside(const QImage &image, const QList<QRect> &areas)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool inArea = std::any_of(areas.cbegin(), areas.cend(),
                                            [x, y](const QRect &r) { return r.contains(x, y); });
            count += !inArea && painted(image.pixel(x, y));
        }
    }
    return count;
}

QString describe(const QRect &r)
{
    return r.isNull() ? QStringLiteral("nothing")
                      : QStringLiteral("(%1, %2)-(%3, %4)")
                            .arg(r.left())
                            .arg(r.top())
                            .arg(r.right())
                            .arg(r.bottom());
}

bool edgesNear(const QRect &actual, const QRect &expected, int tolerance)
{
    return !actual.isNull() && std::abs(actual.left() - expected.left()) <= tolerance &&
           std::abs(actual.right() - expected.right()) <= tolerance &&
           std::abs(actual.top() - expected.top()) <= tolerance &&
           std::abs(actual.bottom() - expected.bottom()) <= tolerance;
}

} // namespace

class TestAnnotation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void textPlacement_data();
    void textPlacement();
    void pointSize_data();
    void pointSize();
    void noTextWhenDrawTextOff();
    void storedDensityKeepsTextSize_data();
    void storedDensityKeepsTextSize();
    void palettePhotoIsAnnotated();
    void fontChoice_data();
    void fontChoice();
    void fontFileRegisteredOnce();
    void replacedFontFileRegisteredAgain();
    void logoPlacement_data();
    void logoPlacement();
    void textAndRoseCoverLogo();
    void roseOnlyWithKnownHeading_data();
    void roseOnlyWithKnownHeading();
    void rosePlacement_data();
    void rosePlacement();

private:
    QFontMetrics metricsAt(int pointSize) const;

    QString notoSansFamily;
    QTemporaryDir tempDir;
};

QFontMetrics TestAnnotation::metricsAt(int pointSize) const
{
    QFont font(notoSansFamily);
    font.setPointSize(pointSize);
    return QFontMetrics(font);
}

void TestAnnotation::initTestCase()
{
    QVERIFY2(QFile::exists(notoSansPath()), qPrintable(notoSansPath()));
    QVERIFY(tempDir.isValid());
    const int id = QFontDatabase::addApplicationFont(notoSansPath());
    QVERIFY(id != -1);
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
    const QFontMetrics metrics = metricsAt(18);
    const int lineH = metrics.height();
    const int dateRight = 790 - metrics.horizontalAdvance(dateText);
    const int coordinatesRight = 790 - metrics.horizontalAdvance(coordinateText);

    QTest::addRow("both bottom right, coordinates above")
        << bottomRight << bottomRight << QPoint(dateRight, 590)
        << QPoint(coordinatesRight, 590 - lineH - 5);
    QTest::addRow("both bottom left, coordinates above")
        << bottomLeft << bottomLeft << QPoint(10, 590) << QPoint(10, 590 - lineH - 5);
    QTest::addRow("both top left, coordinates below")
        << topLeft << topLeft << QPoint(10, lineH + 10) << QPoint(10, 2 * lineH + 15);
    QTest::addRow("both top right, coordinates below")
        << topRight << topRight << QPoint(dateRight, lineH + 10)
        << QPoint(coordinatesRight, 2 * lineH + 15);
    QTest::addRow("date top right, coordinates bottom left")
        << topRight << bottomLeft << QPoint(dateRight, lineH + 10) << QPoint(10, 590);
    QTest::addRow("date bottom left, coordinates top right")
        << bottomLeft << topRight << QPoint(10, 590) << QPoint(coordinatesRight, lineH + 10);
    QTest::addRow("unknown date corner, above the picture")
        << QStringLiteral("centro") << bottomRight << QPoint(0, 0) << QPoint(coordinatesRight, 590);
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

    QImage image = blackPhoto();
    AnnotationStyle style = plainStyle();
    style.drawText = true;
    style.dateTimePosition = datePosition;
    style.coordinatesPosition = coordinatesPosition;
    paintAnnotations(image, QImage(), style, captureDate, coordinateText, 0, false,
                     [](const QString &) {});

    // Each line's ink is its tight box set on its baseline, to a pixel of rounding; parts above
    // the picture are lost.
    const QFontMetrics metrics = metricsAt(18);
    const QList<QPair<QString, QPoint>> lines{{dateText, dateBaseline},
                                              {coordinateText, coordinatesBaseline}};
    QList<QRect> allowed;
    QList<QPoint> inkOffsets;
    QList<QPoint> expectedOffsets;
    for (const auto &[text, baseline] : lines) {
        const QRect expected = metrics.tightBoundingRect(text).translated(baseline) & image.rect();
        if (expected.isEmpty())
            continue;
        const QRect area = expected.adjusted(-3, -3, 3, 3);
        allowed << area;
        const QRect ink = paintedBox(image, area);
        QVERIFY2(edgesNear(ink, expected, 1),
                 qPrintable(text + QStringLiteral(": ink ") + describe(ink) +
                            QStringLiteral(", expected ") + describe(expected)));
        inkOffsets << ink.topLeft();
        expectedOffsets << expected.topLeft();
    }
    QCOMPARE(paintedOutside(image, allowed), 0);

    // Rounding moves both lines alike, so the step from one line to the other is exact.
    if (inkOffsets.size() == 2)
        QCOMPARE(inkOffsets[1] - inkOffsets[0], expectedOffsets[1] - expectedOffsets[0]);
}

void TestAnnotation::pointSize_data()
{
    QTest::addColumn<QSize>("photoSize");
    QTest::addColumn<double>("fontRatio");
    QTest::addColumn<int>("pointSize");

    QTest::addRow("short photo raised to 10") << QSize(300, 150) << 0.03 << 10;
    QTest::addRow("333 high still raised to 10") << QSize(400, 333) << 0.03 << 10;
    QTest::addRow("600 high at 0.1") << QSize(800, 600) << 0.1 << 60;
    QTest::addRow("1000 high at 0.05") << QSize(1200, 1000) << 0.05 << 50;
}

void TestAnnotation::pointSize()
{
    QFETCH(QSize, photoSize);
    QFETCH(double, fontRatio);
    QFETCH(int, pointSize);

    QImage image = blackPhoto(photoSize.width(), photoSize.height());
    AnnotationStyle style = plainStyle();
    style.drawText = true;
    style.fontRatio = fontRatio;
    style.dateTimePosition = bottomLeft;
    paintAnnotations(image, QImage(), style, captureDate, QString(), 0, false,
                     [](const QString &) {});

    const QRect expected =
        metricsAt(pointSize).tightBoundingRect(dateText).translated(10, photoSize.height() - 10);
    const QRect ink = paintedBox(image, image.rect());
    QVERIFY2(edgesNear(ink, expected, 1),
             qPrintable(QStringLiteral("ink ") + describe(ink) + QStringLiteral(", expected ") +
                        describe(expected)));
}

void TestAnnotation::noTextWhenDrawTextOff()
{
    AnnotationStyle style = plainStyle();
    QImage withText = blackPhoto();
    style.drawText = true;
    paintAnnotations(withText, QImage(), style, captureDate, coordinateText, 0, false,
                     [](const QString &) {});
    QVERIFY(!paintedBox(withText, withText.rect()).isNull());

    QImage withoutText = blackPhoto();
    style.drawText = false;
    paintAnnotations(withoutText, QImage(), style, captureDate, coordinateText, 0, false,
                     [](const QString &) {});
    QVERIFY(paintedBox(withoutText, withoutText.rect()).isNull());
}

static QImage annotatedBlackPhoto(QImage photo)
{
    AnnotationStyle style = plainStyle();
    style.drawText = true;
    style.drawRose = true;
    paintAnnotations(photo, QImage(), style, captureDate, coordinateText, 45.0, true,
                     [](const QString &) {});
    return photo;
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
    const QImage reference = annotatedBlackPhoto(blackPhoto());

    QImage photo = blackPhoto();
    photo.setDotsPerMeterX(dotsPerMeter);
    photo.setDotsPerMeterY(dotsPerMeter);
    photo = annotatedBlackPhoto(photo);

    // The density is kept for saving, and the drawing is the same as at the default density.
    QCOMPARE(photo.dotsPerMeterX(), dotsPerMeter);
    QCOMPARE(photo.dotsPerMeterY(), dotsPerMeter);
    photo.setDotsPerMeterX(reference.dotsPerMeterX());
    photo.setDotsPerMeterY(reference.dotsPerMeterY());
    QVERIFY(photo == reference);
}

void TestAnnotation::palettePhotoIsAnnotated()
{
    const QImage reference = annotatedBlackPhoto(blackPhoto());
    const QImage photo = annotatedBlackPhoto(blackPhoto().convertToFormat(QImage::Format_Indexed8));
    QVERIFY(!paintedBox(photo, photo.rect()).isNull());
    QVERIFY(photo.convertToFormat(QImage::Format_RGB32) == reference);
}

void TestAnnotation::fontChoice_data()
{
    QTest::addColumn<QString>("fontPath");
    QTest::addColumn<bool>("bundled");

    const QString notAFont = tempDir.filePath(QStringLiteral("notafont.ttf"));
    QFile file(notAFont);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("no glyphs in here\n");
    file.close();

    QTest::addRow("bundled font") << notoSansPath() << true;
    QTest::addRow("empty path") << QString() << false;
    QTest::addRow("missing file") << tempDir.filePath(QStringLiteral("missing.ttf")) << false;
    QTest::addRow("file that is not a font") << notAFont << false;
}

void TestAnnotation::fontChoice()
{
    QFETCH(QString, fontPath);
    QFETCH(bool, bundled);

    const QFont font = annotationFont(fontPath);
    if (bundled) {
        QCOMPARE(font.family(), notoSansFamily);
    } else {
        QCOMPARE(font.family(), QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
        QCOMPARE(font.styleHint(), QFont::SansSerif);
    }
    QVERIFY(!font.italic());
    QVERIFY(!font.bold());

    // Whatever the font, both lines are drawn in their corner, right-aligned to the margin.
    QImage image = blackPhoto();
    AnnotationStyle style = plainStyle();
    style.drawText = true;
    style.fontPath = fontPath;
    paintAnnotations(image, QImage(), style, captureDate, coordinateText, 0, false,
                     [](const QString &) {});
    const QRect ink = paintedBox(image, image.rect());
    QVERIFY2(!ink.isNull() && ink.right() <= 792 && ink.right() >= 775 && ink.bottom() <= 594 &&
                 ink.bottom() >= 585,
             qPrintable(describe(ink)));
}

void TestAnnotation::fontFileRegisteredOnce()
{
    annotationFont(notoSansPath());

    // Font ids count up with every registration, so the gap between two of the test's own
    // shows how many happened in between.
    const int before = QFontDatabase::addApplicationFont(notoSansPath());
    AnnotationStyle style = plainStyle();
    style.drawText = true;
    style.drawRose = true;
    for (int photo = 0; photo < 5; ++photo) {
        QImage image = blackPhoto(200, 150);
        paintAnnotations(image, QImage(), style, captureDate, coordinateText, 30, true,
                         [](const QString &) {});
    }
    const int after = QFontDatabase::addApplicationFont(notoSansPath());
    QFontDatabase::removeApplicationFont(before);
    QFontDatabase::removeApplicationFont(after);
    QVERIFY(before != -1);
    QCOMPARE(after, before + 1);
}

void TestAnnotation::replacedFontFileRegisteredAgain()
{
    const QString serif = QStringLiteral("/usr/share/fonts/truetype/noto/NotoSerif-Regular.ttf");
    if (!QFile::exists(serif))
        QSKIP("NotoSerif-Regular.ttf is not installed");
    const QString path = tempDir.filePath(QStringLiteral("chosen.ttf"));
    QVERIFY(QFile::copy(notoSansPath(), path));
    QCOMPARE(annotationFont(path).family(), QStringLiteral("Noto Sans"));

    QVERIFY(QFile::remove(path));
    QVERIFY(QFile::copy(serif, path));
    QCOMPARE(annotationFont(path).family(), QStringLiteral("Noto Serif"));

    QVERIFY(QFile::remove(path));
    QCOMPARE(annotationFont(path).family(),
             QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
}

void TestAnnotation::logoPlacement_data()
{
    QTest::addColumn<QSize>("logoSize");
    QTest::addColumn<double>("logoRatio");
    QTest::addColumn<QString>("position");
    QTest::addColumn<QRect>("expected");

    // 800 × 600 photo; at 0.2 the logo is 160 wide, a 2:1 logo 80 high.
    QTest::addRow("top left") << QSize(100, 50) << 0.2 << topLeft << QRect(10, 10, 160, 80);
    QTest::addRow("top right") << QSize(100, 50) << 0.2 << topRight << QRect(630, 10, 160, 80);
    QTest::addRow("bottom left") << QSize(100, 50) << 0.2 << bottomLeft << QRect(10, 510, 160, 80);
    QTest::addRow("bottom right") << QSize(100, 50) << 0.2 << bottomRight
                                  << QRect(630, 510, 160, 80);
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
    QImage image = blackPhoto();
    AnnotationStyle style = plainStyle();
    style.logoRatio = logoRatio;
    style.logoPosition = position;
    paintAnnotations(image, logo, style, captureDate, coordinateText, 0, false,
                     [](const QString &) {});

    const QRect box = paintedBox(image, image.rect());
    QVERIFY2(box == expected, qPrintable(describe(box)));
    for (int y = box.top(); y <= box.bottom(); ++y) {
        for (int x = box.left(); x <= box.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            QVERIFY2(qRed(pixel) == 0 && qGreen(pixel) == 0 && qBlue(pixel) >= 253,
                     qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        }
    }
}

void TestAnnotation::textAndRoseCoverLogo()
{
    // One large blue logo under the text lines and the rose, all bottom right.
    QImage logo(100, 100, QImage::Format_RGB32);
    logo.fill(QColor(0, 0, 255));
    QImage image = blackPhoto();
    AnnotationStyle style = plainStyle();
    style.logoRatio = 0.7;
    style.logoPosition = bottomRight;
    style.drawText = true;
    style.drawRose = true;
    style.roseRatio = 0.25;
    style.rosePosition = topRight;
    paintAnnotations(image, logo, style, captureDate, coordinateText, 0, true,
                     [](const QString &) {});

    // The rose sits at (640, 10) with its centre at (715, 85), over the logo's top right.
    QCOMPARE(image.pixel(715, 85), qRgb(255, 0, 0));
    int white = 0;
    for (int y = 560; y < 590; ++y)
        for (int x = 400; x < 790; ++x)
            white += image.pixel(x, y) == qRgb(255, 255, 255);
    QVERIFY2(white > 100, qPrintable(QString::number(white)));
}

void TestAnnotation::roseOnlyWithKnownHeading_data()
{
    QTest::addColumn<bool>("drawRose");
    QTest::addColumn<bool>("orientationKnown");
    QTest::addColumn<double>("orientation");
    QTest::addColumn<QStringList>("expectedLog");

    QTest::addRow("asked and known")
        << true << true << 123.4
        << QStringList{QStringLiteral("Dibujando rosa con orientación 123.4")};
    QTest::addRow("known heading of exactly 0")
        << true << true << 0.0 << QStringList{QStringLiteral("Dibujando rosa con orientación 0")};
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
    AnnotationStyle style = plainStyle();
    style.drawRose = drawRose;
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
    QTest::addRow("top left") << topLeft << QRect(10, 10, 150, 150);
    QTest::addRow("top right") << topRight << QRect(640, 10, 150, 150);
    QTest::addRow("bottom left") << bottomLeft << QRect(10, 440, 150, 150);
    QTest::addRow("bottom right") << bottomRight << QRect(640, 440, 150, 150);
    QTest::addRow("unknown name goes bottom right")
        << QStringLiteral("arriba") << QRect(640, 440, 150, 150);
}

void TestAnnotation::rosePlacement()
{
    QFETCH(QString, position);
    QFETCH(QRect, expected);

    QImage image = blackPhoto();
    AnnotationStyle style = plainStyle();
    style.drawRose = true;
    style.roseRatio = 0.25;
    style.rosePosition = position;
    paintAnnotations(image, QImage(), style, captureDate, coordinateText, 90, true,
                     [](const QString &) {});

    const QRect box = paintedBox(image, image.rect());
    QVERIFY2(edgesNear(box, expected, 1), qPrintable(describe(box)));
    // The needle points east from the rose's centre.
    const QPoint centre = expected.topLeft() + QPoint(75, 75);
    QCOMPARE(image.pixel(centre + QPoint(40, 0)), qRgb(255, 0, 0));
    QVERIFY(image.pixel(centre + QPoint(-40, 0)) != qRgb(255, 0, 0));
}

QTEST_MAIN(TestAnnotation)
#include "tst_annotation.moc"
