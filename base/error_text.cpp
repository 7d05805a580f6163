#include "base/error_text.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace morvelin {

std::string trimSystemText(std::string_view text) {
    while (!text.empty()) {
        const char last = text.back();
        if (last != '\r' && last != '\n' && last != ' ' && last != '.')
            break;
        text.remove_suffix(1);
    }
    return text.empty() ? std::string("unknown error") : std::string(text);
}

std::string formatErrorCode(std::uint32_t code, std::string_view systemText) {
    return fmt::format("0x{:08X}: {}", code, trimSystemText(systemText));
}

std::string formatErrno(int error) {
    char buffer[256] = {};
    // GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return formatErrorCode(static_cast<std::uint32_t>(error), text ? text : "");
}

std::string describeFailure(std::string_view step, std::string_view detail) {
    return fmt::format("{} failed ({})", step, detail);
}

std::string describeErrno(std::string_view step, int error) {
    return describeFailure(step, formatErrno(error));
}

std::string lastErrorMessage(std::string_view step) {
    return describeErrno(step, errno);
}

namespace {

// The length of the well-formed UTF-8 sequence at the front of `text`, or 0 when it is
// ill-formed; then `invalid` is the length of its maximal invalid subpart (at least 1).
std::size_t sequenceLength(std::string_view text, std::size_t& invalid) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, narrower after some leads
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // no overlong forms
        if (lead == 0xED)
            high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        invalid = 1;
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const bool fits = i < text.size() && (i == 1 ? byte(i) >= low && byte(i) <= high
                                                     : byte(i) >= 0x80 && byte(i) <= 0xBF);
        if (!fits) {
            invalid = i;
            return 0;
        }
    }
    return length;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

bool isValidUtf8(std::string_view text) {
    std::size_t at = 0;
    std::size_t invalid = 0;
    while (at < text.size()) {
        // Runs of ASCII, the usual case, skip the sequence decoding.
        if (static_cast<unsigned char>(text[at]) < 0x80) {
            ++at;
            continue;
        }
        const std::size_t length = sequenceLength(text.substr(at), invalid);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string validUtf8(std::string_view text) {
    if (isValidUtf8(text))
        return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    std::size_t at = 0;
    std::size_t invalid = 0;
    while (at < text.size()) {
        const std::size_t length = sequenceLength(text.substr(at), invalid);
        if (length == 0) {
            out += kReplacement;
            at += invalid;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes)
        return text;
    std::size_t cut = maxBytes;
    // A continuation byte at the cut means a character may straddle it: step back to its lead
    // byte (at most three bytes) and cut before it when its sequence reaches past the cut.
    std::size_t lead = cut;
    while (lead > 0 && cut - lead < 3 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80)
        --lead;
    if (lead != cut) {
        std::size_t invalid = 0;
        const std::size_t length = sequenceLength(text.substr(lead), invalid);
        if (length > cut - lead)
            cut = lead;
    }
    return text.substr(0, cut);
}

std::string cappedText(std::string_view text, std::size_t maxBytes) {
    const std::string_view kept = utf8Prefix(text, maxBytes);
    std::string out = validUtf8(kept);
    if (kept.size() < text.size())
        out += "...";
    return out;
}

bool jsonNestsDeeperThan(std::string_view text, std::size_t maxDepth) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace morvelin
