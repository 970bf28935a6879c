#include "installerwindow.h"

#include <QCloseEvent>

InstallerWindow::InstallerWindow(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Quillmarsh"));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFixedSize(640, 368);
}

void InstallerWindow::closeEvent(QCloseEvent *event)
{
    if (shouldClose && !shouldClose()) {
        event->ignore();
        return;
    }
    event->accept();
    if (willClose)
        willClose();
}
