// The program's only window: the form with every option of a batch run, and its actions.
#pragma once

#include <QMainWindow>
#include <QString>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTextEdit;

class ZuvadUvazaziGUI : public QMainWindow
{
    Q_OBJECT

public:
    explicit ZuvadUvazaziGUI(QWidget *parent = nullptr);
    ~ZuvadUvazaziGUI() override;

private slots:
    void selectDirectory();
    void selectLogo();
    void selectFont();
    void selectTxt();
    void selectColor();
    void createSampleFile();
    void startProcess();
    void toggleMode();
    void log(const QString &message);

private:
    QGroupBox *createInputsGroup();
    QGroupBox *createSettingsGroup();
    QGroupBox *createModeGroup();
    QGroupBox *createTxtGroup();
    QGroupBox *createLogGroup();
    void connectActions();

    // Only these three strings are the window's own; fontEdit and logoEdit merely show the
    // file-name part of the two paths.
    QString fontPath;
    QString logoPath;
    QString fontColor;

    QLineEdit *directoryEdit;
    QLineEdit *logoEdit;
    QLineEdit *fontEdit;
    QLineEdit *txtEdit;
    QLineEdit *prefixEdit;
    QPushButton *directoryButton;
    QPushButton *logoButton;
    QPushButton *fontButton;
    QPushButton *colorButton;
    QPushButton *txtButton;
    QPushButton *sampleButton;
    QPushButton *startButton;
    QCheckBox *subdirectoriesCheck;
    QCheckBox *renameCheck;
    QCheckBox *prefixCheck;
    QCheckBox *roseCheck;
    QCheckBox *drawTextCheck;
    QCheckBox *txtToExifCheck;
    QCheckBox *backupCheck;
    QCheckBox *sampleExifCheck;
    QCheckBox *logoCheck;
    QDoubleSpinBox *fontRatioSpin;
    QDoubleSpinBox *logoRatioSpin;
    QDoubleSpinBox *roseRatioSpin;
    QLabel *colorPreview;
    QLabel *footerLabel;
    QComboBox *logoPositionCombo;
    QComboBox *dateTimePositionCombo;
    QComboBox *coordinatesPositionCombo;
    QComboBox *rosePositionCombo;
    QRadioButton *exifRadio;
    QRadioButton *txtRadio;
    QButtonGroup *modeGroup;
    QGroupBox *txtGroup;
    QTextEdit *logView;
};
