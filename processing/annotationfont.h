// The font of the text and the rose's letters on a photo.
#pragma once

#include <QFont>
#include <QString>

// Before its size is set: the first family of the font file, or the system's general font with a
// sans-serif hint when the path is empty or the file is not a usable font. Safe from any thread.
QFont annotationFont(const QString &fontPath);
