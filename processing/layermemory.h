// A photo-sized transparent layer's memory, and where on it anything was painted.
#pragma once

#include <QImage>
#include <QSize>
#include <QtGlobal>

#include <algorithm>
#include <vector>

namespace layermemory {

// Which 8 × 8 pixel cells of the photo hold any painted layer pixel.
struct PaintedCells
{
    int columns = 0;
    int rows = 0;
    std::vector<quint8> cells;

    // Whether any cell in the rectangle [x0, x0 + w) × [y0, y0 + h) is painted.
    bool any(int x0, int y0, int w, int h) const
    {
        const int x1 = std::min(x0 + w, columns);
        const int y1 = std::min(y0 + h, rows);
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                if (cells[size_t(y) * size_t(columns) + size_t(x)])
                    return true;
            }
        }
        return false;
    }
};

// Whether any of count pixels from pixels has a bit set; eight bytes at a time, as most of a
// photo-sized layer is transparent.
bool anyBits(const quint32 *pixels, int count);

// In a premultiplied layer a transparent pixel is all zero bits.
PaintedCells findPaintedCells(const QImage &layer);

// A transparent ARGB32_Premultiplied image of size whose untouched memory costs nothing; null if
// it cannot be had.
QImage transparentImage(const QSize &size);

} // namespace layermemory
