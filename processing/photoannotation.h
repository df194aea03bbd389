// Painting the logo, the date/time and coordinate lines and the compass rose onto a photo.
#pragma once

#include "logcallback.h"

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QImage>
#include <QString>

struct AnnotationStyle
{
    QString fontPath;
    double fontRatio = 0.03;
    QColor textColor = Qt::white;
    double logoRatio = 0.0;
    QString logoPosition;
    QString dateTimePosition;
    QString coordinatesPosition;
    double roseRatio = 0.18;
    bool drawRose = true;
    bool drawText = true;
    QString rosePosition;
};

// The font of everything drawn on a photo, before its size is set: the first family of the font
// file, or the system's general font with a sans-serif hint when the path is empty or the file is
// not a usable font.
QFont annotationFont(const QString &fontPath);

// Paints onto image in place: logo (when not null), then the two text lines, then the rose
// (when drawRose is set and the orientation is known). Logs the rose line through log.
void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const QDateTime &captureDate, const QString &coordinateText,
                      double orientation, bool orientationKnown, const LogCallback &log);
