#pragma once

#include <QDeadlineTimer>
#include <QStringList>

#include "platform/process.h"

#include <optional>

namespace install {

// Runs one program (platform::runProgram) with an argument vector (no shell, no splitting) and
// waits for it to end. Standard input is the descriptor input when one is given (>= 0), else
// inherited; the environment and working directory are inherited. Standard output is captured into
// *output when given; standard error is always read alongside it, so a child that writes much to
// either stream never stalls, and is handed back in *errorOutput when given. Text is decoded as
// UTF-8; bytes that are not valid UTF-8 give nullopt.
//
// Returns the exit status, 128 + the signal number for a child killed by a signal, or -1
// when the program cannot be started; then "INST: failed to launch ..." is logged and the
// output places are left untouched. A program still running at its deadline is killed (and
// logged); what it wrote until then is handed back. Only a program waiting for the user, such
// as an authorization prompt, goes without one.
int runTool(const QString &launchPath, const QStringList &arguments,
            std::optional<QString> *output = nullptr, std::optional<QString> *errorOutput = nullptr,
            QDeadlineTimer deadline = QDeadlineTimer(QDeadlineTimer::Forever), int input = -1);

using platform::decodeUtf8;

} // namespace install
