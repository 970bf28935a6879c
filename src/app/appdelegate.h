#pragma once

#include <QObject>

#include <memory>

class MainWindowController;

// Creates the one controller once the event loop runs and shows its window.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    AppDelegate();
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    MainWindowController *mainController() const { return m_mainController.get(); }

private:
    std::unique_ptr<MainWindowController> m_mainController;
};
