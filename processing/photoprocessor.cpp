#include "photoprocessor.h"

PhotoProcessor::PhotoProcessor(QObject *parent) : QObject(parent) {}

// TODO(batch helper): not implemented yet.
void PhotoProcessor::processPhotos(const QString &, const QString &, const QString &, double, bool,
                                   const QString &, const QColor &, double, const QString &,
                                   const QString &, const QString &, double, bool, bool,
                                   const QString &, bool, bool, bool, bool, const QString &, bool,
                                   LogCallback)
{
}

QString PhotoProcessor::makeBackupPath(const QString &, const QString &, const QString &)
{
    return {};
}
