#include "signing.h"

#include "download/imagesignature.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

using namespace download;

namespace {

constexpr qsizetype kSignatureSize = 64;
constexpr qsizetype kPublicKeySize = 32;

using Pkey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

std::nullopt_t fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return std::nullopt;
}

Pkey readPrivateKey(const QString &pem, QString *error)
{
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_file(QFile::encodeName(pem).constData(), "r"), &BIO_free);
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
             &EVP_PKEY_free);
    if (key && EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    if (!key)
        fail(error, QStringLiteral("%1 is not an Ed25519 private key in PEM").arg(pem));
    return key;
}

std::optional<QByteArray> signWith(EVP_PKEY *key, const QByteArray &facts, QString *error)
{
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(),
                                                                      &EVP_MD_CTX_free);
    QByteArray signature(kSignatureSize, Qt::Uninitialized);
    size_t length = size_t(signature.size());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &length,
                       reinterpret_cast<const unsigned char *>(facts.constData()),
                       size_t(facts.size())) != 1 ||
        length != size_t(kSignatureSize))
        return fail(error, QStringLiteral("signing failed"));
    return facts + "signature " + signature.toBase64() + '\n';
}

QByteArray publicKeyBase64(EVP_PKEY *key)
{
    QByteArray raw(kPublicKeySize, Qt::Uninitialized);
    size_t length = size_t(raw.size());
    if (EVP_PKEY_get_raw_public_key(key, reinterpret_cast<unsigned char *>(raw.data()), &length) !=
            1 ||
        length != size_t(kPublicKeySize))
        return {};
    return raw.toBase64();
}

} // namespace

std::optional<FileDigest> fileSha256(const QString &path, QString *error)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return fail(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return FileDigest{hash.result(), file.size()};
}

std::optional<QByteArray> signFacts(const QString &privateKeyPem, const QByteArray &facts,
                                    QString *error)
{
    const Pkey key = readPrivateKey(privateKeyPem, error);
    return key ? signWith(key.get(), facts, error) : std::nullopt;
}

std::optional<QByteArray> signImageFile(const QString &privateKeyPem, const QString &imagePath,
                                        qint64 version, const QDateTime &expires, QString *error)
{
    if (version < 0)
        return fail(error, QStringLiteral("the version must be 0 or more"));
    const Pkey key = readPrivateKey(privateKeyPem, error);
    if (!key)
        return std::nullopt;
    const std::optional<FileDigest> digest = fileSha256(imagePath, error);
    if (!digest)
        return std::nullopt;
    QByteArray facts = "quillmarsh-image 2\nfile " + QFileInfo(imagePath).fileName().toUtf8() +
                       "\nsize " + QByteArray::number(digest->size) + "\nsha256 " +
                       digest->sha256.toHex() + "\nversion " + QByteArray::number(version) + '\n';
    // Whole seconds in UTC: the only spelling the reader takes.
    if (expires.isValid())
        facts += "expires " + expires.toUTC().toString(Qt::ISODate).toLatin1() + '\n';
    std::optional<QByteArray> text = signWith(key.get(), facts, error);
    if (!text)
        return std::nullopt;
    QString why;
    if (!readImageSignature(*text, publicKeyBase64(key.get()), &why))
        return fail(error, QStringLiteral("an installer would refuse this signature: ") + why);
    return text;
}
