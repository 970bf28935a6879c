#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace download {

// The facts a release signs about one disk image, published beside it as "<image URL>.sig":
//
//   quillmarsh-image 2
//   file quillmarsh.dmg
//   size 229376
//   sha256 <64 lower-case hex digits>
//   version 7
//   expires 2027-01-31T00:00:00Z      (optional)
//   signature <base64 of the Ed25519 signature over the lines above, each with its \n>
//
// The version, raised with every release, and the expiry keep an attacker from serving an older,
// validly signed image. Format 1 is the same without those two lines and still reads, as
// version 0: it passes only while the built-in floor is 0, so raising the floor retires it too.
//
// Everything here is a pure function of its arguments (and, for the file helpers, of the files
// named), safe to call from any thread.
struct ImageSignature
{
    QString file;
    qint64 size = 0;
    QByteArray sha256; // 32 raw bytes
    qint64 version = 0;
    QDateTime expires; // UTC; invalid: never
};

// A real .sig is a few hundred bytes; anything larger is not one, and is not even downloaded.
constexpr qint64 kMaxImageSignatureBytes = 4096;

// The oldest image version this build installs (QUILLMARSH_MIN_IMAGE_VERSION).
qint64 minImageVersion();

// The key built into this program (base64 of the raw 32-byte Ed25519 public key); empty when
// the build has none, and then images are installed unchecked.
QByteArray imagePublicKey();

// Checks the text of a .sig file against the base64 public key and returns the signed facts.
// On failure nullopt, and *error says which check failed: "malformed line N: ...",
// "bad public key" or "bad signature".
std::optional<ImageSignature> readImageSignature(const QByteArray &sigText,
                                                 const QByteArray &publicKeyBase64, QString *error);

// Empty when the signed release may be installed at now: its version is not below minVersion
// and it expired no more than a day ago (a day of grace for a wrong clock). Otherwise why not.
QString checkRelease(const ImageSignature &sig, qint64 minVersion, const QDateTime &now);

// Empty when the downloaded file matches the signed facts; otherwise which check failed
// ("file name ...", "size ...", "sha256 ..."). fileName is the image's own name, the last
// segment of its URL, not the name it was saved under.
QString checkImage(const ImageSignature &sig, const QString &fileName, qint64 size,
                   const QByteArray &sha256);

} // namespace download
