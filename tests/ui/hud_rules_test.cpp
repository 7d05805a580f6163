// The HUD's pure rules: values in, values out, no controller.

#include "ui/hud_rules.h"

#include <gtest/gtest.h>

namespace morvelin {
namespace {

TEST(HudRules, FinalKeepsEverythingAfterTheCommittedWordsItRepeats) {
    // The Answer button committed "tell me about your project" from the interim.
    const std::string committed = "tell me about your project";
    EXPECT_EQ(dropCommittedWords("tell me about your project please", committed), "please");
    EXPECT_EQ(dropCommittedWords("tell me about your project  \t ", committed), "");
    // The final's capitals and punctuation do not make the words new.
    EXPECT_EQ(dropCommittedWords("Tell me about your project? And why?", committed), "And why?");
    EXPECT_EQ(dropCommittedWords("  tell\tme\n about, your project", committed), "");
    // A revised word ends the match: it and all after it stay, so nothing new is lost.
    EXPECT_EQ(dropCommittedWords("tell me regarding your project", committed),
              "regarding your project");
    EXPECT_EQ(dropCommittedWords("tellme about your project", committed),
              "tellme about your project");
    // Fewer words than were committed: the matching ones go, a new one stays.
    EXPECT_EQ(dropCommittedWords("Tell me about it.", committed), "it.");
    EXPECT_EQ(dropCommittedWords("tell me", committed), "");
    // Words without letters or digits match only themselves.
    EXPECT_EQ(dropCommittedWords("so - what now", "so - what"), "now");
    EXPECT_EQ(dropCommittedWords("so -- what now", "so - what"), "-- what now");
    // Nothing committed, or nothing matched: the text as it is, spacing included.
    EXPECT_EQ(dropCommittedWords(" kept  as is", ""), " kept  as is");
    EXPECT_EQ(dropCommittedWords(" kept  as is", "other words"), " kept  as is");
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
