#include "castore.h"

#include <sys/stat.h>

#include <cstdlib>

namespace platform {

namespace {

// Debian, Ubuntu and Arch; Fedora and RHEL (two layouts); openSUSE; Alpine.
constexpr const char *kBundles[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/ca-bundle.pem",
    "/etc/ssl/cert.pem",
};

bool hasType(const QByteArray &path, mode_t type)
{
    struct stat st
    {
    };
    return ::stat(path.constData(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

} // namespace

CaStore findCaStore(const std::function<QByteArray(const char *)> &env,
                    const std::function<bool(const QByteArray &)> &isFile,
                    const std::function<bool(const QByteArray &)> &isDir)
{
    CaStore store;
    if (const QByteArray file = env("SSL_CERT_FILE"); !file.isEmpty() && isFile(file))
        store.file = file;
    if (const QByteArray dir = env("SSL_CERT_DIR"); !dir.isEmpty() && isDir(dir))
        store.dir = dir;
    if (store.file.isEmpty()) {
        for (const char *bundle : kBundles) {
            if (isFile(bundle)) {
                store.file = bundle;
                break;
            }
        }
    }
    return store;
}

const CaStore &systemCaStore()
{
    static const CaStore store =
        findCaStore([](const char *name) { return QByteArray(std::getenv(name)); },
                    [](const QByteArray &path) { return hasType(path, S_IFREG); },
                    [](const QByteArray &path) { return hasType(path, S_IFDIR); });
    return store;
}

} // namespace platform
