// Painting the logo, the date/time and coordinate lines and the compass rose onto a photo.
#pragma once

#include "annotationfont.h"
#include "corner.h"
#include "logline.h"

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QString>
#include <QStringList>

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
    TextBackground background = TextBackground::None;
    QString westLetter = QStringLiteral("W"); // the rose's west
};

// The text block: the date corner's lines and the coordinate corner's, each top to bottom. In a
// shared corner the date keeps the line nearest the photo's edge.
struct StampText
{
    QStringList dateLines;
    QStringList coordinateLines;
};

// Paints onto image in place: logo (when not null), then the text block, then the rose (when
// drawRose is set and the orientation is known). Logs the rose line through log.
void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const StampText &text, double orientation, bool orientationKnown,
                      const LogCallback &log);
// The same with the window's two lines: the capture date and the coordinate text.
void paintAnnotations(QImage &image, const QImage &logo, const AnnotationStyle &style,
                      const QDateTime &captureDate, const QString &coordinateText,
                      double orientation, bool orientationKnown, const LogCallback &log);

// The window's date line.
QString dateLineText(const QDateTime &captureDate);

// Whether paintAnnotations would draw anything with these settings.
bool paintsAnything(const QImage &logo, const AnnotationStyle &style, bool orientationKnown);
