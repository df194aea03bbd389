#include "photoprocessor.h"

// TODO(annotation helper): not implemented yet.
QImage PhotoProcessor::createCompassRose(double, int, double, const QString &)
{
    return {};
}
