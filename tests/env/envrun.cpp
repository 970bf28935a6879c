// Runs one installation headless, the way a user would: makes the installer window, types the
// install folder, ticks the agree box, presses Install, answers the alerts, and closes the
// window once the flow has ended. Prints one line of JSON on stdout:
//   {"outcome": "installed" | "failed" | "timeout", "alert": ..., "labels": [...], "ms": ...}
// Exit status 0 for a clean end, 3 when the flow did not end in time, 2 for wrong arguments.
//
// Usage: envrun DOWNLOAD_BASE_URL INSTALL_FOLDER
// QM_ENV_GA_URL, when set, receives the analytics posts (default: a closed loopback port).
// QM_ENV_IMAGE_KEY, when set, is the key the images must be signed with (default: the build's).
#include "controller/mainwindowcontroller.h"
#include "controller/setupflow.h"
#include "diag/analytics.h"
#include "diag/diagnostics.h"
#include "diag/itlog.h"
#include "install/dmginstaller.h"
#include "platform/paths.h"
#include "ui/installerwindow.h"
#include "ui/roundedbutton.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <curl/curl.h>

#include <cstdio>
#include <memory>

using namespace controller;
using namespace download;
using namespace install;
using namespace l10n;
using namespace ui;

namespace {

constexpr int kFlowLimitMs = 25000;
constexpr int kPollMs = 20;

RoundedButton *visibleButton(QWidget *window, const QString &title)
{
    for (RoundedButton *b : window->findChildren<RoundedButton *>())
        if (b->isVisible() && b->title() == title)
            return b;
    return nullptr;
}

QMessageBox *openMessageBox()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
            return box;
    return nullptr;
}

void press(QMessageBox *box, const QString &title)
{
    for (QAbstractButton *b : box->buttons())
        if (b->text() == title) {
            b->click();
            return;
        }
}

class Driver : public QObject
{
public:
    Driver(QWidget *window, const QString &folder) : m_window(window), m_folder(folder) {}

    void start()
    {
        m_clock.start();
        auto *field = m_window->findChild<QLineEdit *>();
        auto *agree = m_window->findChild<QCheckBox *>();
        RoundedButton *install = visibleButton(m_window, QStringLiteral("Install"));
        if (!field || !agree || !install) {
            end(QStringLiteral("no-controls"));
            return;
        }
        field->setText(m_folder);
        if (!agree->isChecked())
            QTest::mouseClick(agree, Qt::LeftButton, {}, QPoint(8, agree->height() / 2));
        QTest::mouseClick(install, Qt::LeftButton);
        connect(&m_poll, &QTimer::timeout, this, &Driver::poll);
        m_poll.start(kPollMs);
    }

    QJsonObject summary() const
    {
        QJsonArray labels;
        for (const QString &text : m_labels)
            labels.append(text);
        return {{"outcome", m_outcome},
                {"alert", m_alert},
                {"labels", labels},
                {"ms", double(m_clock.elapsed())}};
    }
    bool ended() const { return !m_outcome.isEmpty(); }

private:
    void poll()
    {
        if (QMessageBox *box = openMessageBox()) {
            if (box->objectName() != QLatin1String("exitQuestion"))
                m_alert = box->informativeText();
            press(box, QStringLiteral("OK"));
            return;
        }
        if (ended())
            return;
        if (visibleButton(m_window, QStringLiteral("Start Now")))
            end(QStringLiteral("installed"));
        else if (RoundedButton *retry = visibleButton(m_window, QStringLiteral("Retry"));
                 retry && retry->isEnabled())
            end(QStringLiteral("failed"));
    }

    // Records what the screen says, then closes the window as the user would; the exit
    // question that may follow is answered by poll().
    void end(const QString &outcome)
    {
        m_outcome = outcome;
        for (QLabel *label : m_window->findChildren<QLabel *>())
            if (label->isVisible() && !label->text().isEmpty())
                m_labels << label->text();
        QTimer::singleShot(0, m_window, [w = m_window] { w->close(); });
    }

    QWidget *m_window;
    QString m_folder;
    QTimer m_poll;
    QElapsedTimer m_clock;
    QString m_outcome;
    QString m_alert;
    QStringList m_labels;
};

} // namespace

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillmarsh"));
    if (argc != 3)
        return 2;
    AnalyticsConfig analytics = ITDefaultAnalyticsConfig();
    analytics.baseUrl = qEnvironmentVariable("QM_ENV_GA_URL", QStringLiteral("http://127.0.0.1:9"));
    analytics.timeoutMs = 2000;
    ITSetAnalyticsConfig(analytics);
    diag::Diagnostics diagnostics;

    // Made as the application makes it, pointed at the test server, with its timers (retry
    // waits, creep, slides) shortened.
    SetupFlow::Parts parts = SetupFlow::standardParts(platform::privateDirectory());
    parts.downloadBaseURL = QString::fromLocal8Bit(argv[1]);
    parts.timeScale = 0.01;
    if (qEnvironmentVariableIsSet("QM_ENV_IMAGE_KEY"))
        parts.imagePublicKey = qgetenv("QM_ENV_IMAGE_KEY");
    auto controller = std::make_unique<MainWindowController>(std::move(parts));
    InstallerWindow *window = controller->window();
    window->show();
    Driver driver(window, QString::fromLocal8Bit(argv[2]));
    QTimer::singleShot(0, &driver, &Driver::start);

    // A flow that never ends is reported as such; nothing more is waited for then.
    QTimer::singleShot(kFlowLimitMs, &app, [&driver] {
        QJsonObject s = driver.summary();
        s.insert("outcome", "timeout");
        std::printf("%s\n", QJsonDocument(s).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
        ITLogDrain(500);
        std::_Exit(3);
    });
    QApplication::setQuitOnLastWindowClosed(true);
    app.exec();

    // An orderly exit lets installs detach their images and the log reach the disk.
    controller->flow()->shutdown();
    ITLogDrain(2000);
    std::printf("%s\n", QJsonDocument(driver.summary()).toJson(QJsonDocument::Compact).constData());
    controller.reset();
    return driver.ended() ? 0 : 3;
}
