#include "llm/stream_context.h"

#include <algorithm>
#include <array>
#include <cctype>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/error_text.h"

namespace morvelin {

using nlohmann::json;

namespace {

// Service errors nest a handful of levels; a deeper document is quoted as text rather than
// turned into a tree (a line of 1 MiB could otherwise nest half a million levels).
constexpr std::size_t kMaxErrorJsonDepth = 128;
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

// A reply's JSON document, or a discarded value when the text is not JSON or nests too deep.
// Invalid UTF-8 (which the parser refuses) is replaced first, so one stray byte does not cost
// the whole text.
json parseReply(std::string_view text) {
    if (jsonNestsDeeperThan(text, kMaxErrorJsonDepth))
        return json(json::value_t::discarded);
    json document = json::parse(text.begin(), text.end(), nullptr, false, false);
    if (document.is_discarded() && !isValidUtf8(text)) {
        const std::string valid = validUtf8(text);
        document = json::parse(valid, nullptr, false, false);
    }
    return document;
}

// Finds choices[0].delta.content in one data payload while the JSON library parses it, so
// a token line costs no document tree. Duplicate members resolve as the document parser
// does (the last one wins); the rare "error" member is settled by a full parse afterwards.
class DeltaContentFinder {
public:
    bool parsed = false;
    bool errorSeen = false;
    bool hasContent = false;
    std::string content;

    bool null() { return scalar(); }
    bool boolean(bool) { return scalar(); }
    bool number_integer(json::number_integer_t) { return scalar(); }
    bool number_unsigned(json::number_unsigned_t) { return scalar(); }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar(); }
    bool binary(json::binary_t&) { return scalar(); }
    bool string(json::string_t& value) {
        if (depth_ == 0)
            return false;  // the payload is not an object
        if (parent() == Role::Delta && pending_ == Pending::Content) {
            content.swap(value);  // takes the parser's buffer instead of copying it
            hasContent = true;
        }
        return scalar();
    }
    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(json::string_t& name) {
        pending_ = Pending::None;
        switch (parent()) {
            case Role::Root:
                if (name == "choices") {
                    pending_ = Pending::Choices;
                    hasContent = false;
                } else if (name == "error") {
                    errorSeen = true;
                }
                break;
            case Role::FirstChoice:
                if (name == "delta") {
                    pending_ = Pending::Delta;
                    hasContent = false;
                }
                break;
            case Role::Delta:
                if (name == "content") {
                    pending_ = Pending::Content;
                    hasContent = false;
                }
                break;
            default:
                break;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

private:
    enum class Role { Root, Choices, FirstChoice, Delta, Other };
    enum class Pending { None, Choices, Delta, Content };

    Role parent() const {
        const auto index = static_cast<std::size_t>(depth_ - 1);
        return index < roles_.size() ? roles_[index] : Role::Other;
    }
    bool scalar() {
        if (depth_ == 0)
            return false;
        if (parent() == Role::Choices)
            ++choicesIndex_;
        pending_ = Pending::None;
        return true;
    }
    bool open(bool isObject) {
        Role role = Role::Other;
        if (depth_ == 0) {
            if (!isObject)
                return false;
            role = Role::Root;
        } else {
            switch (parent()) {
                case Role::Root:
                    if (pending_ == Pending::Choices && !isObject) {
                        role = Role::Choices;
                        choicesIndex_ = 0;
                    }
                    break;
                case Role::Choices:
                    if (choicesIndex_++ == 0 && isObject)
                        role = Role::FirstChoice;
                    break;
                case Role::FirstChoice:
                    if (pending_ == Pending::Delta && isObject)
                        role = Role::Delta;
                    break;
                default:
                    break;
            }
        }
        pending_ = Pending::None;
        if (static_cast<std::size_t>(depth_) < roles_.size())
            roles_[static_cast<std::size_t>(depth_)] = role;
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        pending_ = Pending::None;
        return true;
    }

    std::array<Role, 4> roles_{};
    int depth_ = 0;
    Pending pending_ = Pending::None;
    std::size_t choicesIndex_ = 0;
};

bool parseDataPayload(std::string_view payload, DeltaContentFinder& finder) {
    return json::sax_parse(payload.begin(), payload.end(), &finder, json::input_format_t::json,
                           /*strict=*/true, /*ignore_comments=*/false);
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

// Settled at the first body bytes of a status below 300. Only a content type that names
// something else marks the reply as no answer; one without any is given the benefit of the
// doubt and read as a stream (its lines still have to carry data).
void settleReplyKind(StreamContext& stream) {
    const char* type = nullptr;
    if (stream.easy)
        curl_easy_getinfo(stream.easy, CURLINFO_CONTENT_TYPE, &type);
    stream.contentType = type ? cappedText(type, kQuotedContentTypeBytes) : std::string();
    stream.kind = stream.contentType.empty() || isEventStreamType(stream.contentType)
                      ? ReplyKind::EventStream
                      : ReplyKind::Unexpected;
}

// Keeps the bytes in errorBody up to its bound; false when some did not fit.
bool keepErrorBytes(StreamContext& stream, const char* data, std::size_t n) {
    const std::size_t kept = std::min(kMaxErrorBodyBytes, stream.errorBody.size());
    const std::size_t room = kMaxErrorBodyBytes - kept;
    stream.errorBody.append(data, std::min(n, room));
    return n <= room;
}

}  // namespace

std::size_t onCurlWrite(char* data, std::size_t size, std::size_t count, void* context) {
    auto& stream = *static_cast<StreamContext*>(context);
    const std::size_t n = size * count;
    if (stream.stopToken.stop_requested())
        return 0;
    // Asked per chunk: the status is known before the first body byte arrives.
    long status = 0;
    if (stream.easy)
        curl_easy_getinfo(stream.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300) {
        if (keepErrorBytes(stream, data, n))
            return n;
        stream.failure =
            fmt::format("OpenRouter HTTP {}: {}", status, errorTextFromBody(stream.errorBody));
        return 0;
    }
    if (stream.kind == ReplyKind::Unknown)
        settleReplyKind(stream);
    if (stream.kind == ReplyKind::Unexpected) {
        if (keepErrorBytes(stream, data, n))
            return n;
        stream.failure = unexpectedReplyText(stream, status);
        return 0;
    }
    // Until the first data line the bytes are kept too: a reply that never has one is quoted.
    const bool startOverflowed = !stream.sawDataLine && !keepErrorBytes(stream, data, n);

    stream.lineBuffer.append(data, n);
    const std::string_view buffer(stream.lineBuffer);
    std::size_t position = 0;
    for (auto feed = buffer.find('\n', stream.scanned); feed != std::string_view::npos;
         feed = buffer.find('\n', position)) {
        auto line = buffer.substr(position, feed - position);
        if (line.size() > kMaxStreamLineBytes)
            break;  // reported below, unhandled
        if (!line.empty() && line.back() == '\r')
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
        return 0;
    }
    if (stream.sawDataLine) {
        if (stream.errorBody.capacity() != 0)
            std::string().swap(stream.errorBody);
    } else if (startOverflowed && !stream.lineBuffer.starts_with("data:")) {
        // A stream that begins with this much and no data line is some other kind of reply.
        stream.failure = unexpectedReplyText(stream, status);
        return 0;
    }
    return n;
}

int onCurlProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<StreamContext*>(context)->stopToken.stop_requested() ? 1 : 0;
}

void handleSseLine(StreamContext& context, std::string_view line) {
    if (line.size() < 5 || line.front() == ':')
        return;
    if (line.substr(0, 5) != "data:")
        return;
    context.sawDataLine = true;
    auto payload = line.substr(5);
    if (!payload.empty() && payload.front() == ' ')
        payload.remove_prefix(1);
    if (payload == "[DONE]")
        return;

    DeltaContentFinder finder;
    std::string repaired;  // the payload with invalid UTF-8 replaced, made only when needed
    if (!parseDataPayload(payload, finder)) {
        if (isValidUtf8(payload))
            return;
        repaired = validUtf8(payload);
        payload = repaired;
        finder = DeltaContentFinder{};
        if (!parseDataPayload(payload, finder))
            return;
    }
    if (finder.errorSeen) {
        const auto document = parseReply(payload);
        if (document.is_discarded()) {
            // Too deep for a tree, yet an error all the same: quote it.
            context.streamError = cappedText(payload, kMaxServiceMessageBytes);
            return;
        }
        if (!document.is_object())
            return;
        const auto error = document.find("error");
        if (error == document.end())
            return;
        context.streamError = error->is_object() ? errorObjectText(*error)
                                                 : cappedJsonText(*error, kMaxServiceMessageBytes);
        return;
    }
    if (!finder.hasContent || finder.content.empty())
        return;
    if (context.stopToken.stop_requested())
        return;
    if (context.callbacks && context.callbacks->onToken)
        context.callbacks->onToken(finder.content);
}

std::string errorTextFromBody(const std::string& body) {
    const auto document = parseReply(body);
    if (document.is_object()) {
        if (const auto error = document.find("error"); error != document.end()) {
            if (error->is_object())
                return errorObjectText(*error);
            if (error->is_string())
                return cappedText(error->get_ref<const std::string&>(), kMaxServiceMessageBytes);
        }
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
