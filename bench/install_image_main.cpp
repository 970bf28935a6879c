// quillmarsh-install-image IMAGE DESTDIR [BUNDLE]
// Runs one DMGInstaller the way the installer does, with this platform's tools, for the
// bundle "Quillmarsh.app" unless BUNDLE names another. Prints each stage and the outcome on
// standard output; exits 0 only when the bundle was installed. Returns after the detach.
#include "diag/itlog.h"
#include "install/dmginstaller.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: quillmarsh-install-image IMAGE DESTDIR [BUNDLE]\n");
        return 2;
    }

    int status = 1;
    auto installer = DMGInstaller::create(args[0], args.value(2, QStringLiteral("Quillmarsh.app")),
                                          args[1]);
    installer->onStatus = [](const QString &stage) {
        std::printf("stage %s\n", qPrintable(stage));
        std::fflush(stdout);
    };
    installer->onComplete = [&status](bool success, const QString &path, const QString &error) {
        if (success)
            std::printf("installed %s\n", qPrintable(path));
        else
            std::printf("failed: %s\n", qPrintable(error));
        status = success ? 0 : 1;
        QCoreApplication::quit();
    };
    installer->start();
    installer.reset();
    app.exec();
    DMGInstaller::waitForWorkers(120000);
    ITLogDrain();
    return status;
}
