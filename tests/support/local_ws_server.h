#pragma once
// A WebSocket server on 127.0.0.1 with an ephemeral port that a test scripts: it records
// every handshake (target and headers) and every message it receives, sends text messages,
// closes with a code and reason, drops connections abruptly, refuses handshakes with an HTTP
// status, and stops and resumes accepting on the same port. Plain ws:// or TLS (wss://) with
// certificates that makeTestCertificates writes. One I/O thread, owned and joined.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace halvenor::test {

struct WsHandshake {
    int connectionIndex = 0;                     // 1 for the first accepted connection, ...
    std::string target;                          // path and query, e.g. "/v1/listen?a=b"
    std::map<std::string, std::string> headers;  // names in lower case

    bool hasHeader(const std::string& lowerCaseName) const;
    std::string header(const std::string& lowerCaseName) const;  // empty when absent
};

struct WsReceived {
    int connectionIndex = 0;
    bool binary = false;
    std::string data;
};

// A close frame that a client sent: its own close, or its answer to the server's.
struct WsCloseReceived {
    int connectionIndex = 0;
    std::uint16_t code = 0;
    std::string reason;
};

// A throwaway certificate authority and a server certificate it signed, as PEM files.
struct TestCertificates {
    std::filesystem::path caFile;           // the CA certificate a client trusts
    std::filesystem::path certificateFile;  // the server certificate
    std::filesystem::path privateKeyFile;   // the server's key
};

// Creates a CA and a server certificate for the DNS name (valid for one day) in dir.
// Throws std::runtime_error when OpenSSL fails.
TestCertificates makeTestCertificates(const std::filesystem::path& dir, const std::string& dnsName);

class LocalWsServer {
public:
    struct Options {
        // Both set: the server speaks TLS with this certificate and key.
        std::filesystem::path certificateFile;
        std::filesystem::path privateKeyFile;
    };

    LocalWsServer();
    explicit LocalWsServer(const Options& options);
    ~LocalWsServer();  // drops every connection, stops accepting, joins the I/O thread
    LocalWsServer(const LocalWsServer&) = delete;
    LocalWsServer& operator=(const LocalWsServer&) = delete;

    unsigned short port() const;
    // "ws://host:port" (or "wss://..." with TLS); host only names the server, it always
    // listens on 127.0.0.1.
    std::string baseUrl(const std::string& host = "127.0.0.1") const;

    // Answers the following handshakes with this HTTP status and body instead of accepting
    // them; 0 accepts again.
    void refuseHandshakes(int status, std::string body = {});

    // Sends to the most recently opened connection that is still open. False when none is.
    bool sendText(const std::string& text);
    // Sends to the open connection with this index (see WsReceived). False when it is not open.
    bool sendTextTo(int connectionIndex, const std::string& text);
    bool sendBinary(const std::string& data);
    // Starts the closing handshake on the most recent open connection.
    bool close(std::uint16_t code, const std::string& reason);
    // Resets every open connection at once, without a close frame.
    void dropConnections();
    // Closes the listening socket (clients get "connection refused") / listens again on
    // the same port.
    void stopAccepting();
    void resumeAccepting();

    int acceptedConnections() const;  // TCP connections accepted so far
    int openConnections() const;      // WebSocket sessions open now
    int pingsReceived() const;
    std::vector<WsHandshake> handshakes() const;
    std::vector<WsReceived> messages() const;
    std::vector<WsCloseReceived> closesReceived() const;

    bool waitForHandshakes(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForOpenConnections(int count, std::chrono::milliseconds timeout) const;
    bool waitForMessages(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForCloses(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForPings(int count, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace halvenor::test
