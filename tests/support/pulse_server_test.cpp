#include "tests/support/pulse_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <cstdlib>

namespace halvenor::test {
namespace {

using namespace std::chrono_literals;

TEST(PulseServer, SpeakersMonitorCarriesWhatIsPlayedIntoSpeakersOnly) {
    PulseServer pulse;
    const auto tone = pulse.makeTone(440, 1.0, -6.0);
    Subprocess playback;
    const auto monitor = pulse.record("speakers.monitor", 1200ms,
                                      [&] { playback = pulse.playInBackground(tone, "speakers"); });
    // A -6 dB peak sine is about -9 dB RMS; over 1.2 s with ~1 s of tone, well above -20.
    EXPECT_GT(rmsDb(monitor), -20.0);
    EXPECT_GT(monitor.size(), 16000u);

    const auto microphone = pulse.record(
        "@DEFAULT_SOURCE@", 800ms, [&] { playback = pulse.playInBackground(tone, "speakers"); });
    EXPECT_GT(microphone.size(), 8000u);
    EXPECT_LT(rmsDb(microphone), -100.0);
}

TEST(PulseServer, MicInReachesTheMonoDefaultSource) {
    PulseServer pulse;
    const auto info = pulse.pactl({"info"}).output;
    EXPECT_NE(info.find("Default Sink: speakers"), std::string::npos) << info;
    EXPECT_NE(info.find("Default Source: mic"), std::string::npos) << info;

    const auto tone = pulse.makeTone(300, 1.0, -6.0);
    Subprocess playback;
    const auto samples = pulse.record("@DEFAULT_SOURCE@", 1200ms,
                                      [&] { playback = pulse.playInBackground(tone, "mic_in"); });
    EXPECT_GT(rmsDb(samples), -20.0);
}

TEST(PulseServer, SpeechFileIsAudible) {
    PulseServer pulse;
    const auto speech = pulse.makeSpeech("Tell me about yourself.");
    ASSERT_TRUE(std::filesystem::exists(speech));
    Subprocess playback;
    const auto samples = pulse.record("speakers.monitor", 1500ms,
                                      [&] { playback = pulse.playInBackground(speech); });
    EXPECT_GT(rmsDb(samples), -40.0);
}

TEST(PulseServer, PointsThisProcessAtItAndRestoresTheEnvironment) {
    const char* before = std::getenv("PULSE_SERVER");
    const std::string old = before ? before : "";
    pid_t pid;
    {
        PulseServer pulse;
        pid = pulse.pid();
        ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr);
        EXPECT_EQ(std::string(std::getenv("PULSE_SERVER")), pulse.serverAddress());
        // A client with no explicit environment (inherits ours) reaches this daemon.
        EXPECT_EQ(runCommand({"pactl", "info"}).exitCode, 0);
    }
    EXPECT_TRUE(waitUntil([&] { return ::kill(pid, 0) != 0; }, 5s));
    const char* after = std::getenv("PULSE_SERVER");
    EXPECT_EQ(after ? std::string(after) : std::string(), old);
}

TEST(PulseServer, SurvivesKillAndRestartAndManagesSinks) {
    PulseServer pulse;
    const pid_t first = pulse.pid();
    pulse.kill();
    EXPECT_FALSE(pulse.running());
    EXPECT_NE(pulse.pactl({"info"}).exitCode, 0);
    pulse.start();
    EXPECT_NE(pulse.pid(), first);
    EXPECT_EQ(pulse.pactl({"info"}).exitCode, 0);

    const int module = pulse.addSink("headset", "Headset");
    EXPECT_EQ(pulse.sinkModule("headset"), module);
    EXPECT_TRUE(pulse.sinkModule("speakers").has_value());
    EXPECT_FALSE(pulse.sinkModule("speak").has_value());
    const auto tone = pulse.makeTone(500, 0.8, -6.0);
    Subprocess playback;
    const auto samples = pulse.record("headset.monitor", 900ms,
                                      [&] { playback = pulse.playInBackground(tone, "headset"); });
    EXPECT_GT(rmsDb(samples), -20.0);
    EXPECT_TRUE(pulse.unloadModule(module));
    EXPECT_FALSE(pulse.sinkModule("headset").has_value());
}

}  // namespace
}  // namespace halvenor::test
