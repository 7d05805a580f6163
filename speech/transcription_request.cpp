#include "speech/transcription_request.h"

#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "base/compact_json.h"
#include "base/curl_post.h"
#include "base/error_text.h"
#include "base/service_hosts.h"

namespace morvelin {
namespace {

using Json = nlohmann::json;

constexpr const char* kTranscriptionPath = "/api/v1/audio/transcriptions";
constexpr std::uint32_t kSampleRate = 16000;
constexpr std::size_t kErrorBodyBytes = 200;
// How much of the service's message an error text quotes.
constexpr std::size_t kServiceMessageBytes = 300;
// An answer nests two levels; a deeper document is not turned into a tree.
constexpr std::size_t kMaxJsonDepth = 128;

std::string_view trimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// The answer's JSON document, or a discarded value when it is not JSON or nests too deep.
// Invalid UTF-8 is replaced first, so a stray byte costs one character, not the answer.
Json parseAnswer(const std::string& response) {
    if (jsonNestsDeeperThan(response, kMaxJsonDepth))
        return Json(Json::value_t::discarded);
    Json parsed = Json::parse(response, nullptr, false, false);
    if (parsed.is_discarded() && !isValidUtf8(response))
        parsed = Json::parse(validUtf8(response), nullptr, false, false);
    return parsed;
}

}  // namespace

void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int byteCount) {
    const auto value32 = static_cast<std::uint32_t>(value);
    for (int i = 0; i < byteCount; ++i) {
        out.push_back(i < 4 ? static_cast<std::uint8_t>(value32 >> (8 * i)) : 0);
    }
}

std::vector<std::uint8_t> makeWav(const std::vector<std::int16_t>& samples) {
    const std::uint64_t dataBytes = samples.size() * 2;
    std::vector<std::uint8_t> wav;
    wav.reserve(44 + dataBytes);
    const auto tag = [&wav](std::string_view text) {
        wav.insert(wav.end(), text.begin(), text.end());
    };
    tag("RIFF");
    appendLittleEndian(wav, 36 + dataBytes, 4);
    tag("WAVE");
    tag("fmt ");
    appendLittleEndian(wav, 16, 4);  // format chunk size
    appendLittleEndian(wav, 1, 2);   // PCM
    appendLittleEndian(wav, 1, 2);   // mono
    appendLittleEndian(wav, kSampleRate, 4);
    appendLittleEndian(wav, kSampleRate * 2, 4);  // bytes per second
    appendLittleEndian(wav, 2, 2);                // bytes per sample frame
    appendLittleEndian(wav, 16, 2);               // bits per sample
    tag("data");
    appendLittleEndian(wav, dataBytes, 4);
    for (const std::int16_t sample : samples) {
        appendLittleEndian(wav, static_cast<std::uint16_t>(sample), 2);
    }
    return wav;
}

std::string buildTranscriptionBody(const BatchTranscriberConfig& config,
                                   const std::vector<std::int16_t>& samples) {
    // nlohmann's default object keeps its keys sorted, which is the order the body wants.
    Json body = Json::object();
    body["input_audio"] = {{"data", base64Encode(makeWav(samples))}, {"format", "wav"}};
    if (!config.language.empty())
        body["language"] = config.language;
    body["model"] = config.model;
    body["temperature"] = 0;
    return compactJson(body);
}

std::string interpretTranscriptionResponse(long status, const std::string& response,
                                           std::string& text) {
    text.clear();
    const Json parsed = parseAnswer(response);
    if (status < 300) {
        if (parsed.is_object()) {
            const auto found = parsed.find("text");
            if (found != parsed.end() && found->is_string()) {
                const std::string_view trimmed = trimBlanks(found->get_ref<const std::string&>());
                if (trimmed.size() > kMaxTranscriptBytes)
                    return fmt::format("transcript over {} KiB", kMaxTranscriptBytes >> 10);
                text = trimmed;
                return {};
            }
        }
        return "unexpected transcription response";
    }
    std::string message = validUtf8(utf8Prefix(response, kErrorBodyBytes));
    if (parsed.is_object()) {
        const auto found = parsed.find("error");
        if (found != parsed.end()) {
            if (found->is_object()) {
                const auto inner = found->find("message");
                message =
                    inner != found->end() && inner->is_string()
                        ? cappedText(inner->get_ref<const std::string&>(), kServiceMessageBytes)
                        : cappedJsonText(*found, kServiceMessageBytes);
            } else {
                message = cappedJsonText(*found, kServiceMessageBytes);
            }
        }
    }
    return fmt::format("HTTP {}: {}", static_cast<std::int32_t>(status), message);
}

std::string transcribe(CURL* handle, std::stop_token& stop, const BatchTranscriberConfig& config,
                       const std::vector<std::int16_t>& samples, std::string& error) {
    error.clear();
    const std::string body = buildTranscriptionBody(config, samples);
    const CurlPost post{
        .url = chatServiceBaseUrl() + kTranscriptionPath,
        .body = body,
        .headers = {"Content-Type: application/json",
                    fmt::format("Authorization: Bearer {}", config.apiKey), "X-Title: Halvenor"},
        .connectTimeoutSeconds = 10,
        .timeoutSeconds = 30,
    };
    std::string answer;
    bool answerCut = false;
    const CurlReply reply = curlPost(handle, post, stop, [&](std::string_view bytes) {
        if (appendWithin(answer, bytes, kMaxTranscriptionResponseBytes))
            return true;
        answerCut = true;
        return false;
    });
    // A stop wins over a bound reached at the same moment: the worker logs the abort and leaves.
    if (answerCut && !stop.stop_requested()) {
        error =
            fmt::format("transcription response over {} MiB", kMaxTranscriptionResponseBytes >> 20);
        return {};
    }
    // An error reply past its bound is still quoted from its start.
    if (reply.result != CURLE_OK && !(reply.errorBodyCut && !stop.stop_requested())) {
        error = reply.curlError;
        return {};
    }

    std::string text;
    error = interpretTranscriptionResponse(reply.status,
                                           reply.status >= 300 ? reply.errorBody : answer, text);
    return text;
}

}  // namespace morvelin
