// quillmarsh-fetch URL DEST [--resume-state FILE] [--buffer-size BYTES]
//                 [--signature SIGFILE --public-key BASE64]
// Runs one download attempt the way the installer does. Resume state is read from FILE when it
// exists, written to FILE when the attempt fails in a resumable way, and removed once the file
// is saved. With a signature, the saved file is checked against it the way the installer checks
// an image before mounting it (the digest taken while the bytes arrived). Prints the outcome to
// stderr; exits 0 only when the file was saved (and, with a signature, verified), 3 when it was
// saved but does not match its signature.
#include "download/downloader.h"
#include "download/imagesignature.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>

#include <curl/curl.h>

#include <cstdio>

using namespace download;

int main(int argc, char **argv)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    QString stateFile;
    if (const qsizetype at = args.indexOf(QStringLiteral("--resume-state")); at >= 0) {
        stateFile = args.value(at + 1);
        args.remove(at, 2);
    }
    long bufferBytes = 0; // for measuring the receive buffer size
    if (const qsizetype at = args.indexOf(QStringLiteral("--buffer-size")); at >= 0) {
        bufferBytes = args.value(at + 1).toLong();
        args.remove(at, 2);
    }
    QString sigFile;
    QByteArray publicKey;
    if (const qsizetype at = args.indexOf(QStringLiteral("--signature")); at >= 0) {
        sigFile = args.value(at + 1);
        args.remove(at, 2);
    }
    if (const qsizetype at = args.indexOf(QStringLiteral("--public-key")); at >= 0) {
        publicKey = args.value(at + 1).toLatin1();
        args.remove(at, 2);
    }
    if (args.size() != 2 || sigFile.isEmpty() != publicKey.isEmpty()) {
        std::fprintf(stderr, "usage: quillmarsh-fetch URL DEST [--resume-state FILE] "
                             "[--buffer-size BYTES] [--signature SIGFILE --public-key BASE64]\n");
        return 2;
    }
    // Read before the download, as the installer fetches the signature first.
    std::optional<ImageSignature> signature;
    if (!sigFile.isEmpty()) {
        QFile file(sigFile);
        QString error = QStringLiteral("cannot read ") + sigFile;
        if (file.open(QIODevice::ReadOnly))
            signature = readImageSignature(file.read(kMaxImageSignatureBytes), publicKey, &error);
        if (signature)
            error = checkRelease(*signature, minImageVersion(), QDateTime::currentDateTimeUtc());
        if (!signature || !error.isEmpty()) {
            std::fprintf(stderr, "verification FAILED: %s\n", qPrintable(error));
            return 3;
        }
    }
    std::optional<QByteArray> resume;
    if (QFile state(stateFile); !stateFile.isEmpty() && state.open(QIODevice::ReadOnly))
        resume = state.readAll();

    int status = 1;
    auto dl = Downloader::create(args[0], args[1], resume);
    Downloader::Options options;
    options.receiveBufferBytes = bufferBytes;
    dl->setOptions(options);
    dl->onComplete = [&](const DownloadResult &r) {
        if (r.status == DownloadResult::Status::Saved) {
            std::fprintf(stderr, "saved %s (%lld bytes, sha256 %s)\n", qPrintable(dl->destFile()),
                         static_cast<long long>(r.size), r.sha256.toHex().constData());
            if (!stateFile.isEmpty())
                QFile::remove(stateFile);
            status = 0;
            if (signature) {
                const QString name = QUrl(args[0]).fileName();
                if (const QString why = checkImage(*signature, name, r.size, r.sha256);
                    !why.isEmpty()) {
                    std::fprintf(stderr, "verification FAILED: %s\n", qPrintable(why));
                    status = 3;
                } else {
                    std::fprintf(stderr, "verified\n");
                }
            }
        } else {
            std::fprintf(stderr, "FAILED: %s (HTTP %lld, error %lld, resume state %lld bytes)\n",
                         qPrintable(r.message), r.httpStatus, r.errorCode,
                         static_cast<long long>(r.resumeData ? r.resumeData->size() : 0));
            if (!stateFile.isEmpty()) {
                QFile state(stateFile);
                if (r.resumeData && state.open(QIODevice::WriteOnly))
                    state.write(*r.resumeData);
                else
                    QFile::remove(stateFile);
            }
        }
        app.quit();
    };
    dl->start();
    app.exec();
    return status;
}
