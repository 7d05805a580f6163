#pragma once
// One user's desktop for an end-to-end story: a private X server, a private PulseAudio daemon,
// the chat/transcription service and the streaming speech-to-text service on 127.0.0.1, a
// fresh app-data folder, and the real program started with keys in its environment. The
// services are under the story's control: the transcription service hears whatever text the
// story says is being spoken, the chat service follows a script per request when one is set
// (stall, error status, hostile body), and every chat request records how it ended.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/local_http_server.h"
#include "tests/support/local_ws_server.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"
#include "tests/support/window_fixture.h"

namespace halvenor::e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::HttpRequest;
using test::HttpResponseWriter;

// What the transcription service saw in one upload.
struct Upload {
    bool validWav = false;  // RIFF/WAVE, PCM, mono, 16 kHz, 16 bits
    double rmsDb = -140;
    std::size_t samples = 0;
};

inline Upload inspectUpload(const std::string& body) {
    Upload upload;
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object() || !json.contains("input_audio") || !json["input_audio"].is_object())
        return upload;
    const auto wav = test::decodeBase64(json["input_audio"].value("data", std::string()));
    const auto u16 = [&](std::size_t at) { return wav[at] | (wav[at + 1] << 8); };
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(u16(at)) |
               (static_cast<std::uint32_t>(u16(at + 2)) << 16);
    };
    if (wav.size() < 46 || std::string(wav.begin(), wav.begin() + 4) != "RIFF" ||
        std::string(wav.begin() + 8, wav.begin() + 12) != "WAVE")
        return upload;
    upload.validWav = u16(20) == 1 && u16(22) == 1 && u32(24) == 16000 && u16(34) == 16 &&
                      u32(40) == wav.size() - 44;
    double sum = 0;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2) {
        const double s = static_cast<std::int16_t>(u16(i)) / 32768.0;
        sum += s * s;
        ++upload.samples;
    }
    if (upload.samples > 0 && sum > 0)
        upload.rmsDb = 10 * std::log10(sum / static_cast<double>(upload.samples));
    return upload;
}

// The level of 16-bit little-endian PCM, as a streaming client sends it, in dB full scale.
inline double rmsOfPcm(const std::string& bytes) {
    double sum = 0;
    const std::size_t count = bytes.size() / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const auto sample =
            static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                      (static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8));
        sum += (sample / 32768.0) * (sample / 32768.0);
    }
    return count && sum > 0 ? 10 * std::log10(sum / static_cast<double>(count)) : -140;
}

// A result message of the streaming speech-to-text service.
inline std::string sttResult(const std::string& text, bool isFinal, bool speechFinal) {
    return nlohmann::json{{"type", "Results"},
                          {"channel", {{"alternatives", {{{"transcript", text}}}}}},
                          {"is_final", isFinal},
                          {"speech_final", speechFinal}}
        .dump();
}

// One token of the chat service's event stream.
inline std::string sseToken(const std::string& text) {
    return "data: " + nlohmann::json{{"choices", {{{"delta", {{"content", text}}}}}}}.dump() +
           "\n\n";
}

// How one chat request ended, as the chat service saw it.
struct ChatOutcome {
    nlohmann::json request;
    bool completed = false;                 // the whole answer was sent and ended
    std::optional<Clock::time_point> gone;  // when the program hung up mid-answer
    Clock::time_point received{};
};

// Answers one chat request; `index` counts chat requests from 0.
using ChatScript = std::function<void(std::size_t index, HttpResponseWriter&, ChatOutcome&)>;

// The normal answer, streamed in three pieces.
inline void streamAnswer(HttpResponseWriter& writer, ChatOutcome& outcome) {
    writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
    for (const char* piece : {"**Focus.**", " I finish", " what I start."}) {
        if (!writer.write(sseToken(piece)) || !writer.pause(20ms))
            return;
    }
    writer.write("data: [DONE]\n\n");
    writer.finish();
    outcome.completed = true;
}

class Session : public test::ProgramTest {
protected:
    static constexpr const char* kAnswer = "**Focus.** I finish what I start.";

    explicit Session(const std::string& appDataPrefix = "halvenor-e2e")
        : ProgramTest(appDataPrefix),
          services_([this](const HttpRequest& request, HttpResponseWriter& writer) {
              serve(request, writer);
          }) {}

    ~Session() override {
        if (program_.running())
            program_.stop(SIGTERM, 10s);
    }

    // Starts the program and waits until its HUD is on screen.
    void start(const std::map<std::string, std::string>& extra = {}) {
        std::map<std::string, std::string> env = pulse_.env();
        env["OPENROUTER_API_KEY"] = "test-openrouter-key";
        env["HALVENOR_CHAT_BASE_URL"] = services_.baseUrl();
        env["HALVENOR_STT_BASE_URL"] = stt_.baseUrl();
        for (const auto& [name, value] : extra)
            env[name] = value;
        hud_ = launch(HALVENOR_BINARY, env);
        ASSERT_NE(hud_, None) << "the HUD did not appear";
    }

    void key(const std::string& keys) { xdotool({"key", keys}); }

    using ProgramTest::clickHud;
    // A point of the HUD the last start() found.
    void clickHud(int x, int y) { clickHud(hud_, x, y); }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 30s) const {
        return test::waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }

    // Switches listening on with its global hotkey and waits until capture runs.
    void startListening() {
        key("ctrl+shift+l");
        ASSERT_TRUE(waitForLog("=== listening ON", 15s)) << log();
    }

    // What the transcription service hears in the speech played from now on.
    void hear(const std::string& text) {
        std::lock_guard lock(mutex_);
        heard_ = text;
    }

    // How the chat service answers from now on (the normal answer when none is set).
    void setChatScript(ChatScript script) {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }

    std::vector<ChatOutcome> chats() const {
        std::lock_guard lock(mutex_);
        return chats_;
    }
    std::size_t completedChats() const {
        std::size_t count = 0;
        for (const auto& chat : chats())
            count += chat.completed ? 1 : 0;
        return count;
    }

    // The chat requests received so far, parsed.
    std::vector<nlohmann::json> chatRequests() const {
        std::vector<nlohmann::json> out;
        for (const ChatOutcome& chat : chats())
            out.push_back(chat.request);
        return out;
    }

    std::vector<Upload> uploads() const {
        std::lock_guard lock(mutex_);
        return uploads_;
    }

    // The last user message of a chat request.
    static std::string lastUserText(const nlohmann::json& request) {
        const auto& content = request.at("messages").back().at("content");
        return content.is_string() ? content.get<std::string>() : content.dump();
    }

    // A picture of the whole screen for a person to look at, kept in the build tree.
    void saveScreenshot(const std::string& name) { saveScreen(E2E_ARTEFACTS, name); }

private:
    // What the services' handlers share. Declared before the services, so that the services
    // and every handler they run are gone before it is.
    mutable std::mutex mutex_;
    std::string heard_ = "What is your greatest strength?";
    ChatScript script_;
    std::vector<ChatOutcome> chats_;
    std::vector<Upload> uploads_;

protected:
    test::PulseServer pulse_;
    test::LocalWsServer stt_;
    test::LocalHttpServer services_;
    Window hud_ = None;

private:
    void serve(const HttpRequest& request, HttpResponseWriter& writer) {
        if (request.target == "/api/v1/audio/transcriptions") {
            const Upload upload = inspectUpload(request.body);
            std::string text;
            {
                std::lock_guard lock(mutex_);
                uploads_.push_back(upload);
                // Speech in a real WAV is transcribed; anything else is heard as nothing.
                if (upload.validWav && upload.rmsDb > -50)
                    text = heard_;
            }
            const std::string body = nlohmann::json{{"text", text}}.dump();
            writer.writeHead(200, {{"Content-Type", "application/json"}}, false, body.size());
            writer.write(body);
            writer.finish();
            return;
        }
        std::size_t index;
        ChatScript script;
        {
            std::lock_guard lock(mutex_);
            index = chats_.size();
            ChatOutcome outcome;
            outcome.request = nlohmann::json::parse(request.body, nullptr, false);
            outcome.received = Clock::now();
            chats_.push_back(std::move(outcome));
            script = script_;
        }
        ChatOutcome outcome;
        if (script)
            script(index, writer, outcome);
        else
            streamAnswer(writer, outcome);
        std::lock_guard lock(mutex_);
        chats_[index].completed = outcome.completed;
        chats_[index].gone = outcome.gone;
    }
};

}  // namespace halvenor::e2e
