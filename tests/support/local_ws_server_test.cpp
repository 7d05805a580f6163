#include "tests/support/local_ws_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <utility>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <gtest/gtest.h>

namespace halvenor::test {
namespace {

namespace net = boost::asio;
namespace ssl = boost::asio::ssl;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using namespace std::chrono_literals;

// A blocking client, just enough to exercise the server.
struct PlainClient {
    net::io_context io;
    websocket::stream<tcp::socket> ws{io};

    beast::error_code connect(unsigned short port, const std::string& target,
                              websocket::response_type* response = nullptr) {
        beast::error_code ec;
        ws.next_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
        if (ec)
            return ec;
        ws.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& request) { request.set("X-Test", "yes"); }));
        // The blocking handshake leaves the response empty when the upgrade is declined;
        // the asynchronous one fills it in.
        websocket::response_type ignored;
        ws.async_handshake(response ? *response : ignored, "127.0.0.1", target,
                           [&](beast::error_code result) { ec = result; });
        io.run();
        return ec;
    }

    std::string read(beast::error_code& ec) {
        beast::flat_buffer buffer;
        ws.read(buffer, ec);
        return beast::buffers_to_string(buffer.data());
    }
};

TEST(LocalWsServer, RecordsHandshakesAndMessagesAndSendsScriptedFrames) {
    LocalWsServer server;
    EXPECT_EQ(server.baseUrl(), "ws://127.0.0.1:" + std::to_string(server.port()));
    PlainClient client;
    ASSERT_FALSE(client.connect(server.port(), "/v1/listen?a=1&b=two"));
    ASSERT_TRUE(server.waitForOpenConnections(1, 5s));

    const auto handshakes = server.handshakes();
    ASSERT_EQ(handshakes.size(), 1u);
    EXPECT_EQ(handshakes[0].target, "/v1/listen?a=1&b=two");
    EXPECT_EQ(handshakes[0].header("x-test"), "yes");
    EXPECT_FALSE(handshakes[0].hasHeader("authorization"));
    EXPECT_EQ(handshakes[0].connectionIndex, 1);

    client.ws.text(true);
    client.ws.write(net::buffer(std::string("hello")));
    client.ws.binary(true);
    client.ws.write(net::buffer(std::string("\x01\x00\x02", 3)));
    client.ws.ping({});
    ASSERT_TRUE(server.waitForMessages(2, 5s));
    EXPECT_TRUE(server.waitForPings(1, 5s));
    const auto messages = server.messages();
    EXPECT_FALSE(messages[0].binary);
    EXPECT_EQ(messages[0].data, "hello");
    EXPECT_TRUE(messages[1].binary);
    EXPECT_EQ(messages[1].data, std::string("\x01\x00\x02", 3));

    ASSERT_TRUE(server.sendText("{\"type\":\"Results\"}"));
    beast::error_code ec;
    EXPECT_EQ(client.read(ec), "{\"type\":\"Results\"}");
    EXPECT_FALSE(ec);
    EXPECT_TRUE(client.ws.got_text());

    ASSERT_TRUE(server.close(4001, "going away now"));
    client.read(ec);
    EXPECT_EQ(ec, websocket::error::closed);
    EXPECT_EQ(client.ws.reason().code, 4001);
    EXPECT_EQ(std::string(client.ws.reason().reason.c_str()), "going away now");
    EXPECT_TRUE(waitUntil([&] { return server.openConnections() == 0; }, 5s));
    EXPECT_FALSE(server.sendText("nobody listens"));
}

TEST(LocalWsServer, RecordsTheCloseFrameAClientSends) {
    LocalWsServer server;
    PlainClient client;
    ASSERT_FALSE(client.connect(server.port(), "/"));
    client.ws.close(websocket::close_reason(websocket::close_code::normal, "Normal closure"));
    ASSERT_TRUE(server.waitForCloses(1, 5s));
    EXPECT_EQ(server.closesReceived()[0].code, 1000);
    EXPECT_EQ(server.closesReceived()[0].reason, "Normal closure");
}

TEST(LocalWsServer, RefusesHandshakesWithTheChosenStatus) {
    LocalWsServer server;
    server.refuseHandshakes(401, "bad key");
    PlainClient client;
    websocket::response_type response;
    EXPECT_EQ(client.connect(server.port(), "/x", &response), websocket::error::upgrade_declined);
    EXPECT_EQ(response.result_int(), 401);
    EXPECT_EQ(server.handshakes().size(), 1u);
    EXPECT_EQ(server.openConnections(), 0);

    server.refuseHandshakes(0);
    PlainClient again;
    EXPECT_FALSE(again.connect(server.port(), "/x"));
    EXPECT_TRUE(server.waitForOpenConnections(1, 5s));
}

TEST(LocalWsServer, DropsConnectionsAndStopsAndResumesAccepting) {
    LocalWsServer server;
    PlainClient first;
    ASSERT_FALSE(first.connect(server.port(), "/"));
    ASSERT_TRUE(server.waitForOpenConnections(1, 5s));
    server.dropConnections();
    beast::error_code ec;
    first.read(ec);
    EXPECT_TRUE(ec);
    EXPECT_NE(ec, websocket::error::closed);  // no close frame, the socket just went
    EXPECT_TRUE(waitUntil([&] { return server.openConnections() == 0; }, 5s));

    server.stopAccepting();
    PlainClient refused;
    EXPECT_EQ(refused.connect(server.port(), "/"), net::error::connection_refused);

    server.resumeAccepting();
    PlainClient second;
    EXPECT_FALSE(second.connect(server.port(), "/"));
    EXPECT_TRUE(server.waitForOpenConnections(1, 5s));
    EXPECT_EQ(server.acceptedConnections(), 2);
    EXPECT_EQ(server.handshakes().back().connectionIndex, 2);
}

beast::error_code tlsConnect(unsigned short port, const std::filesystem::path& caFile,
                             const std::string& expectedName) {
    net::io_context io;
    ssl::context context(ssl::context::tls_client);
    context.load_verify_file(caFile.string());
    websocket::stream<beast::ssl_stream<tcp::socket>> ws(io, context);
    beast::error_code ec;
    beast::get_lowest_layer(ws).connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                                        ec);
    if (ec)
        return ec;
    ws.next_layer().set_verify_mode(ssl::verify_peer);
    ws.next_layer().set_verify_callback(ssl::host_name_verification(expectedName));
    ws.next_layer().handshake(ssl::stream_base::client, ec);
    if (ec)
        return ec;
    ws.handshake(expectedName, "/", ec);
    if (ec)
        return ec;
    ws.write(net::buffer(std::string("over tls")), ec);
    return ec;
}

TEST(LocalWsServer, SpeaksTlsWithACertificateFromItsTestAuthority) {
    TempDir dir;
    const auto certificates = makeTestCertificates(dir.path(), "localhost");
    LocalWsServer server({certificates.certificateFile, certificates.privateKeyFile});
    EXPECT_EQ(server.baseUrl("localhost").rfind("wss://localhost:", 0), 0u);

    EXPECT_FALSE(tlsConnect(server.port(), certificates.caFile, "localhost"));
    ASSERT_TRUE(server.waitForMessages(1, 5s));
    EXPECT_EQ(server.messages()[0].data, "over tls");

    EXPECT_TRUE(tlsConnect(server.port(), certificates.caFile, "other.example"));
    EXPECT_EQ(server.messages().size(), 1u);
}

}  // namespace
}  // namespace halvenor::test
