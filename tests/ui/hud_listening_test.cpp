// Listening with a private PulseAudio daemon (speech played into the "speakers" sink is the
// interviewer), the streaming engine against a WebSocket server and the per-utterance engine
// and the answers against a chat service, all on 127.0.0.1; and the whole controller under
// load from several threads, torn down while answers still stream.

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/local_ws_server.h"
#include "tests/support/pulse_server.h"
#include "tests/ui/hud_test_support.h"

namespace morvelin::hud_test {
namespace {

using halvenor::test::LocalWsServer;
using halvenor::test::PulseServer;
using halvenor::test::Subprocess;

constexpr const char* kListenPath =
    "/v1/listen?encoding=linear16&sample_rate=16000&channels=1&model=nova-2&punctuate=true"
    "&smart_format=true&interim_results=true&endpointing=300";

std::string result(const std::string& transcript, bool isFinal, bool speechFinal) {
    return std::string(R"({"type":"Results","channel":{"alternatives":[{"transcript":")") +
           transcript + R"(","confidence":0.9}]},"is_final":)" + (isFinal ? "true" : "false") +
           R"(,"speech_final":)" + (speechFinal ? "true" : "false") + "}";
}

class HudListening : public ::testing::Test {
protected:
    HudOptions options(const char* deepgramKey = nullptr, const char* openRouterKey = "test-key") {
        return HudOptions{.openRouterKey = openRouterKey,
                          .deepgramKey = deepgramKey,
                          .chatBaseUrl = chat.baseUrl(),
                          .sttBaseUrl = ws.baseUrl()};
    }
    // Under a sanitizer on a loaded machine the sound server may miss the capture's 2 s
    // connect deadline; that belongs to the capture, not to the controller, so such a start is
    // undone and tried again.
    void startListening(ImGuiUI& ui) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            P::startListening(ui);
            if (P::statusText(ui).find("pa_context_connect failed") == std::string::npos)
                return;
            P::stopListening(ui);
        }
    }
    bool bothCapturing(Hud& hud) {
        return waitUntil([&] { return hud.capture.capturing[0] && hud.capture.capturing[1]; }, 5s);
    }

    PulseServer pulse;  // first: it points this process at its daemon
    ChatServer chat;
    LocalWsServer ws;
    LogWatch log;
};

TEST_F(HudListening, MissingTranscriptionKeyStillCapturesAndSaysWhy) {
    Hud hud{options()};
    ImGuiUI& ui = hud.ui();
    P::sttEngine(ui) = 1;  // streaming chosen, but there is no Deepgram key
    startListening(ui);
    const std::string problem =
        "No transcription: add a Deepgram key in Settings, or switch the engine to OpenRouter.";
    EXPECT_TRUE(P::listening(ui));
    EXPECT_EQ(P::listenProblem(ui), problem);
    EXPECT_EQ(P::statusText(ui), problem);
    EXPECT_FALSE(P::perUtteranceActive(ui).load());
    EXPECT_TRUE(
        log.contains("=== listening ON: stt=deepgram model=deepgram/nova-3 "
                     "openrouterKey=true deepgramKey=false llm=openai/gpt-4o-mini "
                     "problem=\"" +
                     problem + "\""));
    ASSERT_TRUE(bothCapturing(hud));

    // Voice activity still counts as interviewer speech.
    const std::int64_t before = steadyNowMs();
    ASSERT_EQ(pulse.play(pulse.makeSpeech("Tell me about your last project."), "speakers"), 0);
    EXPECT_TRUE(waitUntil([&] { return P::lastInterviewerSpeechMs(ui).load() >= before; }, 3s));
    EXPECT_EQ(ws.acceptedConnections(), 0);  // no socket was opened
    EXPECT_TRUE(transcriptOf(ui).empty());

    P::stopListening(ui);
    EXPECT_FALSE(P::listening(ui));
    EXPECT_EQ(P::statusText(ui), "Stopped listening.");
    EXPECT_FALSE(hud.capture.capturing[0]);

    // The per-utterance engine needs the answer key instead.
    P::sttEngine(ui) = 0;
    P::openRouterKey(ui) = "";
    startListening(ui);
    EXPECT_TRUE(P::listening(ui));
    EXPECT_TRUE(P::perUtteranceActive(ui).load());
    EXPECT_EQ(P::statusText(ui), "No transcription: add your OpenRouter API key in Settings.");
}

TEST_F(HudListening, MissingMicrophoneIsPartialAudioAndStopClearsTheCaptions) {
    ASSERT_EQ(pulse.pactl({"set-default-source", "speakers.monitor"}).exitCode, 0);
    Hud hud{options()};
    ImGuiUI& ui = hud.ui();
    startListening(ui);
    EXPECT_TRUE(P::listening(ui));
    EXPECT_EQ(P::statusText(ui), "Partial audio: Microphone: no microphone found");

    setPartial(ui, kSystem, "half a sentence");
    setPartial(ui, kMic, "my half");
    P::stopListening(ui);
    EXPECT_EQ(P::statusText(ui), "Stopped listening.");
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::livePartial(ui)[0], "");
        EXPECT_EQ(P::livePartial(ui)[1], "");
    }

    // Stopping again leaves the status line alone and still clears the captions.
    P::statusText(ui) = "something else";
    setPartial(ui, kSystem, "stale");
    P::stopListening(ui);
    EXPECT_EQ(P::statusText(ui), "something else");
    std::lock_guard lock(P::stateMutex(ui));
    EXPECT_EQ(P::livePartial(ui)[0], "");
}

TEST_F(HudListening, NoAudioDeviceAtAllLeavesListeningOffAndTheEnginesStopped) {
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("speakers")));
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("mic_in")));
    Hud hud{options("dg-key")};
    ImGuiUI& ui = hud.ui();
    startListening(ui);
    EXPECT_FALSE(P::listening(ui));
    EXPECT_EQ(P::statusText(ui),
              "Audio capture failed: System audio: no playback device found; Microphone: no "
              "microphone found");
    // Whatever the engines had opened is closed again.
    EXPECT_TRUE(ws.waitForOpenConnections(0, 3s));
    std::this_thread::sleep_for(1s);  // a client left running would have reconnected by now
    EXPECT_EQ(ws.openConnections(), 0);
}

TEST_F(HudListening, StreamingEngineCarriesEachSourceAndAnswersTheInterviewer) {
    chat.setScript([](const HttpRequest&, int) {
        return ChatReply{.tokens = {"Impatience, ", "which I manage."}};
    });
    Hud hud{options("dg-key")};
    ImGuiUI& ui = hud.ui();
    ASSERT_EQ(P::sttEngine(ui), 1);
    startListening(ui);
    EXPECT_TRUE(P::listening(ui));
    EXPECT_EQ(P::statusText(ui), "Listening. Questions are answered automatically.");
    ASSERT_TRUE(ws.waitForOpenConnections(2, 5s));
    for (const auto& handshake : ws.handshakes()) {
        EXPECT_EQ(handshake.target, kListenPath);
        EXPECT_EQ(handshake.header("authorization"), "Token dg-key");
    }
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(P::stateMutex(ui));
            return P::sttStatus(ui)[0] == "connected" && P::sttStatus(ui)[1] == "connected";
        },
        5s));

    // The interviewer's speech reaches one stream only: that stream is system audio's.
    Subprocess playing = pulse.playInBackground(pulse.makeSpeech("What is your biggest weakness?"));
    int systemConnection = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (const auto& message : ws.messages()) {
                if (message.binary && message.data.find_first_not_of('\0') != std::string::npos)
                    systemConnection = message.connectionIndex;
            }
            return systemConnection != 0;
        },
        5s));
    int micConnection = 0;
    for (const auto& handshake : ws.handshakes()) {
        if (handshake.connectionIndex != systemConnection)
            micConnection = handshake.connectionIndex;
    }
    for (const auto& message : ws.messages()) {
        if (message.binary && message.connectionIndex == micConnection) {
            EXPECT_EQ(message.data.find_first_not_of('\0'), std::string::npos);
        }
    }

    // The service's results come back through the controller: interim, then speech-final.
    ASSERT_TRUE(ws.sendTextTo(systemConnection, result("What is your", false, false)));
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard lock(P::stateMutex(ui));
            return P::livePartial(ui)[0] == "What is your";
        },
        3s));
    ASSERT_TRUE(ws.sendTextTo(micConnection, result("Hmm, let me think.", true, false)));
    // Each stream has its own socket thread: the line must be in before the question comes.
    ASSERT_TRUE(waitUntil([&] { return transcriptOf(ui).size() == 1; }, 3s));
    ASSERT_TRUE(
        ws.sendTextTo(systemConnection, result("What is your biggest weakness?", true, true)));
    ASSERT_TRUE(waitForState(ui, kAnswerDone, 5s));
    const Card card = cardOf(ui);
    EXPECT_EQ(card.question, "What is your biggest weakness?");
    EXPECT_EQ(card.text, "Impatience, which I manage.");
    const auto transcript = transcriptOf(ui);
    ASSERT_EQ(transcript.size(), 2u);
    EXPECT_EQ(transcript[0].source, kMic);
    EXPECT_EQ(transcript[1].source, kSystem);
    EXPECT_EQ(lastUserText(chat.chatRequests().at(0)),
              detectedQuestionPrompt("What is your biggest weakness?",
                                     "[Me] Hmm, let me think.\n"
                                     "[Interviewer] What is your biggest weakness?\n"));

    P::stopListening(ui);
    EXPECT_TRUE(ws.waitForOpenConnections(0, 5s));
}

TEST_F(HudListening, PerUtteranceEngineTurnsSpokenQuestionIntoAnAnswer) {
    chat.setTranscribe([](const HttpRequest&) { return "What is your greatest strength?"; });
    chat.setScript([](const HttpRequest&, int) { return ChatReply{.tokens = {"Persistence."}}; });
    Hud hud{options()};
    ImGuiUI& ui = hud.ui();
    ASSERT_EQ(P::sttEngine(ui), 0);
    startListening(ui);
    EXPECT_EQ(P::statusText(ui), "Listening. Questions are answered automatically.");
    EXPECT_TRUE(
        log.contains("=== listening ON: stt=openrouter model=deepgram/nova-3 "
                     "openrouterKey=true deepgramKey=false llm=openai/gpt-4o-mini "
                     "problem=\"\""));
    ASSERT_TRUE(bothCapturing(hud));
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::sttStatus(ui)[0], "ready (deepgram/nova-3)");
    }

    ASSERT_EQ(pulse.play(pulse.makeSpeech("What is your greatest strength?"), "speakers"), 0);
    ASSERT_TRUE(waitForState(ui, kAnswerDone, 10s));
    EXPECT_EQ(cardOf(ui).question, "What is your greatest strength?");
    EXPECT_EQ(cardOf(ui).text, "Persistence.");
    const auto transcript = transcriptOf(ui);
    ASSERT_FALSE(transcript.empty());
    EXPECT_EQ(transcript.back().source, kSystem);
    EXPECT_EQ(transcript.back().text, "What is your greatest strength?");
    EXPECT_FALSE(chat.transcriptionRequests().empty());
    for (const auto& request : chat.transcriptionRequests())
        EXPECT_EQ(request.header("authorization"), "Bearer test-key");
    EXPECT_TRUE(
        log.contains("question DISPATCHED from System audio: \"What is your greatest "
                     "strength?\""));
}

// Listening, answers streaming, asks from three threads and clears from the UI thread at once;
// then the controller goes away while an answer still streams.
TEST_F(HudListening, ConcurrentAsksAndClearsLeaveAConsistentCardAndACleanShutDown) {
    const std::string answer = [] {
        std::string text;
        for (int i = 0; i < 12; ++i)
            text += "tok ";
        return text;
    }();
    std::atomic<bool> slow{false};
    chat.setTranscribe([](const HttpRequest&) { return "Why do you want this job?"; });
    chat.setScript([&slow](const HttpRequest&, int) {
        return ChatReply{.tokens = std::vector<std::string>(12, "tok "),
                         .interval = slow ? 200ms : 5ms};
    });
    Hud hud{options()};
    ImGuiUI& ui = hud.ui();
    startListening(ui);
    ASSERT_TRUE(P::listening(ui));
    ASSERT_TRUE(bothCapturing(hud));
    // The interviewer talks throughout: transcripts and hands-free questions arrive on the
    // capture and transcriber threads while the test asks and clears.
    Subprocess playing = pulse.playInBackground(pulse.makeSpeech(
        "Why do you want this job? Tell me about a time you failed. What would your manager say "
        "about you?"));

    {
        std::atomic<bool> running{true};
        std::vector<std::jthread> askers;
        for (int t = 0; t < 3; ++t) {
            askers.emplace_back([&ui, &running, t] {
                for (int i = 0; running; ++i) {
                    ui.askQuestion({"prompt " + std::to_string(t) + "-" + std::to_string(i),
                                    "Q" + std::to_string(t) + "?", AskKind::Typed});
                    std::this_thread::sleep_for(std::chrono::milliseconds(15 + 10 * t));
                }
            });
        }
        // Until the interviewer's questions have been dispatched in the middle of it all.
        const auto end = std::chrono::steady_clock::now() + 15s;
        for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
            ui.clearAnswer();
            if (i % 5 == 0)
                ui.answerNow();            // the Answer button, from the transcript so far
            const Card card = cardOf(ui);  // read as the drawing reads it
            EXPECT_TRUE(card.state >= kAnswerIdle && card.state <= kAnswerFailed);
            if (i >= 50 && log.contains("question DISPATCHED from System audio"))
                break;
            std::this_thread::sleep_for(20ms);
        }
        running = false;
    }
    EXPECT_TRUE(log.contains("question DISPATCHED from System audio: \"Why do you want this job?"));

    // Settled: one more answer runs to its end, and the memory holds whole exchanges only.
    ui.askQuestion({"final prompt", "Final?", AskKind::Typed});
    ASSERT_TRUE(waitUntil(
        [&] {
            const Card card = cardOf(ui);
            return card.question == "Final?" && card.state == kAnswerDone;
        },
        10s));
    EXPECT_EQ(cardOf(ui).text, answer);
    const auto memory = memoryOf(ui);
    ASSERT_GE(memory.size(), 2u);
    ASSERT_LE(memory.size(), 8u);
    ASSERT_EQ(memory.size() % 2, 0u);
    for (std::size_t i = 0; i < memory.size(); i += 2) {
        EXPECT_EQ(memory[i].role, "user");
        EXPECT_EQ(memory[i + 1].role, "assistant");
        EXPECT_EQ(memory[i + 1].content, answer);  // never a cut-off or mixed answer
    }
    EXPECT_EQ(memory[memory.size() - 2].content, "final prompt");
    EXPECT_EQ(cardOf(ui).state, kAnswerDone);

    // Gone while listening, while speech plays and while an answer streams.
    slow = true;
    ui.askQuestion({"slow prompt", "Slow?", AskKind::Typed});
    ASSERT_TRUE(waitUntil([&] { return !cardOf(ui).text.empty(); }, 5s));
    const auto start = std::chrono::steady_clock::now();
    hud.destroy();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(hud.llm.workerCount(), 0u);
    EXPECT_FALSE(hud.capture.capturing[0]);
}

}  // namespace
}  // namespace morvelin::hud_test
