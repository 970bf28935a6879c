#include "curlholder.h"

#include "castore.h"

namespace platform {

CurlRequest::CurlRequest() : m_handle(curl_easy_init())
{
    if (!m_handle)
        m_setCode = CURLE_FAILED_INIT;
    // libcurl's own description of a failure is often more exact than its code's text.
    set(CURLOPT_ERRORBUFFER, m_error);
    // Timeouts must not be raised by signals in a program with threads.
    set(CURLOPT_NOSIGNAL, 1L);
}

CurlRequest::~CurlRequest()
{
    if (m_handle)
        curl_easy_cleanup(m_handle);
    curl_slist_free_all(m_headers); // only once the handle that points at it is gone
}

bool CurlRequest::addHeader(const char *line)
{
    curl_slist *grown = m_setCode == CURLE_OK ? curl_slist_append(m_headers, line) : nullptr;
    if (!grown) {
        if (m_setCode == CURLE_OK)
            m_setCode = CURLE_OUT_OF_MEMORY;
        return false;
    }
    m_headers = grown;
    return set(CURLOPT_HTTPHEADER, m_headers);
}

void CurlRequest::trustSystemStore()
{
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    const platform::CaStore &ca = platform::systemCaStore();
    if (!ca.file.isEmpty())
        set(CURLOPT_CAINFO, ca.file.constData());
    if (!ca.dir.isEmpty())
        set(CURLOPT_CAPATH, ca.dir.constData());
    set(CURLOPT_PROXY_SSL_VERIFYPEER, 1L);
    set(CURLOPT_PROXY_SSL_VERIFYHOST, 2L);
    if (!ca.file.isEmpty())
        set(CURLOPT_PROXY_CAINFO, ca.file.constData());
    if (!ca.dir.isEmpty())
        set(CURLOPT_PROXY_CAPATH, ca.dir.constData());
}

void CurlRequest::useProxy(const ProxyRoute &route, const QString &noProxy)
{
    // libcurl copies every string it is given.
    set(CURLOPT_PROXY, route.url.toUtf8().constData());
    set(CURLOPT_NOPROXY, noProxy.toUtf8().constData());
    set(CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    if (!route.user.isEmpty() || !route.password.isEmpty()) {
        set(CURLOPT_PROXYUSERNAME, route.user.toUtf8().constData());
        set(CURLOPT_PROXYPASSWORD, route.password.toUtf8().constData());
    }
}

QByteArray CurlRequest::setupFailure() const
{
    if (m_setCode == CURLE_OK || !m_failedOption)
        return {};
    const curl_easyoption *o = curl_easy_option_by_id(m_failedOption);
    return QByteArray("cannot set CURLOPT_") + (o ? o->name : "?");
}

} // namespace platform
