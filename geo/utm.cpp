// The classical USGS transverse Mercator series; constants and operation order are kept exactly
// as written so that results are reproducible to the last bit.
#include "utm.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kA = 6378137.0;
constexpr double kEccSquared = 0.0066943799901413165;
constexpr double kEccPrimeSquared = 0.006739496742276434;
constexpr double kK0 = 0.9996;
constexpr double kFalseEasting = 500000.0;
constexpr double kFalseNorthing = 10000000.0;
constexpr double kPi = 3.141592653589793;
constexpr double kM1 = 0.9983242984527954;
constexpr double kM2 = 0.002514607060518705;
constexpr double kM3 = 2.6390465943376213e-06;
constexpr double kM4 = 3.4180460865957878e-09;
constexpr double k58EccPrimeSquared = 0.39089081105203316;
constexpr double k330EccPrimeSquared = 2.224033924951223;

char bandLetter(double latitude)
{
    struct Band
    {
        double bound;
        char letter;
    };
    static constexpr Band bands[] = {
        {72, 'X'},  {64, 'W'},  {56, 'V'},  {48, 'U'},  {40, 'T'},  {32, 'S'},
        {24, 'R'},  {16, 'Q'},  {8, 'P'},   {0, 'N'},   {-8, 'M'},  {-16, 'L'},
        {-24, 'K'}, {-32, 'J'}, {-40, 'H'}, {-48, 'G'}, {-56, 'F'},
    };
    for (const Band &band : bands) {
        if (latitude >= band.bound)
            return band.letter;
    }
    return 'E';
}

// Zone arithmetic on nonsense longitudes (NaN, infinite, far outside -180..180) must stay
// defined: the truncation below gives the value the processor's own conversion gives there
// (INT_MIN), and sums wrap around in 32 bits, so such longitudes keep the zone they always had.
int truncatedToInt(double value)
{
    constexpr double low = static_cast<double>(std::numeric_limits<int32_t>::min()) - 1.0;
    constexpr double high = static_cast<double>(std::numeric_limits<int32_t>::max()) + 1.0;
    if (!(value > low && value < high))
        return std::numeric_limits<int32_t>::min();
    return static_cast<int>(value);
}

int wrapped(int64_t value)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

double centralMeridianRadians(int zoneNumber)
{
    const int degrees = wrapped(static_cast<int64_t>(zoneNumber) * 6 - 183);
    return static_cast<double>(degrees) * kPi / 180;
}

} // namespace

bool operator==(const GeoPosition &a, const GeoPosition &b)
{
    return a.latitude == b.latitude && a.longitude == b.longitude;
}

bool operator==(const UtmPosition &a, const UtmPosition &b)
{
    return a.zoneNumber == b.zoneNumber && a.zoneLetter == b.zoneLetter && a.easting == b.easting &&
           a.northing == b.northing;
}

UtmPosition latLonToUtm(const GeoPosition &position)
{
    return latLonToUtm(position.latitude, position.longitude);
}

UtmPosition latLonToUtm(double latitude, double longitude)
{
    UtmPosition utm;
    // Truncating a division by -6 (rather than flooring by +6) is what places -180 in zone 1.
    const int t = truncatedToInt((longitude + 180) / (-6));
    utm.zoneNumber = wrapped(1 - static_cast<int64_t>(t));
    utm.zoneLetter = bandLetter(latitude);

    const double phi = latitude * kPi / 180;
    const double sinPhi = std::sin(phi);
    const double cosPhi = std::cos(phi);
    const double tanPhi = std::tan(phi);
    const double n = kA / std::sqrt(1 - sinPhi * kEccSquared * sinPhi);
    const double t2 = tanPhi * tanPhi;
    const double c = cosPhi * kEccPrimeSquared * cosPhi;
    const double lambda0 = centralMeridianRadians(utm.zoneNumber);
    const double a = cosPhi * (longitude * kPi / 180 - lambda0);
    const double m = kA * (kM1 * phi - kM2 * std::sin(2 * phi) + kM3 * std::sin(4 * phi) -
                           kM4 * std::sin(6 * phi));

    utm.easting =
        kK0 * n *
            (a + (1 - t2 + c) * std::pow(a, 3) / 6 +
             (5 - 18 * t2 + t2 * t2 + 72 * c - k58EccPrimeSquared) * std::pow(a, 5) / 120) +
        kFalseEasting;
    utm.northing =
        kK0 *
        (m + n * tanPhi *
                 (a * a / 2 + (5 - t2 + 9 * c + 4 * std::pow(c, 2)) * std::pow(a, 4) / 24 +
                  (61 - 58 * t2 + t2 * t2 + 600 * c - k330EccPrimeSquared) * std::pow(a, 6) / 720));
    if (latitude < 0)
        utm.northing += kFalseNorthing;
    return utm;
}

GeoPosition utmToLatLon(const UtmPosition &position)
{
    return utmToLatLon(position.zoneNumber, position.zoneLetter, position.easting,
                       position.northing);
}

GeoPosition utmToLatLon(int zoneNumber, char zoneLetter, double easting, double northing)
{
    // Compared as signed chars: lower-case letters sort after 'N' and so count as northern.
    const bool southern = static_cast<signed char>(zoneLetter) < static_cast<signed char>('N');
    const double x = easting - kFalseEasting;
    double y = northing;
    if (southern)
        y -= kFalseNorthing;

    // The inverse works with e·e, which may differ from the stored e² in the last bit.
    const double e = std::sqrt(kEccSquared);
    const double e2 = e * e;
    const double e4 = e2 * e2;
    const double e6 = e4 * e2;
    const double sqrtOneMinusE2 = std::sqrt(1 - e2);
    const double e1 = (1 - sqrtOneMinusE2) / (1 + sqrtOneMinusE2);

    const double m = y / kK0;
    const double mu = m / (kA * (1 - e2 / 4 - 3 * e4 / 64 - 5 * e6 / 256));
    const double phi1 = mu + (3 * e1 / 2 - 27 * std::pow(e1, 3) / 32) * std::sin(2 * mu) +
                        (21 * std::pow(e1, 2) / 16 - 55 * std::pow(e1, 4) / 32) * std::sin(4 * mu) +
                        (151 * std::pow(e1, 3) / 96) * std::sin(6 * mu) +
                        (1097 * std::pow(e1, 4) / 512) * std::sin(8 * mu);

    const double ePrime2 = e2 / (1 - e2);
    const double sinPhi1 = std::sin(phi1);
    const double cosPhi1 = std::cos(phi1);
    const double tanPhi1 = std::tan(phi1);
    const double c1 = ePrime2 * cosPhi1 * cosPhi1;
    const double t1 = tanPhi1 * tanPhi1;
    const double w = 1 - sinPhi1 * e2 * sinPhi1;
    const double n1 = kA / std::sqrt(w);
    const double r1 = kA * (1 - e2) / std::pow(w, 1.5);
    const double d = x / (n1 * kK0);

    const double latitude =
        phi1 -
        (n1 * tanPhi1 / r1) *
            (d * d / 2 - (5 + 3 * t1 + 10 * c1 - 4 * c1 * c1 - 9 * ePrime2) * std::pow(d, 4) / 24 +
             (61 + 90 * t1 + 298 * c1 + 45 * t1 * t1 - 252 * ePrime2 - 3 * c1 * c1) *
                 std::pow(d, 6) / 720);
    const double lambda0 = centralMeridianRadians(zoneNumber);
    const double longitude =
        (d - (1 + 2 * t1 + c1) * std::pow(d, 3) / 6 +
         (5 - 2 * c1 + 28 * t1 - 3 * c1 * c1 + 8 * ePrime2 + 24 * t1 * t1) * std::pow(d, 5) / 120) /
            cosPhi1 +
        lambda0;

    return GeoPosition{latitude * 180 / kPi, longitude * 180 / kPi};
}

bool isPossiblePosition(double latitude, double longitude)
{
    // Comparisons with NaN are false, so a NaN never passes.
    return std::abs(latitude) <= 90.0 && std::abs(longitude) <= 180.0 &&
           !(latitude == 0.0 && longitude == 0.0);
}
