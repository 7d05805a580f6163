// An interview's worth of listening: talk on the call with a question every 15 s. Every
// question is answered exactly once, and after the first minute the program's own memory and
// its thread count stay flat. 5 minutes by default; HALVENOR_SOAK_SECONDS sets a longer run,
// e.g. HALVENOR_SOAK_SECONDS=3600 faults_tests --gtest_filter='*Soak*' (run the binary itself:
// the CTest time-out is sized for the default).

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "tests/faults/fault_session.h"
#include "tests/support/memory_trend.h"

namespace halvenor::faults {
namespace {

constexpr auto kCycle = 15s;
constexpr auto kSettled = 60s;
// What an hour of interview may keep: the transcript's lines are a few hundred kB of it. A
// program that keeps 40 kB a second keeps 140 MB an hour.
constexpr double kAllowedMbPerHour = 16;

// Under AddressSanitizer the memory the program holds is mostly the allocator's quarantine and
// shadow, which wander by several MB on their own: a leak of the size judged here cannot be
// told from that there, so the sanitizer build proves the rest of the story, and that the
// program ran to the end without a report.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

std::chrono::seconds soakLength() {
    const char* value = std::getenv("HALVENOR_SOAK_SECONDS");
    const long seconds = value ? std::atol(value) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 300);
}

// The sanitizers' options for the program (those a child of the suite gets), with their
// reports written into `folder`.
std::map<std::string, std::string> reportsInto(const std::filesystem::path& folder) {
    const auto options = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    const std::string logPath = ":log_path=" + (folder / "sanitizer").string();
    const std::string asan = std::getenv("HALVENOR_CHILD_ASAN_OPTIONS")
                                 ? options("HALVENOR_CHILD_ASAN_OPTIONS")
                                 : options("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS", asan + logPath},
            {"UBSAN_OPTIONS", options("UBSAN_OPTIONS") + logPath},
            {"TSAN_OPTIONS", options("TSAN_OPTIONS") + logPath}};
}

// Every report a sanitizer wrote into `folder`, one after the other.
std::string reportsIn(const std::filesystem::path& folder) {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with("sanitizer")) {
            std::ifstream in(entry.path());
            text += entry.path().string() + ":\n" +
                    std::string(std::istreambuf_iterator<char>(in), {}) + "\n";
        }
    }
    return text;
}

struct Sample {
    Clock::duration at;
    long rssKb;
    long ownKb;
    long threads;
};

TEST_F(FaultSession, SoakEveryQuestionAnsweredOnceWithFlatMemoryAndThreads) {
    const auto length = soakLength();
    start(reportsInto(appData_.path()));
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
                           test::privateAnonymousKb(program_.pid()),
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

    // Ran to the end without a sanitizer report (a report ends the program).
    EXPECT_TRUE(program_.running());
    EXPECT_EQ(reportsIn(appData_.path()), "");

    // Flat after the first minute: no thread that stays (an answer worker lives until the next
    // request joins it, so one sample may catch one more), and the program's own memory climbs
    // by no more than an hour's allowance.
    std::vector<Sample> settled;
    std::copy_if(samples.begin(), samples.end(), std::back_inserter(settled),
                 [](const Sample& s) { return s.at >= kSettled; });
    ASSERT_GE(settled.size(), 2u);
    std::string trace;
    std::vector<test::MemorySample> own;
    for (const Sample& s : samples) {
        trace += std::to_string(std::chrono::duration_cast<std::chrono::seconds>(s.at).count()) +
                 " s: " + std::to_string(s.ownKb) + " kB own, " + std::to_string(s.rssKb) +
                 " kB resident, " + std::to_string(s.threads) + " threads\n";
        own.push_back({s.at, s.ownKb});
    }
    const auto [fewest, most] =
        std::minmax_element(settled.begin(), settled.end(),
                            [](const Sample& a, const Sample& b) { return a.threads < b.threads; });
    EXPECT_LE(most->threads - fewest->threads, 2L) << trace;
    const double growth = test::growthMbPerHour(own, kSettled);
    trace += "own memory grows " + std::to_string(growth) + " MB an hour\n";
    if (!kSanitized) {
        EXPECT_LT(growth, kAllowedMbPerHour) << trace;
    }
    std::cout << trace;
}

}  // namespace
}  // namespace halvenor::faults
