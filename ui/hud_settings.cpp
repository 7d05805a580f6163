// Settings persistence: no Save button. A change is written once the settings have been quiet
// for 700 ms (so a dragged slider writes once), at once at shut-down, and again 5 s after a
// failed write; while the HUD is hidden too, from the frame loop's idle turns. UI thread only.

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>

#include "base/session_log.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"

namespace morvelin {
namespace {

// Long enough that a dragged slider is written once, after it stops.
constexpr std::int64_t kQuietBeforeSaveNs = 700'000'000;

}  // namespace

Settings ImGuiUI::collectSettings() const {
    Settings record;
    record.resume = resume;
    record.jobDescription = jobDescription;
    record.projectReadme = projectReadme;
    record.model = answerModelId();
    record.screenshotModel = screenshotModelId();
    record.sttEngine = sttEngine;
    record.sttModel = sttModel;
    record.sttLanguage = sttLanguage;
    record.handsFree = handsFree.load();
    record.micAnswerMode = micAnswerMode.load();
    record.silenceMs = silenceMs;
    record.screenshotMaxWidth = screenshotMaxWidth;
    record.interactiveOpacity = interactiveOpacity;
    record.clickThroughOpacity = clickThroughOpacity;
    record.showTranscript = showTranscript;
    record.autoHeight = autoHeight;
    return record;
}

std::string ImGuiUI::settingsFingerprint() const {
    return fmt::format("{}|{}|{}|{}|{}|{}|{}|{}|{}|{:.3f}|{:.3f}|{}|{}", answerModelId(),
                       screenshotModelId(), sttEngine, sttModel, sttLanguage, handsFree.load(),
                       micAnswerMode.load(), silenceMs, screenshotMaxWidth, interactiveOpacity,
                       clickThroughOpacity, showTranscript, autoHeight);
}

void ImGuiUI::saveSettings(bool force) {
    std::string fingerprint = settingsFingerprint();
    if (fingerprint != savedFingerprint) {
        savedFingerprint = std::move(fingerprint);
        savePending = true;
        saveRequestedNs = steadyNowNs();
    }
    if (!savePending)
        return;
    if (!force && steadyNowNs() - saveRequestedNs < kQuietBeforeSaveNs)
        return;
    const std::string error = saveSettingsFile(settingsPath, collectSettings());
    if (error.empty()) {
        savePending = false;
        return;
    }
    log("could not save settings: {}", error);
    statusText = "Could not save settings: " + error;
    saveRequestedNs = steadyNowNs() + 5'000'000'000;
}

int ImGuiUI::idle(int maxWaitMs) {
    applyLlmSettings();
    saveSettings(false);
    if (!savePending)
        return maxWaitMs;
    // Rounded up, so that the turn it wakes for finds the save due; at least 1 ms, so that a
    // clock at the boundary never makes the loop spin.
    const std::int64_t dueInNs = saveRequestedNs + kQuietBeforeSaveNs - steadyNowNs();
    const std::int64_t dueInMs = (dueInNs + 999'999) / 1'000'000;
    return static_cast<int>(std::clamp<std::int64_t>(dueInMs, 1, maxWaitMs));
}

}  // namespace morvelin
