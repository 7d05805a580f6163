#include "speech/question_detector.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace morvelin {
namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// The classifier and its word functions.

TEST(IsQuestion, QuestionMarkNeedsTwoTokens) {
    EXPECT_FALSE(isQuestion("?"));
    EXPECT_FALSE(isQuestion("why?"));
    EXPECT_FALSE(isQuestion("hmm ?"));  // the "?" alone is no token
    EXPECT_FALSE(isQuestion("... ?!?"));
    EXPECT_TRUE(isQuestion("why not?"));
    EXPECT_TRUE(isQuestion("  you   sure? \n"));        // trailing blanks do not hide the mark
    EXPECT_FALSE(isQuestion("you sure? i guess not"));  // only a final mark counts
}

TEST(IsQuestion, FillersAreSkippedBeforeTheStarters) {
    EXPECT_FALSE(isQuestion("so um okay"));
    EXPECT_FALSE(isQuestion("so okay, alright, well... yeah good"));
    EXPECT_TRUE(isQuestion("so what is it"));
    EXPECT_TRUE(isQuestion("Okay, so, um, how's the team structured"));
    // Only leading fillers go: "right" in the middle is just a word.
    EXPECT_FALSE(isQuestion("that was right what he said"));
}

TEST(IsQuestion, StartersAndPhrases) {
    EXPECT_FALSE(isQuestion("what now"));  // two tokens, no mark
    EXPECT_FALSE(isQuestion(""));
    EXPECT_FALSE(isQuestion(" \t\r\n"));
    EXPECT_TRUE(isQuestion("I wonder how do you do that"));
    EXPECT_TRUE(isQuestion("What's the plan."));
    EXPECT_TRUE(isQuestion("Walk me through the deploy pipeline"));
    EXPECT_TRUE(isQuestion("we need to know the difference between these two"));
    EXPECT_TRUE(isQuestion("Let's say the cache is cold"));
    EXPECT_FALSE(isQuestion("we store events in a queue"));
    // Tokens match whole: "however" is not " how ", "whatever" is not " what ".
    EXPECT_FALSE(isQuestion("however long it takes"));
    EXPECT_FALSE(isQuestion("whatever works for the team"));
    EXPECT_FALSE(isQuestion("the designer liked it"));
}

TEST(IsQuestion, ApostrophesStayAndOtherPunctuationGoes) {
    EXPECT_TRUE(isQuestion("\"What's\" the plan"));
    EXPECT_TRUE(isQuestion("Let's say, hypothetically, a leak"));
    EXPECT_FALSE(isQuestion("Whats the plan"));  // without the apostrophe it is no starter
    EXPECT_TRUE(isQuestion("(How) [would] {you} scale this"));
}

TEST(IsQuestion, MultiByteCharactersAreDroppedFromTokens) {
    EXPECT_EQ(tokenizeWords("Ünïcode naïve ½ CAFÉ"),
              (std::vector<std::string>{"ncode", "nave", "caf"}));
    // A word made only of multi-byte characters disappears, so it counts as no token.
    EXPECT_FALSE(isQuestion("¿¿ ½?"));
    EXPECT_TRUE(isQuestion("¿qué? ¿por qué?"));  // "qu", "por", "qu" and a final mark
    EXPECT_TRUE(isQuestion("— what is the latency — ¿"));
    EXPECT_TRUE(isQuestion("¿¿ so how do you test it"));
}

TEST(WordFunctions, SplitJoinAndTokenize) {
    const std::string text = "\t a  bb\r\nccc\v\fd ";
    const auto words = splitWhitespace(text);
    ASSERT_EQ(words.size(), 4u);
    EXPECT_EQ(words[1], "bb");
    EXPECT_EQ(words[2].data(), text.data() + 9);  // views into the text, not copies
    EXPECT_EQ(joinWords(words, 0), "a bb ccc d");
    EXPECT_EQ(joinWords(words, 3), "d");
    EXPECT_EQ(joinWords(words, 4), "");
    EXPECT_EQ(joinWords(words, 99), "");
    EXPECT_TRUE(splitWhitespace("").empty());
    EXPECT_TRUE(splitWhitespace(" \n ").empty());
    EXPECT_EQ(tokenizeWords("It's A-OK, 42! ..."), (std::vector<std::string>{"it's", "aok", "42"}));
}

// ---------------------------------------------------------------------------------------------
// The detector with its worker.

struct Decision {
    std::string text;
    bool continuation = false;
    std::thread::id thread;
};

class Recorder {
public:
    QuestionCallback questionCallback() {
        return [this](const std::string& text, bool continuation) {
            std::lock_guard lock(mutex_);
            questions_.push_back({text, continuation, std::this_thread::get_id()});
            changed_.notify_all();
        };
    }
    QuestionDetector::LogCallback logCallback() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            logs_.push_back(line);
            changed_.notify_all();
        };
    }
    bool waitForQuestions(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return questions_.size() >= count; });
    }
    bool waitForLogs(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return logs_.size() >= count; });
    }
    std::vector<Decision> questions() {
        std::lock_guard lock(mutex_);
        return questions_;
    }
    std::vector<std::string> logs() {
        std::lock_guard lock(mutex_);
        return logs_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Decision> questions_;
    std::vector<std::string> logs_;
};

class DetectorTest : public ::testing::Test {
protected:
    DetectorTest() : detector(std::make_unique<QuestionDetector>(recorder.questionCallback())) {
        detector->setLogCallback(recorder.logCallback());
    }
    // Finals that carry speech-final, as the per-utterance engine delivers them.
    void say(const std::string& text) { detector->onTranscript(text, true, true); }

    Recorder recorder;  // outlives the detector and its worker
    std::unique_ptr<QuestionDetector> detector;
};

TEST_F(DetectorTest, SpeechFinalDecidesAtOnceOnTheCallingThread) {
    detector->setSilenceMs(60'000);
    say("what is a mutex");
    // Decided before onTranscript returned.
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "what is a mutex");
    EXPECT_FALSE(questions[0].continuation);
    EXPECT_EQ(questions[0].thread, std::this_thread::get_id());
    EXPECT_EQ(recorder.logs(), (std::vector<std::string>{"QUESTION: \"what is a mutex\""}));
    EXPECT_EQ(detector->currentText(), "");
}

TEST_F(DetectorTest, FinalsWithoutSpeechFinalGatherUntilTheSilenceTimeout) {
    detector->setSilenceMs(300);
    const auto start = std::chrono::steady_clock::now();
    detector->onTranscript("  how would", true, false);
    detector->onTranscript("you   shard it ", true, false);
    detector->onTranscript("this", false, false);
    // Committed as received; the decision normalises.
    EXPECT_EQ(detector->currentText(), "  how would you   shard it  this");
    EXPECT_TRUE(recorder.questions().empty());

    ASSERT_TRUE(recorder.waitForQuestions(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
    const auto questions = recorder.questions();
    EXPECT_EQ(questions[0].text, "how would you shard it this");  // normalised
    EXPECT_NE(questions[0].thread, std::this_thread::get_id());   // the worker decided
    EXPECT_EQ(detector->currentText(), "");
}

TEST_F(DetectorTest, NewTranscriptsPostponeTheSilenceDeadline) {
    detector->setSilenceMs(400);
    const auto start = std::chrono::steady_clock::now();
    detector->onTranscript("we store", false, false);
    std::this_thread::sleep_for(250ms);
    detector->onTranscript("we store events in a queue", false, false);
    std::this_thread::sleep_for(250ms);
    EXPECT_TRUE(recorder.logs().empty());  // 500 ms after the first, 250 ms after the last
    ASSERT_TRUE(recorder.waitForLogs(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 650ms);
    EXPECT_EQ(recorder.logs()[0], "not a question: \"we store events in a queue\"");
    EXPECT_TRUE(recorder.questions().empty());
}

TEST_F(DetectorTest, EndOfSpeechWithoutInterimDecidesAtOnce) {
    detector->setSilenceMs(60'000);
    detector->flushNow();  // nothing pending: nothing happens
    EXPECT_TRUE(recorder.logs().empty());
    detector->onTranscript("tell me about kafka", true, false);
    detector->flushNow();
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "tell me about kafka");
    EXPECT_EQ(questions[0].thread, std::this_thread::get_id());
}

TEST_F(DetectorTest, EndOfSpeechWaitsAtMost350MsThenUsesTheInterimAndSkipsItsWords) {
    detector->setSilenceMs(60'000);
    detector->onTranscript("what is a", false, false);
    const auto start = std::chrono::steady_clock::now();
    detector->flushNow();
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(recorder.questions().empty());
    ASSERT_TRUE(recorder.waitForQuestions(1));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 350ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(recorder.questions()[0].text, "what is a");
    EXPECT_NE(recorder.questions()[0].thread, std::this_thread::get_id());

    // The engine repeats the three words the decision already used: they are dropped, from
    // interims too, until the next final.
    detector->onTranscript("what is a mu", false, false);
    EXPECT_EQ(detector->currentText(), "mu");
    detector->onTranscript("what", false, false);
    EXPECT_EQ(detector->currentText(), "");
    detector->onTranscript("what is a mutex", true, false);
    EXPECT_EQ(detector->currentText(), "mutex");
    // The skip ended with that final.
    detector->onTranscript("what is a", false, false);
    EXPECT_EQ(detector->currentText(), "mutex what is a");
}

TEST_F(DetectorTest, AFinalArrivingDuringTheWaitDecidesAtOnce) {
    detector->setSilenceMs(60'000);
    detector->onTranscript("how do you", false, false);
    detector->flushNow();
    detector->onTranscript("how do you test it", true, false);  // no speech-final needed
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "how do you test it");
    EXPECT_EQ(questions[0].thread, std::this_thread::get_id());
    // Nothing was skipped: the decision used the final, not the interim.
    detector->onTranscript("and why", true, false);
    EXPECT_EQ(detector->currentText(), "and why");
}

TEST_F(DetectorTest, SpeechStartCancelsTheWaitForAFinal) {
    detector->setSilenceMs(300);
    detector->onTranscript("what is the plan", false, false);
    detector->flushNow();
    detector->noteSpeechStart();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(recorder.questions().empty());  // the 350 ms wait is gone
    detector->onTranscript("what is the plan", true, false);
    EXPECT_TRUE(recorder.questions().empty());  // no longer waiting for this final
    detector->flushNow();
    ASSERT_EQ(recorder.questions().size(), 1u);
    EXPECT_EQ(recorder.questions()[0].text, "what is the plan");
}

// The stream stalls in the middle of a sentence: no transcript for longer than the silence
// timeout, while the voice detector still hears the speaker.
TEST_F(DetectorTest, AStalledStreamDecidesNothingWhileTheSourceSpeaks) {
    detector->setSilenceMs(300);
    detector->noteSpeechStart();
    detector->onTranscript("Tell me what", false, false);
    std::this_thread::sleep_for(800ms);
    EXPECT_TRUE(recorder.logs().empty());
    detector->onTranscript("Tell me what is your greatest strength?", true, false);
    detector->flushNow();
    ASSERT_EQ(recorder.questions().size(), 1u);
    EXPECT_EQ(recorder.questions()[0].text, "Tell me what is your greatest strength?");
}

TEST_F(DetectorTest, TheSilenceTimeoutRunsFromTheEndOfSpeech) {
    detector->setSilenceMs(400);
    detector->noteSpeechStart();
    detector->onTranscript("we store events in a queue", true, false);
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(recorder.logs().empty());
    const auto end = std::chrono::steady_clock::now();
    detector->noteSpeechEnd();  // decides nothing by itself
    EXPECT_TRUE(recorder.logs().empty());
    ASSERT_TRUE(recorder.waitForLogs(1));
    const auto waited = std::chrono::steady_clock::now() - end;
    EXPECT_GE(waited, 400ms);
    EXPECT_LT(waited, 2s);
    EXPECT_EQ(recorder.logs()[0], "not a question: \"we store events in a queue\"");
}

TEST_F(DetectorTest, TenSecondsOfSpeechWithoutATranscriptDecideAnyway) {
    detector->setSilenceMs(200);
    detector->noteSpeechStart();
    const auto start = std::chrono::steady_clock::now();
    detector->onTranscript("how would you shard it", false, false);
    EXPECT_FALSE(recorder.waitForQuestions(1, 9500ms));
    ASSERT_TRUE(recorder.waitForQuestions(1, 2s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(recorder.questions()[0].text, "how would you shard it");
    EXPECT_NE(recorder.questions()[0].thread, std::this_thread::get_id());
}

TEST_F(DetectorTest, ResetForgetsThatTheSourceWasSpeaking) {
    detector->setSilenceMs(200);
    detector->noteSpeechStart();
    detector->reset();
    detector->onTranscript("what is a mutex", false, false);
    ASSERT_TRUE(recorder.waitForQuestions(1, 2s));
    EXPECT_EQ(recorder.questions()[0].text, "what is a mutex");
}

TEST_F(DetectorTest, ShorterSilenceAppliesToThePendingWait) {
    detector->setSilenceMs(60'000);
    detector->onTranscript("can you explain raft", true, false);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(recorder.questions().empty());
    detector->setSilenceMs(50);
    ASSERT_TRUE(recorder.waitForQuestions(1, 2s));
    EXPECT_EQ(recorder.questions()[0].text, "can you explain raft");
}

TEST_F(DetectorTest, ContinuationExtendsAnUnterminatedQuestion) {
    say("tell me about your last project");
    say("and the database layer");
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[1].text, "tell me about your last project and the database layer");
    EXPECT_TRUE(questions[1].continuation);
    // A question-like text continues it too, although its verdict says QUESTION.
    say("how did you test it");
    const auto more = recorder.questions();
    ASSERT_EQ(more.size(), 3u);
    EXPECT_TRUE(more[2].continuation);
    EXPECT_EQ(more[2].text,
              "tell me about your last project and the database layer how did you test it");
    // Too short to continue, and no question: nothing.
    say("ok");
    EXPECT_EQ(recorder.questions().size(), 3u);
    EXPECT_EQ(recorder.logs(), (std::vector<std::string>{
                                   "QUESTION: \"tell me about your last project\"",
                                   "continuation: \"and the database layer\"",
                                   "QUESTION: \"how did you test it\"",
                                   "not a question: \"ok\"",
                               }));
}

TEST_F(DetectorTest, NothingContinuesAQuestionThatEndsWithAMark) {
    say("what is your favourite data structure?");
    say("and the database layer");
    say("how do you index it");
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 2u);
    // Not a continuation; the statement became the context instead.
    EXPECT_EQ(questions[1].text, "and the database layer how do you index it");
    EXPECT_FALSE(questions[1].continuation);
    EXPECT_EQ(recorder.logs()[1], "not a question: \"and the database layer\"");
}

TEST_F(DetectorTest, ContinuationEndsThreeSecondsAfterTheQuestion) {
    say("tell me about your last project");
    std::this_thread::sleep_for(3100ms);
    say("and the database layer");
    EXPECT_EQ(recorder.questions().size(), 1u);
    EXPECT_EQ(recorder.logs().back(), "not a question: \"and the database layer\"");
}

TEST_F(DetectorTest, RecentStatementBecomesTheContextOfTheNextQuestion) {
    say("we store events in a queue");
    say("yes");  // too short to replace the context
    say("how would you scale it?");
    say("we use postgres");
    say("what about   backups?");
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, "we store events in a queue how would you scale it?");
    EXPECT_FALSE(questions[0].continuation);
    // The first context was used up; the newer one joins the next question.
    EXPECT_EQ(questions[1].text, "we use postgres what about backups?");
    say("why?");  // not a question (one token), and not a continuation after a "?"
    EXPECT_EQ(recorder.questions().size(), 2u);
}

TEST_F(DetectorTest, ResetForgetsPendingTextQuestionAndContext) {
    detector->setSilenceMs(200);
    say("tell me about your last project");
    say("we store events in a queue");  // a continuation of the question
    detector->reset();
    say("we keep them for a week");
    detector->reset();
    say("what is a mutex");
    detector->onTranscript("pending words", true, false);
    detector->onTranscript("and more", false, false);
    detector->reset();
    EXPECT_EQ(detector->currentText(), "");
    std::this_thread::sleep_for(400ms);  // past the silence timeout: nothing left to decide
    const auto questions = recorder.questions();
    ASSERT_EQ(questions.size(), 3u);
    EXPECT_EQ(questions[2].text, "what is a mutex");  // neither continuation nor context
    EXPECT_FALSE(questions[2].continuation);
    EXPECT_EQ(recorder.logs().size(), 4u);
}

TEST_F(DetectorTest, ResetEndsTheSkipOfInterimWords) {
    detector->setSilenceMs(60'000);
    detector->onTranscript("what is a", false, false);
    detector->flushNow();
    ASSERT_TRUE(recorder.waitForQuestions(1));
    detector->reset();
    detector->onTranscript("what is a mutex", false, false);
    EXPECT_EQ(detector->currentText(), "what is a mutex");
}

TEST_F(DetectorTest, DestroyingWithPendingTextJoinsAtOnceWithoutDeciding) {
    detector->setSilenceMs(60'000);
    detector->onTranscript("what is a", false, false);
    detector->flushNow();
    const auto start = std::chrono::steady_clock::now();
    detector.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_TRUE(recorder.questions().empty());
}

TEST(QuestionDetector, WorksWithoutCallbacks) {
    QuestionDetector detector{QuestionCallback{}};
    detector.setSilenceMs(20);
    detector.onTranscript("what is a mutex", true, true);
    detector.onTranscript("how do you", true, false);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(detector.currentText(), "");
}

}  // namespace
}  // namespace morvelin
