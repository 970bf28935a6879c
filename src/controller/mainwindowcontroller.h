#pragma once

#include "l10n/uistrings.h"

#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QList>
#include <QObject>
#include <QPixmap>
#include <QPointer>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

class ActivityHold;
class DMGInstaller;
class DotsView;
class Downloader;
class FlippedView;
class InstallerWindow;
class LinkLabel;
class RoundedButton;

// The one controller of the installer window: owns the window, every view and the whole state
// of the setup flow. One class spread over several files by concern:
//   mainwindowcontroller.cpp            construction and state
//   mainwindowcontroller_mainview.cpp   view factories and the main screen
//   mainwindowcontroller_settings.cpp   settings panel, agree row, language application
//   mainwindowcontroller_installview.cpp install screen, slideshow, finish screen
//   mainwindowcontroller_download.cpp   download stage with retries
//   mainwindowcontroller_install.cpp    install stage and finish
//   mainwindowcontroller_closing.cpp    close decision and alerts
//   mainwindowcontroller_actions.cpp    main-screen actions
class MainWindowController : public QObject
{
    Q_OBJECT

public:
    MainWindowController();
    ~MainWindowController() override;

    InstallerWindow *window() const { return m_window; }
    const UIStrings &L() const;

    // --- Construction and state -----------------------------------------------------------
    // Tests and development tools may shrink every flow timer (retry waits, creep, slides).
    void setTimeScale(double scale) { m_timeScale = scale; }
    double timeScale() const { return m_timeScale; }
    int scaledMs(double seconds) const;

    // --- Main view and view factories --------------------------------------------------------
    void buildUI();
    void buildMainView();
    QPixmap image(const QString &name) const;
    QLabel *label(const QString &text, const QRect &frame, double size, const QColor &color,
                  bool bold, QWidget *parent = nullptr);
    LinkLabel *link(const QString &text, const QRect &frame, void (MainWindowController::*action)(),
                    QWidget *parent = nullptr);
    void styleLink(LinkLabel *link, bool centered = false);
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

    // --- Download stage ---------------------------------------------------------------------
    QString installerURL() const;
    void beginActivityHold();
    void endActivityHold();
    void startDownload();
    void launchDownload();
    void retryTimerTick();
    void downloadProgress(qint64 written, qint64 total);
    void downloadComplete(bool ok, const QString &message);
    void setBusy(bool busy);
    void showFailure(const QString &message);
    void showFailedMainScreen(const QString &message);
    void setInstallStatus(const QString &status, const QString &pct);

    // --- Install stage and finish ------------------------------------------------------------
    void launchInstaller();
    void creepInstall();
    void installFinished(bool success, const QString &app, const QString &error);
    void startClicked();

    // --- Closing and alerts ------------------------------------------------------------------
    void alert(const QString &message, unsigned style);
    bool windowShouldClose();
    void windowWillClose();

    // --- Main-screen actions -----------------------------------------------------------------
    void installClicked();
    void acceptToggled();
    void privacyClicked();
    void licenseClicked();
    void settingsClicked();
    void offlineClicked();
    void languageChanged();
    void browseClicked();
    void minimizeClicked();
    void openURL(const QString &url);

    // --- Flow helpers and test hooks ---------------------------------------------------------
    void performClose(); // a close request that goes through windowShouldClose
    bool askExitQuestion(); // application-modal; true only for "OK"
    void refuseCloseWhileInstalling();
    void discardResumeData(); // drops pendingResumeData and the partial file it stands for
    void clearLeftovers(); // empties the private folder: images, partial files, stale mounts
    static QString trimmedLocation(const QString &text); // spaces and tabs, not line breaks

    // Tests point the download at a local server; empty means the built-in download host.
    void setDownloadBaseURL(const QString &base) { m_downloadBaseURL = base; }
    // Tests adjust each new DMGInstaller (tool paths) before it starts.
    std::function<void(DMGInstaller &)> installerSetup;
    // Tests replace how the application is told to end; empty means QCoreApplication::quit.
    std::function<void()> terminateHook;

    // --- State fields (read by tests and the screen tool) -------------------------------------
    bool done = false;
    bool closing = false;
    bool installing = false;
    bool settingsShown = false;
    std::shared_ptr<Downloader> downloader;
    std::shared_ptr<DMGInstaller> installer;
    QString destFile;
    QString installedApp;
    qint64 langIndex = 0;
    qint64 slideIndex = 0;
    QTimer *slideTimer = nullptr;
    QTimer *installTimer = nullptr;
    QTimer *retryTimer = nullptr;
    qint64 retryCount = 0;
    std::optional<QByteArray> pendingResumeData;
    std::unique_ptr<ActivityHold> activityToken;
    QList<QPixmap> slideImages;

    // --- Views --------------------------------------------------------------------------------
    FlippedView *root = nullptr;
    QLabel *brandLabel = nullptr;
    QLabel *productLabel = nullptr;
    RoundedButton *installButton = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *detailLabel = nullptr;
    LinkLabel *offlineLink = nullptr;
    QCheckBox *acceptCheck = nullptr;
    LinkLabel *privacyLink = nullptr;
    QLabel *andLabel = nullptr;
    LinkLabel *licenseLink = nullptr;
    LinkLabel *settingsLink = nullptr;
    FlippedView *settingsPanel = nullptr;
    QLabel *langLabel = nullptr;
    QComboBox *langPopup = nullptr;
    QLabel *pathLabel = nullptr;
    QLineEdit *locationField = nullptr;
    QPushButton *browseButton = nullptr;
    FlippedView *installView = nullptr;
    QLabel *slideTitle = nullptr;
    QLabel *slideImageView = nullptr;
    DotsView *dots = nullptr;
    QProgressBar *progress = nullptr;
    QLabel *instStatus = nullptr;
    QPushButton *hideButton = nullptr;
    FlippedView *finishView = nullptr;
    QLabel *finishName = nullptr;
    RoundedButton *startButton = nullptr;

private:
    InstallerWindow *m_window = nullptr;
    double m_timeScale = 1.0;
    QString m_downloadBaseURL;
};
