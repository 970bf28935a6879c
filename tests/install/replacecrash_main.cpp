// qm-replace-crash SOURCE DEST STEP N
// Installs a copy of SOURCE at DEST the way the installer does, and kills itself (SIGKILL) at
// the Nth checkpoint named STEP; a STEP of "aside" swaps without an atomic exchange.
#include "install/filetree.h"

#include <QString>

#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {
const char *g_step = nullptr;
int g_remaining = 0;
} // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    g_step = argv[3];
    g_remaining = std::atoi(argv[4]);
    install::setCheckpoint([](const char *step) {
        if (std::strcmp(step, g_step) == 0 && --g_remaining == 0)
            std::raise(SIGKILL);
    });
    install::setExchangeAvailable(std::strcmp(g_step, "aside") != 0);
    install::replaceWithCopy(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    return 0; // never killed
}
