#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The facts a release signs about one disk image, published beside it as "<image URL>.sig":
//
//   quillmarsh-image 1
//   file quillmarsh.dmg
//   size 229376
//   sha256 <64 lower-case hex digits>
//   signature <base64 of the Ed25519 signature over the four lines above, each with its \n>
//
// Everything here is a pure function of its arguments (and, for the file helpers, of the files
// named), safe to call from any thread.
struct ImageSignature
{
    QString file;
    qint64 size = 0;
    QByteArray sha256; // 32 raw bytes
};

// The key built into this program (base64 of the raw 32-byte Ed25519 public key); empty when
// the build has none, and then images are installed unchecked.
QByteArray imagePublicKey();

// Checks the text of a .sig file against the base64 public key and returns the signed facts.
// On failure nullopt, and *error says which check failed: "malformed line N: ...",
// "bad public key" or "bad signature".
std::optional<ImageSignature> readImageSignature(const QByteArray &sigText,
                                                 const QByteArray &publicKeyBase64, QString *error);

// Empty when the downloaded file matches the signed facts; otherwise which check failed
// ("file name ...", "size ...", "sha256 ..."). fileName is the image's own name, the last
// segment of its URL, not the name it was saved under.
QString checkImage(const ImageSignature &sig, const QString &fileName, qint64 size,
                   const QByteArray &sha256);

struct FileDigest
{
    QByteArray sha256; // 32 raw bytes
    qint64 size = 0;
};

// SHA-256 and length of a file, read in pieces so that a large image never sits in memory.
std::optional<FileDigest> fileSha256(const QString &path, QString *error);

// The whole .sig text for the file at imagePath, signed with the Ed25519 private key in the
// PEM file at privateKeyPem (as made by `openssl genpkey -algorithm ed25519`).
std::optional<QByteArray> signImageFile(const QString &privateKeyPem, const QString &imagePath,
                                        QString *error);
