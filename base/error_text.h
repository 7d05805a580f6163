#pragma once
// One wording for every failure of a system or library call: "{step} failed (0x{code:08X}:
// {text})". The code is errno or the failing library's own code; the text is that library's
// message.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/compact_json.h"

namespace morvelin {

// Strips trailing '\r', '\n', ' ' and '.'; "unknown error" when nothing is left.
std::string trimSystemText(std::string_view text);

// "0x{:08X}: {}" with the code as an unsigned 32-bit value and the trimmed text.
std::string formatErrorCode(std::uint32_t code, std::string_view systemText);

// formatErrorCode of an errno value and its strerror text.
std::string formatErrno(int error);

// "{} failed ({})" with the step name and the detail (usually a formatErrorCode text).
std::string describeFailure(std::string_view step, std::string_view detail);

// describeFailure of the step and formatErrno of the error.
std::string describeErrno(std::string_view step, int error);

// describeErrno of the step and the calling thread's current errno.
std::string lastErrorMessage(std::string_view step);

// Texts taken from a service's reply. A reply can be anything a proxy, a captive portal or a
// broken server sends, so what reaches a callback, the card or the log is bounded and valid UTF-8.

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD (one per maximal invalid
// subpart, as browsers decode), so the valid parts around a stray byte survive.
std::string validUtf8(std::string_view text);
bool isValidUtf8(std::string_view text);

// The longest prefix of at most maxBytes bytes that does not end inside a multi-byte character.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// utf8Prefix of the text made valid, followed by "..." when something was cut off.
std::string cappedText(std::string_view text, std::size_t maxBytes);

// True when arrays and objects in the JSON text nest deeper than maxDepth. Counts brackets
// outside strings without parsing, so a document too deep to be worth a tree is refused before
// one is built.
bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth);

// The compact JSON text of a value (the library's own text for every scalar, members in the
// value's order), built without recursion and ended once it passes maxBytes, then cut as
// cappedText does. Json is nlohmann::json; a template so that this layer needs no JSON library.
template <typename Json>
std::string cappedJsonText(const Json& value, std::size_t maxBytes) {
    struct Open {
        const Json* container;
        typename Json::const_iterator next;
    };
    std::string out;
    std::vector<Open> open;
    const auto begin = [&](const Json& item) {
        if (item.is_object() || item.is_array()) {
            out += item.is_object() ? '{' : '[';
            open.push_back({&item, item.cbegin()});
        } else {
            out += compactJson(item);
        }
    };
    begin(value);
    while (!open.empty() && out.size() <= maxBytes) {
        Open& top = open.back();
        const Json& container = *top.container;
        if (top.next == container.cend()) {
            out += container.is_object() ? '}' : ']';
            open.pop_back();
            continue;
        }
        if (top.next != container.cbegin())
            out += ',';
        const auto item = top.next++;  // advanced before `begin` may grow `open`
        if (container.is_object()) {
            out += compactJson(Json(item.key()));
            out += ':';
        }
        begin(*item);
    }
    return cappedText(out, maxBytes);
}

}  // namespace morvelin
