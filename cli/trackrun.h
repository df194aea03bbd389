// What a GPS track and a point layer add to a batch run: positions by capture time for photos
// without one, and the run's photos as layer points.
#pragma once

#include "batchjob.h"
#include "gislayer.h"
#include "gpstrack.h"

#include <QList>
#include <QVector>

#include <memory>

// The job's track lookup: the capture time (the query's captureTime, never the stamped date)
// taken to UTC (the clock's zone, else the photo's OffsetTimeOriginal, else the offset the time
// states, else this machine's zone), matched in the track, with the photo's own EXIF heading.
// Its log line names the tag the time came from and gives the position and the time matched, or
// why there is none.
TrackLookup trackLookupFor(std::shared_ptr<const GpsTrack> track, const CameraClock &clock,
                           int maxIntervalSeconds);

// One point per processed photo, and one without geometry per photo left untouched for want of
// a position, in the outcomes' order. Positions without latitude/longitude (coordinate file,
// fixed position) are taken back from UTM. Dates carry their UTC offset when it is known
// (cameraZoneSeconds, the --zona-camara, first).
QList<LayerPoint> layerPointsOf(const QVector<PhotoOutcome> &outcomes,
                                std::optional<int> cameraZoneSeconds = std::nullopt);
