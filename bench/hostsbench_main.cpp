// quillmarsh-hosts-bench "HOSTS" PUBLIC_KEY PRIVATE_FOLDER
// Runs the setup flow's download stage as the installer does (the .sig, then the image, over the
// given download hosts, most preferred first) with an install stage that ends at once, and
// prints the seconds from Install to a verified image. Exits 0 only when the image verified.
#include "controller/realstages.h"
#include "controller/setupflow.h"
#include "diag/diagnostics.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <curl/curl.h>

#include <cstdio>

using namespace controller;

namespace {

class InstantInstall : public InstallStage
{
public:
    void start(const InstallJob &job, Step, Completion completion) override
    {
        completion({install::InstallResult::Status::Installed, job.folder, {}, {}, 0, 0});
    }
};

} // namespace

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: quillmarsh-hosts-bench HOSTS PUBLIC_KEY PRIVATE_FOLDER\n");
        return 2;
    }
    diag::Diagnostics diagnostics;
    SetupFlow::Parts parts;
    parts.download = createNetworkDownloadStage();
    parts.install = std::make_unique<InstantInstall>();
    parts.privateFolder = args.at(2);
    parts.downloadBaseURL = args.at(0);
    parts.imagePublicKey = args.at(1).toLatin1();
    parts.minImageVersion = 0;
    parts.keepAwake = false;
    parts.track = [](const QString &, const QString &) {};
    SetupFlow flow(std::move(parts));
    QElapsedTimer clock;
    int status = 1;
    QObject::connect(&flow, &SetupFlow::finished, [&] {
        std::printf("%.2f\n", double(clock.nsecsElapsed()) / 1e9);
        status = 0;
        app.quit();
    });
    QObject::connect(&flow, &SetupFlow::failed, [&](SetupFlow::Failure, const QString &message) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(message));
        app.quit();
    });
    clock.start();
    flow.install(args.at(2));
    app.exec();
    flow.shutdown();
    return status;
}
