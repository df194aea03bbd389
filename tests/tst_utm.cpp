// Latitude/longitude to UTM and back, against known survey values.
#include "utm.h"

#include <QTest>

#include <cmath>

class TestUtm : public QObject
{
    Q_OBJECT

private slots:
    void bothWays_data();
    void bothWays();
    void zoneAndBand_data();
    void zoneAndBand();
};

void TestUtm::bothWays_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<int>("zone");
    QTest::addColumn<char>("letter");
    QTest::addColumn<double>("easting");
    QTest::addColumn<double>("northing");

    QTest::addRow("paris") << 48.8583 << 2.2945 << 31 << 'U' << 448251.898 << 5411943.794;
    QTest::addRow("santiago") << -33.4378 << -70.6505 << 19 << 'H' << 346574.735 << 6298958.906;
    QTest::addRow("null island") << 0.0 << 0.0 << 31 << 'N' << 166021.443 << 0.0;
    QTest::addRow("just south of the equator")
        << -0.5 << -78.5 << 17 << 'M' << 778265.778 << 9944681.960;
    QTest::addRow("central meridian") << 36.1447181 << -3.0 << 30 << 'S' << 500000.0 << 4000000.0;
}

void TestUtm::bothWays()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(int, zone);
    QFETCH(char, letter);
    QFETCH(double, easting);
    QFETCH(double, northing);

    const UtmPosition utm = latLonToUtm(latitude, longitude);
    QCOMPARE(utm.zoneNumber, zone);
    QCOMPARE(utm.zoneLetter, letter);
    QVERIFY2(std::abs(utm.easting - easting) < 0.0005,
             qPrintable(QString::number(utm.easting, 'f', 4)));
    QVERIFY2(std::abs(utm.northing - northing) < 0.0005,
             qPrintable(QString::number(utm.northing, 'f', 4)));

    // Back again, and only the side of 'N' of the letter decides the hemisphere.
    const bool south = letter < 'N';
    for (char other : south ? QByteArray("CHM") : QByteArray("NPXzh")) {
        const GeoPosition geo = utmToLatLon(zone, other, easting, northing);
        QVERIFY2(std::abs(geo.latitude - latitude) < 5e-8 &&
                     std::abs(geo.longitude - longitude) < 5e-8,
                 qPrintable(QStringLiteral("%1: %2, %3")
                                .arg(other)
                                .arg(geo.latitude, 0, 'f', 9)
                                .arg(geo.longitude, 0, 'f', 9)));
    }
}

void TestUtm::zoneAndBand_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<int>("zone");
    QTest::addColumn<char>("letter");

    QTest::addRow("-180 is zone 1, 84 is X") << 84.0 << -180.0 << 1 << 'X';
    QTest::addRow("-174.0001 still zone 1, 72 is X") << 72.0 << -174.0001 << 1 << 'X';
    QTest::addRow("-174 starts zone 2, 71.999 is W") << 71.999 << -174.0 << 2 << 'W';
    QTest::addRow("no Norway exception") << 60.0 << 5.999 << 31 << 'V';
    QTest::addRow("6 starts zone 32, 8 is P") << 8.0 << 6.0 << 32 << 'P';
    QTest::addRow("179.9 is zone 60, 7.999 is N") << 7.999 << 179.9 << 60 << 'N';
    QTest::addRow("just below 0 is M") << -1e-9 << -70.0 << 19 << 'M';
    QTest::addRow("-32 is J") << -32.0 << -70.0 << 19 << 'J';
    QTest::addRow("-32.001 is H") << -32.001 << -70.0 << 19 << 'H';
    QTest::addRow("-56 is F") << -56.0 << -70.0 << 19 << 'F';
    QTest::addRow("-56.001 is E") << -56.001 << -70.0 << 19 << 'E';
    QTest::addRow("-80 is E") << -80.0 << -70.0 << 19 << 'E';
}

void TestUtm::zoneAndBand()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    const UtmPosition utm = latLonToUtm(latitude, longitude);
    QTEST(utm.zoneNumber, "zone");
    QTEST(utm.zoneLetter, "letter");
}

QTEST_GUILESS_MAIN(TestUtm)
#include "tst_utm.moc"
