#include "photoprocessor.h"

// TODO(coordfile helper): not implemented yet.
void PhotoProcessor::createSampleCoordinateFile(const QString &, const QString &, bool, bool,
                                                LogCallback)
{
}
