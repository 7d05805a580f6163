// Asking and the answer card against a chat service on 127.0.0.1: what is sent, how the card
// fills while the answer streams, and what superseded, cleared, stopped and failed requests
// leave behind on the card and in the conversation memory.

#include <gtest/gtest.h>

#include "tests/ui/hud_test_support.h"

namespace morvelin::hud_test {
namespace {

TrayScreenshot shot(const char* pngBase64) {
    TrayScreenshot entry;
    entry.pngBase64 = pngBase64;
    entry.width = entry.height = 4;
    return entry;
}

class HudAnswers : public ::testing::Test {
protected:
    ChatServer chat;
    Hud hud{HudOptions{.chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
    LogWatch log;
};

TEST_F(HudAnswers, DetectedQuestionIsAskedWithTheLastEightLinesAndFillsTheCardAsItStreams) {
    chat.setScript([](const HttpRequest&, int) {
        return ChatReply{.tokens = {"I ", "listen ", "first."}, .interval = 200ms};
    });
    std::vector<TranscriptLine> lines;
    for (int i = 0; i < 10; ++i)
        lines.push_back({i % 2 ? kMic : kSystem, "said " + std::to_string(i)});
    setTranscript(ui, lines, 0);
    setPartial(ui, kSystem, "still being said");  // not yet a line: left out of the context

    const std::int64_t before = steadyNowMs();
    P::onQuestion(ui, kSystem, std::string("How do you handle conflict?"));

    // The card is set up before the question returns.
    Card card = cardOf(ui);
    EXPECT_EQ(card.state, kAnswerStreaming);
    EXPECT_EQ(card.kind, static_cast<int>(AskKind::DetectedQuestion));
    EXPECT_EQ(card.question, "How do you handle conflict?");
    EXPECT_EQ(card.text, "");
    EXPECT_EQ(card.firstTokenMs, -1);
    EXPECT_EQ(card.model, "openai/gpt-4o-mini");
    EXPECT_EQ(answeredUpToOf(ui), 10u);
    EXPECT_GE(P::lastSystemQuestionMs(ui).load(), before);

    // The first token shows while the rest is still on its way.
    ASSERT_TRUE(waitUntil([&] { return !cardOf(ui).text.empty(); }, 5s));
    card = cardOf(ui);
    EXPECT_EQ(card.text, "I ");
    EXPECT_EQ(card.state, kAnswerStreaming);
    EXPECT_GE(card.firstTokenMs, 150);  // the server waited 200 ms before it
    const std::int32_t firstTokenMs = card.firstTokenMs;

    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    card = cardOf(ui);
    EXPECT_EQ(card.text, "I listen first.");
    EXPECT_EQ(card.firstTokenMs, firstTokenMs);  // set once, by the first chunk only

    const std::string prompt =
        "The interviewer just asked: \"How do you handle conflict?\"\n\n"
        "Recent conversation, for context only:\n" +
        promptLines(lines, 2, 10) + "\nAnswer the interviewer's question as me.";
    ASSERT_EQ(chat.chatRequests().size(), 1u);
    const HttpRequest request = chat.chatRequests()[0];
    EXPECT_EQ(lastUserText(request), prompt);
    EXPECT_EQ(modelOf(request), "openai/gpt-4o-mini");
    EXPECT_EQ(conversationOf(request).size(), 1u);  // nothing in the memory yet
    EXPECT_EQ(request.header("authorization"), "Bearer test-key");

    const auto memory = memoryOf(ui);
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_EQ(memory[0].role, "user");
    EXPECT_EQ(memory[0].content, prompt);
    EXPECT_EQ(memory[1].role, "assistant");
    EXPECT_EQ(memory[1].content, "I listen first.");

    EXPECT_TRUE(
        log.contains("question DISPATCHED from System audio: \"How do you handle "
                     "conflict?\""));
    EXPECT_TRUE(log.contains("llm request: model=openai/gpt-4o-mini images=0"));
    EXPECT_EQ(log.count("llm first token after "), 1u);
}

TEST_F(HudAnswers, SecondAskSupersedesTheFirstWhileItIsStillStreaming) {
    chat.setScript([](const HttpRequest&, int index) {
        if (index == 1)
            return ChatReply{.tokens = std::vector<std::string>(40, "first "), .interval = 50ms};
        return ChatReply{.tokens = {"second ", "answer"}, .interval = 100ms};
    });
    ui.askQuestion({"first prompt", "First?", AskKind::Typed});
    ASSERT_TRUE(waitUntil([&] { return !cardOf(ui).text.empty(); }, 5s));
    const std::uint64_t firstGeneration = cardOf(ui).generation;

    ui.askQuestion({"second prompt", "Second?", AskKind::Typed});
    EXPECT_EQ(cardOf(ui).text, "");  // the first answer's text is gone at once
    EXPECT_EQ(cardOf(ui).question, "Second?");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    std::this_thread::sleep_for(400ms);  // room for stray tokens of the first request
    Card card = cardOf(ui);
    EXPECT_EQ(card.text, "second answer");
    EXPECT_EQ(card.state, kAnswerDone);

    // Whatever of the first request still arrives changes nothing.
    P::onLlmToken(ui, firstGeneration, std::string_view("late"));
    P::onLlmDone(ui, firstGeneration, std::string("first prompt"));
    P::onLlmError(ui, firstGeneration, std::string("late failure"));
    card = cardOf(ui);
    EXPECT_EQ(card.text, "second answer");
    EXPECT_EQ(card.state, kAnswerDone);
    EXPECT_EQ(card.error, "");
    const auto memory = memoryOf(ui);
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_EQ(memory[0].content, "second prompt");
    EXPECT_EQ(memory[1].content, "second answer");
    EXPECT_TRUE(log.contains("llm ERROR: late failure"));  // logged even when stale

    // The first request never finished, so the second went out without memory.
    ASSERT_EQ(chat.chatRequests().size(), 2u);
    EXPECT_EQ(conversationOf(chat.chatRequests()[1]),
              (std::vector<std::pair<std::string, std::string>>{{"user", "second prompt"}}));
}

TEST_F(HudAnswers, ClearWhileStreamingEmptiesTheCardAndLeavesTheMemory) {
    chat.setScript([](const HttpRequest&, int index) {
        if (index == 1)
            return ChatReply{.tokens = {"kept"}};
        return ChatReply{.tokens = std::vector<std::string>(40, "more "), .interval = 50ms};
    });
    ui.askQuestion({"remembered prompt", "Remembered?", AskKind::Typed});
    ASSERT_TRUE(waitForState(ui, kAnswerDone));

    ui.askQuestion({"cleared prompt", "Cleared?", AskKind::Transcript});
    ASSERT_TRUE(waitUntil([&] { return !cardOf(ui).text.empty(); }, 5s));
    const std::uint64_t generation = cardOf(ui).generation;
    ui.clearAnswer();

    Card card = cardOf(ui);
    EXPECT_EQ(card.state, kAnswerIdle);
    EXPECT_EQ(card.question, "");
    EXPECT_EQ(card.text, "");
    EXPECT_EQ(card.error, "");
    EXPECT_EQ(card.firstTokenMs, -1);
    EXPECT_GT(card.generation, generation);
    // What the card was last asked with stays for the drawing.
    EXPECT_EQ(card.kind, static_cast<int>(AskKind::Transcript));
    EXPECT_EQ(card.model, "openai/gpt-4o-mini");

    std::this_thread::sleep_for(500ms);
    card = cardOf(ui);
    EXPECT_EQ(card.state, kAnswerIdle);
    EXPECT_EQ(card.text, "");
    P::onLlmDone(ui, generation, std::string("cleared prompt"));
    const auto memory = memoryOf(ui);
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_EQ(memory[0].content, "remembered prompt");
    EXPECT_EQ(memory[1].content, "kept");
}

TEST_F(HudAnswers, StopKeepsWhatArrivedAndIgnoresTheRest) {
    chat.setScript([](const HttpRequest&, int) {
        return ChatReply{.tokens = std::vector<std::string>(40, "word "), .interval = 50ms};
    });
    ui.askQuestion({"prompt", "Q?", AskKind::Typed});
    ASSERT_TRUE(waitUntil([&] { return cardOf(ui).text.size() >= 10; }, 5s));
    P::stopAnswer(ui);
    const Card stopped = cardOf(ui);
    EXPECT_EQ(stopped.state, kAnswerStopped);
    EXPECT_EQ(stopped.question, "Q?");
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(cardOf(ui).text, stopped.text);
    EXPECT_EQ(cardOf(ui).state, kAnswerStopped);
    EXPECT_TRUE(memoryOf(ui).empty());
}

TEST_F(HudAnswers, MemoryKeepsTheLastFourExchangesAndGoesOutWithEachRequest) {
    chat.setScript([](const HttpRequest&, int index) {
        return ChatReply{.tokens = {"answer ", std::to_string(index)}};
    });
    for (int i = 1; i <= 5; ++i) {
        P::typedQuestion(ui) = "Q" + std::to_string(i);
        ui.answerNow();
        EXPECT_EQ(P::typedQuestion(ui), "");  // the input field empties
        EXPECT_EQ(cardOf(ui).kind, static_cast<int>(AskKind::Typed));
        ASSERT_TRUE(waitForState(ui, kAnswerDone)) << i;
        ASSERT_EQ(cardOf(ui).text, "answer " + std::to_string(i));
    }
    const auto memory = memoryOf(ui);
    ASSERT_EQ(memory.size(), 8u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(memory[2 * i].role, "user");
        EXPECT_EQ(memory[2 * i].content, "Q" + std::to_string(i + 2));
        EXPECT_EQ(memory[2 * i + 1].role, "assistant");
        EXPECT_EQ(memory[2 * i + 1].content, "answer " + std::to_string(i + 2));
    }
    // The fifth request carried the four earlier exchanges, then its question.
    const auto requests = chat.chatRequests();
    ASSERT_EQ(requests.size(), 5u);
    const auto conversation = conversationOf(requests[4]);
    ASSERT_EQ(conversation.size(), 9u);
    EXPECT_EQ(conversation[0], (std::pair<std::string, std::string>{"user", "Q1"}));
    EXPECT_EQ(conversation[7], (std::pair<std::string, std::string>{"assistant", "answer 4"}));
    EXPECT_EQ(conversation[8], (std::pair<std::string, std::string>{"user", "Q5"}));
}

TEST_F(HudAnswers, ScreenshotsGoWithTheScreenshotModelAndStayOutOfTheMemory) {
    for (const char* png : {"AAAA", "BBBB", "CCCC"})
        P::tray(ui).push_back(shot(png));
    P::typedQuestion(ui) = "Which is faster?";
    P::sendScreenshots(ui);

    EXPECT_TRUE(P::tray(ui).empty());
    EXPECT_EQ(P::typedQuestion(ui), "");
    Card card = cardOf(ui);
    EXPECT_EQ(card.question, "Which is faster?  [+ 3 screenshots]");
    EXPECT_EQ(card.kind, static_cast<int>(AskKind::Screenshots));
    EXPECT_EQ(card.model, "google/gemini-3.1-pro-preview");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    EXPECT_TRUE(log.contains("llm request: model=google/gemini-3.1-pro-preview images=3"));

    auto requests = chat.chatRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(modelOf(requests[0]), "google/gemini-3.1-pro-preview");
    EXPECT_EQ(lastUserText(requests[0]), "Which is faster?");
    EXPECT_EQ(lastUserImages(requests[0]),
              (std::vector<std::string>{"data:image/png;base64,AAAA", "data:image/png;base64,BBBB",
                                        "data:image/png;base64,CCCC"}));
    auto memory = memoryOf(ui);
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_EQ(memory[0].content, "Which is faster?");
    EXPECT_TRUE(memory[0].images.empty());

    // One shot, no text, a custom screenshot model: the built-in prompt, and the earlier
    // screenshot exchange goes out as text only.
    P::screenshotModelIndex(ui) = kCustomModelIndex;
    P::customScreenshotModel(ui) = "vision/custom-1";
    P::tray(ui).push_back(shot("DDDD"));
    P::sendScreenshots(ui);
    EXPECT_EQ(cardOf(ui).question, "1 screenshot");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    requests = chat.chatRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(modelOf(requests[1]), "vision/custom-1");
    EXPECT_EQ(lastUserText(requests[1]), screenshotPrompt(1));
    EXPECT_EQ(lastUserImages(requests[1]).size(), 1u);
    const auto conversation = conversationOf(requests[1]);
    ASSERT_EQ(conversation.size(), 3u);
    EXPECT_EQ(conversation[0].second, "Which is faster?");  // a plain string, no image parts

    // A typed question with an empty tray is a plain typed request with the answer model.
    P::typedQuestion(ui) = "Plain?";
    P::sendScreenshots(ui);
    card = cardOf(ui);
    EXPECT_EQ(card.question, "Plain?");
    EXPECT_EQ(card.kind, static_cast<int>(AskKind::Typed));
    EXPECT_EQ(card.model, "openai/gpt-4o-mini");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    requests = chat.chatRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(modelOf(requests[2]), "openai/gpt-4o-mini");
    EXPECT_TRUE(lastUserImages(requests[2]).empty());
    memory = memoryOf(ui);
    for (const ChatMessage& message : memory)
        EXPECT_TRUE(message.images.empty());

    // Nothing in the tray and nothing typed: nothing happens.
    const std::uint64_t generation = cardOf(ui).generation;
    P::sendScreenshots(ui);
    EXPECT_EQ(cardOf(ui).generation, generation);
}

TEST_F(HudAnswers, FullTrayTakesNoScreenshot) {
    for (int i = 0; i < 8; ++i)
        P::tray(ui).push_back(shot("AAAA"));
    ui.captureScreen();  // no display is needed: the limit is checked first
    EXPECT_EQ(P::statusText(ui), "Screenshot limit (8) reached. Send them or remove some first.");
    EXPECT_EQ(P::tray(ui).size(), 8u);
}

TEST_F(HudAnswers, ServerErrorFailsTheCardAndStaysOutOfTheMemory) {
    chat.setScript([](const HttpRequest&, int) {
        return ChatReply{.status = 500, .errorBody = R"({"error":{"message":"boom","code":500}})"};
    });
    ui.askQuestion({"prompt", "Q?", AskKind::Typed});
    ASSERT_TRUE(waitForState(ui, kAnswerFailed));
    EXPECT_EQ(cardOf(ui).error, "OpenRouter HTTP 500: boom");
    EXPECT_TRUE(memoryOf(ui).empty());
    EXPECT_TRUE(
        waitUntil([&] { return log.contains("llm ERROR: OpenRouter HTTP 500: boom"); }, 2s));
}

TEST_F(HudAnswers, ModelChangesReachTheNextRequest) {
    P::answerModelIndex(ui) = 2;
    P::llmSettingsDirty(ui) = true;
    P::applyLlmSettings(ui);
    EXPECT_FALSE(P::llmSettingsDirty(ui));
    EXPECT_TRUE(P::savePending(ui));

    ui.askQuestion({"prompt", "Q?", AskKind::Typed});
    EXPECT_EQ(cardOf(ui).model, "openai/gpt-4o");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    EXPECT_EQ(modelOf(chat.chatRequests().at(0)), "openai/gpt-4o");

    // A custom id is what goes out when the custom entry is chosen.
    P::answerModelIndex(ui) = kCustomModelIndex;
    P::customAnswerModel(ui) = "mine/model-7";
    P::llmSettingsDirty(ui) = true;
    P::applyLlmSettings(ui);
    ui.askQuestion({"prompt 2", "Q2?", AskKind::Typed});
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    EXPECT_EQ(modelOf(chat.chatRequests().at(1)), "mine/model-7");
}

TEST(HudAnswersWithoutKey, CardFailsAndNothingIsSent) {
    ChatServer chat;
    Hud hud{HudOptions{.openRouterKey = nullptr, .chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
    P::onQuestion(ui, kSystem, std::string("What is RAII?"));
    const Card card = cardOf(ui);
    EXPECT_EQ(card.state, kAnswerFailed);
    EXPECT_EQ(card.error, "No OpenRouter API key - add one in Settings.");
    EXPECT_EQ(card.question, "What is RAII?");
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(chat.chatRequests().empty());
    EXPECT_EQ(hud.llm.workerCount(), 0u);
}

TEST(HudAnswersWithoutKey, RefusedSendKeepsTheTypedQuestionAndTheScreenshots) {
    ChatServer chat;
    Hud hud{HudOptions{.openRouterKey = nullptr, .chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
    P::tray(ui).push_back(shot("AAAA"));
    P::tray(ui).push_back(shot("BBBB"));
    P::typedQuestion(ui) = "Which is faster?";
    P::sendScreenshots(ui);
    EXPECT_EQ(cardOf(ui).state, kAnswerFailed);
    EXPECT_EQ(cardOf(ui).error, "No OpenRouter API key - add one in Settings.");
    EXPECT_EQ(cardOf(ui).question, "Which is faster?  [+ 2 screenshots]");
    ASSERT_EQ(P::tray(ui).size(), 2u);
    EXPECT_EQ(P::tray(ui)[0].pngBase64, "AAAA");
    EXPECT_EQ(P::tray(ui)[1].pngBase64, "BBBB");
    EXPECT_EQ(P::typedQuestion(ui), "Which is faster?");

    // The Answer button with the same question: refused, and the field keeps it too.
    P::tray(ui).clear();
    ui.clearAnswer();
    ui.answerNow();
    EXPECT_EQ(cardOf(ui).state, kAnswerFailed);
    EXPECT_EQ(cardOf(ui).question, "Which is faster?");
    EXPECT_EQ(P::typedQuestion(ui), "Which is faster?");

    // Once the key is in, the same send goes out and takes the question and the shots.
    P::tray(ui).push_back(shot("CCCC"));
    P::openRouterKey(ui) = "test-key";
    P::llmSettingsDirty(ui) = true;
    P::applyLlmSettings(ui);
    P::sendScreenshots(ui);
    EXPECT_TRUE(P::tray(ui).empty());
    EXPECT_EQ(P::typedQuestion(ui), "");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    ASSERT_EQ(chat.chatRequests().size(), 1u);
    EXPECT_EQ(lastUserImages(chat.chatRequests()[0]),
              (std::vector<std::string>{"data:image/png;base64,CCCC"}));
}

}  // namespace
}  // namespace morvelin::hud_test
