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
    Other,
};

// The class of a libcurl result code; sslVerifyResult is CURLINFO_SSL_VERIFYRESULT (an
// OpenSSL X509_V_* code), which tells the certificate failures apart.
TransportFailure classifyTransportFailure(long curlCode, long sslVerifyResult);

} // namespace download
