#pragma once
// A small WebSocket client: ws:// and wss:// (system trust store, SNI, host-name check), extra
// handshake headers, a periodic ping, automatic reconnection with growing waits, sends from
// any thread and events delivered on its own I/O thread. It offers what the streaming
// speech-to-text client needs and nothing more. Every Boost.Beast detail lives in the .cpp.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace morvelin {

enum class WebSocketMessageType { Open, Close, Error, Message };

struct WebSocketMessage {
    WebSocketMessageType type = WebSocketMessageType::Message;
    std::string data;             // Message: the payload
    bool binary = false;          // Message: a binary (not a text) message
    std::uint16_t closeCode = 0;  // Close: the code (1006 when the connection was lost)
    int httpStatus = 0;           // Error: the status of a refused handshake, else 0
    std::string reason;           // Close and Error: why
};

using WebSocketHeaders = std::vector<std::pair<std::string, std::string>>;
using WebSocketMessageCallback = std::function<void(const WebSocketMessage&)>;

class WebSocketClient {
public:
    WebSocketClient();
    ~WebSocketClient();  // stops
    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Settings take effect with the next start.
    void setUrl(const std::string& url);
    void setExtraHeaders(WebSocketHeaders headers);
    // A ping every interval; a connection that receives nothing (not even the pong) for an
    // interval after a ping counts as lost. 0: no pings and no such check.
    void setPingInterval(int seconds);
    void enableAutomaticReconnection();
    // Waits between attempts start at 100 ms and double up to this.
    void setMaxWaitBetweenReconnectionRetries(int milliseconds);
    // A PEM file of extra certificate authorities trusted beside the system's.
    void addTrustedCaFile(const std::string& path);
    void setOnMessageCallback(WebSocketMessageCallback callback);

    // Opens the connection on the client's own I/O thread and returns at once.
    void start();
    // Queue a message for the open connection; false (and nothing sent) when there is none.
    // Safe from any thread.
    bool sendBinary(std::string data);
    bool sendText(std::string text);
    // Sends what is queued, then a close frame with the code and reason, waits for the
    // peer's answer (at most about two seconds) and joins the I/O thread. Delivers a Close
    // event when a connection was open. Never call it from the client's own callback.
    void stop(std::uint16_t code = 1000, const std::string& reason = "Normal closure");

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace morvelin
