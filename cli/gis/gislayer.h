// A run's photos as a point layer for GIS tools, written through GDAL.
#pragma once

#include "utm.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// One processed photo.
struct LayerPoint
{
    QString originalName;          // archivo: the file name before the run
    QString finalName;             // archivo_final: the file name after renaming
    QDateTime date;                // fecha, written in ISO 8601 (with the zone the value carries)
    UtmPosition utm;               // zona, letra, easting, northing
    GeoPosition position;          // latitud, longitud, and the point's WGS84 geometry
    std::optional<double> heading; // orientacion; null when unknown
    QString source;                // fuente: "exif", "track", "txt" or "fija"
};

// The GDAL driver for the path's extension (case-insensitive): .gpkg GPKG, .geojson GeoJSON,
// .kml KML, .shp ESRI Shapefile, .csv CSV. Empty for any other extension.
QString layerDriverFor(const QString &path);

// Whether a layer may be written at path: a known extension and no existing file there (for a
// shapefile, none of its companion files either). False with a Spanish message otherwise. Meant
// to be called before a run touches anything.
bool checkLayerPath(const QString &path, QString &errorText);

// Writes the points, in the given order, as a new layer in EPSG:4326 (longitude, latitude).
// Never overwrites: an existing file is refused as checkLayerPath does. Shapefiles keep field
// names to 10 characters, so there archivo_final becomes "archivo_fi" and orientacion
// "orientacio" (GDAL's own truncation). On failure, what was created is removed and errorText
// says why.
bool writeLayer(const QString &path, const QList<LayerPoint> &points, QString &errorText);
