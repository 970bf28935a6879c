#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace controller {
class MainWindowController;
} // namespace controller

namespace app {

// Creates the one controller once the event loop runs, shows its window and brings it to the
// front again when another start of the installer asks for it.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    // privateFolder: where the download and the install's working files go, decided once.
    explicit AppDelegate(QString privateFolder);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    // The process ends when its one window has closed.
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    // Raise and activate the window (a second start of the installer asked for it).
    void activate();

    controller::MainWindowController *mainController() const { return m_mainController.get(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void logWindowVisible();

    QString m_privateFolder;
    std::unique_ptr<controller::MainWindowController> m_mainController;
};

} // namespace app
