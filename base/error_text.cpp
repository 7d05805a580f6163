#include "base/error_text.h"

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace morvelin {

std::string trimSystemText(std::string_view text) {
    while (!text.empty()) {
        const char last = text.back();
        if (last != '\r' && last != '\n' && last != ' ' && last != '.') break;
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

std::string lastErrorMessage(std::string_view step) { return describeErrno(step, errno); }

}  // namespace morvelin
