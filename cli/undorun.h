// Taking a run back from its journal: every photo it touched returns to its name and bytes.
#pragma once

#include "logline.h"

#include <QString>

// Puts back every photo of the run whose journal is at journalPath: the backup returns to the
// photo's original name and the written photo goes, but only where the written photo and the
// backup still hold the bytes the journal recorded and nothing has taken the original name
// since; every other photo is left as it is, with a line saying why. Photos go in reverse
// journal order, as a later photo may have taken a name an earlier one gave up. When every photo
// came back, the journal goes too, with the Backup folders left empty. With simulate, the same
// checks are made and nothing is touched.
// Returns a LoteStatus: StatusOk, StatusPhotoErrors when some photos were left, or StatusUsage
// (errorText set, nothing touched) for a journal that cannot be read or is not one.
int undoRun(const QString &journalPath, bool simulate, const LogCallback &log, QString &errorText);
