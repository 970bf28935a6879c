// One run's private folder, seen from whatever user the test starts it as: "platform_helper"
// prints the private folder twice (it must not change within a run), puts an image into it,
// releases it as the installer does at exit and prints whether the folder is "kept" or "gone".
// "platform_helper instance" prints what the single-instance rule refused, then "another" or
// "alone"; "instance wait", when alone, waits 10 s at most for "activated" to be asked of it.
#include "platform/paths.h"
#include "platform/singleinstance.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("instance"))) {
        platform::SingleInstance instance(QStringLiteral("test.quillmarsh.instance"));
        instance.onRefused = [](const QString &why) { std::printf("%s\n", qPrintable(why)); };
        const bool another = instance.anotherInstanceActivated();
        std::printf("%s\n", another ? "another" : "alone");
        std::fflush(stdout);
        if (another || !app.arguments().contains(QStringLiteral("wait")))
            return 0;
        instance.onActivate = [] {
            std::printf("activated\n");
            QCoreApplication::quit();
        };
        QTimer::singleShot(10000, &app, &QCoreApplication::quit);
        return app.exec();
    }
    const QString dir = platform::privateDirectory();
    std::printf("%s\n%s\n", qPrintable(dir), qPrintable(platform::privateDirectory()));
    if (dir.isEmpty() ||
        !QFile(dir + QStringLiteral("/quillmarsh_setup.dmg")).open(QIODevice::WriteOnly))
        return 0;
    platform::releasePrivateDirectory();
    std::printf("%s\n", QFile::exists(dir) ? "kept" : "gone");
    return 0;
}
