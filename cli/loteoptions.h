// The command line of the batch front end: what it asks for, checked before anything is touched.
#pragma once

#include "batchengine.h"
#include "gpstrack.h"
#include "photoreport.h"

#include <QString>
#include <QStringList>

#include <optional>

struct LoteRequest
{
    enum class Action { Run, Sample, Preview, Undo, Report, Help, Version, Error };
    Action action = Action::Error;
    BatchJob job;         // for Run (and the folder and subfolder flag for Sample)
    QString samplePath;   // for Sample
    QString undoJournal;  // for Undo (job.dryRun set by --simular)
    QString layerPath;    // for Run: where the run's point layer goes; empty for none
    ReportOptions report; // for Run and Report (--informe-de): the PDF and KMZ asked for
    std::vector<std::vector<GeoPosition>> trackLines; // for Run: the --track lines, for the report
    QStringList trackPaths;  // for Run: the --track files, read once the options are checked
    CameraClock clock;       // for Run: --zona-camara, --ajuste-reloj and --sincronizar
    TrackFilter trackFilter; // for Run: --max-hdop and --min-satelites
    int maxIntervalSeconds = 1800;
    bool sampleFromExif = false;
    std::optional<int> cameraZoneSeconds; // for Run: --zona-camara, which dates the layer's too
    QStringList notes;        // for Run: lines the log starts with (the projections chosen)
    QStringList warnings;     // for Run: warnings the log starts with (track points left out)
    StampTemplates templates; // for Run and Preview: what the stamped lines say
    QString attributesPath;   // --atributos
    QString previewPhoto;     // for Preview: --muestra's photo
    QString previewImage;     // for Preview: the PNG it is drawn into
    QString journalPath;      // for Run: --diario; empty for the default place
    bool journal = false;     // for Run: whether the run keeps a journal
    QStringList options;      // the arguments as given, for the journal
    QString version;
    QString text; // the help text, or the one error line
};

// Exit statuses the front end documents in its help.
enum LoteStatus { StatusOk = 0, StatusPhotoErrors = 1, StatusUsage = 2, StatusEndedEarly = 3 };

// arguments as the process got them (program name first). defaultFontPath is used when no
// font is given. The job's workers default to the number of cores. Inputs the whole run depends
// on are checked here, so that a run that could not use them never starts: a logo that does not
// decode, a font that does not load, a coordinate file or track that cannot be read, a layer
// folder that takes no file, a sample file that would overwrite one.
LoteRequest parseLoteArguments(const QStringList &arguments, const QString &defaultFontPath);

QString loteHelpText();

// The first line of every simulated run or undo: what follows only says what would happen.
QString simulationLine();
