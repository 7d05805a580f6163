#include "llm/llm_client.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "base/compact_json.h"
#include "llm/chat_request.h"
#include "tests/support/local_http_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using halvenor::test::HttpRequest;
using halvenor::test::HttpResponseWriter;
using halvenor::test::LocalHttpServer;
using halvenor::test::PeakResidentGrowth;
using halvenor::test::replyEndlessly;
using halvenor::test::replyOnce;
using halvenor::test::ScopedEnv;
using halvenor::test::ScriptedResponse;
using halvenor::test::waitUntil;

// The application initialises libcurl once at start-up; the tests do the same.
class CurlEnvironment : public ::testing::Environment {
public:
    void SetUp() override { curl_global_init(CURL_GLOBAL_DEFAULT); }
    void TearDown() override { curl_global_cleanup(); }
};
const auto* const kCurlEnvironment = ::testing::AddGlobalTestEnvironment(new CurlEnvironment);

std::string sse(std::string_view content) {
    return R"(data: {"id":"gen-1","choices":[{"index":0,"delta":{"content":)" +
           nlohmann::json(std::string(content)).dump() + "}}]}\n\n";
}

// Records what one request's callbacks saw.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> tokens;
    int done = 0;
    std::vector<std::string> errors;

    LlmClient::Callbacks callbacks() {
        return {[this](std::string_view token) { record([&] { tokens.emplace_back(token); }); },
                [this] { record([&] { ++done; }); },
                [this](const std::string& error) { record([&] { errors.push_back(error); }); }};
    }
    template <typename Change>
    void record(Change change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    bool waitTokens(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return tokens.size() >= count; });
    }
    bool waitFinished(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return done + errors.size() > 0; });
    }
    std::vector<std::string> tokensNow() {
        std::lock_guard lock(mutex);
        return tokens;
    }
    int finalCalls() {
        std::lock_guard lock(mutex);
        return done + static_cast<int>(errors.size());
    }
};

// A client pointed at a local server with a key set.
struct ClientFor {
    explicit ClientFor(const LocalHttpServer& server)
        : env("HALVENOR_CHAT_BASE_URL", server.baseUrl().c_str()) {
        client = std::make_unique<LlmClient>();
        client->setApiKey("test-key");
    }
    ScopedEnv env;
    std::unique_ptr<LlmClient> client;
};

const std::vector<ChatMessage> kQuestion = {{"user", "What is RAII?", {}}};

// Streams `count` tokens one per interval, stopping early when the client leaves.
halvenor::test::HttpHandler slowStream(int count, std::chrono::milliseconds interval) {
    return [=](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        for (int i = 0; i < count; ++i) {
            if (!writer.write(sse("t" + std::to_string(i))))
                return;
            if (!writer.pause(interval) || writer.clientGone())
                return;
        }
        writer.write("data: [DONE]\n\n");
        writer.finish();
    };
}

TEST(LlmClient, TokensArriveWhileTheServerIsStillSending) {
    // The server holds the rest of the answer until the first token has reached the caller.
    Recorder recorder;
    std::atomic<bool> firstSeenWhileHeld{false};
    LocalHttpServer server([&](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        writer.write(sse("First"));
        firstSeenWhileHeld = recorder.waitTokens(1);
        writer.write(sse(" second"));
        writer.write("data: [DONE]\n\n");
        writer.finish();
    });
    ClientFor fixture(server);
    ASSERT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
    ASSERT_TRUE(recorder.waitFinished());
    EXPECT_TRUE(firstSeenWhileHeld);
    EXPECT_EQ(recorder.tokens, (std::vector<std::string>{"First", " second"}));
    EXPECT_EQ(recorder.done, 1);
    EXPECT_TRUE(recorder.errors.empty());

    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/v1/chat/completions");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("accept"), "text/event-stream");
    EXPECT_EQ(request.header("authorization"), "Bearer test-key");
    EXPECT_EQ(request.header("x-title"), "Halvenor");
    EXPECT_EQ(request.body, compactJson(fixture.client->buildRequestBody(kQuestion, "")));
}

TEST(LlmClient, ReadsEveryShapeOfTheEventStream) {
    const std::string split = sse("split");
    LocalHttpServer server(LocalHttpServer::scripted({
        .pieces =
            {{0ms, ": OPENROUTER PROCESSING\n\n"},
             {0ms, split.substr(0, 17)},
             {20ms, split.substr(17)},
             {0ms,
              "event: message\r\ndata: {\"choices\":[{\"delta\":{\"content\":\"crlf\"}}]}\r\n\r\n"},
             {0ms,
              "data:{\"choices\":[{\"delta\":{\"content\":\"tight\"}}]}\n"},  // no blank line after
             {0ms, "data: {\"choices\":[{\"delta\":{\"role\":\"assistant\"}}]}\n\n"},
             {0ms, "data: [DONE]\n\n"},
             {0ms, "data: {\"choices\":[{\"delta\":{\"content\":\"last\"}}]}"}},  // no line feed
    }));
    Recorder recorder;
    ClientFor fixture(server);
    ASSERT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
    ASSERT_TRUE(recorder.waitFinished());
    EXPECT_EQ(recorder.tokens, (std::vector<std::string>{"split", "crlf", "tight", "last"}));
    EXPECT_EQ(recorder.done, 1);
}

TEST(LlmClient, StreamErrorIsReportedAfterTheTokensThatFollowIt) {
    LocalHttpServer server(LocalHttpServer::scripted({
        .pieces = {{0ms, sse("before")},
                   {0ms,
                    "data: {\"error\":{\"message\":\"Upstream overloaded\",\"code\":502}}\n\n"},
                   {10ms, sse("after")}},
    }));
    Recorder recorder;
    ClientFor fixture(server);
    ASSERT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
    ASSERT_TRUE(recorder.waitFinished());
    EXPECT_EQ(recorder.tokens, (std::vector<std::string>{"before", "after"}));
    EXPECT_EQ(recorder.done, 0);
    EXPECT_EQ(recorder.errors, std::vector<std::string>{"OpenRouter: Upstream overloaded"});
}

// Runs one request against a scripted answer and returns its single error text.
std::string errorFor(ScriptedResponse response) {
    LocalHttpServer server(LocalHttpServer::scripted(std::move(response)));
    Recorder recorder;
    ClientFor fixture(server);
    EXPECT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
    EXPECT_TRUE(recorder.waitFinished());
    fixture.client->stopAll();
    EXPECT_EQ(recorder.done, 0);
    EXPECT_EQ(recorder.errors.size(), 1u);
    return recorder.errors.empty() ? "" : recorder.errors.front();
}

TEST(LlmClient, ErrorResponsesBecomeOneErrorText) {
    EXPECT_EQ(
        errorFor(
            {.status = 401,
             .headers = {{"Content-Type", "application/json"}},
             .pieces = {{0ms, R"({"error":{"message":"No auth credentials found","code":401}})"}}}),
        "OpenRouter HTTP 401: No auth credentials found");

    const std::string html = "<html><body>Bad gateway</body></html>" + std::string(264, ' ');
    ASSERT_EQ(html.size(), 301u);
    EXPECT_EQ(
        errorFor({.status = 502, .pieces = {{0ms, html.substr(0, 100)}, {5ms, html.substr(100)}}}),
        "OpenRouter HTTP 502: " + html.substr(0, 300) + "...");

    // Redirects are not followed: a 3xx is an error like any other.
    EXPECT_EQ(errorFor({.status = 302,
                        .headers = {{"Location", "/elsewhere"}},
                        .pieces = {{0ms, "moved"}},
                        .chunked = false}),
              "OpenRouter HTTP 302: moved");

    // Data lines in an error body are not parsed.
    EXPECT_EQ(errorFor({.status = 500, .pieces = {{0ms, sse("x")}}}),
              "OpenRouter HTTP 500: " + sse("x"));
}

TEST(LlmClient, BrokenTransferKeepsItsTokensAndEndsWithANetworkError) {
    LocalHttpServer server([](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {});
        writer.write(sse("partial"));
        writer.pause(50ms);
        writer.drop();
    });
    Recorder recorder;
    ClientFor fixture(server);
    ASSERT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
    ASSERT_TRUE(recorder.waitFinished());
    EXPECT_EQ(recorder.tokens, std::vector<std::string>{"partial"});
    ASSERT_EQ(recorder.errors.size(), 1u);
    EXPECT_TRUE(recorder.errors[0].starts_with("Network error: ")) << recorder.errors[0];
}

TEST(LlmClient, RefusedConnectionIsANetworkError) {
    unsigned short port;
    {
        LocalHttpServer gone(LocalHttpServer::scripted({}));
        port = gone.port();
    }
    ScopedEnv env("HALVENOR_CHAT_BASE_URL", ("http://127.0.0.1:" + std::to_string(port)).c_str());
    Recorder recorder;
    LlmClient client;
    client.setApiKey("k");
    ASSERT_TRUE(client.streamChat(kQuestion, recorder.callbacks(), ""));
    ASSERT_TRUE(recorder.waitFinished());
    ASSERT_EQ(recorder.errors.size(), 1u);
    EXPECT_TRUE(recorder.errors[0].starts_with("Network error: ")) << recorder.errors[0];
    EXPECT_NE(recorder.errors[0].find("onnect"), std::string::npos) << recorder.errors[0];
}

TEST(LlmClient, WithoutAKeyNothingStartsAndTheRunningRequestGoesOn) {
    LocalHttpServer server(slowStream(3, 100ms));
    Recorder running;
    Recorder refused;
    ClientFor fixture(server);
    LlmClient& client = *fixture.client;
    EXPECT_TRUE(client.hasApiKey());
    ASSERT_TRUE(client.streamChat(kQuestion, running.callbacks(), ""));
    ASSERT_TRUE(running.waitTokens(1));

    client.setApiKey("");
    EXPECT_FALSE(client.hasApiKey());
    EXPECT_FALSE(client.streamChat(kQuestion, refused.callbacks(), ""));
    ASSERT_TRUE(running.waitFinished());
    EXPECT_EQ(running.tokens, (std::vector<std::string>{"t0", "t1", "t2"}));
    EXPECT_EQ(running.done, 1);
    EXPECT_EQ(refused.tokens.size() + refused.finalCalls(), 0u);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(LlmClient, NewRequestSupersedesTheRunningOneWithoutWaiting) {
    LocalHttpServer server(slowStream(4, 150ms));
    Recorder first;
    Recorder second;
    ClientFor fixture(server);
    LlmClient& client = *fixture.client;
    ASSERT_TRUE(client.streamChat(kQuestion, first.callbacks(), ""));
    ASSERT_TRUE(first.waitTokens(1));

    const auto before = Clock::now();
    ASSERT_TRUE(client.streamChat(kQuestion, second.callbacks(), ""));
    EXPECT_LT(Clock::now() - before, 200ms);  // never waits for the stopped worker
    const auto firstTokens = first.tokensNow();

    ASSERT_TRUE(second.waitFinished());
    EXPECT_EQ(second.tokens, (std::vector<std::string>{"t0", "t1", "t2", "t3"}));
    EXPECT_EQ(second.done, 1);
    // The first request is parked, then joined by a later cancel once it has wound down.
    EXPECT_TRUE(waitUntil(
        [&] {
            client.cancel();
            return client.workerCount() == 0;
        },
        3s));
    EXPECT_EQ(first.tokensNow(), firstTokens);
    EXPECT_EQ(first.finalCalls(), 0);
    EXPECT_EQ(server.acceptedConnections(), 2);  // the aborted connection could not be reused
}

TEST(LlmClient, CancelMidStreamReportsNothing) {
    LocalHttpServer server(slowStream(50, 100ms));
    Recorder recorder;
    ClientFor fixture(server);
    LlmClient& client = *fixture.client;
    client.cancel();  // nothing running: only reaps
    EXPECT_EQ(client.workerCount(), 0u);
    ASSERT_TRUE(client.streamChat(kQuestion, recorder.callbacks(), ""));
    ASSERT_TRUE(recorder.waitTokens(2));

    const auto before = Clock::now();
    client.cancel();
    EXPECT_LT(Clock::now() - before, 200ms);  // never waits for the stopped worker
    const auto tokens = recorder.tokensNow();
    EXPECT_TRUE(waitUntil(
        [&] {
            client.cancel();
            return client.workerCount() == 0;
        },
        3s));
    EXPECT_EQ(recorder.tokensNow(), tokens);
    EXPECT_EQ(recorder.finalCalls(), 0);
}

TEST(LlmClient, StopAllReturnsOnlyWhenEveryParkedWorkerHasEnded) {
    LocalHttpServer server(slowStream(100, 50ms));
    ClientFor fixture(server);
    LlmClient& client = *fixture.client;
    // Every worker is held inside its first onToken until the gate opens, so neither a
    // superseding request nor a stop can end it before then.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool gateOpen = false;
    int inside = 0;
    int finals = 0;
    const auto probe = std::make_shared<int>(0);  // each worker holds a copy until it ends
    for (int i = 0; i < 3; ++i) {
        LlmClient::Callbacks callbacks{[&, probe](std::string_view) {
                                           std::unique_lock lock(gateMutex);
                                           ++inside;
                                           gateChanged.notify_all();
                                           gateChanged.wait(lock, [&] { return gateOpen; });
                                       },
                                       [&] {
                                           std::lock_guard lock(gateMutex);
                                           ++finals;
                                       },
                                       [&](const std::string&) {
                                           std::lock_guard lock(gateMutex);
                                           ++finals;
                                       }};
        ASSERT_TRUE(client.streamChat(kQuestion, std::move(callbacks), ""));
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(gateChanged.wait_for(lock, 5s, [&] { return inside == i + 1; }));
    }
    EXPECT_EQ(client.workerCount(), 3u);
    EXPECT_EQ(probe.use_count(), 4);

    std::atomic<bool> stopped{false};
    std::jthread stopper([&] {
        client.stopAll();
        stopped = true;
    });
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(stopped.load());  // still waiting for the workers inside their callbacks
    {
        std::lock_guard lock(gateMutex);
        gateOpen = true;
    }
    gateChanged.notify_all();
    stopper.join();
    EXPECT_EQ(probe.use_count(), 1);
    EXPECT_EQ(client.workerCount(), 0u);
    EXPECT_EQ(inside, 3);  // no worker delivered a second token
    EXPECT_EQ(finals, 0);
}

TEST(LlmClient, DestroyingTheClientMidStreamStopsAndJoinsIt) {
    std::atomic<bool> serverSawClientLeave{false};
    LocalHttpServer server([&](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {});
        writer.write(sse("one"));
        while (writer.pause(20ms)) {
            if (writer.clientGone() || !writer.write(": ping\n")) {
                serverSawClientLeave = true;
                return;
            }
        }
    });
    Recorder recorder;
    ClientFor fixture(server);
    const auto probe = std::make_shared<int>(0);
    auto callbacks = recorder.callbacks();
    callbacks.onDone = [probe, &recorder] { recorder.record([&] { ++recorder.done; }); };
    ASSERT_TRUE(fixture.client->streamChat(kQuestion, std::move(callbacks), ""));
    ASSERT_TRUE(recorder.waitTokens(1));

    fixture.client.reset();
    EXPECT_EQ(probe.use_count(), 1);
    EXPECT_EQ(recorder.finalCalls(), 0);
    EXPECT_TRUE(waitUntil([&] { return serverSawClientLeave.load(); }, 3s));
}

TEST(LlmClient, FollowUpAfterAFinishedAnswerReusesTheConnection) {
    LocalHttpServer server(LocalHttpServer::scripted({
        .headers = {{"Content-Type", "text/event-stream"}},
        .pieces = {{0ms, sse("ok")}, {0ms, "data: [DONE]\n\n"}},
    }));
    ClientFor fixture(server);
    for (int i = 0; i < 3; ++i) {
        Recorder recorder;
        ASSERT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
        ASSERT_TRUE(recorder.waitFinished());
        EXPECT_EQ(recorder.done, 1);
        fixture.client->stopAll();  // the recorder goes out of scope
    }
    EXPECT_EQ(server.acceptedConnections(), 1);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].connectionIndex, 1);
    // An error answer keeps the connection too.
    LocalHttpServer failing(
        LocalHttpServer::scripted({.status = 429, .pieces = {{0ms, R"({"error":"slow down"})"}}}));
    ClientFor second(failing);
    for (int i = 0; i < 2; ++i) {
        Recorder recorder;
        ASSERT_TRUE(second.client->streamChat(kQuestion, recorder.callbacks(), ""));
        ASSERT_TRUE(recorder.waitFinished());
        EXPECT_EQ(recorder.errors, std::vector<std::string>{"OpenRouter HTTP 429: slow down"});
        second.client->stopAll();
    }
    EXPECT_EQ(failing.acceptedConnections(), 1);
}

// ---------------------------------------------------------------------------------------------
// Replies from broken servers, proxies and portals: each ends with one error text, within a
// bounded amount of memory, and never takes the process down.

std::string nested(std::size_t depth, std::string_view inside = "") {
    return std::string(depth, '[') + std::string(inside) + std::string(depth, ']');
}

TEST(LlmClient, HostileRepliesEndInOneBoundedErrorText) {
    const std::string deepMessage = R"({"error":{"message":)" + nested(100'000) + "}}";  // 200 KB
    const std::string deepError = R"({"error":)" + nested(30'000) + "}";  // within the body bound
    const std::string longMessage(60'000, 'm');
    const std::string block(64 << 10, 'x');
    const std::string portal = "<html><body><form action=\"/login\">Sign in</form></body></html>";
    const auto cut = [](const std::string& text) { return text.substr(0, 300) + "..."; };
    const std::string stream = "text/event-stream";

    struct Case {
        const char* name;
        halvenor::test::HttpHandler reply;
        std::string error;  // empty: the request ends with onDone
        std::vector<std::string> tokens{};
    };
    const std::vector<Case> cases = {
        {"error body nesting 100,000 levels", replyOnce(400, "application/json", deepMessage),
         "OpenRouter HTTP 400: " + cut(deepMessage)},
        {"error member nesting 30,000 levels", replyOnce(400, "application/json", deepError),
         "OpenRouter HTTP 400: " + cut(deepError)},
        {"error event nesting 100,000 levels mid-stream",
         replyOnce(200, stream, sse("before") + "data: " + deepMessage + "\n\n" + sse("after")),
         "OpenRouter: " + cut(deepMessage),
         {"before", "after"}},
        {"endless error body", replyEndlessly(400, "text/plain", "", block),
         "OpenRouter HTTP 400: " + cut(block)},
        {"endless error message",
         replyEndlessly(400, "application/json", R"({"error":{"message":")", block),
         "OpenRouter HTTP 400: " + cut(R"({"error":{"message":")" + block)},
        {"long error message",
         replyOnce(400, "application/json", R"({"error":{"message":")" + longMessage + R"("}})"),
         "OpenRouter HTTP 400: " + cut(longMessage)},
        {"long error message in an event",
         replyOnce(200, stream,
                   R"(data: {"error":{"message":")" + std::string(500'000, 'm') + "\"}}\n\n"),
         "OpenRouter: " + cut(longMessage)},
        {"endless line after a token",
         replyEndlessly(200, stream, sse("ok"), block),
         "OpenRouter: event-stream line over 1 MiB: " + block.substr(0, 100) + "...",
         {"ok"}},
        {"endless body without a line feed", replyEndlessly(200, stream, "", block),
         "OpenRouter HTTP 200: unexpected reply (no data lines): " + cut(block)},
        {"sign-in page", replyOnce(200, "text/html; charset=utf-8", portal),
         "OpenRouter HTTP 200: unexpected reply (text/html; charset=utf-8): " + portal},
        {"endless page", replyEndlessly(200, "text/html", "<html>", block),
         "OpenRouter HTTP 200: unexpected reply (text/html): " + cut("<html>" + block)},
        {"JSON error with status 200",
         replyOnce(200, "application/json", R"({"error":{"message":"Key limit exceeded"}})"),
         "OpenRouter HTTP 200: unexpected reply (application/json): Key limit exceeded"},
        {"stream of comments only", replyOnce(200, stream, ": OPENROUTER PROCESSING\n\n"),
         "OpenRouter HTTP 200: unexpected reply (no data lines): : OPENROUTER PROCESSING\n\n"},
        {"empty stream", replyOnce(200, stream, ""),
         "OpenRouter HTTP 200: unexpected reply (empty body)"},
        {"invalid UTF-8 in an error event",
         replyOnce(200, stream,
                   sse("a") + "data: {\"error\":{\"message\":\"bad \xC3( byte\"}}\n\n"),
         "OpenRouter: bad \xEF\xBF\xBD( byte",
         {"a"}},
        {"invalid UTF-8 in a token",
         replyOnce(200, stream, "data: {\"choices\":[{\"delta\":{\"content\":\"caf\xC3\"}}]}\n\n"),
         "",
         {"caf\xEF\xBF\xBD"}},
    };
    // Far above the client's own bounds (1 MiB line, 64 KiB body) and the servers' buffers, far
    // below what a reply without a bound reaches.
    constexpr long kPeakGrowthLimitKb = 64 << 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PeakResidentGrowth growth;
        const auto start = Clock::now();
        {
            LocalHttpServer server(c.reply);
            Recorder recorder;
            ClientFor fixture(server);
            EXPECT_TRUE(fixture.client->streamChat(kQuestion, recorder.callbacks(), ""));
            EXPECT_TRUE(recorder.waitFinished(10s));
            fixture.client->stopAll();
            EXPECT_EQ(recorder.tokens, c.tokens);
            if (c.error.empty()) {
                EXPECT_EQ(recorder.done, 1);
                EXPECT_TRUE(recorder.errors.empty());
            } else {
                EXPECT_EQ(recorder.done, 0);
                EXPECT_EQ(recorder.errors, std::vector<std::string>{c.error});
            }
        }
        EXPECT_LT(Clock::now() - start, 5s);
        EXPECT_LT(growth.kb(), kPeakGrowthLimitKb);
    }
}

}  // namespace
}  // namespace morvelin
