#pragma once

// What the tests share: shell snippets, files and trees, the setup log, digests, mount
// namespaces. The shell scripts' counterpart, testlib.sh, is beside this file.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace testsupport {

// Every test program starts alike, alone or under CTest (testprocess.cpp calls this before main),
// headless, in a fresh home of its own with its cache, state and runtime folders, off the session
// bus; a crash ends it at once, without a debugger's stack dump.
void prepareTestProcess();

extern const QString kTestLib; // testlib.sh, for shell(". \"$1\"; qm_free_port", {kTestLib})

// What /bin/sh -c script prints on standard output, $1, $2, ... set to args; its exit status
// in *status (-1: it did not run, was killed, or ran over a minute).
QString shell(const QString &script, const QStringList &args = {}, int *status = nullptr);

bool writeFile(const QString &path, const QByteArray &bytes); // its folders made first
QByteArray readFile(const QString &path, qint64 from = 0);    // empty when unreadable
QString readText(const QString &path, qint64 from = 0);
QByteArray sha256Of(const QString &path); // hex; empty when unreadable
// The folder's names, hidden ones too, sorted, separated by spaces.
QString entries(const QString &dir);
// A sorted line per entry below root: path, kind, mode, link count and target, whole-second
// modification time, SHA-256; "absent" when there is no such folder.
QString describeTree(const QString &root);

// This process's setup log from byte from on, what is queued for it written first; logSize()
// is where what follows starts.
QString logText(qint64 from = 0);
qint64 logSize();

// A new Ed25519 key in pem, made with the openssl tool as a release's is; the base64 of its raw
// public key, empty when the tool failed.
QByteArray makeEd25519Key(const QString &pem);
// Images signed as a release's are: each as the version given, expiring at expires when valid,
// with the key in pem (made first when missing), its .sig written beside it. The key's public
// half, as makeEd25519Key gives it, empty when any of it failed; the .sig texts in sigs.
QByteArray signImages(const QString &pem, const QList<std::pair<QString, qint64>> &images,
                      QByteArrayList *sigs = nullptr, const QDateTime &expires = {});

// The calling thread in a mount namespace of its own, nothing propagated back (CAP_SYS_ADMIN).
bool privateMounts();
quint16 freeLoopbackPort();

} // namespace testsupport
