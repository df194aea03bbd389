// What a GPS track and a point layer add to a batch run: positions by capture time for photos
// without one, and the run's photos as layer points.
#pragma once

#include "batchengine.h"
#include "gislayer.h"
#include "gpstrack.h"

#include <QList>
#include <QVector>

#include <memory>

// The job's position fallback from a track: the capture date taken to UTC (the photo's
// OffsetTimeOriginal is read when the clock has no zone), matched in the track, with the photo's
// own EXIF heading. Its log line gives the position and the time matched, or why there is none.
PositionFallback trackPositionFallback(std::shared_ptr<const GpsTrack> track,
                                       const CameraClock &clock, int maxIntervalSeconds);

// One point per processed photo, in the outcomes' order. Positions without latitude/longitude
// (coordinate file, fixed fallback) are taken back from UTM.
QList<LayerPoint> layerPointsOf(const QVector<PhotoOutcome> &outcomes);
