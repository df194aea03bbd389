#include "testphotos.h"
#include "zuvaduvazazigui.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
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

const QString startLine = "Iniciando el proceso de renombrado y modificación de fotos...";

// What a modal dialog showed when it opened.
struct Modal
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QFileDialog::AcceptMode acceptMode = QFileDialog::AcceptOpen;
    bool startEnabled = false; // state of "Iniciar Proceso" while the dialog was up
    bool expected = false;
};

// Answers every modal dialog that opens with the next queued answer, so no test can hang on one;
// a dialog nobody expected (or one its answer did not close) is rejected and recorded as such.
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
    void expect(const Answer &answer) { answers.append(answer); }
    QList<Answer> answers;
    QList<Modal> seen;

private:
    void poll()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        Modal m{dialog->windowTitle(),
                {},
                QMessageBox::NoIcon,
                QFileDialog::AcceptOpen,
                m_startButton && m_startButton->isEnabled(),
                !answers.isEmpty()};
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            m.text = box->text();
            m.icon = box->icon();
        } else if (auto *files = qobject_cast<QFileDialog *>(dialog)) {
            m.acceptMode = files->acceptMode();
        }
        seen.append(m);
        if (m.expected)
            answers.takeFirst()(dialog);
        else
            dialog->reject();
    }

    QTimer m_poll;
    QPointer<QPushButton> m_startButton;
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

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startState();
    void enablingRules_data();
    void enablingRules();
    void validations_data();
    void validations();
    void runFromForm_data();
    void runFromForm();
    void batchExceptionIsReported();
    void sampleFile();
    void sampleFileGeneratorFailure();

private:
    template <typename T> T *child(const char *name) const
    {
        return window->findChild<T *>(QString::fromLatin1(name));
    }
    // Near the left edge, where check and radio boxes have their indicator.
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
    const qsizetype pending = answerer->answers.size();
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
    QCOMPARE(ZuvadUvazaziGUI().size(), QSize(750, 840));
    QVERIFY(child<QGroupBox>("txtGroup")->isHidden());
    QVERIFY(child<QRadioButton>("exifRadio")->isChecked());
    QCOMPARE(child<QLineEdit>("fontEdit")->text(), QString("notosans.ttf"));
    QCOMPARE(child<QLabel>("colorPreview")->styleSheet(), QString("background-color: #FFFFFF"));
    const QList<QPair<const char *, QString>> combos = {
        {"logoPositionCombo", "arriba-izquierda"},
        {"dateTimePositionCombo", "abajo-derecha"},
        {"coordinatesPositionCombo", "abajo-derecha"},
        {"rosePositionCombo", "abajo-izquierda"}};
    for (const auto &[name, current] : combos) {
        auto *combo = child<QComboBox>(name);
        QVERIFY2(combo, name);
        QCOMPARE(combo->currentText(), current);
        QCOMPARE(combo->count(), 4);
    }
    const QStringList unchecked = {"subdirectoriesCheck", "prefixCheck"};
    for (QCheckBox *check : window->findChildren<QCheckBox *>())
        QVERIFY2(check->isChecked() != unchecked.contains(check->objectName()),
                 qPrintable(check->objectName()));
    QCOMPARE(window->findChildren<QCheckBox *>().size(), 9);
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

    QTest::newRow("prefix on") << QStringList{"prefixCheck"} << true << true << true << true;
    QTest::newRow("prefix on, rename off keeps prefix checked")
        << QStringList{"prefixCheck", "renameCheck"} << false << true << false << true;
    QTest::newRow("prefix cannot be clicked while rename is off")
        << QStringList{"renameCheck", "prefixCheck"} << false << false << false << true;
    QTest::newRow("logo off") << QStringList{"logoCheck"} << true << false << false << false;
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

void TestWindow::validations_data()
{
    QTest::addColumn<QString>("folder");  // "ok", "missing"
    QTest::addColumn<QString>("logo");    // "none", "deleted", "deleted, unchecked"
    QTest::addColumn<QString>("txt");     // "exif mode", "missing", "ok"
    QTest::addColumn<QString>("message"); // empty: the run goes ahead

    const QString badFolder = "Seleccione un directorio de fotos válido.";
    const QString badLogo = "Seleccione un archivo de logo válido.";
    const QString badTxt = "Seleccione un archivo txt válido (o cambie el modo a EXIF).";

    const auto row = [](const char *name, const char *folder, const char *logo, const char *txt,
                        const QString &message) {
        QTest::newRow(name) << QString(folder) << QString(logo) << QString(txt) << message;
    };
    row("missing folder", "missing", "none", "exif mode", badFolder);
    row("missing folder before deleted logo", "missing", "deleted", "missing", badFolder);
    row("deleted logo", "ok", "deleted", "exif mode", badLogo);
    row("deleted logo, logo unchecked", "ok", "deleted, unchecked", "exif mode", QString());
    row("txt mode, missing file", "ok", "none", "missing", badTxt);
    row("txt mode, existing file", "ok", "none", "ok", QString());
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

    child<QLineEdit>("directoryEdit")->setText(folder == "ok" ? photos : dir.filePath("no_existe"));

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

    child<QLineEdit>("txtEdit")->setText(txt == "ok" ? aFile : dir.filePath("no_existe.txt"));
    if (txt != "exif mode")
        click("txtRadio");

    const qsizetype dialogsBefore = answerer->seen.size();
    answerer->expect(pressOk);
    click("startButton");
    QCOMPARE(answerer->seen.size(), dialogsBefore + 1);
    const Modal box = answerer->seen.last();
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

    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
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

void TestWindow::sampleFile()
{
    // con_gps.jpg, sin_gps.png and sub/otra.jpg, the last two without a position.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString error = makePhotos(dir);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    QVERIFY(TestPhotos::writeImage(dir.filePath("sub/otra.jpg")));
    QTemporaryDir out;
    const QString sample = out.filePath("ejemplo.txt");

    click("txtRadio");
    click("subdirectoriesCheck");
    auto *txtEdit = child<QLineEdit>("txtEdit");
    txtEdit->setText("previo.txt");

    child<QLineEdit>("directoryEdit")->setText(dir.filePath("no_existe"));
    answerer->expect(pressOk);
    click("sampleButton");
    QCOMPARE(answerer->seen.size(), 1);
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
    QCOMPARE(answerer->seen[2].title, QString("Guardar Archivo de Ejemplo"));
    QCOMPARE(answerer->seen[2].acceptMode, QFileDialog::AcceptSave);

    QFile file(sample);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList content = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(content.size(), 1 + 3);
    const QStringList log = logText().split('\n');
    QCOMPARE(log.filter("Datos GPS no encontrados en EXIF para ").size(), 2);
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
