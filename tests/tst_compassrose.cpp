// The compass rose: its layout numbers, its needle, and the pixels that show them.
#include "compassrose.h"
#include "photoprocessor.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

#include <cmath>

namespace {

QString notoSansPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/notosans.ttf");
}

bool isRed(QRgb pixel)
{
    return qAlpha(pixel) == 255 && qRed(pixel) > 220 && qGreen(pixel) < 40 && qBlue(pixel) < 40;
}

} // namespace

class TestCompassRose : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(QFile::exists(notoSansPath()), qPrintable(notoSansPath())); }
    void layout_data();
    void layout();
    void needle_data();
    void needle();
    void needleTipIsRed_data();
    void needleTipIsRed();
    void transparentCornersAndGreyDisc();
};

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
    for (int i = 0; i < 3; ++i)
        QVERIFY2(std::abs(needle[i].x() - expected[i].x()) < 1e-9 &&
                     std::abs(needle[i].y() - expected[i].y()) < 1e-9,
                 qPrintable(QStringLiteral("point %1 is (%2, %3)")
                                .arg(i)
                                .arg(needle[i].x(), 0, 'f', 12)
                                .arg(needle[i].y(), 0, 'f', 12)));
}

void TestCompassRose::needleTipIsRed_data()
{
    QTest::addColumn<double>("orientation");
    QTest::addColumn<QPoint>("nearTip");
    QTest::addColumn<QPoint>("behindCentre");

    // 20 pixels inside the tip, where the needle is over four pixels wide, and the same
    // distance on the far side of the centre, past the needle's base.
    QTest::addRow("north") << 0.0 << QPoint(270, 34) << QPoint(270, 325);
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

void TestCompassRose::transparentCornersAndGreyDisc()
{
    QVERIFY(PhotoProcessor::createCompassRose(45, 0, 0.18, notoSansPath()).isNull());

    const QImage rose = PhotoProcessor::createCompassRose(0, 540, 0.18, notoSansPath());
    for (const QPoint corner : {QPoint(0, 0), QPoint(539, 0), QPoint(0, 539), QPoint(539, 539),
                                QPoint(40, 40), QPoint(500, 500)})
        QVERIFY2(rose.pixel(corner) == 0, qPrintable(QString::number(rose.pixel(corner), 16)));

    // Halfway out on the diagonals: clear of the letters, the ring and a northward needle.
    for (const QPoint inside : {QPoint(365, 365), QPoint(175, 175)}) {
        const QRgb pixel = rose.pixel(inside);
        QVERIFY2(std::abs(qRed(pixel) - 211) <= 1 && std::abs(qGreen(pixel) - 211) <= 1 &&
                     std::abs(qBlue(pixel) - 211) <= 1 && std::abs(qAlpha(pixel) - 128) <= 1,
                 qPrintable(QString::number(pixel, 16)));
    }

    // The ring's white stroke lies just inside the image edge at the top.
    const QRgb ring = rose.pixel(270, 1);
    QVERIFY2(qAlpha(ring) == 255 && qRed(ring) > 245 && qGreen(ring) > 245 && qBlue(ring) > 245,
             qPrintable(QString::number(ring, 16)));
}

QTEST_MAIN(TestCompassRose)
#include "tst_compassrose.moc"
