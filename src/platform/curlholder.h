#pragma once

#include <curl/curl.h>

#include <unistd.h>

#include <utility>

// Owners of the C handles a transfer uses, so every way out of it releases them.

class CurlEasy
{
public:
    CurlEasy() : m_handle(curl_easy_init()) {}
    ~CurlEasy()
    {
        if (m_handle)
            curl_easy_cleanup(m_handle);
    }
    CurlEasy(const CurlEasy &) = delete;
    CurlEasy &operator=(const CurlEasy &) = delete;

    CURL *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    CURL *m_handle;
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
    CurlMulti(const CurlMulti &) = delete;
    CurlMulti &operator=(const CurlMulti &) = delete;

    CURLM *get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    CURLM *m_handle;
};

class CurlHeaderList
{
public:
    CurlHeaderList() = default;
    ~CurlHeaderList() { curl_slist_free_all(m_list); }
    CurlHeaderList(const CurlHeaderList &) = delete;
    CurlHeaderList &operator=(const CurlHeaderList &) = delete;

    bool append(const char *line)
    {
        curl_slist *grown = curl_slist_append(m_list, line);
        if (!grown)
            return false;
        m_list = grown;
        return true;
    }
    curl_slist *get() const { return m_list; }

private:
    curl_slist *m_list = nullptr;
};
