// Latitude/longitude to UTM and back, against known survey values.
#include "utm.h"

#include <QTest>

#include <cmath>

Q_DECLARE_METATYPE(GeoPosition)
Q_DECLARE_METATYPE(UtmPosition)

namespace QTest {
template <> char *toString(const UtmPosition &p)
{
    return qstrdup(QByteArray("UtmPosition(" + QByteArray::number(p.zoneNumber) + p.zoneLetter +
                              " " + QByteArray::number(p.easting, 'f', 4) + " " +
                              QByteArray::number(p.northing, 'f', 4) + ")")
                       .constData());
}
} // namespace QTest

class TestUtm : public QObject
{
    Q_OBJECT

private slots:
    void toUtm_data();
    void toUtm();
    void zone_data();
    void zone();
    void band_data();
    void band();
    void falseNorthing();
    void centralMeridian_data();
    void centralMeridian();
    void toLatLon_data();
    void toLatLon();
    void hemisphereFromLetter();
    void roundTrip();
};

void TestUtm::toUtm_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");
    QTest::addColumn<UtmPosition>("expected");

    QTest::addRow("paris") << 48.8583 << 2.2945 << UtmPosition{31, 'U', 448251.898, 5411943.794};
    QTest::addRow("santiago") << -33.4378 << -70.6505
                              << UtmPosition{19, 'H', 346574.735, 6298958.906};
    QTest::addRow("null island") << 0.0 << 0.0 << UtmPosition{31, 'N', 166021.443, 0.0};
    QTest::addRow("bogota") << 4.6 << -74.08 << UtmPosition{18, 'N', 602049.765, 508514.880};
    QTest::addRow("just south of the equator")
        << -0.5 << -78.5 << UtmPosition{17, 'M', 778265.778, 9944681.960};
}

void TestUtm::toUtm()
{
    QFETCH(double, latitude);
    QFETCH(double, longitude);
    QFETCH(UtmPosition, expected);

    const UtmPosition utm = latLonToUtm(latitude, longitude);
    QCOMPARE(utm.zoneNumber, expected.zoneNumber);
    QCOMPARE(utm.zoneLetter, expected.zoneLetter);
    QVERIFY2(std::abs(utm.easting - expected.easting) < 0.0005, QTest::toString(utm));
    QVERIFY2(std::abs(utm.northing - expected.northing) < 0.0005, QTest::toString(utm));
    QCOMPARE(latLonToUtm(GeoPosition{latitude, longitude}), utm);
}

void TestUtm::zone_data()
{
    QTest::addColumn<double>("longitude");
    QTest::addColumn<int>("zone");

    QTest::addRow("-180 is zone 1") << -180.0 << 1;
    QTest::addRow("-174.0001 still zone 1") << -174.0001 << 1;
    QTest::addRow("-174 starts zone 2") << -174.0 << 2;
    QTest::addRow("5.999") << 5.999 << 31;
    QTest::addRow("6.0") << 6.0 << 32;
    QTest::addRow("179.9") << 179.9 << 60;
    QTest::addRow("no special zone for Norway") << 5.0 << 31;
}

void TestUtm::zone()
{
    QFETCH(double, longitude);
    QFETCH(int, zone);
    QCOMPARE(latLonToUtm(60.0, longitude).zoneNumber, zone);
}

void TestUtm::band_data()
{
    QTest::addColumn<double>("latitude");
    QTest::addColumn<char>("letter");

    QTest::addRow("89") << 89.0 << 'X';
    QTest::addRow("84") << 84.0 << 'X';
    QTest::addRow("72") << 72.0 << 'X';
    QTest::addRow("71.999") << 71.999 << 'W';
    QTest::addRow("8") << 8.0 << 'P';
    QTest::addRow("7.999") << 7.999 << 'N';
    QTest::addRow("0") << 0.0 << 'N';
    QTest::addRow("-1e-9") << -1e-9 << 'M';
    QTest::addRow("-8") << -8.0 << 'M';
    QTest::addRow("-32") << -32.0 << 'J';
    QTest::addRow("-32.001") << -32.001 << 'H';
    QTest::addRow("-56") << -56.0 << 'F';
    QTest::addRow("-56.001") << -56.001 << 'E';
    QTest::addRow("-80") << -80.0 << 'E';
}

void TestUtm::band()
{
    QFETCH(double, latitude);
    QFETCH(char, letter);
    QCOMPARE(latLonToUtm(latitude, -70.0).zoneLetter, letter);
}

void TestUtm::falseNorthing()
{
    // Exactly 0 is northern; anything below it, however small, gets the false northing.
    QCOMPARE(latLonToUtm(0.0, -69.0).northing, 0.0);
    const double justSouth = latLonToUtm(-1e-9, -69.0).northing;
    QVERIFY2(justSouth > 9999999.0 && justSouth < 10000000.0,
             qPrintable(QString::number(justSouth, 'f', 4)));
}

void TestUtm::centralMeridian_data()
{
    QTest::addColumn<double>("longitude");
    QTest::addColumn<int>("zone");
    QTest::addRow("-69 in zone 19") << -69.0 << 19;
    QTest::addRow("-3 in zone 30") << -3.0 << 30;
    QTest::addRow("3 in zone 31") << 3.0 << 31;
}

void TestUtm::centralMeridian()
{
    QFETCH(double, longitude);
    QFETCH(int, zone);
    for (double latitude : {-45.0, 0.0, 36.1447181}) {
        const UtmPosition utm = latLonToUtm(latitude, longitude);
        QCOMPARE(utm.zoneNumber, zone);
        QCOMPARE(utm.easting, 500000.0);
    }
    QCOMPARE(utmToLatLon(UtmPosition{zone, 'N', 500000.0, 4000000.0}).longitude, longitude);
}

void TestUtm::toLatLon_data()
{
    QTest::addColumn<UtmPosition>("utm");
    QTest::addColumn<double>("latitude");
    QTest::addColumn<double>("longitude");

    QTest::addRow("paris") << UtmPosition{31, 'U', 448251.898, 5411943.794} << 48.8583 << 2.2945;
    QTest::addRow("santiago") << UtmPosition{19, 'H', 346574.735, 6298958.906} << -33.4378
                              << -70.6505;
    QTest::addRow("santiago rounded")
        << UtmPosition{19, 'H', 346575, 6298959} << -33.4377992 << -70.6504971;
    QTest::addRow("just south of the equator")
        << UtmPosition{17, 'M', 778265.778, 9944681.960} << -0.5 << -78.5;
    QTest::addRow("bogota") << UtmPosition{18, 'N', 602049.765, 508514.880} << 4.6 << -74.08;
    QTest::addRow("central meridian")
        << UtmPosition{30, 'T', 500000, 4000000} << 36.1447181 << -3.0;
    QTest::addRow("lower-case letter is northern")
        << UtmPosition{19, 'h', 346574.735, 6298958.906} << 56.8091561 << -71.5130814;
}

void TestUtm::toLatLon()
{
    QFETCH(UtmPosition, utm);
    QFETCH(double, latitude);
    QFETCH(double, longitude);

    const GeoPosition geo = utmToLatLon(utm);
    QVERIFY2(std::abs(geo.latitude - latitude) < 5e-8,
             qPrintable(QString::number(geo.latitude, 'f', 9)));
    QVERIFY2(std::abs(geo.longitude - longitude) < 5e-8,
             qPrintable(QString::number(geo.longitude, 'f', 9)));
    QCOMPARE(utmToLatLon(utm.zoneNumber, utm.zoneLetter, utm.easting, utm.northing), geo);
}

void TestUtm::hemisphereFromLetter()
{
    // Only the side of 'N' matters: every northern letter gives the same result, and so does
    // every southern one.
    const UtmPosition north{19, 'N', 346574.735, 6298958.906};
    const GeoPosition n = utmToLatLon(north);
    for (char letter : {'P', 'X', 'Z', 'a', 'h', 'z'}) {
        UtmPosition p = north;
        p.zoneLetter = letter;
        QCOMPARE(utmToLatLon(p), n);
    }
    UtmPosition south = north;
    south.zoneLetter = 'C';
    const GeoPosition s = utmToLatLon(south);
    QVERIFY(s.latitude < 0);
    for (char letter : {'A', 'H', 'M'}) {
        UtmPosition p = north;
        p.zoneLetter = letter;
        QCOMPARE(utmToLatLon(p), s);
    }
}

void TestUtm::roundTrip()
{
    int checked = 0;
    for (double latitude = -80.0; latitude <= 84.0; latitude += 0.75) {
        for (double longitude = -179.5; longitude < 180.0; longitude += 7.3) {
            const UtmPosition utm = latLonToUtm(latitude, longitude);
            const GeoPosition back = utmToLatLon(utm);
            if (std::abs(back.latitude - latitude) >= 1e-7 ||
                std::abs(back.longitude - longitude) >= 1e-7) {
                QFAIL(qPrintable(QStringLiteral("%1, %2 came back as %3, %4")
                                     .arg(latitude, 0, 'g', 10)
                                     .arg(longitude, 0, 'g', 10)
                                     .arg(back.latitude, 0, 'g', 10)
                                     .arg(back.longitude, 0, 'g', 10)));
            }
            ++checked;
        }
    }
    QVERIFY(checked > 10000);
}

QTEST_GUILESS_MAIN(TestUtm)
#include "tst_utm.moc"
