#pragma once
// The desktop of the end-to-end stories (a private X server, a private PulseAudio daemon, the
// chat/transcription and streaming speech-to-text services on 127.0.0.1, the real program),
// with what the fault stories add: stalled answers, questions asked aloud and waited for until
// answered, dispatches counted in the log, and readings of the program's memory and threads.

#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>

#include "tests/e2e/e2e_session.h"
#include "tests/support/text.h"

namespace halvenor::faults {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2e::ChatOutcome;
using e2e::rmsOfPcm;
using e2e::sseToken;
using e2e::streamAnswer;
using e2e::sttResult;
using test::countOf;
using test::HttpResponseWriter;
using test::procStatus;

// Holds the connection open without sending more, until the program hangs up (or 60 s).
inline void stallUntilHungUp(HttpResponseWriter& writer, ChatOutcome& outcome) {
    const auto deadline = Clock::now() + 60s;
    while (Clock::now() < deadline) {
        if (writer.clientGone()) {
            outcome.gone = Clock::now();
            return;
        }
        if (!writer.pause(10ms))
            return;
    }
}

class FaultSession : public e2e::Session {
protected:
    FaultSession() : Session("halvenor-faults") {}

    // Waits until the text occurs in the log at least `count` times.
    bool waitForLogCount(const std::string& text, std::size_t count,
                         std::chrono::milliseconds timeout = 30s) const {
        return test::waitUntil([&] { return countOf(log(), text) >= count; }, timeout);
    }

    // The spoken question, made once: the transcription service decides what it says.
    const std::filesystem::path& speech() {
        if (speech_.empty())
            speech_ = pulse_.makeSpeech("Tell me, what is your greatest strength?");
        return speech_;
    }

    static std::string dispatched(const std::string& question) {
        return "question DISPATCHED from System audio: \"" + question + "\"";
    }
    // Dispatch lines that end in the question: the detector may put the talk just before
    // it in front, as its context.
    std::size_t dispatchCount(const std::string& question) const {
        std::istringstream lines(log());
        std::size_t count = 0;
        const std::string tail = question + "\"";
        for (std::string line; std::getline(lines, line);) {
            if (line.find("question DISPATCHED from System audio: \"") != std::string::npos &&
                line.size() >= tail.size() && line.ends_with(tail))
                ++count;
        }
        return count;
    }

    // Speaks a question on the call and waits until it is dispatched and answered in full.
    void askAloud(const std::string& question, const std::string& sink = "speakers") {
        hear(question);
        const std::size_t answered = completedChats();
        ASSERT_EQ(pulse_.play(speech(), sink), 0);
        ASSERT_TRUE(test::waitUntil([&] { return dispatchCount(question) > 0; }, 30s)) << log();
        ASSERT_TRUE(test::waitUntil([&] { return completedChats() > answered; }, 20s)) << log();
        ASSERT_TRUE(waitForLogCount("llm first token after", answered + 1, 10s)) << log();
    }

private:
    std::filesystem::path speech_;
};

}  // namespace halvenor::faults
