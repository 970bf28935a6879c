#include "installerwindow.h"

#include "config.h"

#include "ui/closebutton.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

namespace ui {

InstallerWindow::InstallerWindow(QWidget *parent) : QWidget(parent)
{
    setWindowTitle(QStringLiteral(QUILLMARSH_PRODUCT_NAME));
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    setFixedSize(kWidth, kHeight);
    setContextMenuPolicy(Qt::NoContextMenu);

    // Centred vertically on the brand icon (y 10..34), left of it (x < 28).
    m_closeButton = new CloseButton(this);
    m_closeButton->setGeometry(8, 15, 14, 14);
}

void InstallerWindow::setContentView(QWidget *view)
{
    m_contentView = view;
    view->setParent(this);
    view->move(0, 0);
    view->show();
    m_closeButton->raise();
}

void InstallerWindow::setFrame(const QRect &frame)
{
    setFixedSize(frame.size());
    setGeometry(frame);
}

void InstallerWindow::center()
{
    QScreen *s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    QRect r(QPoint(0, 0), size());
    r.moveCenter(s->availableGeometry().center());
    move(r.topLeft());
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

// Presses that no control took (background, labels, pictures, panels) arrive here and move the
// window, as a title bar would.
void InstallerWindow::mousePressEvent(QMouseEvent *event)
{
    QWidget *hit = childAt(event->position().toPoint());
    const bool background = !hit || hit->focusPolicy() == Qt::NoFocus;
    if (event->button() == Qt::LeftButton && background && windowHandle()) {
        windowHandle()->startSystemMove();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

} // namespace ui
