#include "appdelegate.h"

#include "controller/mainwindowcontroller.h"
#include "diag/itlog.h"
#include "installerwindow.h"

#include <QCoreApplication>
#include <QWidget>

namespace {

// The window rectangle in screen coordinates, written as {{x, y}, {width, height}}.
QString rectText(const QRect &r)
{
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    m_mainController = std::make_unique<MainWindowController>();
    InstallerWindow *window = m_mainController->window();
    window->show();
    window->raise();
    window->activateWindow();
    // Let the window system deliver the show and activation before reporting them.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);

    const QWidget *content = window->contentView();
    const qulonglong subviews =
        content ? content->findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size() : 0;
    ITLog("UI: window visible=%d key=%d frame=%@ subviews=%lu", window->isVisible() ? 1 : 0,
          window->isActiveWindow() ? 1 : 0, rectText(window->frameGeometry()), subviews);
}

void AppDelegate::activate()
{
    if (!m_mainController)
        return;
    InstallerWindow *window = m_mainController->window();
    if (window->isMinimized())
        window->showNormal();
    window->show();
    window->raise();
    window->activateWindow();
}
