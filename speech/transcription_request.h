#pragma once
// One blocking transcription request: the samples as a 16 kHz mono WAV image, base64 in a JSON
// body, POSTed to "/api/v1/audio/transcriptions" of the chat service; the answer's "text" back.

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "speech/batch_transcriber.h"

namespace morvelin {

// Runs on a transcriber worker with that worker's handle; a stop request aborts the transfer.
// Returns the trimmed text; an empty text with an empty error means nothing was said.
std::string transcribe(CURL* handle, std::stop_token& stop, const BatchTranscriberConfig& config,
                       const std::vector<std::int16_t>& samples, std::string& error);

// The compact JSON body, keys in alphabetical order: "input_audio" {"data", "format"},
// "language" (only when set), "model", "temperature".
std::string buildTranscriptionBody(const BatchTranscriberConfig& config,
                                   const std::vector<std::int16_t>& samples);

// Bounds on what one answer may make a worker hold. A transcript of 28 s of speech is well
// under a kilobyte and its JSON answer not much more; past these the answer is not a transcript.
// An error reply is kept up to kMaxErrorReplyBytes (base/curl_post.h).
inline constexpr std::size_t kMaxTranscriptionResponseBytes = std::size_t{1} << 20;
inline constexpr std::size_t kMaxTranscriptBytes = std::size_t{16} << 10;

// The error text of a failed answer: "unexpected transcription response" for a success
// without a string "text", "transcript over 16 KiB" for a text past kMaxTranscriptBytes,
// "HTTP {status}: {message}" for a status of 300 or more (the service's message cut to a few
// hundred bytes); empty with the trimmed text in `text` otherwise.
std::string interpretTranscriptionResponse(long status, const std::string& response,
                                           std::string& text);

// A 44-byte PCM header (mono, 16 kHz, 16 bits) followed by the samples, little-endian.
std::vector<std::uint8_t> makeWav(const std::vector<std::int16_t>& samples);
// The lowest byteCount bytes of value, lowest first (value taken as 32 bits).
void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int byteCount);

}  // namespace morvelin
