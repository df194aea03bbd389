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

// What a script's sample does beyond the window's; the defaults are the window's.
struct SampleRules
{
    // A name that several photos share is written as the photo's path relative to the folder.
    bool relativeWhereRepeated = false;
    // An EXIF position that is no place (see isPossiblePosition) gets the placeholder row and a
    // line saying why, as the run would take it for missing.
    bool onlyPossiblePositions = false;
    // Eastings and northings rounded to whole metres as UTM names round them, instead of cut.
    bool roundedMetres = false;
    SampleWrite mode = SampleWrite::InPlace;
};

// One row per photo of the folder, in the coordinate file's format: its EXIF position when
// useExif is set and it has one, otherwise a placeholder row.
void writeSampleCoordinateFile(const QString &directory, const QString &outputPath,
                               bool includeSubdirectories, bool useExif, const SampleRules &rules,
                               const LogSink &log);
