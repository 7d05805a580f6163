#pragma once
// Shared by the HUD controller tests: the process set-up (libcurl, the session log in a private
// folder), a controller wired to real services with its environment, a chat service stand-in on
// 127.0.0.1 whose answers each test scripts, and readers for the controller's locked state and
// for what reached the server.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <imgui.h>
#include <nlohmann/json.hpp>

#include "audio/audio_capture.h"
#include "base/session_log.h"
#include "llm/llm_client.h"
#include "speech/stt_client.h"
#include "tests/support/local_http_server.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"
#include "tests/ui/imgui_ui_probe.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"

namespace morvelin::hud_test {

using namespace std::chrono_literals;
using halvenor::test::HttpRequest;
using halvenor::test::HttpResponseWriter;
using halvenor::test::LocalHttpServer;
using halvenor::test::ScopedEnv;
using halvenor::test::TempDir;
using halvenor::test::waitUntil;
using P = ImGuiUIProbe;

constexpr auto kSystem = AudioSource::SystemAudio;
constexpr auto kMic = AudioSource::Microphone;

// libcurl's global state belongs to the program's entry; here the test binary plays that role.
// The session log is created once per process, so it is pointed at a folder of its own before
// anything logs; each controller then gets a fresh LOCALAPPDATA for its settings file.
class HudEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
        logHome_ = std::make_unique<TempDir>("halvenor-hud-log");
        ::setenv("LOCALAPPDATA", logHome_->path().c_str(), 1);
        ASSERT_TRUE(Logger::instance().enabled());
    }
    void TearDown() override { curl_global_cleanup(); }

private:
    std::unique_ptr<TempDir> logHome_;
};

inline ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new HudEnvironment);

// What the session log gained since this object was made.
class LogWatch {
public:
    LogWatch() : start_(halvenor::test::readFile(Logger::instance().path()).size()) {}
    std::string text() const {
        return halvenor::test::readFile(Logger::instance().path()).substr(start_);
    }
    bool contains(const std::string& needle) const {
        return text().find(needle) != std::string::npos;
    }
    std::size_t count(const std::string& needle) const {
        return halvenor::test::countOf(text(), needle);
    }

private:
    std::size_t start_;
};

// ---------------------------------------------------------------------------------------------
// The chat service stand-in.

inline std::string sse(std::string_view content) {
    return R"(data: {"id":"gen-1","choices":[{"index":0,"delta":{"content":)" +
           nlohmann::json(std::string(content)).dump() + "}}]}\n\n";
}

// How the server answers one chat request: the tokens, each written after `interval`, then the
// end of the stream; or an error status with a body.
struct ChatReply {
    std::vector<std::string> tokens{"Use ", "RAII."};
    std::chrono::milliseconds interval{0};
    int status = 200;
    std::string errorBody{};
};

class ChatServer {
public:
    // (request, its number among the chat requests: 1, 2, ...) -> the reply.
    using Script = std::function<ChatReply(const HttpRequest&, int index)>;
    // The transcription endpoint's text for one request of the per-utterance engine.
    using Transcribe = std::function<std::string(const HttpRequest&)>;

    ChatServer()
        : server_([this](const HttpRequest& request, HttpResponseWriter& writer) {
              answer(request, writer);
          }) {}

    void setScript(Script script) {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }
    void setTranscribe(Transcribe transcribe) {
        std::lock_guard lock(mutex_);
        transcribe_ = std::move(transcribe);
    }
    std::string baseUrl() const { return server_.baseUrl(); }

    std::vector<HttpRequest> chatRequests() const { return requestsTo(kChatPath); }
    std::vector<HttpRequest> transcriptionRequests() const {
        return requestsTo("/api/v1/audio/transcriptions");
    }
    bool waitForChatRequests(std::size_t count, std::chrono::milliseconds timeout = 5s) const {
        return waitUntil([&] { return chatRequests().size() >= count; }, timeout);
    }

private:
    static constexpr const char* kChatPath = "/api/v1/chat/completions";

    std::vector<HttpRequest> requestsTo(const std::string& target) const {
        std::vector<HttpRequest> out;
        for (HttpRequest& request : server_.requests()) {
            if (request.target == target)
                out.push_back(std::move(request));
        }
        return out;
    }

    void answer(const HttpRequest& request, HttpResponseWriter& writer) {
        if (request.target != kChatPath) {
            Transcribe transcribe;
            {
                std::lock_guard lock(mutex_);
                transcribe = transcribe_;
            }
            const std::string body =
                nlohmann::json{{"text", transcribe ? transcribe(request) : ""}}.dump();
            writer.writeHead(200, {{"Content-Type", "application/json"}}, false, body.size());
            writer.write(body);
            writer.finish();
            return;
        }
        Script script;
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            script = script_;
            index = ++chatCount_;
        }
        const ChatReply reply = script ? script(request, index) : ChatReply{};
        if (reply.status != 200) {
            writer.writeHead(reply.status, {{"Content-Type", "application/json"}}, false,
                             reply.errorBody.size());
            writer.write(reply.errorBody);
            writer.finish();
            return;
        }
        writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
        for (const std::string& token : reply.tokens) {
            if (reply.interval.count() > 0 && !writer.pause(reply.interval))
                return;
            if (writer.clientGone() || !writer.write(sse(token)))
                return;
        }
        writer.write("data: [DONE]\n\n");
        writer.finish();
    }

    mutable std::mutex mutex_;
    Script script_;
    Transcribe transcribe_;
    int chatCount_ = 0;
    LocalHttpServer server_;  // last: its threads stop before the script they call goes
};

// Readers of a chat request's JSON body.
inline nlohmann::json bodyOf(const HttpRequest& request) {
    return nlohmann::json::parse(request.body);
}
inline const nlohmann::json& lastUserMessage(const nlohmann::json& body) {
    const auto& messages = body.at("messages");
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (it->at("role") == "user")
            return *it;
    }
    throw std::runtime_error("no user message in " + body.dump());
}
// The text of the last user message (a plain content, or the text part of an image message).
inline std::string lastUserText(const HttpRequest& request) {
    const nlohmann::json body = bodyOf(request);
    const auto& content = lastUserMessage(body).at("content");
    if (content.is_string())
        return content.get<std::string>();
    for (const auto& part : content) {
        if (part.at("type") == "text")
            return part.at("text").get<std::string>();
    }
    return {};
}
// The image URLs of the last user message, in order.
inline std::vector<std::string> lastUserImages(const HttpRequest& request) {
    std::vector<std::string> urls;
    const nlohmann::json body = bodyOf(request);
    const auto& content = lastUserMessage(body).at("content");
    if (content.is_array()) {
        for (const auto& part : content) {
            if (part.at("type") == "image_url")
                urls.push_back(part.at("image_url").at("url").get<std::string>());
        }
    }
    return urls;
}
inline std::string modelOf(const HttpRequest& request) {
    return bodyOf(request).at("model").get<std::string>();
}
inline std::string systemTextOf(const HttpRequest& request) {
    return bodyOf(request).at("messages").at(0).at("content").get<std::string>();
}
// (role, content) of every message after the system prompt.
inline std::vector<std::pair<std::string, std::string>> conversationOf(const HttpRequest& request) {
    std::vector<std::pair<std::string, std::string>> out;
    const nlohmann::json body = bodyOf(request);
    const auto& messages = body.at("messages");
    for (std::size_t i = 1; i < messages.size(); ++i) {
        const auto& content = messages[i].at("content");
        out.emplace_back(messages[i].at("role").get<std::string>(),
                         content.is_string() ? content.get<std::string>() : content.dump());
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// The controller with real services.

// A Dear ImGui context for a controller that never draws a frame.
class ImGuiScope {
public:
    ImGuiScope() : context_(ImGui::CreateContext()) {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = ImVec2(800, 600);
        io.Fonts->Build();
    }
    ~ImGuiScope() { ImGui::DestroyContext(context_); }
    ImGuiScope(const ImGuiScope&) = delete;
    ImGuiScope& operator=(const ImGuiScope&) = delete;

private:
    ImGuiContext* context_;
};

struct HudOptions {
    const char* openRouterKey = "test-key";  // nullptr: not set
    const char* deepgramKey = nullptr;
    // Where the answer client and the per-utterance engine go. Empty: a closed local port, so
    // that nothing ever leaves the machine.
    std::string chatBaseUrl{};
    std::string sttBaseUrl{};               // the streaming engine's server; empty: a closed port
    std::optional<std::string> settings{};  // written as the settings file before construction
};

// The services and the controller, built in the application's order and destroyed in reverse
// (the controller first). LOCALAPPDATA is a fresh folder, so the settings file starts absent.
class Hud {
public:
    explicit Hud(HudOptions options = {})
        : appData_("halvenor-hud"),
          appDataEnv_("LOCALAPPDATA", appData_.path().c_str()),
          chatEnv_("HALVENOR_CHAT_BASE_URL", orClosedPort(options.chatBaseUrl, "http").c_str()),
          sttEnv_("HALVENOR_STT_BASE_URL", orClosedPort(options.sttBaseUrl, "ws").c_str()),
          openRouterEnv_("OPENROUTER_API_KEY", options.openRouterKey),
          deepgramEnv_("DEEPGRAM_API_KEY", options.deepgramKey) {
        if (options.settings) {
            std::filesystem::create_directories(settingsFile().parent_path());
            halvenor::test::writeFile(settingsFile(), *options.settings);
        }
        ui_ = std::make_unique<ImGuiUI>(
            ImGuiUI::Services{nullptr, &llm, &capture, &sttSystem, &sttMic, nullptr}, 1.0f);
    }
    ~Hud() { destroy(); }
    Hud(const Hud&) = delete;
    Hud& operator=(const Hud&) = delete;

    void destroy() { ui_.reset(); }
    ImGuiUI& ui() { return *ui_; }

    std::filesystem::path appDataFolder() const { return appData_.path() / "MorvelinDesk"; }
    std::filesystem::path settingsFile() const { return appDataFolder() / "settings.json"; }

private:
    static std::string orClosedPort(const std::string& url, const char* scheme) {
        // Port 9 (discard) has no listener here: every connection is refused at once.
        return url.empty() ? std::string(scheme) + "://127.0.0.1:9" : url;
    }

    TempDir appData_;
    ScopedEnv appDataEnv_;
    ScopedEnv chatEnv_;
    ScopedEnv sttEnv_;
    ScopedEnv openRouterEnv_;
    ScopedEnv deepgramEnv_;
    ImGuiScope imgui_;

public:
    LlmClient llm;
    AudioCapture capture;
    SttClient sttSystem;
    SttClient sttMic;

private:
    std::unique_ptr<ImGuiUI> ui_;
};

// ---------------------------------------------------------------------------------------------
// The controller's locked state, read the way the drawing reads it.

struct Card {
    std::uint64_t generation = 0;
    std::int32_t state = 0;
    std::int32_t kind = 0;
    std::string question;
    std::string text;
    std::string error;
    std::int32_t firstTokenMs = -1;
    std::string model;
};

inline Card cardOf(ImGuiUI& ui) {
    std::lock_guard lock(P::stateMutex(ui));
    return Card{P::answerGeneration(ui), P::answerState(ui),     P::answerKind(ui),
                P::answerQuestion(ui),   P::answerText(ui),      P::answerError(ui),
                P::firstTokenMs(ui),     P::answerModelLabel(ui)};
}

inline std::vector<ChatMessage> memoryOf(ImGuiUI& ui) {
    std::lock_guard lock(P::stateMutex(ui));
    return P::memory(ui);
}

inline std::vector<TranscriptLine> transcriptOf(ImGuiUI& ui) {
    std::lock_guard lock(P::stateMutex(ui));
    return P::transcript(ui);
}

inline std::size_t answeredUpToOf(ImGuiUI& ui) {
    std::lock_guard lock(P::stateMutex(ui));
    return P::answeredUpTo(ui);
}

// Replaces the transcript and the mark, as if these lines had been heard and answered up to it.
inline void setTranscript(ImGuiUI& ui, std::vector<TranscriptLine> lines, std::size_t mark) {
    std::lock_guard lock(P::stateMutex(ui));
    P::transcript(ui) = std::move(lines);
    P::answeredUpTo(ui) = mark;
}

inline void setPartial(ImGuiUI& ui, AudioSource source, std::string text) {
    std::lock_guard lock(P::stateMutex(ui));
    P::livePartial(ui)[sourceIndex(source)] = std::move(text);
}

// n lines "<prefix> <i>", all from one source.
inline std::vector<TranscriptLine> numberedLines(std::size_t n, AudioSource source,
                                                 const std::string& prefix = "line") {
    std::vector<TranscriptLine> lines;
    for (std::size_t i = 0; i < n; ++i)
        lines.push_back(TranscriptLine{source, prefix + " " + std::to_string(i)});
    return lines;
}

// The prompt form of transcript lines [first, last).
inline std::string promptLines(const std::vector<TranscriptLine>& lines, std::size_t first,
                               std::size_t last) {
    std::string out;
    for (std::size_t i = first; i < last; ++i)
        out += "[" + std::string(lines[i].source == kSystem ? "Interviewer" : "Me") + "] " +
               lines[i].text + "\n";
    return out;
}

inline bool waitForState(ImGuiUI& ui, std::int32_t state, std::chrono::milliseconds timeout = 5s) {
    return waitUntil([&] { return cardOf(ui).state == state; }, timeout);
}

}  // namespace morvelin::hud_test
