// The speech-to-text services go away under a listening HUD: the transcription service
// refuses connections for ten seconds, the streaming service drops its WebSocket in the middle
// of an utterance. Listening goes on, and the first question after recovery is answered.

#include "tests/faults/fault_session.h"

namespace halvenor::faults {
namespace {

TEST_F(FaultSession, TranscriptionServiceDownForTenSecondsThenTheNextUtteranceIsAnswered) {
    start({{"MORVELIN_START_TAB", "settings"}});
    startListening();
    ASSERT_NO_FATAL_FAILURE(askAloud("What is your greatest strength?"));

    services_.stopAccepting();
    const auto down = Clock::now();
    hear("Spoken while the service is down?");
    ASSERT_EQ(pulse_.play(speech()), 0);
    // The failed upload is reported (the diagnostics show it as the engine's status) and the
    // utterance is closed for the listener; nothing is dispatched from it.
    ASSERT_TRUE(waitForLog(
        "ERROR Failed to connect to 127.0.0.1 port " + std::to_string(services_.port()), 20s))
        << log();
    saveScreenshot("transcription-down");
    EXPECT_EQ(dispatchCount("Spoken while the service is down?"), 0u);
    std::this_thread::sleep_until(down + 10s);  // the outage lasts ten seconds
    services_.resumeAccepting();

    ASSERT_NO_FATAL_FAILURE(askAloud("How do you deal with pressure?"));
    EXPECT_TRUE(program_.running());
}

TEST_F(FaultSession, StreamingServiceDroppedMidUtteranceReconnectsAndAnswersTheNextQuestion) {
    start({{"DEEPGRAM_API_KEY", "test-deepgram-key"}});
    startListening();
    ASSERT_TRUE(stt_.waitForOpenConnections(2, 15s));

    // The connection that carries the played speech is the interviewer's.
    const auto interviewerAfter = [&](std::size_t fromMessage) {
        int interviewer = 0;
        test::waitUntil(
            [&] {
                const auto messages = stt_.messages();
                for (std::size_t i = fromMessage; i < messages.size(); ++i) {
                    if (messages[i].binary && rmsOfPcm(messages[i].data) > -50)
                        interviewer = messages[i].connectionIndex;
                }
                return interviewer != 0;
            },
            20s);
        return interviewer;
    };

    auto speaking = pulse_.playInBackground(speech());
    const int first = interviewerAfter(0);
    ASSERT_NE(first, 0);
    ASSERT_TRUE(stt_.sendTextTo(first, sttResult("Tell me what", false, false)));
    stt_.dropConnections();  // in the middle of the utterance
    ASSERT_TRUE(speaking.wait(30s).has_value());

    // Both sources come back on fresh connections without the user doing anything.
    ASSERT_TRUE(stt_.waitForHandshakes(4, 20s)) << log();
    ASSERT_TRUE(stt_.waitForOpenConnections(2, 20s)) << log();

    const std::size_t seen = stt_.messages().size();
    speaking = pulse_.playInBackground(speech());
    const int second = interviewerAfter(seen);
    ASSERT_GT(second, 2);
    const std::string question = "What is your greatest strength?";
    ASSERT_TRUE(stt_.sendTextTo(second, sttResult("What is your", false, false)));
    ASSERT_TRUE(stt_.sendTextTo(second, sttResult(question, true, true)));
    // Exactly the question: the stalled interim of the lost stream is no part of it.
    ASSERT_TRUE(test::waitUntil([&] { return countOf(log(), dispatched(question)) == 1; }, 20s))
        << log();
    EXPECT_EQ(dispatchCount(question), 1u) << log();
    const auto answered = [&] {
        for (const auto& chat : chats()) {
            if (chat.completed && lastUserText(chat.request).find(question) != std::string::npos)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(test::waitUntil(answered, 20s)) << log();
    // The lost stream's last words were closed with an empty final when the drop was noticed.
    EXPECT_NE(log().find("transcript System audio (final, speechFinal=false): \"\""),
              std::string::npos)
        << log();
}

}  // namespace
}  // namespace halvenor::faults
