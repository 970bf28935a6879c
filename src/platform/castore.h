#pragma once

#include <QByteArray>

#include <functional>

namespace platform {

// Where the system keeps its trusted certificates. The libcurl this program is built with
// knows only the path of the distribution it was built on; the same file has to trust the
// system's certificates on other distributions too.
struct CaStore
{
    QByteArray file; // a PEM bundle; empty: libcurl's built-in default
    QByteArray dir;  // a hashed folder; empty: libcurl's built-in default
};

// SSL_CERT_FILE and SSL_CERT_DIR win when they name something that exists (the convention
// OpenSSL's own tools follow); the bundle otherwise is the first of the known layouts that
// exists. libcurl fails a transfer whose bundle is missing, so one is always named if any is
// there, also beside a folder.
CaStore findCaStore(const std::function<QByteArray(const char *)> &env,
                    const std::function<bool(const QByteArray &)> &isFile,
                    const std::function<bool(const QByteArray &)> &isDir);

// The store of this machine, looked up once; first called in main, before any transfer.
const CaStore &systemCaStore();

} // namespace platform
