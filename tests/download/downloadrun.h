#pragma once

#include "diag/itlog.h"
#include "download/downloader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

// Runs one Downloader attempt to its completion on the test's event loop and keeps what the
// caller can observe of it.
struct DownloadRun
{
    bool completed = false;
    bool ok = false;
    QString message;
    qint64 httpStatus = -1;
    qint64 errorCode = -1;
    std::optional<QByteArray> resumeData;
    QList<QPair<qint64, qint64>> progress;
    int progressAfterCancel = 0;
    bool released = false; // the instance was freed soon after its completion

    static DownloadRun
    exec(const QString &url, const QString &dest, std::optional<QByteArray> resume = std::nullopt,
         const std::function<void(Downloader &)> &configure = {},
         const std::function<void(Downloader &, const DownloadRun &)> &onTick = {},
         int timeoutMs = 30000)
    {
        auto run = std::make_shared<DownloadRun>();
        std::weak_ptr<Downloader> weak;
        {
            auto dl = Downloader::create(url, dest, std::move(resume));
            if (configure)
                configure(*dl);
            Downloader *raw = dl.get();
            dl->onProgress = [run, raw, onTick](qint64 written, qint64 total) {
                if (raw->isCancelled())
                    ++run->progressAfterCancel;
                run->progress.append({written, total});
                if (onTick)
                    onTick(*raw, *run);
            };
            dl->onComplete = [run, raw](bool ok, const QString &message) {
                run->completed = true;
                run->ok = ok;
                run->message = message;
                run->httpStatus = raw->httpStatus();
                run->errorCode = raw->errorCode();
                run->resumeData = raw->resumeData();
            };
            weak = dl;
            dl->start();
        } // the caller's reference is gone: the attempt keeps itself alive
        if (QTest::qWaitFor([&] { return run->completed; }, timeoutMs))
            run->released = QTest::qWaitFor([&] { return weak.expired(); }, 5000);
        return *run;
    }
};

inline QByteArray sha256Of(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash h(QCryptographicHash::Sha256);
    h.addData(&f);
    return h.result().toHex();
}

// Log lines written since construction.
class LogTail
{
public:
    LogTail()
    {
        ITLog("TEST: mark");
        ITLogDrain(2000);
        m_start = QFile(ITLogFilePath()).size();
    }
    QStringList lines() const
    {
        ITLogDrain(2000);
        QFile f(ITLogFilePath());
        if (!f.open(QIODevice::ReadOnly))
            return {};
        f.seek(m_start);
        QStringList out;
        for (const QByteArray &line : f.readAll().split('\n'))
            if (const int at = line.indexOf("  "); at > 0)
                out << QString::fromUtf8(line.mid(at + 2));
        return out;
    }
    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &l : lines())
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }

private:
    qint64 m_start = 0;
};
