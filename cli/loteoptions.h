// The command line of the batch front end: what it asks for, checked before anything is touched.
#pragma once

#include "batchengine.h"

#include <QString>
#include <QStringList>

struct LoteRequest
{
    enum class Action { Run, Sample, Help, Version, Error };
    Action action = Action::Error;
    BatchJob job;       // for Run (and the folder and subfolder flag for Sample)
    QString samplePath; // for Sample
    QString layerPath;  // for Run: where the run's point layer goes; empty for none
    bool sampleFromExif = false;
    QString text; // the help text, or the one error line
};

// Exit statuses the front end documents in its help.
enum LoteStatus { StatusOk = 0, StatusPhotoErrors = 1, StatusUsage = 2, StatusEndedEarly = 3 };

// arguments as the process got them (program name first). defaultFontPath is used when no
// font is given. The job's workers default to the number of cores.
LoteRequest parseLoteArguments(const QStringList &arguments, const QString &defaultFontPath);

QString loteHelpText();
