#pragma once

#include "download/downloader.h"
#include "download/imagesignature.h"
#include "install/dmginstaller.h"
#include "l10n/uistrings.h"

#include <QByteArray>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class ActivityHold;

// The setup flow without its window: the states from the first Install to the end, and every
// decision of the download, install and close stages. Driven by the user's actions (through the
// controller), by the Downloader and DMGInstaller completions and by its own timers; it tells
// the views what to show by signals. Everything runs on the GUI thread.
class SetupFlow : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Downloading, WaitingToRetry, Installing, Finished, Failed, Closing };
    Q_ENUM(State)

    // What a close request comes to. Wait: a cancelled download has still to come back, and the
    // flow asks for the close again (closeWindow) once it has.
    enum class CloseDecision { Close, Refuse, Ask, Wait };
    Q_ENUM(CloseDecision)

    struct Options
    {
        QString downloadBaseURL; // empty: the built-in download host
        double timeScale = 1.0;  // shrinks every timer of the flow (tests, development tools)
        std::function<void(DMGInstaller &)> installerSetup; // adjusts each installer before start
        // Adjusts each download attempt's options (timeouts) before it starts.
        std::function<void(Downloader::Options &)> downloaderSetup;
        bool keepAwake = true; // false: no sleep inhibitor, no system bus (tests, tools)
        // Where the image goes; null: platform::privateDirectory(). Tests stand in another.
        std::function<QString()> privateFolder;
        // Base64 Ed25519 key the image's .sig must be signed with; empty: images go unchecked.
        QByteArray imagePublicKey = ::imagePublicKey();
        qint64 minImageVersion = ::minImageVersion(); // older signed images are refused
    };

    static constexpr int kProgressMax = 1000;
    static constexpr int kIndeterminate = -1;

    explicit SetupFlow(QObject *parent = nullptr);
    ~SetupFlow() override;

    void setOptions(Options options) { m_options = std::move(options); }
    const Options &options() const { return m_options; }
    void setTimeScale(double scale) { m_options.timeScale = scale; }
    int scaledMs(double seconds) const;

    void setLanguage(qint64 index) { m_langIndex = index; }
    qint64 language() const { return m_langIndex; }
    const UIStrings &L() const;

    State state() const { return m_state; }
    QString installerURL() const;
    QString destFile() const { return m_destFile; }
    QString installedApp() const { return m_installedApp; }
    qint64 retryCount() const { return m_retryCount; }
    int progress() const { return m_progress; } // 0..1000 or kIndeterminate
    QString status() const { return m_status; } // the install view's status line

    // Spaces and tabs around a typed location go; line breaks stay, they are part of the text.
    static QString trimmedLocation(const QString &text);

    // Install or Retry with the location as typed: downloads, then installs into it.
    void install(const QString &folder);

    // The close decision: first closeRequest(); on Ask the user is asked, and a confirmation
    // goes to confirmExit(), which applies it to the state of that moment.
    CloseDecision closeRequest();
    CloseDecision confirmExit();
    void chooseOfflineInstaller(); // the flow ends; the caller opens installerURL() and closes
    void startApp();               // Start Now: runs the installed app, then asks for the close
    void shutdown();               // the window is closing: stop, wait for workers, tidy up
    void clearLeftovers();         // empties the private folder

    // The workers' reports, on the GUI thread.
    void downloadProgress(qint64 written, qint64 total);
    void downloadComplete(const DownloadResult &result);
    void installStage(InstallStage stage);
    void installFinished(const InstallResult &result);

signals:
    void stateChanged(SetupFlow::State state);
    void started(); // an Install action got under way: the install view comes up
    void progressChanged(int value);
    void statusChanged(const QString &text);
    // Back to the main screen; alert is NoIcon when no alert goes with it.
    void failed(const QString &message, QMessageBox::Icon alert, bool offlineLink);
    void finished(const QString &app);
    void closeWindow(); // a close request of the flow's own, through the close decision

private:
    void setState(State state);
    void setProgress(int value, bool determinate);
    void setInstallStatus(const QString &status, const QString &pct = {});
    void beginActivityHold();
    void endActivityHold();
    void launchDownload();
    void signatureArrived();
    bool imageVerified(const DownloadResult &result);
    void failVerification(const QString &reason);
    void retryTimerTick();
    void launchInstaller(const DownloadResult &image);
    QString failureText(const DownloadResult &result) const;
    void creepInstall();
    void refuseClose();
    void fail(const QString &message, QMessageBox::Icon alert, bool offlineLink);
    void showFailure(const QString &message);
    void failForSpace(const QString &folder, qint64 needed, qint64 available,
                      QMessageBox::Icon alert);
    void discardResumeData();
    QString privateFolder() const;

    Options m_options;
    State m_state = State::Idle;
    qint64 m_langIndex = 0;
    QString m_folder;
    QString m_destFile;
    // The .sig comes first; the image is fetched only once it has been read and checked.
    bool m_fetchingSignature = false;
    std::optional<ImageSignature> m_signature;
    QString m_installedApp;
    qint64 m_retryCount = 0;
    int m_progress = 0;
    QString m_status;
    std::optional<QByteArray> m_pendingResumeData;
    std::shared_ptr<Downloader> m_downloader;
    std::shared_ptr<DMGInstaller> m_installer;
    std::unique_ptr<ActivityHold> m_activityHold;
    QTimer m_retryTimer;
    QTimer m_creepTimer;
};
