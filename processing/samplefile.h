// The sample coordinate text file for a folder.
#pragma once

#include "logline.h"

#include <QString>

// One row per photo of the folder, in the coordinate file's format: its EXIF position when
// useExif is set and it has one, otherwise a placeholder row. With relativeWhereRepeated a name
// that several photos share is written as the photo's path relative to the folder.
void writeSampleCoordinateFile(const QString &directory, const QString &outputPath,
                               bool includeSubdirectories, bool useExif, bool relativeWhereRepeated,
                               const LogSink &log);
