#include "downloader.h"

#include <QCoreApplication>
#include <QTimer>

// Placeholder until the libcurl engine lands: every attempt fails at once.
struct Downloader::Private
{
    QString url;
    QString destFile;
    std::optional<QByteArray> startResumeData;
    Options options;
};

Downloader::Downloader(const QString &url, const QString &destFile,
                       std::optional<QByteArray> resumeData)
    : d(new Private{url, destFile, std::move(resumeData), {}})
{
}

Downloader::~Downloader() = default;

std::shared_ptr<Downloader> Downloader::create(const QString &url, const QString &destFile,
                                               std::optional<QByteArray> resumeData)
{
    return std::shared_ptr<Downloader>(new Downloader(url, destFile, std::move(resumeData)));
}

void Downloader::setOptions(const Options &options) { d->options = options; }

void Downloader::start()
{
    auto self = shared_from_this();
    QTimer::singleShot(0, QCoreApplication::instance(), [self] {
        if (self->onComplete)
            self->onComplete(false, QStringLiteral("Server returned HTTP 0"));
    });
}

void Downloader::cancel() {}
qint64 Downloader::httpStatus() const { return 0; }
qint64 Downloader::errorCode() const { return 0; }
std::optional<QByteArray> Downloader::resumeData() const { return std::nullopt; }
bool Downloader::isCancelled() const { return false; }
QString Downloader::url() const { return d->url; }
QString Downloader::destFile() const { return d->destFile; }
