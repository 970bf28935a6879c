#pragma once

#include "proxy.h"

#include <QByteArray>
#include <QtGlobal>

#include <curl/curl.h>

namespace platform {

// One libcurl request with everything its easy handle points at (header list, error buffer),
// so every way out of a transfer releases them, in the order libcurl needs.
//
// Options go through set(), which remembers the first one libcurl refuses and skips the rest:
// a setup is written straight through and checked once, and the failure names the option.
class CurlRequest
{
public:
    CurlRequest();
    ~CurlRequest();
    Q_DISABLE_COPY_MOVE(CurlRequest)

    CURL *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

    template <typename T> bool set(CURLoption option, T value)
    {
        if (m_setCode == CURLE_OK &&
            (m_setCode = curl_easy_setopt(m_handle, option, value)) != CURLE_OK)
            m_failedOption = option;
        return m_setCode == CURLE_OK;
    }
    // Adds a request header line; the list is handed to libcurl once it holds every line.
    bool addHeader(const char *line);
    // Verifies peers against the system's store (see castore.h), never without; an HTTPS
    // proxy too.
    void trustSystemStore();
    // Goes out by route alone: libcurl then reads no proxy of its own from the environment. The
    // credentials are offered with whichever scheme the proxy asks for.
    void useProxy(const ProxyRoute &route, const QString &noProxy = {});

    // CURLE_OK, or the code of the first option refused (CURLE_OUT_OF_MEMORY for a header that
    // could not be added, CURLE_FAILED_INIT without a handle) and its description.
    CURLcode setupCode() const { return m_setCode; }
    QByteArray setupFailure() const;
    // libcurl's detail of the last failure, empty when none.
    const char *errorDetail() const { return m_error; }

private:
    CURL *m_handle;
    curl_slist *m_headers = nullptr;
    CURLcode m_setCode = CURLE_OK;
    CURLoption m_failedOption = CURLoption(0);
    char m_error[CURL_ERROR_SIZE] = {};
};

class CurlMulti
{
public:
    CurlMulti() : m_handle(curl_multi_init()) {}
    ~CurlMulti()
    {
        if (m_handle)
            curl_multi_cleanup(m_handle);
    }
    Q_DISABLE_COPY_MOVE(CurlMulti)

    CURLM *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    CURLM *m_handle;
};

} // namespace platform
