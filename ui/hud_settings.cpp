// Settings persistence: no Save button. A change is written once the settings have been quiet
// for 700 ms (so a dragged slider writes once), at once at shut-down, and again 5 s after a
// failed write. UI thread only.

#include <fmt/format.h>

#include "base/session_log.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"

namespace morvelin {

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
    if (!force && steadyNowNs() - saveRequestedNs < 700'000'000)
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

}  // namespace morvelin
