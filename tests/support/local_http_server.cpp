// Synchronous Beast server: Beast parses the requests; responses are written by hand on the
// raw socket so every piece (and every chunk) leaves at once, which is what streaming tests
// observe. Sockets are only shut down from other threads, never closed, so a descriptor
// number cannot be reused under a thread still blocked on it.
#include "tests/support/local_http_server.h"

#include <utility>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <poll.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

namespace halvenor::test {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Request bodies may carry base64 screenshots.
constexpr std::uint64_t kBodyLimit = 64ull * 1024 * 1024;

}  // namespace

std::string HttpRequest::header(const std::string& lowerCaseName) const {
    const auto it = headers.find(lowerCaseName);
    return it == headers.end() ? std::string() : it->second;
}

struct LocalHttpServer::Impl {
    struct Connection {
        explicit Connection(asio::io_context& ioc) : socket(ioc) {}
        int index = 0;
        tcp::socket socket;
        bool closed = false;  // guarded by Impl::mutex
        std::atomic<bool> done{false};
        std::thread thread;
    };

    explicit Impl(HttpHandler h) : handler(std::move(h)), acceptor(ioc) {}

    HttpHandler handler;
    asio::io_context ioc;  // never run: every operation here is synchronous
    tcp::acceptor acceptor;
    unsigned short port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool stopping = false;
    bool paused = false;  // stopAccepting .. resumeAccepting
    bool parked = false;  // the accept thread waits for resumeAccepting
    std::list<std::unique_ptr<Connection>> connections;
    std::vector<HttpRequest> requests;
    std::atomic<int> accepted{0};
    std::thread acceptThread;

    void acceptLoop();
    void serve(Connection& connection);
    void reapFinished();
};

namespace {

class SocketWriter final : public HttpResponseWriter {
public:
    SocketWriter(tcp::socket& socket, std::mutex& mutex, std::condition_variable& changed,
                 const bool& stopping)
        : socket_(socket), mutex_(mutex), changed_(changed), stopping_(stopping) {}

    void writeHead(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                   bool chunked, std::size_t contentLength) override {
        chunked_ = chunked;
        std::string head = "HTTP/1.1 " + std::to_string(status) + " ";
        head += std::string(http::obsolete_reason(static_cast<http::status>(status)));
        head += "\r\n";
        for (const auto& [name, value] : headers) {
            head += name + ": " + value + "\r\n";
            if (lowerCase(name) == "connection" && lowerCase(value) == "close")
                closeAfter_ = true;
        }
        if (chunked) {
            head += "Transfer-Encoding: chunked\r\n";
        } else if (contentLength != std::string_view::npos) {
            head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
        } else {
            closeAfter_ = true;  // the body ends when the connection does
        }
        head += "\r\n";
        headWritten_ = sendRaw(head);
    }

    bool write(std::string_view data) override {
        if (!chunked_)
            return sendRaw(data);
        if (data.empty())
            return !gone_;  // an empty chunk would end the body
        char size[32];
        const int n = std::snprintf(size, sizeof size, "%zx\r\n", data.size());
        std::string frame(size, static_cast<std::size_t>(n));
        frame.append(data);
        frame += "\r\n";
        return sendRaw(frame);
    }

    void finish() override {
        if (chunked_ && !finished_)
            sendRaw("0\r\n\r\n");
        finished_ = true;
    }

    void drop() override {
        dropped_ = true;
        ::shutdown(socket_.native_handle(), SHUT_RDWR);
    }

    bool clientGone() override {
        if (gone_)
            return true;
        pollfd p{socket_.native_handle(), POLLIN | POLLRDHUP, 0};
        if (::poll(&p, 1, 0) <= 0)
            return false;
        if (p.revents & (POLLRDHUP | POLLHUP | POLLERR))
            return gone_ = true;
        char byte;
        if (::recv(p.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            gone_ = true;
        return gone_;
    }

    bool pause(std::chrono::milliseconds delay) override {
        std::unique_lock lock(mutex_);
        return !changed_.wait_for(lock, delay, [&] { return stopping_; });
    }

    bool keepConnection() const { return headWritten_ && !dropped_ && !gone_ && !closeAfter_; }

private:
    bool sendRaw(std::string_view bytes) {
        if (gone_)
            return false;
        boost::system::error_code ec;
        asio::write(socket_, asio::buffer(bytes.data(), bytes.size()), ec);
        if (ec)
            gone_ = true;
        return !ec;
    }

    tcp::socket& socket_;
    std::mutex& mutex_;
    std::condition_variable& changed_;
    const bool& stopping_;
    bool chunked_ = true;
    bool headWritten_ = false;
    bool finished_ = false;
    bool dropped_ = false;
    bool gone_ = false;
    bool closeAfter_ = false;
};

}  // namespace

void LocalHttpServer::Impl::reapFinished() {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard lock(mutex);
        for (auto it = connections.begin(); it != connections.end();) {
            if ((*it)->done) {
                finished.push_back(std::move(*it));
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        c->thread.join();
}

void LocalHttpServer::Impl::acceptLoop() {
    while (true) {
        auto connection = std::make_unique<Connection>(ioc);
        boost::system::error_code ec;
        acceptor.accept(connection->socket, ec);
        {
            std::unique_lock lock(mutex);
            if (stopping)
                return;
            if (paused) {
                // The listening socket is closed only once this thread no longer uses it.
                parked = true;
                changed.notify_all();
                changed.wait(lock, [&] { return stopping || !paused; });
                parked = false;
                if (stopping)
                    return;
                continue;
            }
        }
        if (ec) {
            if (ec == asio::error::bad_descriptor || ec == asio::error::invalid_argument)
                return;
            continue;  // e.g. a connection reset before it was accepted
        }
        connection->socket.set_option(tcp::no_delay(true), ec);
        reapFinished();

        std::lock_guard lock(mutex);
        connection->index = ++accepted;
        Connection& c = *connection;
        connections.push_back(std::move(connection));
        c.thread = std::thread([this, &c] { serve(c); });
    }
}

void LocalHttpServer::Impl::serve(Connection& connection) {
    boost::beast::flat_buffer buffer;
    while (true) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(kBodyLimit);
        parser.header_limit(64 * 1024);
        boost::system::error_code ec;
        http::read_header(connection.socket, buffer, parser, ec);
        if (ec)
            break;
        const auto expect = parser.get()[http::field::expect];
        if (lowerCase(std::string_view(expect.data(), expect.size())) == "100-continue") {
            asio::write(connection.socket, asio::buffer("HTTP/1.1 100 Continue\r\n\r\n", 25), ec);
            if (ec)
                break;
        }
        http::read(connection.socket, buffer, parser, ec);
        if (ec)
            break;

        const auto& message = parser.get();
        HttpRequest request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        for (const auto& field : message)
            request.headers[lowerCase(
                std::string_view(field.name_string().data(), field.name_string().size()))] =
                std::string(field.value());
        request.body = message.body();
        request.connectionIndex = connection.index;
        {
            std::lock_guard lock(mutex);
            requests.push_back(request);
        }
        changed.notify_all();

        SocketWriter writer(connection.socket, mutex, changed, stopping);
        try {
            handler(request, writer);
        } catch (...) {
            writer.drop();
        }
        if (!writer.keepConnection() || !message.keep_alive())
            break;
    }
    std::lock_guard lock(mutex);
    boost::system::error_code ignored;
    connection.socket.shutdown(tcp::socket::shutdown_both, ignored);
    connection.socket.close(ignored);
    connection.closed = true;
    connection.done = true;
}

LocalHttpServer::LocalHttpServer(HttpHandler handler)
    : impl_(std::make_unique<Impl>(std::move(handler))) {
    auto& acceptor = impl_->acceptor;
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), 0);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    impl_->port = acceptor.local_endpoint().port();
    impl_->acceptThread = std::thread([impl = impl_.get()] { impl->acceptLoop(); });
}

LocalHttpServer::~LocalHttpServer() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->changed.notify_all();
    // shutdown() wakes a thread blocked in accept() or recv() on Linux; close() would not.
    ::shutdown(impl_->acceptor.native_handle(), SHUT_RDWR);
    impl_->acceptThread.join();
    {
        std::lock_guard lock(impl_->mutex);
        for (auto& c : impl_->connections)
            if (!c->closed)
                ::shutdown(c->socket.native_handle(), SHUT_RDWR);
    }
    for (auto& c : impl_->connections)
        c->thread.join();
}

HttpHandler LocalHttpServer::scripted(ScriptedResponse response) {
    return [response = std::move(response)](const HttpRequest&, HttpResponseWriter& writer) {
        std::size_t length = 0;
        for (const auto& piece : response.pieces)
            length += piece.data.size();
        writer.writeHead(response.status, response.headers, response.chunked,
                         response.chunked ? std::string_view::npos : length);
        for (const auto& piece : response.pieces) {
            if (piece.delay.count() > 0 && !writer.pause(piece.delay))
                return;
            if (!writer.write(piece.data))
                return;
        }
        writer.finish();
        if (response.closeAfter)
            writer.drop();
    };
}

HttpHandler replyOnce(int status, std::string contentType, std::string body) {
    return LocalHttpServer::scripted({.status = status,
                                      .headers = {{"Content-Type", std::move(contentType)}},
                                      .pieces = {{.data = std::move(body)}}});
}

HttpHandler replyEndlessly(int status, std::string contentType, std::string head,
                           std::string piece) {
    return [=](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(status, {{"Content-Type", contentType}});
        if (!writer.write(head))
            return;
        for (std::size_t sent = 0; sent < (std::size_t{256} << 20); sent += piece.size()) {
            if (!writer.write(piece))
                return;
        }
        writer.finish();
    };
}

void LocalHttpServer::stopAccepting() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->paused)
            return;
        impl_->paused = true;
    }
    ::shutdown(impl_->acceptor.native_handle(), SHUT_RDWR);
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [&] { return impl_->parked; });
    boost::system::error_code ignored;
    impl_->acceptor.close(ignored);
    for (auto& c : impl_->connections)
        if (!c->closed)
            ::shutdown(c->socket.native_handle(), SHUT_RDWR);
}

void LocalHttpServer::resumeAccepting() {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->paused)
            return;
    }
    auto& acceptor = impl_->acceptor;
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), impl_->port);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    boost::system::error_code ec;
    while (true) {
        ec = {};
        acceptor.open(endpoint.protocol(), ec);
        if (!ec)
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        if (!ec)
            acceptor.bind(endpoint, ec);
        if (!ec)
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (!ec)
            break;
        boost::system::error_code ignored;
        acceptor.close(ignored);
        // Another socket may hold the port for a moment; a service comes back on its own port.
        if (std::chrono::steady_clock::now() >= deadline)
            throw std::runtime_error("LocalHttpServer: cannot listen again on port " +
                                     std::to_string(impl_->port) + ": " + ec.message());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->paused = false;
    }
    impl_->changed.notify_all();
}

unsigned short LocalHttpServer::port() const {
    return impl_->port;
}

std::string LocalHttpServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(impl_->port);
}

int LocalHttpServer::acceptedConnections() const {
    return impl_->accepted.load();
}

std::vector<HttpRequest> LocalHttpServer::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->requests;
}

bool LocalHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

}  // namespace halvenor::test
