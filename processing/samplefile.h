// The sample coordinate text file for a folder.
#pragma once

#include "logline.h"

#include <QString>

// How the file is written. The window's way opens the file in place, replacing what was there,
// and reports it created whatever the writes did; a script's run needs the whole file or none,
// and to know when it got none.
enum class SampleWrite {
    InPlace,
    Whole // through a temporary file renamed at the end; a failed write is an error line and
          // no "creado" line
};

// One row per photo of the folder, in the coordinate file's format: its EXIF position when
// useExif is set and it has one, otherwise a placeholder row. With relativeWhereRepeated a name
// that several photos share is written as the photo's path relative to the folder.
void writeSampleCoordinateFile(const QString &directory, const QString &outputPath,
                               bool includeSubdirectories, bool useExif, bool relativeWhereRepeated,
                               const LogSink &log, SampleWrite mode = SampleWrite::InPlace);
