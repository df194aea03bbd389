// The overview map of a report's cover, drawn with cairo in the run's UTM zone.
#pragma once

#include "reportdata.h"

#include <QByteArray>
#include <QRectF>
#include <QSize>
#include <QString>

#include <cairo.h>

// Draws the numbered placed photos (with an arrow for a heading), the tracks, the grid ticks, a
// scale bar and a north arrow into box; under them the basemap raster when one is named, warped
// by GDAL to the map's zone and extent. Numbers follow the order of the placed photos in
// run.photos, from 1. False with a Spanish message when the basemap cannot be drawn.
bool drawOverviewMap(cairo_t *cr, const QRectF &box, const ReportRun &run,
                     const QString &basemapPath, QString &errorText);

// The UTM zone most placed photos lie in, e.g. 19 south: EPSG 32719.
int overviewMapEpsg(const ReportRun &run);

// An image surface of the JPEG's size with the JPEG attached, which a PDF embeds as it is. Its
// pixels are left blank: the PDF never reads them, and untouched they take no memory. The caller
// owns the surface.
cairo_surface_t *jpegSurface(const QSize &size, const QByteArray &jpeg);
