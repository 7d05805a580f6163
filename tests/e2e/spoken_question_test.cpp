// A question spoken on the call becomes an answer on the HUD: the real program, real audio
// through PulseAudio, and the outside services played by local servers.

#include <map>

#include "tests/e2e/e2e_session.h"

namespace halvenor::e2e {
namespace {

constexpr const char* kQuestion = "What is your greatest strength?";

TEST_F(Session, PerUtteranceEngineAnswersASpokenQuestionHandsFree) {
    start();
    startListening();
    EXPECT_NE(log().find("=== listening ON: stt=openrouter"), std::string::npos) << log();

    ASSERT_EQ(pulse_.play(pulse_.makeSpeech(kQuestion)), 0);
    ASSERT_TRUE(waitForLog(std::string("question DISPATCHED from System audio: \"") + kQuestion))
        << log();
    ASSERT_TRUE(waitForLog("llm first token after", 15s)) << log();

    // The uploads were real 16 kHz mono WAVs, and the speech in them was loud enough to hear.
    bool heardSpeech = false;
    for (const Upload& upload : uploads()) {
        EXPECT_TRUE(upload.validWav);
        heardSpeech = heardSpeech || upload.rmsDb > -50;
    }
    EXPECT_TRUE(heardSpeech);

    const auto requests = chatRequests();
    ASSERT_FALSE(requests.empty());
    const std::string prompt = lastUserText(requests.back());
    EXPECT_EQ(prompt.rfind(std::string("The interviewer just asked: \"") + kQuestion + "\"", 0), 0u)
        << prompt;
    EXPECT_NE(prompt.find("Answer the interviewer's question as me."), std::string::npos);
    EXPECT_EQ(requests.back().value("model", ""), "openai/gpt-4o-mini");
    EXPECT_NE(log().find("transcript System audio (final, speechFinal=true)"), std::string::npos);
    saveScreenshot("spoken-question-per-utterance");
}

TEST_F(Session, StreamingEngineAnswersOnSpeechFinal) {
    start({{"DEEPGRAM_API_KEY", "test-deepgram-key"}});
    startListening();
    EXPECT_NE(log().find("=== listening ON: stt=deepgram"), std::string::npos) << log();
    ASSERT_TRUE(stt_.waitForOpenConnections(2, 15s));
    for (const auto& handshake : stt_.handshakes()) {
        EXPECT_EQ(handshake.target.rfind("/v1/listen?encoding=linear16&sample_rate=16000", 0), 0u);
        EXPECT_EQ(handshake.header("authorization"), "Token test-deepgram-key");
    }

    // The connection that carries the played speech is the interviewer's.
    auto speaking = pulse_.playInBackground(pulse_.makeSpeech(kQuestion));
    int interviewer = 0;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            for (const auto& message : stt_.messages()) {
                if (message.binary && rmsOfPcm(message.data) > -50)
                    interviewer = message.connectionIndex;
            }
            return interviewer != 0;
        },
        20s));

    ASSERT_TRUE(stt_.sendTextTo(interviewer, sttResult("What is your", false, false)));
    ASSERT_TRUE(stt_.sendTextTo(interviewer, sttResult(kQuestion, true, true)));
    ASSERT_TRUE(waitForLog(std::string("question DISPATCHED from System audio: \"") + kQuestion))
        << log();
    ASSERT_TRUE(waitForLog("llm first token after", 15s)) << log();
    const auto requests = chatRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(lastUserText(requests[0])
                  .rfind(std::string("The interviewer just asked: \"") + kQuestion + "\"", 0),
              0u);
    saveScreenshot("spoken-question-streaming");
}

TEST_F(Session, MicrophoneQuestionIsAnsweredOnlyWhileTheInterviewerIsSilent) {
    start();
    startListening();

    // Alone: the candidate testing the setup asks into the microphone.
    ASSERT_EQ(pulse_.play(pulse_.makeSpeech(kQuestion), "mic_in"), 0);
    ASSERT_TRUE(waitForLog(std::string("question DISPATCHED from Microphone: \"") + kQuestion))
        << log();

    // With the interviewer talking, the same words on the microphone are the speakers heard
    // twice: skipped.
    const std::size_t before = uploads().size();
    auto interviewer = pulse_.playInBackground(pulse_.makeSpeech(
        "Thanks. Let me tell you about the team, the product and the role in some detail now."));
    // The interviewer is being heard once the first piece of that speech is uploaded.
    ASSERT_TRUE(test::waitUntil([&] { return uploads().size() > before; }, 10s));
    ASSERT_EQ(pulse_.play(pulse_.makeSpeech(kQuestion), "mic_in"), 0);
    ASSERT_TRUE(waitForLog("mic question skipped, interviewer audio is active", 30s)) << log();
}

}  // namespace
}  // namespace halvenor::e2e
