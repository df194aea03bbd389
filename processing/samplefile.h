// The sample coordinate text file for a folder.
#pragma once

#include "logline.h"

#include <QString>

// One row per photo of the folder, in the coordinate file's format: its EXIF position when
// useExif is set and it has one, otherwise a placeholder row.
void writeSampleCoordinateFile(const QString &directory, const QString &outputPath,
                               bool includeSubdirectories, bool useExif, const LogSink &log);
