// quillmarsh-sign-image PRIVATE_KEY.pem IMAGE
// Writes IMAGE.sig, the signed name, size and SHA-256 the installer checks an image against
// before it mounts it. Make the key once with `openssl genpkey -algorithm ed25519 -out KEY.pem`
// and build the installer with the base64 of its raw public key. Exits 0 only when the .sig
// was written.
#include "download/imagesignature.h"

#include <QCoreApplication>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: quillmarsh-sign-image PRIVATE_KEY.pem IMAGE\n");
        return 2;
    }
    QString error;
    const std::optional<QByteArray> sig = signImageFile(args[0], args[1], &error);
    if (!sig) {
        std::fprintf(stderr, "quillmarsh-sign-image: %s\n", qPrintable(error));
        return 1;
    }
    QSaveFile out(args[1] + QStringLiteral(".sig"));
    if (!out.open(QIODevice::WriteOnly) || out.write(*sig) != sig->size() || !out.commit()) {
        std::fprintf(stderr, "quillmarsh-sign-image: cannot write %s: %s\n",
                     qPrintable(out.fileName()), qPrintable(out.errorString()));
        return 1;
    }
    std::printf("%s", sig->constData());
    return 0;
}
