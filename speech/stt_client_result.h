#pragma once
// Reading one message of the streaming speech-to-text service: the pure core of the
// client's result handling, kept apart so that tests and the fuzz target reach it directly.

#include <optional>
#include <string>

namespace morvelin {

struct SttResult {
    std::string transcript;
    bool isFinal = false;
    bool speechFinal = false;
};

// The transcript of a "Results" message, or nullopt for any message that is not one, cannot
// be read, or is an empty interim result. Never throws.
std::optional<SttResult> parseSttResult(const std::string& text) noexcept;

}  // namespace morvelin
