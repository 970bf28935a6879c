#include "appdelegate.h"

#include "controller/mainwindowcontroller.h"
#include "controller/setupflow.h"
#include "diag/itlog.h"
#include "platform/cpu.h"
#include "ui/installerwindow.h"

#include <QSysInfo>
#include <QTimer>
#include <QWindow>

using namespace controller;
using namespace ui;

namespace app {

namespace {

// The window rectangle in screen coordinates, written as {{x, y}, {width, height}}.
QString rectText(const QRect &r)
{
    return QStringLiteral("{{%1, %2}, {%3, %4}}")
        .arg(r.x())
        .arg(r.y())
        .arg(r.width())
        .arg(r.height());
}

} // namespace

AppDelegate::AppDelegate(QString privateFolder) : m_privateFolder(std::move(privateFolder)) {}
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    // Which image the run takes follows from the processor the kernel reports, whatever the
    // program was built for (an emulated one reports the emulated processor).
    ITLog("APP: processor %@ (%@ image), program built for %@", platform::machineName(),
          platform::isArm64() ? QStringLiteral("arm64") : QStringLiteral("x86_64"),
          QSysInfo::buildCpuArchitecture());
    m_mainController =
        std::make_unique<MainWindowController>(SetupFlow::standardParts(m_privateFolder));
    InstallerWindow *window = m_mainController->window();
    window->winId(); // the native window exists from here on, so its first exposure can be seen
    window->windowHandle()->installEventFilter(this);
    window->show();
    window->raise();
    window->activateWindow();
}

// "UI: window visible" is written once, when the window is first on screen: the exposure is
// handled (and the window painted) before the posted call runs.
bool AppDelegate::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Expose && static_cast<QWindow *>(watched)->isExposed()) {
        watched->removeEventFilter(this);
        QTimer::singleShot(0, this, &AppDelegate::logWindowVisible);
    }
    return QObject::eventFilter(watched, event);
}

void AppDelegate::logWindowVisible()
{
    const InstallerWindow *window = m_mainController->window();
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

} // namespace app
