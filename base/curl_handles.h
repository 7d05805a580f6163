#pragma once
// Owners of libcurl's C handles, so no request path can leak one on an early return.

#include <memory>

#include <curl/curl.h>

namespace morvelin {

struct CurlEasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

}  // namespace morvelin
