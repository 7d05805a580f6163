// An interview's worth of listening: talk on the call with a question every 15 s. Every
// question is answered exactly once, and after the first minute the program's resident memory
// and thread count stay flat. 5 minutes by default; HALVENOR_SOAK_SECONDS sets a longer run,
// e.g. HALVENOR_SOAK_SECONDS=3600 faults_tests --gtest_filter='*Soak*' (run the binary itself:
// the CTest time-out is sized for the default).

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "tests/faults/fault_session.h"

namespace halvenor::faults {
namespace {

constexpr auto kCycle = 15s;

std::chrono::seconds soakLength() {
    const char* value = std::getenv("HALVENOR_SOAK_SECONDS");
    const long seconds = value ? std::atol(value) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 300);
}

struct Sample {
    Clock::duration at;
    long rssKb;
    long threads;
};

TEST_F(FaultSession, SoakEveryQuestionAnsweredOnceWithFlatMemoryAndThreads) {
    const auto length = soakLength();
    start();
    startListening();
    const auto statement = pulse_.makeSpeech("I spent three years on the billing team.");

    const auto begin = Clock::now();
    std::vector<Sample> samples;
    std::vector<std::string> questions;
    for (int cycle = 0; Clock::now() - begin + kCycle <= length; ++cycle) {
        const auto cycleStart = Clock::now();
        // Talk that is not a question: transcribed, never answered.
        const std::string said =
            "I spent three years on the billing team, round " + std::to_string(cycle) + ".";
        hear(said);
        ASSERT_EQ(pulse_.play(statement), 0);
        ASSERT_TRUE(waitForLog("(final, speechFinal=true): \"" + said + "\"", 20s))
            << "cycle " << cycle << "\n"
            << log();

        const std::string question =
            "Question " + std::to_string(cycle) + ": what did you learn there?";
        questions.push_back(question);
        ASSERT_NO_FATAL_FAILURE(askAloud(question)) << "cycle " << cycle;

        samples.push_back({Clock::now() - begin, procStatus(program_.pid(), "VmRSS"),
                           procStatus(program_.pid(), "Threads")});
        std::this_thread::sleep_until(cycleStart + kCycle);
    }

    // Every question was dispatched once and answered once, in order; no statement was.
    const std::string text = log();
    const auto all = chats();
    ASSERT_EQ(all.size(), questions.size());
    for (std::size_t i = 0; i < questions.size(); ++i) {
        EXPECT_EQ(dispatchCount(questions[i]), 1u) << questions[i];
        EXPECT_TRUE(all[i].completed) << questions[i];
        EXPECT_NE(lastUserText(all[i].request).find(questions[i]), std::string::npos)
            << lastUserText(all[i].request);
    }
    EXPECT_EQ(countOf(text, "question DISPATCHED"), questions.size());
    EXPECT_EQ(countOf(text, "llm ERROR"), 0u);

    // Flat after the first minute: no thread that stays (an answer worker lives until the next
    // request joins it, so one sample may catch one more), memory within a small allowance for
    // the transcript, which grows by a line per utterance.
    std::vector<Sample> settled;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(settled),
                 [](const Sample& s) { return s.at >= 60s; });
    ASSERT_GE(settled.size(), 2u);
    std::string trace;
    for (const Sample& s : samples)
        trace += std::to_string(std::chrono::duration_cast<std::chrono::seconds>(s.at).count()) +
                 " s: " + std::to_string(s.rssKb) + " kB, " + std::to_string(s.threads) +
                 " threads\n";
    const auto [fewest, most] =
        std::minmax_element(settled.begin(), settled.end(),
                            [](const Sample& a, const Sample& b) { return a.threads < b.threads; });
    EXPECT_LE(most->threads - fewest->threads, 2L) << trace;
    const long growthKb = settled.back().rssKb - settled.front().rssKb;
    EXPECT_LT(growthKb, 4096) << trace;
    std::cout << trace;
}

}  // namespace
}  // namespace halvenor::faults
