#pragma once

// Stand-ins for the flow's two stages: they keep what the flow last asked of them, tell each
// call to note, and report only when a test calls the handlers they were given.
#include "controller/setupflow.h"
#include "controller/stages.h"

#include <QString>

#include <functional>

namespace testsupport {

using namespace controller;
using namespace download;
using namespace install;

using Note = std::function<void(const QString &call)>;

struct FakeDownload : DownloadStage
{
    Note note = [](const QString &) {};
    DownloadAttempt attempt;
    Progress progress;
    Completion completion;

    void start(const DownloadAttempt &a, Progress p, Completion c) override
    {
        attempt = a;
        progress = std::move(p);
        completion = std::move(c);
        note(QStringLiteral("get"));
    }
    void cancel() override { note(QStringLiteral("cancel")); }
    void discard(const QString &destFile) override { note("rm " + destFile); }
};

struct FakeInstall : InstallStage
{
    Note note = [](const QString &) {};
    InstallJob job;
    Completion completion;

    void start(const InstallJob &j, Step, Completion c) override
    {
        job = j;
        completion = std::move(c);
        note(QStringLiteral("copy"));
    }
};

// A flow's parts over new stand-ins, kept in download and install: no key built in, no sleep
// inhibitor, no usage events sent.
inline SetupFlow::Parts fakeParts(FakeDownload *&download, FakeInstall *&install,
                                  const QString &privateFolder, double timeScale)
{
    SetupFlow::Parts parts;
    parts.download = std::unique_ptr<DownloadStage>(download = new FakeDownload);
    parts.install = std::unique_ptr<InstallStage>(install = new FakeInstall);
    parts.privateFolder = privateFolder;
    parts.timeScale = timeScale;
    parts.track = [](const QString &, const QString &) {};
    parts.keepAwake = false;
    parts.imagePublicKey.clear();
    return parts;
}

} // namespace testsupport
