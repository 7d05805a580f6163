#include "speech/batch_transcriber.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/audio_capture.h"
#include "tests/speech/speech_test_support.h"
#include "tests/support/local_http_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

using namespace std::chrono_literals;
using halvenor::test::HttpRequest;
using halvenor::test::HttpResponseWriter;
using halvenor::test::LocalHttpServer;
using halvenor::test::ScopedEnv;
using halvenor::test::waitUntil;
using speech_test::requestSamples;
using speech_test::sessionLog;

constexpr auto kSpeechStart = VadEvent::SpeechStart;
constexpr auto kSpeechEnd = VadEvent::SpeechEnd;
constexpr std::size_t kChunk = 1600;  // 100 ms, as the capture delivers it

struct Transcript {
    std::string text;
    bool isFinal = false;
    bool speechFinal = false;
    bool operator==(const Transcript&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Transcript& t) {
    return out << "{\"" << t.text << "\", " << t.isFinal << ", " << t.speechFinal << "}";
}

struct Reply {
    int status = 200;
    std::string body = R"({"text":"ok"})";
    std::chrono::milliseconds delay{0};
};

// What the server answers, from the request's audio and its number (1, 2, ...).
using Responder = std::function<Reply(const std::vector<std::int16_t>& samples, int index)>;

Reply text(const std::string& words) {
    return {.body = R"({"text":")" + words + "\"}"};
}

// Chunk number n holds 1600 samples of the value n, so a request's audio tells which chunks
// it carries.
bool holdsChunks(const std::vector<std::int16_t>& samples, int first, std::size_t count) {
    if (samples.size() != count * kChunk)
        return false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] != static_cast<std::int16_t>(first + static_cast<int>(i / kChunk))) {
            return false;
        }
    }
    return true;
}

class TranscriberTest : public ::testing::Test {
protected:
    TranscriberTest()
        : server([this](const HttpRequest& request, HttpResponseWriter& writer) {
              answer(request, writer);
          }),
          baseUrl("HALVENOR_CHAT_BASE_URL", server.baseUrl().c_str()) {}

    void respondWith(Responder responder) {
        std::lock_guard lock(mutex);
        this->responder = std::move(responder);
    }

    void start(BatchTranscriberConfig config = {}) {
        config.apiKey = "sk-test";
        config.label = "interviewer";
        transcriber.configure(
            config,
            [this](const std::string& text, bool isFinal, bool speechFinal) {
                std::lock_guard lock(mutex);
                transcripts.push_back({text, isFinal, speechFinal});
                changed.notify_all();
            },
            [this](const std::string& status) {
                std::lock_guard lock(mutex);
                statuses.push_back(status);
                changed.notify_all();
            });
    }

    void feed(int first, int count) {
        for (int n = first; n < first + count; ++n) {
            const std::vector<std::int16_t> chunk(kChunk, static_cast<std::int16_t>(n));
            transcriber.feed(chunk);
        }
    }

    bool waitForTranscripts(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return transcripts.size() >= count; });
    }
    std::vector<Transcript> receivedTranscripts() {
        std::lock_guard lock(mutex);
        return transcripts;
    }
    std::vector<std::string> receivedStatuses() {
        std::lock_guard lock(mutex);
        return statuses;
    }
    std::vector<std::vector<std::int16_t>> requestAudio() {
        std::vector<std::vector<std::int16_t>> audio;
        for (const auto& request : server.requests())
            audio.push_back(requestSamples(request.body));
        return audio;
    }

    std::mutex mutex;
    std::condition_variable changed;
    Responder responder;
    int requestCount = 0;
    std::vector<Transcript> transcripts;
    std::vector<std::string> statuses;
    LocalHttpServer server;
    ScopedEnv baseUrl;
    BatchTranscriber transcriber;  // stops its workers before anything above goes away

private:
    void answer(const HttpRequest& request, HttpResponseWriter& writer) {
        Responder current;
        int index = 0;
        {
            std::lock_guard lock(mutex);
            current = responder;
            index = ++requestCount;
        }
        const Reply reply = current ? current(requestSamples(request.body), index) : Reply{};
        if (reply.delay > 0ms && !writer.pause(reply.delay))
            return;
        writer.writeHead(reply.status, {{"Content-Type", "application/json"}}, false,
                         reply.body.size());
        writer.write(reply.body);
        writer.finish();
    }
};

TEST_F(TranscriberTest, UtterancesStartWithTheirPreRollAndEndInATrimmedFinal) {
    respondWith([](const auto&, int index) {
        return text(index == 1 ? R"(  what is a mutex?\n)" : "next");
    });
    start({.interimPartials = false});
    EXPECT_EQ(receivedStatuses(), (std::vector<std::string>{"ready (deepgram/nova-3)"}));

    feed(0, 20);  // 2 s of silence: only the last 400 ms are kept
    transcriber.onVadEvent(kSpeechStart);
    feed(20, 5);
    transcriber.onVadEvent(kSpeechEnd);
    feed(25, 3);  // the third chunk after the end reports the next start
    transcriber.onVadEvent(kSpeechStart);
    transcriber.onVadEvent(kSpeechStart);  // a repeated start changes nothing
    feed(28, 4);
    transcriber.onVadEvent(kSpeechEnd);
    transcriber.onVadEvent(kSpeechEnd);

    ASSERT_TRUE(waitForTranscripts(2));
    EXPECT_EQ(receivedTranscripts(),
              (std::vector<Transcript>{{"what is a mutex?", true, true}, {"next", true, true}}));
    const auto audio = requestAudio();
    ASSERT_EQ(audio.size(), 2u);
    EXPECT_TRUE(holdsChunks(audio[0], 16, 9));  // 4 chunks of pre-roll, 5 of speech
    EXPECT_TRUE(holdsChunks(audio[1], 25, 7));  // the three chunks since the end, then 4
    const auto request = server.requests()[0];
    EXPECT_EQ(request.target, "/api/v1/audio/transcriptions");
    EXPECT_EQ(request.header("authorization"), "Bearer sk-test");
    EXPECT_EQ(request.header("x-title"), "Halvenor");
    EXPECT_EQ(request.body.rfind("{\"input_audio\":{\"data\":\"UklGR", 0), 0u);
    EXPECT_NE(request.body.find(
                  R"("format":"wav"},"language":"en","model":"deepgram/nova-3","temperature":0})"),
              std::string::npos);

    ASSERT_TRUE(waitUntil([] { return sessionLog().find("utt#2") != std::string::npos; }, 5s));
    const std::string log = sessionLog();
    EXPECT_TRUE(std::regex_search(
        log,
        std::regex(R"(stt interviewer FINAL   utt#1 0\.9s audio -> \d+ ms: "what is a mutex\?")")))
        << log;
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(stt interviewer FINAL   utt#2 0\.7s audio -> \d+ ms: "next")")))
        << log;
}

TEST_F(TranscriberTest, UtterancesUnder400MsAreDropped) {
    start({.interimPartials = false});
    transcriber.onVadEvent(kSpeechStart);
    feed(1, 3);
    const std::vector<std::int16_t> short_(kChunk - 1, 4);
    transcriber.feed(short_);  // 6399 samples in all
    transcriber.onVadEvent(kSpeechEnd);
    transcriber.onVadEvent(kSpeechStart);
    feed(10, 4);  // exactly 6400
    transcriber.onVadEvent(kSpeechEnd);

    ASSERT_TRUE(waitForTranscripts(1));
    ASSERT_TRUE(server.waitForRequests(1, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receivedTranscripts(), (std::vector<Transcript>{{"ok", true, true}}));
    const auto audio = requestAudio();
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_TRUE(holdsChunks(audio[0], 10, 4));
    EXPECT_NE(sessionLog().find("stt utt#1 dropped: only 0.40s of audio"), std::string::npos);
}

TEST_F(TranscriberTest, ContinuousSpeechIsCutEvery28SecondsIntoNumberedFinals) {
    respondWith([](const auto& samples, int) { return text(std::to_string(samples.size())); });
    start({.interimPartials = false});
    feed(0, 4);
    transcriber.onVadEvent(kSpeechStart);
    feed(4, 600);  // 60 s
    transcriber.onVadEvent(kSpeechEnd);

    ASSERT_TRUE(waitForTranscripts(3, 20s));
    EXPECT_EQ(receivedTranscripts(),
              (std::vector<Transcript>{
                  {"448000", true, true}, {"448000", true, true}, {"70400", true, true}}));
    const auto audio = requestAudio();
    ASSERT_EQ(audio.size(), 3u);                   // no interim requests when they are off
    EXPECT_TRUE(holdsChunks(audio[0], 0, 280));    // with its pre-roll
    EXPECT_TRUE(holdsChunks(audio[1], 280, 280));  // without
    EXPECT_TRUE(holdsChunks(audio[2], 560, 44));
    ASSERT_TRUE(waitUntil([] { return sessionLog().find("utt#3") != std::string::npos; }, 5s));
    const std::string log = sessionLog();
    EXPECT_NE(log.find("FINAL   utt#1 28.0s audio"), std::string::npos) << log;
    EXPECT_NE(log.find("FINAL   utt#2 28.0s audio"), std::string::npos) << log;
    EXPECT_NE(log.find("FINAL   utt#3 4.4s audio"), std::string::npos) << log;
}

TEST_F(TranscriberTest, InterimsEvery1200MsAndNeverAfterTheUtteranceEnded) {
    // The interim holding 36 chunks is slow, so its utterance ends while it is in flight.
    respondWith([](const auto& samples, int) {
        Reply reply = text("n=" + std::to_string(samples.size() / kChunk));
        if (samples.size() == 36 * kChunk)
            reply.delay = 500ms;
        return reply;
    });
    start();
    transcriber.onVadEvent(kSpeechStart);
    feed(0, 12);
    ASSERT_TRUE(waitForTranscripts(1));
    EXPECT_EQ(receivedTranscripts()[0], (Transcript{"n=12", false, false}));
    feed(12, 11);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(server.requests().size(), 1u);  // 1.1 s of new audio is not enough
    feed(23, 1);
    ASSERT_TRUE(waitForTranscripts(2));
    EXPECT_EQ(receivedTranscripts()[1], (Transcript{"n=24", false, false}));

    feed(24, 12);
    ASSERT_TRUE(server.waitForRequests(3, 5s));
    feed(36, 14);  // the slow interim is still out: no second one is queued meanwhile
    transcriber.onVadEvent(kSpeechEnd);
    ASSERT_TRUE(waitForTranscripts(3));
    ASSERT_TRUE(waitUntil([] { return sessionLog().find("utt#1 3.6s") != std::string::npos; }, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receivedTranscripts(),
              (std::vector<Transcript>{
                  {"n=12", false, false}, {"n=24", false, false}, {"n=50", true, true}}));
    const auto audio = requestAudio();
    ASSERT_EQ(audio.size(), 4u);
    EXPECT_TRUE(holdsChunks(audio[0], 0, 12));
    EXPECT_TRUE(holdsChunks(audio[1], 0, 24));
}

TEST_F(TranscriberTest, SpeechEndingAsAnInterimIsQueuedDeliversOnlyTheFinal) {
    respondWith([](const auto& samples, int) {
        return text("n=" + std::to_string(samples.size() / kChunk));
    });
    start();
    transcriber.onVadEvent(kSpeechStart);
    feed(0, 12);                         // queues an interim ...
    transcriber.onVadEvent(kSpeechEnd);  // ... that this end discards
    ASSERT_TRUE(waitForTranscripts(1));
    EXPECT_EQ(receivedTranscripts(), (std::vector<Transcript>{{"n=12", true, true}}));

    // The next utterance gets interims again.
    transcriber.onVadEvent(kSpeechStart);
    for (int n = 100; n < 130 && receivedTranscripts().size() < 2; ++n) {
        feed(n, 1);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(waitForTranscripts(2));
    const auto second = receivedTranscripts()[1];
    EXPECT_FALSE(second.isFinal);
    EXPECT_FALSE(second.speechFinal);
}

TEST_F(TranscriberTest, TwoEmptyInterimsInARowRestartTheBuffer) {
    // Interims: "", "um", "", "" (the second pair restarts the buffer); finals: the chunk count.
    respondWith([](const auto& samples, int index) {
        if (index == 2)
            return text("um");
        if (index <= 4)
            return text("");
        return text("n=" + std::to_string(samples.size() / kChunk) +
                    " first=" + std::to_string(samples.empty() ? -1 : samples[0]));
    });
    start();
    transcriber.onVadEvent(kSpeechStart);
    for (int i = 0; i < 4; ++i) {
        feed(i * 12, 12);
        ASSERT_TRUE(waitForTranscripts(static_cast<std::size_t>(i + 1)));
    }
    feed(48, 5);
    transcriber.onVadEvent(kSpeechEnd);
    ASSERT_TRUE(waitForTranscripts(5));
    EXPECT_EQ(receivedTranscripts(), (std::vector<Transcript>{{"", false, false},
                                                              {"um", false, false},
                                                              {"", false, false},
                                                              {"", false, false},
                                                              {"n=5 first=48", true, true}}));
    const std::string log = sessionLog();
    EXPECT_NE(log.find("stt interviewer utt#1 looks like noise (empty twice) - restarting buffer"),
              std::string::npos)
        << log;
}

TEST_F(TranscriberTest, RepeatedErrorGivesOneStatusAndTheNextSuccessReady) {
    respondWith([](const auto&, int index) {
        if (index <= 2)
            return Reply{.status = 500, .body = R"({"error":{"message":"overloaded"}})"};
        return text("back");
    });
    start({.model = "m/2", .interimPartials = false});
    for (int u = 0; u < 3; ++u) {
        transcriber.onVadEvent(kSpeechStart);
        feed(u * 10, 5);
        transcriber.onVadEvent(kSpeechEnd);
    }
    ASSERT_TRUE(waitForTranscripts(3));
    // A failed final still closes the utterance for the listener.
    EXPECT_EQ(receivedTranscripts(),
              (std::vector<Transcript>{{"", true, true}, {"", true, true}, {"back", true, true}}));
    EXPECT_EQ(
        receivedStatuses(),
        (std::vector<std::string>{"ready (m/2)", "error: HTTP 500: overloaded", "ready (m/2)"}));
    EXPECT_NE(sessionLog().find("ms: ERROR HTTP 500: overloaded"), std::string::npos);
}

TEST_F(TranscriberTest, StopDuringARequestAbortsItWithoutCallbacks) {
    respondWith([](const auto&, int) { return Reply{.delay = 15s}; });
    start({.interimPartials = false});
    transcriber.onVadEvent(kSpeechStart);
    feed(0, 5);
    transcriber.onVadEvent(kSpeechEnd);
    ASSERT_TRUE(server.waitForRequests(1, 5s));
    const auto begin = std::chrono::steady_clock::now();
    transcriber.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    transcriber.stop();  // harmless
    EXPECT_TRUE(receivedTranscripts().empty());
    EXPECT_EQ(receivedStatuses(), (std::vector<std::string>{"ready (deepgram/nova-3)"}));
    EXPECT_TRUE(std::regex_search(
        sessionLog(), std::regex(R"(FINAL   utt#1 0\.5s audio -> \d+ ms: ERROR Callback aborted)")))
        << sessionLog();
}

TEST_F(TranscriberTest, AudioOutsideARunIsIgnoredAndNumbersGoOnAcrossRuns) {
    respondWith([](const auto& samples, int) {
        return text("n=" + std::to_string(samples.size() / kChunk));
    });
    feed(0, 10);
    transcriber.onVadEvent(kSpeechStart);
    feed(10, 10);
    transcriber.onVadEvent(kSpeechEnd);
    start({.interimPartials = false});
    transcriber.onVadEvent(kSpeechEnd);  // no utterance open
    transcriber.onVadEvent(kSpeechStart);
    feed(20, 5);  // no pre-roll from before the run
    transcriber.onVadEvent(kSpeechEnd);
    ASSERT_TRUE(waitForTranscripts(1));

    transcriber.stop();
    feed(30, 4);
    transcriber.onVadEvent(kSpeechStart);
    feed(34, 10);
    transcriber.onVadEvent(kSpeechEnd);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.requests().size(), 1u);

    start({.interimPartials = false});
    transcriber.onVadEvent(kSpeechStart);
    feed(50, 6);
    transcriber.onVadEvent(kSpeechEnd);
    ASSERT_TRUE(waitForTranscripts(2));
    EXPECT_EQ(receivedTranscripts(),
              (std::vector<Transcript>{{"n=5", true, true}, {"n=6", true, true}}));
    EXPECT_EQ(receivedStatuses(),
              (std::vector<std::string>{"ready (deepgram/nova-3)", "ready (deepgram/nova-3)"}));
    ASSERT_TRUE(waitUntil([] { return sessionLog().find("utt#2") != std::string::npos; }, 5s));
    EXPECT_NE(sessionLog().find("FINAL   utt#2 0.6s"), std::string::npos) << sessionLog();
}

}  // namespace
}  // namespace morvelin
