// Transcripts into the session and the three roads of the Answer button: the typed question,
// the latest question from the transcript (hands-free on) and everything heard since the last
// answer (hands-free off); and the microphone rules of the question dispatch. The prompts are
// read back from a chat service on 127.0.0.1.

#include <gtest/gtest.h>

#include "tests/ui/hud_test_support.h"

namespace morvelin::hud_test {
namespace {

class HudTranscripts : public ::testing::Test {
protected:
    // The prompt of the only request made so far.
    std::string onlyPrompt() {
        EXPECT_TRUE(chat.waitForChatRequests(1));
        const auto requests = chat.chatRequests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? std::string() : lastUserText(requests.back());
    }

    ChatServer chat;
    Hud hud{HudOptions{.chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
    LogWatch log;
};

// ---------------------------------------------------------------------------------------------
// Hands-free on: the latest question from the transcript.

TEST_F(HudTranscripts, EverythingAnsweredStillAsksTheLastTwentyFourLinesAgain) {
    std::vector<TranscriptLine> lines;
    for (int i = 0; i < 30; ++i)
        lines.push_back({i % 3 == 0 ? kSystem : kMic, "line " + std::to_string(i)});
    setTranscript(ui, lines, 30);
    ui.answerNow();
    EXPECT_EQ(onlyPrompt(), transcriptPrompt(promptLines(lines, 6, 30)));
    const Card card = cardOf(ui);
    EXPECT_EQ(card.question, "line 27");  // the newest interviewer line
    EXPECT_EQ(card.kind, static_cast<int>(AskKind::Transcript));
    EXPECT_EQ(answeredUpToOf(ui), 30u);
}

TEST_F(HudTranscripts, MarkNarrowsTheContextAndPartialsFollowTheLines) {
    const auto lines = numberedLines(30, kSystem);
    setTranscript(ui, lines, 20);
    setPartial(ui, kMic, "thinking aloud");
    setPartial(ui, kSystem, "and one more thing");
    ui.answerNow();
    EXPECT_EQ(onlyPrompt(),
              transcriptPrompt(promptLines(lines, 20, 30) +
                               "[Interviewer] and one more thing\n[Me] thinking aloud\n"));
    EXPECT_EQ(answeredUpToOf(ui), 30u);
    EXPECT_EQ(transcriptOf(ui).size(), 30u);  // partials are read, never committed here
    std::lock_guard lock(P::stateMutex(ui));
    EXPECT_EQ(P::livePartial(ui)[1], "thinking aloud");
}

TEST_F(HudTranscripts, OnlyTheLastTwentyFourLinesAreSearchedForTheInterviewer) {
    std::vector<TranscriptLine> lines{{kSystem, "Old question?"}};
    for (const auto& line : numberedLines(30, kMic, "me"))
        lines.push_back(line);
    setTranscript(ui, lines, 0);
    ui.answerNow();
    EXPECT_EQ(cardOf(ui).question, "Latest question from the transcript");
    EXPECT_EQ(onlyPrompt(), transcriptPrompt(promptLines(lines, 7, 31)));
}

TEST_F(HudTranscripts, InterviewerLineBeforeMyReplyIsTheTitle) {
    setTranscript(ui, {{kSystem, "First?"}, {kSystem, "Why Rust?"}, {kMic, "Because"}}, 0);
    ui.answerNow();
    EXPECT_EQ(cardOf(ui).question, "Why Rust?");
    ASSERT_TRUE(chat.waitForChatRequests(1));
}

TEST_F(HudTranscripts, NothingHeardAsksNothing) {
    const std::uint64_t generation = cardOf(ui).generation;
    ui.answerNow();
    EXPECT_EQ(P::statusText(ui), "Nothing in the transcript yet - type a question instead.");
    EXPECT_EQ(cardOf(ui).generation, generation);

    // A partial alone is something to answer.
    setPartial(ui, kSystem, "Can you hear me?");
    ui.answerNow();
    EXPECT_EQ(onlyPrompt(), transcriptPrompt("[Interviewer] Can you hear me?\n"));
    EXPECT_EQ(cardOf(ui).question, "Latest question from the transcript");
}

TEST_F(HudTranscripts, TypedQuestionWinsOverTheTranscript) {
    setTranscript(ui, numberedLines(5, kSystem), 2);
    P::typedQuestion(ui) = "What is a monad?";
    ui.answerNow();
    EXPECT_EQ(P::typedQuestion(ui), "");
    EXPECT_EQ(onlyPrompt(), "What is a monad?");
    EXPECT_EQ(cardOf(ui).question, "What is a monad?");
    EXPECT_EQ(cardOf(ui).kind, static_cast<int>(AskKind::Typed));
    EXPECT_EQ(answeredUpToOf(ui), 2u);
}

// ---------------------------------------------------------------------------------------------
// Hands-free off: everything heard since the last answer.

TEST_F(HudTranscripts, AnswerOnClickCommitsThePartialAndTheFinalDoesNotRepeatIt) {
    P::handsFree(ui) = false;
    const auto lines = numberedLines(12, kSystem);
    setTranscript(ui, lines, 10);
    setPartial(ui, kMic, "and also what");
    ui.answerNow();

    EXPECT_EQ(onlyPrompt(), answerOnClickPrompt(promptLines(lines, 10, 12) + "[Me] and also what\n",
                                                promptLines(lines, 2, 10)));
    EXPECT_EQ(cardOf(ui).question, "line 10 line 11 and also what");
    EXPECT_EQ(cardOf(ui).kind, static_cast<int>(AskKind::Transcript));
    EXPECT_TRUE(
        log.contains("answer on click: sending everything heard since the last answer: "
                     "\"line 10 line 11 and also what\""));
    auto transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 13u);
    EXPECT_EQ(transcript[12].source, kMic);
    EXPECT_EQ(transcript[12].text, "and also what");
    EXPECT_EQ(answeredUpToOf(ui), 13u);
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::livePartial(ui)[1], "");
        EXPECT_EQ(P::committedText(ui)[1], "and also what");
    }

    // The engine's final repeats the committed words and adds two.
    P::onTranscript(ui, kMic, std::string("and also what about testing"), true, false);
    transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 14u);
    EXPECT_EQ(transcript[13].text, "about testing");
    std::lock_guard lock(P::stateMutex(ui));
    EXPECT_EQ(P::committedText(ui)[1], "");
}

TEST_F(HudTranscripts, AnswerOnClickEarlierTextIsAtMostEightLinesBeforeTheMark) {
    P::handsFree(ui) = false;
    const auto lines = numberedLines(5, kMic);
    setTranscript(ui, lines, 3);
    ui.answerNow();
    EXPECT_EQ(onlyPrompt(),
              answerOnClickPrompt(promptLines(lines, 3, 5), promptLines(lines, 0, 3)));
    EXPECT_EQ(cardOf(ui).question, "line 3 line 4");
    EXPECT_EQ(answeredUpToOf(ui), 5u);

    // Nothing new since: nothing is asked.
    const std::uint64_t generation = cardOf(ui).generation;
    ui.answerNow();
    EXPECT_EQ(P::statusText(ui), "Nothing new heard since your last answer.");
    EXPECT_EQ(cardOf(ui).generation, generation);
}

TEST_F(HudTranscripts, AnswerOnClickWithTheMarkBeyondTheEndSendsOnlyThePartial) {
    P::handsFree(ui) = false;
    const auto lines = numberedLines(5, kSystem);
    setTranscript(ui, lines, 50);
    setPartial(ui, kSystem, "so tell me");
    ui.answerNow();
    EXPECT_EQ(onlyPrompt(),
              answerOnClickPrompt("[Interviewer] so tell me\n", promptLines(lines, 0, 5)));
    EXPECT_EQ(cardOf(ui).question, "so tell me");
    EXPECT_EQ(answeredUpToOf(ui), 6u);
}

// The streaming engine's interims grow through one utterance; the Answer button takes what is
// there at each press, and the final that ends the utterance keeps only what no press took.
TEST_F(HudTranscripts, SecondPressInOneUtteranceSendsOnlyTheWordsAfterTheFirst) {
    P::handsFree(ui) = false;
    P::onTranscript(ui, kSystem, std::string("tell me"), false, false);
    P::onTranscript(ui, kSystem, std::string("tell me about"), false, false);
    ui.answerNow();
    EXPECT_EQ(onlyPrompt(), answerOnClickPrompt("[Interviewer] tell me about\n", ""));
    ASSERT_TRUE(waitForState(ui, kAnswerDone));

    P::onTranscript(ui, kSystem, std::string("tell me about your last project"), false, false);
    ui.answerNow();
    ASSERT_TRUE(chat.waitForChatRequests(2));
    EXPECT_EQ(
        lastUserText(chat.chatRequests()[1]),
        answerOnClickPrompt("[Interviewer] your last project\n", "[Interviewer] tell me about\n"));
    EXPECT_EQ(cardOf(ui).question, "your last project");
    ASSERT_TRUE(waitForState(ui, kAnswerDone));

    // A third press before anything new is heard finds nothing to send.
    P::onTranscript(ui, kSystem, std::string("tell me about your last project"), false, false);
    ui.answerNow();
    EXPECT_EQ(P::statusText(ui), "Nothing new heard since your last answer.");

    // The final spells the committed words its own way and adds one.
    P::onTranscript(ui, kSystem, std::string("Tell me about your last project, briefly."), true,
                    false);
    const auto transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 3u);
    EXPECT_EQ(transcript[0].text, "tell me about");
    EXPECT_EQ(transcript[1].text, "your last project");
    EXPECT_EQ(transcript[2].text, "briefly.");
    EXPECT_EQ(chat.chatRequests().size(), 2u);
}

TEST_F(HudTranscripts, FinalThatRevisesTheCommittedWordsKeepsEveryNewWord) {
    P::handsFree(ui) = false;
    // The final changes the third committed word: it and everything after it stay.
    P::onTranscript(ui, kMic, std::string("tell me about your project"), false, false);
    ui.answerNow();
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    P::onTranscript(ui, kMic, std::string("tell me regarding your project please"), true, false);

    // A final shorter than what was committed: the words it repeats go, its new one stays.
    P::onTranscript(ui, kMic, std::string("what was the hardest bug"), false, false);
    ui.answerNow();
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    P::onTranscript(ui, kMic, std::string("What was it?"), true, false);

    const auto transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 4u);
    EXPECT_EQ(transcript[0].text, "tell me about your project");
    EXPECT_EQ(transcript[1].text, "regarding your project please");
    EXPECT_EQ(transcript[2].text, "what was the hardest bug");
    EXPECT_EQ(transcript[3].text, "it?");
    std::lock_guard lock(P::stateMutex(ui));
    EXPECT_EQ(P::committedText(ui)[1], "");
}

// No key yet: a refused request leaves what was heard unanswered. Once the key is in, the next
// press sends it all as new, the interim the refused press committed included.
TEST(HudTranscriptsWithoutKey, RefusedPressKeepsWhatWasHeardForTheNextPress) {
    ChatServer chat;
    Hud hud{HudOptions{.openRouterKey = nullptr, .chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
    P::handsFree(ui) = false;
    const auto lines = numberedLines(3, kSystem);
    setTranscript(ui, lines, 3);
    P::onTranscript(ui, kSystem, std::string("Walk me through your biggest"), false, false);
    ui.answerNow();
    EXPECT_EQ(cardOf(ui).error, "No OpenRouter API key - add one in Settings.");
    EXPECT_EQ(answeredUpToOf(ui), 3u);
    P::onTranscript(ui, kSystem, std::string("Walk me through your biggest project"), true, true);

    P::openRouterKey(ui) = "test-key";
    P::llmSettingsDirty(ui) = true;
    P::applyLlmSettings(ui);
    ui.answerNow();
    ASSERT_TRUE(chat.waitForChatRequests(1));
    EXPECT_EQ(
        lastUserText(chat.chatRequests()[0]),
        answerOnClickPrompt("[Interviewer] Walk me through your biggest\n[Interviewer] project\n",
                            promptLines(lines, 0, 3)));
    EXPECT_EQ(cardOf(ui).question, "Walk me through your biggest project");
    EXPECT_EQ(answeredUpToOf(ui), 5u);
}

TEST(HudTranscriptsWithoutKey, RefusedHandsFreeAnswersLeaveTheMark) {
    ChatServer chat;
    Hud hud{HudOptions{.openRouterKey = nullptr, .chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
    setTranscript(ui, numberedLines(10, kSystem), 4);
    ui.answerNow();  // the latest question from the transcript
    EXPECT_EQ(cardOf(ui).state, kAnswerFailed);
    EXPECT_EQ(answeredUpToOf(ui), 4u);
    P::onQuestion(ui, kSystem, std::string("And why?"));  // a detected question
    EXPECT_EQ(cardOf(ui).question, "And why?");
    EXPECT_EQ(cardOf(ui).state, kAnswerFailed);
    EXPECT_EQ(answeredUpToOf(ui), 4u);
    EXPECT_TRUE(chat.chatRequests().empty());
}

// ---------------------------------------------------------------------------------------------
// Transcripts in.

TEST_F(HudTranscripts, InterimIsTheCaptionAndTheFinalBecomesALine) {
    P::lastInterviewerSpeechMs(ui) = -1000000;
    P::onTranscript(ui, kMic, std::string("I think"), false, false);
    EXPECT_EQ(P::lastInterviewerSpeechMs(ui).load(), -1000000);  // only the interviewer counts

    const std::int64_t before = steadyNowMs();
    P::onTranscript(ui, kSystem, std::string("Tell me"), false, false);
    EXPECT_GE(P::lastInterviewerSpeechMs(ui).load(), before);
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::livePartial(ui)[0], "Tell me");
        EXPECT_EQ(P::livePartial(ui)[1], "I think");
        EXPECT_TRUE(P::transcript(ui).empty());
    }
    P::onTranscript(ui, kSystem, std::string("Tell me about it."), true, false);
    const auto transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 1u);
    EXPECT_EQ(transcript[0].source, kSystem);
    EXPECT_EQ(transcript[0].text, "Tell me about it.");
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::livePartial(ui)[0], "");
        EXPECT_EQ(P::livePartial(ui)[1], "I think");
    }
    EXPECT_TRUE(
        log.contains("transcript System audio (final, speechFinal=false): \"Tell me about "
                     "it.\""));
    EXPECT_FALSE(log.contains("transcript Microphone"));  // interims are not logged
    // The detector holds the final while it waits for the silence.
    EXPECT_EQ(P::detectors(ui)[0]->currentText(), "Tell me about it.");
}

TEST_F(HudTranscripts, FinalOfOnlyCommittedWordsAddsNoLineButFeedsTheDetectorInFull) {
    {
        std::lock_guard lock(P::stateMutex(ui));
        P::committedText(ui)[0] = "tell me about";
    }
    P::onTranscript(ui, kSystem, std::string("tell me about"), true, false);
    EXPECT_TRUE(transcriptOf(ui).empty());
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::committedText(ui)[0], "");
    }
    EXPECT_EQ(P::detectors(ui)[0]->currentText(), "tell me about");

    // Only the next final is cut, and by the committed words only.
    {
        std::lock_guard lock(P::stateMutex(ui));
        P::committedText(ui)[0] = "one two three";
    }
    P::onTranscript(ui, kSystem, std::string("one two three four five"), true, false);
    P::onTranscript(ui, kSystem, std::string("one two three"), true, false);
    const auto transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 2u);
    EXPECT_EQ(transcript[0].text, "four five");
    EXPECT_EQ(transcript[1].text, "one two three");
}

// ---------------------------------------------------------------------------------------------
// Questions out: the microphone rules and hands-free.

TEST_F(HudTranscripts, MicQuestionRightAfterInterviewerSpeechIsSkippedInModeZero) {
    P::onTranscript(ui, kSystem, std::string("so"), false, false);
    const std::uint64_t generation = cardOf(ui).generation;
    P::onQuestion(ui, kMic, std::string("What about you?"));
    EXPECT_EQ(cardOf(ui).generation, generation);
    EXPECT_TRUE(
        log.contains("mic question skipped, interviewer audio is active (same words picked "
                     "up by the mic): \"What about you?\""));

    // A system-audio question counts the same as speech.
    P::lastInterviewerSpeechMs(ui) = steadyNowMs() - 60000;
    P::lastSystemQuestionMs(ui) = steadyNowMs() - 5000;
    P::onQuestion(ui, kMic, std::string("And you?"));
    EXPECT_EQ(cardOf(ui).generation, generation);

    // Six seconds of quiet on both counts: answered.
    P::lastInterviewerSpeechMs(ui) = steadyNowMs() - 6000;
    P::lastSystemQuestionMs(ui) = steadyNowMs() - 6000;
    P::onQuestion(ui, kMic, std::string("Shall I go on?"));
    EXPECT_EQ(cardOf(ui).question, "Shall I go on?");
    EXPECT_TRUE(log.contains("question DISPATCHED from Microphone: \"Shall I go on?\""));
    // The interim "so" is no line of the transcript, so there is no context.
    EXPECT_EQ(onlyPrompt(),
              "The interviewer just asked: \"Shall I go on?\"\n\n"
              "Answer the interviewer's question as me.");

    // Mode 1 answers even while the interviewer speaks.
    P::micAnswerMode(ui) = 1;
    P::onTranscript(ui, kSystem, std::string("hmm"), false, false);
    P::onQuestion(ui, kMic, std::string("Can I ask something?"));
    EXPECT_EQ(cardOf(ui).question, "Can I ask something?");
}

TEST_F(HudTranscripts, MicQuestionInModeTwoOnlyShowsTheNotice) {
    P::micAnswerMode(ui) = 2;
    const std::uint64_t generation = cardOf(ui).generation;
    const std::int64_t before = steadyNowNs();
    P::onQuestion(ui, kMic, std::string("Is that right?"));
    const std::int64_t after = steadyNowNs();
    EXPECT_EQ(cardOf(ui).generation, generation);
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::notice(ui),
                  "Heard a question from YOUR mic, but mic answering is set to Never (Settings > "
                  "Hands-free answering).");
        EXPECT_GE(P::noticeUntilNs(ui), before + 10'000'000'000);
        EXPECT_LE(P::noticeUntilNs(ui), after + 10'000'000'000);
    }
    EXPECT_TRUE(log.contains(
        "question from microphone NOT answered (mic answering is Never): \"Is that right?\""));
}

TEST_F(HudTranscripts, HandsFreeOffKeepsTheQuestionForTheButton) {
    P::handsFree(ui) = false;
    setTranscript(ui, numberedLines(3, kSystem), 1);
    const std::uint64_t generation = cardOf(ui).generation;
    const std::int64_t before = steadyNowMs();
    P::onQuestion(ui, kSystem, std::string("Any questions for us?"));
    EXPECT_EQ(cardOf(ui).generation, generation);
    EXPECT_GE(P::lastSystemQuestionMs(ui).load(), before);
    EXPECT_EQ(answeredUpToOf(ui), 1u);
    EXPECT_TRUE(log.contains(
        "question kept for the Answer button (answer on click is on): \"Any questions for us?\""));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(chat.chatRequests().empty());
}
}  // namespace
}  // namespace morvelin::hud_test
