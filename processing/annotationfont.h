// The font of the text and the rose's letters on a photo, and what lies behind the letters.
#pragma once

#include <QFont>
#include <QString>

class QPainter;
class QPoint;

// What is behind the letters of the text and the rose: nothing, a dark halo around each letter, or
// a translucent dark box behind each line.
enum class TextBackground { None, Halo, Box };

// Before its size is set: the first family of the font file, or the system's general font with a
// sans-serif hint when the path is empty or the file is not a usable font. Safe from any thread.
QFont annotationFont(const QString &fontPath);

// One line of text in the painter's font and pen, its baseline starting at origin, on its
// background.
void paintTextLine(QPainter &painter, const QPoint &origin, const QString &text,
                   TextBackground background);
