#pragma once
// One HTTPS POST as both service clients send it: the options they share, the header list,
// the stop that aborts a transfer and the bounded reading of an error reply. What differs
// between them (how a successful body is read, how the result is worded) stays with each.

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <curl/curl.h>

namespace morvelin {

// How much of an error reply (a status of 300 or more) is kept: services explain themselves
// in a few hundred bytes; anything longer is a proxy's or a portal's page.
inline constexpr std::size_t kMaxErrorReplyBytes = std::size_t{64} << 10;

struct CurlPost {
    std::string url;
    std::string_view body;             // must outlive the call
    std::vector<std::string> headers;  // "Name: value"
    long connectTimeoutSeconds = 0;    // 0: libcurl's default
    long timeoutSeconds = 0;           // the whole transfer; 0: no limit
    // A transfer that moves less than a byte a second for this long ends; 0: never.
    long lowSpeedTimeSeconds = 0;
    CURLSH* share = nullptr;
};

struct CurlReply {
    CURLcode result = CURLE_OK;
    long status = 0;
    // A result other than CURLE_OK in libcurl's own words (its error buffer when it wrote one).
    std::string curlError{};
    // The start of the body of a status of 300 or more, at most kMaxErrorReplyBytes.
    std::string errorBody{};
    // The error body went past its bound; the transfer was ended there (a write error).
    bool errorBodyCut = false;
};

// Receives the body of a reply with a status below 300, chunk by chunk, on the calling thread.
// Returning false ends the transfer (libcurl reports a write error).
using CurlBodySink = std::function<bool(std::string_view bytes)>;

// Runs the POST on `easy` and waits for it to end; a stop request aborts it within about a
// second (libcurl's progress interval while a server is silent). Afterwards the handle is reset,
// so it points at nothing of this call, and keeps its open connection for the next request.
// A header list that cannot be built ends it before sending, with CURLE_OUT_OF_MEMORY.
CurlReply curlPost(CURL* easy, const CurlPost& post, std::stop_token stop,
                   const CurlBodySink& sink);

// Appends to `text` what fits within `limit` bytes in all; false when some did not fit.
bool appendWithin(std::string& text, std::string_view bytes, std::size_t limit);

}  // namespace morvelin
