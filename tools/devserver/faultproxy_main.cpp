// qm-faultproxy TARGET_PORT [CUT_BYTES]: relays 127.0.0.1:<printed port> to TARGET_PORT, cutting
// the first connection after CUT_BYTES bytes to the client. Prints its port, then runs until
// killed. For the benchmark scripts.
#include "tcpfaultproxy.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s TARGET_PORT [CUT_BYTES]\n", argv[0]);
        return 2;
    }
    testsupport::TcpFaultProxy proxy(quint16(std::atoi(argv[1])));
    if (!proxy.isListening())
        return 1;
    if (argc > 2)
        proxy.cutNextAfter(std::atoll(argv[2]));
    std::printf("%d\n", proxy.port());
    std::fflush(stdout);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sig = 0;
    sigwait(&set, &sig);
    std::fprintf(stderr, "bytes to client: %lld\n", static_cast<long long>(proxy.bytesToClient()));
    return 0;
}
