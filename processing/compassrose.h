// The compass rose: the numbers its drawing is laid out from, its needle, and the drawing.
#pragma once

#include "annotationfont.h"

#include <QImage>
#include <QPolygonF>
#include <QString>

// Whole pixels, each truncated toward zero as the rose's look depends on it.
struct CompassRoseLayout
{
    int centre = 0;          // x and y of the centre
    int ringWidth = 0;       // stroke width of the white ring
    int radius = 0;          // from the centre to the middle of the ring
    int letterMargin = 0;    // between the ring and the letters
    int letterPointSize = 0; // of the bold N, S, E and W
    int inner = 0;           // inset of the letters from the image edge
};

// The layout of a rose with the given edge length; ratio only widens the ring.
CompassRoseLayout compassRoseLayout(int size, double ratio);

// The needle as the triangle (first base corner, tip, second base corner) for a heading in
// degrees clockwise from north; the tip points up for 0 and right for 90.
QPolygonF compassRoseNeedle(double orientation, const CompassRoseLayout &layout);

// A transparent size × size image with the rose, its needle along orientation (degrees,
// clockwise from north). Empty when size is below 1.
QImage compassRose(double orientation, int size, double ratio, const QString &fontPath);

// The rose's letters as a script draws them: its own west letter, on a background.
struct RoseLetters
{
    QString west = QStringLiteral("W");
    TextBackground background = TextBackground::None;
};

QImage compassRose(double orientation, int size, double ratio, const QString &fontPath,
                   const RoseLetters &letters);
