// The form of a batch run, built in code, and the slots behind its buttons.
#include "zuvaduvazazigui.h"

#include "corner.h"
#include "photoprocessor.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColor>
#include <QColorDialog>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QStringList>
#include <QTextEdit>
#include <QVBoxLayout>

#include <exception>

namespace {

// Tests and tools find the controls by object name, so every member widget carries its own.
template <typename Widget> Widget *named(Widget *widget, const char *name)
{
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLineEdit *createPathEdit(const char *name)
{
    auto *edit = named(new QLineEdit, name);
    edit->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return edit;
}

QDoubleSpinBox *createRatioSpin(const char *name, double minimum, double maximum, double step,
                                double value)
{
    auto *spin = named(new QDoubleSpinBox, name);
    spin->setRange(minimum, maximum);
    spin->setSingleStep(step);
    spin->setValue(value);
    return spin;
}

QComboBox *createPositionCombo(const char *name)
{
    auto *combo = named(new QComboBox, name);
    combo->addItems(cornerNames());
    return combo;
}

QCheckBox *createCheck(const QString &text, const char *name, bool checked)
{
    auto *check = named(new QCheckBox(text), name);
    check->setChecked(checked);
    return check;
}

QPushButton *createSelectButton(const char *name)
{
    return named(new QPushButton(QStringLiteral("Seleccionar")), name);
}

} // namespace

ZuvadUvazaziGUI::ZuvadUvazaziGUI(QWidget *parent)
    : QMainWindow(parent)
    , fontPath(QCoreApplication::applicationDirPath() + "/notosans.ttf")
    , fontColor("#FFFFFF")
{
    setWindowTitle("Cartaluz: Renombrador/Incrustador de coordenadas UTM en fotografías");
    resize(750, 840);

    auto *central = new QWidget(this);
    auto *mainLayout = new QVBoxLayout(central);
    mainLayout->addWidget(createInputsGroup());
    mainLayout->addWidget(createSettingsGroup());
    mainLayout->addWidget(createModeGroup());
    mainLayout->addWidget(createTxtGroup());
    startButton = named(new QPushButton("Iniciar Proceso"), "startButton");
    mainLayout->addWidget(startButton);
    mainLayout->addWidget(createLogGroup());
    footerLabel = named(
        new QLabel("Cartaluz — herramienta de campo para fotografías georreferenciadas", central),
        "footerLabel");
    footerLabel->setAlignment(Qt::AlignRight);
    mainLayout->addWidget(footerLabel);

    prefixCheck->setEnabled(renameCheck->isChecked());
    prefixEdit->setEnabled(renameCheck->isChecked() && prefixCheck->isChecked());
    logoEdit->setEnabled(logoCheck->isChecked());
    logoButton->setEnabled(logoCheck->isChecked());

    connectActions();
    setCentralWidget(central);
}

ZuvadUvazaziGUI::~ZuvadUvazaziGUI() = default;

QGroupBox *ZuvadUvazaziGUI::createInputsGroup()
{
    directoryEdit = createPathEdit("directoryEdit");
    directoryButton = createSelectButton("directoryButton");
    subdirectoriesCheck = createCheck("Incluir subdirectorios", "subdirectoriesCheck", false);
    logoEdit = createPathEdit("logoEdit");
    logoButton = createSelectButton("logoButton");
    fontEdit = createPathEdit("fontEdit");
    fontEdit->setText(QFileInfo(fontPath).fileName());
    fontButton = createSelectButton("fontButton");

    auto *group = new QGroupBox("Entradas");
    auto *grid = new QGridLayout(group);
    grid->setContentsMargins(5, 5, 5, 5);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);
    grid->addWidget(new QLabel("Carpeta:"), 0, 0);
    grid->addWidget(directoryEdit, 0, 1);
    // Keeps the folder row's button in column 3 like the rows with "(opcional)".
    grid->addWidget(new QLabel, 0, 2);
    grid->addWidget(directoryButton, 0, 3);
    grid->addWidget(subdirectoriesCheck, 1, 0, 1, 4);
    grid->addWidget(new QLabel("Logo:"), 2, 0);
    grid->addWidget(logoEdit, 2, 1);
    grid->addWidget(new QLabel("(opcional)"), 2, 2);
    grid->addWidget(logoButton, 2, 3);
    grid->addWidget(new QLabel("Fuente:"), 3, 0);
    grid->addWidget(fontEdit, 3, 1);
    grid->addWidget(new QLabel("(opcional)"), 3, 2);
    grid->addWidget(fontButton, 3, 3);
    grid->setColumnStretch(0, 0);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(2, 0);
    grid->setColumnStretch(3, 0);
    return group;
}

QGroupBox *ZuvadUvazaziGUI::createSettingsGroup()
{
    fontRatioSpin = createRatioSpin("fontRatioSpin", 0.01, 0.1, 0.005, 0.03);
    logoRatioSpin = createRatioSpin("logoRatioSpin", 0.01, 0.3, 0.01, 0.2);
    roseRatioSpin = createRatioSpin("roseRatioSpin", 0.05, 0.5, 0.01, 0.18);

    colorPreview = named(new QLabel, "colorPreview");
    colorPreview->setFixedWidth(50);
    colorPreview->setStyleSheet("background-color: " + fontColor);
    colorButton = createSelectButton("colorButton");

    logoPositionCombo = createPositionCombo("logoPositionCombo");
    dateTimePositionCombo = createPositionCombo("dateTimePositionCombo");
    dateTimePositionCombo->setCurrentText(cornerName(Corner::BottomRight));
    coordinatesPositionCombo = createPositionCombo("coordinatesPositionCombo");
    coordinatesPositionCombo->setCurrentText(cornerName(Corner::BottomRight));
    rosePositionCombo = createPositionCombo("rosePositionCombo");
    rosePositionCombo->setCurrentText(cornerName(Corner::BottomLeft));

    renameCheck = createCheck("Renombrar las fotos a coordenadas UTM", "renameCheck", true);
    prefixCheck = createCheck("Agregar prefijo", "prefixCheck", false);
    prefixEdit = named(new QLineEdit("XXX_XXX_SA_"), "prefixEdit");
    roseCheck = createCheck("Dibujar rosa de los vientos (si existen datos de orientación)",
                            "roseCheck", true);
    logoCheck = createCheck("Incrustar logo seleccionado", "logoCheck", true);
    drawTextCheck = createCheck("Dibujar coordenadas y datos en las fotos", "drawTextCheck", true);
    backupCheck = createCheck("Realizar copia de seguridad de las fotos", "backupCheck", true);

    auto *group = new QGroupBox("Configuraciones");
    auto *grid = new QGridLayout(group);
    grid->addWidget(new QLabel("Ratio Fuente:"), 0, 0);
    grid->addWidget(fontRatioSpin, 0, 1);
    grid->addWidget(new QLabel("Color Fuente:"), 0, 2);
    grid->addWidget(colorPreview, 0, 3);
    grid->addWidget(colorButton, 0, 4);
    grid->addWidget(new QLabel("Ratio Logo:"), 1, 0);
    grid->addWidget(logoRatioSpin, 1, 1);
    grid->addWidget(new QLabel("Posición Logo:"), 1, 2);
    grid->addWidget(logoPositionCombo, 1, 3);
    grid->addWidget(new QLabel("Pos. Fecha/Hora:"), 2, 0);
    grid->addWidget(dateTimePositionCombo, 2, 1);
    grid->addWidget(new QLabel("Pos. Coordenadas:"), 2, 2);
    grid->addWidget(coordinatesPositionCombo, 2, 3);
    grid->addWidget(new QLabel("Posición Rosa de Vientos:"), 3, 0);
    grid->addWidget(rosePositionCombo, 3, 1);
    grid->addWidget(renameCheck, 4, 0);
    grid->addWidget(prefixCheck, 4, 1);
    grid->addWidget(prefixEdit, 4, 2, 1, 2);
    grid->addWidget(roseCheck, 5, 0, 1, 2);
    grid->addWidget(new QLabel("Ratio Rosa Vientos (%):"), 5, 2);
    grid->addWidget(roseRatioSpin, 5, 3);
    grid->addWidget(logoCheck, 6, 0, 1, 4);
    grid->addWidget(drawTextCheck, 7, 0, 1, 4);
    grid->addWidget(backupCheck, 8, 0, 1, 4);
    return group;
}

QGroupBox *ZuvadUvazaziGUI::createModeGroup()
{
    exifRadio = named(new QRadioButton("Usar EXIF de las Fotos"), "exifRadio");
    txtRadio = named(new QRadioButton("Usar Archivo .txt con UTM"), "txtRadio");
    modeGroup = named(new QButtonGroup(this), "modeGroup");
    modeGroup->addButton(exifRadio);
    modeGroup->addButton(txtRadio);
    exifRadio->setChecked(true);

    auto *group = new QGroupBox("Modo de Entrada");
    auto *row = new QHBoxLayout(group);
    row->addWidget(exifRadio);
    row->addWidget(txtRadio);
    return group;
}

QGroupBox *ZuvadUvazaziGUI::createTxtGroup()
{
    txtEdit = named(new QLineEdit, "txtEdit");
    txtEdit->setMinimumWidth(300);
    txtButton = createSelectButton("txtButton");
    sampleButton = named(new QPushButton("Crear Ejemplo"), "sampleButton");
    sampleExifCheck = createCheck("Usar datos EXIF originales para crear el ejemplo (GPS, "
                                  "orientación), si no existen serán aleatorios",
                                  "sampleExifCheck", true);
    txtToExifCheck =
        createCheck("Incrustar datos del archivo TXT en EXIF de las fotografias procesadas",
                    "txtToExifCheck", true);

    txtGroup = named(new QGroupBox("Archivo TXT"), "txtGroup");
    auto *grid = new QGridLayout(txtGroup);
    grid->addWidget(new QLabel("Ruta TXT:"), 0, 0);
    grid->addWidget(txtEdit, 0, 1);
    grid->addWidget(txtButton, 0, 2);
    grid->addWidget(sampleButton, 0, 3);
    grid->addWidget(sampleExifCheck, 1, 0, 1, 4);
    grid->addWidget(txtToExifCheck, 2, 0, 1, 4);
    txtGroup->hide();
    return txtGroup;
}

QGroupBox *ZuvadUvazaziGUI::createLogGroup()
{
    logView = named(new QTextEdit, "logView");
    logView->setReadOnly(true);

    auto *group = new QGroupBox("Log de Procesos");
    auto *column = new QVBoxLayout(group);
    column->addWidget(logView);
    return group;
}

void ZuvadUvazaziGUI::connectActions()
{
    connect(directoryButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::selectDirectory);
    connect(logoButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::selectLogo);
    connect(fontButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::selectFont);
    connect(colorButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::selectColor);
    // The prefix edit follows both check boxes: usable only while renaming with a prefix.
    connect(renameCheck, &QCheckBox::toggled, prefixCheck, &QCheckBox::setEnabled);
    connect(renameCheck, &QCheckBox::toggled, this,
            [this](bool checked) { prefixEdit->setEnabled(checked && prefixCheck->isChecked()); });
    connect(prefixCheck, &QCheckBox::toggled, prefixEdit, &QLineEdit::setEnabled);
    connect(logoCheck, &QCheckBox::toggled, logoEdit, &QLineEdit::setEnabled);
    connect(logoCheck, &QCheckBox::toggled, logoButton, &QPushButton::setEnabled);
    connect(exifRadio, &QRadioButton::toggled, this, &ZuvadUvazaziGUI::toggleMode);
    connect(txtButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::selectTxt);
    connect(sampleButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::createSampleFile);
    connect(startButton, &QPushButton::clicked, this, &ZuvadUvazaziGUI::startProcess);
}

void ZuvadUvazaziGUI::selectDirectory()
{
    const QString directory = QFileDialog::getExistingDirectory(
        this, "Seleccionar Directorio", QString(), QFileDialog::ShowDirsOnly);
    if (!directory.isEmpty())
        directoryEdit->setText(directory);
}

void ZuvadUvazaziGUI::selectLogo()
{
    const QString path = QFileDialog::getOpenFileName(this, "Seleccionar Logo", QString(),
                                                      "Image Files (*.png *.jpg *.jpeg *.tiff)");
    if (path.isEmpty())
        return;
    logoPath = path;
    logoEdit->setText(QFileInfo(path).fileName());
}

void ZuvadUvazaziGUI::selectFont()
{
    const QString path = QFileDialog::getOpenFileName(this, "Seleccionar Fuente", QString(),
                                                      "Font Files (*.ttf *.otf);;All Files (*)");
    if (path.isEmpty())
        return;
    fontPath = path;
    fontEdit->setText(QFileInfo(path).fileName());
}

void ZuvadUvazaziGUI::selectTxt()
{
    const QString path = QFileDialog::getOpenFileName(this, "Seleccionar Archivo txt", QString(),
                                                      "Text Files (*.txt *.TXT);;All Files (*)");
    if (!path.isEmpty())
        txtEdit->setText(path);
}

void ZuvadUvazaziGUI::selectColor()
{
    const QColor color =
        QColorDialog::getColor(QColor(fontColor), this, "Seleccionar Color Fuente");
    if (!color.isValid())
        return;
    fontColor = color.name();
    colorPreview->setStyleSheet("background-color: " + fontColor);
}

void ZuvadUvazaziGUI::createSampleFile()
{
    const QString directory = directoryEdit->text();
    // An empty text passes: QDir("") is the working directory.
    if (!QDir(directory).exists()) {
        QMessageBox::critical(
            this, "Error",
            "Seleccione un directorio de fotos válido antes de crear el archivo de ejemplo.");
        return;
    }

    const QString outputPath = QFileDialog::getSaveFileName(this, "Guardar Archivo de Ejemplo",
                                                            QString(), "Text Files (*.txt)");
    if (outputPath.isEmpty())
        return;

    const LogCallback logLine = [this](const QString &line) {
        logView->append(line);
    };
    const bool useExif = sampleExifCheck->isChecked();
    const bool includeSubdirectories = subdirectoriesCheck->isChecked();
    PhotoProcessor::createSampleCoordinateFile(directory, outputPath, includeSubdirectories,
                                               useExif, logLine);
    // The generator reports its own failures in the log; the path is taken either way.
    txtEdit->setText(outputPath);
}

void ZuvadUvazaziGUI::startProcess()
{
    const QString directory = directoryEdit->text();
    const QString logo = logoCheck->isChecked() ? logoPath : QString();
    const QString font = fontPath;
    const double fontRatio = fontRatioSpin->value();
    const double logoRatio = logo.isEmpty() ? 0.0 : logoRatioSpin->value();
    const double roseRatio = roseRatioSpin->value();
    const bool useExif = exifRadio->isChecked();
    const QString txtPath = useExif ? QString() : txtEdit->text();
    const bool addPrefix = prefixCheck->isChecked();
    const QString prefix = prefixEdit->text();

    if (!QDir(directory).exists()) {
        QMessageBox::critical(this, "Error", "Seleccione un directorio de fotos válido.");
        return;
    }
    if (!logo.isEmpty() && !QFile::exists(logo)) {
        QMessageBox::critical(this, "Error", "Seleccione un archivo de logo válido.");
        return;
    }
    if (!useExif && (txtPath.isEmpty() || !QFile::exists(txtPath))) {
        QMessageBox::critical(this, "Error",
                              "Seleccione un archivo txt válido (o cambie el modo a EXIF).");
        return;
    }

    logView->append("Iniciando el proceso de renombrado y modificación de fotos...");
    startButton->setEnabled(false);
    // The run blocks the GUI thread: paint the disabled button and the first line now.
    QCoreApplication::processEvents();

    try {
        const bool makeBackup = backupCheck->isChecked();
        const LogCallback logLine = [this](const QString &line) {
            logView->append(line);
        };
        const QString rosePosition = rosePositionCombo->currentText();
        const bool embedTxtInExif = txtToExifCheck->isChecked();
        const bool drawText = drawTextCheck->isChecked();
        const bool drawRose = roseCheck->isChecked();
        const bool includeSubdirectories = subdirectoriesCheck->isChecked();
        const bool renameToUtm = renameCheck->isChecked();
        const QString logoPosition = logoPositionCombo->currentText();
        const QString dateTimePosition = dateTimePositionCombo->currentText();
        const QString coordinatesPosition = coordinatesPositionCombo->currentText();
        const QColor textColor(fontColor);

        PhotoProcessor::processPhotos(directory, logo, font, fontRatio, useExif, txtPath, textColor,
                                      logoRatio, logoPosition, dateTimePosition,
                                      coordinatesPosition, roseRatio, renameToUtm, addPrefix,
                                      prefix, includeSubdirectories, drawRose, drawText,
                                      embedTxtInExif, rosePosition, makeBackup, logLine);

        logView->append("Proceso completado.");
        QMessageBox::information(this, "Éxito", "Las fotos han sido procesadas correctamente.");
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        logView->append("Error durante el proceso: " + text);
        QMessageBox::critical(this, "Error", "Ocurrió un error: " + text);
    }

    startButton->setEnabled(true);
}

void ZuvadUvazaziGUI::toggleMode()
{
    txtGroup->setVisible(txtRadio->isChecked());
}

void ZuvadUvazaziGUI::log(const QString &message)
{
    logView->append(message);
}
