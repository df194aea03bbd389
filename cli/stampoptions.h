// What a script's stamps say and how they look: the templates, the attribute file, the projected
// systems they name and the window's look, checked before anything is touched.
#pragma once

#include "loteoptions.h"

#include <QCommandLineParser>

// An empty text when the stamp options are all right; else the one error line's text. Fills the
// job's templates (none under --como-ventana) and the notes naming each system's transformation.
QString checkStampOptions(const QCommandLineParser &parser, LoteRequest &request);

// The attribute file's header and rows; false with the Spanish reason.
bool readAttributeFile(const QString &path, AttributeTable &table, QString &errorText);
