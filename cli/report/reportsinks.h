// The documents a run's photos go into, inside this library: each is fed the placed photos one
// at a time, in listing order, from a single read of each photo.
#pragma once

#include "photoreport.h"

#include <QByteArray>
#include <QSize>

#include <memory>

// One photo as the documents embed it, made on a worker: its JPEG for the report (long side at
// most 1600 pixels) and for the KMZ (1200). Both empty when the photo could not be read.
struct PreparedPhoto
{
    QSize size; // of the report's JPEG
    QByteArray reportJpeg;
    QByteArray kmzJpeg;
};

constexpr int reportLongSide = 1600;
constexpr int kmzLongSide = 1200;
constexpr int pictureQuality = 85;

// A photo's copies from its picture at most reportLongSide long, upright: those asked for.
PreparedPhoto preparedFrom(const QImage &image, bool forReport, bool forKmz);

class PhotoSink
{
public:
    virtual ~PhotoSink() = default;
    // number: the photo's number on the map, from 1.
    virtual bool add(const ReportPhoto &photo, int number, const PreparedPhoto &prepared,
                     QString &errorText) = 0;
    // Writes what is left and puts the file in place; false with a Spanish message.
    virtual bool finish(QString &errorText) = 0;
};

// Null, with a Spanish message, when the document cannot even be started.
std::unique_ptr<PhotoSink> startPdf(const ReportRun &run, const ReportOptions &options,
                                    QString &errorText);
std::unique_ptr<PhotoSink> startKmz(const ReportRun &run, const ReportOptions &options,
                                    QString &errorText);
