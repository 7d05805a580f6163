#pragma once
// An HTTP/1.1 server on 127.0.0.1 with an ephemeral port whose responses a test scripts:
// status, headers, and a body written piece by piece with delays (chunked or with a length).
// One thread per connection, keep-alive honoured, accepted connections counted. Accepting
// can be stopped and resumed on the same port, as a service that goes down and comes back.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvenor::test {

struct HttpRequest {
    std::string method;
    std::string target;                          // path and query, e.g. "/api/v1/chat/completions"
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    int connectionIndex = 0;  // 1 for the first accepted connection, ...

    std::string header(const std::string& lowerCaseName) const;
};

// Handed to a handler to answer one request on the connection's thread.
class HttpResponseWriter {
public:
    virtual ~HttpResponseWriter() = default;
    // Sends the status line and headers. chunked=true adds "Transfer-Encoding: chunked";
    // otherwise contentLength (when not npos) becomes "Content-Length".
    virtual void writeHead(int status,
                           const std::vector<std::pair<std::string, std::string>>& headers,
                           bool chunked = true,
                           std::size_t contentLength = std::string_view::npos) = 0;
    // Sends bytes at once (one chunk when chunked). False when the client has gone.
    virtual bool write(std::string_view data) = 0;
    // Ends the body (the last chunk when chunked).
    virtual void finish() = 0;
    // Drops the connection without ending the response.
    virtual void drop() = 0;
    // True once the client closed its side (checked without blocking).
    virtual bool clientGone() = 0;
    // Waits for the delay, ending early when the server is being destroyed. False then.
    virtual bool pause(std::chrono::milliseconds delay) = 0;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponseWriter&)>;

struct ScriptedResponse {
    struct Piece {
        std::chrono::milliseconds delay{0};  // waited before this piece is written
        std::string data{};
    };
    int status = 200;
    // Default member initializers let tests use designated initializers under -Wextra.
    std::vector<std::pair<std::string, std::string>> headers{};
    std::vector<Piece> pieces{};
    bool chunked = true;
    bool closeAfter = false;  // drop the connection after the response
};

class LocalHttpServer {
public:
    explicit LocalHttpServer(HttpHandler handler);
    // Answers every request with the same scripted response.
    static HttpHandler scripted(ScriptedResponse response);
    ~LocalHttpServer();  // stops accepting, closes every connection, joins every thread
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    unsigned short port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:{port}"
    int acceptedConnections() const;
    std::vector<HttpRequest> requests() const;  // every request received so far, in order
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

    // Closes the listening socket and drops every open connection: clients get "connection
    // refused" until resumeAccepting listens again on the same port. Handlers still running
    // find their client gone.
    void stopAccepting();
    // Listens again on the same port (retrying for a few seconds while the port is busy).
    // Throws std::runtime_error when it cannot be bound again.
    void resumeAccepting();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Answers every request with one body of the content type, sent at once.
HttpHandler replyOnce(int status, std::string contentType, std::string body);

// Answers with `head`, then `piece` over and over until the client leaves (at its own bound).
// A client without a bound is stopped at 256 MiB, so that it fails the test's memory check
// instead of reading on to its time-out.
HttpHandler replyEndlessly(int status, std::string contentType, std::string head,
                           std::string piece);

}  // namespace halvenor::test
