#pragma once

// Stand-ins for the flow's two stages: they record what the flow asks of them and report only
// when a test calls the handlers they were given.
#include "controller/stages.h"

#include <QList>
#include <QStringList>

namespace testsupport {

using namespace controller;

struct FakeDownload : DownloadStage
{
    QList<DownloadAttempt> attempts;
    QStringList discarded;
    Progress progress;
    Completion completion;
    int cancels = 0;
    QByteArray sigText; // written to the .sig's file when an attempt at it is saved

    void start(const DownloadAttempt &a, Progress p, Completion c) override
    {
        attempts << a;
        progress = std::move(p);
        completion = std::move(c);
    }
    void cancel() override { ++cancels; }
    void discard(const QString &destFile) override { discarded << destFile; }
};

struct FakeInstall : InstallStage
{
    QList<InstallJob> jobs;
    Step step;
    Completion completion;
    void start(const InstallJob &job, Step s, Completion c) override
    {
        jobs << job;
        step = std::move(s);
        completion = std::move(c);
    }
};

} // namespace testsupport
