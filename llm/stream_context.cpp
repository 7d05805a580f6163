#include "llm/stream_context.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/error_text.h"

namespace morvelin {

using nlohmann::json;

namespace {

// Service replies nest a handful of levels; a deeper document is quoted as text rather than
// turned into a tree (a line of 1 MiB could otherwise nest half a million levels).
constexpr std::size_t kMaxJsonDepth = 128;
// How much of an unterminated line, and of a content type, an error text quotes.
constexpr std::size_t kQuotedLineBytes = 100;
constexpr std::size_t kQuotedContentTypeBytes = 100;

// The text of an "error" member that is an object: its message, else the whole object.
// A message that is not a string is written as JSON rather than dropped.
std::string errorObjectText(const json& error) {
    const auto message = error.find("message");
    if (message == error.end())
        return cappedJsonText(error, kMaxServiceMessageBytes);
    return message->is_string()
               ? cappedText(message->get_ref<const std::string&>(), kMaxServiceMessageBytes)
               : cappedJsonText(*message, kMaxServiceMessageBytes);
}

// The text of an "error" member of any kind.
std::string errorMemberText(const json& error) {
    return error.is_object() ? errorObjectText(error)
                             : cappedJsonText(error, kMaxServiceMessageBytes);
}

// The JSON document of a text shallow enough to read, or a discarded value. Invalid UTF-8
// (which the parser refuses) is replaced first, so one stray byte does not cost the whole text.
json parseShallow(std::string_view text) {
    json document = json::parse(text.begin(), text.end(), nullptr, false, false);
    if (document.is_discarded() && !isValidUtf8(text)) {
        const std::string valid = validUtf8(text);
        document = json::parse(valid, nullptr, false, false);
    }
    return document;
}

// "text/event-stream" with any parameters, in any letter case.
bool isEventStreamType(std::string_view type) {
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.front() == ' ')
        type.remove_prefix(1);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
        type.remove_suffix(1);
    constexpr std::string_view kEventStream = "text/event-stream";
    return std::equal(
        type.begin(), type.end(), kEventStream.begin(), kEventStream.end(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

long responseStatus(const StreamContext& stream) {
    long status = 0;
    if (stream.easy)
        curl_easy_getinfo(stream.easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// Settled at the first body bytes. Only a content type that names something else marks the
// reply as no answer; one without any is given the benefit of the doubt and read as a stream
// (its lines still have to carry data).
void settleReplyKind(StreamContext& stream) {
    const char* type = nullptr;
    if (stream.easy)
        curl_easy_getinfo(stream.easy, CURLINFO_CONTENT_TYPE, &type);
    stream.contentType = type ? cappedText(type, kQuotedContentTypeBytes) : std::string();
    stream.kind = stream.contentType.empty() || isEventStreamType(stream.contentType)
                      ? ReplyKind::EventStream
                      : ReplyKind::Unexpected;
}

}  // namespace

SseLineEvent parseSseLine(std::string_view line) {
    constexpr std::string_view kData = "data:";
    if (!line.starts_with(kData))
        return {};
    auto payload = line.substr(kData.size());
    if (payload.ends_with('\r'))
        payload.remove_suffix(1);
    if (payload.starts_with(' '))
        payload.remove_prefix(1);
    if (payload == "[DONE]")
        return {};
    if (jsonNestsDeeperThan(payload, kMaxJsonDepth))
        return {SseLineEvent::Kind::Error, cappedText(payload, kMaxServiceMessageBytes)};
    json document = parseShallow(payload);
    if (!document.is_object())
        return {};
    if (const auto error = document.find("error"); error != document.end())
        return {SseLineEvent::Kind::Error, errorMemberText(*error)};
    const auto choices = document.find("choices");
    if (choices == document.end() || !choices->is_array() || choices->empty())
        return {};  // a usage chunk has an empty list
    json& first = choices->front();
    if (!first.is_object())
        return {};
    const auto delta = first.find("delta");
    if (delta == first.end() || !delta->is_object())
        return {};
    const auto content = delta->find("content");
    if (content == delta->end() || !content->is_string() ||
        content->get_ref<const std::string&>().empty())
        return {};
    return {SseLineEvent::Kind::Token, std::move(content->get_ref<std::string&>())};
}

bool readStreamBytes(StreamContext& stream, std::string_view bytes) {
    if (stream.stopToken.stop_requested())
        return false;
    if (stream.kind == ReplyKind::Unknown)
        settleReplyKind(stream);
    if (stream.kind == ReplyKind::Unexpected) {
        if (appendWithin(stream.errorBody, bytes, kMaxErrorReplyBytes))
            return true;
        stream.failure = unexpectedReplyText(stream, responseStatus(stream));
        return false;
    }
    // Until the first data line the bytes are kept too: a reply that never has one is quoted.
    const bool startOverflowed =
        !stream.sawDataLine && !appendWithin(stream.errorBody, bytes, kMaxErrorReplyBytes);

    stream.lineBuffer.append(bytes);
    const std::string_view buffer(stream.lineBuffer);
    std::size_t position = 0;
    for (auto feed = buffer.find('\n', stream.scanned); feed != std::string_view::npos;
         feed = buffer.find('\n', position)) {
        auto line = buffer.substr(position, feed - position);
        if (line.size() > kMaxStreamLineBytes)
            break;  // reported below, unhandled
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        handleSseLine(stream, line);
        position = feed + 1;
    }
    stream.lineBuffer.erase(0, position);
    stream.scanned = stream.lineBuffer.size();
    if (stream.lineBuffer.size() > kMaxStreamLineBytes) {
        stream.failure =
            fmt::format("OpenRouter: event-stream line over {} MiB: {}", kMaxStreamLineBytes >> 20,
                        cappedText(stream.lineBuffer, kQuotedLineBytes));
        return false;
    }
    if (stream.sawDataLine) {
        if (stream.errorBody.capacity() != 0)
            std::string().swap(stream.errorBody);
    } else if (startOverflowed && !stream.lineBuffer.starts_with("data:")) {
        // A stream that begins with this much and no data line is some other kind of reply.
        stream.failure = unexpectedReplyText(stream, responseStatus(stream));
        return false;
    }
    return true;
}

void handleSseLine(StreamContext& context, std::string_view line) {
    if (line.starts_with("data:"))
        context.sawDataLine = true;
    SseLineEvent event = parseSseLine(line);
    if (event.kind == SseLineEvent::Kind::Error) {
        context.streamError = std::move(event.text);
    } else if (event.kind == SseLineEvent::Kind::Token && !context.stopToken.stop_requested() &&
               context.callbacks && context.callbacks->onToken) {
        context.callbacks->onToken(event.text);
    }
}

std::string errorTextFromBody(const std::string& body) {
    if (!jsonNestsDeeperThan(body, kMaxJsonDepth)) {
        const json document = parseShallow(body);
        const auto error = document.is_object() ? document.find("error") : document.end();
        if (error != document.end() && error->is_object())
            return errorObjectText(*error);
        if (error != document.end() && error->is_string())
            return cappedText(error->get_ref<const std::string&>(), kMaxServiceMessageBytes);
    }
    return cappedText(body, kMaxServiceMessageBytes);
}

std::string unexpectedReplyText(const StreamContext& context, long status) {
    if (context.kind == ReplyKind::Unexpected)
        return fmt::format("OpenRouter HTTP {}: unexpected reply ({}): {}", status,
                           context.contentType, errorTextFromBody(context.errorBody));
    if (context.sawDataLine)
        return {};
    if (context.errorBody.empty())
        return fmt::format("OpenRouter HTTP {}: unexpected reply (empty body)", status);
    return fmt::format("OpenRouter HTTP {}: unexpected reply (no data lines): {}", status,
                       errorTextFromBody(context.errorBody));
}

}  // namespace morvelin
