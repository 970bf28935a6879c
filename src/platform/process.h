#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QStringList>

#include <optional>

namespace platform {

// How one program run ended: status is the exit status, 128 + the signal number for a child
// killed by a signal, or -1 when it could not be started (spawnError says why).
struct ProgramRun
{
    int status = -1;
    int spawnError = 0;
    bool timedOut = false; // still running at the deadline: killed
};

// posix_spawn, not QProcess: under ThreadSanitizer (GCC 12) a QProcess start on a worker thread
// ends the process with "starting new threads after multi-threaded fork is not supported".
//
// Runs one program with an argument vector (no shell, no splitting, no PATH search) and waits for
// it to end. Standard input is the descriptor input when one is given (>= 0), else inherited; the
// environment and working directory are inherited. Standard output and standard error are read
// alongside each other, so a child that writes much to either never stalls, and appended to
// *output and *errorOutput when given. A program still running at its deadline is killed.
ProgramRun runProgram(const QString &launchPath, const QStringList &arguments,
                      QByteArray *output = nullptr, QByteArray *errorOutput = nullptr,
                      QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever),
                      int input = -1);

// Strict UTF-8 decoding: nullopt when the bytes are not valid UTF-8.
std::optional<QString> decodeUtf8(const QByteArray &bytes);

// Unmounts a FUSE mount with fusermount (a path), lazily when a plain unmount is refused; each
// try ends at deadline. True when one of them succeeded.
bool detachFuseMount(const QString &fusermount, const QString &mountPoint, QDeadlineTimer deadline);

} // namespace platform
