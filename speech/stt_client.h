#pragma once
// Streams the audio of one source (16 kHz mono signed 16-bit PCM) to the streaming
// speech-to-text service over one WebSocket and turns the service's results into transcript
// callbacks and its connection state into status texts.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "speech/transcript_callbacks.h"

namespace morvelin {

class WebSocketClient;
struct WebSocketMessage;

// The listen URL the HUD starts with: sttServiceBaseUrl() (base/service_hosts.h), then the path and
// the query the client relies on (16 kHz mono linear16, punctuation, interim results, endpointing).
std::string defaultSttListenUrl();

class SttClient {
public:
    SttClient();
    ~SttClient();
    SttClient(const SttClient&) = delete;
    SttClient& operator=(const SttClient&) = delete;

    // Replaces any running connection. Called on the UI thread. The callbacks run on the
    // socket's own thread and must not call start, stop or sendAudio of this client.
    void start(const std::string& url, const std::string& apiKey, TranscriptCallback onTranscript,
               StatusCallback onStatus);
    // Sends the samples while connected and drops them otherwise. Called on the capture thread.
    void sendAudio(std::span<const std::int16_t> samples);
    // Ends the stream and the connection; harmless when nothing runs.
    void stop();

private:
    void onMessage(const WebSocketMessage& message, const StatusCallback& onStatus);
    void handleResult(const std::string& text);

    std::mutex mutex_;  // serialises start, stop and audio sends; guards socket_
    std::unique_ptr<WebSocketClient> socket_;
    std::atomic<bool> connected_{false};
    TranscriptCallback onTranscript_;
};

}  // namespace morvelin
