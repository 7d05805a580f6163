#include "speech/stt_client.h"

#include "tests/support/local_ws_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

namespace morvelin {
namespace {

using halvenor::test::LocalWsServer;
using halvenor::test::ScopedEnv;
using halvenor::test::TempDir;
using namespace std::chrono_literals;

constexpr const char* kListenQuery =
    "/v1/listen?encoding=linear16&sample_rate=16000&channels=1&model=nova-2&punctuate=true"
    "&smart_format=true&interim_results=true&endpointing=300";
constexpr const char* kCloseStream = R"({"type":"CloseStream"})";

using Transcript = std::tuple<std::string, bool, bool>;

// Records what the client reports, from the socket's thread.
class Recorder {
public:
    TranscriptCallback transcripts() {
        return [this](const std::string& text, bool isFinal, bool speechFinal) {
            std::lock_guard lock(mutex_);
            transcripts_.emplace_back(text, isFinal, speechFinal);
            changed_.notify_all();
        };
    }
    StatusCallback statuses() {
        return [this](const std::string& text) {
            std::lock_guard lock(mutex_);
            statuses_.push_back(text);
            changed_.notify_all();
        };
    }

    // Waits until `count` statuses starting with prefix have arrived.
    bool waitForStatus(const std::string& prefix, std::size_t count = 1,
                       std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            std::size_t n = 0;
            for (const auto& status : statuses_)
                n += status.rfind(prefix, 0) == 0;
            return n >= count;
        });
    }
    bool waitForTranscript(const std::string& text, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& transcript : transcripts_)
                if (std::get<0>(transcript) == text)
                    return true;
            return false;
        });
    }
    std::vector<std::string> statusList() const {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<Transcript> transcriptList() const {
        std::lock_guard lock(mutex_);
        return transcripts_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> statuses_;
    std::vector<Transcript> transcripts_;
};

std::string result(const std::string& transcript, bool isFinal = false, bool speechFinal = false) {
    return std::string(R"({"type":"Results","channel":{"alternatives":[{"transcript":")") +
           transcript + R"(","confidence":0.9}]},"is_final":)" + (isFinal ? "true" : "false") +
           R"(,"speech_final":)" + (speechFinal ? "true" : "false") + "}";
}

class SttClientTest : public ::testing::Test {
protected:
    LocalWsServer server;
    Recorder recorder;
    SttClient client;

    std::string url() const { return server.baseUrl() + kListenQuery; }
    void startWith(const std::string& key) {
        client.start(url(), key, recorder.transcripts(), recorder.statuses());
    }
    void connect(const std::string& key = "k") {
        startWith(key);
        ASSERT_TRUE(recorder.waitForStatus("connected"));
    }
    std::vector<halvenor::test::WsReceived> textsReceived() const {
        std::vector<halvenor::test::WsReceived> texts;
        for (const auto& message : server.messages())
            if (!message.binary)
                texts.push_back(message);
        return texts;
    }
};

TEST(SttListenUrl, DefaultsToTheServiceAndFollowsTheBaseUrlVariable) {
    {
        ScopedEnv unset("HALVENOR_STT_BASE_URL", nullptr);
        EXPECT_EQ(defaultSttListenUrl(), std::string("wss://api.deepgram.com") + kListenQuery);
    }
    ScopedEnv local("HALVENOR_STT_BASE_URL", "ws://127.0.0.1:4321/");
    EXPECT_EQ(defaultSttListenUrl(), std::string("ws://127.0.0.1:4321") + kListenQuery);
}

TEST_F(SttClientTest, HandshakeCarriesTheKeyOnlyWhenThereIsOne) {
    ScopedEnv base("HALVENOR_STT_BASE_URL", server.baseUrl().c_str());
    client.start(defaultSttListenUrl(), "secret-key", recorder.transcripts(), recorder.statuses());
    ASSERT_TRUE(recorder.waitForStatus("connected"));
    client.start(defaultSttListenUrl(), "", recorder.transcripts(), recorder.statuses());
    ASSERT_TRUE(recorder.waitForStatus("connected", 2));

    const auto handshakes = server.handshakes();
    ASSERT_EQ(handshakes.size(), 2u);
    EXPECT_EQ(handshakes[0].target, kListenQuery);
    EXPECT_EQ(handshakes[0].header("authorization"), "Token secret-key");
    EXPECT_EQ(handshakes[1].target, kListenQuery);
    EXPECT_FALSE(handshakes[1].hasHeader("authorization"));
}

TEST_F(SttClientTest, ARefusedHandshakeIsReportedAndRetriedUntilStop) {
    server.refuseHandshakes(401, "Invalid credentials.");
    startWith("wrong");
    ASSERT_TRUE(recorder.waitForStatus("error (HTTP 401): ", 2));
    client.sendAudio(std::vector<std::int16_t>(1600, 7));  // not connected: dropped
    client.stop();
    const auto attempts = server.handshakes().size();
    EXPECT_GE(attempts, 2u);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(server.handshakes().size(), attempts);
    // Never connected: no end-of-stream message, no audio, no close frame.
    EXPECT_TRUE(server.messages().empty());
    EXPECT_TRUE(server.closesReceived().empty());
    for (const auto& status : recorder.statusList())
        EXPECT_EQ(status.rfind("error (HTTP 401): ", 0), 0u) << status;
}

TEST_F(SttClientTest, EachSendIsOneLittleEndianBinaryFrameWhileConnected) {
    server.refuseHandshakes(503);
    startWith("k");
    ASSERT_TRUE(recorder.waitForStatus("error (HTTP 503)"));
    const std::vector<std::int16_t> early{1, 2, 3};
    client.sendAudio(early);  // before the open event: dropped
    server.refuseHandshakes(0);
    ASSERT_TRUE(recorder.waitForStatus("connected"));

    const std::vector<std::int16_t> samples{1, -2, 0x1234, -32768, 32767};
    client.sendAudio(samples);
    client.sendAudio({});  // an empty span sends nothing
    client.sendAudio(std::vector<std::int16_t>(1600, -1));
    ASSERT_TRUE(server.waitForMessages(2, 5s));
    std::this_thread::sleep_for(100ms);
    const auto messages = server.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].binary);
    EXPECT_EQ(messages[0].data, std::string("\x01\x00\xFE\xFF\x34\x12\x00\x80\xFF\x7F", 10));
    EXPECT_TRUE(messages[1].binary);
    EXPECT_EQ(messages[1].data, std::string(3200, '\xFF'));
}

TEST_F(SttClientTest, DeliversOnlyReadableResults) {
    connect();
    const std::vector<std::string> sent{
        result("hello", false, false),
        result("", false, false),  // empty interim: dropped
        result("", true, false),   // empty final: delivered
        // flags inside "channel" or an alternative do not count
        R"({"type":"Results","channel":{"is_final":true,"speech_final":true,)"
        R"("alternatives":[{"transcript":"inner","is_final":true}]}})",
        R"({"type":"Metadata","channel":{"alternatives":[{"transcript":"meta"}]},"is_final":true})",
        R"({"type":5,"channel":{"alternatives":[{"transcript":"number type"}]}})",
        R"({"channel":{"alternatives":[{"transcript":"no type"}]}})",
        "not json at all",
        R"(["Results"])",
        R"(/* note */ {"type":"Results","channel":{"alternatives":[{"transcript":"comment"}]}})",
        R"({"type":"Results","channel":{"alternatives":[]},"is_final":true})",
        R"({"type":"Results","channel":"text","is_final":true})",
        R"({"type":"Results","is_final":true})",
        R"({"type":"Results","channel":{"alternatives":{"transcript":"object"}},"is_final":true})",
        R"({"type":"Results","channel":{"alternatives":[{"transcript":7}]},"is_final":true})",
        R"({"type":"Results","channel":{"alternatives":[{"text":"no transcript"}]},"is_final":true})",
        result("Is it done?", true, true),
    };
    for (const auto& message : sent)
        ASSERT_TRUE(server.sendText(message));
    ASSERT_TRUE(server.sendBinary(result("binary", true, true)));
    ASSERT_TRUE(server.sendText(result("end", true, false)));
    ASSERT_TRUE(recorder.waitForTranscript("end"));
    const std::vector<Transcript> expected{
        {"hello", false, false}, {"", true, false},           {"inner", false, false},
        {"", true, false},       {"Is it done?", true, true}, {"end", true, false},
    };
    EXPECT_EQ(recorder.transcriptList(), expected);
}

TEST_F(SttClientTest, StartWhileConnectedEndsTheOldStreamAndOpensANewOne) {
    connect("first");
    client.start(url(), "second", recorder.transcripts(), recorder.statuses());
    // The old stream got its end-of-stream message and a normal close before the new one opened.
    const auto texts = textsReceived();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].data, kCloseStream);
    EXPECT_EQ(texts[0].data.size(), 22u);
    EXPECT_EQ(texts[0].connectionIndex, 1);
    ASSERT_TRUE(server.waitForCloses(1, 5s));
    EXPECT_EQ(server.closesReceived()[0].connectionIndex, 1);
    EXPECT_EQ(server.closesReceived()[0].code, 1000);
    EXPECT_EQ(server.closesReceived()[0].reason, "Normal closure");

    ASSERT_TRUE(recorder.waitForStatus("connected", 2));
    const std::vector<std::string> statuses{"connected", "closed: Normal closure", "connected"};
    EXPECT_EQ(recorder.statusList(), statuses);
    EXPECT_EQ(server.handshakes().back().header("authorization"), "Token second");
    ASSERT_TRUE(server.sendText(result("on the new one", true, true)));
    EXPECT_TRUE(recorder.waitForTranscript("on the new one"));
}

TEST_F(SttClientTest, StopIsSafeWhenIdleAndRepeated) {
    client.stop();  // nothing started
    connect();
    client.stop();
    client.stop();
    ASSERT_TRUE(server.waitForCloses(1, 5s));
    EXPECT_EQ(textsReceived().size(), 1u);
    EXPECT_EQ(server.closesReceived().size(), 1u);
    client.sendAudio(std::vector<std::int16_t>(160, 1));  // after stop: dropped
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.messages().size(), 1u);
}

TEST_F(SttClientTest, ALostConnectionIsReportedAndTranscriptsFlowAgainAfterReconnecting) {
    connect();
    server.stopAccepting();
    server.dropConnections();
    ASSERT_TRUE(recorder.waitForStatus("closed: Abnormal closure"));
    client.sendAudio(std::vector<std::int16_t>(1600, 3));  // while down: lost
    ASSERT_TRUE(recorder.waitForStatus("error: "));
    server.resumeAccepting();
    ASSERT_TRUE(recorder.waitForStatus("connected", 2, 10s));
    ASSERT_TRUE(server.waitForOpenConnections(1, 5s));

    ASSERT_TRUE(server.sendText(result("after the gap", true, true)));
    EXPECT_TRUE(recorder.waitForTranscript("after the gap"));
    client.sendAudio(std::vector<std::int16_t>(4, 9));
    ASSERT_TRUE(server.waitForMessages(1, 5s));
    EXPECT_EQ(server.messages()[0].data, std::string("\x09\x00\x09\x00\x09\x00\x09\x00", 8));

    // A close with an empty reason reads "closed".
    ASSERT_TRUE(server.close(1000, ""));
    ASSERT_TRUE(recorder.waitForStatus("closed", 2));
    const auto statuses = recorder.statusList();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "closed"), statuses.end());
}

TEST_F(SttClientTest, StopWhileResultsPourInNeitherHangsNorLosesTheClose) {
    connect();
    std::jthread flood([this](std::stop_token stop) {
        for (int i = 0; i < 2000 && !stop.stop_requested(); ++i)
            if (!server.sendText(result("word " + std::to_string(i))))
                break;
    });
    std::jthread audio([this](std::stop_token stop) {
        const std::vector<std::int16_t> chunk(1600, 5);
        while (!stop.stop_requested()) {
            client.sendAudio(chunk);
            std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_TRUE(recorder.waitForTranscript("word 50"));
    client.stop();
    audio.request_stop();
    audio.join();
    EXPECT_TRUE(server.waitForCloses(1, 5s));
    const auto texts = textsReceived();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().data, kCloseStream);
    EXPECT_EQ(recorder.statusList().back(), "closed: Normal closure");
}

TEST(SttClientTls, ConnectsThroughTheSystemTrustStoreAndChecksTheHostName) {
    TempDir dir;
    const auto certificates = halvenor::test::makeTestCertificates(dir.path(), "localhost");
    LocalWsServer server({certificates.certificateFile, certificates.privateKeyFile});
    // OpenSSL's default verify paths honour SSL_CERT_FILE: the test CA becomes "the system's".
    ScopedEnv trust("SSL_CERT_FILE", certificates.caFile.c_str());

    Recorder good;
    SttClient client;
    {
        ScopedEnv base("HALVENOR_STT_BASE_URL", server.baseUrl("localhost").c_str());
        client.start(defaultSttListenUrl(), "k", good.transcripts(), good.statuses());
    }
    ASSERT_TRUE(good.waitForStatus("connected"));
    ASSERT_TRUE(server.sendText(result("over tls", true, true)));
    EXPECT_TRUE(good.waitForTranscript("over tls"));
    client.stop();

    Recorder wrongName;
    client.start(server.baseUrl("127.0.0.1") + kListenQuery, "k", wrongName.transcripts(),
                 wrongName.statuses());
    ASSERT_TRUE(wrongName.waitForStatus("error: "));
    EXPECT_NE(wrongName.statusList()[0].find("certificate verify failed"), std::string::npos)
        << wrongName.statusList()[0];
    client.stop();
    EXPECT_EQ(server.handshakes().size(), 1u);
}

}  // namespace
}  // namespace morvelin
