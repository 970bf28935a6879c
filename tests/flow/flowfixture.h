#pragma once

// What the flow tests share: the image server, the analytics endpoint, the log read since the
// test began, and the private folder check.
#include "diag/analytics.h"
#include "platform/cpu.h"
#include "platform/paths.h"
#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QRegularExpression>
#include <QStringList>

#include <memory>

namespace flowtest {

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
        for (const testsupport::HttpRequest &r : ga->requests()) {
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
