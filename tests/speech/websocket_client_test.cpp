#include "speech/websocket_client.h"

#include "base/base64.h"

#include "tests/support/local_ws_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace morvelin {
namespace {

using halvenor::test::LocalWsServer;
using halvenor::test::TempDir;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Collects the client's events as they arrive on its I/O thread.
class Events {
public:
    WebSocketMessageCallback callback() {
        return [this](const WebSocketMessage& message) {
            std::lock_guard lock(mutex_);
            events_.push_back({message, Clock::now()});
            changed_.notify_all();
        };
    }

    // Waits until `count` events of the type have arrived.
    bool waitFor(WebSocketMessageType type, std::size_t count = 1,
                 std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return countLocked(type) >= count; });
    }

    std::vector<WebSocketMessage> of(WebSocketMessageType type) const {
        std::lock_guard lock(mutex_);
        std::vector<WebSocketMessage> result;
        for (const auto& event : events_)
            if (event.message.type == type)
                result.push_back(event.message);
        return result;
    }

    std::vector<Clock::time_point> timesOf(WebSocketMessageType type) const {
        std::lock_guard lock(mutex_);
        std::vector<Clock::time_point> result;
        for (const auto& event : events_)
            if (event.message.type == type)
                result.push_back(event.at);
        return result;
    }

    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }

private:
    std::size_t countLocked(WebSocketMessageType type) const {
        std::size_t n = 0;
        for (const auto& event : events_)
            n += event.message.type == type;
        return n;
    }

    struct Timed {
        WebSocketMessage message;
        Clock::time_point at;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Timed> events_;
};

TEST(WebSocketClient, ExchangesMessagesAndClosesWithTheGivenCodeAndReason) {
    LocalWsServer server;
    Events events;
    WebSocketClient client;
    client.setUrl(server.baseUrl() + "/v1/listen?a=1&b=2");
    client.setExtraHeaders({{"Authorization", "Token k"}});
    client.setOnMessageCallback(events.callback());
    EXPECT_FALSE(client.sendText("before start"));
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));

    ASSERT_EQ(server.handshakes().size(), 1u);
    EXPECT_EQ(server.handshakes()[0].target, "/v1/listen?a=1&b=2");
    EXPECT_EQ(server.handshakes()[0].header("authorization"), "Token k");
    EXPECT_EQ(server.handshakes()[0].header("host"), "127.0.0.1:" + std::to_string(server.port()));

    EXPECT_TRUE(client.sendText("first"));
    EXPECT_TRUE(client.sendBinary(std::string("\0\1\2", 3)));
    ASSERT_TRUE(server.waitForMessages(2, 5s));
    EXPECT_FALSE(server.messages()[0].binary);
    EXPECT_EQ(server.messages()[0].data, "first");
    EXPECT_TRUE(server.messages()[1].binary);
    EXPECT_EQ(server.messages()[1].data, std::string("\0\1\2", 3));

    ASSERT_TRUE(server.sendText("down"));
    ASSERT_TRUE(server.sendBinary("bin"));
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Message, 2));
    const auto received = events.of(WebSocketMessageType::Message);
    EXPECT_EQ(received[0].data, "down");
    EXPECT_FALSE(received[0].binary);
    EXPECT_EQ(received[1].data, "bin");
    EXPECT_TRUE(received[1].binary);

    // Queued data goes out before the close frame.
    EXPECT_TRUE(client.sendText("last words"));
    client.stop(1000, "Normal closure");
    ASSERT_TRUE(server.waitForCloses(1, 5s));
    EXPECT_EQ(server.messages().back().data, "last words");
    EXPECT_EQ(server.closesReceived()[0].code, 1000);
    EXPECT_EQ(server.closesReceived()[0].reason, "Normal closure");
    const auto closes = events.of(WebSocketMessageType::Close);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].reason, "Normal closure");
    EXPECT_FALSE(client.sendText("after stop"));
    client.stop();  // a second stop does nothing
    EXPECT_EQ(events.of(WebSocketMessageType::Close).size(), 1u);
}

TEST(WebSocketClient, SendsFromManyThreadsKeepingEachThreadsOrder) {
    LocalWsServer server;
    Events events;
    WebSocketClient client;
    client.setUrl(server.baseUrl());
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    {
        std::vector<std::jthread> senders;
        for (int t = 0; t < kThreads; ++t)
            senders.emplace_back([&client, t] {
                for (int i = 0; i < kEach; ++i)
                    client.sendBinary(std::to_string(t) + ":" + std::to_string(i));
            });
    }
    ASSERT_TRUE(server.waitForMessages(kThreads * kEach, 10s));
    std::vector<int> next(kThreads, 0);
    for (const auto& message : server.messages()) {
        const int t = std::stoi(message.data.substr(0, message.data.find(':')));
        EXPECT_EQ(message.data, std::to_string(t) + ":" + std::to_string(next[t]));
        ++next[t];
    }
    client.stop();
}

TEST(WebSocketClient, PingsAtTheConfiguredInterval) {
    LocalWsServer server;
    Events events;
    WebSocketClient client;
    client.setUrl(server.baseUrl());
    client.setPingInterval(1);
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));
    EXPECT_FALSE(server.waitForPings(1, 600ms));  // not before the interval
    EXPECT_TRUE(server.waitForPings(2, 3s));
}

TEST(WebSocketClient, ReportsARefusedHandshakeAndRetriesWithDoublingWaits) {
    LocalWsServer server;
    server.refuseHandshakes(401, "invalid credentials");
    Events events;
    WebSocketClient client;
    client.setUrl(server.baseUrl() + "/listen");
    client.enableAutomaticReconnection();
    client.setMaxWaitBetweenReconnectionRetries(300);
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Error, 6));
    const auto errors = events.of(WebSocketMessageType::Error);
    EXPECT_EQ(errors[0].httpStatus, 401);
    EXPECT_EQ(errors[0].reason,
              "Expected HTTP 101 Switching Protocols, got 401 Unauthorized: invalid credentials");
    EXPECT_TRUE(events.of(WebSocketMessageType::Open).empty());

    // Waits of 100, 200 and then 300 ms (the maximum) lie between the attempts; without the
    // maximum the fifth would be 1600 ms.
    const auto times = events.timesOf(WebSocketMessageType::Error);
    const auto gap = [&](int i) { return times[i + 1] - times[i]; };
    EXPECT_GE(gap(0), 90ms);
    EXPECT_GE(gap(1), 190ms);
    EXPECT_GE(gap(2), 290ms);
    EXPECT_GE(gap(3), 290ms);
    EXPECT_GE(gap(4), 290ms);
    EXPECT_LT(gap(4), 1000ms);

    const auto before = Clock::now();
    client.stop();
    EXPECT_LT(Clock::now() - before, 500ms);  // a stop cuts the wait short
    const auto handshakes = server.handshakes().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.handshakes().size(), handshakes);
}

TEST(WebSocketClient, ReconnectsAfterALostConnectionAndAServerThatWasDown) {
    LocalWsServer server;
    Events events;
    WebSocketClient client;
    client.setUrl(server.baseUrl());
    client.enableAutomaticReconnection();
    client.setMaxWaitBetweenReconnectionRetries(200);
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));

    server.stopAccepting();
    server.dropConnections();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Close));
    EXPECT_EQ(events.of(WebSocketMessageType::Close)[0].closeCode, 1006);
    EXPECT_EQ(events.of(WebSocketMessageType::Close)[0].reason.rfind("Abnormal closure", 0), 0u);
    EXPECT_FALSE(client.sendText("while down"));
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Error, 2));
    const auto error = events.of(WebSocketMessageType::Error)[0];
    EXPECT_EQ(error.httpStatus, 0);
    EXPECT_NE(error.reason.find("refused"), std::string::npos) << error.reason;

    server.resumeAccepting();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open, 2));
    EXPECT_TRUE(server.waitForOpenConnections(1, 5s));
    EXPECT_TRUE(client.sendText("back"));
    ASSERT_TRUE(server.waitForMessages(1, 5s));
    EXPECT_EQ(server.messages()[0].data, "back");

    // A close from the server carries its code and reason, and the client comes back.
    ASSERT_TRUE(server.close(4000, "server going away"));
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Close, 2));
    EXPECT_EQ(events.of(WebSocketMessageType::Close)[1].closeCode, 4000);
    EXPECT_EQ(events.of(WebSocketMessageType::Close)[1].reason, "server going away");
    EXPECT_TRUE(events.waitFor(WebSocketMessageType::Open, 3));
}

TEST(WebSocketClient, NoticesAResetMidStreamAtOnceAndReconnects) {
    LocalWsServer server;
    Events events;
    WebSocketClient client;
    client.setUrl(server.baseUrl());
    client.setPingInterval(15);
    client.enableAutomaticReconnection();
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));
    ASSERT_TRUE(server.waitForOpenConnections(1, 5s));

    // Audio goes up while the peer resets; a child process (a player, say) runs meanwhile and
    // must not hold the connection open.
    std::jthread sender([&client](std::stop_token stop) {
        while (!stop.stop_requested()) {
            client.sendBinary(std::string(3200, '\x11'));
            std::this_thread::sleep_for(10ms);
        }
    });
    halvenor::test::Subprocess child({"sleep", "5"});
    ASSERT_TRUE(server.waitForMessages(5, 5s));
    const auto reset = Clock::now();
    server.dropConnections();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Close, 1, 5s));
    EXPECT_LT(events.timesOf(WebSocketMessageType::Close)[0] - reset, 100ms);
    EXPECT_EQ(events.of(WebSocketMessageType::Close)[0].closeCode, 1006);
    EXPECT_TRUE(events.waitFor(WebSocketMessageType::Open, 2, 2s));  // the first retry: 100 ms
    sender.request_stop();
    sender.join();
    client.stop();
}

TEST(WebSocketClient, WithoutReconnectionOneFailureEndsTheRun) {
    Events events;
    WebSocketClient client;
    client.setUrl("http://127.0.0.1:1/");
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Error));
    EXPECT_EQ(events.of(WebSocketMessageType::Error)[0].reason, "invalid URL: http://127.0.0.1:1/");
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(events.size(), 1u);
    client.stop();
}

TEST(WebSocketClient, StopsPromptlyWhileThePeerNeverAnswersTheHandshake) {
    // A listener that never accepts: the kernel completes the TCP connection, nobody answers
    // the upgrade request.
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);

    Events events;
    WebSocketClient client;
    client.setUrl("ws://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
    client.enableAutomaticReconnection();
    client.setOnMessageCallback(events.callback());
    client.start();
    std::this_thread::sleep_for(200ms);
    const auto before = Clock::now();
    client.stop();
    EXPECT_LT(Clock::now() - before, 500ms);
    EXPECT_EQ(events.size(), 0u);  // neither opened nor failed: nothing to report
    close(listener);
}

// Completes the opening handshake by hand and then neither reads nor writes: a link that died
// without a FIN or a reset.
class SilentPeer {
public:
    SilentPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(listener_, 4);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::jthread([this] { serve(); });
    }
    ~SilentPeer() {
        shutdown(listener_, SHUT_RDWR);  // wakes the accept
        thread_.join();
        if (connection_ >= 0)
            close(connection_);
        close(listener_);
    }
    std::string url() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/"; }

private:
    void serve() {
        connection_ = accept(listener_, nullptr, nullptr);
        if (connection_ < 0)
            return;
        std::string request;
        char buffer[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            const auto n = read(connection_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string keyName = "Sec-WebSocket-Key: ";
        const auto keyAt = request.find(keyName) + keyName.size();
        const std::string key = request.substr(keyAt, request.find("\r\n", keyAt) - keyAt) +
                                "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestSize = 0;
        EVP_Digest(key.data(), key.size(), digest, &digestSize, EVP_sha1(), nullptr);
        const std::string response =
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Accept: " +
            base64Encode(digest, digestSize) + "\r\n\r\n";
        if (write(connection_, response.data(), response.size()) < 0)
            return;
    }

    int listener_ = -1;
    int connection_ = -1;
    unsigned short port_ = 0;
    std::jthread thread_;
};

TEST(WebSocketClient, TreatsALinkThatAnswersNoPingAsLost) {
    SilentPeer peer;
    Events events;
    WebSocketClient client;
    client.setUrl(peer.url());
    client.setPingInterval(1);
    client.setOnMessageCallback(events.callback());
    client.start();
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));
    const auto opened = Clock::now();
    // A ping after one interval, nothing back for another: lost after about two.
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Close, 1, 5s));
    EXPECT_GE(Clock::now() - opened, 1500ms);
    const auto close = events.of(WebSocketMessageType::Close)[0];
    EXPECT_EQ(close.closeCode, 1006);
    EXPECT_EQ(close.reason.rfind("Abnormal closure", 0), 0u) << close.reason;
    client.stop();
}

class WebSocketClientTls : public ::testing::Test {
protected:
    TempDir dir;
    halvenor::test::TestCertificates certificates =
        halvenor::test::makeTestCertificates(dir.path(), "localhost");
    LocalWsServer server{{certificates.certificateFile, certificates.privateKeyFile}};
    Events events;
    WebSocketClient client;

    void startAt(const std::string& host, bool trustTestCa) {
        client.setUrl(server.baseUrl(host) + "/v1/listen");
        if (trustTestCa)
            client.addTrustedCaFile(certificates.caFile.string());
        client.setOnMessageCallback(events.callback());
        client.start();
    }
};

TEST_F(WebSocketClientTls, VerifiesTheServerByItsName) {
    startAt("localhost", true);
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Open));
    EXPECT_EQ(server.handshakes()[0].target, "/v1/listen");
    EXPECT_TRUE(client.sendText("secret"));
    ASSERT_TRUE(server.waitForMessages(1, 5s));
    EXPECT_EQ(server.messages()[0].data, "secret");
    client.stop();
    EXPECT_TRUE(server.waitForCloses(1, 5s));
}

TEST_F(WebSocketClientTls, RefusesACertificateForAnotherName) {
    startAt("127.0.0.1", true);  // the certificate names localhost only
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Error));
    const auto error = events.of(WebSocketMessageType::Error)[0];
    EXPECT_EQ(error.httpStatus, 0);
    EXPECT_NE(error.reason.find("TLS handshake failed"), std::string::npos) << error.reason;
    EXPECT_TRUE(server.handshakes().empty());
    EXPECT_TRUE(events.of(WebSocketMessageType::Open).empty());
}

TEST_F(WebSocketClientTls, RefusesAnAuthorityTheSystemDoesNotTrust) {
    startAt("localhost", false);
    ASSERT_TRUE(events.waitFor(WebSocketMessageType::Error));
    EXPECT_NE(events.of(WebSocketMessageType::Error)[0].reason.find("certificate verify failed"),
              std::string::npos)
        << events.of(WebSocketMessageType::Error)[0].reason;
    EXPECT_TRUE(server.handshakes().empty());
}

}  // namespace
}  // namespace morvelin
