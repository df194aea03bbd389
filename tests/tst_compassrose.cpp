// The compass rose: its layout numbers, its needle, and the pixels that show them.
#include "compassrose.h"
#include "photoprocessor.h"

#include <QCoreApplication>
#include <QFile>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstdlib>

namespace {

QString notoSansPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
}

bool isRed(QRgb pixel)
{
    return qAlpha(pixel) == 255 && qRed(pixel) > 220 && qGreen(pixel) < 40 && qBlue(pixel) < 40;
}

bool isWhite(QRgb pixel)
{
    return qAlpha(pixel) == 255 && qRed(pixel) > 245 && qGreen(pixel) > 245 && qBlue(pixel) > 245;
}

// The largest difference of any channel of any pixel; images must be the same size.
int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            largest =
                std::max({largest, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                          std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    }
    return largest;
}

QString describe(const QRect &r)
{
    return QStringLiteral("(%1, %2)-(%3, %4)")
        .arg(r.left())
        .arg(r.top())
        .arg(r.right())
        .arg(r.bottom());
}

bool withinOnePixel(const QRect &actual, const QRect &expected)
{
    return std::abs(actual.left() - expected.left()) <= 1 &&
           std::abs(actual.right() - expected.right()) <= 1 &&
           std::abs(actual.top() - expected.top()) <= 1 &&
           std::abs(actual.bottom() - expected.bottom()) <= 1;
}

} // namespace

class TestCompassRose : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void layout_data();
    void layout();
    void needle_data();
    void needle();
    void needleTipIsRed_data();
    void needleTipIsRed();
    void equivalentHeadings_data();
    void equivalentHeadings();
    void transparentCornersAndGreyDisc();
    void emptyBelowOnePixel_data();
    void emptyBelowOnePixel();
    void lettersWithAnyFontPath_data();
    void lettersWithAnyFontPath();
    void letterPlacement();

private:
    QTemporaryDir tempDir;
    QString notoSansFamily;
};

void TestCompassRose::initTestCase()
{
    QVERIFY2(QFile::exists(notoSansPath()), qPrintable(notoSansPath()));
    QVERIFY(tempDir.isValid());
    const int id = QFontDatabase::addApplicationFont(notoSansPath());
    QVERIFY(id != -1);
    notoSansFamily = QFontDatabase::applicationFontFamilies(id).value(0);
    QCOMPARE(notoSansFamily, QStringLiteral("Noto Sans"));
}

void TestCompassRose::layout_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<double>("ratio");
    QTest::addColumn<int>("centre");
    QTest::addColumn<int>("ringWidth");
    QTest::addColumn<int>("radius");
    QTest::addColumn<int>("letterMargin");
    QTest::addColumn<int>("letterPointSize");
    QTest::addColumn<int>("inner");

    QTest::addRow("4000x3000 photo at the default ratio")
        << 540 << 0.18 << 270 << 2 << 269 << 21 << 67 << 24;
    QTest::addRow("largest ratio, wide ring") << 1500 << 0.5 << 750 << 22 << 739 << 59 << 184 << 92;
    QTest::addRow("ring raised to 2, letters above 10")
        << 100 << 0.18 << 50 << 2 << 49 << 3 << 12 << 6;
    QTest::addRow("tiny rose, every minimum") << 20 << 0.05 << 10 << 2 << 9 << 2 << 10 << 5;
}

void TestCompassRose::layout()
{
    QFETCH(int, size);
    QFETCH(double, ratio);

    const CompassRoseLayout layout = compassRoseLayout(size, ratio);
    QTEST(layout.centre, "centre");
    QTEST(layout.ringWidth, "ringWidth");
    QTEST(layout.radius, "radius");
    QTEST(layout.letterMargin, "letterMargin");
    QTEST(layout.letterPointSize, "letterPointSize");
    QTEST(layout.inner, "inner");
}

void TestCompassRose::needle_data()
{
    QTest::addColumn<double>("orientation");
    QTest::addColumn<QPointF>("firstCorner");
    QTest::addColumn<QPointF>("tip");
    QTest::addColumn<QPointF>("secondCorner");

    QTest::addRow("north") << 0.0 << QPointF(301.94375, 295.555) << QPointF(270, 14.45)
                           << QPointF(238.05625, 295.555);
    QTest::addRow("east") << 90.0 << QPointF(244.445, 301.94375) << QPointF(525.55, 270)
                          << QPointF(244.445, 238.05625);
    QTest::addRow("south") << 180.0 << QPointF(238.05625, 244.445) << QPointF(270, 525.55)
                           << QPointF(301.94375, 244.445);
}

void TestCompassRose::needle()
{
    QFETCH(double, orientation);
    QFETCH(QPointF, firstCorner);
    QFETCH(QPointF, tip);
    QFETCH(QPointF, secondCorner);

    const QPolygonF needle = compassRoseNeedle(orientation, compassRoseLayout(540, 0.18));
    QCOMPARE(needle.size(), 3);
    const QList<QPointF> expected{firstCorner, tip, secondCorner};
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(std::abs(needle[i].x() - expected[i].x()) < 1e-9 &&
                     std::abs(needle[i].y() - expected[i].y()) < 1e-9,
                 qPrintable(QStringLiteral("point %1 is (%2, %3)")
                                .arg(i)
                                .arg(needle[i].x(), 0, 'f', 12)
                                .arg(needle[i].y(), 0, 'f', 12)));
    }
}

void TestCompassRose::needleTipIsRed_data()
{
    QTest::addColumn<double>("orientation");
    QTest::addColumn<QPoint>("nearTip");
    QTest::addColumn<QPoint>("behindCentre");

    // 20 pixels inside the tip, where the needle is over four pixels wide, and the same
    // distance on the far side of the centre, past the needle's base.
    QTest::addRow("north") << 0.0 << QPoint(270, 34) << QPoint(270, 325);
    QTest::addRow("east") << 90.0 << QPoint(505, 270) << QPoint(215, 270);
    QTest::addRow("south") << 180.0 << QPoint(270, 505) << QPoint(270, 215);
    QTest::addRow("west") << 270.0 << QPoint(34, 270) << QPoint(325, 270);
}

void TestCompassRose::needleTipIsRed()
{
    QFETCH(double, orientation);
    QFETCH(QPoint, nearTip);
    QFETCH(QPoint, behindCentre);

    const QImage rose = PhotoProcessor::createCompassRose(orientation, 540, 0.18, notoSansPath());
    QCOMPARE(rose.format(), QImage::Format_ARGB32);
    QCOMPARE(rose.size(), QSize(540, 540));
    QVERIFY2(isRed(rose.pixel(nearTip)), qPrintable(QString::number(rose.pixel(nearTip), 16)));
    QVERIFY(isRed(rose.pixel(270, 270)));
    QVERIFY(!isRed(rose.pixel(behindCentre)));
}

void TestCompassRose::equivalentHeadings_data()
{
    QTest::addColumn<double>("orientation");
    QTest::addColumn<double>("reference");
    QTest::addColumn<bool>("same");

    QTest::addRow("full turn") << 360.0 << 0.0 << true;
    QTest::addRow("full turn back") << -360.0 << 0.0 << true;
    QTest::addRow("east after a full turn") << 450.0 << 90.0 << true;
    QTest::addRow("one degree apart differs") << 1.0 << 0.0 << false;
}

void TestCompassRose::equivalentHeadings()
{
    QFETCH(double, orientation);
    QFETCH(double, reference);
    QFETCH(bool, same);

    const QImage rose = PhotoProcessor::createCompassRose(orientation, 540, 0.18, notoSansPath());
    const QImage expected = PhotoProcessor::createCompassRose(reference, 540, 0.18, notoSansPath());
    // Rounding in the sine and cosine may shift an edge pixel's coverage by a step or two.
    const int difference = largestDifference(rose, expected);
    if (same)
        QVERIFY2(difference <= 3, qPrintable(QString::number(difference)));
    else
        QVERIFY2(difference > 100, qPrintable(QString::number(difference)));
}

void TestCompassRose::transparentCornersAndGreyDisc()
{
    const int size = 540;
    const QImage rose = PhotoProcessor::createCompassRose(0, size, 0.18, notoSansPath());

    for (const QPoint corner : {QPoint(0, 0), QPoint(size - 1, 0), QPoint(0, size - 1),
                                QPoint(size - 1, size - 1), QPoint(40, 40), QPoint(500, 500)})
        QVERIFY2(rose.pixel(corner) == 0, qPrintable(QStringLiteral("(%1, %2) is %3")
                                                         .arg(corner.x())
                                                         .arg(corner.y())
                                                         .arg(rose.pixel(corner), 8, 16)));

    // Halfway out on the diagonals: clear of the letters, the ring and a northward needle.
    for (const QPoint inside : {QPoint(365, 365), QPoint(175, 175), QPoint(365, 175)}) {
        const QRgb pixel = rose.pixel(inside);
        QVERIFY2(std::abs(qRed(pixel) - 211) <= 1 && std::abs(qGreen(pixel) - 211) <= 1 &&
                     std::abs(qBlue(pixel) - 211) <= 1 && std::abs(qAlpha(pixel) - 128) <= 1,
                 qPrintable(QString::number(pixel, 16)));
    }

    // The ring's white stroke lies just inside the image edge at the top.
    QVERIFY(isWhite(rose.pixel(270, 1)));
}

void TestCompassRose::emptyBelowOnePixel_data()
{
    QTest::addColumn<int>("size");

    QTest::addRow("zero") << 0;
    QTest::addRow("negative") << -5;
}

void TestCompassRose::emptyBelowOnePixel()
{
    QFETCH(int, size);

    QVERIFY(PhotoProcessor::createCompassRose(45, size, 0.18, notoSansPath()).isNull());
}

void TestCompassRose::lettersWithAnyFontPath_data()
{
    QTest::addColumn<QString>("fontPath");

    const QString notAFont = tempDir.filePath(QStringLiteral("notafont.ttf"));
    QFile file(notAFont);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("these bytes are no font at all\n");
    file.close();

    QTest::addRow("bundled font") << notoSansPath();
    QTest::addRow("empty path") << QString();
    QTest::addRow("missing file") << tempDir.filePath(QStringLiteral("missing.ttf"));
    QTest::addRow("file that is not a font") << notAFont;
}

void TestCompassRose::lettersWithAnyFontPath()
{
    QFETCH(QString, fontPath);

    const int size = 540;
    const CompassRoseLayout layout = compassRoseLayout(size, 0.18);
    // Heading south keeps the needle away from the N.
    const QImage rose = PhotoProcessor::createCompassRose(180, size, 0.18, fontPath);

    // The N lies centred under the ring, its top at the letter inset.
    const QRect letterN(layout.centre - 60, layout.inner, 120, 100);
    int white = 0;
    for (int y = letterN.top(); y <= letterN.bottom(); ++y)
        for (int x = letterN.left(); x <= letterN.right(); ++x)
            white += isWhite(rose.pixel(x, y));
    QVERIFY2(white > 200, qPrintable(QString::number(white)));
}

void TestCompassRose::letterPlacement()
{
    const int size = 540;
    const CompassRoseLayout layout = compassRoseLayout(size, 0.18);
    const QImage rose = PhotoProcessor::createCompassRose(45, size, 0.18, notoSansPath());

    QFont font(notoSansFamily);
    font.setPointSize(layout.letterPointSize);
    font.setBold(true);
    const QFontMetrics metrics(font);
    const int h = metrics.height();
    const int a = metrics.ascent();
    const int cx = layout.centre;
    const int inner = layout.inner;

    // Where each letter's ink must land: its tight box moved to its left edge and baseline.
    const auto inkBox = [&metrics](const QString &letter, int x, int y) {
        return metrics.tightBoundingRect(letter).translated(x, y);
    };
    const QList<QPair<QString, QRect>> letters{
        {QStringLiteral("N"),
         inkBox(QStringLiteral("N"), cx - metrics.horizontalAdvance(QStringLiteral("N")) / 2,
                inner + a)},
        {QStringLiteral("S"),
         inkBox(QStringLiteral("S"), cx - metrics.horizontalAdvance(QStringLiteral("S")) / 2,
                size - inner - h + a)},
        {QStringLiteral("E"),
         inkBox(QStringLiteral("E"), size - inner - metrics.horizontalAdvance(QStringLiteral("E")),
                cx - h / 2 + a)},
        {QStringLiteral("W"), inkBox(QStringLiteral("W"), inner, cx - h / 2 + a)},
    };

    for (const auto &[letter, expected] : letters) {
        QRect ink;
        const QRect search = expected.adjusted(-4, -4, 4, 4);
        for (int y = search.top(); y <= search.bottom(); ++y)
            for (int x = search.left(); x <= search.right(); ++x)
                if (qAlpha(rose.pixel(x, y)) >= 200 && qBlue(rose.pixel(x, y)) >= 200)
                    ink |= QRect(x, y, 1, 1);
        QVERIFY2(withinOnePixel(ink, expected),
                 qPrintable(letter + QStringLiteral(": ink ") + describe(ink) +
                            QStringLiteral(", expected ") + describe(expected)));
    }
}

QTEST_MAIN(TestCompassRose)
#include "tst_compassrose.moc"
