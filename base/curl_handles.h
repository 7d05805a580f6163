#pragma once
// Owners of libcurl's C handles, so no request path can leak one on an early return.

#include <memory>

#include <curl/curl.h>

namespace morvelin {

// Hands a handle back to libcurl with the function that releases that kind of handle.
template <auto release>
struct CurlRelease {
    template <typename Handle>
    void operator()(Handle* handle) const {
        release(handle);
    }
};

using CurlEasy = std::unique_ptr<CURL, CurlRelease<curl_easy_cleanup>>;
using CurlSlist = std::unique_ptr<curl_slist, CurlRelease<curl_slist_free_all>>;
using CurlUrl = std::unique_ptr<CURLU, CurlRelease<curl_url_cleanup>>;
// A text libcurl allocated for the caller (curl_url_get and friends).
using CurlText = std::unique_ptr<char, CurlRelease<curl_free>>;

}  // namespace morvelin
