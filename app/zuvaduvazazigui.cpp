#include "zuvaduvazazigui.h"

ZuvadUvazaziGUI::ZuvadUvazaziGUI(QWidget *parent) : QMainWindow(parent) {}

ZuvadUvazaziGUI::~ZuvadUvazaziGUI() = default;
