// The setup flow over stand-in stages, as rows of "events in, one trace out": its states,
// signals, events, stage calls and answers, compared whole, so an extra attempt shows too.
#include "controller/setupflow.h"
#include "diag/itformat.h"
#include "diag/itlog.h"
#include "download/folderlayout.h"
#include "download/resumestate.h"
#include "fakestages.h"
#include "l10n/localization.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QUrl>

using namespace download;
using namespace l10n;
using namespace testsupport;

// Results name only what a step needs; GCC 12 warns of the rest in designated initializers.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

const QByteArray kImage(3000, 'q');
// What the copy reports, by step.
const QHash<QString, InstallResult> kCopies{
    {"installed", {InstallResult::Status::Installed, "/Apps/Quillmarsh.app", {}, {}, 0, 0}},
    {"full", {InstallResult::Status::NoSpace, {}, {}, "/Apps", 611'000'001, 1'000'000}},
    {"broken", {InstallResult::Status::Failed, {}, "no", {}, 0, 0}}};

DownloadResult saved(const QByteArray &bytes = kImage)
{
    return {.status = DownloadResult::Status::Saved,
            .httpStatus = 200,
            .sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256),
            .size = bytes.size()};
}

} // namespace

class TestSetupFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    const QString m_private = m_tmp.filePath("private");
    QByteArray m_key;
    QHash<QString, QByteArray> m_sigs; // .sig texts by name
    FakeDownload *m_dl = nullptr;
    FakeInstall *m_inst = nullptr;
    std::unique_ptr<SetupFlow> m_flow;
    QStringList m_trace;
    int m_gets = 0;
    QElapsedTimer m_since; // the last transport failure

    // kind: "" (no key built in), "signed", "no folder", "two hosts", "slow clock" (1 s is 10 ms)
    void makeFlow(const QString &kind)
    {
        m_trace.clear();
        m_gets = 0;
        SetupFlow::Parts parts = fakeParts(m_dl, m_inst, kind == "no folder" ? "" : m_private,
                                           kind == "slow clock" ? 0.01 : 0.001);
        m_dl->note = m_inst->note = [this](const QString &call) { noteStage(call); };
        parts.track = [this](const QString &name, const QString &reason) {
            m_trace << '+' + name + (reason.isEmpty() ? QString() : ':' + reason);
        };
        parts.downloadBaseURL =
            kind == "two hosts" ? "http://dl.invalid http://mirror.invalid" : "http://dl.invalid";
        parts.imagePublicKey = kind == "signed" ? m_key : QByteArray();
        parts.minImageVersion = 2;
        m_flow = std::make_unique<SetupFlow>(std::move(parts));
        SetupFlow *f = m_flow.get();
        connect(f, &SetupFlow::stateChanged, this,
                [this](SetupFlow::State s) { m_trace << QVariant::fromValue(s).toString(); });
        connect(f, &SetupFlow::started, this, [this] { m_trace << "started"; });
        connect(f, &SetupFlow::failed, this, [this](SetupFlow::Failure kind, const QString &text) {
            m_trace << "failed " + QVariant::fromValue(kind).toString() + ": " + text;
        });
        connect(f, &SetupFlow::finished, this,
                [this, f] { m_trace << "finished " + f->installedApp(); });
        connect(f, &SetupFlow::closeWindow, this, [this] { m_trace << "closeWindow"; });
    }

    // What the stages were asked, anything unusual spelled out.
    void noteStage(const QString &call)
    {
        const QString dest = m_flow->destFile();
        if (call == "get") {
            ++m_gets;
            const DownloadAttempt &a = m_dl->attempt;
            const QString sig = a.url.endsWith(".sig") ? ".sig" : "";
            QString t = "get" + sig;
            if (a.url != m_flow->installerURL() + sig) // another host
                t += " at " + QUrl(a.url).host();
            if (a.destFile != dest + sig)
                t += " WRONG to " + a.destFile;
            if (a.resume) // the fake's "rGETS", or a state an earlier run kept
                t += " from " + (ResumeState::decode(*a.resume) ? QByteArray("held") : *a.resume);
            if (a.maxBytes != (sig.isEmpty() ? -1 : kMaxImageSignatureBytes))
                t += " max=" + QString::number(a.maxBytes);
            m_trace << t;
        } else if (call == "copy") {
            const InstallJob &j = m_inst->job;
            const bool usual = j.image == dest && j.alsoRemove == QStringList{dest + ".sig"} &&
                               j.appName == "Quillmarsh.app" && j.imageSize == kImage.size() &&
                               j.imageSha256 == saved().sha256;
            m_trace << "copy " + j.folder + (usual ? "" : " WRONG");
        } else {
            m_trace << (dest.isEmpty() ? call : QString(call).replace(dest, "image"));
        }
    }

    // Steps: held HOST (an earlier run's whole image), install (at " /Apps\t"); the download's http
    // N (resume state rGETS), lost KIND CODE STATUS (a TransportFailure, curl's code), saved, sig
    // NAME, cancelled, nospace, bar WRITTEN TOTAL; the copy's installed, full, broken; the user's
    // close?, exit; the clock's tick, pause, creep, waited N (traced if under N s). ? and bar trace
    // "rRETRIES BAR STATUS", log the last log line. Stage calls: get[.sig] [from R] [max=N],
    // cancel, discard (the image and its .sig), copy FOLDER.
    void step(const QString &text)
    {
        const QStringList w = text.split(' ');
        if (w[0] == "install") {
            m_flow->install(" /Apps\t");
        } else if (w[0] == "http") {
            m_dl->completion({.message = "Server returned HTTP " + w[1],
                              .httpStatus = w[1].toLongLong(),
                              .resumeData = "r" + QByteArray::number(m_gets)});
        } else if (w[0] == "lost") {
            m_since.start();
            m_dl->completion({.message = "never shown",
                              .httpStatus = w[3].toLongLong(),
                              .errorCode = w[2].toInt(),
                              .transport = TransportFailure(w[1].toInt())});
        } else if (w[0] == "held") {
            const QString dest = layout::imageFile(m_private), part = dest + ".part-1",
                          url = QString(m_flow->installerURL()).replace("dl", w[1]);
            const qint64 n = kImage.size(), now = QDateTime::currentMSecsSinceEpoch();
            QVERIFY(writeFile(dest, kImage) &&
                    writeStateFile(layout::stateFile(dest),
                                   ResumeState{url, part, n, n, "e", "", now}.encode()));
        } else if (w[0] == "saved") {
            m_dl->completion(saved());
        } else if (w[0] == "sig") {
            QVERIFY(writeFile(m_dl->attempt.destFile, m_sigs[w[1]]));
            m_dl->completion(saved(m_sigs[w[1]]));
        } else if (w[0] == "cancelled" || w[0] == "nospace") {
            m_dl->completion({.status = w[0] == "cancelled" ? DownloadResult::Status::Cancelled
                                                            : DownloadResult::Status::NoSpace,
                              .spaceFolder = "/Apps",
                              .bytesNeeded = 611'000'001,
                              .bytesAvailable = 1'000'000});
        } else if (const auto copied = kCopies.find(w[0]); copied != kCopies.end()) {
            m_inst->completion(*copied);
        } else if (w[0] == "bar" || w[0] == "?") {
            if (w[0] == "bar")
                m_dl->progress(w[1].toLongLong(), w[2].toLongLong());
            m_trace << QString("r%1 %2 %3")
                           .arg(m_flow->retryCount())
                           .arg(m_flow->progress())
                           .arg(QString(m_flow->status())
                                    .replace(m_flow->L().installingWait, "wait")
                                    .replace(m_flow->L().cancelling, "cancelling")
                                    .replace(m_flow->L().installInProgress, "busy"));
        } else if (w[0] == "close?") {
            m_trace << '=' + QVariant::fromValue(m_flow->closeRequest()).toString();
        } else if (w[0] == "exit") {
            m_trace << '=' + QVariant::fromValue(m_flow->confirmExit()).toString();
        } else if (w[0] == "tick" || w[0] == "waited") {
            const bool retried = QTest::qWaitFor(
                [&] { return m_flow->state() != SetupFlow::State::WaitingToRetry; });
            if (retried && w[0] == "waited" && m_since.elapsed() < w[1].toInt() * 10)
                m_trace << QString("only %1 ms").arg(m_since.elapsed());
        } else if (w[0] == "pause") { // long enough for any retry wait
            QTest::qWait(20);
        } else if (w[0] == "creep") { // the bar creeps on during the copy
            QTRY_VERIFY(m_flow->progress() > 900);
        } else if (w[0] == "log") {
            ITLogDrain(30000); // returns once written; a loaded machine may take long
            m_trace << logText().split("FLOW: ").last().trimmed();
        } else {
            QFAIL(qPrintable("no such step: " + text));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(m_private));
        makeFlow("");
        const QString name = m_tmp.filePath(QUrl(m_flow->installerURL()).fileName());
        const QString other = m_tmp.filePath(
            name.endsWith("/quillmarsh.dmg") ? "quillmarsh.silicon.dmg" : "quillmarsh.dmg");
        for (const QString &image : {name, other})
            QVERIFY(testsupport::writeFile(image, kImage));
        QByteArrayList sigs;
        m_key = testsupport::signImages(m_tmp.filePath("key.pem"),
                                        {{name, 2}, {name, 1}, {other, 2}}, &sigs);
        QVERIFY(!m_key.isEmpty());
        m_sigs = {{"good", sigs[0]}, {"old", sigs[1]}, {"otherImage", sigs[2]}};
    }

    void flow_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        const auto row = [](const char *name, const char *kind, const QString &script,
                            const QString &trace) {
            QTest::newRow(name) << QString(kind) << script << trace;
        };
        const UIStrings &L = Localization::all().at(0);
        // clang-format off
        const QString start = "+install_start, discard, started, Downloading, get",
            sig = "+install_start, discard, started, FetchingSignature, get.sig",
            unverified = "discard, +install_failed:image_unverified, Failed, failed Unverified: " + L.imageUnverified,
            space = ITFormat(L.notEnoughSpace, "Quillmarsh", qint64(612), "/Apps") + ", not enough disk space in /Apps: 611000001 bytes needed, 1000000 available";
        // A retry resumes from the attempt before; Install starts over without resume state.
        row("held from the second host", "two hosts", "held mirror, install", "+install_start, started, Downloading, get at mirror.invalid from held, left quillmarsh_setup.dmg quillmarsh_setup.dmg.resume");
        row("retried, given up, started over", "", "install, http 503, tick, http 404, install",
            start + ", +install_retry:download_error_http_503, WaitingToRetry, Downloading, get from r1, +install_failed:download_error_http_404, discard, Failed, failed Download: Server returned HTTP 404, " + start);
        // A 404 moves on to the next host, which has retries of its own; Retry starts on the first.
        row("two hosts", "two hosts", "install, http 404, http 503, tick, http 410, install",
            start + ", get at mirror.invalid, +install_retry:download_error_http_503, WaitingToRetry, Downloading, get at mirror.invalid from r2, "
            "+install_failed:download_error_http_410, discard, Failed, failed Download: Server returned HTTP 410, " + start);
        // 0..900 by truncation; a size not known: indeterminate until a stage resets it.
        row("progress", "", "install, bar 1 7, bar 9 9, bar 5 0, bar 1 2, http 503, ?, tick, ?",
            start + ", r0 120 wait  12%, r0 900 wait  90%, r0 -1 wait, r0 -1 wait  45%, +install_retry:download_error_http_503, WaitingToRetry, r1 -1 wait, Downloading, get from r1, r1 0 wait");
        // The .sig first (moving no bar, its own retries), then the image, limited to the signed
        // size; anything that does not check out discards both.
        row("signed", "signed", "install, bar 1 2, http 503, tick, sig good, ?, saved",
            sig + ", r0 0 wait, +install_retry:download_error_http_503, WaitingToRetry, FetchingSignature, get.sig from r1, Downloading, get max=3000, r0 0 wait, Installing, copy /Apps, left quillmarsh_setup.dmg.sig");
        row("signed, older than the floor", "signed", "install, sig old", sig + ", " + unverified);
        row(".sig missing", "signed", "install, http 404", sig + ", " + unverified);
        row("the other image's .sig", "signed", "install, sig otherImage, saved", sig + ", Downloading, get max=3000, " + unverified);
        // A confirmed exit cancels an attempt and closes once it is back, whatever it brings, and
        // no later attempt starts; what has arrived is kept for the next run.
        row("exit, download cancelled", "", "close?, install, close?, exit, ?, cancelled, close?, pause",
            "=Ask, " + start + ", =Ask, Closing, cancel, =Wait, r0 0 cancelling, +install_cancelled, closeWindow, =Close");
        row("exit, no room meanwhile", "", "install, exit, nospace, pause", start + ", Closing, cancel, =Wait, closeWindow");
        row("exit, .sig arrives meanwhile", "signed", "install, exit, sig good, pause",
            sig + ", Closing, cancel, =Wait, closeWindow, left quillmarsh_setup.dmg.sig");
        row("exit in the retry wait", "", "install, http 503, exit, pause, close?",
            start + ", +install_retry:download_error_http_503, WaitingToRetry, Closing, =Close, =Close");
        // The install stage is never cut off, also when it began with the exit question open; a
        // stale report changes nothing.
        row("install stage", "", "install, close?, saved, http 503, ?, exit, ?, close?, creep, installed, ?, close?",
            start + ", =Ask, Installing, copy /Apps, r0 900 wait  90%, =Refuse, r0 900 busy, =Refuse, +install_success, Finished, finished /Apps/Quillmarsh.app, r0 1000 wait  100%, =Close");
        row("no room for the download", "", "install, nospace, log", start + ", discard, +install_failed:disk_space, Failed, failed NoSpaceDownload: " + space);
        row("no room for the copy", "", "install, saved, full, log", start + ", Installing, copy /Apps, +install_failed:disk_space, Failed, failed NoSpaceInstall: " + space);
        row("copy failed", "", "install, saved, broken", start + ", Installing, copy /Apps, +install_failed:copy_error, Failed, failed Install: no");
        row("no private folder", "no folder", "install", "+install_start, +install_failed:no_private_folder, Failed, failed NoPrivateFolder: " + L.noPrivateFolder);
        // clang-format on
        // Each transport failure: its reason (curl's code, whatever the HTTP status) on each retry
        // and the give-up, its own text; the waits, 1, 2 and 3 s.
        const auto lost = [&](const char *name, TransportFailure kind, int code, int status,
                              const QString &text) {
            const QString in = QString("lost %1 %2 %3").arg(int(kind)).arg(code).arg(status);
            const QString reason = "download_error_" + QString::number(code);
            const QString retry =
                ", +install_retry:" + reason + ", WaitingToRetry, Downloading, get";
            row(name, "slow clock",
                QString("install, %1, waited 1, %1, waited 2, %1, waited 3, %1").arg(in),
                start + retry + retry + retry + ", +install_failed:" + reason +
                    ", discard, Failed, failed Download: " + text);
        };
        using T = TransportFailure;
        // clang-format off
        lost("host not found", T::HostNotFound, CURLE_COULDNT_RESOLVE_HOST, 0, "The download server could not be found. Please check your internet connection.");
        lost("no connection", T::NoConnection, CURLE_COULDNT_CONNECT, 0, "Could not connect to the download server. Please check your internet connection.");
        lost("timed out", T::TimedOut, CURLE_OPERATION_TIMEDOUT, 0, "The download server did not respond in time. Please try again.");
        lost("cut after its 200", T::ConnectionLost, CURLE_PARTIAL_FILE, 200, "The connection to the download server was lost. Please try again.");
        lost("certificate untrusted", T::CertificateUntrusted, CURLE_PEER_FAILED_VERIFICATION, 0, "The download server's certificate is not trusted. The download was stopped.");
        lost("certificate expired", T::CertificateExpired, CURLE_PEER_FAILED_VERIFICATION, 0, "The download server's certificate has expired or is not yet valid. Please check your computer's date and time.");
        lost("certificate of another host", T::CertificateWrongHost, CURLE_PEER_FAILED_VERIFICATION, 0, "The download server's certificate belongs to another server. The download was stopped.");
        lost("other", T::Other, CURLE_SEND_FAIL_REWIND, 0, "The download failed. Please try again.");
        const QString proxy = QString("lost %1 %2 0").arg(int(T::ProxyAuthRequired)).arg(CURLE_PROXY), failed = ", +install_failed:download_error_97, discard, Failed, failed Download: " + L.netProxyAuth + ", ";
        row("a proxy wanting a password: the .sig not fetched fails as a download; Retry asks for it again", "signed", "install, " + proxy + ", install, sig good, " + proxy + ", install",
            sig + failed + sig + ", Downloading, get max=3000" + failed + sig);
        // clang-format on
    }

    void flow()
    {
        QFETCH(QString, kind);
        QFETCH(QString, script);
        QFETCH(QString, trace);
        QVERIFY(QDir(m_private).removeRecursively() && QDir().mkpath(m_private));
        makeFlow(kind);
        for (const QString &s : script.split(", "))
            step(s);
        // The stand-in discards nothing: what is left the flow's own sweep did not take.
        if (const QStringList left = QDir(m_private).entryList(QDir::Files); !left.isEmpty())
            m_trace << "left " + left.join(' ');
        const QString actual = m_trace.join(", ").replace("rm image, rm image.sig", "discard");
        QVERIFY2(actual == trace, qPrintable("\n    actual: " + actual + "\n  expected: " + trace));
        m_flow.reset();
    }
};

QM_TEST_GUILESS_MAIN(TestSetupFlow)
#include "tst_setupflow.moc"
