#pragma once
// The user's persisted settings: the record, its JSON form and the settings file.
// The file is read tolerantly (missing keys, wrong types and out-of-range values fall back to
// defaults; an unparsable file is set aside as ".corrupt") and written through a ".tmp" sibling
// that replaces the old file only once it is complete on disk. UI thread only; no locks.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "llm/chat_request.h"
#include "platform/overlay_window.h"
#include "speech/batch_transcriber.h"

namespace morvelin {

// Defaults of the HUD's own choices; the answer and transcription models come from their
// clients, the opacities from the window.
inline constexpr std::string_view kDefaultScreenshotModel = "google/gemini-3.1-pro-preview";

struct Settings {
    std::string resume;
    std::string jobDescription;
    std::string projectReadme;
    std::string model{kDefaultAnswerModel};
    std::string screenshotModel{kDefaultScreenshotModel};
    std::int32_t sttEngine = 0;  // 0 per-utterance transcription, 1 streaming
    std::string sttModel{kDefaultTranscriptionModel};
    std::string sttLanguage = "en";
    bool handsFree = true;
    std::int32_t micAnswerMode = 0;  // 0 only while the interviewer is silent, 1 always, 2 never
    std::int32_t silenceMs = 800;
    std::int32_t screenshotMaxWidth = 1920;
    float interactiveOpacity = kDefaultInteractiveOpacity;
    float clickThroughOpacity = kDefaultClickThroughOpacity;
    bool showTranscript = false;
    bool autoHeight = true;

    bool operator==(const Settings&) const = default;
};

// The int result of loadSettingsFile.
enum SettingsLoadResult : int {
    kSettingsLoaded = 0,
    kSettingsNothingToLoad = 1,
    kSettingsLoadFailed = 2,
};

// "settings.json" in the app-data folder; empty when there is no location. Creates nothing.
std::filesystem::path settingsFilePath();

// 0 loaded (out written), 1 nothing to load, 2 failed (error written). An unparsable file is
// moved to "<path>.corrupt" (".corrupt.N" when earlier copies hold those names) so the next save
// starts afresh without destroying it.
int loadSettingsFile(const std::filesystem::path& path, Settings& out, std::string& error);

// Empty on success, else the error text. The old file stays intact when the write fails.
std::string saveSettingsFile(const std::filesystem::path& path, const Settings& settings);

// The pure halves of the file format, used by the two calls above.
// A record from a parsed JSON object: defaults for what is missing or of the wrong type, then
// clamped into each field's range.
Settings settingsFromJson(const nlohmann::json& object);
// The exact text written to the file (2-blank indent, raw UTF-8, invalid UTF-8 as U+FFFD).
std::string settingsToJsonText(const Settings& settings);

}  // namespace morvelin
