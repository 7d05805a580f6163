#include "tests/support/local_ws_server.h"

// Asio needs <utility> before its own headers with this standard library.
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace halvenor::test {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;

namespace {

// Asio opens and accepts sockets without close-on-exec. A child that a test starts meanwhile
// (a player, a tool) would hold the connection open, and a dropped connection would reset only
// when that child exits.
void closeOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

bool WsHandshake::hasHeader(const std::string& lowerCaseName) const {
    return headers.count(lowerCaseName) != 0;
}

std::string WsHandshake::header(const std::string& lowerCaseName) const {
    const auto it = headers.find(lowerCaseName);
    return it == headers.end() ? std::string() : it->second;
}

// ---- test certificates ---------------------------------------------------------------

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;

void check(bool ok, const char* step) {
    if (!ok)
        throw std::runtime_error(std::string("test certificate: ") + step + " failed");
}

PkeyPtr makeKey() {
    PkeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EVP_EC_gen");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    check(ext != nullptr, "X509V3_EXT_conf_nid");
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(added == 1, "X509_add_ext");
}

X509Ptr makeCertificate(EVP_PKEY* key, const std::string& commonName, long serial, X509* issuer,
                        EVP_PKEY* issuerKey, bool isCa, const std::string& dnsName) {
    X509Ptr cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), 2) == 1, "X509_set_version");
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    check(X509_set_pubkey(cert.get(), key) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509* signer = issuer ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1,
          "X509_set_issuer_name");
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (isCa) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, ("DNS:" + dnsName).c_str());
    }
    check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "X509_sign");
    return cert;
}

std::unique_ptr<std::FILE, FileClose> openForWriting(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "wb"));
    check(file != nullptr, "fopen");
    return file;
}

}  // namespace

TestCertificates makeTestCertificates(const std::filesystem::path& dir,
                                      const std::string& dnsName) {
    TestCertificates result{dir / "ca.pem", dir / "server.pem", dir / "server.key"};
    const PkeyPtr caKey = makeKey();
    const X509Ptr ca =
        makeCertificate(caKey.get(), "Halvenor Test CA", 1, nullptr, caKey.get(), true, {});
    const PkeyPtr serverKey = makeKey();
    const X509Ptr server =
        makeCertificate(serverKey.get(), dnsName, 2, ca.get(), caKey.get(), false, dnsName);
    check(PEM_write_X509(openForWriting(result.caFile).get(), ca.get()) == 1, "PEM_write_X509");
    check(PEM_write_X509(openForWriting(result.certificateFile).get(), server.get()) == 1,
          "PEM_write_X509");
    check(PEM_write_PrivateKey(openForWriting(result.privateKeyFile).get(), serverKey.get(),
                               nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "PEM_write_PrivateKey");
    return result;
}

// ---- server ----------------------------------------------------------------------------

namespace {

// What a session reports back; implemented by the server's Impl.
class SessionHost {
public:
    virtual ~SessionHost() = default;
    // Records the handshake and returns the refusal status (0 accepts) and body.
    virtual std::pair<int, std::string> onHandshake(WsHandshake handshake) = 0;
    // An accepted handshake whose response is being written; ended by onOpen or onAcceptFailed.
    virtual void onAcceptStarted() = 0;
    virtual void onAcceptFailed() = 0;
    virtual void onOpen(int connectionIndex) = 0;
    virtual void onMessage(WsReceived message) = 0;
    virtual void onPing() = 0;
    virtual void onClosed(int connectionIndex, bool wasOpen,
                          std::optional<WsCloseReceived> close) = 0;
};

class Session : public std::enable_shared_from_this<Session> {
public:
    virtual ~Session() = default;
    virtual void start() = 0;
    virtual void send(bool binary, std::string data) = 0;
    virtual void close(std::uint16_t code, std::string reason) = 0;
    virtual void drop() = 0;
    virtual bool isOpen() const = 0;
    virtual int index() const = 0;
};

template <class Next>
class SessionOf final : public Session {
public:
    template <class... Args>
    SessionOf(SessionHost& host, int index, Args&&... args)
        : host_(host), index_(index), ws_(std::forward<Args>(args)...) {}

    int index() const override { return index_; }

    void start() override {
        if constexpr (kTls) {
            ws_.next_layer().async_handshake(ssl::stream_base::server,
                                             [self = self()](beast::error_code ec) {
                                                 if (ec)
                                                     return self->finish(ec);
                                                 self->readRequest();
                                             });
        } else {
            readRequest();
        }
    }

    void send(bool binary, std::string data) override {
        if (!open_)
            return;
        outbox_.push_back(Outgoing{false, binary, std::move(data), 0});
        if (!writing_)
            writeNext();
    }

    void close(std::uint16_t code, std::string reason) override {
        if (!open_)
            return;
        outbox_.push_back(Outgoing{true, false, std::move(reason), code});
        if (!writing_)
            writeNext();
    }

    void drop() override {
        beast::error_code ignored;
        auto& socket = beast::get_lowest_layer(ws_).socket();
        socket.set_option(net::socket_base::linger(true, 0), ignored);
        socket.close(ignored);
    }

    bool isOpen() const override { return open_; }

private:
    static constexpr bool kTls = std::is_same_v<Next, beast::ssl_stream<beast::tcp_stream>>;

    struct Outgoing {
        bool isClose;
        bool binary;
        std::string data;  // the reason of a close
        std::uint16_t code;
    };

    std::shared_ptr<SessionOf> self() {
        return std::static_pointer_cast<SessionOf>(shared_from_this());
    }

    void readRequest() {
        http::async_read(ws_.next_layer(), buffer_, request_,
                         [self = self()](beast::error_code ec, std::size_t) {
                             if (ec)
                                 return self->finish(ec);
                             self->onRequest();
                         });
    }

    void onRequest() {
        WsHandshake handshake;
        handshake.connectionIndex = index_;
        handshake.target = std::string(request_.target());
        for (const auto& field : request_) {
            std::string name(field.name_string());
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            handshake.headers[name] = std::string(field.value());
        }
        const auto [status, body] = host_.onHandshake(std::move(handshake));
        if (status != 0)
            return refuse(status, body);
        if (!websocket::is_upgrade(request_))
            return refuse(400, "not a WebSocket upgrade");

        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
            if (kind == websocket::frame_type::ping)
                host_.onPing();
        });
        host_.onAcceptStarted();
        ws_.async_accept(request_, [self = self()](beast::error_code ec) {
            if (ec) {
                self->host_.onAcceptFailed();
                return self->finish(ec);
            }
            self->open_ = true;
            self->host_.onOpen(self->index_);
            self->readMessage();
        });
    }

    void refuse(int status, const std::string& body) {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(status), request_.version());
        response->set(http::field::content_type, "text/plain");
        response->set(http::field::connection, "close");
        response->body() = body;
        response->prepare_payload();
        http::async_write(ws_.next_layer(), *response,
                          [self = self(), response](beast::error_code, std::size_t) {
                              self->drop();
                              self->finish({});
                          });
    }

    void readMessage() {
        ws_.async_read(buffer_, [self = self()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->finish(ec);
            WsReceived message{self->index_, !self->ws_.got_text(),
                               beast::buffers_to_string(self->buffer_.data())};
            self->buffer_.consume(self->buffer_.size());
            self->host_.onMessage(std::move(message));
            self->readMessage();
        });
    }

    void writeNext() {
        if (outbox_.empty() || !open_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        Outgoing& next = outbox_.front();
        if (next.isClose) {
            ws_.async_close(
                websocket::close_reason(static_cast<websocket::close_code>(next.code), next.data),
                [self = self()](beast::error_code) { self->outbox_.clear(); });
            return;
        }
        ws_.binary(next.binary);
        ws_.async_write(net::buffer(next.data), [self = self()](beast::error_code ec, std::size_t) {
            self->outbox_.pop_front();
            if (ec) {
                self->writing_ = false;
                return;
            }
            self->writeNext();
        });
    }

    void finish(beast::error_code ec) {
        if (finished_)
            return;
        finished_ = true;
        const bool wasOpen = open_;
        open_ = false;
        std::optional<WsCloseReceived> close;
        if (ec == websocket::error::closed)
            close = WsCloseReceived{index_, ws_.reason().code,
                                    std::string(ws_.reason().reason.c_str())};
        host_.onClosed(index_, wasOpen, std::move(close));
    }

    SessionHost& host_;
    const int index_;
    websocket::stream<Next> ws_;
    beast::flat_buffer buffer_;
    http::request<http::string_body> request_;
    std::deque<Outgoing> outbox_;
    bool writing_ = false;
    bool open_ = false;
    bool finished_ = false;
};

}  // namespace

struct LocalWsServer::Impl final : SessionHost {
    // The TLS context outlives the I/O context, whose destruction may free the last sessions.
    std::optional<ssl::context> tlsContext;
    net::io_context io;
    net::executor_work_guard<net::io_context::executor_type> work = net::make_work_guard(io);
    tcp::acceptor acceptor{io};
    unsigned short port = 0;
    std::vector<std::weak_ptr<Session>> sessions;  // I/O thread only
    std::weak_ptr<Session> latestOpen;             // I/O thread only

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    int accepted = 0;
    int open = 0;
    int acceptsInFlight = 0;  // handshakes answered 101 whose session is not open yet
    int pings = 0;
    int refuseStatus = 0;
    std::string refuseBody;
    std::vector<WsHandshake> handshakes;
    std::vector<WsReceived> messages;
    std::vector<WsCloseReceived> closes;

    std::jthread thread;  // runs io; declared last so it joins before the state goes

    void listen(unsigned short onPort) {
        const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), onPort);
        acceptor.open(endpoint.protocol());
        closeOnExec(acceptor.native_handle());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
        port = acceptor.local_endpoint().port();
        accept();
    }

    void accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec)
                return;  // the acceptor was closed
            closeOnExec(socket.native_handle());
            socket.set_option(tcp::no_delay(true));
            int index;
            {
                std::lock_guard lock(mutex);
                index = ++accepted;
            }
            changed.notify_all();
            std::shared_ptr<Session> session;
            if (tlsContext)
                session = std::make_shared<SessionOf<beast::ssl_stream<beast::tcp_stream>>>(
                    *this, index, std::move(socket), *tlsContext);
            else
                session =
                    std::make_shared<SessionOf<beast::tcp_stream>>(*this, index, std::move(socket));
            std::erase_if(sessions, [](const auto& weak) { return weak.expired(); });
            sessions.push_back(session);
            session->start();
            accept();
        });
    }

    template <typename Function>
    auto runOnIo(Function function) {
        std::packaged_task<decltype(function())()> task(std::move(function));
        auto result = task.get_future();
        net::post(io, [&task] { task(); });
        return result.get();
    }

    std::shared_ptr<Session> latest() {
        auto session = latestOpen.lock();
        return session && session->isOpen() ? session : nullptr;
    }

    std::pair<int, std::string> onHandshake(WsHandshake handshake) override {
        std::lock_guard lock(mutex);
        handshakes.push_back(std::move(handshake));
        changed.notify_all();
        return {refuseStatus, refuseBody};
    }

    void onAcceptStarted() override {
        std::lock_guard lock(mutex);
        ++acceptsInFlight;
    }

    void onAcceptFailed() override {
        std::lock_guard lock(mutex);
        --acceptsInFlight;
        changed.notify_all();
    }

    // A client may see its handshake complete before this side has finished the accept; a
    // test that sends right after its client reported "open" means the new session.
    void waitForAcceptsToSettle() const {
        waitFor(std::chrono::seconds(2), [this] { return acceptsInFlight == 0; });
    }

    void onOpen(int connectionIndex) override {
        for (const auto& weak : sessions) {
            auto session = weak.lock();
            if (session && session->isOpen())
                latestOpen = session;  // the newest is last
        }
        (void)connectionIndex;
        std::lock_guard lock(mutex);
        ++open;
        --acceptsInFlight;
        changed.notify_all();
    }

    void onMessage(WsReceived message) override {
        std::lock_guard lock(mutex);
        messages.push_back(std::move(message));
        changed.notify_all();
    }

    void onPing() override {
        std::lock_guard lock(mutex);
        ++pings;
        changed.notify_all();
    }

    void onClosed(int, bool wasOpen, std::optional<WsCloseReceived> close) override {
        std::lock_guard lock(mutex);
        if (wasOpen)
            --open;
        if (close)
            closes.push_back(std::move(*close));
        changed.notify_all();
    }

    template <typename Predicate>
    bool waitFor(std::chrono::milliseconds timeout, Predicate predicate) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }
};

LocalWsServer::LocalWsServer() : LocalWsServer(Options{}) {}

LocalWsServer::LocalWsServer(const Options& options) : impl_(std::make_unique<Impl>()) {
    if (!options.certificateFile.empty()) {
        impl_->tlsContext.emplace(ssl::context::tls_server);
        impl_->tlsContext->use_certificate_chain_file(options.certificateFile.string());
        impl_->tlsContext->use_private_key_file(options.privateKeyFile.string(), ssl::context::pem);
    }
    impl_->listen(0);
    impl_->thread = std::jthread([this] { impl_->io.run(); });
}

LocalWsServer::~LocalWsServer() {
    impl_->runOnIo([this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        for (const auto& weak : impl_->sessions)
            if (auto session = weak.lock())
                session->drop();
    });
    impl_->work.reset();
    impl_->io.stop();
    impl_->thread.join();
}

unsigned short LocalWsServer::port() const {
    return impl_->port;
}

std::string LocalWsServer::baseUrl(const std::string& host) const {
    return (impl_->tlsContext ? "wss://" : "ws://") + host + ":" + std::to_string(impl_->port);
}

void LocalWsServer::refuseHandshakes(int status, std::string body) {
    std::lock_guard lock(impl_->mutex);
    impl_->refuseStatus = status;
    impl_->refuseBody = std::move(body);
}

bool LocalWsServer::sendText(const std::string& text) {
    impl_->waitForAcceptsToSettle();
    return impl_->runOnIo([&] {
        auto session = impl_->latest();
        if (session)
            session->send(false, text);
        return session != nullptr;
    });
}

bool LocalWsServer::sendTextTo(int connectionIndex, const std::string& text) {
    impl_->waitForAcceptsToSettle();
    return impl_->runOnIo([&] {
        for (const auto& weak : impl_->sessions) {
            auto session = weak.lock();
            if (session && session->isOpen() && session->index() == connectionIndex) {
                session->send(false, text);
                return true;
            }
        }
        return false;
    });
}

bool LocalWsServer::sendBinary(const std::string& data) {
    impl_->waitForAcceptsToSettle();
    return impl_->runOnIo([&] {
        auto session = impl_->latest();
        if (session)
            session->send(true, data);
        return session != nullptr;
    });
}

bool LocalWsServer::close(std::uint16_t code, const std::string& reason) {
    impl_->waitForAcceptsToSettle();
    return impl_->runOnIo([&] {
        auto session = impl_->latest();
        if (session)
            session->close(code, reason);
        return session != nullptr;
    });
}

void LocalWsServer::dropConnections() {
    impl_->runOnIo([this] {
        for (const auto& weak : impl_->sessions)
            if (auto session = weak.lock())
                session->drop();
    });
}

void LocalWsServer::stopAccepting() {
    impl_->runOnIo([this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
    });
}

void LocalWsServer::resumeAccepting() {
    impl_->runOnIo([this] {
        if (!impl_->acceptor.is_open())
            impl_->listen(impl_->port);
    });
}

int LocalWsServer::acceptedConnections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->accepted;
}

int LocalWsServer::openConnections() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->open;
}

int LocalWsServer::pingsReceived() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->pings;
}

std::vector<WsHandshake> LocalWsServer::handshakes() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->handshakes;
}

std::vector<WsReceived> LocalWsServer::messages() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->messages;
}

std::vector<WsCloseReceived> LocalWsServer::closesReceived() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->closes;
}

bool LocalWsServer::waitForHandshakes(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->handshakes.size() >= count; });
}

bool LocalWsServer::waitForOpenConnections(int count, std::chrono::milliseconds timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->open >= count; });
}

bool LocalWsServer::waitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->messages.size() >= count; });
}

bool LocalWsServer::waitForCloses(std::size_t count, std::chrono::milliseconds timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->closes.size() >= count; });
}

bool LocalWsServer::waitForPings(int count, std::chrono::milliseconds timeout) const {
    return impl_->waitFor(timeout, [&] { return impl_->pings >= count; });
}

}  // namespace halvenor::test
