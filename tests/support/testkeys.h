#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

namespace testsupport {

// A new Ed25519 key in pem (made by the openssl tool, as a release would); returns the base64 raw
// public key, the last 32 bytes of its DER form, or nothing when the tool failed.
inline QByteArray makeEd25519Key(const QString &pem)
{
    if (QProcess::execute("openssl", {"genpkey", "-algorithm", "ed25519", "-out", pem}) != 0)
        return {};
    QProcess pub;
    pub.start("openssl", {"pkey", "-in", pem, "-pubout", "-outform", "DER"});
    return pub.waitForFinished() ? pub.readAllStandardOutput().right(32).toBase64() : QByteArray();
}

} // namespace testsupport
