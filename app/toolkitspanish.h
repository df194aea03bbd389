// The toolkit's own texts in Spanish: the standard file, colour and message dialogs.
#pragma once

class QCoreApplication;

// Installs the toolkit's Spanish translations on app; false when they are not installed, and the
// dialogs then keep the toolkit's English.
bool installToolkitSpanish(QCoreApplication &app);
