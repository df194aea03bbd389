// The per-photo UTM table read from a comma-separated coordinate text file.
#pragma once

#include "logline.h"

#include <QMap>
#include <QString>

struct CoordinateRecord
{
    int zoneNumber = 0;
    char zoneLetter = 'N';
    double easting = 0.0;
    double northing = 0.0;
    double orientation = 0.0; // meaningful only when hasOrientation is true
    bool hasOrientation = false;
};

bool operator==(const CoordinateRecord &a, const CoordinateRecord &b);

// Keyed by the photo's file name with extension, compared case-sensitively.
using CoordinateTable = QMap<QString, CoordinateRecord>;

// Reads the whole file; every rejected line costs one message through log and nothing else.
// An unreadable file gives one message and an empty table.
CoordinateTable readCoordinateFile(const QString &filePath, LogCallback log);

// One line the reader reported, for a caller that tells the user where to look.
struct RowProblem
{
    int lineNumber = 0;   // counted from 1 as an editor counts; 0: the file could not be opened
    QString message;      // the same text the plain reader sends
    bool rowKept = false; // a bad orientation only: the row is used without its heading
};

// The same reading, each problem with its line number.
CoordinateTable readCoordinateFile(const QString &filePath,
                                   const std::function<void(const RowProblem &)> &report);
