// .sig files made by the signing code, read back against altered images, foreign keys and
// damaged lines, and a release's version floor and expiry.
#include "download/imagesignature.h"
#include "testsupport.h"
#include "tools/signing.h"

#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

using namespace download;
using VerifyRow = std::tuple<QString, int, int, qint64, qint64, QString>;
Q_DECLARE_METATYPE(VerifyRow)

class TestSignature : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QByteArray m_publicKey, m_image;
    QHash<QString, QByteArray> m_sigs; // own (version 5, kExpires), otherKey, otherImage, format 1
    const QDateTime kExpires = QDateTime(QDate(2027, 1, 31), QTime(0, 0), Qt::UTC);

private slots:
    void initTestCase()
    {
        const QString key = m_dir.filePath("key.pem"), image = m_dir.filePath("quillmarsh.dmg"),
                      other = m_dir.filePath("quillmarsh.silicon.dmg");
        m_image = QByteArray(229376, 'q');
        QVERIFY(testsupport::writeFile(image, m_image) && testsupport::writeFile(other, m_image));
        QByteArrayList own, foreign;
        m_publicKey = testsupport::signImages(key, {{image, 5}, {other, 5}}, &own, kExpires);
        const QByteArray otherKey =
            testsupport::signImages(m_dir.filePath("other.pem"), {{image, 5}}, &foreign, kExpires);
        QVERIFY(!m_publicKey.isEmpty() && !otherKey.isEmpty());
        m_sigs = {{"own", own[0]}, {"otherImage", own[1]}, {"otherKey", foreign[0]}};
        QString error;
        const QByteArray facts = own[0].left(own[0].indexOf("version"));
        m_sigs["format 1"] =
            signFacts(key, facts.sliced(18).prepend("quillmarsh-image 1"), &error).value_or("");
        QVERIFY2(!m_sigs["format 1"].isEmpty(), qPrintable(error));
    }

    // quillmarsh.dmg as downloaded against a .sig, then the release's floor and expiry (a day of
    // grace; format 1 is version 0). The .sig, the byte flipped (-1: none), the bytes cut off,
    // the floor, the seconds after the expiry, the failure's start (empty: may be installed).
    void verify_data()
    {
        QTest::addColumn<VerifyRow>("row");
        const QString older = "image version %1 is older than the oldest allowed, %2";
        // clang-format off
        QTest::newRow("good") << VerifyRow{"own", -1, 0, 0LL, 0LL, ""};
        QTest::newRow("first byte flipped") << VerifyRow{"own", 0, 0, 0LL, 0LL, "sha256 is "};
        QTest::newRow("truncated") << VerifyRow{"own", -1, 4096, 0LL, 0LL, "size is 225280 bytes"};
        QTest::newRow("another key") << VerifyRow{"otherKey", -1, 0, 0LL, 0LL, "bad signature"};
        QTest::newRow("other image's .sig") << VerifyRow{"otherImage", -1, 0, 0LL, 0LL, "file name is"};
        QTest::newRow("at the floor") << VerifyRow{"own", -1, 0, 5LL, 0LL, ""};
        QTest::newRow("below the floor") << VerifyRow{"own", -1, 0, 6LL, 0LL, older.arg(5).arg(6)};
        QTest::newRow("format 1, floor 0") << VerifyRow{"format 1", -1, 0, 0LL, 9999999LL, ""};
        QTest::newRow("format 1, floor 1") << VerifyRow{"format 1", -1, 0, 1LL, 0LL, older.arg(0).arg(1)};
        QTest::newRow("a day late") << VerifyRow{"own", -1, 0, 0LL, 86400LL, ""};
        QTest::newRow("expired") << VerifyRow{"own", -1, 0, 0LL, 86401LL, "signature expired at 2027-01-31T00:00:00Z"};
        QTest::newRow("bad public key") << VerifyRow{"own", -1, 0, 0LL, 0LL, "bad public key"};
        // clang-format on
        // The good .sig with line N replaced by text (0: text appended); {HEX} and {b64} stand
        // for its own hash and signature.
        const QList<QByteArray> lines = m_sigs["own"].split('\n');
        const QByteArray hex = lines[3].mid(7), b64 = lines[6].mid(10);
        const auto edited = [&](const char *name, int line, QByteArray text, const char *failure) {
            text.replace("{HEX}", hex.toUpper())
                .replace("{b64of63}", QByteArray::fromBase64(b64).left(63).toBase64())
                .replace("{b64nopad}", b64.left(86))
                .replace("{b64}", b64);
            QByteArray &sig = m_sigs[name];
            for (int i = 0; i < 7; ++i)
                sig += i + 1 == line ? text : lines[i] + '\n';
            sig += line == 0 ? text : QByteArray();
            QTest::newRow(name) << VerifyRow{name, -1, 0, 0LL, 0LL, failure};
        };
        // clang-format off
        edited("format 3", 1, "quillmarsh-image 3\n", "malformed line 1");
        edited("CRLF", 1, "quillmarsh-image 2\r\n", "malformed line 1");
        edited("out of order", 2, "size 229376\n", "malformed line 2");
        edited("no file name", 2, "file \n", "malformed line 2");
        edited("size +", 3, "size +229376\n", "malformed line 3");
        edited("size overflow", 3, "size 99999999999999999999\n", "malformed line 3");
        edited("size 0 is well-formed", 3, "size 0\n", "bad signature");
        edited("sha256 upper", 4, "sha256 {HEX}\n", "malformed line 4");
        edited("version -1", 5, "version -1\n", "malformed line 5");
        edited("expires, local time", 6, "expires 2027-01-31T00:00:00\n", "malformed line 6");
        edited("no expires is well-formed", 6, "", "bad signature");
        edited("63-byte signature", 7, "signature {b64of63}\n", "malformed line 7");
        edited("no padding", 7, "signature {b64nopad}\n", "malformed line 7");
        edited("not base64", 7, "signature !{b64}\n", "malformed line 7");
        edited("no final LF", 7, "signature {b64}", "malformed line 7");
        edited("bytes after", 0, "x", "malformed line 8");
        // clang-format on
    }
    void verify()
    {
        QFETCH(VerifyRow, row);
        const auto &[sig, flipAt, cut, floor, secondsAfterExpiry, failure] = row;
        QByteArray bytes = m_image;
        if (flipAt >= 0)
            bytes[flipAt] = char(bytes[flipAt] ^ 1);
        bytes.chop(cut);
        const QByteArray key = failure == "bad public key" ? m_publicKey.left(40) : m_publicKey;
        QString outcome;
        if (const auto facts = readImageSignature(m_sigs[sig], key, &outcome)) {
            outcome = checkImage(*facts, "quillmarsh.dmg", bytes.size(),
                                 QCryptographicHash::hash(bytes, QCryptographicHash::Sha256));
            if (outcome.isEmpty())
                outcome = checkRelease(*facts, floor, kExpires.addSecs(secondsAfterExpiry));
        }
        QVERIFY2(failure.isEmpty() ? outcome.isEmpty() : outcome.startsWith(failure),
                 qPrintable(outcome));
    }

    // --lifetime counts days from the second it signs.
    void toolLifetime()
    {
        int status = -1;
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const QString sig =
            testsupport::shell("\"$1\" --version 5 --lifetime 30 \"$2\" \"$3\"",
                               {QM_BINARY_DIR "/bin/quillmarsh-sign-image",
                                m_dir.filePath("key.pem"), m_dir.filePath("quillmarsh.dmg")},
                               &status);
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        QString error;
        const auto facts = readImageSignature(sig.toUtf8(), m_publicKey, &error);
        QVERIFY2(status == 0 && facts, qPrintable(error));
        const qint64 signedAt = facts->expires.addDays(-30).toSecsSinceEpoch();
        QVERIFY2(before <= signedAt && signedAt <= after, qPrintable(QString::number(signedAt)));
    }
};

QTEST_GUILESS_MAIN(TestSignature)
#include "tst_signature.moc"
