// What a GPS track and a point layer add to a batch run: positions by capture time for photos
// without one, and the run's photos as layer points.
#pragma once

#include "batchjob.h"
#include "gislayer.h"
#include "gpstrack.h"

#include <QList>
#include <QVector>

#include <memory>

// The job's track lookup: the capture date taken to UTC (with the photo's OffsetTimeOriginal when
// the clock has no zone), matched in the track, with the photo's own EXIF heading. Its log line
// gives the position and the time matched, or why there is none.
TrackLookup trackLookupFor(std::shared_ptr<const GpsTrack> track, const CameraClock &clock,
                           int maxIntervalSeconds);

// One point per processed photo, in the outcomes' order. Positions without latitude/longitude
// (coordinate file, fixed fallback) are taken back from UTM.
QList<LayerPoint> layerPointsOf(const QVector<PhotoOutcome> &outcomes);
