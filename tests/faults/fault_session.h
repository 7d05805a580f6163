#pragma once
// The desktop of the end-to-end stories (a private X server, a private PulseAudio daemon, the
// chat/transcription and streaming speech-to-text services on 127.0.0.1, the real program),
// with the services under the test's control: the chat service follows a script per request
// (stall, error status, hostile body), the transcription service hears whatever text the story
// says is being spoken, and every chat request records how it ended.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_session.h"
#include "tests/platform/x11_test_client.h"
#include "tests/support/local_http_server.h"
#include "tests/support/local_ws_server.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xvfb_server.h"

namespace halvenor::faults {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2e::inspectUpload;
using e2e::sseToken;
using e2e::Upload;
using test::HttpRequest;
using test::HttpResponseWriter;

inline const std::string kAnswer = "**Focus.** I finish what I start.";

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

// Holds the connection open without sending more, until the program hangs up (or 60 s).
inline void stallUntilHungUp(HttpResponseWriter& writer, ChatOutcome& outcome) {
    const auto deadline = Clock::now() + 60s;
    while (Clock::now() < deadline) {
        if (writer.clientGone()) {
            outcome.gone = Clock::now();
            return;
        }
        if (!writer.pause(10ms))
            return;
    }
}

inline std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// A field of /proc/{pid}/status ("VmRSS", "Threads") as its leading number.
inline long procStatus(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

class FaultSession : public ::testing::Test {
protected:
    FaultSession()
        : services_([this](const HttpRequest& request, HttpResponseWriter& writer) {
              serve(request, writer);
          }),
          x11_(xvfb_.display()) {}

    ~FaultSession() override {
        if (program_.running())
            program_.stop(SIGTERM, 10s);
    }

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
                if (windows.size() == 1 && x11_.viewable(windows[0]))
                    hud_ = windows[0];
                return hud_ != 0;
            },
            15s);
        ASSERT_TRUE(shown) << "the HUD did not appear";
    }

    void key(const std::string& keys) { test::xdotool(xvfb_.display(), {"key", keys}); }

    // Points first, then clicks: SDL reads the pointer position from the motion event.
    void clickHud(int x, int y) {
        const auto origin = x11_.geometry(hud_);
        test::xdotool(xvfb_.display(),
                      {"mousemove", std::to_string(origin.x + x), std::to_string(origin.y + y)});
        std::this_thread::sleep_for(100ms);
        test::xdotool(xvfb_.display(), {"click", "1"});
    }

    std::string log() const { return test::readFile(appData_ / "MorvelinDesk" / "session.log"); }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 30s) const {
        return test::waitUntil([&] { return log().find(text) != std::string::npos; }, timeout);
    }
    // Waits until the text occurs in the log at least `count` times.
    bool waitForLogCount(const std::string& text, std::size_t count,
                         std::chrono::milliseconds timeout = 30s) const {
        return test::waitUntil([&] { return countOf(log(), text) >= count; }, timeout);
    }

    void startListening() {
        key("ctrl+shift+l");
        ASSERT_TRUE(waitForLog("=== listening ON", 15s)) << log();
    }

    // What the transcription service hears in the speech played from now on.
    void hear(const std::string& text) {
        std::lock_guard lock(mutex_);
        heard_ = text;
    }

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

    std::vector<Upload> uploads() const {
        std::lock_guard lock(mutex_);
        return uploads_;
    }

    // The spoken question, made once: the transcription service decides what it says.
    const std::filesystem::path& speech() {
        if (speech_.empty())
            speech_ = pulse_.makeSpeech("Tell me, what is your greatest strength?");
        return speech_;
    }

    static std::string dispatched(const std::string& question) {
        return "question DISPATCHED from System audio: \"" + question + "\"";
    }
    // Dispatch lines that end in the question: the detector may put the talk just before
    // it in front, as its context.
    std::size_t dispatchCount(const std::string& question) const {
        std::istringstream lines(log());
        std::size_t count = 0;
        const std::string tail = question + "\"";
        for (std::string line; std::getline(lines, line);) {
            if (line.find("question DISPATCHED from System audio: \"") != std::string::npos &&
                line.size() >= tail.size() && line.ends_with(tail))
                ++count;
        }
        return count;
    }

    // Speaks a question on the call and waits until it is dispatched and answered in full.
    void askAloud(const std::string& question, const std::string& sink = "speakers") {
        hear(question);
        const std::size_t answered = completedChats();
        ASSERT_EQ(pulse_.play(speech(), sink), 0);
        ASSERT_TRUE(test::waitUntil([&] { return dispatchCount(question) > 0; }, 30s)) << log();
        ASSERT_TRUE(test::waitUntil([&] { return completedChats() > answered; }, 20s)) << log();
        ASSERT_TRUE(waitForLogCount("llm first token after", answered + 1, 10s)) << log();
    }

    static std::string lastUserText(const nlohmann::json& request) {
        const auto& content = request.at("messages").back().at("content");
        return content.is_string() ? content.get<std::string>() : content.dump();
    }

    void saveScreenshot(const std::string& name) {
        std::filesystem::create_directories(FAULTS_ARTEFACTS);
        test::runCommand({"import", "-display", xvfb_.display(), "-window", "root",
                          std::string(FAULTS_ARTEFACTS) + "/" + name + ".png"},
                         20s);
    }

    test::XvfbServer xvfb_;
    test::PulseServer pulse_;
    test::TempDir appData_{"halvenor-faults"};
    test::LocalWsServer stt_;
    test::LocalHttpServer services_;
    test::X11TestClient x11_;
    test::Subprocess program_;
    Window hud_ = 0;

private:
    void serve(const HttpRequest& request, HttpResponseWriter& writer) {
        if (request.target == "/api/v1/audio/transcriptions") {
            const Upload upload = inspectUpload(request.body);
            std::string text;
            {
                std::lock_guard lock(mutex_);
                uploads_.push_back(upload);
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

    mutable std::mutex mutex_;
    std::string heard_ = "What is your greatest strength?";
    ChatScript script_;
    std::vector<ChatOutcome> chats_;
    std::vector<Upload> uploads_;
    std::filesystem::path speech_;
};

}  // namespace halvenor::faults
