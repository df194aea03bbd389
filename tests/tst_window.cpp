// The main window driven as a user drives it: clicks on its controls, its dialogs answered from a
// timer, and batch runs on photos made in a temporary folder.
#include "testphotos.h"
#include "zuvaduvazazigui.h"

#include <QApplication>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <unistd.h>

namespace {

QtMessageHandler previousMessageHandler = nullptr;

const QString startLine = "Iniciando el proceso de renombrado y modificación de fotos...";

// What a modal dialog showed when it opened.
struct Modal
{
    QString kind; // class name: QMessageBox, QFileDialog, QColorDialog
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList nameFilters;
    QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
    QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptOpen;
    bool showDirsOnly = false;
    QColor initialColor;
    bool startEnabled = false; // state of "Iniciar Proceso" while the dialog was up
    bool expected = false;
};

// Answers every modal dialog that opens, so no test can hang on one: each dialog gets the next
// queued answer; a dialog nobody expected, or one still open after its answer, is rejected.
class ModalAnswerer : public QObject
{
public:
    using Answer = std::function<void(QWidget *)>;

    explicit ModalAnswerer(QPushButton *startButton)
        : m_startButton(startButton)
    {
        connect(&m_poll, &QTimer::timeout, this, &ModalAnswerer::poll);
        m_poll.start(20);
    }
    void expect(const Answer &answer) { m_answers.append(answer); }
    int pendingAnswers() const { return m_answers.size(); }
    QList<Modal> seen;

private:
    void poll()
    {
        QWidget *dialog = QApplication::activeModalWidget();
        if (!dialog)
            return;
        if (dialog == m_answered && m_sinceAnswer.elapsed() < 5000)
            return; // give the answer time to close it
        if (dialog == m_answered || m_answers.isEmpty()) {
            record(dialog, false);
            if (auto *d = qobject_cast<QDialog *>(dialog))
                d->reject();
            dialog->close();
            return;
        }
        record(dialog, true);
        m_answered = dialog;
        m_sinceAnswer.start();
        m_answers.takeFirst()(dialog);
    }

    void record(QWidget *dialog, bool expected)
    {
        Modal m;
        m.kind = QString::fromLatin1(dialog->metaObject()->className());
        m.title = dialog->windowTitle();
        m.expected = expected;
        m.startEnabled = m_startButton && m_startButton->isEnabled();
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            m.text = box->text();
            m.icon = box->icon();
        } else if (auto *files = qobject_cast<QFileDialog *>(dialog)) {
            m.nameFilters = files->nameFilters();
            m.fileMode = files->fileMode();
            m.acceptMode = files->acceptMode();
            m.showDirsOnly = files->testOption(QFileDialog::ShowDirsOnly);
        } else if (auto *colors = qobject_cast<QColorDialog *>(dialog)) {
            m.initialColor = colors->currentColor();
        }
        seen.append(m);
    }

    QTimer m_poll;
    QList<Answer> m_answers;
    QPointer<QPushButton> m_startButton;
    QPointer<QWidget> m_answered;
    QElapsedTimer m_sinceAnswer;
};

void pressOk(QWidget *dialog)
{
    if (auto *box = qobject_cast<QMessageBox *>(dialog))
        box->button(QMessageBox::Ok)->click();
}

void cancel(QWidget *dialog)
{
    if (auto *d = qobject_cast<QDialog *>(dialog))
        d->reject();
}

ModalAnswerer::Answer choose(const QString &path)
{
    return [path](QWidget *dialog) {
        auto *files = qobject_cast<QFileDialog *>(dialog);
        auto *nameEdit = files ? files->findChild<QLineEdit *>("fileNameEdit") : nullptr;
        if (!nameEdit)
            return;
        // Typed as a user would; selectFile() leaves a focused name field alone.
        nameEdit->setText(path);
        // QFileDialog hides accept(); its override still checks the choice as for a user.
        static_cast<QDialog *>(files)->accept();
    };
}

ModalAnswerer::Answer chooseColor(const QColor &color)
{
    return [color](QWidget *dialog) {
        if (auto *colors = qobject_cast<QColorDialog *>(dialog)) {
            colors->setCurrentColor(color);
            colors->accept();
        }
    };
}

// The first bytes of a Fujifilm raw file whose embedded-preview offset and length add up past
// 4 GiB: the metadata library fails on it with a standard overflow error of its own, not with
// its usual error type, so the batch routine does not stop it.
QByteArray damagedRawBytes()
{
    QByteArray data("FUJIFILMCCD-RAW 0201FF383501");
    data.append(84 - data.size(), '\0');
    data.append("\xff\xff\xff\xf0\x00\x00\x00\x20", 8);
    data.append(200, '\0');
    return data;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startState();
    void checkBoxDefaults_data();
    void checkBoxDefaults();
    void spinBoxes_data();
    void spinBoxes();
    void enablingRules_data();
    void enablingRules();
    void modeSwitchKeepsTxtFields();
    void fileChoosers_data();
    void fileChoosers();
    void logoCheckKeepsChosenLogo();
    void colorChooser();
    void validations_data();
    void validations();
    void runFromForm_data();
    void runFromForm();
    void logKeepsEarlierRuns();
    void batchExceptionIsReported();
    void sampleFile_data();
    void sampleFile();
    void sampleFileGeneratorFailure();

private:
    template <typename T> T *child(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    // A mouse click near the left edge, where check and radio boxes have their indicator.
    void click(const QString &name)
    {
        auto *button = window->findChild<QAbstractButton *>(name);
        QVERIFY2(button, qPrintable(name));
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(8, button->height() / 2));
    }
    QString logText() const { return child<QTextEdit>("logView")->toPlainText(); }
    QString makePhotos(QTemporaryDir &dir);

    ZuvadUvazaziGUI *window = nullptr;
    ModalAnswerer *answerer = nullptr;
};

void TestWindow::initTestCase()
{
    // The offscreen platform warns about every dialog it shows; keep the output readable.
    previousMessageHandler = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext &context, const QString &message) {
            if (message != "This plugin does not support propagateSizeHints()")
                previousMessageHandler(type, context, message);
        });
    // The widget dialogs can be answered from the test; a platform dialog could not.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

void TestWindow::init()
{
    window = new ZuvadUvazaziGUI;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    answerer = new ModalAnswerer(child<QPushButton>("startButton"));
}

void TestWindow::cleanup()
{
    const QList<Modal> seen = answerer->seen;
    const int pending = answerer->pendingAnswers();
    delete answerer;
    delete window;
    for (const Modal &m : seen)
        QVERIFY2(m.expected, qPrintable("unexpected dialog: " + m.title + " / " + m.text));
    QCOMPARE(pending, 0);
}

QString TestWindow::makePhotos(QTemporaryDir &dir)
{
    const QString withGps = dir.filePath("con_gps.jpg");
    if (!TestPhotos::writeImage(withGps) || !TestPhotos::writeImage(dir.filePath("sin_gps.png")))
        return "cannot write photos";
    QString error;
    if (!TestPhotos::setTags(
            withGps,
            TestPhotos::gpsTags("33/1 26/1 1608/100", "S", "70/1 39/1 18/1", "W", "1239/10"),
            &error))
        return error;
    return QString();
}

void TestWindow::startState()
{
    QCOMPARE(window->windowTitle(),
             QString("Cartaluz: Renombrador/Incrustador de coordenadas UTM en fotografías"));
    const ZuvadUvazaziGUI unshown;
    QCOMPARE(unshown.size(), QSize(750, 840));
    // Once shown, the layout may widen the window to fit the form in the fonts and style at hand.
    QCOMPARE(window->height(), 840);
    QCOMPARE(window->width(), qMax(750, window->minimumSizeHint().width()));
    QVERIFY(child<QGroupBox>("txtGroup")->isHidden());
    QCOMPARE(child<QGroupBox>("txtGroup")->title(), QString("Archivo TXT"));

    QVERIFY(child<QRadioButton>("exifRadio")->isChecked());
    QVERIFY(!child<QRadioButton>("txtRadio")->isChecked());
    QCOMPARE(child<QLineEdit>("directoryEdit")->text(), QString());
    QCOMPARE(child<QLineEdit>("logoEdit")->text(), QString());
    QVERIFY(child<QLineEdit>("logoEdit")->isEnabled());
    QVERIFY(child<QPushButton>("logoButton")->isEnabled());
    QCOMPARE(child<QLineEdit>("fontEdit")->text(), QString("notosans.ttf"));
    QCOMPARE(child<QLineEdit>("txtEdit")->text(), QString());
    QCOMPARE(child<QLineEdit>("prefixEdit")->text(), QString("XXX_XXX_SA_"));
    QVERIFY(!child<QLineEdit>("prefixEdit")->isEnabled());
    QVERIFY(child<QCheckBox>("prefixCheck")->isEnabled());

    auto *preview = child<QLabel>("colorPreview");
    QCOMPARE(preview->styleSheet(), QString("background-color: #FFFFFF"));
    QCOMPARE(preview->text(), QString());
    QCOMPARE(preview->minimumWidth(), 50);
    QCOMPARE(preview->maximumWidth(), 50);

    const QStringList corners = {"arriba-izquierda", "arriba-derecha", "abajo-izquierda",
                                 "abajo-derecha"};
    const QList<QPair<const char *, QString>> combos = {
        {"logoPositionCombo", "arriba-izquierda"},
        {"dateTimePositionCombo", "abajo-derecha"},
        {"coordinatesPositionCombo", "abajo-derecha"},
        {"rosePositionCombo", "abajo-izquierda"}};
    for (const auto &[name, current] : combos) {
        auto *combo = child<QComboBox>(name);
        QVERIFY2(combo, name);
        QCOMPARE(combo->currentText(), current);
        QVERIFY(!combo->isEditable());
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, corners);
    }

    const QList<QPair<const char *, QString>> buttons = {
        {"directoryButton", "Seleccionar"}, {"logoButton", "Seleccionar"},
        {"fontButton", "Seleccionar"},      {"colorButton", "Seleccionar"},
        {"txtButton", "Seleccionar"},       {"sampleButton", "Crear Ejemplo"},
        {"startButton", "Iniciar Proceso"}};
    for (const auto &[name, text] : buttons) {
        QVERIFY2(child<QPushButton>(name), name);
        QCOMPARE(child<QPushButton>(name)->text(), text);
    }

    auto *log = child<QTextEdit>("logView");
    QVERIFY(log->isReadOnly());
    QVERIFY(log->toPlainText().isEmpty());
    auto *footer = child<QLabel>("footerLabel");
    QVERIFY(!footer->text().isEmpty());
    QCOMPARE(footer->alignment(), Qt::Alignment(Qt::AlignRight));
}

void TestWindow::checkBoxDefaults_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("checked");

    const auto row = [](const char *name, const char *text, bool checked) {
        QTest::newRow(name) << QString(name) << QString(text) << checked;
    };
    row("subdirectoriesCheck", "Incluir subdirectorios", false);
    row("renameCheck", "Renombrar las fotos a coordenadas UTM", true);
    row("prefixCheck", "Agregar prefijo", false);
    row("roseCheck", "Dibujar rosa de los vientos (si existen datos de orientación)", true);
    row("drawTextCheck", "Dibujar coordenadas y datos en las fotos", true);
    row("txtToExifCheck", "Incrustar datos del archivo TXT en EXIF de las fotografias procesadas",
        true);
    row("backupCheck", "Realizar copia de seguridad de las fotos", true);
    row("sampleExifCheck",
        "Usar datos EXIF originales para crear el ejemplo (GPS, orientación), si no existen "
        "serán aleatorios",
        true);
    row("logoCheck", "Incrustar logo seleccionado", true);
}

void TestWindow::checkBoxDefaults()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(bool, checked);

    auto *check = window->findChild<QCheckBox *>(name);
    QVERIFY(check);
    QCOMPARE(check->text(), text);
    QCOMPARE(check->isChecked(), checked);
}

void TestWindow::spinBoxes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<double>("minimum");
    QTest::addColumn<double>("maximum");
    QTest::addColumn<double>("step");
    QTest::addColumn<double>("value");

    QTest::newRow("font ratio") << "fontRatioSpin" << 0.01 << 0.1 << 0.005 << 0.03;
    QTest::newRow("logo ratio") << "logoRatioSpin" << 0.01 << 0.3 << 0.01 << 0.2;
    QTest::newRow("rose ratio") << "roseRatioSpin" << 0.05 << 0.5 << 0.01 << 0.18;
}

void TestWindow::spinBoxes()
{
    QFETCH(QString, name);
    QFETCH(double, minimum);
    QFETCH(double, maximum);
    QFETCH(double, step);
    QFETCH(double, value);

    auto *spin = window->findChild<QDoubleSpinBox *>(name);
    QVERIFY(spin);
    QCOMPARE(spin->minimum(), minimum);
    QCOMPARE(spin->maximum(), maximum);
    QCOMPARE(spin->singleStep(), step);
    QCOMPARE(spin->value(), value);
    QCOMPARE(spin->decimals(), 2);
    QVERIFY(spin->prefix().isEmpty() && spin->suffix().isEmpty());

    spin->setValue(maximum + 1);
    QCOMPARE(spin->value(), maximum);
    spin->setValue(0.0);
    QCOMPARE(spin->value(), minimum);
}

void TestWindow::enablingRules_data()
{
    // clicks: check boxes clicked in order (a click on a disabled box does nothing, as for a
    // user); then the expected states.
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<bool>("prefixCheckEnabled");
    QTest::addColumn<bool>("prefixChecked");
    QTest::addColumn<bool>("prefixEditEnabled");
    QTest::addColumn<bool>("logoRowEnabled");

    QTest::newRow("no clicks") << QStringList() << true << false << false << true;
    QTest::newRow("prefix on") << QStringList{"prefixCheck"} << true << true << true << true;
    QTest::newRow("prefix on then off")
        << QStringList{"prefixCheck", "prefixCheck"} << true << false << false << true;
    QTest::newRow("rename off") << QStringList{"renameCheck"} << false << false << false << true;
    QTest::newRow("prefix on, rename off keeps prefix checked")
        << QStringList{"prefixCheck", "renameCheck"} << false << true << false << true;
    QTest::newRow("prefix on, rename off and on again")
        << QStringList{"prefixCheck", "renameCheck", "renameCheck"} << true << true << true << true;
    QTest::newRow("rename off and on again")
        << QStringList{"renameCheck", "renameCheck"} << true << false << false << true;
    QTest::newRow("prefix cannot be clicked while rename is off")
        << QStringList{"renameCheck", "prefixCheck"} << false << false << false << true;
    QTest::newRow("logo off") << QStringList{"logoCheck"} << true << false << false << false;
    QTest::newRow("logo off and on again")
        << QStringList{"logoCheck", "logoCheck"} << true << false << false << true;
}

void TestWindow::enablingRules()
{
    QFETCH(QStringList, clicks);
    QFETCH(bool, prefixCheckEnabled);
    QFETCH(bool, prefixChecked);
    QFETCH(bool, prefixEditEnabled);
    QFETCH(bool, logoRowEnabled);

    for (const QString &name : clicks)
        click(name);

    QCOMPARE(child<QCheckBox>("prefixCheck")->isEnabled(), prefixCheckEnabled);
    QCOMPARE(child<QCheckBox>("prefixCheck")->isChecked(), prefixChecked);
    QCOMPARE(child<QLineEdit>("prefixEdit")->isEnabled(), prefixEditEnabled);
    QCOMPARE(child<QLineEdit>("logoEdit")->isEnabled(), logoRowEnabled);
    QCOMPARE(child<QPushButton>("logoButton")->isEnabled(), logoRowEnabled);
    QCOMPARE(child<QLineEdit>("prefixEdit")->text(), QString("XXX_XXX_SA_"));
}

void TestWindow::modeSwitchKeepsTxtFields()
{
    auto *group = child<QGroupBox>("txtGroup");
    click("txtRadio");
    QVERIFY(!group->isHidden());
    QVERIFY(!child<QRadioButton>("exifRadio")->isChecked());

    child<QLineEdit>("txtEdit")->setText("/somewhere/coords.txt");
    click("sampleExifCheck");
    click("exifRadio");
    QVERIFY(group->isHidden());
    click("txtRadio");
    QVERIFY(!group->isHidden());

    QCOMPARE(child<QLineEdit>("txtEdit")->text(), QString("/somewhere/coords.txt"));
    QVERIFY(!child<QCheckBox>("sampleExifCheck")->isChecked());
    QVERIFY(child<QCheckBox>("txtToExifCheck")->isChecked());
    QVERIFY(logText().isEmpty());
}

void TestWindow::fileChoosers_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("edit");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("filters");
    QTest::addColumn<bool>("chooseFolder");
    QTest::addColumn<bool>("showsFullPath");

    QTest::newRow("folder") << "directoryButton"
                            << "directoryEdit"
                            << "Seleccionar Directorio" << QStringList() << true << true;
    QTest::newRow("logo") << "logoButton"
                          << "logoEdit"
                          << "Seleccionar Logo"
                          << QStringList{"Image Files (*.png *.jpg *.jpeg *.tiff)"} << false
                          << false;
    QTest::newRow("font") << "fontButton"
                          << "fontEdit"
                          << "Seleccionar Fuente"
                          << QStringList{"Font Files (*.ttf *.otf)", "All Files (*)"} << false
                          << false;
    QTest::newRow("txt") << "txtButton"
                         << "txtEdit"
                         << "Seleccionar Archivo txt"
                         << QStringList{"Text Files (*.txt *.TXT)", "All Files (*)"} << false
                         << true;
}

void TestWindow::fileChoosers()
{
    QFETCH(QString, button);
    QFETCH(QString, edit);
    QFETCH(QString, title);
    QFETCH(QStringList, filters);
    QFETCH(bool, chooseFolder);
    QFETCH(bool, showsFullPath);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString chosen = chooseFolder ? dir.filePath("fotos") : dir.filePath("elegido.png");
    QVERIFY(chooseFolder ? QDir(dir.path()).mkdir("fotos") : TestPhotos::writeImage(chosen));
    if (button == "txtButton")
        click("txtRadio");

    auto *lineEdit = window->findChild<QLineEdit *>(edit);
    const QString before = lineEdit->text();

    answerer->expect(cancel);
    click(button);
    QCOMPARE(lineEdit->text(), before);

    answerer->expect(choose(chosen));
    click(button);
    QCOMPARE(lineEdit->text(), showsFullPath ? chosen : QFileInfo(chosen).fileName());

    answerer->expect(cancel);
    click(button);
    QCOMPARE(lineEdit->text(), showsFullPath ? chosen : QFileInfo(chosen).fileName());

    QCOMPARE(answerer->seen.size(), 3);
    for (const Modal &m : answerer->seen) {
        QCOMPARE(m.kind, QString("QFileDialog"));
        QCOMPARE(m.title, title);
        QCOMPARE(m.acceptMode, QFileDialog::AcceptOpen);
        QCOMPARE(m.fileMode, chooseFolder ? QFileDialog::Directory : QFileDialog::ExistingFile);
        QCOMPARE(m.showDirsOnly, chooseFolder);
        if (!chooseFolder)
            QCOMPARE(m.nameFilters, filters);
    }
    QVERIFY(logText().isEmpty());
}

void TestWindow::logoCheckKeepsChosenLogo()
{
    // The logo path is private; what shows it is the run, which refuses a logo that vanished.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString logo = dir.filePath("logo.png");
    QVERIFY(TestPhotos::writeImage(logo));
    child<QLineEdit>("directoryEdit")->setText(dir.path());
    answerer->expect(choose(logo));
    click("logoButton");
    QVERIFY(QFile::remove(logo));

    click("logoCheck");
    click("logoCheck");
    QCOMPARE(child<QLineEdit>("logoEdit")->text(), QString("logo.png"));
    answerer->expect(pressOk);
    click("startButton");
    QCOMPARE(answerer->seen.last().text, QString("Seleccione un archivo de logo válido."));
}

void TestWindow::colorChooser()
{
    auto *preview = child<QLabel>("colorPreview");

    answerer->expect(cancel);
    click("colorButton");
    QCOMPARE(preview->styleSheet(), QString("background-color: #FFFFFF"));

    answerer->expect(chooseColor(QColor(0x12, 0xab, 0x34)));
    click("colorButton");
    QCOMPARE(preview->styleSheet(), QString("background-color: #12ab34"));

    answerer->expect(cancel);
    click("colorButton");
    QCOMPARE(preview->styleSheet(), QString("background-color: #12ab34"));

    QCOMPARE(answerer->seen.size(), 3);
    for (const Modal &m : answerer->seen) {
        QCOMPARE(m.kind, QString("QColorDialog"));
        QCOMPARE(m.title, QString("Seleccionar Color Fuente"));
    }
    QCOMPARE(answerer->seen[0].initialColor, QColor(Qt::white));
    QCOMPARE(answerer->seen[1].initialColor, QColor(Qt::white));
    QCOMPARE(answerer->seen[2].initialColor, QColor(0x12, 0xab, 0x34));
    QVERIFY(logText().isEmpty());
}

void TestWindow::validations_data()
{
    QTest::addColumn<QString>("folder");  // "ok", "missing", "file", "empty"
    QTest::addColumn<QString>("logo");    // "none", "deleted", "deleted, unchecked"
    QTest::addColumn<QString>("txt");     // "exif mode", "empty", "missing", "ok"
    QTest::addColumn<QString>("message"); // empty: the run goes ahead

    const QString badFolder = "Seleccione un directorio de fotos válido.";
    const QString badLogo = "Seleccione un archivo de logo válido.";
    const QString badTxt = "Seleccione un archivo txt válido (o cambie el modo a EXIF).";

    QTest::newRow("missing folder") << "missing"
                                    << "none"
                                    << "exif mode" << badFolder;
    QTest::newRow("folder names a file") << "file"
                                         << "none"
                                         << "exif mode" << badFolder;
    QTest::newRow("missing folder before deleted logo") << "missing"
                                                        << "deleted"
                                                        << "empty" << badFolder;
    QTest::newRow("deleted logo") << "ok"
                                  << "deleted"
                                  << "exif mode" << badLogo;
    QTest::newRow("deleted logo before bad txt") << "ok"
                                                 << "deleted"
                                                 << "missing" << badLogo;
    QTest::newRow("deleted logo, logo unchecked") << "ok"
                                                  << "deleted, unchecked"
                                                  << "exif mode" << QString();
    QTest::newRow("txt mode, empty path") << "ok"
                                          << "none"
                                          << "empty" << badTxt;
    QTest::newRow("txt mode, missing file") << "ok"
                                            << "none"
                                            << "missing" << badTxt;
    QTest::newRow("txt mode, existing file") << "ok"
                                             << "none"
                                             << "ok" << QString();
    QTest::newRow("exif mode ignores the txt field") << "ok"
                                                     << "none"
                                                     << "exif mode" << QString();
    QTest::newRow("empty folder text is the working folder") << "empty"
                                                             << "none"
                                                             << "exif mode" << QString();
}

void TestWindow::validations()
{
    QFETCH(QString, folder);
    QFETCH(QString, logo);
    QFETCH(QString, txt);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString photos = dir.filePath("fotos");
    QVERIFY(QDir(dir.path()).mkdir("fotos"));
    const QString aFile = dir.filePath("coords.txt");
    QVERIFY(writeFile(aFile, "foto.jpg,19,H,350000,6300000\n"));

    // An empty folder text means the working folder: make it an empty one.
    const QString oldCurrent = QDir::currentPath();
    QVERIFY(QDir::setCurrent(photos));
    const auto restoreCurrent = qScopeGuard([&] { QDir::setCurrent(oldCurrent); });

    const QMap<QString, QString> folders = {{"ok", photos},
                                            {"missing", dir.filePath("no_existe")},
                                            {"file", aFile},
                                            {"empty", QString()}};
    child<QLineEdit>("directoryEdit")->setText(folders.value(folder));

    if (logo != "none") {
        const QString logoFile = dir.filePath("logo.png");
        QVERIFY(TestPhotos::writeImage(logoFile));
        answerer->expect(choose(logoFile));
        click("logoButton");
        QCOMPARE(child<QLineEdit>("logoEdit")->text(), QString("logo.png"));
        QVERIFY(QFile::remove(logoFile));
        if (logo == "deleted, unchecked")
            click("logoCheck");
    }

    const QMap<QString, QString> txtPaths = {{"exif mode", dir.filePath("no_existe.txt")},
                                             {"empty", QString()},
                                             {"missing", dir.filePath("no_existe.txt")},
                                             {"ok", aFile}};
    child<QLineEdit>("txtEdit")->setText(txtPaths.value(txt));
    if (txt != "exif mode")
        click("txtRadio");

    const int dialogsBefore = answerer->seen.size();
    answerer->expect(pressOk);
    click("startButton");

    QCOMPARE(answerer->seen.size(), dialogsBefore + 1);
    const Modal box = answerer->seen.last();
    QCOMPARE(box.kind, QString("QMessageBox"));
    if (message.isEmpty()) {
        QCOMPARE(box.title, QString("Éxito"));
        QVERIFY(logText().startsWith(startLine));
    } else {
        QCOMPARE(box.title, QString("Error"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text, message);
        QVERIFY(box.startEnabled);
        QVERIFY2(logText().isEmpty(), qPrintable(logText()));
    }
    QVERIFY(child<QPushButton>("startButton")->isEnabled());
}

void TestWindow::runFromForm_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("coordinates"); // coordinate file content; empty: EXIF mode
    QTest::addColumn<QStringList>("expectedFiles");
    QTest::addColumn<bool>("backupExpected");

    // con_gps.jpg lies at 33.44° S 70.66° W, in zone 19H; sin_gps.png has no position.
    QTest::newRow("defaults") << QStringList() << QString()
                              << QStringList{"19H *.jpg", "19J 500000 6000000.jpg"} << true;
    QTest::newRow("prefix, no backup")
        << QStringList{"prefixCheck", "backupCheck"} << QString()
        << QStringList{"XXX_XXX_SA_19H *.jpg", "XXX_XXX_SA_19J 500000 6000000.jpg"} << false;
    QTest::newRow("renaming off") << QStringList{"renameCheck"} << QString()
                                  << QStringList{"con_gps.jpg", "sin_gps.png"} << true;
    QTest::newRow("text-file mode")
        << QStringList{"txtRadio"} << QString("sin_gps.png,18,N,602050,508515,45\n")
        << QStringList{"con_gps.jpg", "18N 602050 508515.jpg"} << true;
}

void TestWindow::runFromForm()
{
    QFETCH(QStringList, clicks);
    QFETCH(QString, coordinates);
    QFETCH(QStringList, expectedFiles);
    QFETCH(bool, backupExpected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString error = makePhotos(dir);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QTemporaryDir elsewhere;
    const QString txtPath = elsewhere.filePath("coords.txt");
    QVERIFY(writeFile(txtPath, coordinates.toUtf8()));

    child<QLineEdit>("directoryEdit")->setText(dir.path());
    child<QLineEdit>("txtEdit")->setText(txtPath);
    for (const QString &name : clicks)
        click(name);

    answerer->expect(pressOk);
    click("startButton");

    QCOMPARE(answerer->seen.size(), 1);
    const Modal box = answerer->seen.first();
    QCOMPARE(box.title, QString("Éxito"));
    QCOMPARE(box.text, QString("Las fotos han sido procesadas correctamente."));
    QCOMPARE(box.icon, QMessageBox::Information);
    QVERIFY2(!box.startEnabled, "the start button must stay disabled until the box is closed");
    QVERIFY(child<QPushButton>("startButton")->isEnabled());

    const QStringList lines = logText().split('\n');
    QCOMPARE(lines.first(), startLine);
    QCOMPARE(lines.last(), QString("Proceso completado."));
    QVERIFY(lines.contains("Procesando: con_gps.jpg"));
    QVERIFY(lines.contains("Procesando: sin_gps.png"));

    const QStringList files = filesIn(dir.path());
    for (const QString &pattern : expectedFiles)
        QVERIFY2(QDir(dir.path()).entryList({pattern}, QDir::Files).size() == 1,
                 qPrintable(pattern + " not in " + files.join(", ")));
    QCOMPARE(files.size(), expectedFiles.size());
    QCOMPARE(QFileInfo(dir.filePath("Backup")).isDir(), backupExpected);
    if (!coordinates.isEmpty())
        QCOMPARE(
            TestPhotos::tag(dir.filePath("18N 602050 508515.jpg"), "Exif.GPSInfo.GPSLatitudeRef"),
            QString("N"));
}

void TestWindow::logKeepsEarlierRuns()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    child<QLineEdit>("directoryEdit")->setText(dir.path());

    answerer->expect(pressOk);
    click("startButton");
    answerer->expect(pressOk);
    click("startButton");

    const QStringList expected = {startLine, "Proceso completado.", startLine,
                                  "Proceso completado."};
    QCOMPARE(logText().split('\n'), expected);
}

void TestWindow::batchExceptionIsReported()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFile(dir.filePath("rota.jpg"), damagedRawBytes()));
    child<QLineEdit>("directoryEdit")->setText(dir.path());

    answerer->expect(pressOk);
    click("startButton");

    QCOMPARE(answerer->seen.size(), 1);
    const Modal box = answerer->seen.first();
    QCOMPARE(box.title, QString("Error"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.text.startsWith("Ocurrió un error: "), qPrintable(box.text));
    const QString reason = box.text.mid(QString("Ocurrió un error: ").size());
    QVERIFY(!reason.isEmpty());
    QVERIFY(!box.startEnabled);

    const QStringList lines = logText().split('\n');
    QCOMPARE(lines.first(), startLine);
    QCOMPARE(lines.last(), "Error durante el proceso: " + reason);
    QVERIFY(!lines.contains("Proceso completado."));
    QVERIFY(child<QPushButton>("startButton")->isEnabled());
}

void TestWindow::sampleFile_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("noGpsMessages");

    // The folder holds con_gps.jpg, sin_gps.png and sub/otra.jpg (no position).
    QTest::newRow("defaults: EXIF, no subfolders") << QStringList() << 2 << 1;
    QTest::newRow("no EXIF") << QStringList{"sampleExifCheck"} << 2 << 0;
    QTest::newRow("subfolders") << QStringList{"subdirectoriesCheck"} << 3 << 2;
    QTest::newRow("subfolders without EXIF")
        << QStringList{"subdirectoriesCheck", "sampleExifCheck"} << 3 << 0;
}

void TestWindow::sampleFile()
{
    QFETCH(QStringList, clicks);
    QFETCH(int, rows);
    QFETCH(int, noGpsMessages);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString error = makePhotos(dir);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(TestPhotos::writeImage(dir.filePath("sub/otra.jpg")));
    QTemporaryDir out;
    const QString sample = out.filePath("ejemplo.txt");

    click("txtRadio");
    for (const QString &name : clicks)
        click(name);
    auto *txtEdit = child<QLineEdit>("txtEdit");
    txtEdit->setText("previo.txt");

    // A folder that does not exist: a message, and no save dialog.
    child<QLineEdit>("directoryEdit")->setText(dir.filePath("no_existe"));
    answerer->expect(pressOk);
    click("sampleButton");
    QCOMPARE(answerer->seen.size(), 1);
    QCOMPARE(answerer->seen[0].title, QString("Error"));
    QCOMPARE(answerer->seen[0].icon, QMessageBox::Critical);
    QCOMPARE(answerer->seen[0].text,
             QString("Seleccione un directorio de fotos válido antes de crear el archivo de "
                     "ejemplo."));

    child<QLineEdit>("directoryEdit")->setText(dir.path());
    answerer->expect(cancel);
    click("sampleButton");
    QCOMPARE(txtEdit->text(), QString("previo.txt"));
    QVERIFY(logText().isEmpty());
    QVERIFY(!QFile::exists(sample));

    answerer->expect(choose(sample));
    click("sampleButton");
    QCOMPARE(txtEdit->text(), sample);
    QVERIFY(child<QRadioButton>("txtRadio")->isChecked());

    QCOMPARE(answerer->seen.size(), 3);
    for (int i = 1; i < 3; ++i) {
        QCOMPARE(answerer->seen[i].kind, QString("QFileDialog"));
        QCOMPARE(answerer->seen[i].title, QString("Guardar Archivo de Ejemplo"));
        QCOMPARE(answerer->seen[i].acceptMode, QFileDialog::AcceptSave);
        QCOMPARE(answerer->seen[i].nameFilters, QStringList{"Text Files (*.txt)"});
    }

    QFile file(sample);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList content = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(content.size(), 1 + rows);
    const QStringList log = logText().split('\n');
    QCOMPARE(log.filter("Datos GPS no encontrados en EXIF para ").size(), noGpsMessages);
    QCOMPARE(log.last(), "Archivo de ejemplo creado en: " + sample);
}

void TestWindow::sampleFileGeneratorFailure()
{
    if (geteuid() != 0)
        QSKIP("needs root to make a folder immutable");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir("cerrada"));
    const QString sample = dir.filePath("cerrada/ejemplo.txt");
    TestPhotos::ImmutableFile locked(dir.filePath("cerrada"));
    if (!locked.isSet())
        QSKIP("chattr +i does not work here");

    click("txtRadio");
    child<QLineEdit>("directoryEdit")->setText(dir.path());
    answerer->expect(choose(sample));
    click("sampleButton");

    QCOMPARE(child<QLineEdit>("txtEdit")->text(), sample);
    QVERIFY(!QFile::exists(sample));
    QVERIFY(
        logText().contains("Error al crear el archivo de ejemplo: no se pudo abrir el archivo."));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
