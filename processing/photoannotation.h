// Painting the logo, the date/time and coordinate lines and the compass rose onto a photo.
#pragma once

#include "corner.h"
#include "logline.h"

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QString>

struct AnnotationStyle
{
    QString fontPath;
    double fontRatio = 0.03;
    QColor textColor = Qt::white;
    double logoRatio = 0.0;
    Corner logoPosition = Corner::TopLeft;
    Corner dateTimePosition = Corner::BottomRight;
    Corner coordinatesPosition = Corner::BottomRight;
    double roseRatio = 0.18;
    bool drawRose = true;
    bool drawText = true;
    Corner rosePosition = Corner::BottomLeft;
};

// Paints onto image in place: logo (when not null), then the two text lines, then the rose
// (when drawRose is set and the orientation is known). Logs the rose line through log.
void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const QDateTime &captureDate, const QString &coordinateText,
                      double orientation, bool orientationKnown, const LogCallback &log);

// Whether paintAnnotations would draw anything with these settings.
bool paintsAnything(const QImage &logo, const AnnotationStyle &style, bool orientationKnown);
