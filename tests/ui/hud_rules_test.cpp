// The HUD's pure rules: values in, values out, no controller.

#include "ui/hud_rules.h"

#include <gtest/gtest.h>

namespace morvelin {
namespace {

TEST(HudRules, CommittedWordsAreSkippedFromTheFinalThatRepeatsThem) {
    // The Answer button committed "tell me about" from the interim; the final repeats it.
    const std::string committed = "tell me about";
    ASSERT_EQ(countWords(committed), 3u);
    EXPECT_EQ(skipLeadingWords("tell me about yourself please", countWords(committed)),
              "yourself please");
    EXPECT_EQ(skipLeadingWords("tell me about", 3), "");
    EXPECT_EQ(skipLeadingWords("tell me about  \t ", 3), "");
    // White space of any kind separates words, and leading white space is not a word.
    EXPECT_EQ(countWords("  one\ttwo\nthree  "), 3u);
    EXPECT_EQ(countWords(" \t\n"), 0u);
    EXPECT_EQ(skipLeadingWords("  one\ttwo\n three four", 2), "three four");
    // The final may carry fewer words than were committed (the engine re-segmented).
    EXPECT_EQ(skipLeadingWords("tell me", 3), "");
    // Punctuation belongs to its word: "about," is one word.
    EXPECT_EQ(skipLeadingWords("Tell me about, your team?", 3), "your team?");
    // Nothing committed: the text is kept as it is, inner spacing included.
    EXPECT_EQ(skipLeadingWords("kept  as is", 0), "kept  as is");
}

TEST(HudRules, MicrophoneQuestionsWaitSixSecondsOfInterviewerQuiet) {
    const std::int64_t now = 100'000;
    // Mode 0: answered only when the interviewer is quiet on all three counts.
    EXPECT_EQ(micQuestionVerdict(0, false, now, now - 6000, now - 6000), MicVerdict::Answer);
    EXPECT_EQ(micQuestionVerdict(0, false, now, now - 5999, now - 60000),
              MicVerdict::InterviewerActive);
    EXPECT_EQ(micQuestionVerdict(0, false, now, now - 60000, now - 5999),
              MicVerdict::InterviewerActive);
    EXPECT_EQ(micQuestionVerdict(0, true, now, now - 60000, now - 60000),
              MicVerdict::InterviewerActive);
    // The start values (-1000000) count as long ago.
    EXPECT_EQ(micQuestionVerdict(0, false, 10, -1000000, -1000000), MicVerdict::Answer);
    // Mode 1 always answers, mode 2 never, whatever the interviewer does.
    EXPECT_EQ(micQuestionVerdict(1, true, now, now, now), MicVerdict::Answer);
    EXPECT_EQ(micQuestionVerdict(2, false, now, -1000000, -1000000), MicVerdict::NeverAnswer);
}

TEST(HudRules, PromptsAreWordForWord) {
    EXPECT_EQ(detectedQuestionPrompt("What is RAII?", ""),
              "The interviewer just asked: \"What is RAII?\"\n\n"
              "Answer the interviewer's question as me.");
    EXPECT_EQ(detectedQuestionPrompt("Why?", "[Interviewer] Hi\n[Me] Hello\n"),
              "The interviewer just asked: \"Why?\"\n\n"
              "Recent conversation, for context only:\n[Interviewer] Hi\n[Me] Hello\n\n"
              "Answer the interviewer's question as me.");
    EXPECT_EQ(transcriptPrompt("[Interviewer] Q\n"),
              "Live interview transcript (Interviewer = the other side of the call, Me = the "
              "candidate):\n\n[Interviewer] Q\n\nWrite what I should say next in response to the "
              "most recent question asked (by the interviewer, or by me if I am testing). If "
              "several questions were asked, answer them in order.");
    const std::string head =
        "Everything said on the call since my last answer (Interviewer = the other side of the "
        "call, Me = the candidate). Speech recognition may have split it into several pieces; "
        "treat them together as ONE question or request:\n\n[Me] new\n\n";
    const std::string tail =
        "Write what I should say next, answering all of it as one combined question. If it "
        "contains several questions, answer each of them in order.";
    EXPECT_EQ(answerOnClickPrompt("[Me] new\n", ""), head + tail);
    EXPECT_EQ(answerOnClickPrompt("[Me] new\n", "[Interviewer] old\n"),
              head +
                  "Earlier conversation, already answered, for context only:\n"
                  "[Interviewer] old\n\n" +
                  tail);

    std::string lines;
    appendPromptLine(lines, AudioSource::SystemAudio, "Hi");
    appendPromptLine(lines, AudioSource::Microphone, "Hello");
    EXPECT_EQ(lines, "[Interviewer] Hi\n[Me] Hello\n");
}

TEST(HudRules, ScreenshotPromptsAndCardTitles) {
    EXPECT_EQ(screenshotPrompt(1),
              "This is a screenshot of my screen during the interview (for example a coding "
              "problem or a question in a shared document). Identify the question and give me "
              "the answer, with code if relevant.");
    EXPECT_EQ(screenshotPrompt(3),
              "These are 3 screenshots of my screen during the interview, in the order I took "
              "them (for example coding problems or questions in shared documents). Identify the "
              "question(s) and give me the answer, with code if relevant.");
    EXPECT_EQ(screenshotDisplay("Q", 3), "Q  [+ 3 screenshots]");
    EXPECT_EQ(screenshotDisplay("Q", 1), "Q  [+ 1 screenshot]");
    EXPECT_EQ(screenshotDisplay("", 1), "1 screenshot");
    EXPECT_EQ(screenshotDisplay("", 2), "2 screenshots");
    EXPECT_EQ(screenshotDisplay("Q", 0), "Q");
}
}  // namespace
}  // namespace morvelin
