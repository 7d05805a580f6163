#include "tests/support/local_http_server.h"

#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

// Beast's response parser trips a false maybe-uninitialized warning under ASan builds.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#pragma GCC diagnostic pop
#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace halvenor::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A plain blocking socket client, so the server is checked by something that is not itself.
class RawClient {
public:
    explicit RawClient(unsigned short port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(fd_); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    void send(std::string_view bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
    }
    void closeWrite() { ::shutdown(fd_, SHUT_WR); }

    // Reads until everything received contains the needle; false on timeout or end of stream.
    bool readUntil(std::string_view needle, std::chrono::milliseconds timeout = 3s) {
        const auto deadline = Clock::now() + timeout;
        while (received_.find(needle) == std::string::npos) {
            if (!readSome(deadline))
                return false;
        }
        return true;
    }
    // Reads until the server closes; false on timeout.
    bool readToEnd(std::chrono::milliseconds timeout = 3s) {
        const auto deadline = Clock::now() + timeout;
        while (!eof_)
            if (!readSome(deadline) && !eof_)
                return false;
        return true;
    }
    const std::string& received() const { return received_; }
    void clear() { received_.clear(); }

private:
    bool readSome(Clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char data[4096];
        const ssize_t n = ::recv(fd_, data, sizeof data, 0);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        received_.append(data, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string received_;
};

std::string getRequest(std::string_view target, std::string_view extra = "") {
    return "GET " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(extra) +
           "\r\n";
}

// Parses one complete response with Beast; the body comes back de-chunked.
boost::beast::http::response<boost::beast::http::string_body> parseResponse(
    const std::string& raw) {
    boost::beast::http::response_parser<boost::beast::http::string_body> parser;
    parser.eager(true);
    boost::system::error_code ec;
    parser.put(boost::asio::buffer(raw), ec);
    EXPECT_FALSE(ec) << ec.message();
    EXPECT_TRUE(parser.is_done());
    return parser.release();
}

TEST(LocalHttpServer, ChunkedBodyLeavesPieceByPieceWithItsDelays) {
    LocalHttpServer server(LocalHttpServer::scripted({
        .status = 201,
        .headers = {{"Content-Type", "text/event-stream"}, {"X-Test", "yes"}},
        .pieces = {{0ms, "first;"}, {150ms, "second;"}, {150ms, "third"}},
    }));
    EXPECT_EQ(server.baseUrl(), "http://127.0.0.1:" + std::to_string(server.port()));

    RawClient client(server.port());
    ASSERT_TRUE(client.connected());
    // Each piece leaves its delay after the one before, and the first after the request: so
    // the second cannot arrive within 150 ms of the request, nor the end within 300 ms,
    // however late this client is scheduled.
    const auto sentAt = Clock::now();
    client.send(getRequest("/stream?x=1"));
    ASSERT_TRUE(client.readUntil("first;"));
    if (Clock::now() - sentAt < 150ms) {
        EXPECT_EQ(client.received().find("second;"), std::string::npos);
    }
    ASSERT_TRUE(client.readUntil("second;"));
    EXPECT_GE(Clock::now() - sentAt, 150ms);
    ASSERT_TRUE(client.readUntil("0\r\n\r\n"));
    EXPECT_GE(Clock::now() - sentAt, 300ms);

    const auto response = parseResponse(client.received());
    EXPECT_EQ(response.result_int(), 201);
    EXPECT_EQ(response["X-Test"], "yes");
    EXPECT_EQ(response["Content-Type"], "text/event-stream");
    EXPECT_TRUE(response.chunked());
    EXPECT_EQ(response.body(), "first;second;third");

    ASSERT_TRUE(server.waitForRequests(1, 1s));
    EXPECT_EQ(server.requests()[0].method, "GET");
    EXPECT_EQ(server.requests()[0].target, "/stream?x=1");
}

TEST(LocalHttpServer, KeepAliveReusesOneConnectionAndNewSocketsAreCounted) {
    LocalHttpServer server(LocalHttpServer::scripted({
        .headers = {{"Content-Type", "text/plain"}},
        .pieces = {{0ms, "hello "}, {10ms, "world"}},
        .chunked = false,
    }));
    {
        RawClient client(server.port());
        for (int i = 0; i < 2; ++i) {
            client.clear();
            client.send(getRequest("/again"));
            ASSERT_TRUE(client.readUntil("hello world"));
            const auto response = parseResponse(client.received());
            EXPECT_EQ(response["Content-Length"], "11");
            EXPECT_EQ(response.body(), "hello world");
        }
        EXPECT_EQ(server.acceptedConnections(), 1);
    }
    RawClient other(server.port());
    other.send(getRequest("/third"));
    ASSERT_TRUE(other.readUntil("hello world"));
    EXPECT_EQ(server.acceptedConnections(), 2);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].connectionIndex, 1);
    EXPECT_EQ(requests[1].connectionIndex, 1);
    EXPECT_EQ(requests[2].connectionIndex, 2);
}

TEST(LocalHttpServer, RecordsPostBodiesAndLowerCasedHeaders) {
    LocalHttpServer server(LocalHttpServer::scripted({.pieces = {{0ms, "{}"}}}));
    const std::string body = R"({"model":"m","stream":true})";
    RawClient client(server.port());
    client.send(
        "POST /api/v1/chat/completions HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Title: Halvenor\r\n"
        "Content-Type: application/json\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_TRUE(server.waitForRequests(1, 2s));
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/v1/chat/completions");
    EXPECT_EQ(request.header("x-title"), "Halvenor");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("missing"), "");
    EXPECT_EQ(request.body, body);
    EXPECT_EQ(request.connectionIndex, 1);
}

TEST(LocalHttpServer, AnswersExpectContinueBeforeTheBody) {
    LocalHttpServer server(LocalHttpServer::scripted({.pieces = {{0ms, "ok"}}}));
    RawClient client(server.port());
    client.send("POST /x HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n");
    ASSERT_TRUE(client.readUntil("100 Continue\r\n\r\n"));
    client.send("data");
    ASSERT_TRUE(client.readUntil("0\r\n\r\n"));
    ASSERT_TRUE(server.waitForRequests(1, 1s));
    EXPECT_EQ(server.requests()[0].body, "data");
}

TEST(LocalHttpServer, DropEndsTheConnectionMidResponse) {
    LocalHttpServer server([](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {});
        writer.write("partial");
        writer.drop();
    });
    RawClient client(server.port());
    client.send(getRequest("/"));
    ASSERT_TRUE(client.readToEnd());
    EXPECT_NE(client.received().find("partial"), std::string::npos);
    EXPECT_EQ(client.received().find("0\r\n\r\n"), std::string::npos);

    // A scripted response with closeAfter ends complete, then closes.
    LocalHttpServer closing(
        LocalHttpServer::scripted({.pieces = {{0ms, "all"}}, .closeAfter = true}));
    RawClient second(closing.port());
    second.send(getRequest("/"));
    ASSERT_TRUE(second.readToEnd());
    EXPECT_EQ(parseResponse(second.received()).body(), "all");
}

TEST(LocalHttpServer, HandlerSeesTheClientLeave) {
    std::atomic<bool> sawGone{false};
    LocalHttpServer server([&](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {});
        writer.write("x");
        sawGone = waitUntil([&] { return writer.clientGone(); }, 3s);
    });
    {
        RawClient client(server.port());
        client.send(getRequest("/"));
        ASSERT_TRUE(client.readUntil("x"));
    }
    EXPECT_TRUE(waitUntil([&] { return sawGone.load(); }, 4s));
}

TEST(LocalHttpServer, DestructionEndsIdleConnectionsAndLongPausesPromptly) {
    std::unique_ptr<RawClient> idle;
    const auto start = Clock::now();
    {
        LocalHttpServer server(LocalHttpServer::scripted({.pieces = {{0ms, "a"}, {30s, "b"}}}));
        idle = std::make_unique<RawClient>(
            server.port());  // connected, never sends: its thread blocks reading
        RawClient waiting(server.port());
        waiting.send(getRequest("/"));
        ASSERT_TRUE(waiting.readUntil("a"));
        EXPECT_TRUE(waitUntil([&] { return server.acceptedConnections() == 2; }, 2s));
    }
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(idle->readToEnd(1s));  // the server closed it
}

}  // namespace
}  // namespace halvenor::test
