// The toolkit's Spanish translations, from where the toolkit itself keeps them.
#include "toolkitspanish.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

bool installToolkitSpanish(QCoreApplication &app)
{
    // Spanish whatever the user's locale: the form is Spanish, and so must be the dialogs it
    // opens. Only the texts change; numbers keep the form's own format.
    auto *translator = new QTranslator(&app);
    if (!translator->load(QStringLiteral("qtbase_es"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return false;
    }
    return true;
}
