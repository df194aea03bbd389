#include "photoannotation.h"

// TODO(annotation helper): not implemented yet.
void paintAnnotations(QImage &, const QImage &, const AnnotationStyle &, const QDateTime &,
                      const QString &, double, bool, const LogCallback &)
{
}
