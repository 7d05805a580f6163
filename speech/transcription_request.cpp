#include "speech/transcription_request.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/base64.h"
#include "base/curl_handles.h"
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

// Appends one header, keeping the list intact when libcurl runs out of memory.
bool appendHeader(CurlSlist& list, const std::string& header) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (!grown)
        return false;
    list.release();
    list.reset(grown);
    return true;
}

std::string_view trimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

// Texts from the settings can hold anything; never let a stray byte throw.
std::string compactJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
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
    const std::string url = chatServiceBaseUrl() + kTranscriptionPath;

    CurlSlist headers;
    if (!appendHeader(headers, "Content-Type: application/json") ||
        !appendHeader(headers, fmt::format("Authorization: Bearer {}", config.apiKey)) ||
        !appendHeader(headers, "X-Title: Halvenor")) {
        error = "out of memory";
        return {};
    }

    TranscriptionReply reply{.handle = handle};
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    // Reset per request, but keep the handle: its connection cache outlives the reset.
    curl_easy_reset(handle);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, curlWriteReply);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, curlAbortOnStop);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &stop);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer.data());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(handle, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));

    const CURLcode result = curl_easy_perform(handle);
    // The buffers set above die with this call; the handle must not point at them afterwards.
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    // A stop wins over a bound reached at the same moment: the worker logs the abort and leaves.
    if (reply.truncated && !stop.stop_requested()) {
        // An error answer is quoted from its start; a success that large is no transcript.
        if (status < 300) {
            error = fmt::format("transcription response over {} MiB",
                                kMaxTranscriptionResponseBytes >> 20);
            return {};
        }
    } else if (result != CURLE_OK) {
        error =
            errorBuffer[0] != '\0' ? std::string(errorBuffer.data()) : curl_easy_strerror(result);
        return {};
    }

    std::string text;
    error = interpretTranscriptionResponse(status, reply.body, text);
    return text;
}

std::size_t curlWriteReply(char* bytes, std::size_t size, std::size_t count, void* data) {
    auto& reply = *static_cast<TranscriptionReply*>(data);
    const std::size_t total = size * count;
    long status = 0;
    if (reply.handle)
        curl_easy_getinfo(reply.handle, CURLINFO_RESPONSE_CODE, &status);
    const std::size_t limit =
        status >= 300 ? kMaxTranscriptionErrorBytes : kMaxTranscriptionResponseBytes;
    const std::size_t room = limit - std::min(limit, reply.body.size());
    reply.body.append(bytes, std::min(total, room));
    if (total <= room)
        return total;
    reply.truncated = true;
    return 0;  // libcurl ends the transfer with a write error
}

int curlAbortOnStop(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::stop_token*>(data)->stop_requested() ? 1 : 0;
}

}  // namespace morvelin
