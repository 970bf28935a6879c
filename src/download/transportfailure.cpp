#include "transportfailure.h"

#include <curl/curl.h>
#include <openssl/x509_vfy.h>

namespace download {

TransportFailure classifyTransportFailure(long curlCode, long sslVerifyResult, long proxyStatus,
                                          bool viaProxy)
{
    const auto code = static_cast<CURLcode>(curlCode);
    if (code == CURLE_OK)
        return TransportFailure::None;
    if (viaProxy) {
        // A CONNECT answered 401 can only be the proxy's, refusing the password it was given.
        if (proxyStatus == 407 || proxyStatus == 401)
            return TransportFailure::ProxyAuthRequired;
        // Past the proxy, the failure is the server's own; before, the proxy's.
        if (proxyStatus >= 300 || code == CURLE_COULDNT_CONNECT || code == CURLE_PROXY ||
            code == CURLE_COULDNT_RESOLVE_PROXY)
            return TransportFailure::ProxyFailed;
    }
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
        return TransportFailure::ProxyFailed;
    case CURLE_COULDNT_RESOLVE_HOST:
        return TransportFailure::HostNotFound;
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
        return TransportFailure::NoConnection;
    case CURLE_OPERATION_TIMEDOUT:
        return TransportFailure::TimedOut;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return TransportFailure::ConnectionLost;
    case CURLE_PEER_FAILED_VERIFICATION:
        if (sslVerifyResult == X509_V_ERR_CERT_HAS_EXPIRED ||
            sslVerifyResult == X509_V_ERR_CERT_NOT_YET_VALID)
            return TransportFailure::CertificateExpired;
        // libcurl checks the name itself once OpenSSL found the chain good, and then reports
        // "unspecified" (seen with libcurl 7.88 and OpenSSL 3.0).
        if (sslVerifyResult == X509_V_ERR_HOSTNAME_MISMATCH || sslVerifyResult == X509_V_OK ||
            sslVerifyResult == X509_V_ERR_UNSPECIFIED)
            return TransportFailure::CertificateWrongHost;
        return TransportFailure::CertificateUntrusted;
    case CURLE_SSL_CACERT_BADFILE:
        return TransportFailure::CertificateUntrusted;
    default:
        return TransportFailure::Other;
    }
}

} // namespace download
