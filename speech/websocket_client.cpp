// The WebSocket client on Boost.Beast over OpenSSL. All Beast code of the program is in this
// file because it is slow to compile. One I/O thread per started client runs every operation,
// so the connection state below needs no locks; other threads only post work to it.

#include "speech/websocket_client.h"

// Asio needs <utility> before its own headers with this standard library.
#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <curl/curl.h>
#include <fmt/format.h>

#include "base/curl_handles.h"

namespace morvelin {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// Connecting and each handshake (TCP, TLS, WebSocket) are bounded so that an unreachable or
// silent host turns into an error and a retry rather than a connection that never opens.
constexpr auto kConnectTimeout = 10s;
// A stop waits this long for the peer to answer the close frame, then drops the socket.
constexpr auto kCloseTimeout = 2s;
constexpr auto kFirstRetryWait = 100ms;
constexpr std::uint16_t kAbnormalClosure = 1006;

struct ParsedUrl {
    bool tls = false;
    std::string host;  // without brackets
    std::string port;
    std::string target;      // path and query
    std::string hostHeader;  // host[:port], port only when not the scheme's default
};

// One part of a parsed URL, or nullopt when the URL has none.
std::optional<std::string> urlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK)
        return std::nullopt;
    const CurlText owned(text);
    return std::string(text);
}

// ws:// or wss:// with a host, and neither user nor password; libcurl's URL parser decides
// what is well formed, so this client reads a URL exactly as the HTTPS clients do.
std::optional<ParsedUrl> parseUrl(const std::string& text) {
    const CurlUrl url(curl_url());
    // libcurl is not built with WebSocket transfers here, so it has to be told to take the
    // scheme at all.
    if (!url ||
        curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    const auto scheme = urlPart(url.get(), CURLUPART_SCHEME);  // lower case
    auto host = urlPart(url.get(), CURLUPART_HOST);            // an IPv6 address in brackets
    if (!scheme || (*scheme != "ws" && *scheme != "wss") || !host || host->empty() ||
        urlPart(url.get(), CURLUPART_USER) || urlPart(url.get(), CURLUPART_PASSWORD))
        return std::nullopt;
    ParsedUrl parsed;
    parsed.tls = *scheme == "wss";
    const std::string defaultPort = parsed.tls ? "443" : "80";
    parsed.port = urlPart(url.get(), CURLUPART_PORT).value_or(defaultPort);
    if (parsed.port == "0")
        return std::nullopt;
    parsed.hostHeader = *host;
    if (parsed.port != defaultPort)
        parsed.hostHeader += ":" + parsed.port;
    if (host->size() > 2 && host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    parsed.host = std::move(*host);
    parsed.target = urlPart(url.get(), CURLUPART_PATH).value_or("/");
    if (parsed.target.empty() || parsed.target.front() != '/')
        parsed.target.insert(0, "/");
    if (const auto query = urlPart(url.get(), CURLUPART_QUERY))
        parsed.target += "?" + *query;
    return parsed;
}

bool isIpAddress(const std::string& host) {
    beast::error_code ec;
    net::ip::make_address(host, ec);
    return !ec;
}

struct Outgoing {
    enum class Kind { Binary, Text, Close } kind;
    std::string data;  // the reason of a close
    std::uint16_t code = 0;
};

// What the setters collected, copied into a run when it starts.
struct ClientOptions {
    std::string url;
    WebSocketHeaders headers;
    int pingSeconds = 0;
    bool reconnect = false;
    int maxWaitMs = 10000;
    std::vector<std::string> caFiles;
    WebSocketMessageCallback callback;
};

// One connection attempt, over plain TCP or over TLS (ConnectionOf below, one instance per
// stream type); the runner holds whichever the URL asked for.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    virtual ~Connection() = default;
    virtual void start(const tcp::resolver::results_type& endpoints) = 0;
    virtual void enqueue(Outgoing item) = 0;
    virtual void abort() = 0;
    bool isOpen() const { return open_; }

protected:
    bool open_ = false;
};

// Everything one run of the client needs, used only on its I/O thread once that runs.
class Runner {
public:
    Runner(ClientOptions options, std::atomic<bool>& open)
        : options_(std::move(options)), url_(parseUrl(options_.url)), open_(open) {
        beast::error_code ec;
        tls_.set_default_verify_paths(ec);
        for (const auto& file : options_.caFiles) {
            tls_.load_verify_file(file, ec);
            if (ec)
                setupError_ = fmt::format("loading CA file {} failed: {}", file, ec.message());
        }
    }

    void run() {
        net::post(io_, [this] { connect(); });
        io_.run();
    }

    template <typename Function>
    void post(Function function) {
        net::post(io_, std::move(function));
    }

    void send(Outgoing item) {
        if (connection_ && connection_->isOpen())
            connection_->enqueue(std::move(item));
    }

    void shutdown(std::uint16_t code, std::string reason) {
        stopping_ = true;
        closeCode_ = code;
        closeReason_ = std::move(reason);
        retryTimer_.cancel();
        resolver_.cancel();
        if (!connection_)
            return finish();
        if (connection_->isOpen()) {
            connection_->enqueue(Outgoing{Outgoing::Kind::Close, closeReason_, code});
            stopTimer_.expires_after(kCloseTimeout);
            stopTimer_.async_wait([this](beast::error_code ec) {
                if (!ec && connection_)
                    connection_->abort();
            });
        } else {
            connection_->abort();
        }
    }

    // What a connection reports, on the I/O thread. A connection that is no longer the
    // current one (a stop or a retry replaced it) is not listened to.
    void connectionOpened(Connection* connection) {
        if (connection != connection_.get())
            return;
        failures_ = 0;
        open_ = true;
        deliver(WebSocketMessage{WebSocketMessageType::Open, {}, false, 0, 0, {}});
    }

    void connectionMessage(Connection* connection, WebSocketMessage message) {
        // Results that arrive while a stop waits for the close still count: the service
        // flushes its last words after the end-of-stream message.
        if (connection == connection_.get())
            deliver(message);
    }

    void connectionEnded(Connection* connection, WebSocketMessage event) {
        if (connection != connection_.get())
            return;
        const bool wasOpen = open_.exchange(false);
        connection_.reset();
        if (stopping_) {
            if (wasOpen) {
                // The close that the stop asked for, whatever the peer answered.
                event.type = WebSocketMessageType::Close;
                event.closeCode = closeCode_;
                event.reason = closeReason_;
                deliver(event);
            }
            return finish();
        }
        deliver(event);
        retryLater();
    }

private:
    void connect() {
        if (stopping_)
            return;
        if (!url_ || !setupError_.empty()) {
            deliverError(url_ ? setupError_ : fmt::format("invalid URL: {}", options_.url));
            return retryLater();
        }
        resolver_.async_resolve(
            url_->host, url_->port,
            [this](beast::error_code ec, tcp::resolver::results_type results) {
                if (stopping_)
                    return finish();
                if (ec) {
                    deliverError(fmt::format("resolving {} failed: {}", url_->host, ec.message()));
                    return retryLater();
                }
                open(results);
            });
    }

    // Defined below the connection class it makes.
    void open(const tcp::resolver::results_type& results);

    void retryLater() {
        if (stopping_ || !options_.reconnect)
            return finish();
        const auto wait = std::min<std::chrono::milliseconds>(
            kFirstRetryWait * (1 << std::min(failures_, 16)),
            std::chrono::milliseconds(std::max(options_.maxWaitMs, 0)));
        ++failures_;
        retryTimer_.expires_after(wait);
        retryTimer_.async_wait([this](beast::error_code ec) {
            if (!ec)
                connect();
        });
    }

    std::chrono::seconds pingInterval() const {
        return std::chrono::seconds(std::max(options_.pingSeconds, 0));
    }

    void deliverError(std::string reason) {
        WebSocketMessage event;
        event.type = WebSocketMessageType::Error;
        event.reason = std::move(reason);
        deliver(event);
    }

    void deliver(const WebSocketMessage& message) {
        if (options_.callback)
            options_.callback(message);
    }

    // Lets the I/O thread run out of work once the last operation has completed.
    void finish() {
        stopTimer_.cancel();
        retryTimer_.cancel();
        work_.reset();
    }

    const ClientOptions options_;
    const std::optional<ParsedUrl> url_;
    std::atomic<bool>& open_;
    std::string setupError_;
    ssl::context tls_{ssl::context::tls_client};
    net::io_context io_;
    net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(io_);
    tcp::resolver resolver_{io_};
    net::steady_timer retryTimer_{io_};
    net::steady_timer stopTimer_{io_};
    std::shared_ptr<Connection> connection_;
    int failures_ = 0;
    bool stopping_ = false;
    std::uint16_t closeCode_ = 1000;
    std::string closeReason_;
};

template <class NextLayer>
class ConnectionOf final : public Connection {
public:
    template <class... Args>
    ConnectionOf(Runner& owner, const ParsedUrl& url, const WebSocketHeaders& headers,
                 std::chrono::seconds pingInterval, Args&&... args)
        : owner_(owner),
          url_(url),
          headers_(headers),
          pingInterval_(pingInterval),
          ws_(std::forward<Args>(args)...) {}

    void start(const tcp::resolver::results_type& endpoints) override {
        beast::get_lowest_layer(ws_).expires_after(kConnectTimeout);
        beast::get_lowest_layer(ws_).async_connect(
            endpoints, [self = self()](beast::error_code ec, const tcp::endpoint&) {
                if (ec)
                    return self->fail(ec, "connect");
                beast::error_code ignored;
                beast::get_lowest_layer(self->ws_).socket().set_option(tcp::no_delay(true),
                                                                       ignored);
                self->secure();
            });
    }

    void enqueue(Outgoing item) override {
        if (!open_ || closing_)
            return;
        if (item.kind == Outgoing::Kind::Close)
            closing_ = true;
        outbox_.push_back(std::move(item));
        if (!writing_)
            writeNext();
    }

    void abort() override {
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    static constexpr bool kTls = std::is_same_v<NextLayer, beast::ssl_stream<beast::tcp_stream>>;

    std::shared_ptr<ConnectionOf> self() {
        return std::static_pointer_cast<ConnectionOf>(shared_from_this());
    }

    void secure() {
        if constexpr (kTls) {
            SSL* ssl = ws_.next_layer().native_handle();
            // Certificates name hosts, not addresses, except where they carry an IP entry;
            // SNI takes host names only.
            if (isIpAddress(url_.host)) {
                X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), url_.host.c_str());
            } else {
                SSL_set_tlsext_host_name(ssl, url_.host.c_str());
                SSL_set1_host(ssl, url_.host.c_str());
            }
            ws_.next_layer().set_verify_mode(ssl::verify_peer);
            ws_.next_layer().async_handshake(ssl::stream_base::client,
                                             [self = self()](beast::error_code ec) {
                                                 if (ec)
                                                     return self->fail(ec, "TLS handshake");
                                                 self->upgrade();
                                             });
        } else {
            upgrade();
        }
    }

    void upgrade() {
        // The WebSocket stream keeps its own timers from here on.
        beast::get_lowest_layer(ws_).expires_never();
        // Beast's keep-alive sends a ping every half idle period and drops a connection that
        // received nothing, not even the pong, for the half period after it: a ping every
        // interval, and a silently dead link noticed within two intervals instead of when
        // TCP gives up minutes later.
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = kConnectTimeout;
        timeouts.idle_timeout =
            pingInterval_.count() > 0
                ? std::chrono::duration_cast<std::chrono::nanoseconds>(2 * pingInterval_)
                : websocket::stream_base::none();
        timeouts.keep_alive_pings = pingInterval_.count() > 0;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [headers = headers_](websocket::request_type& request) {
                for (const auto& [name, value] : headers)
                    request.set(name, value);
            }));
        ws_.async_handshake(response_, url_.hostHeader, url_.target,
                            [self = self()](beast::error_code ec) {
                                if (ec == websocket::error::upgrade_declined)
                                    return self->refused();
                                if (ec)
                                    return self->fail(ec, "WebSocket handshake");
                                self->open_ = true;
                                self->owner_.connectionOpened(self.get());
                                self->read();
                            });
    }

    void refused() {
        WebSocketMessage event;
        event.type = WebSocketMessageType::Error;
        event.httpStatus = response_.result_int();
        event.reason = fmt::format("Expected HTTP 101 Switching Protocols, got {} {}",
                                   response_.result_int(), std::string(response_.reason()));
        // Services explain a refusal (a wrong key, a bad parameter) in the body; a short
        // single-line excerpt makes the status useful to the user.
        const std::string& full = response_.body();
        std::size_t cut = std::min<std::size_t>(full.size(), 200);
        while (cut > 0 && cut < full.size() &&
               (static_cast<unsigned char>(full[cut]) & 0xC0) == 0x80)
            --cut;  // never split a UTF-8 sequence
        std::string body = full.substr(0, cut);
        std::replace_if(
            body.begin(), body.end(), [](unsigned char c) { return c < 0x20; }, ' ');
        if (body.find_first_not_of(' ') != std::string::npos)
            event.reason += ": " + body;
        abort();
        end(std::move(event));
    }

    void fail(beast::error_code ec, const char* step) {
        WebSocketMessage event;
        event.type = WebSocketMessageType::Error;
        event.reason = fmt::format("{} failed: {}", step, ec.message());
        abort();
        end(std::move(event));
    }

    void read() {
        ws_.async_read(buffer_, [self = self()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->lost(ec);
            WebSocketMessage message;
            message.type = WebSocketMessageType::Message;
            message.binary = !self->ws_.got_text();
            message.data = beast::buffers_to_string(self->buffer_.data());
            self->buffer_.consume(self->buffer_.size());
            self->owner_.connectionMessage(self.get(), std::move(message));
            self->read();
        });
    }

    void lost(beast::error_code ec) {
        WebSocketMessage event;
        event.type = WebSocketMessageType::Close;
        if (ec == websocket::error::closed) {
            event.closeCode = ws_.reason().code;
            event.reason = std::string(ws_.reason().reason.c_str());
        } else {
            event.closeCode = kAbnormalClosure;
            event.reason = fmt::format("Abnormal closure ({})", ec.message());
        }
        abort();
        end(std::move(event));
    }

    void end(WebSocketMessage event) {
        if (ended_)
            return;
        ended_ = true;
        open_ = false;
        outbox_.clear();
        owner_.connectionEnded(this, std::move(event));
    }

    void writeNext() {
        if (outbox_.empty() || ended_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        auto done = [self = self()](beast::error_code ec, std::size_t = 0) {
            if (!self->outbox_.empty())
                self->outbox_.pop_front();
            if (ec) {
                // A broken connection ends at once, whichever side meets it first; a write
                // cancelled by our own abort was ended by whoever aborted.
                self->writing_ = false;
                if (ec != net::error::operation_aborted)
                    self->lost(ec);
                return;
            }
            self->writeNext();
        };
        Outgoing& next = outbox_.front();
        switch (next.kind) {
            case Outgoing::Kind::Binary:
            case Outgoing::Kind::Text:
                ws_.binary(next.kind == Outgoing::Kind::Binary);
                ws_.async_write(net::buffer(next.data), std::move(done));
                break;
            case Outgoing::Kind::Close: {
                websocket::close_reason reason(static_cast<websocket::close_code>(next.code),
                                               // a close frame has room for 123 bytes of reason
                                               beast::string_view(next.data).substr(0, 123));
                ws_.async_close(reason,
                                [done = std::move(done)](beast::error_code ec) { done(ec); });
                break;
            }
        }
    }

    Runner& owner_;
    const ParsedUrl& url_;
    const WebSocketHeaders& headers_;
    const std::chrono::seconds pingInterval_;
    websocket::stream<NextLayer> ws_;
    websocket::response_type response_;
    beast::flat_buffer buffer_;
    std::deque<Outgoing> outbox_;
    bool writing_ = false;
    bool closing_ = false;
    bool ended_ = false;
};

void Runner::open(const tcp::resolver::results_type& results) {
    if (url_->tls)
        connection_ = std::make_shared<ConnectionOf<beast::ssl_stream<beast::tcp_stream>>>(
            *this, *url_, options_.headers, pingInterval(), io_, tls_);
    else
        connection_ = std::make_shared<ConnectionOf<beast::tcp_stream>>(
            *this, *url_, options_.headers, pingInterval(), io_);
    connection_->start(results);
}

}  // namespace

struct WebSocketClient::Impl {
    ClientOptions options;
    std::atomic<bool> open{false};
    std::mutex runnerMutex;  // guards runner against sends racing a stop
    std::unique_ptr<Runner> runner;
    std::jthread thread;  // runs the runner; declared last

    bool post(Outgoing item) {
        std::lock_guard lock(runnerMutex);
        if (!runner || !open)
            return false;
        runner->post([runner = runner.get(), item = std::move(item)]() mutable {
            runner->send(std::move(item));
        });
        return true;
    }
};

WebSocketClient::WebSocketClient() : impl_(std::make_unique<Impl>()) {}

WebSocketClient::~WebSocketClient() {
    stop();
}

void WebSocketClient::setUrl(const std::string& url) {
    impl_->options.url = url;
}

void WebSocketClient::setExtraHeaders(WebSocketHeaders headers) {
    impl_->options.headers = std::move(headers);
}

void WebSocketClient::setPingInterval(int seconds) {
    impl_->options.pingSeconds = seconds;
}

void WebSocketClient::enableAutomaticReconnection() {
    impl_->options.reconnect = true;
}

void WebSocketClient::setMaxWaitBetweenReconnectionRetries(int milliseconds) {
    impl_->options.maxWaitMs = milliseconds;
}

void WebSocketClient::addTrustedCaFile(const std::string& path) {
    impl_->options.caFiles.push_back(path);
}

void WebSocketClient::setOnMessageCallback(WebSocketMessageCallback callback) {
    impl_->options.callback = std::move(callback);
}

void WebSocketClient::start() {
    stop();
    std::lock_guard lock(impl_->runnerMutex);
    impl_->runner = std::make_unique<Runner>(impl_->options, impl_->open);
    impl_->thread = std::jthread([runner = impl_->runner.get()] { runner->run(); });
}

bool WebSocketClient::sendBinary(std::string data) {
    return impl_->post(Outgoing{Outgoing::Kind::Binary, std::move(data), 0});
}

bool WebSocketClient::sendText(std::string text) {
    return impl_->post(Outgoing{Outgoing::Kind::Text, std::move(text), 0});
}

void WebSocketClient::stop(std::uint16_t code, const std::string& reason) {
    {
        std::lock_guard lock(impl_->runnerMutex);
        if (!impl_->runner)
            return;
        impl_->runner->post(
            [runner = impl_->runner.get(), code, reason] { runner->shutdown(code, reason); });
    }
    if (impl_->thread.joinable())
        impl_->thread.join();
    std::lock_guard lock(impl_->runnerMutex);
    impl_->runner.reset();
    impl_->open = false;
}

}  // namespace morvelin
