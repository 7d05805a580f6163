#pragma once
// The libcurl share handle of the answer client. Only the DNS cache and TLS sessions are
// shared: libcurl 7.88 documents a shared connection cache as unsafe between easy handles
// running at the same time, and a superseded request may still be winding down while the
// next one runs. Connections are kept warm by handing a finished request's easy handle on
// instead (see LlmClient).

#include <array>
#include <mutex>

#include <curl/curl.h>

namespace morvelin {

struct CurlShare {
    CurlShare();   // handle stays null when curl_share_init fails; requests then share nothing
    ~CurlShare();  // every easy handle that used the share must already be cleaned up
    CurlShare(const CurlShare&) = delete;
    CurlShare& operator=(const CurlShare&) = delete;

    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* user);
    static void unlock(CURL* handle, curl_lock_data data, void* user);

    CURLSH* handle = nullptr;
    std::array<std::mutex, 8> locks;  // one per curl_lock_data value 0..7
};

}  // namespace morvelin
