// The chat service misbehaves mid-interview: it stalls halfway through an answer, refuses with
// an error status, answers with a page that is not JSON, or fails inside the stream. Each
// answer ends promptly with its own error text, and the next question is answered normally.

#include "tests/faults/fault_session.h"

namespace halvenor::faults {
namespace {

constexpr const char* kStalledWords = "Stalled halfway";

// Two tokens, then silence with the connection held open.
void stallAfterTwoTokens(HttpResponseWriter& writer, ChatOutcome& outcome) {
    writer.writeHead(200, {{"Content-Type", "text/event-stream"}});
    writer.write(sseToken("Stalled"));
    writer.write(sseToken(" halfway"));
    stallUntilHungUp(writer, outcome);
}

// Every message a chat request carried, system prompt excluded.
std::string conversationOf(const nlohmann::json& request) {
    std::string text;
    for (const auto& message : request.at("messages")) {
        if (message.value("role", "") != "system")
            text += message.dump() + "\n";
    }
    return text;
}

TEST_F(FaultSession, StalledAnswerEndsOnClearOrANewQuestionAndNeverEntersTheMemory) {
    setChatScript([](std::size_t index, HttpResponseWriter& writer, ChatOutcome& outcome) {
        if (index < 2)
            stallAfterTwoTokens(writer, outcome);
        else
            streamAnswer(writer, outcome);
    });
    start();
    startListening();

    // First stall: the user clears the card.
    hear("What is your greatest strength?");
    ASSERT_EQ(pulse_.play(speech()), 0);
    ASSERT_TRUE(waitForLog("llm first token after")) << log();
    const auto cleared = Clock::now();
    key("ctrl+shift+BackSpace");
    ASSERT_TRUE(test::waitUntil([&] { return chats().at(0).gone.has_value(); }, 5s))
        << "the stalled request was not ended";
    // A transfer that receives nothing is checked for a stop about once a second.
    EXPECT_LT(*chats().at(0).gone - cleared, 2s);

    // Second stall: the interviewer asks the next question; it replaces the stalled answer.
    hear("How do you handle conflict in a team?");
    ASSERT_EQ(pulse_.play(speech()), 0);
    ASSERT_TRUE(test::waitUntil([&] { return chats().size() == 2; }, 30s)) << log();
    ASSERT_TRUE(waitForLogCount("llm first token after", 2)) << log();
    ASSERT_NO_FATAL_FAILURE(askAloud("Tell me about a project you are proud of?"));
    ASSERT_TRUE(test::waitUntil([&] { return chats().at(1).gone.has_value(); }, 5s))
        << "the superseded request was left running";
    const auto all = chats();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_LT(*all[1].gone - all[2].received, 2s);

    // Nothing of the stalled answers reached the memory: the third request carried only its
    // own question, and the answer after it carries the finished exchange and nothing else.
    EXPECT_EQ(all[2].request.at("messages").size(), 2u) << all[2].request.dump();
    EXPECT_EQ(conversationOf(all[2].request).find(kStalledWords), std::string::npos);
    key("ctrl+shift+a");  // answer now: the latest question again, with the memory
    ASSERT_TRUE(test::waitUntil([&] { return completedChats() == 2; }, 20s)) << log();
    const auto followUp = chats().back().request;
    const std::string conversation = conversationOf(followUp);
    EXPECT_EQ(followUp.at("messages").size(), 4u) << followUp.dump();
    EXPECT_EQ(conversation.find(kStalledWords), std::string::npos) << conversation;
    EXPECT_NE(conversation.find("I finish what I start."), std::string::npos) << conversation;
    EXPECT_EQ(log().find("llm ERROR"), std::string::npos) << log();
    saveScreenshot("stall-then-answer");
}

TEST_F(FaultSession, EachChatServiceFailureShowsItsTextAndTheNextQuestionIsAnswered) {
    struct Failure {
        int status;
        std::string contentType;
        std::string body;
        std::string shown;  // the card's error text
    };
    const std::vector<Failure> failures{
        {429, "application/json",
         R"({"error":{"code":429,"message":"Rate limit exceeded: free-models-per-min"}})",
         "OpenRouter HTTP 429: Rate limit exceeded: free-models-per-min"},
        {500, "application/json", R"({"error":{"code":500,"message":"Internal Server Error"}})",
         "OpenRouter HTTP 500: Internal Server Error"},
        {502, "text/html", "<html><body><h1>502 Bad Gateway</h1></body></html>",
         "OpenRouter HTTP 502: <html><body><h1>502 Bad Gateway</h1></body></html>"},
        {200, "text/event-stream",
         sseToken("Partial") +
             "data: " + R"({"error":{"code":502,"message":"Provider returned error"}})" + "\n\n" +
             "data: [DONE]\n\n",
         "OpenRouter: Provider returned error"},
    };
    setChatScript([&](std::size_t index, HttpResponseWriter& writer, ChatOutcome& outcome) {
        if (index >= failures.size()) {
            streamAnswer(writer, outcome);
            return;
        }
        const Failure& failure = failures[index];
        if (failure.status == 200) {
            writer.writeHead(200, {{"Content-Type", failure.contentType}});
            writer.write(failure.body);
        } else {
            writer.writeHead(failure.status, {{"Content-Type", failure.contentType}}, false,
                             failure.body.size());
            writer.write(failure.body);
        }
        writer.finish();
    });
    start();
    startListening();
    hear("What is your greatest strength?");
    ASSERT_EQ(pulse_.play(speech()), 0);
    ASSERT_TRUE(waitForLog(dispatched("What is your greatest strength?"))) << log();

    for (std::size_t i = 0; i < failures.size(); ++i) {
        ASSERT_TRUE(waitForLog("llm ERROR: " + failures[i].shown, 15s)) << "failure " << i << "\n"
                                                                        << log();
        saveScreenshot("chat-failure-" + std::to_string(failures[i].status));
        if (i + 1 < failures.size())
            key("ctrl+shift+a");  // the user asks again
    }
    // Failed answers never enter the memory; the next spoken question is answered afresh.
    ASSERT_NO_FATAL_FAILURE(askAloud("How do you prioritise your work?"));
    const auto all = chats();
    ASSERT_EQ(all.size(), failures.size() + 1);
    EXPECT_EQ(all.back().request.at("messages").size(), 2u) << all.back().request.dump();
    EXPECT_EQ(countOf(log(), "llm ERROR: "), failures.size()) << log();
}

}  // namespace
}  // namespace halvenor::faults
