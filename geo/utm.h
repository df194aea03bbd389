// Conversion between WGS84 latitude/longitude and UTM (transverse Mercator series).
#pragma once

struct GeoPosition
{
    double latitude = 0.0;  // degrees, south negative
    double longitude = 0.0; // degrees, west negative
};

struct UtmPosition
{
    int zoneNumber = 0;
    char zoneLetter = 'N'; // latitude band; letters before 'N' are southern
    double easting = 0.0;  // metres, false easting included
    double northing = 0.0; // metres, false northing included in the south
};

bool operator==(const GeoPosition &a, const GeoPosition &b);
bool operator==(const UtmPosition &a, const UtmPosition &b);

// Never fails: out-of-range input still goes through the same formulas.
UtmPosition latLonToUtm(double latitude, double longitude);
UtmPosition latLonToUtm(const GeoPosition &position);

// The hemisphere comes from the letter alone: any letter before 'N' is southern.
GeoPosition utmToLatLon(const UtmPosition &position);
GeoPosition utmToLatLon(int zoneNumber, char zoneLetter, double easting, double northing);

// Whether a latitude/longitude read from a photo can be a place: within range, a number, and not
// exactly 0, 0 (what a camera without a fix often stores).
bool isPossiblePosition(double latitude, double longitude);
