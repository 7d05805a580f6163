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

// Bounds on what one reply may make the client hold. A real answer streams lines of a few
// hundred bytes and error bodies of a few hundred more; anything past these is a proxy, a portal
// page or a broken server, and the request ends with an error saying so.
inline constexpr std::size_t kMaxStreamLineBytes = std::size_t{1} << 20;  // one event-stream line
inline constexpr std::size_t kMaxErrorBodyBytes = std::size_t{64} << 10;  // an error or odd reply
// How much of the service's own message an error text quotes.
inline constexpr std::size_t kMaxServiceMessageBytes = 300;

// How a reply with a status below 300 is read, settled at its first body bytes.
enum class ReplyKind {
    Unknown,      // no body byte yet
    EventStream,  // "text/event-stream", or no content type at all: cut into lines
    Unexpected,   // any other content type: kept (up to a bound) to be quoted in the error
};

struct StreamContext {
    CURL* easy = nullptr;  // asked for the response code
    const LlmClient::Callbacks* callbacks = nullptr;
    std::stop_token stopToken;
    std::string lineBuffer;  // received bytes not yet ended by a line feed
    // The start of a reply that ends in an error text: the body of a status of 300 or more, an
    // unexpected reply, or a stream's bytes until its first data line. At most
    // kMaxErrorBodyBytes.
    std::string errorBody;
    std::string streamError;  // the last "error" member seen in a data line
    // Bytes at the front of lineBuffer already searched for a line feed, so that each byte is
    // searched once however the line is split into chunks.
    std::size_t scanned = 0;
    ReplyKind kind = ReplyKind::Unknown;
    std::string contentType{};  // as the server sent it; empty when it sent none
    bool sawDataLine = false;
    // Set when the reading itself ended the transfer (a bound was crossed): the error text to
    // report instead of libcurl's write error.
    std::string failure{};
};

// libcurl's write callback; returns 0 (abort) once a stop has been requested.
std::size_t onCurlWrite(char* data, std::size_t size, std::size_t count, void* context);
// libcurl's transfer-info callback; 1 (abort) once a stop has been requested.
int onCurlProgress(void* context, curl_off_t downloadTotal, curl_off_t downloaded,
                   curl_off_t uploadTotal, curl_off_t uploaded);
// One line of the stream without its line feed.
void handleSseLine(StreamContext& context, std::string_view line);
// The readable text of an error response: the service's message, or the body cut to 300 bytes.
// Either is cut to kMaxServiceMessageBytes on a character boundary, invalid UTF-8 replaced.
std::string errorTextFromBody(const std::string& body);
// The error text of a transfer that succeeded with a status below 300 but was not an answer:
// a reply of another content type, or a stream without a single data line. Empty otherwise.
std::string unexpectedReplyText(const StreamContext& context, long status);

}  // namespace morvelin
