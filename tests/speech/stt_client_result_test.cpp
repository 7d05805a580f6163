#include "speech/stt_client_result.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

namespace morvelin {
namespace {

const std::vector<std::string> kSeeds{
    R"({"type":"Results","channel_index":[0,1],"duration":1.2,"start":0.0,"is_final":true,)"
    R"("speech_final":true,"channel":{"alternatives":[{"transcript":"What is a mutex?",)"
    R"("confidence":0.98,"words":[{"word":"what","start":0.1,"end":0.3}]}]}})",
    R"({"type":"Results","channel":{"alternatives":[{"transcript":"hello"}]},"is_final":false})",
    R"({"type":"Results","channel":{"alternatives":[{"transcript":""}]},"is_final":true})",
    R"({"type":"Metadata","request_id":"x","channel":{"alternatives":[{"transcript":"m"}]}})",
    R"({"type":"UtteranceEnd","last_word_end":2.5})",
    R"({"type":"Results","channel":{"alternatives":[{"transcript":"caf\u00e9 \ud83d\ude00"}]},"is_final":true})",
};

// Byte-level and token-level edits of the kind a broken proxy or a changed service produces.
std::string mutate(std::string text, std::mt19937& random) {
    static const std::vector<std::string> tokens{"{",
                                                 "}",
                                                 "[",
                                                 "]",
                                                 ",",
                                                 ":",
                                                 "\"",
                                                 "\\",
                                                 "true",
                                                 "false",
                                                 "null",
                                                 "0",
                                                 "-1e999",
                                                 "\"Results\"",
                                                 "\"channel\"",
                                                 "\"alternatives\"",
                                                 "\"transcript\"",
                                                 "\"is_final\"",
                                                 "/*",
                                                 "\xff",
                                                 std::string(1, '\0'),
                                                 "\\u0000",
                                                 "\\ud800",
                                                 "1.5"};
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = text.empty() ? 0 : random() % (text.size() + 1);
        switch (random() % 6) {
            case 0:  // flip a byte
                if (!text.empty())
                    text[at % text.size()] ^= static_cast<char>(1 + random() % 255);
                break;
            case 1:  // insert a token
                text.insert(at, tokens[random() % tokens.size()]);
                break;
            case 2:  // delete a stretch
                text.erase(at, random() % 8);
                break;
            case 3:  // duplicate a stretch
                text.insert(at, text.substr(at, random() % 16));
                break;
            case 4:  // truncate
                text.resize(at);
                break;
            case 5: {  // swap a token for another
                const auto& from = tokens[random() % tokens.size()];
                const auto found = text.find(from);
                if (found != std::string::npos)
                    text.replace(found, from.size(), tokens[random() % tokens.size()]);
                break;
            }
        }
    }
    return text;
}

// The contract that must hold for every input: a delivered result comes from a JSON object of
// type "Results", carries that object's top-level flags, and is never an empty interim.
void expectConsistent(const std::string& text, const std::optional<SttResult>& result) {
    if (!result)
        return;
    const auto message = nlohmann::json::parse(text, nullptr, false, false);
    ASSERT_TRUE(message.is_object()) << text;
    EXPECT_EQ(message["type"], "Results") << text;
    EXPECT_EQ(message.value("is_final", false), result->isFinal) << text;
    EXPECT_EQ(message.value("speech_final", false), result->speechFinal) << text;
    EXPECT_TRUE(!result->transcript.empty() || result->isFinal) << text;
}

TEST(SttResult, ReadsTheTopLevelFlagsAndTheFirstAlternative) {
    const auto first = parseSttResult(kSeeds[0]);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->transcript, "What is a mutex?");
    EXPECT_TRUE(first->isFinal);
    EXPECT_TRUE(first->speechFinal);
    const auto unicode = parseSttResult(kSeeds[5]);
    ASSERT_TRUE(unicode);
    EXPECT_EQ(unicode->transcript, "caf\xC3\xA9 \xF0\x9F\x98\x80");
    const auto second = parseSttResult(
        R"({"type":"Results","channel":{"alternatives":[{"transcript":"one"},{"transcript":"two"}]}})");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->transcript, "one");
    EXPECT_FALSE(second->isFinal);
    // Flags of the wrong type make the message unreadable rather than guessed at.
    EXPECT_FALSE(parseSttResult(
        R"({"type":"Results","channel":{"alternatives":[{"transcript":"x"}]},"is_final":"yes"})"));
}

TEST(SttResult, SurvivesHostileAndMutatedInput) {
    // Nesting far deeper than any recursive reader's stack would allow.
    const std::string deep = std::string(R"({"type":"Results","channel":)") +
                             std::string(200000, '[') + std::string(200000, ']') + "}";
    EXPECT_FALSE(parseSttResult(deep));
    EXPECT_FALSE(parseSttResult(std::string(200000, '{')));
    EXPECT_FALSE(parseSttResult(""));
    EXPECT_FALSE(parseSttResult(std::string("\0", 1)));

    std::mt19937 random(20240611);  // fixed: every run checks the same inputs
    int delivered = 0;
    int dropped = 0;
    for (int i = 0; i < 30000; ++i) {
        const std::string text = mutate(kSeeds[i % kSeeds.size()], random);
        const auto result = parseSttResult(text);
        expectConsistent(text, result);
        (result ? delivered : dropped)++;
        if (HasFailure())
            break;
    }
    // The mutations reach both outcomes, so the loop exercises more than the first check.
    EXPECT_GT(delivered, 1000);
    EXPECT_GT(dropped, 1000);
}

}  // namespace
}  // namespace morvelin
