// The Settings tab: every user setting with its range, the audio and speech-to-text
// diagnostics, and the list of global shortcuts with the ones another app has taken. Controls
// that must act at once call the controller or the window here; the rest are read where they
// are used (the answer client next frame, listening at its next start, the next capture), and
// the debounced save notices every change through the settings fingerprint.

#include <algorithm>
#include <array>
#include <cfloat>
#include <mutex>
#include <string>

#include <fmt/format.h>
#include <imgui.h>
#include <imgui_stdlib.h>

#include "base/session_log.h"
#include "platform/file_dialog.h"
#include "ui/draw_widgets.h"
#include "ui/imgui_ui.h"
#include "ui/palette.h"

namespace morvelin {
namespace {

// A labelled row: the label in the left column, the widget filling the rest of the line.
void labelRow(const char* label) {
    const float rowWidth = ImGui::GetContentRegionAvail().x;
    ImGui::AlignTextToFramePadding();
    ImGui::TextUnformatted(label);
    ImGui::SameLine(0.38f * rowWidth);
    ImGui::SetNextItemWidth(-FLT_MIN);
}

// A combo over the model table, the current entry focused when it opens. True on a choice.
bool modelCombo(const char* id, std::int32_t& index) {
    bool chosen = false;
    const std::size_t current =
        static_cast<std::size_t>(std::clamp<std::int32_t>(index, 0, kCustomModelIndex));
    if (ImGui::BeginCombo(id, kModelTable[current])) {
        for (std::size_t i = 0; i < kModelTable.size(); ++i) {
            const bool selected = i == current;
            if (ImGui::Selectable(kModelTable[i], selected)) {
                index = static_cast<std::int32_t>(i);
                chosen = true;
            }
            if (selected)
                ImGui::SetItemDefaultFocus();
        }
        ImGui::EndCombo();
    }
    return chosen;
}

struct Shortcut {
    const char* keys;
    const char* description;
    bool registered;
};

}  // namespace

void ImGuiUI::drawSettingsTab() {
    const ImGuiStyle& style = ImGui::GetStyle();
    OverlayWindow* overlay = services.overlay;
    ImGui::BeginChild("##settings",
                      ImVec2(0.0f, -(ImGui::GetFrameHeightWithSpacing() + style.ItemSpacing.y)));

    labelledRule("OpenRouter");
    labelRow("API key");
    if (ImGui::InputTextWithHint("##or-key", "sk-or-... (or set OPENROUTER_API_KEY)",
                                 &openRouterKey, ImGuiInputTextFlags_Password))
        llmSettingsDirty = true;

    labelledRule("Live answers");
    labelRow("Answer model");
    if (modelCombo("##model", answerModelIndex))
        llmSettingsDirty = true;
    itemTooltip(
        "Used for spoken and typed questions. Pick a fast model (e.g. "
        "openai/gpt-4o-mini)\nso answers start within a second or two. Screenshots use "
        "the Screenshot model below.");
    if (answerModelIndex == kCustomModelIndex) {
        labelRow("Custom model id");
        if (ImGui::InputTextWithHint("##custom-model", "provider/model-id", &customAnswerModel))
            llmSettingsDirty = true;
    }

    labelledRule("Hands-free answering");
    bool answerAutomatically = handsFree.load();
    if (ImGui::Checkbox("Answer detected questions automatically while listening",
                        &answerAutomatically))
        setHandsFree(answerAutomatically);
    itemTooltip(
        "On (default): detect each question and answer it automatically.\nOff = "
        "\"Answer on click\": keep listening and transcribing, but answer only when "
        "you\npress Answer (Ctrl+Shift+A). The answer covers everything heard since your "
        "last answer.");
    labelRow("End-of-question silence");
    if (ImGui::SliderInt("##silence", &silenceMs, 400, 2500, "%d ms", ImGuiSliderFlags_AlwaysClamp))
        applySilenceSetting();
    labelRow("Questions from my mic");
    static constexpr const char* kMicModes[] = {"Answer when the interviewer is silent",
                                                "Always answer", "Never answer"};
    int micMode = micAnswerMode.load();
    if (ImGui::Combo("##mic-mode", &micMode, kMicModes, IM_ARRAYSIZE(kMicModes)))
        micAnswerMode.store(micMode);
    colouredTextWrapped(
        palette::muted(),
        "The interviewer's audio (playing on this PC) is always answered. With the default, a "
        "question spoken into your mic is also answered unless interviewer audio is active "
        "(laptop mics hear the speakers, which would double-answer). That makes solo testing "
        "work without any setup.");

    labelledRule("Speech-to-text");
    labelRow("Engine");
    static constexpr const char* kEngines[] = {
        "OpenRouter transcription (uses your OpenRouter key)",
        "Deepgram live streaming (lowest latency)"};
    ImGui::Combo("##stt-engine", &sttEngine, kEngines, IM_ARRAYSIZE(kEngines));
    if (sttEngine == 0) {
        labelRow("Transcription model");
        ImGui::InputText("##stt-model", &sttModel);
        labelRow("Language (ISO code)");
        ImGui::InputTextWithHint("##stt-lang", "en  (empty = auto-detect)", &sttLanguage);
        colouredTextWrapped(
            palette::muted(),
            "Speech is cut at pauses and transcribed per utterance, with live partial results "
            "while someone talks. deepgram/nova-3 is fastest (~$0.26/hour of audio); "
            "openai/whisper-large-v3-turbo is ~1 s slower but ~$0.01/hour.");
    } else {
        labelRow("Deepgram API key");
        ImGui::InputTextWithHint("##stt-key", "Deepgram key (or set DEEPGRAM_API_KEY)",
                                 &deepgramKey, ImGuiInputTextFlags_Password);
        labelRow("WebSocket URL");
        ImGui::InputText("##stt-url", &sttUrl);
    }
    colouredText(palette::muted(),
                 "Speech-to-text changes apply the next time you start listening.");

    labelledRule("Overlay");
    labelRow("Interactive opacity");
    bool opacityChanged = ImGui::SliderFloat("##op-active", &interactiveOpacity, 0.3f, 1.0f, "%.2f",
                                             ImGuiSliderFlags_AlwaysClamp);
    labelRow("Click-through opacity");
    opacityChanged |= ImGui::SliderFloat("##op-passive", &clickThroughOpacity, 0.1f, 1.0f, "%.2f",
                                         ImGuiSliderFlags_AlwaysClamp);
    if (opacityChanged && overlay)
        overlay->setOpacity(interactiveOpacity, clickThroughOpacity);
    ImGui::Checkbox("Grow the window to fit the answer (up to the screen height)", &autoHeight);
    itemTooltip(
        "On: the answer area is as tall as the answer; the window grows downward as it "
        "streams,\nstops at the bottom of the screen, and then the answer scrolls.\nOff: "
        "the window keeps the height you give it by dragging its edges.");

    labelledRule("Privacy");
    bool hidden = overlay && overlay->captureProtected();
    if (ImGui::Checkbox("Hide the HUD from screen capture, recording and sharing", &hidden) &&
        overlay)
        overlay->setCaptureProtection(hidden);
    if (overlay && !overlay->lastError().empty())
        colouredTextWrapped(palette::error(), fmt::format("Unavailable: {}", overlay->lastError()));

    labelledRule("Screen capture");
    labelRow("Screenshot model");
    const bool customShotModel = screenshotModelIndex == kCustomModelIndex;
    if (customShotModel)
        ImGui::SetNextItemWidth((ImGui::GetContentRegionAvail().x - style.ItemSpacing.x) * 0.5f);
    modelCombo("##shot-model", screenshotModelIndex);
    if (customShotModel) {
        ImGui::SameLine();
        ImGui::SetNextItemWidth(-FLT_MIN);
        ImGui::InputTextWithHint("##shot-custom", "provider/model-id", &customScreenshotModel);
    }
    colouredTextWrapped(palette::muted(),
                        "Questions that include screenshots use this model; everything else uses "
                        "the model chosen under Live answers. Pick one that accepts images.");
    ImGui::Checkbox("Hide the overlay while taking the screenshot", &hideWhileCapturing);
    labelRow("Max image width");
    ImGui::SliderInt("##shot-width", &screenshotMaxWidth, 640, 3840, "%d px",
                     ImGuiSliderFlags_AlwaysClamp);

    labelledRule("Conversation");
    std::size_t memorySize = 0;
    {
        std::lock_guard lock(stateMutex);
        memorySize = memory.size();
    }
    ImGui::AlignTextToFramePadding();
    ImGui::Text("Follow-up memory: %zu messages", memorySize);
    ImGui::SameLine();
    if (ImGui::Button("Reset"))
        resetMemory();

    drawDiagnostics();

    labelledRule("Global shortcuts");
    const Shortcut shortcuts[] = {
        {"Ctrl+Shift+L", "toggle listening", hotkeyRegistered[1]},
        {"Ctrl+Shift+A", "answer now (everything heard since your last answer)",
         hotkeyRegistered[2]},
        {"Ctrl+Shift+S", "capture the screen (adds a screenshot to the tray)", hotkeyRegistered[3]},
        {"Ctrl+Shift+Backspace", "clear the answer card", hotkeyRegistered[0]},
        {"Ctrl+Shift+Space", "toggle click-through",
         overlay && overlay->clickThroughHotkeyRegistered()},
        {"Ctrl+Alt+H", "show / hide the HUD", overlay && overlay->visibilityHotkeyRegistered()},
    };
    for (const Shortcut& shortcut : shortcuts) {
        colouredText(shortcut.registered ? palette::accent() : palette::error(), shortcut.keys);
        ImGui::SameLine();
        colouredText(palette::muted(),
                     fmt::format("{}{}", shortcut.description,
                                 shortcut.registered ? "" : "  (taken by another app)"));
    }

    ImGui::EndChild();
}

void ImGuiUI::drawDiagnostics() {
    labelledRule("Diagnostics");
    if (!listening)
        colouredText(palette::muted(), "Turn Listening on to see live audio levels.");

    std::array<std::string, 2> sttTexts;
    {
        std::lock_guard lock(stateMutex);
        sttTexts = sttStatus;
    }

    AudioCapture* capture = services.capture;
    const float fontSize = ImGui::GetFontSize();
    for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
        const std::size_t i = sourceIndex(source);
        if (source == AudioSource::SystemAudio)
            colouredText(palette::interviewer(), "Interviewer (system audio)");
        else
            colouredText(palette::accent(), "You (microphone)");
        ImGui::SameLine();
        colouredText(palette::muted(), capture ? capture->status(source) : std::string());

        const bool capturing = capture && capture->capturing[i].load();
        const bool speaking = capture && capture->speaking[i].load();
        const float levelDb = capture ? capture->levelDb[i].load() : kSilenceFloorDb;
        const float floorDb = capture ? capture->floorDb[i].load() : kSilenceFloorDb;
        const auto dbFraction = [](float db) {
            return std::clamp((db + 80.0f) / 80.0f, 0.0f, 1.0f);
        };

        ImGui::PushStyleColor(ImGuiCol_PlotHistogram,
                              speaking ? palette::accent() : palette::muted());
        ImGui::ProgressBar(capturing ? dbFraction(levelDb) : 0.0f,
                           ImVec2(-FLT_MIN, 0.5f * fontSize), "");
        ImGui::PopStyleColor();
        const ImVec2 barMin = ImGui::GetItemRectMin();
        const ImVec2 barMax = ImGui::GetItemRectMax();
        const float floorX = barMin.x + (barMax.x - barMin.x) * dbFraction(floorDb);
        ImGui::GetWindowDrawList()->AddLine(ImVec2(floorX, barMin.y - 2.0f),
                                            ImVec2(floorX, barMax.y + 2.0f),
                                            ImGui::GetColorU32(palette::error()), 2.0f);

        const std::uint32_t utterances = capture ? capture->utteranceCount[i].load() : 0;
        colouredText(palette::muted(),
                     fmt::format("level {:.0f} dB  floor {:.0f} dB  {}  utterances {}  STT: {}",
                                 capturing ? levelDb : kSilenceFloorDb, floorDb,
                                 speaking ? "SPEAKING" : "quiet", utterances,
                                 sttTexts[i].empty() ? std::string("-") : sttTexts[i]));
    }

    const std::filesystem::path& logPath = Logger::instance().path();
    if (logPath.empty())
        return;
    if (ImGui::Button("Reconnect audio") && capture)
        capture->reconnectGeneration.fetch_add(1);
    ImGui::SameLine();
    if (ImGui::Button("Open session log")) {
        const std::string error = openWithDefaultApp(logPath);
        if (!error.empty())
            statusText = error;
    }
    ImGui::SameLine();
    ImGui::AlignTextToFramePadding();
    colouredText(palette::muted(), logPath.string());
}

}  // namespace morvelin
