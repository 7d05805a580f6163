// The HUD controller's construction and shut-down: keys, restored settings, the question
// detectors, fonts, style, hotkeys and the first status line; and the order in which
// everything that calls back into the controller is stopped before it goes away.

#include "ui/imgui_ui.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/session_log.h"
#include "llm/llm_client.h"
#include "platform/desktop_session.h"
#include "platform/font_lookup.h"
#include "speech/stt_client.h"
#include "ui/hud_clock.h"

namespace morvelin {
namespace {

std::string readEnvVar(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// Latin-1, Latin Extended-A, general punctuation, arrows and mathematical operators: the
// characters an answer uses beyond ASCII (dashes, quotes, bullets, arrows, ≤ ≥).
const ImWchar kGlyphRanges[] = {0x0020, 0x00FF, 0x0100, 0x017F, 0x2000, 0x206F,
                                0x2190, 0x21FF, 0x2200, 0x22FF, 0};

ImFont* loadFontFile(const char* pattern, float sizePx, float uiScale) {
    const std::filesystem::path file = findFontFile(pattern);
    if (file.empty())
        return nullptr;
    ImFontConfig config;
    config.OversampleH = 2;
    return ImGui::GetIO().Fonts->AddFontFromFileTTF(file.c_str(), sizePx * uiScale, &config,
                                                    kGlyphRanges);
}

}  // namespace

ImGuiUI::ImGuiUI(Services services_, float uiScale) : services(services_) {
    // 2-3: keys from the environment; the engine follows the streaming key.
    openRouterKey = readEnvVar("OPENROUTER_API_KEY");
    deepgramKey = readEnvVar("DEEPGRAM_API_KEY");
    sttEngine = deepgramKey.empty() ? 0 : 1;
    sttUrl = defaultSttListenUrl();
    customAnswerModel = "openai/gpt-4o";

    // 4: model choices.
    answerModelIndex = modelIndexFromId(std::string(kDefaultAnswerModel));
    screenshotModelIndex = modelIndexFromId(std::string(kDefaultScreenshotModel));
    customScreenshotModel = kDefaultScreenshotModel;

    // 5: saved settings.
    settingsPath = settingsFilePath();
    Settings record;
    std::string error;
    bool knowledgeRestored = false;
    switch (loadSettingsFile(settingsPath, record, error)) {
        case kSettingsLoaded:
            applyLoadedSettings(record);
            knowledgeRestored = !record.resume.empty() || !record.jobDescription.empty() ||
                                !record.projectReadme.empty();
            log("settings restored from {}: resume {} chars, job description {} chars, readme {} "
                "chars",
                settingsPath.string(), record.resume.size(), record.jobDescription.size(),
                record.projectReadme.size());
            break;
        case kSettingsNothingToLoad:
            log("no saved settings yet ({})", settingsPath.string());
            break;
        case kSettingsLoadFailed: {
            log("saved settings unreadable: {}", error);
            std::lock_guard lock(stateMutex);
            notice = "Could not read your saved settings (" + error + "). Starting fresh.";
            noticeUntilNs = steadyNowNs() + 20'000'000'000;
            break;
        }
        default:
            break;
    }

    // 6: one question detector per source; their workers start now.
    for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
        auto& detector = detectors[sourceIndex(source)];
        detector = std::make_unique<QuestionDetector>(
            [this, source](const std::string& question, bool) { onQuestion(source, question); });
        detector->setLogCallback([source](const std::string& line) {
            log("detector {}: {}", sourceName(source), line);
        });
    }

    // 7: end-of-question silence.
    applySilenceToDetectors();
    if (services.capture)
        services.capture->hangoverMs.store(std::max(200, silenceMs));

    // 8-10: looks, opacity, hotkeys.
    loadFonts(uiScale);
    applyStyle(uiScale);
    if (services.overlay)
        services.overlay->setOpacity(interactiveOpacity, clickThroughOpacity);
    registerHotkeys();

    // 11-12: the answer client gets key, model and knowledge; an unchanged start writes nothing.
    applyLlmSettings();
    savePending = false;
    savedFingerprint = settingsFingerprint();

    // 13-14: capture protection and the first status line.
    const bool isProtected = services.overlay && services.overlay->captureProtected();
    const std::string protectionError = services.overlay ? services.overlay->lastError() : "";
    if (!isProtected && !protectionError.empty())
        log("capture protection unavailable: {}", protectionError);
    if (isProtected) {
        if (openRouterKey.empty())
            statusText = "Add your OpenRouter API key in Settings to get started.";
        else if (knowledgeRestored)
            statusText = "Ready. Your saved resume and notes are loaded. Turn Listening on.";
        else
            statusText = "Ready. Turn Listening on for hands-free answers.";
    } else if (protectionError.empty()) {
        statusText = "Capture protection is off: the HUD is visible to screen capture.";
    } else {
        statusText =
            "Warning: this HUD is NOT hidden from screen capture (" + protectionError + ")";
    }
    if (const std::string notice = desktopSessionNotice(); !notice.empty()) {
        log("{}", notice);
        statusText = notice + " " + statusText;
    }
}

ImGuiUI::~ImGuiUI() {
    saveSettings(true);
    if (services.overlay) {
        for (int id = kHotkeyClear; id <= kHotkeyCapture; ++id)
            services.overlay->unregisterHotkey(id);
    }
    // Producers stop before the state they write goes away: capture and speech-to-text
    // threads, then the detectors' workers (which may still be dispatching a question and so
    // start an answer), then every answer worker.
    stopListening();
    knowledgeDialog.close();
    detectors[sourceIndex(AudioSource::SystemAudio)].reset();
    detectors[sourceIndex(AudioSource::Microphone)].reset();
    if (services.llm)
        services.llm->stopAll();
}

void ImGuiUI::applyLoadedSettings(const Settings& record) {
    resume = record.resume;
    jobDescription = record.jobDescription;
    projectReadme = record.projectReadme;
    answerModelIndex = modelIndexFromId(record.model);
    if (answerModelIndex == kCustomModelIndex)
        customAnswerModel = record.model;
    screenshotModelIndex = modelIndexFromId(record.screenshotModel);
    if (screenshotModelIndex == kCustomModelIndex)
        customScreenshotModel = record.screenshotModel;
    sttEngine = record.sttEngine;
    sttModel = record.sttModel;
    sttLanguage = record.sttLanguage;
    handsFree.store(record.handsFree);
    micAnswerMode.store(record.micAnswerMode);
    silenceMs = record.silenceMs;
    screenshotMaxWidth = record.screenshotMaxWidth;
    interactiveOpacity = record.interactiveOpacity;
    clickThroughOpacity = record.clickThroughOpacity;
    showTranscript = record.showTranscript;
    autoHeight = record.autoHeight;
    llmSettingsDirty = true;
}

void ImGuiUI::loadFonts(float uiScale) {
    ImGuiIO& io = ImGui::GetIO();
    io.Fonts->Clear();
    if (!loadFontFile("sans-serif", 17.0f, uiScale)) {
        ImFontConfig config;
        config.SizePixels = 13.0f * uiScale;
        io.Fonts->AddFontDefault(&config);
    }
    boldFont = loadFontFile("sans-serif:bold", 17.5f, uiScale);
    monoFont = loadFontFile("monospace", 15.0f, uiScale);
}

void ImGuiUI::applyStyle(float uiScale) {
    ImGuiStyle& style = ImGui::GetStyle();
    style = ImGuiStyle();
    ImGui::StyleColorsDark(&style);
    style.WindowPadding = ImVec2(12, 10);
    style.WindowRounding = 0;
    style.WindowBorderSize = 0;
    style.ChildRounding = 8;
    style.ChildBorderSize = 1;
    style.PopupRounding = 6;
    style.FramePadding = ImVec2(10, 6);
    style.FrameRounding = 6;
    style.FrameBorderSize = 0;
    style.ItemSpacing = ImVec2(8, 8);
    style.ItemInnerSpacing = ImVec2(6, 4);
    style.ScrollbarSize = 10;
    style.ScrollbarRounding = 6;
    style.GrabRounding = 6;
    style.TabRounding = 6;
    style.ScaleAllSizes(uiScale);

    ImVec4* c = style.Colors;
    const ImVec4 panel(0.067f, 0.075f, 0.09f, 1.00f);
    const ImVec4 frame(0.125f, 0.137f, 0.16f, 1.00f);
    const ImVec4 hovered(0.175f, 0.19f, 0.22f, 1.00f);
    const ImVec4 pressed(0.24f, 0.86f, 0.59f, 0.35f);
    const ImVec4 accent(0.24f, 0.86f, 0.59f, 1.00f);
    c[ImGuiCol_Text] = ImVec4(0.90f, 0.92f, 0.94f, 1.00f);
    c[ImGuiCol_TextDisabled] = ImVec4(0.55f, 0.58f, 0.63f, 1.00f);
    c[ImGuiCol_WindowBg] = c[ImGuiCol_Tab] = panel;
    c[ImGuiCol_ChildBg] = c[ImGuiCol_ScrollbarBg] = ImVec4(0, 0, 0, 0);
    c[ImGuiCol_PopupBg] = ImVec4(0.10f, 0.11f, 0.13f, 0.98f);
    c[ImGuiCol_Border] = ImVec4(1, 1, 1, 0.07f);
    c[ImGuiCol_Separator] = ImVec4(1, 1, 1, 0.08f);
    c[ImGuiCol_FrameBg] = c[ImGuiCol_Button] = c[ImGuiCol_Header] = c[ImGuiCol_TabActive] = frame;
    c[ImGuiCol_FrameBgHovered] = c[ImGuiCol_FrameBgActive] = c[ImGuiCol_ButtonHovered] =
        c[ImGuiCol_HeaderHovered] = c[ImGuiCol_ScrollbarGrab] = c[ImGuiCol_TabHovered] = hovered;
    c[ImGuiCol_ButtonActive] = c[ImGuiCol_HeaderActive] = c[ImGuiCol_TextSelectedBg] = pressed;
    c[ImGuiCol_CheckMark] = c[ImGuiCol_SliderGrab] = c[ImGuiCol_SliderGrabActive] =
        c[ImGuiCol_PlotHistogram] = accent;
}

void ImGuiUI::registerHotkeys() {
    if (!services.overlay)
        return;
    constexpr std::uint32_t kCtrlShift = OverlayWindow::ModControl | OverlayWindow::ModShift;
    const auto reg = [&](int id, std::uint32_t key, OverlayWindow::HotkeyCallback callback) {
        hotkeyRegistered[static_cast<std::size_t>(id - 1)] =
            services.overlay->registerHotkey(id, kCtrlShift, key, std::move(callback));
    };
    reg(kHotkeyClear, OverlayWindow::KeyBackspace, [this] { clearAnswer(); });
    reg(kHotkeyListen, 'L', [this] {
        if (listening)
            stopListening();
        else
            startListening();
    });
    reg(kHotkeyAnswer, 'A', [this] { answerNow(); });
    reg(kHotkeyCapture, 'S', [this] { captureScreen(); });
}

}  // namespace morvelin
