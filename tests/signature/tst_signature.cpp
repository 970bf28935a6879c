// Signed images: .sig files made by the signing code, read back against altered images,
// foreign keys and damaged lines. The keys come from `openssl genpkey`.
#include "testkeys.h"
#include "download/imagesignature.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_publicKey, m_image;
    QHash<QString, QByteArray> m_sigs; // own, otherKey, otherImage

    static bool write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    static QByteArray randomImage()
    {
        QByteArray bytes(229376, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                              bytes.size() / 4);
        return bytes;
    }

private slots:
    void initTestCase()
    {
        const QString key = m_dir.filePath("key.pem"), otherKey = m_dir.filePath("other.pem");
        m_publicKey = testsupport::makeEd25519Key(key);
        QVERIFY(!m_publicKey.isEmpty() && !testsupport::makeEd25519Key(otherKey).isEmpty());
        m_image = randomImage();
        QVERIFY(write(m_dir.filePath("quillmarsh.dmg"), m_image));
        QVERIFY(write(m_dir.filePath("quillmarsh.silicon.dmg"), randomImage()));
        QString error;
        for (const auto &[name, pem, image] : {std::tuple{"own", key, "quillmarsh.dmg"},
                                               {"otherKey", otherKey, "quillmarsh.dmg"},
                                               {"otherImage", key, "quillmarsh.silicon.dmg"}})
            m_sigs[name] = signImageFile(pem, m_dir.filePath(image), &error).value_or("");
        QVERIFY2(!m_sigs.values().contains(QByteArray()), qPrintable(error));
    }

    // quillmarsh.dmg as downloaded (altered as the row says) against a .sig.
    void downloadedImage_data()
    {
        QTest::addColumn<QString>("sig");
        QTest::addColumn<int>("flipAt"); // -1: no byte changed
        QTest::addColumn<int>("cut");
        QTest::addColumn<QString>("failure"); // empty: verified

        QTest::newRow("good") << "own" << -1 << 0 << "";
        QTest::newRow("first byte flipped") << "own" << 0 << 0 << "sha256 is ";
        QTest::newRow("truncated") << "own" << -1 << 4096 << "size is 225280 bytes";
        QTest::newRow("another key") << "otherKey" << -1 << 0 << "bad signature";
        QTest::newRow("other image's .sig") << "otherImage" << -1 << 0 << "file name is";
    }
    void downloadedImage()
    {
        QFETCH(QString, sig);
        QFETCH(int, flipAt);
        QFETCH(int, cut);
        QFETCH(QString, failure);
        QByteArray bytes = m_image;
        if (flipAt >= 0)
            bytes[flipAt] = char(bytes[flipAt] ^ 1);
        bytes.chop(cut);
        const QString path = m_dir.filePath("quillmarsh_setup.dmg");
        QVERIFY(write(path, bytes));
        QString error;
        const std::optional<FileDigest> digest = fileSha256(path, &error);
        QVERIFY2(digest && digest->size == bytes.size(), qPrintable(error));

        const auto facts = readImageSignature(m_sigs[sig], m_publicKey, &error);
        const QString outcome =
            facts ? checkImage(*facts, "quillmarsh.dmg", digest->size, digest->sha256) : error;
        QVERIFY2(failure.isEmpty() ? outcome.isEmpty() : outcome.startsWith(failure),
                 qPrintable(outcome));
    }

    // The good .sig with line N replaced by text (0: text appended); {hex} and {b64} stand for
    // its own hash and signature.
    void malformed_data()
    {
        QTest::addColumn<int>("line");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("failure");
        using B = QByteArray;

        QTest::newRow("version 2") << 1 << B("quillmarsh-image 2\n") << "malformed line 1";
        QTest::newRow("CRLF") << 1 << B("quillmarsh-image 1\r\n") << "malformed line 1";
        QTest::newRow("out of order") << 2 << B("size 229376\n") << "malformed line 2";
        QTest::newRow("no file name") << 2 << B("file \n") << "malformed line 2";
        QTest::newRow("size +") << 3 << B("size +229376\n") << "malformed line 3";
        QTest::newRow("size 0 lead") << 3 << B("size 0229376\n") << "malformed line 3";
        QTest::newRow("size overflow")
            << 3 << B("size 99999999999999999999\n") << "malformed line 3";
        QTest::newRow("size 0 is well-formed") << 3 << B("size 0\n") << "bad signature";
        QTest::newRow("sha256 upper") << 4 << B("sha256 {HEX}\n") << "malformed line 4";
        QTest::newRow("63-byte signature") << 5 << B("signature {b64of63}\n") << "malformed line 5";
        QTest::newRow("no padding") << 5 << B("signature {b64nopad}\n") << "malformed line 5";
        QTest::newRow("not base64") << 5 << B("signature !{b64}\n") << "malformed line 5";
        QTest::newRow("no final LF") << 5 << B("signature {b64}") << "malformed line 5";
        QTest::newRow("4 lines") << 5 << B() << "malformed line 5";
        QTest::newRow("6th line") << 0 << B("\n") << "malformed line 6";
        QTest::newRow("bytes after") << 0 << B("x") << "malformed line 6";
    }
    void malformed()
    {
        QFETCH(int, line);
        QFETCH(QByteArray, text);
        QFETCH(QString, failure);
        const QList<QByteArray> lines = m_sigs["own"].split('\n');
        const QByteArray hex = lines[3].mid(7), b64 = lines[4].mid(10);
        text.replace("{HEX}", hex.toUpper())
            .replace("{b64of63}", QByteArray::fromBase64(b64).left(63).toBase64())
            .replace("{b64nopad}", b64.left(86))
            .replace("{b64}", b64);
        QByteArray sigText;
        for (int i = 0; i < 5; ++i)
            sigText += i + 1 == line ? text : lines[i] + '\n';
        if (line == 0)
            sigText += text;
        QString error;
        QVERIFY(!readImageSignature(sigText, m_publicKey, &error));
        QVERIFY2(error.startsWith(failure), qPrintable(error));
    }

    void badPublicKey()
    {
        QString error;
        QVERIFY(!readImageSignature(m_sigs["own"], m_publicKey.left(40), &error));
        QCOMPARE(error, QString("bad public key"));
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
