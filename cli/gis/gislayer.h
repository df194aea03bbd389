// A run's photos as a point layer for GIS tools, written through GDAL.
#pragma once

#include "utm.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// One processed photo, or one left without a position.
struct LayerPoint
{
    QString originalName;              // archivo: the file name before the run
    QString finalName;                 // archivo_final: the file name after renaming
    QDateTime date;                    // fecha, in ISO 8601 with the offset the value carries
    bool located = true;               // false: no geometry, and the position fields are null
    UtmPosition utm;                   // zona, letra, easting, northing
    GeoPosition position;              // latitud, longitud, and the point's WGS84 geometry
    std::optional<double> heading;     // orientacion; null when unknown
    std::optional<double> errorMetres; // error_m: the camera's stated positioning error
    QString source; // fuente: "exif", "track", "txt" or "fija"; why there is none when not located
    // Text fields after the fixed ones, by name: the photo's --atributos columns.
    QList<QPair<QString, QString>> attributes;
};

// The GDAL driver for the path's extension (case-insensitive): .gpkg GPKG, .geojson GeoJSON,
// .kml LIBKML, .shp ESRI Shapefile, .csv CSV. Empty for any other extension.
QString layerDriverFor(const QString &path);

// Whether a layer may be written at path: a known extension, no existing file there (for a
// shapefile or CSV, none of its companion files either), and a folder that takes a new file (a
// file is created there and removed). False with a Spanish message otherwise. Meant to be called
// before a run touches anything.
bool checkLayerPath(const QString &path, QString &errorText);

// Writes the points, in the given order, as a new layer in EPSG:4326 (longitude, latitude).
// Never overwrites: an existing file is refused as checkLayerPath does. Shapefiles keep field
// names to 10 characters, so there archivo_final becomes "archivo_fi" and orientacion
// "orientacio" (GDAL's own truncation). KML placemarks carry the final name and the date as
// their TimeStamp; CSV comes with its column types (X and Y as coordinates) in a .csvt and its
// reference system in a .prj, so GIS tools place the points without asking. On failure, closing
// included (some formats only write then), what was created is removed and errorText says why,
// with GDAL's message.
bool writeLayer(const QString &path, const QList<LayerPoint> &points, QString &errorText);
