// The window: the form's defaults, ranges and enabling rules, its checks before a run, and a run.
#include "testphotos.h"
#include "zuvaduvazazigui.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    void form_data();
    void form();
    void start_data();
    void start();

private:
    // Clicks near the left edge, where check and radio boxes have their indicator.
    void click(ZuvadUvazaziGUI &window, const QString &name)
    {
        auto *button = window.findChild<QAbstractButton *>(name);
        QVERIFY2(button, qPrintable(name));
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
    }
};

void TestWindow::form_data()
{
    // clicks (check boxes clicked in order, space-separated) | widget | property | value
    QTest::addColumn<QStringList>("row");
    for (const char *row : {"|fontRatioSpin|minimum|0.01",
                            "|fontRatioSpin|maximum|0.1",
                            "|fontRatioSpin|singleStep|0.005",
                            "|fontRatioSpin|value|0.03",
                            "|logoRatioSpin|minimum|0.01",
                            "|logoRatioSpin|maximum|0.3",
                            "|logoRatioSpin|singleStep|0.01",
                            "|logoRatioSpin|value|0.2",
                            "|roseRatioSpin|minimum|0.05",
                            "|roseRatioSpin|maximum|0.5",
                            "|roseRatioSpin|singleStep|0.01",
                            "|roseRatioSpin|value|0.18",
                            "|logoPositionCombo|currentText|arriba-izquierda",
                            "|dateTimePositionCombo|currentText|abajo-derecha",
                            "|coordinatesPositionCombo|currentText|abajo-derecha",
                            "|rosePositionCombo|currentText|abajo-izquierda",
                            "|fontEdit|text|notosans.ttf",
                            "|colorPreview|styleSheet|background-color: #FFFFFF",
                            "|prefixEdit|text|XXX_XXX_SA_",
                            "|exifRadio|checked|true",
                            "|txtGroup|visible|false",
                            "|subdirectoriesCheck|checked|false",
                            "|renameCheck|checked|true",
                            "|prefixCheck|checked|false",
                            "|roseCheck|checked|true",
                            "|drawTextCheck|checked|true",
                            "|backupCheck|checked|true",
                            "|logoCheck|checked|true",
                            "|sampleExifCheck|checked|true",
                            "|txtToExifCheck|checked|true",
                            "|prefixEdit|enabled|false",
                            "prefixCheck|prefixEdit|enabled|true",
                            "prefixCheck renameCheck|prefixEdit|enabled|false",
                            "prefixCheck renameCheck|prefixCheck|enabled|false",
                            "prefixCheck renameCheck|prefixCheck|checked|true",
                            "renameCheck prefixCheck|prefixCheck|checked|false",
                            "logoCheck|logoEdit|enabled|false",
                            "logoCheck|logoButton|enabled|false",
                            "txtRadio|txtGroup|visible|true"})
        QTest::newRow(row) << QString(row).split('|');
}

void TestWindow::form()
{
    QFETCH(QStringList, row);
    ZuvadUvazaziGUI window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const QString &name : row[0].split(' ', Qt::SkipEmptyParts))
        click(window, name);
    QObject *widget = window.findChild<QObject *>(row[1]);
    QVERIFY(widget);
    QCOMPARE(widget->property(row[2].toLatin1()).toString(), row[3]);
}

void TestWindow::start_data()
{
    QTest::addColumn<QString>("folder"); // "" stands for a made folder with one photo
    QTest::addColumn<bool>("deletedLogo");
    QTest::addColumn<QString>("txt"); // a coordinate file to switch to, "" for EXIF mode
    QTest::addColumn<QString>("message");

    QTest::addRow("missing folder") << "/no/such" << true << ""
                                    << "Seleccione un directorio de fotos válido.";
    QTest::addRow("deleted logo") << "" << true << ""
                                  << "Seleccione un archivo de logo válido.";
    QTest::addRow("missing txt file")
        << "" << false << "/no/such.txt"
        << "Seleccione un archivo txt válido (o cambie el modo a EXIF).";
    QTest::addRow("run") << "" << false << ""
                         << "Las fotos han sido procesadas correctamente.";
}

void TestWindow::start()
{
    QFETCH(QString, folder);
    QFETCH(bool, deletedLogo);
    QFETCH(QString, txt);
    QTemporaryDir dir;
    QVERIFY(TestPhotos::writeImage(dir.filePath("foto.jpg")) &&
            TestPhotos::writeImage(dir.filePath("logo.png")));
    ZuvadUvazaziGUI window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Answers each dialog as it opens: the file dialog with the logo, a message box with OK.
    QStringList boxes;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxes << box->windowTitle() + ": " + box->text();
            box->button(QMessageBox::Ok)->click();
        } else if (auto *files = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            files->findChild<QLineEdit *>("fileNameEdit")->setText(dir.filePath("logo.png"));
            static_cast<QDialog *>(files)->accept();
        }
    });
    poll.start(20);
    click(window, "logoButton");
    if (deletedLogo)
        QVERIFY(QFile::remove(dir.filePath("logo.png")));
    window.findChild<QLineEdit *>("directoryEdit")->setText(folder.isEmpty() ? dir.path() : folder);
    window.findChild<QLineEdit *>("txtEdit")->setText(txt);
    if (!txt.isEmpty())
        click(window, "txtRadio");
    click(window, "startButton");

    QFETCH(QString, message);
    const bool run = QTest::currentDataTag() == QByteArray("run");
    QCOMPARE(boxes, QStringList{(run ? "Éxito: " : "Error: ") + message});
    const QStringList log = window.findChild<QTextEdit *>("logView")->toPlainText().split('\n');
    QCOMPARE(log.first(),
             run ? "Iniciando el proceso de renombrado y modificación de fotos..." : "");
    QCOMPARE(log.last(), run ? "Proceso completado." : "");
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
