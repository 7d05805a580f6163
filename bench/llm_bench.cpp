// Answer-client costs the user feels: how fast the event stream is read, how long asking
// blocks the caller, how long a token takes from the socket to onToken, and what a warm
// connection saves on a follow-up question. Servers run on 127.0.0.1 only.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "llm/llm_client.h"
#include "llm/stream_context.h"
#include "tests/support/local_http_server.h"
#include "tests/support/temp_dir.h"

// Counts heap allocations so the stream reader's per-token cost can be reported. GCC cannot
// see that these replacements pair malloc with free and warns wherever they are inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long long> gAllocations{0};
}
void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using halvenor::test::HttpRequest;
using halvenor::test::HttpResponseWriter;
using halvenor::test::LocalHttpServer;
using morvelin::LlmClient;

const struct CurlInit {
    CurlInit() { curl_global_init(CURL_GLOBAL_DEFAULT); }
    ~CurlInit() { curl_global_cleanup(); }
} kCurlInit;

const std::vector<morvelin::ChatMessage> kQuestion = {{"user", "Why RAII?", {}}};

// A line as the service sends it: ~170 bytes around a short token.
std::string tokenLine(std::string_view content) {
    return R"(data: {"id":"gen-1712345678-AbCdEfGhIjKlMnOp","provider":"OpenAI","model":"openai/gpt-4o-mini",)"
           R"("object":"chat.completion.chunk","created":1712345678,"choices":[{"index":0,"delta":{"role":)"
           R"("assistant","content":")" +
           std::string(content) +
           R"("},"finish_reason":null}]})"
           "\n\n";
}

void setPercentiles(benchmark::State& state, std::vector<double> micros) {
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double q) {
        return micros[static_cast<std::size_t>(q * double(micros.size() - 1))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
}

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// A client of the local server, as the program makes one.
struct LocalClient {
    explicit LocalClient(const LocalHttpServer& server)
        : env("HALVENOR_CHAT_BASE_URL", server.baseUrl().c_str()) {
        client.setApiKey("bench-key");
    }
    halvenor::test::ScopedEnv env;  // read when the client is made
    LlmClient client;
};

// The end of one request, done or failed, waited for on the benchmark's thread.
class RequestEnd {
public:
    LlmClient::Callbacks callbacks(std::function<void(std::string_view)> onToken = {}) {
        return {std::move(onToken), [this] { end(); }, [this](const std::string&) { end(); }};
    }
    void wait() {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return done_; });
    }

private:
    void end() {
        std::lock_guard lock(mutex_);
        done_ = true;
        finished_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
};

// readStreamBytes + parseSseLine over a 4 MB stream in 16 KB chunks (libcurl's buffer size).
void BM_SseStreamThroughput(benchmark::State& state) {
    std::string stream;
    long long tokens = 0;
    while (stream.size() < (4u << 20)) {
        stream += tokenLine(tokens % 3 ? " word" : " answer");
        ++tokens;
    }
    long long received = 0;
    LlmClient::Callbacks callbacks{
        [&](std::string_view t) { received += static_cast<long long>(t.size()); }, {}, {}};
    long long allocations = 0;
    for (auto _ : state) {
        morvelin::StreamContext context{nullptr, &callbacks, {}, {}, {}, {}};
        context.lineBuffer.reserve(64 << 10);
        const auto before = gAllocations.load();
        for (std::size_t at = 0; at < stream.size(); at += 16384) {
            const std::size_t n = std::min<std::size_t>(16384, stream.size() - at);
            morvelin::readStreamBytes(context, std::string_view(stream.data() + at, n));
        }
        allocations += gAllocations.load() - before;
    }
    benchmark::DoNotOptimize(received);
    state.SetBytesProcessed(state.iterations() * static_cast<long long>(stream.size()));
    state.counters["allocs_per_token"] = double(allocations) / double(tokens * state.iterations());
}
BENCHMARK(BM_SseStreamThroughput)->Unit(benchmark::kMillisecond);

// Streams a token every few milliseconds until the client leaves.
halvenor::test::HttpHandler endlessStream() {
    return [](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        while (writer.write(tokenLine(" more")) && writer.pause(5ms)) {
        }
    };
}

// How long streamChat blocks its caller while the request it supersedes is streaming.
void BM_StreamChatReturnWhileStreaming(benchmark::State& state) {
    LocalHttpServer server(endlessStream());
    LocalClient local(server);
    LlmClient& client = local.client;
    std::atomic<long long> tokens{0};
    const auto callbacks = [&] {
        return LlmClient::Callbacks{[&](std::string_view) { ++tokens; }, {}, {}};
    };
    client.streamChat(kQuestion, callbacks(), "");
    std::vector<double> micros;
    for (auto _ : state) {
        const long long seen = tokens.load();
        while (tokens.load() == seen)
            std::this_thread::sleep_for(1ms);  // the running one streams
        const auto start = Clock::now();
        client.streamChat(kQuestion, callbacks(), "");
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    client.stopAll();
    setPercentiles(state, std::move(micros));
}
BENCHMARK(BM_StreamChatReturnWhileStreaming)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

// From the server's write of a token to onToken on the worker: the token carries its send time.
void BM_TokenLatencyOverLoopback(benchmark::State& state) {
    const int perRequest = 200;
    LocalHttpServer server([&](const HttpRequest&, HttpResponseWriter& writer) {
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        for (int i = 0; i < perRequest; ++i) {
            const auto sentNs = Clock::now().time_since_epoch().count();
            if (!writer.write(tokenLine(std::to_string(sentNs))) || !writer.pause(1ms))
                return;
        }
        writer.write("data: [DONE]\n\n");
        writer.finish();
    });
    LocalClient local(server);
    LlmClient& client = local.client;
    std::vector<double> micros;
    for (auto _ : state) {
        RequestEnd end;
        std::vector<double> run;
        run.reserve(perRequest);
        const auto onToken = [&](std::string_view token) {
            const auto now = Clock::now().time_since_epoch().count();
            run.push_back(double(now - std::stoll(std::string(token))) / 1000.0);
        };
        client.streamChat(kQuestion, end.callbacks(onToken), "");
        end.wait();
        micros.insert(micros.end(), run.begin(), run.end());
    }
    client.stopAll();
    setPercentiles(state, std::move(micros));
}
BENCHMARK(BM_TokenLatencyOverLoopback)->Iterations(5)->Unit(benchmark::kMillisecond);

// A short answer, asked again and again: with the warm connection handed from one request to
// the next, and with a server that closes every connection so each one starts from TCP.
void BM_FollowUpRequest(benchmark::State& state) {
    const bool reuse = state.range(0) != 0;
    LocalHttpServer server(LocalHttpServer::scripted({
        .headers = {{"Content-Type", "text/event-stream"}},
        .pieces = {{0ms, tokenLine("Yes")}, {0ms, "data: [DONE]\n\n"}},
        .closeAfter = !reuse,
    }));
    LocalClient local(server);
    LlmClient& client = local.client;
    std::vector<double> micros;
    for (auto _ : state) {
        RequestEnd end;
        const auto start = Clock::now();
        client.streamChat(kQuestion, end.callbacks(), "");
        end.wait();
        const double us = microsSince(start);
        micros.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    client.stopAll();
    state.counters["connections"] = server.acceptedConnections();
    setPercentiles(state, std::move(micros));
}
BENCHMARK(BM_FollowUpRequest)
    ->ArgName("reuse")
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
