// The one batch engine: a folder's photos run with one or many workers, for real or as a dry
// run, with the same names, bytes and log whatever the number of workers.
#pragma once

#include "batchjob.h"

#include <QVector>

// Runs the job and returns one outcome per listed photo, in listing order. workers is taken
// within 1..maxWorkers. An exception other than the per-photo failures ends the run: no further
// photo is started, those under way are finished and logged, and the exception then reaches the
// caller.
QVector<PhotoOutcome> runBatch(const BatchJob &job);
