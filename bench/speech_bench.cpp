#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "audio/audio_capture.h"
#include "base/base64.h"
#include "base/curl_handles.h"
#include "speech/batch_transcriber.h"
#include "speech/question_detector.h"
#include "speech/transcription_request.h"
#include "tests/support/local_http_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace morvelin;
using halvenor::test::LocalHttpServer;
using halvenor::test::ScriptedResponse;

constexpr std::size_t kUtteranceCap = BatchTranscriber::kMaxUtteranceSamples;

// The program's entry owns libcurl's global state; the session log goes to a scratch folder.
void processSetUp() {
    static const bool done = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        static halvenor::test::TempDir logFolder("halvenor-speech-bench");
        ::setenv("LOCALAPPDATA", logFolder.path().c_str(), 1);
        return true;
    }();
    (void)done;
}

std::vector<std::int16_t> speechLike(std::size_t count) {
    std::vector<std::int16_t> samples(count);
    std::uint32_t x = 12345;
    for (auto& s : samples) {
        x = x * 1664525u + 1013904223u;
        s = static_cast<std::int16_t>(x >> 16);
    }
    return samples;
}

// Every final transcript is classified once; a few hundred nanoseconds is all it may cost.
void BM_IsQuestion(benchmark::State& state) {
    const std::vector<std::string> texts = {
        "so um okay",
        "Okay, so, tell me about a time you disagreed with your manager and how you handled it",
        "we store events in a queue and replay them on start-up",
        "What's the difference between a process and a thread?",
        "I wonder how do you keep the p99 latency under control when the cache is cold",
        "right"};
    std::size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(isQuestion(texts[i++ % texts.size()]));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IsQuestion);

// One utterance through the detector as the streaming engine delivers it: two interims, then a
// speech-final final that decides on the calling thread. The question ends with "?", so the
// next one is not a continuation that grows without end.
void BM_DetectorUtterance(benchmark::State& state) {
    std::size_t questions = 0;
    QuestionDetector detector([&questions](const std::string&, bool) { ++questions; });
    detector.setSilenceMs(60'000);
    for (auto _ : state) {
        detector.onTranscript("how would you", false, false);
        detector.onTranscript("how would you design a rate", false, false);
        detector.onTranscript("how would you design a rate limiter?", true, true);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["questions"] = static_cast<double>(questions);
}
BENCHMARK(BM_DetectorUtterance);

void BM_MakeWav28s(benchmark::State& state) {
    const auto samples = speechLike(kUtteranceCap);
    for (auto _ : state)
        benchmark::DoNotOptimize(makeWav(samples));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kUtteranceCap * 2));
}
BENCHMARK(BM_MakeWav28s)->Unit(benchmark::kMillisecond);

// The largest request body: WAV image, base64 and the JSON around it.
void BM_TranscriptionBody28s(benchmark::State& state) {
    const auto samples = speechLike(kUtteranceCap);
    BatchTranscriberConfig config;
    for (auto _ : state)
        benchmark::DoNotOptimize(buildTranscriptionBody(config, samples));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kUtteranceCap * 2));
}
BENCHMARK(BM_TranscriptionBody28s)->Unit(benchmark::kMillisecond);

// What our side adds to one transcription over loopback: body, upload, answer, parsing.
void BM_TranscribeLocal(benchmark::State& state) {
    processSetUp();
    LocalHttpServer server(LocalHttpServer::scripted(
        {.headers = {{"Content-Type", "application/json"}},
         .pieces = {{.data = R"({"text":"how would you design a rate limiter"})"}},
         .chunked = false}));
    ::setenv("HALVENOR_CHAT_BASE_URL", server.baseUrl().c_str(), 1);
    const auto samples = speechLike(static_cast<std::size_t>(state.range(0)) * 16000);
    const BatchTranscriberConfig config{.apiKey = "sk-bench"};
    const CurlEasy handle(curl_easy_init());
    std::stop_source stopSource;
    std::stop_token token = stopSource.get_token();
    for (auto _ : state) {
        std::string error;
        benchmark::DoNotOptimize(transcribe(handle.get(), token, config, samples, error));
        if (!error.empty())
            state.SkipWithError(error.c_str());
    }
    ::unsetenv("HALVENOR_CHAT_BASE_URL");
}
BENCHMARK(BM_TranscribeLocal)->Arg(5)->Arg(28)->Unit(benchmark::kMillisecond);

// The capture thread's cost per 100 ms chunk during continuous speech: appending, the
// interim copies every 1.2 s and a final every 28 s.
void BM_TranscriberFeedChunk(benchmark::State& state) {
    processSetUp();
    LocalHttpServer server(
        LocalHttpServer::scripted({.pieces = {{.data = R"({"text":"words"})"}}, .chunked = false}));
    ::setenv("HALVENOR_CHAT_BASE_URL", server.baseUrl().c_str(), 1);
    BatchTranscriber transcriber;
    transcriber.configure({.apiKey = "sk-bench"}, nullptr, nullptr);
    const auto chunk = speechLike(1600);
    transcriber.onVadEvent(VadEvent::SpeechStart);
    for (auto _ : state)
        transcriber.feed(chunk);
    transcriber.stop();
    ::unsetenv("HALVENOR_CHAT_BASE_URL");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TranscriberFeedChunk);

}  // namespace
