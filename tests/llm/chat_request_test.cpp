#include "llm/chat_request.h"

#include <gtest/gtest.h>

#include "base/compact_json.h"
#include "llm/llm_client.h"
#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

const std::string kPromptJson = nlohmann::json(std::string(kSystemPrompt)).dump();

TEST(ChatRequest, BuiltInPromptAndHeadingHaveTheirExactSizes) {
    EXPECT_EQ(kSystemPrompt.size(), 763u);
    EXPECT_EQ(kKnowledgeHeading, "\n\n# Candidate knowledge base\n");
    EXPECT_EQ(kKnowledgeHeading.size(), 29u);
    EXPECT_EQ(std::count(kSystemPrompt.begin(), kSystemPrompt.end(), '\n'), 6);
    EXPECT_NE(kSystemPrompt.find("starting with \"- \" and"), std::string_view::npos);
    EXPECT_TRUE(kSystemPrompt.ends_with("or projects."));
}

TEST(ChatRequest, TextConversationIsCompactWithMembersInByteOrder) {
    const std::vector<ChatMessage> conversation = {
        {"user", "Tell me about you", {}},
        {"assistant", "**I build things.**", {}},
        {"user", "Zürich \"quoted\"\nnext", {}},
    };
    const auto body = compactJson(chatRequestBody(kSystemPrompt, "", "m/one", conversation, ""));
    EXPECT_EQ(body, R"({"messages":[{"content":)" + kPromptJson +
                        R"(,"role":"system"},{"content":"Tell me about you","role":"user"},)"
                        R"({"content":"**I build things.**","role":"assistant"},)"
                        "{\"content\":\"Z\xC3\xBCrich \\\"quoted\\\"\\nnext\",\"role\":\"user\"}],"
                        R"("model":"m/one","stream":true})");
}

TEST(ChatRequest, EmptyConversationSendsOnlyTheSystemMessageAndOverrideWins) {
    const auto body = compactJson(chatRequestBody("S", "", "base", {}, "vision/model"));
    EXPECT_EQ(
        body,
        R"({"messages":[{"content":"S","role":"system"}],"model":"vision/model","stream":true})");
}

TEST(ChatRequest, ImageMessageWithEmptyContentKeepsItsTextPart) {
    const std::vector<ChatMessage> conversation = {{"user", "", {"QUJD", "REVG"}}};
    const auto body = compactJson(chatRequestBody("S", "", "m", conversation, ""));
    EXPECT_EQ(
        body,
        R"({"messages":[{"content":"S","role":"system"},{"content":[{"text":"","type":"text"},)"
        R"({"image_url":{"url":"data:image/png;base64,QUJD"},"type":"image_url"},)"
        R"({"image_url":{"url":"data:image/png;base64,REVG"},"type":"image_url"}],"role":"user"}],)"
        R"("model":"m","stream":true})");
}

TEST(ChatRequest, KnowledgeFollowsThePromptUnderItsHeading) {
    const auto body = compactJson(chatRequestBody("Prompt", "Worked at Acme.", "m", {}, ""));
    EXPECT_EQ(body,
              R"({"messages":[{"content":"Prompt\n\n# Candidate knowledge base\nWorked at Acme.",)"
              R"("role":"system"}],"model":"m","stream":true})");
}

TEST(ChatRequest, InvalidUtf8IsSentAsReplacementCharacter) {
    // "caf\xC3" is "café" cut inside its last character.
    const std::vector<ChatMessage> conversation = {{"user", "caf\xC3", {}}, {"u\xFF", "ok", {}}};
    const auto body = compactJson(chatRequestBody("S", "", "m", conversation, ""));
    EXPECT_EQ(body,
              "{\"messages\":[{\"content\":\"S\",\"role\":\"system\"},"
              "{\"content\":\"caf\xEF\xBF\xBD\",\"role\":\"user\"},"
              "{\"content\":\"ok\",\"role\":\"u\xEF\xBF\xBD\"}],\"model\":\"m\",\"stream\":true}");
}

TEST(ChatRequest, ClientBuildsWithItsCurrentSettings) {
    LlmClient client;
    EXPECT_EQ(client.model(), "openai/gpt-4o-mini");
    client.setModel("x/y");
    std::string knowledge = "Facts.";
    client.setKnowledge(knowledge);
    const auto body = client.buildRequestBody({{"user", "Q", {}}}, "");
    EXPECT_EQ(body["model"], "x/y");
    EXPECT_EQ(body["messages"][0]["content"],
              std::string(kSystemPrompt) + std::string(kKnowledgeHeading) + "Facts.");
    EXPECT_EQ(client.buildRequestBody({}, "o")["model"], "o");
}

TEST(ChatRequest, EndpointHostComesFromTheEnvironment) {
    {
        halvenor::test::ScopedEnv unset("HALVENOR_CHAT_BASE_URL", nullptr);
        EXPECT_EQ(chatCompletionsUrl(), "https://openrouter.ai/api/v1/chat/completions");
    }
    halvenor::test::ScopedEnv local("HALVENOR_CHAT_BASE_URL", "http://127.0.0.1:1234/");
    EXPECT_EQ(chatCompletionsUrl(), "http://127.0.0.1:1234/api/v1/chat/completions");
}

}  // namespace
}  // namespace morvelin
