// envrun DOWNLOAD_BASE_URL INSTALL_FOLDER: one installation headless, made as the installer's
// main makes it, with Install given the folder. Prints how it ended on stdout, "installed",
// "timeout" or "failed: " and what the user is told, and exits 0 once the flow has ended and shut
// down, 3 when it did not end in time. QM_ENV_IMAGE_KEY, when not empty, is the key the images must
// be signed with (default: the build's); QM_ENV_LOW_SPEED_SECONDS, how long a transfer may stall
// (the network soak's, short).
#include "controller/mainwindowcontroller.h"
#include "controller/realstages.h"
#include "controller/setupflow.h"
#include "diag/analytics.h"
#include "diag/diagnostics.h"
#include "diag/itlog.h"
#include "platform/paths.h"
#include "ui/installerwindow.h"

#include <QApplication>
#include <QTimer>

#include <curl/curl.h>

#include <cstdio>
using namespace controller;
using namespace download;

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmarsh"));
    if (argc != 3)
        return 2;
    // Events are logged; their posts go to a closed port.
    AnalyticsConfig analytics = ITDefaultAnalyticsConfig();
    analytics.baseUrl = QStringLiteral("http://127.0.0.1:9");
    analytics.timeoutMs = 2000;
    ITSetAnalyticsConfig(analytics);
    diag::Diagnostics diagnostics;
    const platform::PrivateFolder privateFolder;

    // Pointed at the test server, with its timers (retry waits, creep, slides) shortened.
    SetupFlow::Parts parts = SetupFlow::standardParts(privateFolder.path());
    parts.downloadBaseURL = QString::fromLocal8Bit(argv[1]);
    parts.timeScale = 0.01;
    if (const QByteArray key = qgetenv("QM_ENV_IMAGE_KEY"); !key.isEmpty())
        parts.imagePublicKey = key;
    if (const int seconds = qEnvironmentVariableIntValue("QM_ENV_LOW_SPEED_SECONDS"))
        parts.download = createNetworkDownloadStage(
            [seconds](Downloader::Options &o) { o.lowSpeedTimeSeconds = seconds; });
    auto controller = std::make_unique<MainWindowController>(std::move(parts));
    SetupFlow *flow = controller->flow();
    QString outcome = QStringLiteral("timeout");
    QObject::connect(flow, &SetupFlow::finished, &app, [&] {
        outcome = QStringLiteral("installed");
        QApplication::exit(); // not quit(): that closes the window, which would ask first
    });
    QObject::connect(flow, &SetupFlow::failed, &app, [&](SetupFlow::Failure, const QString &text) {
        outcome = "failed: " + text;
        QApplication::exit();
    });
    controller->window()->show();
    QTimer::singleShot(0, flow, [&] { flow->install(QString::fromLocal8Bit(argv[2])); });
    QTimer::singleShot(25000, &app, [] { QApplication::exit(); });
    app.exec();

    // As when the window closes: the install's image detached, the private folder emptied.
    flow->shutdown();
    ITLogDrain(2000);
    std::printf("%s\n", outcome.toUtf8().constData());
    controller.reset();
    return outcome == "timeout" ? 3 : 0;
}
