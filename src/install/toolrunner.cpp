#include "toolrunner.h"

#include "diag/itlog.h"
#include "platform/process.h"

namespace install {

int runTool(const QString &launchPath, const QStringList &arguments, std::optional<QString> *output,
            std::optional<QString> *errorOutput, QDeadlineTimer deadline, int input)
{
    QByteArray outBytes;
    QByteArray errBytes;
    const platform::ProgramRun run =
        platform::runProgram(launchPath, arguments, output ? &outBytes : nullptr,
                             errorOutput ? &errBytes : nullptr, deadline, input);
    if (run.spawnError != 0) {
        ITLog("INST: failed to launch %@: %@", launchPath, qt_error_string(run.spawnError));
        return -1;
    }
    if (run.timedOut)
        ITLog("INST: %@ did not finish in time, stopped", launchPath);
    if (output)
        *output = platform::decodeUtf8(outBytes);
    if (errorOutput)
        *errorOutput = platform::decodeUtf8(errBytes);
    return run.status;
}

} // namespace install
