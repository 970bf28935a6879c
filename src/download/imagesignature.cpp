#include "imagesignature.h"

#include "config.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringDecoder>

#include <openssl/evp.h>

#include <memory>

namespace download {

namespace {

constexpr qsizetype kSha256Size = 32;
constexpr qsizetype kSignatureSize = 64;
constexpr qsizetype kPublicKeySize = 32;
// Clocks are sometimes a day off; an expiry is not held against an image before that.
constexpr qint64 kExpiryGraceSeconds = 24 * 3600;

struct PkeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

// Strict base64: only the canonical encoding of exactly `bytes` bytes is accepted, so one
// signature has one spelling.
std::optional<QByteArray> decodeBase64(const QByteArray &text, qsizetype bytes)
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != bytes || decoded.decoded.toBase64() != text)
        return std::nullopt;
    return decoded.decoded;
}

bool isLowerHex(const QByteArray &text)
{
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// A non-negative decimal without sign, spaces or leading zeros ("0" itself is fine).
std::optional<qint64> parseNumber(const QByteArray &text)
{
    if (text.isEmpty() || (text.size() > 1 && text.front() == '0'))
        return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

std::optional<QString> parseFileName(const QByteArray &text)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString name = utf8(text);
    if (text.isEmpty() || utf8.hasError() || name.contains(QLatin1Char('/')))
        return std::nullopt;
    for (QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return std::nullopt;
    }
    return name;
}

// Only the one canonical UTC spelling, "2027-01-31T00:00:00Z", so that one time has one text.
QDateTime parseUtc(const QByteArray &text)
{
    const QDateTime time = QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate);
    return time.isValid() && time.timeSpec() == Qt::UTC &&
                   time.toString(Qt::ISODate).toLatin1() == text
               ? time
               : QDateTime();
}

Pkey publicKeyFrom(const QByteArray &base64)
{
    const auto raw = decodeBase64(base64, kPublicKeySize);
    if (!raw)
        return nullptr;
    return Pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                            reinterpret_cast<const unsigned char *>(raw->data()),
                                            size_t(raw->size())));
}

bool verify(EVP_PKEY *key, const QByteArray &message, const QByteArray &signature)
{
    MdCtx ctx(EVP_MD_CTX_new());
    // Ed25519 hashes internally: no digest is named.
    return ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key) == 1 &&
           EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signature.data()),
                            size_t(signature.size()),
                            reinterpret_cast<const unsigned char *>(message.data()),
                            size_t(message.size())) == 1;
}

QString malformed(int line, const char *what)
{
    return QStringLiteral("malformed line %1: %2").arg(line).arg(QLatin1String(what));
}

} // namespace

QByteArray imagePublicKey()
{
    // Trimmed, so a key pasted with its line feed still counts as the key.
    return QByteArrayLiteral(QUILLMARSH_IMAGE_PUBLIC_KEY).trimmed();
}

std::optional<ImageSignature> readImageSignature(const QByteArray &sigText,
                                                 const QByteArray &publicKeyBase64, QString *error)
{
    const Pkey key = publicKeyFrom(publicKeyBase64);
    if (!key) {
        setError(error, QStringLiteral("bad public key"));
        return std::nullopt;
    }
    if (sigText.size() > kMaxImageSignatureBytes) {
        setError(error, QStringLiteral("malformed: %1 bytes, too long for a signature file")
                            .arg(sigText.size()));
        return std::nullopt;
    }

    // The lines in a fixed order, each ending in \n, and nothing after the signature line: the
    // split leaves one empty piece after the last line.
    const QList<QByteArray> lines = sigText.split('\n');
    const qsizetype complete = lines.size() - 1;
    int at = 0; // index of the line being read
    const auto fail = [&](const char *what) {
        setError(error, malformed(at + 1, what));
        return std::nullopt;
    };
    // The rest of the next line when it starts with keyword and a space; else nullopt.
    const auto field = [&](const QByteArray &keyword) -> std::optional<QByteArray> {
        if (at < complete && lines[at].startsWith(keyword + ' '))
            return lines[at].mid(keyword.size() + 1);
        return std::nullopt;
    };
    const auto missing = [&](const char *what) {
        if (at >= complete)
            return fail(at == complete && !lines[at].isEmpty() ? "does not end with a line feed"
                                                               : "missing");
        return fail(what);
    };

    const bool format1 = complete > 0 && lines[0] == "quillmarsh-image 1";
    if (!format1 && (complete == 0 || lines[0] != "quillmarsh-image 2"))
        return missing("expected \"quillmarsh-image 2\"");
    ++at;
    ImageSignature sig;
    const std::optional<QByteArray> file = field("file");
    const std::optional<QString> name = file ? parseFileName(*file) : std::nullopt;
    if (!name)
        return missing("expected \"file\" and a file name");
    sig.file = *name;
    ++at;
    const std::optional<QByteArray> sizeText = field("size");
    const std::optional<qint64> size = sizeText ? parseNumber(*sizeText) : std::nullopt;
    if (!size)
        return missing("expected \"size\" and a plain decimal number");
    sig.size = *size;
    ++at;
    const QByteArray hex = field("sha256").value_or(QByteArray());
    if (hex.size() != 2 * kSha256Size || !isLowerHex(hex))
        return missing("expected \"sha256\" and 64 lower-case hex digits");
    sig.sha256 = QByteArray::fromHex(hex);
    ++at;
    if (!format1) {
        const std::optional<QByteArray> versionText = field("version");
        const std::optional<qint64> version =
            versionText ? parseNumber(*versionText) : std::nullopt;
        if (!version)
            return missing("expected \"version\" and a plain decimal number");
        sig.version = *version;
        ++at;
        if (const std::optional<QByteArray> expires = field("expires")) {
            sig.expires = parseUtc(*expires);
            if (!sig.expires.isValid())
                return fail("expected \"expires\" and a UTC time such as 2027-01-31T00:00:00Z");
            ++at;
        }
    }
    const std::optional<QByteArray> signatureText = field("signature");
    const std::optional<QByteArray> signature =
        signatureText ? decodeBase64(*signatureText, kSignatureSize) : std::nullopt;
    if (!signature)
        return missing("expected \"signature\" and the base64 of 64 bytes");
    ++at;
    if (at < complete || !lines[at].isEmpty())
        return fail("nothing may follow the signature line");

    const qsizetype signedLength = sigText.size() - lines[at - 1].size() - 1;
    if (!verify(key.get(), sigText.left(signedLength), *signature)) {
        setError(error, QStringLiteral("bad signature"));
        return std::nullopt;
    }
    return sig;
}

qint64 minImageVersion()
{
    return QUILLMARSH_MIN_IMAGE_VERSION;
}

QString checkRelease(const ImageSignature &sig, qint64 minVersion, const QDateTime &now)
{
    if (sig.version < minVersion) {
        return QStringLiteral("image version %1 is older than the oldest allowed, %2")
            .arg(sig.version)
            .arg(minVersion);
    }
    if (sig.expires.isValid() && now > sig.expires.addSecs(kExpiryGraceSeconds))
        return QStringLiteral("signature expired at %1").arg(sig.expires.toString(Qt::ISODate));
    return {};
}

QString checkImage(const ImageSignature &sig, const QString &fileName, qint64 size,
                   const QByteArray &sha256)
{
    if (fileName != sig.file)
        return QStringLiteral("file name is \"%1\", signed for \"%2\"").arg(fileName, sig.file);
    if (size != sig.size)
        return QStringLiteral("size is %1 bytes, signed for %2").arg(size).arg(sig.size);
    if (sha256 != sig.sha256) {
        return QStringLiteral("sha256 is %1, signed for %2")
            .arg(QLatin1String(sha256.toHex()), QLatin1String(sig.sha256.toHex()));
    }
    return {};
}

} // namespace download
