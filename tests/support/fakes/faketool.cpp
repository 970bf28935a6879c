// Stand-in for a system tool that cannot run here (hdiutil, osascript, pkexec, xattr). Each
// call is numbered from 1 and recorded in $QM_FAKE_DIR/<tool>.<n>.args, every argument
// followed by a NUL byte. The reply is read from files of the same call number, or from the
// same names without a number for every call:
//   <tool>[.<n>].out, .err   copied to standard output, standard error
//   <tool>[.<n>].rc          exit status (default 0)
//   <tool>[.<n>].pre         a shell command line run first (e.g. to lift a test's lock)
//   <tool>[.<n>].exec        present: run the arguments as a command and exit with its status
//                            (as root, when the fake is installed set-user-id root)
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string g_base;

bool slurp(const std::string &path, std::string *text)
{
    std::ifstream in(path, std::ios::binary);
    if (in)
        text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.is_open();
}

// The numbered file of this call, else the general one.
bool reply(int call, const char *suffix, std::string *text)
{
    return slurp(g_base + "." + std::to_string(call) + suffix, text) ||
           slurp(g_base + suffix, text);
}

} // namespace

int main(int argc, char **argv)
{
    const char *dir = std::getenv("QM_FAKE_DIR");
    if (!dir)
        return 99;
    g_base = std::string(dir) + "/" + FAKE_TOOL_NAME;

    int call = 1, fd = -1;
    for (; call < 1000; ++call) {
        fd = ::open((g_base + "." + std::to_string(call) + ".args").c_str(),
                    O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0 || errno != EEXIST)
            break;
    }
    if (fd < 0)
        return 98;
    for (int i = 1; i < argc; ++i)
        if (::write(fd, argv[i], std::char_traits<char>::length(argv[i]) + 1) < 0)
            return 97;
    ::close(fd);

    std::string text;
    if (reply(call, ".pre", &text) && std::system(text.c_str()) != 0)
        return 96;
    if (reply(call, ".exec", &text) && argc > 1) {
        // Installed set-user-id root, it stands in for an accepted prompt: the command runs as
        // root through and through.
        if (::geteuid() == 0 && (::setgid(0) != 0 || ::setuid(0) != 0))
            return 95;
        ::execv(argv[1], argv + 1);
        return 127;
    }
    if (reply(call, ".out", &text))
        std::fwrite(text.data(), 1, text.size(), stdout);
    if (reply(call, ".err", &text))
        std::fwrite(text.data(), 1, text.size(), stderr);
    return reply(call, ".rc", &text) ? std::atoi(text.c_str()) : 0;
}
