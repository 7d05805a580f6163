#pragma once
// The HUD controller: owns the interview session (transcript, live captions, answer card,
// conversation memory, screenshot tray, knowledge texts and the persisted settings as live
// members), wires the answer client, the audio capture, the speech-to-text engines and the
// question detectors together, and draws the HUD every frame.
//
// Threads. The UI thread constructs, draws, handles hotkeys and destroys. Capture threads,
// speech-to-text threads, transcriber workers, detector workers and answer workers call in
// through the callbacks bound here. Shared session state is guarded by stateMutex; askMutex
// serialises askQuestion; flags read across threads without a lock are atomics. No service
// mutex is ever taken while stateMutex is held.
//
// The sources are split by role: imgui_ui.cpp (construction and shut-down), hud_listening.cpp,
// hud_transcripts.cpp, hud_answers.cpp, hud_screenshots.cpp, hud_knowledge.cpp,
// hud_settings.cpp, and the drawing in draw_*.cpp.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <imgui.h>

#include "audio/audio_capture.h"
#include "llm/chat_message.h"
#include "platform/file_dialog.h"
#include "platform/overlay_window.h"
#include "platform/render_device.h"
#include "speech/batch_transcriber.h"
#include "speech/question_detector.h"
#include "ui/hud_rules.h"
#include "ui/settings.h"

namespace morvelin {

class LlmClient;
class SttClient;

// One committed transcript entry.
struct TranscriptLine {
    AudioSource source = AudioSource::SystemAudio;
    std::string text;
};

// The kind of an answer request.
enum class AskKind : std::int32_t {
    Typed = 0,
    Transcript = 1,
    DetectedQuestion = 2,
    Screenshots = 3
};

// One answer request, consumed by askQuestion.
struct AskRequest {
    std::string prompt;   // the user message sent to the model
    std::string display;  // shown above the answer as the question
    AskKind kind = AskKind::Typed;
    std::vector<std::string> images{};  // base64 PNG without a prefix
};

// One screenshot waiting in the tray.
struct TrayScreenshot {
    std::string pngBase64;
    std::int32_t width = 0;  // PNG size after scaling
    std::int32_t height = 0;
    std::int32_t thumbWidth = 0;
    std::int32_t thumbHeight = 0;
    RenderDevice::Texture thumbnail;  // empty when it could not be made
};

// The answer card's states.
enum AnswerState : std::int32_t {
    kAnswerIdle = 0,
    kAnswerStreaming = 1,  // requesting or streaming
    kAnswerDone = 2,
    kAnswerStopped = 3,
    kAnswerFailed = 4,
};

class ImGuiUI {
public:
    struct Services {
        OverlayWindow* overlay = nullptr;
        LlmClient* llm = nullptr;
        AudioCapture* capture = nullptr;
        SttClient* sttSystem = nullptr;
        SttClient* sttMic = nullptr;
        RenderDevice* device = nullptr;  // null: tray thumbnails are placeholders
    };

    // Hotkey ids 1 to 4; index id - 1 of hotkeyRegistered.
    static constexpr int kHotkeyClear = 1;
    static constexpr int kHotkeyListen = 2;
    static constexpr int kHotkeyAnswer = 3;
    static constexpr int kHotkeyCapture = 4;
    static constexpr std::size_t kTrayLimit = 8;

    // On the UI thread, after the Dear ImGui context and every service exist. A null overlay
    // is tolerated (no hotkeys, no opacity) so that the controller can run without a display.
    ImGuiUI(Services services, float uiScale);
    ~ImGuiUI();
    ImGuiUI(const ImGuiUI&) = delete;
    ImGuiUI& operator=(const ImGuiUI&) = delete;

    // One frame of the HUD, between the Dear ImGui new-frame and render calls.
    void draw();
    // The frame loop's turn while no frame is drawn (HUD hidden or minimised): pending
    // settings are applied and saved as a frame would do. Returns how long the loop may wait
    // for input before the next turn: maxWaitMs, or less when a settings save falls due
    // sooner.
    int idle(int maxWaitMs);
    // Read by the frame loop every frame; set by Quit.
    bool quitRequested = false;

    // Any thread. False when the request was refused before it left (no API key); the card
    // then says why, and the caller keeps whatever the user typed or captured for it.
    bool askQuestion(AskRequest request);

    // UI thread.
    void clearAnswer();
    void answerNow();
    void captureScreen();

private:
    friend struct ImGuiUIProbe;  // tests

    // --- construction (imgui_ui.cpp)
    void loadFonts(float uiScale);
    void applyStyle(float uiScale);
    void applyLoadedSettings(const Settings& record);
    void registerHotkeys();

    // --- listening (hud_listening.cpp)
    void startListening();
    void stopListening();
    void stopEngines();  // both streaming clients and both transcribers, joined
    void applySilenceToDetectors();
    // Silence slider: the capture's end of speech and the detectors' timeout at once.
    void applySilenceSetting();
    void onAudio(AudioSource source, std::span<const std::int16_t> samples);
    void onVoice(AudioSource source, VadEvent event);
    void onSttStatus(AudioSource source, const std::string& text);

    // --- transcripts and dispatch (hud_transcripts.cpp)
    void onTranscript(AudioSource source, const std::string& text, bool isFinal, bool speechFinal);
    void onQuestion(AudioSource source, const std::string& question);
    void clearTranscript();

    // --- asking and the answer card (hud_answers.cpp)
    void onLlmToken(std::uint64_t generation, std::string_view chunk);
    void onLlmDone(std::uint64_t generation, const std::string& prompt);
    void onLlmError(std::uint64_t generation, const std::string& message);
    void stopAnswer();  // the Stop button
    void resetMemory();
    std::string answerModelId() const;
    std::string screenshotModelId() const;
    void applyLlmSettings();
    void setHandsFree(bool on);
    void answerFromTranscript();
    void answerOnClick();
    std::string recentTranscriptText(std::size_t maxLines, bool markAnswered);
    // The prompt lines of at most the last maxLines transcript lines (from the mark on, when
    // fromMark and the mark is before the end), then the live partials; `end` is the number
    // of lines they cover.
    std::string transcriptWindow(std::size_t maxLines, bool fromMark, std::size_t& end);
    // The first `end` lines are answered; the mark moves only forward within the transcript.
    void markAnsweredUpTo(std::size_t end);

    // --- screenshots (hud_screenshots.cpp)
    RenderDevice::Texture createThumbnailTexture(RenderDevice* device,
                                                 const std::vector<std::uint8_t>& bgra, int width,
                                                 int height);
    void removeScreenshot(std::size_t index);
    void clearScreenshots();
    void sendScreenshots();

    // --- knowledge files (hud_knowledge.cpp)
    // Opens the file dialog for one of the three texts; the frame loop keeps running while it
    // is open and pollKnowledgeDialog finishes the load when the user has chosen.
    void loadKnowledgeFile(std::string& target, const char* label);
    void pollKnowledgeDialog();
    void finishKnowledgeLoad(std::string& target, const char* label,
                             const std::filesystem::path& path);

    // --- persistence (hud_settings.cpp)
    Settings collectSettings() const;
    std::string settingsFingerprint() const;
    void saveSettings(bool force);

    // --- drawing (draw_*.cpp)
    void drawStatusBar();
    void drawTopBar();
    bool drawListeningToggle(float frameHeight);
    void drawActionRow();
    void drawLiveTab(float reserve);
    void drawAnswerCard(float height);
    void drawTintedTextBox(const std::string& text, const ImVec4& colour);
    void drawLiveStrip();
    void drawLiveCaption(std::string_view text, const ImVec4& colour, bool pulseLast);
    void drawTranscript(float height);
    void drawComposeTab(float reserve);
    void drawScreenshotTray();
    void drawKnowledgeTab(float reserve);
    void drawSettingsTab();
    void drawDiagnostics();

    // ------------------------------------------------------------------------------------
    Services services;

    // Session state: read and written only under stateMutex.
    mutable std::mutex stateMutex;
    std::vector<TranscriptLine> transcript;
    std::array<std::string, 2> livePartial;
    std::array<std::string, 2> sttStatus;
    std::size_t answeredUpTo = 0;
    std::array<std::string, 2> committedText;
    std::uint64_t answerGeneration = 0;
    std::string answerQuestion;
    std::int32_t answerKind = 0;
    std::string answerText;
    std::string answerError;
    std::int32_t answerState = kAnswerIdle;
    std::int64_t answerStartNs = 0;
    std::int32_t firstTokenMs = -1;
    std::string answerModelLabel;
    std::vector<ChatMessage> memory;
    std::string notice;
    std::int64_t noticeUntilNs = 0;

    // Owned helpers.
    std::array<std::unique_ptr<QuestionDetector>, 2> detectors;
    std::array<BatchTranscriber, 2> transcribers;

    std::mutex askMutex;  // held for the whole of one askQuestion

    // Read by worker threads without a lock.
    std::atomic<bool> handsFree{true};
    std::atomic<std::int32_t> micAnswerMode{0};
    std::atomic<std::int64_t> lastInterviewerSpeechMs{-1000000};
    std::atomic<std::int64_t> lastSystemQuestionMs{-1000000};
    std::atomic<bool> perUtteranceActive{false};
    // Set while listening stops the streaming clients: the connections they close then are
    // not losses to recover from.
    std::atomic<bool> streamsStopping{false};

    // UI thread only.
    ImFont* boldFont = nullptr;
    ImFont* monoFont = nullptr;
    std::string openRouterKey;
    std::string deepgramKey;
    std::int32_t sttEngine = 0;
    std::string sttModel{kDefaultTranscriptionModel};
    std::string sttLanguage = "en";
    std::string sttUrl;
    std::string listenProblem;
    std::uint64_t scrolledGeneration = 0;
    std::string typedQuestion;
    std::int32_t answerModelIndex = 1;
    std::string customAnswerModel;
    std::int32_t screenshotModelIndex = 6;
    std::string customScreenshotModel;
    std::string resume;
    std::string jobDescription;
    std::string projectReadme;
    bool llmSettingsDirty = true;
    std::vector<TrayScreenshot> tray;
    std::filesystem::path settingsPath;
    bool savePending = false;
    std::int64_t saveRequestedNs = 0;
    std::string savedFingerprint;
    bool showTranscript = false;
    bool autoHeight = true;
    bool selectComposeTab = false;
    bool selectLiveTab = false;
    float answerContentHeight = 0.0f;
    bool dragging = false;
    // Why clicks do not pass although click-through is on, as the status line last said it.
    std::string clickThroughProblem;
    OverlayWindow::Point dragGrab;  // the point of the window the drag holds
    bool listening = false;
    std::int32_t silenceMs = 800;
    bool hideWhileCapturing = true;
    std::int32_t screenshotMaxWidth = 1920;
    float interactiveOpacity = kDefaultInteractiveOpacity;
    float clickThroughOpacity = kDefaultClickThroughOpacity;
    std::array<bool, 4> hotkeyRegistered{};
    std::string statusText;

    // The open-file dialog of the Knowledge Base tab while it is open, and what it loads into.
    FileDialog knowledgeDialog;
    std::string* knowledgeTarget = nullptr;
    const char* knowledgeLabel = "";
};

}  // namespace morvelin
