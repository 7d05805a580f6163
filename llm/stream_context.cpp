#include "llm/stream_context.h"

#include <array>

#include <nlohmann/json.hpp>

namespace morvelin {

using nlohmann::json;

namespace {

std::string compact(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The text of an "error" member that is an object: its message, else the whole object.
// A message that is not a string is written as JSON rather than dropped.
std::string errorObjectText(const json& error) {
    const auto message = error.find("message");
    if (message == error.end()) return compact(error);
    return message->is_string() ? message->get<std::string>() : compact(*message);
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
        if (depth_ == 0) return false;  // the payload is not an object
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
        if (depth_ == 0) return false;
        if (parent() == Role::Choices) ++choicesIndex_;
        pending_ = Pending::None;
        return true;
    }
    bool open(bool isObject) {
        Role role = Role::Other;
        if (depth_ == 0) {
            if (!isObject) return false;
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
                if (choicesIndex_++ == 0 && isObject) role = Role::FirstChoice;
                break;
            case Role::FirstChoice:
                if (pending_ == Pending::Delta && isObject) role = Role::Delta;
                break;
            default:
                break;
            }
        }
        pending_ = Pending::None;
        if (static_cast<std::size_t>(depth_) < roles_.size()) roles_[static_cast<std::size_t>(depth_)] = role;
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

}  // namespace

std::size_t onCurlWrite(char* data, std::size_t size, std::size_t count, void* context) {
    auto& stream = *static_cast<StreamContext*>(context);
    const std::size_t n = size * count;
    if (stream.stopToken.stop_requested()) return 0;
    // Asked per chunk: the status is known before the first body byte arrives.
    long status = 0;
    if (stream.easy) curl_easy_getinfo(stream.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300) {
        stream.errorBody.append(data, n);
        return n;
    }
    stream.lineBuffer.append(data, n);
    const std::string_view buffer(stream.lineBuffer);
    std::size_t position = 0;
    for (auto feed = buffer.find('\n'); feed != std::string_view::npos;
         feed = buffer.find('\n', position)) {
        auto line = buffer.substr(position, feed - position);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        handleSseLine(stream, line);
        position = feed + 1;
    }
    stream.lineBuffer.erase(0, position);
    return n;
}

int onCurlProgress(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<StreamContext*>(context)->stopToken.stop_requested() ? 1 : 0;
}

void handleSseLine(StreamContext& context, std::string_view line) {
    if (line.size() < 5 || line.front() == ':') return;
    if (line.substr(0, 5) != "data:") return;
    auto payload = line.substr(5);
    if (!payload.empty() && payload.front() == ' ') payload.remove_prefix(1);
    if (payload == "[DONE]") return;

    DeltaContentFinder finder;
    if (!json::sax_parse(payload.begin(), payload.end(), &finder, json::input_format_t::json,
                         /*strict=*/true, /*ignore_comments=*/false))
        return;
    if (finder.errorSeen) {
        const auto document = json::parse(payload.begin(), payload.end(), nullptr, false, false);
        if (!document.is_object()) return;
        const auto error = document.find("error");
        if (error == document.end()) return;
        context.streamError = error->is_object() ? errorObjectText(*error) : compact(*error);
        return;
    }
    if (!finder.hasContent || finder.content.empty()) return;
    if (context.stopToken.stop_requested()) return;
    if (context.callbacks && context.callbacks->onToken) context.callbacks->onToken(finder.content);
}

std::string errorTextFromBody(const std::string& body) {
    const auto document = json::parse(body, nullptr, false);
    if (document.is_object()) {
        if (const auto error = document.find("error"); error != document.end()) {
            if (error->is_object()) return errorObjectText(*error);
            if (error->is_string()) return error->get<std::string>();
        }
    }
    constexpr std::size_t kLimit = 300;
    if (body.size() <= kLimit) return body;
    return body.substr(0, kLimit) + "...";
}

}  // namespace morvelin
