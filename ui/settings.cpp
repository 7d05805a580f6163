#include "ui/settings.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace morvelin {
namespace {

using Json = nlohmann::json;

// Each reader assigns the field only when the key is present with a value of an accepted type;
// anything else leaves the default in place, silently.

void readIf(const Json& object, const char* key, std::string& field) {
    const auto it = object.find(key);
    if (it != object.end() && it->is_string())
        field = it->get_ref<const std::string&>();
}

void readIf(const Json& object, const char* key, std::int32_t& field) {
    const auto it = object.find(key);
    if (it == object.end())
        return;
    switch (it->type()) {
        case Json::value_t::boolean:
            field = it->get<bool>() ? 1 : 0;
            break;
        case Json::value_t::number_integer:
            // Keeps the low 32 bits, as the conversion of an out-of-range integer does.
            field = static_cast<std::int32_t>(it->get<std::int64_t>());
            break;
        case Json::value_t::number_unsigned:
            field = static_cast<std::int32_t>(it->get<std::uint64_t>());
            break;
        case Json::value_t::number_float: {
            // Truncated toward zero; values beyond int32 saturate (converting them directly
            // is undefined) and are clamped into the field's range afterwards anyway.
            const double value = std::trunc(it->get<double>());
            constexpr double kMin = std::numeric_limits<std::int32_t>::min();
            constexpr double kMax = std::numeric_limits<std::int32_t>::max();
            field = value <= kMin   ? std::numeric_limits<std::int32_t>::min()
                    : value >= kMax ? std::numeric_limits<std::int32_t>::max()
                                    : static_cast<std::int32_t>(value);
            break;
        }
        default:
            break;
    }
}

void readIf(const Json& object, const char* key, float& field) {
    const auto it = object.find(key);
    if (it == object.end())
        return;
    switch (it->type()) {
        case Json::value_t::boolean:
            field = it->get<bool>() ? 1.0f : 0.0f;
            break;
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: {
            // A double beyond float's range would be undefined to narrow; the clamp that
            // follows maps the saturated value to the same bound infinity would give.
            constexpr double kMax = std::numeric_limits<float>::max();
            const double value = it->get<double>();
            field = value >= kMax    ? std::numeric_limits<float>::max()
                    : value <= -kMax ? -std::numeric_limits<float>::max()
                                     : static_cast<float>(value);
            break;
        }
        default:
            break;
    }
}

void readIf(const Json& object, const char* key, bool& field) {
    const auto it = object.find(key);
    if (it != object.end() && it->is_boolean())
        field = it->get<bool>();
}

template <typename T>
T clampToRange(T value, T low, T high) {
    if (value > high)
        return high;
    if (value < low)
        return low;
    return value;
}

}  // namespace

Settings settingsFromJson(const Json& object) {
    Settings s;
    if (!object.is_object())
        return s;
    readIf(object, "resume", s.resume);
    readIf(object, "jobDescription", s.jobDescription);
    readIf(object, "projectReadme", s.projectReadme);
    readIf(object, "model", s.model);
    readIf(object, "screenshotModel", s.screenshotModel);
    readIf(object, "sttEngine", s.sttEngine);
    readIf(object, "sttModel", s.sttModel);
    readIf(object, "sttLanguage", s.sttLanguage);
    readIf(object, "handsFree", s.handsFree);
    readIf(object, "micAnswerMode", s.micAnswerMode);
    readIf(object, "silenceMs", s.silenceMs);
    readIf(object, "screenshotMaxWidth", s.screenshotMaxWidth);
    readIf(object, "interactiveOpacity", s.interactiveOpacity);
    readIf(object, "clickThroughOpacity", s.clickThroughOpacity);
    readIf(object, "showTranscript", s.showTranscript);
    readIf(object, "autoHeight", s.autoHeight);

    s.sttEngine = clampToRange(s.sttEngine, 0, 1);
    s.micAnswerMode = clampToRange(s.micAnswerMode, 0, 2);
    s.silenceMs = clampToRange(s.silenceMs, 400, 2500);
    s.screenshotMaxWidth = clampToRange(s.screenshotMaxWidth, 640, 3840);
    s.interactiveOpacity = clampToRange(s.interactiveOpacity, 0.3f, 1.0f);
    s.clickThroughOpacity = clampToRange(s.clickThroughOpacity, 0.1f, 1.0f);

    const Settings defaults;
    if (s.model.empty())
        s.model = defaults.model;
    if (s.screenshotModel.empty())
        s.screenshotModel = defaults.screenshotModel;
    return s;
}

std::string settingsToJsonText(const Settings& s) {
    // The library's object is a sorted map, so members come out in byte order of their keys.
    Json object = Json::object();
    object["version"] = 1;
    object["resume"] = s.resume;
    object["jobDescription"] = s.jobDescription;
    object["projectReadme"] = s.projectReadme;
    object["model"] = s.model;
    object["screenshotModel"] = s.screenshotModel;
    object["sttEngine"] = s.sttEngine;
    object["sttModel"] = s.sttModel;
    object["sttLanguage"] = s.sttLanguage;
    object["handsFree"] = s.handsFree;
    object["micAnswerMode"] = s.micAnswerMode;
    object["silenceMs"] = s.silenceMs;
    object["screenshotMaxWidth"] = s.screenshotMaxWidth;
    object["interactiveOpacity"] = static_cast<double>(s.interactiveOpacity);
    object["clickThroughOpacity"] = static_cast<double>(s.clickThroughOpacity);
    object["showTranscript"] = s.showTranscript;
    object["autoHeight"] = s.autoHeight;
    // Pasted resumes may carry broken UTF-8; replacing it beats refusing to save anything.
    return object.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace morvelin
