#include "speech/stt_client_result.h"

#include <nlohmann/json.hpp>

namespace morvelin {

std::optional<SttResult> parseSttResult(const std::string& text) noexcept {
    try {
        const auto message = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false,
                                                   /*ignore_comments=*/false);
        if (!message.is_object())
            return std::nullopt;  // a parse failure is "discarded", not an object
        if (message.value("type", std::string()) != "Results")
            return std::nullopt;
        const auto& alternatives = message.at("channel").at("alternatives");
        if (!alternatives.is_array() || alternatives.empty())
            return std::nullopt;
        SttResult result;
        result.transcript = alternatives.front().value("transcript", std::string());
        // Only the top-level flags count; the same names inside "channel" or an alternative
        // mean nothing here.
        result.isFinal = message.value("is_final", false);
        result.speechFinal = message.value("speech_final", false);
        // An empty final result still tells the consumer that its stretch of audio ended.
        if (result.transcript.empty() && !result.isFinal)
            return std::nullopt;
        return result;
    } catch (...) {
        // A member of the wrong type, a missing "channel" or "alternatives", or running out
        // of memory on a huge message: the message is dropped like any unreadable one.
        return std::nullopt;
    }
}

}  // namespace morvelin
