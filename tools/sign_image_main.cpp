// quillmarsh-sign-image --version N [--lifetime DAYS] PRIVATE_KEY.pem IMAGE
// Writes IMAGE.sig, the signed name, size, SHA-256 and version (and, with --lifetime, the time
// it expires) the installer checks an image against before it mounts it. Raise N with every
// release. Make the key once with `openssl genpkey -algorithm ed25519 -out KEY.pem` and build
// the installer with the base64 of its raw public key. Exits 0 only when the .sig was written.
#include "signing.h"

#include <QCoreApplication>
#include <QSaveFile>

#include <cstdio>

namespace {

// A plain whole number from args after the option name, which both leave args; -1 when the
// option is absent, -2 when its value is not a whole number.
qint64 takeNumber(QStringList &args, const QString &option)
{
    const qsizetype at = args.indexOf(option);
    if (at < 0)
        return -1;
    bool ok = false;
    const qint64 value = args.value(at + 1).toLongLong(&ok);
    args.remove(at, qMin<qsizetype>(2, args.size() - at));
    return ok && value >= 0 ? value : -2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const qint64 version = takeNumber(args, QStringLiteral("--version"));
    const qint64 lifetimeDays = takeNumber(args, QStringLiteral("--lifetime"));
    if (args.size() != 2 || version < 0 || lifetimeDays == -2) {
        std::fprintf(stderr, "usage: quillmarsh-sign-image --version N [--lifetime DAYS] "
                             "PRIVATE_KEY.pem IMAGE\n");
        return 2;
    }
    // Whole seconds: the .sig spells the time without a fraction.
    const QDateTime now =
        QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
    const QDateTime expires = lifetimeDays >= 0 ? now.addDays(lifetimeDays) : QDateTime();
    QString error;
    const std::optional<QByteArray> sig = signImageFile(args[0], args[1], version, expires, &error);
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
