// Paints lines on a photo with the stamps' own code, in a process of its own as cartaluz-lote
// paints each run's first photo, for tst_stamps to compare the run's pixels with.
// stampreference IN OUT FONT BACKGROUND WEST ORIENTATION|- TEXT|- DATE-LINES COORDINATE-LINES,
// the lines joined by newlines.
#include "photoannotation.h"

#include <QGuiApplication>
#include <QImage>

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 10)
        return 2;
    QImage image = QImage(arguments.at(1)).convertToFormat(QImage::Format_RGB32);
    AnnotationStyle style;
    style.fontPath = arguments.at(3);
    style.background = TextBackground(arguments.at(4).toInt());
    style.westLetter = arguments.at(5);
    const bool rose = arguments.at(6) != QLatin1String("-");
    style.drawRose = rose;
    style.drawText = arguments.at(7) != QLatin1String("-");
    const auto lines = [](const QString &text) {
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    };
    paintAnnotations(image, QImage(), style,
                     StampText{lines(arguments.at(8)), lines(arguments.at(9))},
                     rose ? arguments.at(6).toDouble() : 0.0, rose, [](const QString &) {});
    return image.save(arguments.at(2), "png") ? 0 : 1;
}
