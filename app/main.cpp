// Program entry: the one window, its icon from the compiled-in resources, and the event loop.
// Command-line arguments are left to the toolkit; the program reads none of its own.
#include "toolkitspanish.h"
#include "zuvaduvazazigui.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(CARTALUZ_VERSION));
    // Decision: every text a user sees is Spanish, the toolkit's standard dialogs included (their
    // labels such as "Look in" and the buttons of message boxes), so the toolkit's own Spanish
    // translations are loaded before any widget exists. The form's texts are its own and stay as
    // they are. Without the translations installed the dialogs fall back to English.
    installToolkitSpanish(app);
    ZuvadUvazaziGUI window;
    window.setWindowIcon(QIcon(":/icon.ico"));
    window.show();
    return app.exec();
}
