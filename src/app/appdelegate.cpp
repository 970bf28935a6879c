#include "appdelegate.h"

#include "controller/mainwindowcontroller.h"
#include "installerwindow.h"

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    m_mainController = std::make_unique<MainWindowController>();
    m_mainController->window()->show();
}
