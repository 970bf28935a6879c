#pragma once

#include "setupflow.h"

#include "l10n/uistrings.h"

#include <QColor>
#include <QFont>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPixmap>
#include <QRect>
#include <QString>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

class TestScreens; // the window's test reaches into its views

namespace ui {
class DotsView;
class FlippedView;
class InstallerWindow;
class LinkLabel;
class RoundedButton;
} // namespace ui

namespace controller {

// Builds the installer window and keeps its views in step with the setup flow (SetupFlow), which
// makes every decision. One class spread over several files by concern:
//   mainwindowcontroller.cpp             construction, the flow's signals
//   mainwindowcontroller_mainview.cpp    view factories and the main screen
//   mainwindowcontroller_settings.cpp    settings panel, agree row, language application
//   mainwindowcontroller_installview.cpp install screen, slideshow, finish screen
//   mainwindowcontroller_download.cpp    busy switch, progress, failure screen
//   mainwindowcontroller_install.cpp     finish screen and Start Now
//   mainwindowcontroller_closing.cpp     close decision and alerts
//   mainwindowcontroller_actions.cpp     main-screen actions
// The views carry object names (installButton, statusLabel, progress, ...) for tests and tools.
class MainWindowController : public QObject
{
    Q_OBJECT

public:
    explicit MainWindowController(SetupFlow::Parts parts);
    ~MainWindowController() override;

    ui::InstallerWindow *window() const { return m_window; }
    SetupFlow *flow() const { return m_flow; }
    const l10n::UIStrings &L() const;

    // Replaces how the application is told to end (tests); empty means QCoreApplication::quit.
    void setTerminateHook(std::function<void()> hook) { m_terminateHook = std::move(hook); }

    // Opens or closes the settings panel, growing or shrinking the window at its bottom edge.
    void settingsClicked();

private:
    // The view tests check each widget's frame, font and colour against the layout tables.
    friend class ::TestScreens;

    int scaledMs(double seconds) const;
    void nameViews();

    // --- Main view and view factories --------------------------------------------------------
    void buildUI();
    void buildMainView();
    QPixmap image(const QString &name) const;
    QLabel *label(const QString &text, const QRect &frame, double size, const QColor &color,
                  bool bold, QWidget *parent = nullptr);
    ui::LinkLabel *link(const QString &text, const QRect &frame,
                        void (MainWindowController::*action)(), QWidget *parent = nullptr);
    void styleLink(ui::LinkLabel *link, bool centered = false);
    // An image view showing the named resource fitted to the frame; empty when it is missing.
    QLabel *imageView(const QString &name, const QRect &frame, QWidget *parent = nullptr);
    // The system font at a pixel size (the sizes of the screens are pixel sizes).
    static QFont uiFont(double size, bool bold);

    // --- Settings panel, agree row, language --------------------------------------------------
    void buildSettingsPanel();
    void applyLanguage();
    void layoutAgreeRow();
    void place(QWidget *view, double x);
    void hideAgreeRow();

    // --- Install screen, slideshow, finish screen ------------------------------------------------
    void buildInstallView();
    void buildFinishView();
    void showInstallView(bool show);
    void setSlide(qint64 index);
    void restartSlideTimer();
    void advanceSlide();
    void showFinishView();

    // --- The flow's reports -------------------------------------------------------------------
    void downloadStarted();
    void showProgress(int value);
    void showFailedMainScreen(SetupFlow::Failure failure, const QString &message);
    void setBusy(bool busy);
    void installSucceeded();
    void startClicked();

    // --- Closing and alerts ------------------------------------------------------------------
    void alert(const QString &message, QMessageBox::Icon icon);
    bool askExitQuestion(); // application-modal; true only for "OK"
    bool windowShouldClose();
    void windowWillClose();
    void performClose(); // a close request that goes through windowShouldClose

    // --- Main-screen actions -----------------------------------------------------------------
    void installClicked();
    void acceptToggled();
    void privacyClicked();
    void licenseClicked();
    void offlineClicked();
    void languageChanged();
    void browseClicked();
    void minimizeClicked();
    void openURL(const QString &url);

    ui::InstallerWindow *m_window = nullptr;
    SetupFlow *m_flow = nullptr;
    std::function<void()> m_terminateHook;

    bool settingsShown = false;
    qint64 slideIndex = 0;
    QTimer *slideTimer = nullptr;
    QList<QPixmap> slideImages;

    ui::FlippedView *root = nullptr;
    QLabel *brandLabel = nullptr;
    QLabel *productLabel = nullptr;
    ui::RoundedButton *installButton = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *detailLabel = nullptr;
    ui::LinkLabel *offlineLink = nullptr;
    QCheckBox *acceptCheck = nullptr;
    ui::LinkLabel *privacyLink = nullptr;
    QLabel *andLabel = nullptr;
    ui::LinkLabel *licenseLink = nullptr;
    ui::LinkLabel *settingsLink = nullptr;
    ui::FlippedView *settingsPanel = nullptr;
    QLabel *langLabel = nullptr;
    QComboBox *langPopup = nullptr;
    QLabel *pathLabel = nullptr;
    QLineEdit *locationField = nullptr;
    QPushButton *browseButton = nullptr;
    ui::FlippedView *installView = nullptr;
    QLabel *slideTitle = nullptr;
    QLabel *slideImageView = nullptr;
    ui::DotsView *dots = nullptr;
    QProgressBar *progress = nullptr;
    QLabel *instStatus = nullptr;
    QPushButton *hideButton = nullptr;
    ui::FlippedView *finishView = nullptr;
    QLabel *finishName = nullptr;
    ui::RoundedButton *startButton = nullptr;
};

} // namespace controller
