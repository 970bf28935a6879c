#include "mainwindowcontroller.h"

#include <QLabel>

// Placeholder until the screens land.
void MainWindowController::buildUI() {}
void MainWindowController::buildMainView() {}
QPixmap MainWindowController::image(const QString &) const { return {}; }
QLabel *MainWindowController::label(const QString &, const QRect &, double, const QColor &, bool, QWidget *) { return nullptr; }
LinkLabel *MainWindowController::link(const QString &, const QRect &, void (MainWindowController::*)(), QWidget *) { return nullptr; }
void MainWindowController::styleLink(QLabel *, bool) {}
