// Local stand-in for the product's three hosts, used by scripts/demo: serves the disk images
// (paced, so the install screen can be watched) and their .sig files, the two web pages, and
// answers and records the analytics posts.
//
//   qm-demo-server --images DIR --events FILE [--piece-delay MS]
//
// Prints "listening <base url>" once it is ready and one line per request; ends on SIGINT or
// SIGTERM.
#include "testhttpserver.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <mutex>

using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::TestHttpServer;

namespace {

std::mutex g_outputLock;

QByteArray page(const char *title, const char *text)
{
    return QByteArray("<!doctype html><html><head><meta charset=\"utf-8\"><title>") + title +
           "</title></head><body><h1>" + title + "</h1><p>" + text + "</p></body></html>\n";
}

void record(const QString &eventsFile, const HttpRequest &request, int status)
{
    std::lock_guard lock(g_outputLock);
    std::printf("%s %s -> %d\n", request.method.constData(), request.path().constData(), status);
    std::fflush(stdout);
    if (request.method != "POST")
        return;
    QFile file(eventsFile);
    if (!file.open(QIODevice::Append))
        return;
    QJsonObject line;
    line[QStringLiteral("endpoint")] = QString::fromUtf8(request.path().mid(1));
    line[QStringLiteral("body")] = QJsonDocument::fromJson(request.body).object();
    line[QStringLiteral("time")] = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
}

HttpResponse answer(const HttpRequest &request, const QString &imageDir, int pieceDelayMs)
{
    const QByteArray path = request.path();
    if (request.method == "POST" && path == "/mp/collect")
        return HttpResponse::make(204);
    if (request.method == "POST" && path == "/debug/mp/collect")
        return HttpResponse::make(200, "{\n  \"validationMessages\": [ ]\n}\n")
            .header("Content-Type", "application/json");
    if (path == "/privacy/")
        return HttpResponse::make(200, page("Privacy Policy", "Sample privacy policy."))
            .header("Content-Type", "text/html; charset=utf-8");
    if (path == "/user-license-agreement/")
        return HttpResponse::make(200, page("User License Agreement", "Sample licence."))
            .header("Content-Type", "text/html; charset=utf-8");
    // The signatures beside the images, unpaced: they are a few hundred bytes.
    if (path == "/quillmarsh.dmg.sig" || path == "/quillmarsh.silicon.dmg.sig")
        return TestHttpServer::fileResponse(request, imageDir + QString::fromUtf8(path));
    if (path == "/quillmarsh.dmg" || path == "/quillmarsh.silicon.dmg") {
        HttpResponse r = TestHttpServer::fileResponse(request, imageDir + QString::fromUtf8(path));
        r.pieceSize = qMax<qsizetype>(1, r.body.size() / 16);
        r.pieceDelayMs = pieceDelayMs;
        return r;
    }
    return HttpResponse::make(404, "not found\n");
}

} // namespace

int main(int argc, char **argv)
{
    QString imageDir;
    QString eventsFile;
    int pieceDelayMs = 150;
    const QStringList args = [&] {
        QStringList list;
        for (int i = 1; i < argc; ++i)
            list << QString::fromLocal8Bit(argv[i]);
        return list;
    }();
    for (qsizetype i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--images"))
            imageDir = args[i + 1];
        else if (args[i] == QLatin1String("--events"))
            eventsFile = args[i + 1];
        else if (args[i] == QLatin1String("--piece-delay"))
            pieceDelayMs = args[i + 1].toInt();
    }
    if (imageDir.isEmpty() || eventsFile.isEmpty()) {
        std::fprintf(stderr,
                     "usage: qm-demo-server --images DIR --events FILE [--piece-delay MS]\n");
        return 2;
    }

    // Block the stop signals before the server starts its threads, so that only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TestHttpServer server;
    if (!server.isListening()) {
        std::fprintf(stderr, "qm-demo-server: cannot listen on 127.0.0.1\n");
        return 1;
    }
    server.setHandler([&](const HttpRequest &request) {
        HttpResponse r = answer(request, imageDir, pieceDelayMs);
        record(eventsFile, request, r.status);
        return r;
    });
    {
        std::lock_guard lock(g_outputLock);
        std::printf("listening %s\n", qPrintable(server.url(QString())));
        std::fflush(stdout);
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    return 0;
}
