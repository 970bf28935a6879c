#pragma once

// What the tests share: shell snippets, files and trees, the setup log, digests, mount
// namespaces. The shell scripts' counterpart is testlib.sh beside this file.
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testsupport {

// Run alone or under CTest, every test program starts alike: headless, in a home of its own
// made afresh (its cache, state and runtime folders inside), away from the desktop's session
// bus; and a crash ends it at once rather than after a debugger's stack dump. testmain.h calls
// it before the application object exists.
void prepareTestProcess();

// testlib.sh, for a snippet to source: shell(". \"$1\"; qm_free_port", {kTestLib}).
extern const QString kTestLib;

// What /bin/sh -c script prints to standard output, with $1, $2, ... set to args; its standard
// error is dropped. Alone in a private mount namespace when ownMounts. Started with posix_spawn,
// which ThreadSanitizer follows where it does not follow QProcess.
QString shell(const QString &script, const QStringList &args = {}, bool ownMounts = false);
// The same script's exit status; -1 when it could not run, was killed or ran over a minute.
int shellStatus(const QString &script, const QStringList &args = {});

// Writes the whole file, its folders made first.
bool writeFile(const QString &path, const QByteArray &bytes);
// The file's bytes from offset from; empty when it cannot be read.
QByteArray readFile(const QString &path, qint64 from = 0);
QString readText(const QString &path, qint64 from = 0);
// Every name in the folder, hidden ones too, sorted, separated by spaces.
QString entries(const QString &dir);
// One sorted line per entry below root: path, kind, mode, link count and target, whole-second
// modification time, SHA-256 of the content; "absent" when there is no such folder.
QString describeTree(const QString &root);
// The file's SHA-256 in hex; empty when it cannot be read.
QByteArray sha256Of(const QString &path);

// This process's setup log from offset from, with what is queued for it written first.
QString logText(qint64 from = 0);
// The setup log's size now: where logText() of what follows starts.
qint64 logSize();

// The calling thread in a mount namespace of its own, nothing propagated back: mounts made
// from here on are seen only by it and what it starts. False without CAP_SYS_ADMIN.
bool privateMounts();
quint16 freeLoopbackPort();

} // namespace testsupport
