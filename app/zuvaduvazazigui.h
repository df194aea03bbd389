// The program's only window: the form with every option of a batch run, and its actions.
#pragma once

#include <QMainWindow>

// TODO(window helper): the form is not built yet.
class ZuvadUvazaziGUI : public QMainWindow
{
    Q_OBJECT

public:
    explicit ZuvadUvazaziGUI(QWidget *parent = nullptr);
    ~ZuvadUvazaziGUI() override;
};
