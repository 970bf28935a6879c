#pragma once

// What the flow tests share: the image server, the analytics endpoint, the log read since the
// test began, and the private folder check.
#include "controller/setupflow.h"
#include "diag/analytics.h"
#include "platform/cpu.h"
#include "platform/paths.h"
#include "testhttpserver.h"
#include "testkeys.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

#include <memory>

#if defined(__SANITIZE_THREAD__)
// Start Now launches the app with QProcess::startDetached, whose child shares the parent's memory
// until it execs; ThreadSanitizer then takes the parent for a forked child and kills it at its
// next thread start. No code of ours runs in a forked child. (Each flow test includes this once.)
extern "C" const char *__tsan_default_options()
{
    return "die_after_fork=0";
}
#endif

namespace flowtest {

using namespace controller;

inline QString sampleImage()
{
    return QM_SAMPLE_IMAGE_DIR +
           QString(platform::isArm64() ? "/quillmarsh.silicon.dmg" : "/quillmarsh.dmg");
}

inline bool privateDirEmpty()
{
    return QDir(platform::privateDirectory())
        .isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

struct Fixture
{
    std::unique_ptr<testsupport::TestHttpServer> server; // queued answers first, then the files
    std::unique_ptr<testsupport::TestHttpServer> ga;     // analytics posts
    qint64 logStart = 0;

    static QString logPath() { return platform::logsDirectory() + "/quillmarsh-installer.log"; }

    void start()
    {
        server = std::make_unique<testsupport::TestHttpServer>();
        server->serveDirectory(QM_SAMPLE_IMAGE_DIR);
        ga = std::make_unique<testsupport::TestHttpServer>();
        ga->setHandler([](const testsupport::HttpRequest &r) {
            return testsupport::HttpResponse::make(r.path().startsWith("/debug") ? 200 : 204);
        });
        AnalyticsConfig config = ITDefaultAnalyticsConfig();
        config.baseUrl = ga->url(QString());
        ITSetAnalyticsConfig(config);
        logStart = QFileInfo(logPath()).size();
    }

    // The flow against this server, its timers scaled; no sleep inhibitor, so no system bus
    // and none of the threads Qt starts for it.
    SetupFlow::Parts parts(double timeScale) const
    {
        SetupFlow::Parts parts = SetupFlow::standardParts(platform::privateDirectory());
        parts.downloadBaseURL = server->url(QString());
        parts.timeScale = timeScale;
        parts.keepAwake = false;
        parts.imagePublicKey.clear(); // unchecked, whatever key this build holds
        return parts;
    }

    void stop()
    {
        server.reset();
        ga.reset();
    }

    QString log() const
    {
        QFile f(logPath());
        return f.open(QIODevice::ReadOnly) && f.seek(logStart) ? QString::fromUtf8(f.readAll())
                                                               : QString();
    }

    // Sent in this order and received once on each endpoint (posts may overtake each other).
    bool eventsAre(const QStringList &expected) const
    {
        static const QRegularExpression line("GA: event (\\S+) reason=\"([^\"]*)\"");
        const auto tag = [](const QString &n, const QString &r) {
            return r.isEmpty() ? n : n + u':' + r;
        };
        QStringList logged, posted, twice;
        for (const QRegularExpressionMatch &m : line.globalMatch(log()))
            logged << tag(m.captured(1), m.captured(2));
        // A const copy: iterating the temporary would detach it while the server appends.
        const QList<testsupport::HttpRequest> requests = ga->requests();
        for (const testsupport::HttpRequest &r : requests) {
            const QJsonValue e = QJsonDocument::fromJson(r.body)[u"events"][0];
            posted << QString(r.path()) + u' ' +
                          tag(e[u"name"].toString(), e[u"params"][u"reason"].toString());
        }
        for (const QString &e : expected)
            twice << "/mp/collect " + e << "/debug/mp/collect " + e;
        posted.sort();
        twice.sort();
        return logged == expected && posted == twice;
    }
};

} // namespace flowtest
