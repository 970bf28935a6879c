#pragma once

namespace download {

// Why a transfer ended before any HTTP status, in the classes a person can act on. The setup
// log keeps the HTTP library's own code and text; the window shows a text for the class.
enum class TransportFailure {
    None, // no transport failure: the server answered (or the transfer succeeded)
    HostNotFound,
    NoConnection,
    TimedOut,
    ConnectionLost,
    CertificateUntrusted,
    CertificateExpired, // or not yet valid: most often a wrong clock
    CertificateWrongHost,
    ProxyAuthRequired, // the proxy asks for a password it was not given, or refuses the one given
    ProxyFailed,       // the proxy could not be reached, or could not reach the server
    Other,
};

// The class of a libcurl result code; sslVerifyResult is CURLINFO_SSL_VERIFYRESULT (an
// OpenSSL X509_V_* code), which tells the certificate failures apart. proxyStatus is the
// proxy's own HTTP answer (to CONNECT, or its 407), 0 when none; viaProxy whether the request
// went through one.
TransportFailure classifyTransportFailure(long curlCode, long sslVerifyResult, long proxyStatus = 0,
                                          bool viaProxy = false);

inline bool isProxyFailure(TransportFailure f)
{
    return f == TransportFailure::ProxyAuthRequired || f == TransportFailure::ProxyFailed;
}

} // namespace download
