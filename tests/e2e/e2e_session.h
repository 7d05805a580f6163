#pragma once
// One user's desktop for an end-to-end story: a private X server, a private PulseAudio daemon,
// the chat/transcription service and the streaming speech-to-text service on 127.0.0.1, a
// fresh app-data folder, and the real program started with keys in its environment.

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/platform/x11_test_client.h"
#include "tests/support/local_http_server.h"
#include "tests/support/local_ws_server.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb_server.h"

namespace halvenor::e2e {

using namespace std::chrono_literals;
using test::HttpRequest;
using test::HttpResponseWriter;

// What the transcription service saw in one upload.
struct Upload {
    bool validWav = false;  // RIFF/WAVE, PCM, mono, 16 kHz, 16 bits
    double rmsDb = -140;
    std::size_t samples = 0;
};

inline std::vector<std::uint8_t> decodeBase64(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<std::uint8_t> bytes;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const auto value = kAlphabet.find(c);
        if (value == std::string::npos)
            break;
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<std::uint8_t>(bits >> count));
        }
    }
    return bytes;
}

inline Upload inspectUpload(const std::string& body) {
    Upload upload;
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object() || !json.contains("input_audio") || !json["input_audio"].is_object())
        return upload;
    const auto wav = decodeBase64(json["input_audio"].value("data", std::string()));
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

inline std::string sseToken(const std::string& text) {
    return "data: " + nlohmann::json{{"choices", {{{"delta", {{"content", text}}}}}}}.dump() +
           "\n\n";
}

class Session : public ::testing::Test {
protected:
    static constexpr const char* kAnswer = "**Focus.** I finish what I start.";

    Session()
        : services_([this](const HttpRequest& request, HttpResponseWriter& writer) {
              serve(request, writer);
          }),
          x11_(xvfb_.display()) {}

    ~Session() override {
        if (program_.running())
            program_.stop(SIGTERM, 10s);
    }

    // Starts the program and waits until its HUD is on screen.
    void start(std::map<std::string, std::string> extra = {}) {
        test::SpawnOptions options;
        options.quiet = true;
        options.env = pulse_.env();
        options.env["DISPLAY"] = xvfb_.display();
        options.env["LOCALAPPDATA"] = appData_.path().string();
        options.env["OPENROUTER_API_KEY"] = "test-openrouter-key";
        options.env["HALVENOR_CHAT_BASE_URL"] = services_.baseUrl();
        options.env["HALVENOR_STT_BASE_URL"] = stt_.baseUrl();
        for (auto& [name, value] : extra)
            options.env[name] = value;
        program_ = test::Subprocess({HALVENOR_BINARY}, options);
        const bool shown = test::waitUntil(
            [&] {
                const auto windows = x11_.windowsOfClass("MorvelinDeskOverlay");
                return windows.size() == 1 && x11_.viewable(windows[0]);
            },
            15s);
        ASSERT_TRUE(shown) << "the HUD did not appear";
    }

    void key(const std::string& keys) { test::xdotool(xvfb_.display(), {"key", keys}); }

    std::string log() const { return test::readFile(appData_ / "MorvelinDesk" / "session.log"); }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 30s) const {
        return test::waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }

    // Switches listening on with its global hotkey and waits until capture runs.
    void startListening() {
        key("ctrl+shift+l");
        ASSERT_TRUE(waitForLog("=== listening ON", 15s)) << log();
    }

    // The chat requests received so far, parsed.
    std::vector<nlohmann::json> chatRequests() const {
        std::vector<nlohmann::json> out;
        for (const HttpRequest& request : services_.requests()) {
            if (request.target == "/api/v1/chat/completions")
                out.push_back(nlohmann::json::parse(request.body, nullptr, false));
        }
        return out;
    }

    std::vector<Upload> uploads() const {
        std::lock_guard lock(mutex_);
        return uploads_;
    }

    // The last user message of a chat request.
    static std::string lastUserText(const nlohmann::json& request) {
        const auto& messages = request.at("messages");
        return messages.back().at("content").is_string()
                   ? messages.back().at("content").get<std::string>()
                   : messages.back().at("content").dump();
    }

    // A picture of the whole screen for a person to look at, kept in the build tree.
    void saveScreenshot(const std::string& name) {
        std::filesystem::create_directories(E2E_ARTEFACTS);
        test::runCommand({"import", "-display", xvfb_.display(), "-window", "root",
                          std::string(E2E_ARTEFACTS) + "/" + name + ".png"},
                         20s);
    }

    std::string transcriptionText = "What is your greatest strength?";

    test::XvfbServer xvfb_;
    test::PulseServer pulse_;
    test::TempDir appData_{"halvenor-e2e"};
    test::LocalWsServer stt_;
    test::LocalHttpServer services_;
    test::X11TestClient x11_;
    test::Subprocess program_;

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
                    text = transcriptionText;
            }
            const std::string body = nlohmann::json{{"text", text}}.dump();
            writer.writeHead(200, {{"Content-Type", "application/json"}}, false, body.size());
            writer.write(body);
            writer.finish();
            return;
        }
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        for (const char* piece : {"**Focus.**", " I finish", " what I start."}) {
            writer.write(sseToken(piece));
            writer.pause(20ms);
        }
        writer.write("data: [DONE]\n\n");
        writer.finish();
    }

    mutable std::mutex mutex_;
    std::vector<Upload> uploads_;
};

}  // namespace halvenor::e2e
