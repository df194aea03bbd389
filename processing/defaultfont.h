// The annotation font used when none is chosen, shared by the window and the batch front end.
#pragma once

#include <QString>

// notosans.ttf beside the executable when it is there (the build folder has it). An installed
// program ships no copy and takes the system's Noto Sans: first where the font package puts it,
// then wherever fontconfig knows it. When neither has it, the path beside the executable all the
// same, so the text falls back to the system font as for any missing font file.
QString defaultFontPath();
