// AudioCapture against a real PulseAudio daemon: the fixture's null sink "speakers" plays
// the interviewer, "mic_in" feeds the default source as if someone spoke into the mic.

#include "audio/audio_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <optional>
#include <regex>
#include <utility>
#include <vector>

#include "tests/audio/audio_test_support.h"
#include "tests/support/pulse_server.h"

namespace halvenor::test {
namespace {

using namespace std::chrono_literals;
using morvelin::AudioCapture;
using morvelin::AudioSource;
using morvelin::VadEvent;
using Event = std::pair<AudioSource, VadEvent>;
constexpr auto System = AudioSource::SystemAudio;
constexpr auto Mic = AudioSource::Microphone;

const TempDir logHome("halvenor-audio-log");
const ScopedEnv logLocation("LOCALAPPDATA", logHome.path().c_str());

// Everything the callbacks saw, recorded on the capture threads.
class Recorder {
public:
    morvelin::AudioCallback audio() {
        return [this](AudioSource source, std::span<const std::int16_t> samples) {
            std::lock_guard lock(mutex_);
            auto& seen = chunks_[morvelin::sourceIndex(source)];
            ++seen.count;
            if (samples.size() != 1600)
                ++seen.wrongSize;
            if (std::any_of(samples.begin(), samples.end(), [](auto s) { return s != 0; }))
                ++seen.nonZero;
        };
    }
    morvelin::VadCallback vad() {
        return [this](AudioSource source, VadEvent event) {
            std::lock_guard lock(mutex_);
            events_.emplace_back(source, event);
        };
    }
    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<VadEvent> events(AudioSource source) const {
        std::vector<VadEvent> out;
        for (const auto& [s, e] : events())
            if (s == source)
                out.push_back(e);
        return out;
    }
    struct Chunks {
        int count = 0;
        int wrongSize = 0;
        int nonZero = 0;
    };
    Chunks chunks(AudioSource source) const {
        std::lock_guard lock(mutex_);
        return chunks_[morvelin::sourceIndex(source)];
    }
    bool waitForEvents(AudioSource source, std::size_t count,
                       std::chrono::milliseconds timeout) const {
        return waitUntil([&] { return events(source).size() >= count; }, timeout);
    }

private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::array<Chunks, 2> chunks_;
};

int threadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

class AudioCaptureTest : public ::testing::Test {
protected:
    // Starts capture and waits until both detectors are past their 500 ms warm-up.
    void startAndWarmUp() {
        ASSERT_EQ(capture.start(recorder.audio(), recorder.vad()), "");
        ASSERT_TRUE(waitUntil([&] { return capture.capturing[0] && capture.capturing[1]; }, 3s));
        ASSERT_TRUE(waitUntil(
            [&] { return recorder.chunks(System).count >= 7 && recorder.chunks(Mic).count >= 7; },
            5s));
    }
    bool waitForStatus(AudioSource source, const std::string& status,
                       std::chrono::milliseconds timeout = 5s) {
        return waitUntil([&] { return capture.status(source) == status; }, timeout);
    }

    PulseServer pulse;  // first: it points this process at its daemon
    LogWatch log;
    Recorder recorder;
    AudioCapture capture;
    const std::filesystem::path speech = pulse.makeSpeech("What is your greatest strength?");
};

TEST_F(AudioCaptureTest, SpeechOnTheSpeakersIsOneSystemAudioUtterance) {
    startAndWarmUp();
    EXPECT_EQ(capture.startError(), "");
    EXPECT_EQ(capture.status(System), "capturing from Speakers");
    EXPECT_EQ(capture.status(Mic), "capturing from Headset-microphone");
    EXPECT_EQ(capture.deviceName(System), "Speakers");
    EXPECT_TRUE(log.contains("audio System audio capturing from \"Speakers\""));
    EXPECT_TRUE(log.contains("audio Microphone capturing from \"Headset-microphone\""));

    ASSERT_EQ(pulse.play(speech, "speakers"), 0);
    ASSERT_TRUE(recorder.waitForEvents(System, 2, 3s));
    std::this_thread::sleep_for(300ms);  // room for a stray event to show up

    EXPECT_EQ(recorder.events(System), (std::vector{VadEvent::SpeechStart, VadEvent::SpeechEnd}));
    EXPECT_TRUE(recorder.events(Mic).empty());
    EXPECT_EQ(capture.utteranceCount[0], 1u);
    EXPECT_EQ(capture.utteranceCount[1], 0u);
    EXPECT_FALSE(capture.speaking[0]);
    for (const auto source : {System, Mic}) {
        EXPECT_GT(recorder.chunks(source).count, 25);
        EXPECT_EQ(recorder.chunks(source).wrongSize, 0);
    }
    EXPECT_GT(recorder.chunks(System).nonZero, 10);
    EXPECT_EQ(recorder.chunks(Mic).nonZero, 0);
    const std::string text = log.text();
    EXPECT_NE(text.find("vad System audio SPEECH START (level -"), std::string::npos) << text;
    EXPECT_NE(text.find("vad System audio speech end (level -"), std::string::npos) << text;

    // The level line comes every 3 s with the peak since the last one.
    ASSERT_TRUE(waitUntil([&] { return log.contains("level System audio: peak"); }, 4s));
    const std::regex levelLine(
        R"(level System audio: peak -\d+\.\d dB, floor -\d+\.\d dB, speaking=(true|false), utterances=[01]\n)");
    EXPECT_TRUE(std::regex_search(log.text(), levelLine)) << log.text();
    EXPECT_TRUE(log.contains(
        "level Microphone: peak -140.0 dB, floor -70.0 dB, speaking=false, utterances=0"))
        << log.text();

    const float floorBefore = capture.floorDb[0];
    capture.stop();
    EXPECT_FALSE(capture.capturing[0]);
    EXPECT_FALSE(capture.capturing[1]);
    EXPECT_EQ(capture.level[0], 0.0f);
    EXPECT_EQ(capture.floorDb[0], floorBefore);  // the detector readouts keep their values
    EXPECT_EQ(capture.status(System), "capturing from Speakers");  // stop keeps the last text

    // A new start counts utterances afresh.
    ASSERT_EQ(capture.start(recorder.audio(), recorder.vad()), "");
    EXPECT_EQ(capture.utteranceCount[0], 0u);
    EXPECT_TRUE(capture.capturing[0]);
}

TEST_F(AudioCaptureTest, SpeechIntoTheMicrophoneIsAMicrophoneUtteranceOnly) {
    startAndWarmUp();
    ASSERT_EQ(pulse.play(speech, "mic_in"), 0);
    ASSERT_TRUE(recorder.waitForEvents(Mic, 2, 3s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder.events(Mic), (std::vector{VadEvent::SpeechStart, VadEvent::SpeechEnd}));
    EXPECT_TRUE(recorder.events(System).empty());
    EXPECT_EQ(capture.utteranceCount[1], 1u);
    EXPECT_GT(recorder.chunks(Mic).nonZero, 10);
    EXPECT_EQ(recorder.chunks(Mic).wrongSize, 0);
    EXPECT_TRUE(log.contains("vad Microphone SPEECH START"));
}

TEST_F(AudioCaptureTest, MonitorAsDefaultSourceMeansNoMicrophoneUntilOneAppears) {
    ASSERT_EQ(pulse.pactl({"set-default-source", "speakers.monitor"}).exitCode, 0);
    EXPECT_EQ(capture.start(recorder.audio(), recorder.vad()), "");
    EXPECT_EQ(capture.startError(), "Microphone: no microphone found");
    EXPECT_TRUE(capture.capturing[0]);
    EXPECT_FALSE(capture.capturing[1]);
    // The thread reports its first result before it logs and sets the status.
    EXPECT_TRUE(waitForStatus(Mic, "waiting for a device - no microphone found", 1s));
    EXPECT_TRUE(log.contains("audio Microphone unavailable: no microphone found - retrying"));

    // The failed source keeps retrying and picks up a microphone once there is one.
    ASSERT_EQ(pulse.pactl({"set-default-source", "mic"}).exitCode, 0);
    EXPECT_TRUE(waitForStatus(Mic, "capturing from Headset-microphone", 2500ms));
    EXPECT_TRUE(capture.capturing[1]);
}

TEST_F(AudioCaptureTest, NoPlaybackDeviceIsReportedOnceWhileTheMicrophoneWorks) {
    pulse.addSource("usbmic", "USB-microphone");
    ASSERT_EQ(pulse.pactl({"set-default-source", "usbmic"}).exitCode, 0);
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("speakers")));
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("mic_in")));

    EXPECT_EQ(capture.start(recorder.audio(), recorder.vad()), "");
    EXPECT_EQ(capture.startError(), "System audio: no playback device found");
    EXPECT_TRUE(waitForStatus(System, "waiting for a device - no playback device found", 1s));
    EXPECT_EQ(capture.status(Mic), "capturing from USB-microphone");
    // Retried every 1.5 s, logged once.
    std::this_thread::sleep_for(3200ms);
    EXPECT_EQ(log.count("audio System audio unavailable: no playback device found - retrying"), 1u);
    EXPECT_FALSE(capture.capturing[0]);
    EXPECT_TRUE(capture.capturing[1]);
}

TEST_F(AudioCaptureTest, NoDeviceAtAllFailsStartAndLeavesNoThread) {
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("speakers")));
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("mic_in")));
    std::thread([] {}).join();  // ThreadSanitizer starts a helper thread with the first thread
    const int threadsBefore = threadCount();
    EXPECT_EQ(capture.start(recorder.audio(), recorder.vad()),
              "System audio: no playback device found; Microphone: no microphone found");
    EXPECT_EQ(threadCount(), threadsBefore);
    EXPECT_EQ(capture.startError(), "");
    EXPECT_FALSE(capture.capturing[0]);
    EXPECT_FALSE(capture.capturing[1]);
    EXPECT_EQ(capture.status(Mic), "waiting for a device - no microphone found");
}

TEST_F(AudioCaptureTest, NoSoundServerIsAFailureWithTheLibraryText) {
    pulse.kill();
    const std::string error = capture.start(recorder.audio(), recorder.vad());
    EXPECT_EQ(error.rfind("System audio: pa_context_connect failed (0x", 0), 0u) << error;
    EXPECT_NE(error.find("; Microphone: pa_context_connect failed (0x"), std::string::npos)
        << error;
}

TEST_F(AudioCaptureTest, UnpluggedSpeakersEndTheUtteranceAndCaptureMovesToTheNewDefault) {
    startAndWarmUp();
    auto playback = pulse.playInBackground(speech, "speakers");
    ASSERT_TRUE(waitUntil([&] { return capture.speaking[0].load(); }, 3s));
    ASSERT_TRUE(pulse.unloadModule(*pulse.sinkModule("speakers")));

    ASSERT_TRUE(recorder.waitForEvents(System, 2, 1s));
    EXPECT_EQ(recorder.events(System), (std::vector{VadEvent::SpeechStart, VadEvent::SpeechEnd}));
    EXPECT_FALSE(capture.speaking[0]);
    ASSERT_TRUE(waitForStatus(System, "capturing from Mic-input", 3s)) << capture.status(System);
    // Which the capture thread notices first depends on timing inside the sound server: the
    // failed stream, or the once-a-second check that finds another default sink.
    EXPECT_TRUE(
        log.contains("audio System audio lost (device was removed or changed) - reconnecting to "
                     "the default device") ||
        log.contains("audio System audio lost (the default device changed) - reconnecting to "
                     "the default device"))
        << log.text();
    EXPECT_TRUE(log.contains("audio System audio capturing from \"Mic-input\""));

    // The new default (mic_in) now carries the interviewer: both sources hear it.
    ASSERT_TRUE(waitUntil([&] { return capture.capturing[0].load(); }, 1s));
    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(pulse.play(speech, "mic_in"), 0);
    EXPECT_TRUE(recorder.waitForEvents(System, 3, 2s));
    EXPECT_EQ(capture.utteranceCount[0], 2u);
}

TEST_F(AudioCaptureTest, ChangedDefaultDevicesAreFollowedWithinASecondAndAHalf) {
    pulse.addSink("headset", "Headset");
    pulse.addSource("usbmic", "USB-microphone");
    startAndWarmUp();

    // Each clock starts once pactl has returned, when the change is in effect: starting a
    // process on a loaded machine is not the capture's time.
    using Clock = std::chrono::steady_clock;
    ASSERT_EQ(pulse.pactl({"set-default-sink", "headset"}).exitCode, 0);
    const auto sinkChanged = Clock::now();
    ASSERT_EQ(pulse.pactl({"set-default-source", "usbmic"}).exitCode, 0);
    const auto sourceChanged = Clock::now();
    std::optional<Clock::duration> sinkTook, sourceTook;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (!sinkTook && capture.status(System) == "capturing from Headset")
                sinkTook = Clock::now() - sinkChanged;
            if (!sourceTook && capture.status(Mic) == "capturing from USB-microphone")
                sourceTook = Clock::now() - sourceChanged;
            return sinkTook && sourceTook;
        },
        3s))
        << capture.status(System) << " / " << capture.status(Mic);
    // One default check a second, then the 0.5 s reconnect wait; allow for a slow machine.
    EXPECT_LT(*sinkTook, 2000ms);
    EXPECT_LT(*sourceTook, 2000ms);
    EXPECT_TRUE(log.contains("audio System audio lost (the default device changed)"));
    EXPECT_TRUE(log.contains("audio Microphone lost (the default device changed)"));

    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(pulse.play(speech, "headset"), 0);
    EXPECT_TRUE(recorder.waitForEvents(System, 2, 2s));
}

TEST_F(AudioCaptureTest, RecoversFromASoundServerRestart) {
    startAndWarmUp();
    pulse.kill();
    ASSERT_TRUE(waitUntil([&] { return !capture.capturing[0] && !capture.capturing[1]; }, 2s));
    ASSERT_TRUE(waitUntil(
        [&] {
            return capture.status(System).rfind(
                       "waiting for a device - pa_context_connect failed (", 0) == 0;
        },
        3s))
        << capture.status(System);
    EXPECT_TRUE(log.contains("audio System audio lost (audio capture failed (0x")) << log.text();

    pulse.start();
    ASSERT_TRUE(waitUntil([&] { return capture.capturing[0] && capture.capturing[1]; }, 4s));
    // The flag comes first, then the log line, then the status.
    EXPECT_TRUE(waitForStatus(System, "capturing from Speakers", 1s)) << capture.status(System);
    std::this_thread::sleep_for(600ms);
    ASSERT_EQ(pulse.play(speech, "speakers"), 0);
    EXPECT_TRUE(recorder.waitForEvents(System, 2, 3s));
}

TEST_F(AudioCaptureTest, StopWhileSpeakingEndsTheUtteranceFirst) {
    startAndWarmUp();
    auto playback = pulse.playInBackground(speech, "speakers");
    ASSERT_TRUE(waitUntil([&] { return capture.speaking[0].load(); }, 3s));
    capture.stop();
    EXPECT_EQ(recorder.events(System), (std::vector{VadEvent::SpeechStart, VadEvent::SpeechEnd}));
    EXPECT_FALSE(capture.speaking[0]);
    EXPECT_FALSE(capture.capturing[0]);
    EXPECT_EQ(capture.status(System), "capturing from Speakers");
}

TEST_F(AudioCaptureTest, ReconnectRequestWhileSpeakingEndsTheUtteranceAndKeepsTheCount) {
    startAndWarmUp();
    auto playback = pulse.playInBackground(speech, "speakers");
    ASSERT_TRUE(waitUntil([&] { return capture.speaking[0].load(); }, 3s));
    capture.reconnectGeneration.fetch_add(1);
    ASSERT_TRUE(recorder.waitForEvents(System, 2, 1s));
    EXPECT_EQ(recorder.events(System)[1], VadEvent::SpeechEnd);
    // Both threads reopen; the microphone was not speaking and gets no event.
    ASSERT_TRUE(waitUntil(
        [&] {
            return log.count("lost (reconnect requested) - reconnecting to the default device") ==
                   2;
        },
        2s))
        << log.text();
    EXPECT_TRUE(recorder.events(Mic).empty());
    ASSERT_TRUE(waitUntil([&] { return capture.capturing[0] && capture.capturing[1]; }, 2s));
    EXPECT_EQ(capture.utteranceCount[0], 1u);
}

TEST_F(AudioCaptureTest, SilentLoopbackStillDeliversZeroChunks) {
    startAndWarmUp();
    // A suspended sink's monitor delivers nothing at all.
    ASSERT_EQ(pulse.pactl({"suspend-sink", "speakers", "1"}).exitCode, 0);
    std::this_thread::sleep_for(300ms);
    const int before = recorder.chunks(System).count;
    std::this_thread::sleep_for(1s);
    const auto after = recorder.chunks(System);
    EXPECT_GE(after.count - before, 8);
    EXPECT_LE(after.count - before, 12);
    EXPECT_EQ(after.nonZero, 0);
    EXPECT_EQ(after.wrongSize, 0);
    EXPECT_TRUE(capture.capturing[0]);
    EXPECT_EQ(log.count("audio System audio lost"), 0u) << log.text();
}

TEST_F(AudioCaptureTest, MicrophoneThatFallsSilentIsReopened) {
    startAndWarmUp();
    ASSERT_EQ(pulse.pactl({"suspend-source", "mic", "1"}).exitCode, 0);
    ASSERT_TRUE(waitUntil(
        [&] { return log.contains("audio Microphone lost (microphone stopped delivering audio)"); },
        7s))
        << log.text();
    ASSERT_EQ(pulse.pactl({"suspend-source", "mic", "0"}).exitCode, 0);
    EXPECT_TRUE(waitForStatus(Mic, "capturing from Headset-microphone", 2s));
    EXPECT_EQ(log.count("audio Microphone capturing from"), 2u);
    EXPECT_EQ(log.count("audio System audio lost"), 0u);
}

}  // namespace
}  // namespace halvenor::test
