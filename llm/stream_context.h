#pragma once
// Reading the server-sent-event stream of one chat-completions request as libcurl delivers
// it: cutting bytes into lines, turning data lines into tokens or a remembered stream error,
// and keeping the start of a reply that turns out not to be a stream. All of it runs on the
// request's worker; what one line means is decided by a pure function.

#include <cstddef>
#include <stop_token>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "base/curl_post.h"
#include "llm/llm_client.h"

namespace morvelin {

// Bounds on what one reply may make the client hold. A real answer streams lines of a few
// hundred bytes and error bodies of a few hundred more; anything past these is a proxy, a portal
// page or a broken server, and the request ends with an error saying so. An error reply or an
// odd one is kept up to kMaxErrorReplyBytes (base/curl_post.h).
inline constexpr std::size_t kMaxStreamLineBytes = std::size_t{1} << 20;  // one event-stream line
// How much of the service's own message an error text quotes.
inline constexpr std::size_t kMaxServiceMessageBytes = 300;

// What one line of the stream carries.
struct SseLineEvent {
    enum class Kind { Nothing, Token, Error };
    Kind kind = Kind::Nothing;
    std::string text{};  // Token: the content (never empty); Error: the error text
};

// One line without its line feed (a CR before it is ignored). A "data:" line (one blank
// after the colon optional) whose JSON object has an "error" member is an Error: its message,
// else the member as JSON, at most kMaxServiceMessageBytes; a payload nesting too deep to be
// read is quoted instead. Otherwise a non-empty choices[0].delta.content string is a Token.
// Everything else ("[DONE]", comments, other fields, usage chunks, text that is not JSON) is
// Nothing. Invalid UTF-8 becomes U+FFFD. Never throws.
SseLineEvent parseSseLine(std::string_view line);

// How a reply with a status below 300 is read, settled at its first body bytes.
enum class ReplyKind {
    Unknown,      // no body byte yet
    EventStream,  // "text/event-stream", or no content type at all: cut into lines
    Unexpected,   // any other content type: kept (up to a bound) to be quoted in the error
};

struct StreamContext {
    CURL* easy = nullptr;  // asked for the status and the content type; may be null in tests
    const LlmClient::Callbacks* callbacks = nullptr;
    std::stop_token stopToken;
    std::string lineBuffer;  // received bytes not yet ended by a line feed
    // The start of a reply that ends in an error text: an unexpected reply, or a stream's bytes
    // until its first data line. At most kMaxErrorReplyBytes.
    std::string errorBody;
    std::string streamError;  // the last error a data line carried
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

// Body bytes of a reply with a status below 300, as libcurl delivers them; false ends the
// transfer (a stop was requested, or a bound was crossed and `failure` says which).
bool readStreamBytes(StreamContext& context, std::string_view bytes);
// One line of the stream without its line feed: parsed, then a token goes to onToken (unless a
// stop was requested) and an error is remembered.
void handleSseLine(StreamContext& context, std::string_view line);
// The readable text of an error response: the service's message, or the body cut to 300 bytes.
// Either is cut to kMaxServiceMessageBytes on a character boundary, invalid UTF-8 replaced.
std::string errorTextFromBody(const std::string& body);
// The error text of a transfer that succeeded with a status below 300 but was not an answer:
// a reply of another content type, or a stream without a single data line. Empty otherwise.
std::string unexpectedReplyText(const StreamContext& context, long status);

}  // namespace morvelin
