#include "coordinatefile.h"

bool operator==(const CoordinateRecord &a, const CoordinateRecord &b)
{
    return a.zoneNumber == b.zoneNumber && a.zoneLetter == b.zoneLetter &&
           a.easting == b.easting && a.northing == b.northing &&
           a.hasOrientation == b.hasOrientation &&
           (!a.hasOrientation || a.orientation == b.orientation);
}

CoordinateTable readCoordinateFile(const QString &filePath, LogCallback log)
{
    // TODO(coordfile helper): not implemented yet.
    Q_UNUSED(filePath);
    Q_UNUSED(log);
    return {};
}
