// Program entry: the one window, its icon from the compiled-in resources, and the event loop.
// Command-line arguments are left to the toolkit; the program reads none of its own.
#include "zuvaduvazazigui.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(CARTALUZ_VERSION));
    ZuvadUvazaziGUI window;
    window.setWindowIcon(QIcon(":/icon.ico"));
    window.show();
    return app.exec();
}
