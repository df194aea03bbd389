// The window: the form's defaults, ranges and enabling rules, its checks before a run, and a run.
#include "testphotos.h"
#include "toolkitspanish.h"
#include "zuvaduvazazigui.h"

#include <QtTest>
#include <QtWidgets>

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs); }
    void form_data();
    void form();
    void start_data();
    void start();
    void dialogsInSpanish();

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
    // clicks (space-separated, in order) | widgets | properties | values; a single widget or
    // property stands for all values.
    QTest::addColumn<QStringList>("row");
    for (const char *row :
         {"|fontRatioSpin|minimum,maximum,singleStep,value|0.01,0.1,0.005,0.03",
          "|logoRatioSpin|minimum,maximum,singleStep,value|0.01,0.3,0.01,0.2",
          "|roseRatioSpin|minimum,maximum,singleStep,value|0.05,0.5,0.01,0.18",
          "|logoPositionCombo,dateTimePositionCombo,coordinatesPositionCombo,rosePositionCombo|"
          "currentText|arriba-izquierda,abajo-derecha,abajo-derecha,abajo-izquierda",
          "|fontEdit,colorPreview,prefixEdit|text,styleSheet,text|notosans.ttf,background-color: "
          "#FFFFFF,XXX_XXX_SA_",
          "|exifRadio,txtGroup,prefixEdit|checked,visible,enabled|true,false,false",
          "|subdirectoriesCheck,renameCheck,prefixCheck,roseCheck,drawTextCheck,backupCheck,"
          "logoCheck,sampleExifCheck,txtToExifCheck|checked|false,true,false,true,true,true,true,"
          "true,true",
          "prefixCheck|prefixEdit|enabled|true",
          "prefixCheck renameCheck|prefixEdit,prefixCheck,prefixCheck|enabled,enabled,checked|"
          "false,false,true",
          "renameCheck prefixCheck|prefixCheck|checked|false",
          "logoCheck|logoEdit,logoButton|enabled|false,false", "txtRadio|txtGroup|visible|true"})
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
    const QStringList names = row[1].split(','), properties = row[2].split(','),
                      values = row[3].split(',');
    for (int i = 0; i < values.size(); ++i) {
        QObject *widget = window.findChild<QObject *>(names.value(i, names[0]));
        QVERIFY(widget);
        QCOMPARE(widget->property(properties.value(i, properties[0]).toLatin1()).toString(),
                 values[i]);
    }
}

void TestWindow::start_data()
{
    // folder ("" for a made one with a photo) | "1" when the chosen logo is deleted | coordinate
    // file to switch to ("" for EXIF mode) | the box shown
    QTest::addColumn<QStringList>("row");
    for (const char *row :
         {"/no/such|1||Error: Seleccione un directorio de fotos válido.",
          "|1||Error: Seleccione un archivo de logo válido.",
          "|0|/no/such.txt|Error: Seleccione un archivo txt válido (o cambie el modo a EXIF).",
          "|0||Éxito: Las fotos han sido procesadas correctamente."})
        QTest::newRow(row) << QString(row).split('|');
}

void TestWindow::start()
{
    QFETCH(QStringList, row);
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
    if (row[1] == "1")
        QVERIFY(QFile::remove(dir.filePath("logo.png")));
    window.findChild<QLineEdit *>("directoryEdit")->setText(row[0].isEmpty() ? dir.path() : row[0]);
    window.findChild<QLineEdit *>("txtEdit")->setText(row[2]);
    if (!row[2].isEmpty())
        click(window, "txtRadio");
    click(window, "startButton");

    QCOMPARE(boxes, QStringList{row[3]});
    const bool run = row[3].startsWith("Éxito");
    const QStringList log = window.findChild<QTextEdit *>("logView")->toPlainText().split('\n');
    QCOMPARE(log.first(),
             run ? "Iniciando el proceso de renombrado y modificación de fotos..." : "");
    QCOMPARE(log.last(), run ? "Proceso completado." : "");
}

// The toolkit's own dialogs speak Spanish too, as the program starts them.
void TestWindow::dialogsInSpanish()
{
    QVERIFY(installToolkitSpanish(*qApp));
    QFileDialog files;
    QColorDialog colours;
    QMessageBox box(QMessageBox::Critical, "Error", "x", QMessageBox::Ok | QMessageBox::Cancel);
    const QStringList seen{files.findChild<QLabel *>("lookInLabel")->text(),
                           files.findChild<QLabel *>("fileNameLabel")->text(),
                           colours.findChild<QPushButton *>()->text(),
                           box.button(QMessageBox::Cancel)->text()};
    QCOMPARE(seen, (QStringList{"Ver en:", "&Nombre de fichero:", "Tomar un color de la &pantalla",
                                "Cancelar"}));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
