// quillmarsh-install-image IMAGE DESTDIR [BUNDLE]
// Runs one DMGInstaller the way the installer does, with this platform's tools, for the
// bundle "Quillmarsh.app" unless BUNDLE names another; the mount point goes beside IMAGE. Prints
// each stage and the outcome on standard output; exits 0 only when the bundle was installed.
// Returns after the detach.
#include "diag/itlog.h"
#include "install/dmginstaller.h"

#include <QCoreApplication>

#include <cstdio>

using namespace install;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: quillmarsh-install-image IMAGE DESTDIR [BUNDLE]\n");
        return 2;
    }

    int status = 1;
    auto installer =
        DMGInstaller::create(args[0], args.value(2, QStringLiteral("Quillmarsh.app")), args[1]);
    installer->onStatus = [](InstallStep stage) {
        std::printf("stage %s\n", qPrintable(installStepName(stage)));
        std::fflush(stdout);
    };
    installer->onComplete = [&status](const InstallResult &result) {
        switch (result.status) {
        case InstallResult::Status::Installed:
            std::printf("installed %s\n", qPrintable(result.app));
            status = 0;
            break;
        case InstallResult::Status::Failed:
            std::printf("failed: %s\n", qPrintable(result.error));
            break;
        case InstallResult::Status::NoSpace:
            std::printf("no space in %s: %lld bytes needed, %lld available\n",
                        qPrintable(result.spaceFolder), result.bytesNeeded, result.bytesAvailable);
            break;
        }
        QCoreApplication::quit();
    };
    installer->start();
    app.exec();
    installer.reset(); // waits for the detach
    ITLogDrain();
    return status;
}
