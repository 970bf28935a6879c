#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

// Release signing: made by the vendor, never linked into the installer, which only reads .sig
// files (download/imagesignature.h).

struct FileDigest
{
    QByteArray sha256; // 32 raw bytes
    qint64 size = 0;
};

// SHA-256 and length of a file, read in pieces so that a large image never sits in memory.
std::optional<FileDigest> fileSha256(const QString &path, QString *error);

// facts (the lines before the signature, each with its \n) followed by their signature line,
// signed with the Ed25519 private key in the PEM file at privateKeyPem.
std::optional<QByteArray> signFacts(const QString &privateKeyPem, const QByteArray &facts,
                                    QString *error);

// The whole .sig text for the file at imagePath as the given version, expiring at expires
// (invalid: never), signed with the Ed25519 private key in the PEM file at privateKeyPem (as
// made by `openssl genpkey -algorithm ed25519`). The text is read back with the installer's own
// reader before it is returned, so nothing is signed that an installer would refuse.
std::optional<QByteArray> signImageFile(const QString &privateKeyPem, const QString &imagePath,
                                        qint64 version, const QDateTime &expires, QString *error);
