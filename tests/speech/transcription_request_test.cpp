#include "speech/transcription_request.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/curl_handles.h"
#include "base/service_hosts.h"
#include "tests/speech/speech_test_support.h"
#include "tests/support/local_http_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

using namespace std::chrono_literals;
using halvenor::test::HttpRequest;
using halvenor::test::LocalHttpServer;
using halvenor::test::PeakResidentGrowth;
using halvenor::test::replyEndlessly;
using halvenor::test::replyOnce;
using halvenor::test::ScopedEnv;
using halvenor::test::ScriptedResponse;

std::uint32_t readUint(const std::vector<std::uint8_t>& bytes, std::size_t offset, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[offset + i];
    return value;
}

TEST(Wav, HeaderOf6400Samples) {
    std::vector<std::int16_t> samples(6400);
    samples[0] = -2;
    samples[6399] = 0x1234;
    const auto wav = makeWav(samples);
    ASSERT_EQ(wav.size(), 12844u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(readUint(wav, 4, 4), 12836u);
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(readUint(wav, 16, 4), 16u);
    EXPECT_EQ(readUint(wav, 20, 2), 1u);
    EXPECT_EQ(readUint(wav, 22, 2), 1u);
    EXPECT_EQ(readUint(wav, 24, 4), 16000u);
    EXPECT_EQ(readUint(wav, 28, 4), 32000u);
    EXPECT_EQ(readUint(wav, 32, 2), 2u);
    EXPECT_EQ(readUint(wav, 34, 2), 16u);
    EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
    EXPECT_EQ(readUint(wav, 40, 4), 12800u);
    EXPECT_EQ(readUint(wav, 44, 2), 0xFFFEu);  // little-endian two's complement
    EXPECT_EQ(readUint(wav, 12842, 2), 0x1234u);
    EXPECT_EQ(makeWav({}).size(), 44u);
}

TEST(Wav, AppendLittleEndianTakesTheValueAs32Bits) {
    std::vector<std::uint8_t> out;
    appendLittleEndian(out, 0x1122334455667788ull, 0);
    appendLittleEndian(out, 0x1234, -1);
    EXPECT_TRUE(out.empty());
    appendLittleEndian(out, 0x1122334455667788ull, 6);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x88, 0x77, 0x66, 0x55, 0, 0}));
}

TEST(TranscriptionBody, ExactBytesWithAndWithoutLanguage) {
    BatchTranscriberConfig config;
    config.apiKey = "not in the body";
    const std::string data = "UklGRigAAABXQVZFZm10IBAAAAABAAEAgD4AAAB9AAACABAAZGF0YQQAAAABAP7/";
    EXPECT_EQ(buildTranscriptionBody(config, {1, -2}),
              "{\"input_audio\":{\"data\":\"" + data +
                  "\",\"format\":\"wav\"},\"language\":\"en\",\"model\":\"deepgram/nova-3\","
                  "\"temperature\":0}");
    config.language.clear();
    config.model = "openai/whisper-ünï";  // non-ASCII stays raw UTF-8
    EXPECT_EQ(buildTranscriptionBody(config, {1, -2}),
              "{\"input_audio\":{\"data\":\"" + data +
                  "\",\"format\":\"wav\"},\"model\":\"openai/whisper-ünï\",\"temperature\":0}");
}

TEST(TranscriptionBody, InvalidUtf8InTheSettingsDoesNotThrow) {
    BatchTranscriberConfig config;
    config.model = "bad\xff";
    config.language = "e\xc3";
    const std::string body = buildTranscriptionBody(config, {});
    EXPECT_NE(body.find("\"model\":\"bad\xef\xbf\xbd\""), std::string::npos);
    EXPECT_TRUE(nlohmann::json::accept(body));
}

TEST(TranscriptionResponse, SuccessAndErrorForms) {
    std::string text = "stale";
    EXPECT_EQ(interpretTranscriptionResponse(200, R"({"text":" \r\n hi there\t\n"})", text), "");
    EXPECT_EQ(text, "hi there");
    EXPECT_EQ(interpretTranscriptionResponse(200, R"({"text":" \n\r\t "})", text), "");
    EXPECT_EQ(text, "");
    EXPECT_EQ(interpretTranscriptionResponse(204, R"({"text":"","extra":1})", text), "");

    for (const char* body : {R"({"text":42})", R"(["text"])", "not json", "",
                             R"({"text":"a"} // comment)", R"({"result":"a"})"}) {
        text = "stale";
        EXPECT_EQ(interpretTranscriptionResponse(200, body, text),
                  "unexpected transcription response")
            << body;
        EXPECT_EQ(text, "");
    }

    EXPECT_EQ(interpretTranscriptionResponse(
                  401, R"({"error":{"message":"No auth credentials found","code":401}})", text),
              "HTTP 401: No auth credentials found");
    EXPECT_EQ(interpretTranscriptionResponse(400, R"({"error":{"code":400,"why":"x"}})", text),
              R"(HTTP 400: {"code":400,"why":"x"})");
    EXPECT_EQ(interpretTranscriptionResponse(400, R"({"error":{"message":["a"]}})", text),
              R"(HTTP 400: {"message":["a"]})");
    EXPECT_EQ(interpretTranscriptionResponse(429, R"({"error":"slow \"down\""})", text),
              R"(HTTP 429: "slow \"down\"")");
    EXPECT_EQ(interpretTranscriptionResponse(500, R"({"error":null})", text), "HTTP 500: null");
    EXPECT_EQ(interpretTranscriptionResponse(503, R"({"detail":"x"})", text),
              R"(HTTP 503: {"detail":"x"})");
    EXPECT_EQ(interpretTranscriptionResponse(301, "", text), "HTTP 301: ");
    const std::string html = "<html>" + std::string(300, 'x') + "</html>";
    EXPECT_EQ(interpretTranscriptionResponse(502, html, text), "HTTP 502: " + html.substr(0, 200));
}

// ---------------------------------------------------------------------------------------------
// Requests against a local server.

class TranscribeTest : public ::testing::Test {
protected:
    std::string run(const ScriptedResponse& response, std::string& error) {
        server = std::make_unique<LocalHttpServer>(LocalHttpServer::scripted(response));
        ScopedEnv baseUrl("HALVENOR_CHAT_BASE_URL", (server->baseUrl() + "/").c_str());
        std::stop_source stopSource;
        std::stop_token token = stopSource.get_token();
        return transcribe(handle.get(), token, config, samples, error);
    }

    static ScriptedResponse json(int status, std::string body) {
        return ScriptedResponse{.status = status,
                                .headers = {{"Content-Type", "application/json"}},
                                .pieces = {{.data = std::move(body)}}};
    }

    BatchTranscriberConfig config{.apiKey = "sk-test", .model = "m/1", .language = ""};
    std::vector<std::int16_t> samples = std::vector<std::int16_t>(1600, 7);
    CurlEasy handle{curl_easy_init()};
    std::unique_ptr<LocalHttpServer> server;
};

TEST_F(TranscribeTest, PostsTheBodyWithItsHeadersAndReturnsTrimmedText) {
    std::string error = "stale";
    EXPECT_EQ(run(json(200, R"({"text":"\n  what is a mutex  \r\n"})"), error), "what is a mutex");
    EXPECT_EQ(error, "");
    const auto requests = server->requests();
    ASSERT_EQ(requests.size(), 1u);
    const HttpRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/v1/audio/transcriptions");
    EXPECT_EQ(request.header("content-type"), "application/json");
    EXPECT_EQ(request.header("authorization"), "Bearer sk-test");
    EXPECT_EQ(request.header("x-title"), "Halvenor");
    EXPECT_EQ(request.body, buildTranscriptionBody(config, samples));
    EXPECT_EQ(request.header("content-length"), std::to_string(request.body.size()));
    EXPECT_EQ(speech_test::requestSamples(request.body), samples);
    EXPECT_EQ(request.body.find("\"language\""), std::string::npos);
}

TEST_F(TranscribeTest, StatusAndBodyBecomeTheErrorText) {
    std::string error;
    EXPECT_EQ(run(json(200, R"({"text":" \n "})"), error), "");
    EXPECT_EQ(error, "");  // nothing was said
    EXPECT_EQ(run(json(200, R"({"text":3})"), error), "");
    EXPECT_EQ(error, "unexpected transcription response");
    EXPECT_EQ(run(json(401, R"({"error":{"message":"User not found.","code":401}})"), error), "");
    EXPECT_EQ(error, "HTTP 401: User not found.");
    const std::string gateway = std::string(150, 'a') + std::string(150, 'b');
    EXPECT_EQ(run(ScriptedResponse{.status = 502, .pieces = {{.data = gateway}}}, error), "");
    EXPECT_EQ(error, "HTTP 502: " + gateway.substr(0, 200));
}

TEST_F(TranscribeTest, RefusedConnectionGivesTheTransferError) {
    std::uint16_t port = 0;
    {
        LocalHttpServer closed(LocalHttpServer::scripted({}));
        port = closed.port();
    }
    ScopedEnv baseUrl("HALVENOR_CHAT_BASE_URL",
                      ("http://127.0.0.1:" + std::to_string(port)).c_str());
    std::stop_source stopSource;
    std::stop_token token = stopSource.get_token();
    std::string error;
    EXPECT_EQ(transcribe(handle.get(), token, config, samples, error), "");
    EXPECT_NE(error.find("onnect"), std::string::npos) << error;
}

TEST_F(TranscribeTest, StopRequestAbortsTheTransfer) {
    server = std::make_unique<LocalHttpServer>(
        LocalHttpServer::scripted({.pieces = {{.delay = 15s, .data = R"({"text":"late"})"}}}));
    ScopedEnv baseUrl("HALVENOR_CHAT_BASE_URL", server->baseUrl().c_str());
    std::stop_source stopSource;
    std::jthread stopper([&] {
        server->waitForRequests(1, 5s);
        stopSource.request_stop();
    });
    std::stop_token token = stopSource.get_token();
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transcribe(handle.get(), token, config, samples, error), "");
    // libcurl looks at the progress callback about once a second while the server is silent.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(error, "Callback aborted");
}

// ---------------------------------------------------------------------------------------------
// Answers from broken servers, proxies and portals: each ends with one error text (or a
// repaired text), within a bounded amount of memory, and never takes the process down.

TEST_F(TranscribeTest, HostileAnswersEndInOneBoundedErrorText) {
    const std::string deepMessage =
        R"({"error":{"message":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}}";
    const std::string deepError =
        R"({"error":)" + std::string(30'000, '[') + std::string(30'000, ']') + "}";
    const std::string block(64 << 10, 'x');
    const std::string message(60'000, 'm');

    struct Case {
        const char* name;
        halvenor::test::HttpHandler reply;
        std::string error;
        std::string text{};
    };
    const std::vector<Case> cases = {
        {"error body nesting 100,000 levels", replyOnce(400, "application/json", deepMessage),
         "HTTP 400: " + deepMessage.substr(0, 200)},
        {"error member nesting 30,000 levels", replyOnce(400, "application/json", deepError),
         "HTTP 400: " + deepError.substr(0, 200)},
        {"endless answer", replyEndlessly(200, "application/json", R"({"text":")", block),
         "transcription response over 1 MiB"},
        {"endless error body", replyEndlessly(400, "application/json", "", block),
         "HTTP 400: " + block.substr(0, 200)},
        {"long error message",
         replyOnce(400, "application/json", R"({"error":{"message":")" + message + R"("}})"),
         "HTTP 400: " + message.substr(0, 300) + "..."},
        {"transcript over its bound",
         replyOnce(200, "application/json", R"({"text":")" + std::string(20'000, 't') + "\"}"),
         "transcript over 16 KiB"},
        {"invalid UTF-8 in the transcript",
         replyOnce(200, "application/json", "{\"text\":\" caf\xC3 au lait \"}"), "",
         "caf\xEF\xBF\xBD au lait"},
        {"invalid UTF-8 in the error message",
         replyOnce(429, "application/json", "{\"error\":{\"message\":\"slow \xE2\x82 down\"}}"),
         "HTTP 429: slow \xEF\xBF\xBD down"},
    };
    // Far above the client's own bounds (1 MiB answer, 64 KiB error body) and the servers'
    // buffers, far below what an answer without a bound reaches.
    constexpr long kPeakGrowthLimitKb = 64 << 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PeakResidentGrowth growth;
        const auto start = std::chrono::steady_clock::now();
        {
            server = std::make_unique<LocalHttpServer>(c.reply);
            ScopedEnv baseUrl("HALVENOR_CHAT_BASE_URL", server->baseUrl().c_str());
            std::stop_source stopSource;
            std::stop_token token = stopSource.get_token();
            std::string error;
            EXPECT_EQ(transcribe(handle.get(), token, config, samples, error), c.text);
            EXPECT_EQ(error, c.error);
            server.reset();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_LT(growth.kb(), kPeakGrowthLimitKb);
    }
}

TEST(ChatServiceBaseUrl, DefaultsToTheRealHost) {
    {
        ScopedEnv unset("HALVENOR_CHAT_BASE_URL", nullptr);
        EXPECT_EQ(chatServiceBaseUrl(), "https://openrouter.ai");
    }
    ScopedEnv set("HALVENOR_CHAT_BASE_URL", "http://127.0.0.1:9//");
    EXPECT_EQ(chatServiceBaseUrl(), "http://127.0.0.1:9");
}

}  // namespace
}  // namespace morvelin
