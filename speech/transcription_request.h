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

// The error text of a failed answer: "unexpected transcription response" for a success
// without a string "text", "HTTP {status}: {message}" for a status of 300 or more; empty
// with the trimmed text in `text` otherwise.
std::string interpretTranscriptionResponse(long status, const std::string& response,
                                           std::string& text);

// A 44-byte PCM header (mono, 16 kHz, 16 bits) followed by the samples, little-endian.
std::vector<std::uint8_t> makeWav(const std::vector<std::int16_t>& samples);
// The lowest byteCount bytes of value, lowest first (value taken as 32 bits).
void appendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value, int byteCount);

// libcurl callbacks: append to the std::string in `data`; abort once the std::stop_token in
// `data` has been asked to stop.
std::size_t curlWriteToString(char* bytes, std::size_t size, std::size_t count, void* data);
int curlAbortOnStop(void* data, curl_off_t downloadTotal, curl_off_t downloadNow,
                    curl_off_t uploadTotal, curl_off_t uploadNow);

}  // namespace morvelin
