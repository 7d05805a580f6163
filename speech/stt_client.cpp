#include "speech/stt_client.h"

#include <bit>
#include <cstring>

#include <fmt/format.h>

#include "base/service_hosts.h"
#include "speech/stt_client_result.h"
#include "speech/websocket_client.h"

namespace morvelin {

namespace {

// Tells the service that no more audio follows, so that it flushes its last results.
constexpr const char* kCloseStreamMessage = R"({"type":"CloseStream"})";

}  // namespace

std::string defaultSttListenUrl() {
    return sttServiceBaseUrl() +
           "/v1/listen?encoding=linear16&sample_rate=16000&channels=1&model=nova-2&punctuate=true"
           "&smart_format=true&interim_results=true&endpointing=300";
}

SttClient::SttClient() = default;

SttClient::~SttClient() {
    stop();
    onTranscript_ = nullptr;
    socket_.reset();
}

void SttClient::start(const std::string& url, const std::string& apiKey,
                      TranscriptCallback onTranscript, StatusCallback onStatus) {
    stop();
    std::lock_guard lock(mutex_);
    onTranscript_ = std::move(onTranscript);
    auto socket = std::make_unique<WebSocketClient>();
    socket->setUrl(url);
    WebSocketHeaders headers;
    if (!apiKey.empty())
        headers.emplace_back("Authorization", "Token " + apiKey);
    socket->setExtraHeaders(std::move(headers));
    socket->setPingInterval(15);
    socket->enableAutomaticReconnection();
    socket->setMaxWaitBetweenReconnectionRetries(5000);
    socket->setOnMessageCallback(
        [this, onStatus = std::move(onStatus)](const WebSocketMessage& message) {
            onMessage(message, onStatus);
        });
    socket->start();
    socket_ = std::move(socket);
}

void SttClient::sendAudio(std::span<const std::int16_t> samples) {
    if (!connected_ || samples.empty())
        return;
    std::lock_guard lock(mutex_);
    if (!socket_)
        return;
    std::string bytes(samples.size_bytes(), '\0');
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(bytes.data(), samples.data(), bytes.size());
    } else {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto value = static_cast<std::uint16_t>(samples[i]);
            bytes[2 * i] = static_cast<char>(value & 0xFF);
            bytes[2 * i + 1] = static_cast<char>(value >> 8);
        }
    }
    socket_->sendBinary(std::move(bytes));
}

void SttClient::stop() {
    std::lock_guard lock(mutex_);
    if (!socket_)
        return;
    if (connected_)
        socket_->sendText(kCloseStreamMessage);
    // Joins the socket's thread; its handler never takes mutex_, so this cannot deadlock.
    socket_->stop(1000, "Normal closure");
    socket_.reset();
    connected_ = false;
}

void SttClient::onMessage(const WebSocketMessage& message, const StatusCallback& onStatus) {
    switch (message.type) {
        case WebSocketMessageType::Open:
            connected_ = true;
            if (onStatus)
                onStatus("connected");
            break;
        case WebSocketMessageType::Close:
            connected_ = false;
            if (onStatus)
                onStatus(message.reason.empty() ? std::string("closed")
                                                : fmt::format("closed: {}", message.reason));
            break;
        case WebSocketMessageType::Error:
            connected_ = false;
            if (onStatus)
                onStatus(message.httpStatus == 0 ? fmt::format("error: {}", message.reason)
                                                 : fmt::format("error (HTTP {}): {}",
                                                               message.httpStatus, message.reason));
            break;
        case WebSocketMessageType::Message:
            if (!message.binary)
                handleResult(message.data);
            break;
    }
}

void SttClient::handleResult(const std::string& text) {
    const auto result = parseSttResult(text);
    if (result && onTranscript_)
        onTranscript_(result->transcript, result->isFinal, result->speechFinal);
}

}  // namespace morvelin
