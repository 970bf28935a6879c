// qm-replace-crash SOURCE DEST [STEP N]
// Removes the staging folders killed installs left beside DEST, then (unless SOURCE is "-")
// installs a copy of SOURCE at DEST the way the installer does. With STEP and N the process kills
// itself (SIGKILL) at the Nth checkpoint named STEP; a STEP of "aside" swaps without an atomic
// exchange. Prints "ok" or the failure; exits 0 only on success.
#include "install/filetree.h"

#include <QFileInfo>
#include <QString>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *g_step = nullptr;
int g_remaining = 0;

void killAt(const char *step)
{
    if (g_step && std::strcmp(step, g_step) == 0 && --g_remaining == 0)
        std::raise(SIGKILL);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 5) {
        std::fprintf(stderr, "usage: qm-replace-crash SOURCE DEST [STEP N]\n");
        return 2;
    }
    if (argc == 5) {
        g_step = argv[3];
        g_remaining = std::atoi(argv[4]);
        install::setCheckpoint(killAt);
        install::setExchangeAvailable(std::strcmp(g_step, "aside") != 0);
    }
    const QString dest = QString::fromLocal8Bit(argv[2]);
    install::removeStaleStaging(QFileInfo(dest).path(), QFileInfo(dest).fileName());
    if (std::strcmp(argv[1], "-") == 0)
        return 0;
    const QString error = install::replaceWithCopy(QString::fromLocal8Bit(argv[1]), dest);
    std::printf("%s\n", error.isEmpty() ? "ok" : qPrintable(error));
    return error.isEmpty() ? 0 : 1;
}
