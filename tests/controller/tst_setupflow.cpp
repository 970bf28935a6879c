// The setup flow's decisions as rows of "event in, state and effects out": the flow is given
// stand-in stages that record what it asks of them and report what the row says.
#include "controller/setupflow.h"
#include "diag/itformat.h"
#include "download/streamhasher.h"
#include "fakestages.h"
#include "testkeys.h"
#include "testmain.h"
#include "tools/signing.h"

#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

using namespace controller;
using namespace download;
using namespace install;
using namespace l10n;

using testsupport::FakeDownload;
using testsupport::FakeInstall;

namespace {

DownloadResult answer(qint64 httpStatus)
{
    DownloadResult r;
    r.httpStatus = httpStatus;
    r.message = ITFormat("Server returned HTTP %ld", httpStatus);
    return r;
}

const QByteArray kImage(3000, 'q');

DownloadResult saved(const QByteArray &bytes = kImage)
{
    DownloadResult r;
    r.status = DownloadResult::Status::Saved;
    r.httpStatus = 200;
    r.size = bytes.size();
    r.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    return r;
}

} // namespace

class TestSetupFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_tmp;
    FakeDownload *m_dl = nullptr;
    FakeInstall *m_inst = nullptr;
    QStringList m_events;
    std::unique_ptr<SetupFlow> m_flow;
    QByteArray m_key;
    QHash<QString, QByteArray> m_sigs;

    void makeFlow(bool signedRelease = false, QString privateFolder = {})
    {
        SetupFlow::Parts parts;
        auto dl = std::make_unique<FakeDownload>();
        auto inst = std::make_unique<FakeInstall>();
        m_dl = dl.get();
        m_inst = inst.get();
        parts.download = std::move(dl);
        parts.install = std::move(inst);
        parts.privateFolder = privateFolder.isNull() ? m_tmp.filePath("private") : privateFolder;
        parts.timeScale = 0.001;
        parts.track = [this](const QString &name, const QString &reason) {
            m_events << (reason.isEmpty() ? name : name + u':' + reason);
        };
        parts.downloadBaseURL = "http://dl.invalid";
        parts.keepAwake = false;
        parts.imagePublicKey = signedRelease ? m_key : QByteArray();
        parts.minImageVersion = 2;
        m_events.clear();
        m_flow = std::make_unique<SetupFlow>(std::move(parts));
    }

    // The .sig attempt saved with text: its file lands where the attempt said.
    void sigArrives(const QByteArray &text)
    {
        QFile file(m_dl->attempts.last().destFile);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
        file.close();
        m_dl->completion(saved(text));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir().mkpath(m_tmp.filePath("private")));
        const QString key = m_tmp.filePath("key.pem"), other = m_tmp.filePath("other.pem");
        m_key = testsupport::makeEd25519Key(key);
        QVERIFY(!m_key.isEmpty() && !testsupport::makeEd25519Key(other).isEmpty());
        // The image under the name this processor's download has, and the other one's.
        makeFlow();
        const QString name = QUrl(m_flow->installerURL()).fileName();
        const QString otherName =
            name == "quillmarsh.dmg" ? "quillmarsh.silicon.dmg" : "quillmarsh.dmg";
        for (const QString &n : {name, otherName}) {
            QFile f(m_tmp.filePath(n));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(kImage) == kImage.size());
        }
        QString error;
        const auto sign = [&](const QString &pem, const QString &image, qint64 version) {
            return signImageFile(pem, m_tmp.filePath(image), version, {}, &error).value_or("");
        };
        m_sigs["good"] = sign(key, name, 2);
        m_sigs["old"] = sign(key, name, 1);
        m_sigs["otherKey"] = sign(other, name, 2);
        m_sigs["otherImage"] = sign(key, otherName, 2);
        QVERIFY2(!m_sigs.values().contains(QByteArray()), qPrintable(error));
    }

    // Final failures give up at once, others are retried up to three times, each after its own
    // wait; giving up goes back to the main screen with the server's words and the offline link,
    // and the next Install starts over without resume state.
    void attempts_data()
    {
        QTest::addColumn<QList<int>>("statuses");
        QTest::newRow("404 at once") << QList<int>{404};
        QTest::newRow("503 every time") << QList<int>{503, 503, 503, 503};
        QTest::newRow("408 and 429 retried, 410 final") << QList<int>{408, 429, 410};
    }
    void attempts()
    {
        QFETCH(QList<int>, statuses);
        makeFlow();
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        QStringList expected{"install_start"};
        m_flow->install(" /Apps\t");
        for (qsizetype n = 0; n < statuses.size(); ++n) {
            QTRY_COMPARE(m_dl->attempts.size(), n + 1);
            QCOMPARE(m_flow->state(), SetupFlow::State::Downloading);
            DownloadResult r = answer(statuses[n]);
            r.resumeData = QByteArray("state") + QByteArray::number(n);
            m_dl->completion(r);
            if (n > 0) // each attempt resumes from the one before
                QCOMPARE(m_dl->attempts[n].resume, QByteArray("state") + QByteArray::number(n - 1));
            expected << QString("install_retry:download_error_http_%1").arg(statuses[n]);
        }
        expected.last().replace("retry", "failed");
        QCOMPARE(m_flow->state(), SetupFlow::State::Failed);
        QCOMPARE(m_events, expected);
        QCOMPARE(m_flow->retryCount(), statuses.size() - 1);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].value<SetupFlow::Failure>(), SetupFlow::Failure::Download);
        QCOMPARE(failed[0][1].toString(), QString("Server returned HTTP %1").arg(statuses.last()));
        QVERIFY(m_dl->discarded.contains(m_flow->destFile()));

        m_flow->install("/Apps");
        QCOMPARE(m_flow->retryCount(), 0);
        QCOMPARE(m_dl->attempts.last().resume, std::nullopt);
        QCOMPARE(m_dl->attempts.last().url, m_flow->installerURL());
    }

    // 0..900 by truncation; a size not known makes the bar indeterminate until a stage resets it.
    void progressMapping_data()
    {
        QTest::addColumn<QList<qint64>>("reports"); // written, total, written, total, ...
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("pct");
        QTest::newRow("a seventh") << QList<qint64>{1, 7} << 120 << "  12%";
        QTest::newRow("all") << QList<qint64>{9, 9} << 900 << "  90%";
        QTest::newRow("size unknown") << QList<qint64>{5, 0} << -1 << "";
        QTest::newRow("unknown, then known") << QList<qint64>{5, -1, 1, 2} << -1 << "  45%";
    }
    void progressMapping()
    {
        QFETCH(QList<qint64>, reports);
        QFETCH(int, value);
        QFETCH(QString, pct);
        makeFlow();
        m_flow->install("/Apps");
        for (qsizetype i = 0; i + 1 < reports.size(); i += 2)
            m_dl->progress(reports[i], reports[i + 1]);
        QCOMPARE(m_flow->progress(), value);
        QCOMPARE(m_flow->status(), m_flow->L().installingWait + pct);
    }

    // The .sig first (small, its own retries), then the image, limited to the signed size;
    // anything that does not check out deletes the download and installs nothing. (Each reason
    // a .sig or an image is refused for has its row in tst_signature; these are the flow's.)
    void signedImage_data()
    {
        QTest::addColumn<QString>("sig");     // empty: 404
        QTest::addColumn<int>("imageBytes");  // what the image download reports
        QTest::addColumn<bool>("flipped");    // its digest is not the signed one
        QTest::addColumn<QString>("failure"); // empty: verified
        QTest::newRow("good") << "good" << 3000 << false << "";
        QTest::newRow("one byte flipped") << "good" << 3000 << true << "sha256 is ";
        QTest::newRow("signed by another key") << "otherKey" << 0 << false << "bad signature";
        QTest::newRow("older than the floor")
            << "old" << 0 << false << "image version 1 is older than the oldest allowed, 2";
        QTest::newRow(".sig missing") << "" << 0 << false << "no signature file (HTTP 404)";
        QTest::newRow("the other image's .sig")
            << "otherImage" << 3000 << false << "file name is \"quillmarsh";
    }
    void signedImage()
    {
        QFETCH(QString, sig);
        QFETCH(int, imageBytes);
        QFETCH(bool, flipped);
        QFETCH(QString, failure);
        makeFlow(true);
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        m_flow->install("/Apps");
        QCOMPARE(m_flow->state(), SetupFlow::State::FetchingSignature);
        QCOMPARE(m_dl->attempts[0].url, m_flow->installerURL() + ".sig");
        QCOMPARE(m_dl->attempts[0].maxBytes, kMaxImageSignatureBytes);
        m_dl->completion(answer(503)); // the .sig has retries of its own
        QTRY_COMPARE(m_dl->attempts.size(), 2);
        if (sig.isEmpty())
            m_dl->completion(answer(404));
        else
            sigArrives(m_sigs[sig]);
        if (imageBytes > 0) {
            QCOMPARE(m_dl->attempts.size(), 3);
            QCOMPARE(m_flow->state(), SetupFlow::State::Downloading);
            QCOMPARE(m_dl->attempts[2].url, m_flow->installerURL());
            QCOMPARE(m_dl->attempts[2].maxBytes, kImage.size());
            QCOMPARE(m_flow->retryCount(), 0);
            QByteArray bytes = kImage.left(imageBytes);
            if (flipped)
                bytes[7] = 'x';
            m_dl->completion(saved(bytes));
        }
        if (failure.isEmpty()) {
            QCOMPARE(m_flow->state(), SetupFlow::State::Installing);
            QCOMPARE(m_inst->jobs.size(), 1);
            QCOMPARE(m_inst->jobs[0].imageSha256, saved().sha256);
            QCOMPARE(m_inst->jobs[0].imageSize, kImage.size());
            return;
        }
        QCOMPARE(m_dl->attempts.size(), imageBytes > 0 ? 3 : 2);
        QCOMPARE(m_flow->state(), SetupFlow::State::Failed);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].value<SetupFlow::Failure>(), SetupFlow::Failure::Unverified);
        QCOMPARE(m_events, QStringList({"install_start", "install_retry:download_error_http_503",
                                        "install_failed:image_unverified"}));
        QVERIFY(m_inst->jobs.isEmpty());
        QVERIFY(m_dl->discarded.contains(m_flow->destFile() + ".sig"));
        QVERIFY(QDir(m_tmp.filePath("private")).isEmpty());
    }

    // A confirmed exit cancels a running attempt and closes once it is back; a .sig or a
    // failure that comes back then closes too, and no later attempt starts.
    void exitConfirmed_data()
    {
        QTest::addColumn<bool>("signedRelease");
        QTest::addColumn<int>("firstStatus");   // 0: still running at the exit; else failed
        QTest::addColumn<QString>("comesBack"); // "cancelled", "sig", "503"
        QTest::addColumn<SetupFlow::CloseDecision>("decision");
        QTest::newRow("download cancelled")
            << false << 0 << "cancelled" << SetupFlow::CloseDecision::Wait;
        QTest::newRow("failure meanwhile") << false << 0 << "503" << SetupFlow::CloseDecision::Wait;
        QTest::newRow(".sig arrives meanwhile")
            << true << 0 << "sig" << SetupFlow::CloseDecision::Wait;
        QTest::newRow("retry wait") << false << 503 << "" << SetupFlow::CloseDecision::Close;
    }
    void exitConfirmed()
    {
        QFETCH(bool, signedRelease);
        QFETCH(int, firstStatus);
        QFETCH(QString, comesBack);
        QFETCH(SetupFlow::CloseDecision, decision);
        makeFlow(signedRelease);
        QSignalSpy closeAsked(m_flow.get(), &SetupFlow::closeWindow);
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Ask); // idle
        m_flow->install("/Apps");
        if (firstStatus)
            m_dl->completion(answer(firstStatus));
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Ask);
        QCOMPARE(m_flow->confirmExit(), decision);
        QCOMPARE(m_flow->state(), SetupFlow::State::Closing);
        QCOMPARE(m_dl->cancels, decision == SetupFlow::CloseDecision::Wait ? 1 : 0);
        if (comesBack == "cancelled") {
            QCOMPARE(m_flow->status(), m_flow->L().cancelling);
            DownloadResult r;
            r.status = DownloadResult::Status::Cancelled;
            m_dl->completion(r);
        } else if (comesBack == "sig") {
            sigArrives(m_sigs["good"]);
        } else if (!comesBack.isEmpty()) {
            m_dl->completion(answer(comesBack.toInt()));
        }
        QCOMPARE(closeAsked.size(), comesBack.isEmpty() ? 0 : 1);
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Close);
        QTest::qWait(20);
        QCOMPARE(m_dl->attempts.size(), 1);
        QVERIFY(!m_events.contains(QRegularExpression("install_failed")));
        QCOMPARE(m_events.contains("install_cancelled"), comesBack == "cancelled");
    }

    // The install stage is never cut off, also when the download finished while the exit
    // question was open; once done, the close needs no question. A stale report changes nothing.
    void installStage()
    {
        makeFlow();
        QSignalSpy finished(m_flow.get(), &SetupFlow::finished);
        m_flow->install("/Apps");
        auto stale = m_dl->completion;
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Ask); // the question opens
        m_dl->completion(saved());                                       // meanwhile
        stale(answer(503));
        QCOMPARE(m_flow->state(), SetupFlow::State::Installing);
        QCOMPARE(m_inst->jobs[0].folder, "/Apps");
        QCOMPARE(m_inst->jobs[0].image, m_flow->destFile());
        QCOMPARE(m_inst->jobs[0].alsoRemove, QStringList{m_flow->destFile() + ".sig"});
        QCOMPARE(m_flow->progress(), 900);
        QCOMPARE(m_flow->confirmExit(), SetupFlow::CloseDecision::Refuse);
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Refuse);
        QCOMPARE(m_flow->status(), m_flow->L().installInProgress);
        QTRY_VERIFY(m_flow->progress() > 900); // the bar creeps on while the copy runs
        m_inst->completion(
            {InstallResult::Status::Installed, "/Apps/Quillmarsh.app", {}, {}, 0, 0});
        QCOMPARE(m_flow->state(), SetupFlow::State::Finished);
        QCOMPARE(m_flow->progress(), 1000);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(m_flow->installedApp(), "/Apps/Quillmarsh.app");
        QCOMPARE(m_events, QStringList({"install_start", "install_success"}));
        QCOMPARE(m_flow->closeRequest(), SetupFlow::CloseDecision::Close);
    }

    // Each way back to the main screen, as the kind the view maps to its alert and links.
    void failures_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<SetupFlow::Failure>("failure");
        QTest::addColumn<QString>("event");
        QTest::newRow("no room for the download")
            << "download space" << SetupFlow::Failure::NoSpaceDownload << "disk_space";
        QTest::newRow("no room for the copy")
            << "install space" << SetupFlow::Failure::NoSpaceInstall << "disk_space";
        QTest::newRow("copy failed") << "install" << SetupFlow::Failure::Install << "copy_error";
        QTest::newRow("no private folder")
            << "no folder" << SetupFlow::Failure::NoPrivateFolder << "no_private_folder";
    }
    void failures()
    {
        QFETCH(QString, how);
        QFETCH(SetupFlow::Failure, failure);
        QFETCH(QString, event);
        makeFlow(false, how == "no folder" ? QString("") : QString());
        QSignalSpy failed(m_flow.get(), &SetupFlow::failed);
        m_flow->install("/Apps");
        const qint64 needed = 611'000'001, available = 1'000'000;
        if (how == "download space") {
            DownloadResult r;
            r.status = DownloadResult::Status::NoSpace;
            r.spaceFolder = "/Apps";
            r.bytesNeeded = needed;
            r.bytesAvailable = available;
            m_dl->completion(r);
        } else if (how != "no folder") {
            m_dl->completion(saved());
            m_inst->completion(
                how == "install space"
                    ? InstallResult{InstallResult::Status::NoSpace,
                                    {},
                                    {},
                                    "/Apps",
                                    needed,
                                    available}
                    : InstallResult{InstallResult::Status::Failed, {}, "no", {}, 0, 0});
        }
        QCOMPARE(m_flow->state(), SetupFlow::State::Failed);
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed[0][0].value<SetupFlow::Failure>(), failure);
        if (how.endsWith("space"))
            QCOMPARE(failed[0][1].toString(),
                     ITFormat(m_flow->L().notEnoughSpace, "Quillmarsh", qint64(612), "/Apps"));
        QCOMPARE(m_events, QStringList({"install_start", "install_failed:" + event}));
        QCOMPARE(m_dl->attempts.size(), how == "no folder" ? 0 : 1);
    }
};

QM_TEST_GUILESS_MAIN(TestSetupFlow)
#include "tst_setupflow.moc"
