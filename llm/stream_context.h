#pragma once
// Reading the server-sent-event stream of one chat-completions request as libcurl delivers
// it: cutting bytes into lines, turning data lines into tokens or a remembered stream error,
// collecting the body of an error response, and aborting once a stop has been requested.
// All of it runs on the request's worker.

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "llm/llm_client.h"

namespace morvelin {

struct StreamContext {
    CURL* easy = nullptr;                                // asked for the response code
    const LlmClient::Callbacks* callbacks = nullptr;
    std::stop_token stopToken;
    std::string lineBuffer;   // received bytes not yet ended by a line feed
    std::string errorBody;    // the whole body of a response with status 300 or more
    std::string streamError;  // the last "error" member seen in a data line
};

// libcurl's write callback; returns 0 (abort) once a stop has been requested.
std::size_t onCurlWrite(char* data, std::size_t size, std::size_t count, void* context);
// libcurl's transfer-info callback; 1 (abort) once a stop has been requested.
int onCurlProgress(void* context, curl_off_t downloadTotal, curl_off_t downloaded,
                   curl_off_t uploadTotal, curl_off_t uploaded);
// One line of the stream without its line feed.
void handleSseLine(StreamContext& context, std::string_view line);
// The readable text of an error response: the service's message, or the body cut to 300 bytes.
std::string errorTextFromBody(const std::string& body);

}  // namespace morvelin
