// Signed images: .sig files written by the signing code, checked against the images they name
// and against files that differ from them; keys are made here with libcrypto.
#include "download/imagesignature.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {

struct Key
{
    QString pemFile;
    QByteArray publicBase64;
};

// A fresh Ed25519 key: the private half as a PEM file, the public half as the build holds it.
Key makeKey(const QString &pemFile)
{
    Key key{pemFile, {}};
    EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!pkey)
        return key;
    unsigned char raw[32];
    size_t length = sizeof raw;
    BIO *bio = BIO_new_file(QFile::encodeName(pemFile).constData(), "w");
    if (bio && PEM_write_bio_PrivateKey(bio, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1 &&
        EVP_PKEY_get_raw_public_key(pkey, raw, &length) == 1)
        key.publicBase64 = QByteArray(reinterpret_cast<char *>(raw), qsizetype(length)).toBase64();
    BIO_free(bio);
    EVP_PKEY_free(pkey);
    return key;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    Key m_key, m_otherKey;
    QByteArray m_image, m_otherImage;
    QByteArray m_sig, m_otherKeySig, m_otherImageSig;

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_key = makeKey(m_dir.filePath("release.pem"));
        m_otherKey = makeKey(m_dir.filePath("other.pem"));
        QVERIFY(!m_key.publicBase64.isEmpty() && !m_otherKey.publicBase64.isEmpty());
        m_image = randomBytes(229376);
        m_otherImage = randomBytes(229376);
        QVERIFY(writeFile(m_dir.filePath("quillmarsh.dmg"), m_image));
        QVERIFY(writeFile(m_dir.filePath("quillmarsh.silicon.dmg"), m_otherImage));

        QString error;
        const auto sign = [&](const Key &key, const char *image) {
            return signImageFile(key.pemFile, m_dir.filePath(image), &error).value_or("");
        };
        m_sig = sign(m_key, "quillmarsh.dmg");
        m_otherKeySig = sign(m_otherKey, "quillmarsh.dmg");
        m_otherImageSig = sign(m_key, "quillmarsh.silicon.dmg");
        QVERIFY2(!m_sig.isEmpty() && !m_otherKeySig.isEmpty() && !m_otherImageSig.isEmpty(),
                 qPrintable(error));
    }

    // A downloaded quillmarsh.dmg (the signed one, altered as the row says) against a .sig.
    void downloadedImage_data()
    {
        QTest::addColumn<QString>("sigOf"); // own, otherKey, otherImage
        QTest::addColumn<int>("flipAt");    // -1: no byte changed
        QTest::addColumn<int>("cutBytes");
        QTest::addColumn<QString>("failure"); // empty: verified

        QTest::newRow("good") << "own" << -1 << 0 << "";
        QTest::newRow("first byte flipped") << "own" << 0 << 0 << "sha256 is ";
        QTest::newRow("last byte flipped") << "own" << 229375 << 0 << "sha256 is ";
        QTest::newRow("truncated") << "own" << -1 << 4096 << "size is 225280 bytes";
        QTest::newRow("signed by another key") << "otherKey" << -1 << 0 << "bad signature";
        QTest::newRow("the other image's .sig") << "otherImage" << -1 << 0 << "file name is";
    }
    void downloadedImage()
    {
        QFETCH(QString, sigOf);
        QFETCH(int, flipAt);
        QFETCH(int, cutBytes);
        QFETCH(QString, failure);

        const QByteArray sigText = sigOf == "own"        ? m_sig
                                   : sigOf == "otherKey" ? m_otherKeySig
                                                         : m_otherImageSig;
        QByteArray downloaded = m_image;
        if (flipAt >= 0)
            downloaded[flipAt] = char(downloaded[flipAt] ^ 0x01);
        downloaded.chop(cutBytes);
        const QString path = m_dir.filePath("download/quillmarsh_setup.dmg");
        QDir().mkpath(m_dir.filePath("download"));
        QVERIFY(writeFile(path, downloaded));
        QString error;
        const std::optional<FileDigest> digest = fileSha256(path, &error);
        QVERIFY2(digest, qPrintable(error));
        QCOMPARE(digest->size, downloaded.size());

        std::optional<ImageSignature> sig = readImageSignature(sigText, m_key.publicBase64, &error);
        const QString outcome =
            sig ? checkImage(*sig, "quillmarsh.dmg", digest->size, digest->sha256) : error;
        if (failure.isEmpty())
            QCOMPARE(outcome, QString());
        else
            QVERIFY2(outcome.startsWith(failure), qPrintable(outcome));
    }

    // The good .sig with one line replaced ({hex}, {b64} and their variants stand for its own
    // values) or with text added; each is refused by the named check.
    void malformed_data()
    {
        QTest::addColumn<int>("line"); // 1-5 replaced; 0 the text below appended
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("failure");

        QTest::newRow("other format version")
            << 1 << QByteArray("quillmarsh-image 2\n") << "malformed line 1:";
        QTest::newRow("carriage return")
            << 1 << QByteArray("quillmarsh-image 1\r\n") << "malformed line 1:";
        QTest::newRow("lines out of order")
            << 2 << QByteArray("size 229376\n") << "malformed line 2:";
        QTest::newRow("empty file name") << 2 << QByteArray("file \n") << "malformed line 2:";
        QTest::newRow("size with sign") << 3 << QByteArray("size +229376\n") << "malformed line 3:";
        QTest::newRow("size negative") << 3 << QByteArray("size -1\n") << "malformed line 3:";
        QTest::newRow("size leading zero")
            << 3 << QByteArray("size 0229376\n") << "malformed line 3:";
        QTest::newRow("size two spaces")
            << 3 << QByteArray("size  229376\n") << "malformed line 3:";
        QTest::newRow("size overflows")
            << 3 << QByteArray("size 99999999999999999999\n") << "malformed line 3:";
        QTest::newRow("size zero is well-formed") << 3 << QByteArray("size 0\n") << "bad signature";
        QTest::newRow("sha256 upper case")
            << 4 << QByteArray("sha256 {HEX}\n") << "malformed line 4:";
        QTest::newRow("sha256 short") << 4 << QByteArray("sha256 {hex63}\n") << "malformed line 4:";
        QTest::newRow("signature of 63 bytes")
            << 5 << QByteArray("signature {b64short}\n") << "malformed line 5:";
        QTest::newRow("signature not base64")
            << 5 << QByteArray("signature !{b64}\n") << "malformed line 5:";
        QTest::newRow("signature without padding")
            << 5 << QByteArray("signature {b64nopad}\n") << "malformed line 5:";
        QTest::newRow("no final line feed")
            << 5 << QByteArray("signature {b64}") << "malformed line 5:";
        QTest::newRow("signature line missing") << 5 << QByteArray() << "malformed line 5:";
        QTest::newRow("a sixth line") << 0 << QByteArray("comment x\n") << "malformed line 6:";
        QTest::newRow("a blank sixth line") << 0 << QByteArray("\n") << "malformed line 6:";
        QTest::newRow("bytes after the last line") << 0 << QByteArray("x") << "malformed line 6:";
    }
    void malformed()
    {
        QFETCH(int, line);
        QFETCH(QByteArray, text);
        QFETCH(QString, failure);

        QList<QByteArray> lines = m_sig.split('\n');
        const QByteArray hex = lines[3].mid(7);
        const QByteArray b64 = lines[4].mid(10);
        const QByteArray raw = QByteArray::fromBase64(b64);
        text.replace("{HEX}", hex.toUpper())
            .replace("{b64short}", raw.left(63).toBase64())
            .replace("{b64nopad}", b64.left(86))
            .replace("{hex63}", hex.left(63))
            .replace("{hex}", hex)
            .replace("{b64}", b64);
        QByteArray sigText;
        for (int i = 0; i < 5; ++i)
            sigText += i + 1 == line ? text : lines[i] + '\n';
        if (line == 0)
            sigText += text;

        QString error;
        QVERIFY(!readImageSignature(sigText, m_key.publicBase64, &error));
        QVERIFY2(error.startsWith(failure), qPrintable(error));
    }

    void badPublicKey_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("31 bytes") << QByteArray(31, 'k').toBase64();
        QTest::newRow("33 bytes") << QByteArray(33, 'k').toBase64();
        QTest::newRow("not base64") << QByteArray("not a key at all!");
    }
    void badPublicKey()
    {
        QFETCH(QByteArray, key);
        QString error;
        QVERIFY(!readImageSignature(m_sig, key, &error));
        QCOMPARE(error, QString("bad public key"));
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
