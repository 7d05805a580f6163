// libFuzzer entry for the settings reader: whatever a settings file holds, a JSON object reads
// as a record whose every field is inside its range, and that record survives a write and a
// read unchanged in its numbers and flags.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "ui/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = nlohmann::json::parse(text, nullptr, false, false);
    if (!parsed.is_object())
        return 0;
    const morvelin::Settings s = morvelin::settingsFromJson(parsed);
    if (s.sttEngine < 0 || s.sttEngine > 1 || s.micAnswerMode < 0 || s.micAnswerMode > 2 ||
        s.silenceMs < 400 || s.silenceMs > 2500 || s.screenshotMaxWidth < 640 ||
        s.screenshotMaxWidth > 3840 || !(s.interactiveOpacity >= 0.3f) ||
        !(s.interactiveOpacity <= 1.0f) || !(s.clickThroughOpacity >= 0.1f) ||
        !(s.clickThroughOpacity <= 1.0f) || s.model.empty() || s.screenshotModel.empty())
        std::abort();
    const auto again = nlohmann::json::parse(morvelin::settingsToJsonText(s), nullptr, false);
    if (!again.is_object())
        std::abort();
    const morvelin::Settings back = morvelin::settingsFromJson(again);
    if (back.silenceMs != s.silenceMs || back.sttEngine != s.sttEngine ||
        back.handsFree != s.handsFree || back.interactiveOpacity != s.interactiveOpacity ||
        back.clickThroughOpacity != s.clickThroughOpacity || back.autoHeight != s.autoHeight)
        std::abort();
    return 0;
}
