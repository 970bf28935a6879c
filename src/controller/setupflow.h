#pragma once

#include "stages.h"

#include "download/hostpolicy.h"
#include "download/imagesignature.h"
#include "l10n/uistrings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

namespace platform {
class ActivityHold;
} // namespace platform

namespace controller {

// The setup flow without its window: the states from the first Install to the end, and every
// decision of the download, install and close stages. It is given what it works with (the two
// stages, the private folder, the time scale, where events go) and only decides: the stages do
// the work, the views show what its signals say. Everything runs on the GUI thread.
class SetupFlow : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle,
        FetchingSignature, // the image's .sig, read and checked before the image is fetched
        Downloading,
        WaitingToRetry,
        Installing,
        Finished,
        Failed,
        Closing
    };
    Q_ENUM(State)

    // What a close request comes to. Wait: a cancelled download has still to come back, and the
    // flow asks for the close again (closeWindow) once it has.
    enum class CloseDecision { Close, Refuse, Ask, Wait };
    Q_ENUM(CloseDecision)

    // Why the flow went back to the main screen; the view picks the alert and the links.
    enum class Failure {
        NoPrivateFolder, // nowhere to put the download
        Download,        // the download gave up; the offline image may still do
        Unverified,      // the image or its .sig did not check out
        NoSpaceDownload, // too little room for the download
        NoSpaceInstall,  // too little room for the installed copy
        Install,         // the install itself failed
    };
    Q_ENUM(Failure)

    struct Parts
    {
        std::unique_ptr<DownloadStage> download;
        std::unique_ptr<InstallStage> install;
        QString privateFolder;  // empty: none could be made, and nothing is downloaded
        double timeScale = 1.0; // shrinks every timer of the flow (tests, development tools)
        // Where usage events go; empty: the analytics service.
        std::function<void(const QString &name, const QString &reason)> track;
        QString downloadBaseURL; // empty: the built-in download host
        bool keepAwake = true;   // false: no sleep inhibitor, no system bus (tests, tools)
        // Base64 Ed25519 key the image's .sig must be signed with; empty: images go unchecked.
        QByteArray imagePublicKey = download::imagePublicKey();
        qint64 minImageVersion = download::minImageVersion(); // older signed images are refused
    };
    // The shipped program's parts: the network download and the disk-image install.
    static Parts standardParts(const QString &privateFolder);

    static constexpr int kProgressMax = 1000;
    static constexpr int kIndeterminate = -1;

    explicit SetupFlow(Parts parts, QObject *parent = nullptr);
    ~SetupFlow() override;

    double timeScale() const { return m_parts.timeScale; }
    void setTimeScale(double scale) { m_parts.timeScale = scale; }
    int scaledMs(double seconds) const;

    void setLanguage(qint64 index) { m_langIndex = index; }
    qint64 language() const { return m_langIndex; }
    const l10n::UIStrings &L() const;

    State state() const { return m_state; }
    // The image's address on the first download host: the offline installer's link.
    QString installerURL() const;
    QStringList hosts() const; // the download hosts' base URLs, most preferred first
    QString imageURL(qsizetype host) const;
    QString destFile() const { return m_destFile; }
    QString installedApp() const { return m_installedApp; }
    qint64 retryCount() const { return m_hosts.retries(); }
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
    void shutdown();               // the window is closing: stop the stages, tidy up
    void clearLeftovers();         // empties the private folder
    // Empties the private folder but for a download a later run may continue (at start, and at
    // the end of a run that did not install).
    void sweepLeftovers();

signals:
    void stateChanged(SetupFlow::State state);
    void started(); // an Install action got under way: the install view comes up
    void progressChanged(int value);
    void statusChanged(const QString &text);
    void failed(SetupFlow::Failure failure, const QString &message); // back to the main screen
    void finished(const QString &app);
    void closeWindow(); // a close request of the flow's own, through the close decision

private:
    // What an earlier run left of the download that this one may continue.
    struct HeldDownload
    {
        std::optional<download::ImageSignature> signature; // its .sig, checked again
        std::optional<QByteArray> resume;                  // the image's resume state
        QString url;                                       // where the image's bytes came from
        qsizetype host = 0;                                // the host to continue on
        qint64 bytes = 0, signatureBytes = 0;
        QStringList names; // its files in the private folder
    };
    HeldDownload heldDownload() const;
    std::optional<download::ImageSignature> readSignature(QString *error) const;
    void answeredBy(const QString &url);
    void leaveHost(qsizetype host, const download::DownloadResult &result);
    void countBytes(const download::DownloadResult &result, bool signature);
    void logBytes() const;
    void removeLeftovers(const QStringList &keep); // the private folder emptied but for keep
    void setState(State state);
    void setProgress(int value, bool determinate);
    void setInstallStatus(const QString &status, const QString &pct = {});
    void track(const QString &name, const QString &reason = {}) const;
    void beginActivityHold();
    void endActivityHold();
    void launchDownload();
    void downloadProgress(qint64 written, qint64 total);
    void downloadComplete(const download::DownloadResult &result);
    void signatureArrived();
    bool imageVerified(const download::DownloadResult &result);
    void failVerification(const QString &reason);
    void retryTimerTick();
    void launchInstaller(const download::DownloadResult &image);
    void installStep(install::InstallStep step);
    void installFinished(const install::InstallResult &result);
    QString failureText(const download::DownloadResult &result) const;
    void creepInstall();
    void refuseClose();
    void fail(Failure failure, const QString &message);
    void failForSpace(Failure failure, const QString &folder, qint64 needed, qint64 available);
    void discardDownload();

    Parts m_parts;
    State m_state = State::Idle;
    qint64 m_langIndex = 0;
    quint64 m_attempt = 0; // the stage reports of other attempts than this one are dropped
    QString m_folder;
    QString m_destFile;
    std::optional<download::ImageSignature> m_signature;
    QString m_installedApp;
    int m_progress = 0;
    QString m_status;
    std::optional<QByteArray> m_pendingResumeData;
    download::HostPolicy m_hosts;
    qint64 m_received = 0;    // body bytes over the network in this run, .sig included
    qint64 m_reused = 0;      // bytes held from earlier runs that the image still builds on
    qint64 m_sigReused = 0;   // the .sig, when an earlier run's was checked and used
    bool m_crossing = false;  // the attempt in hand continues bytes from another host
    bool m_crossed = false;   // the image holds bytes from more than one host
    bool m_refetched = false; // a spliced image failed its check and is fetched again
    std::unique_ptr<platform::ActivityHold> m_activityHold;
    QTimer m_retryTimer;
    QTimer m_creepTimer;
};

} // namespace controller
