// The window's entry to the batch: the operations it calls, each a thin front over the engine,
// the naming, the rose and the sample file.
#pragma once

#include "logline.h"

#include <QColor>
#include <QImage>
#include <QObject>
#include <QString>

// Stateless: every operation is static and the program never creates an instance.
class PhotoProcessor : public QObject
{
    Q_OBJECT

public:
    explicit PhotoProcessor(QObject *parent = nullptr);

    // One whole batch run. Per-photo failures are only log lines; any exception other than
    // the metadata library's own leaves the run at once and reaches the caller.
    static void processPhotos(const QString &directory, const QString &logoPath,
                              const QString &fontPath, double fontRatio, bool useExif,
                              const QString &txtPath, const QColor &textColor, double logoRatio,
                              const QString &logoPosition, const QString &dateTimePosition,
                              const QString &coordinatesPosition, double roseRatio,
                              bool renameToUtm, bool addPrefix, const QString &prefix,
                              bool includeSubdirectories, bool drawRose, bool drawText,
                              bool embedTxtInExif, const QString &rosePosition, bool makeBackup,
                              LogCallback log);

    // A path in folder/Backup (created when missing) that names no existing file.
    static QString makeBackupPath(const QString &folder, const QString &baseName,
                                  const QString &suffix);

    // A transparent size × size image with the rose, its needle along orientation (degrees,
    // clockwise from north). Empty when size is below 1.
    static QImage createCompassRose(double orientation, int size, double ratio,
                                    const QString &fontPath);

    // Writes a coordinate text file listing the folder's photos, from their EXIF positions
    // when useExif is set and they have one, otherwise with a placeholder row.
    static void createSampleCoordinateFile(const QString &directory, const QString &outputPath,
                                           bool includeSubdirectories, bool useExif,
                                           LogCallback log);
};
