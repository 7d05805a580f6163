#pragma once
// Shared by the speech tests: process-wide set-up and a decoder for transcription requests.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/session_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/text.h"

namespace morvelin::speech_test {

// libcurl's global state belongs to the program's entry; here the test binary plays that
// role. The session log goes to a private folder, so its lines can be checked and never
// land in the real one.
class SpeechEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(curl_global_init(CURL_GLOBAL_DEFAULT), CURLE_OK);
        logFolder_ = std::make_unique<halvenor::test::TempDir>("halvenor-speech");
        ::setenv("LOCALAPPDATA", logFolder_->path().c_str(), 1);
        ASSERT_TRUE(Logger::instance().enabled());
    }
    void TearDown() override { curl_global_cleanup(); }

private:
    std::unique_ptr<halvenor::test::TempDir> logFolder_;
};

inline ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new SpeechEnvironment);

inline std::string sessionLog() {
    return halvenor::test::readFile(Logger::instance().path());
}

// The samples of the WAV image in a transcription request body (empty when it has none).
inline std::vector<std::int16_t> requestSamples(const std::string& body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object() || !json.contains("input_audio"))
        return {};
    const auto wav = halvenor::test::decodeBase64(json["input_audio"]["data"].get<std::string>());
    std::vector<std::int16_t> samples;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2) {
        samples.push_back(static_cast<std::int16_t>(wav[i] | (wav[i + 1] << 8)));
    }
    return samples;
}

}  // namespace morvelin::speech_test
