// The one batch engine: a folder's photos run with one or many workers, for real or as a dry
// run, with the same names, bytes and log whatever the number of workers.
#pragma once

#include "batchjob.h"

#include <QImage>
#include <QVector>

// Runs the job and returns one outcome per listed photo, in listing order. workers is taken
// within 1..maxWorkers. An exception other than the per-photo failures ends the run: no further
// photo is started, those under way are finished and logged, and the exception then reaches the
// caller.
QVector<PhotoOutcome> runBatch(const BatchJob &job);

// What the job would stamp on the photo at path, decoded and painted, with nothing touched (the
// run's file steps are only recorded), scaled down to longSide pixels on its longer side. Null
// when the run would leave the photo as it is or it does not decode; the job's log says why.
QImage previewPhoto(const BatchJob &job, const QString &path, int longSide);
