#include "audio/vad.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include "audio/audio_capture.h"
#include "tests/audio/audio_test_support.h"

namespace halvenor::test {
namespace {

using morvelin::AudioCapture;
using morvelin::AudioSource;
using morvelin::VadConfig;
using morvelin::VadEvent;
using morvelin::VadState;

const TempDir logHome("halvenor-vad-log");
const ScopedEnv logLocation("LOCALAPPDATA", logHome.path().c_str());

constexpr std::size_t kFrame = 320;

struct FrameRun {
    std::vector<std::optional<VadEvent>> events;
    // Index of the first frame that raised `event`, or -1.
    int first(VadEvent event) const {
        for (std::size_t i = 0; i < events.size(); ++i)
            if (events[i] == event)
                return static_cast<int>(i);
        return -1;
    }
    int count() const {
        int n = 0;
        for (const auto& e : events)
            n += e.has_value();
        return n;
    }
};

FrameRun feed(VadState& state, const std::vector<std::int16_t>& samples, int hangoverMs = 800,
              const VadConfig& config = {}) {
    FrameRun run;
    for (std::size_t at = 0; at + kFrame <= samples.size(); at += kFrame)
        run.events.push_back(
            morvelin::vadStep(state, std::span(samples).subspan(at, kFrame), config, hangoverMs));
    return run;
}

// One second of room noise at -70 dB, which takes the detector through its warm-up.
VadState afterRoomNoise() {
    VadState state;
    const auto run = feed(state, noiseAt(-70, 16000));
    EXPECT_EQ(run.count(), 0);
    return state;
}

TEST(Vad, DigitalSilenceRaisesNothingAndLeavesTheFloorAlone) {
    VadState state;
    const auto run = feed(state, std::vector<std::int16_t>(16000 * 3, 0));
    EXPECT_EQ(run.count(), 0);
    EXPECT_EQ(state.levelDb, -140.0f);
    EXPECT_EQ(state.shortDb, -140.0f);
    EXPECT_EQ(state.floorDb, -70.0f);
    EXPECT_FALSE(state.floorInitialised);
    EXPECT_FALSE(state.speaking);
    EXPECT_EQ(state.warmupFrames, 0);
}

TEST(Vad, ToneAfterRoomNoiseStartsSpeechOnItsSixthFrame) {
    VadState state = afterRoomNoise();
    EXPECT_NEAR(state.floorDb, -70.0f, 1.0f);
    const auto run = feed(state, sineAt(-20, 10 * kFrame));
    EXPECT_EQ(run.first(VadEvent::SpeechStart), 5);
    EXPECT_EQ(run.count(), 1);
    EXPECT_TRUE(state.speaking);
    EXPECT_NEAR(state.levelDb, -20.0f, 0.05f);
}

TEST(Vad, VotesNeedNotBeConsecutive) {
    VadState state = afterRoomNoise();
    // Alternating loud and quiet frames: the sixth loud frame is the eleventh frame.
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 8; ++i) {
        const auto loud = sineAt(-20, kFrame);
        const auto quiet = noiseAt(-70, kFrame, 100 + i);
        samples.insert(samples.end(), loud.begin(), loud.end());
        samples.insert(samples.end(), quiet.begin(), quiet.end());
    }
    EXPECT_EQ(feed(state, samples).first(VadEvent::SpeechStart), 10);
}

TEST(Vad, NothingIsRaisedDuringTheWarmUp) {
    VadState state;
    // Loud from the first frame: the floor learns it, and no event comes in 25 frames.
    const auto run = feed(state, sineAt(-20, 25 * kFrame));
    EXPECT_EQ(run.count(), 0);
    EXPECT_EQ(state.warmupFrames, 0);
}

// Speech ends after `hangoverMs` of frames at or below the release threshold; the
// short-term level still holds the tone for four frames after it stops.
TEST(Vad, HangoverCountsQuietFramesAndALoudFrameRestartsIt) {
    VadState state = afterRoomNoise();
    ASSERT_EQ(feed(state, sineAt(-20, 6 * kFrame)).first(VadEvent::SpeechStart), 5);

    // 30 frames of silence, one loud frame, then silence: the count starts again after
    // the loud frame has left the short-term window.
    std::vector<std::int16_t> samples(30 * kFrame, 0);
    const auto loud = sineAt(-20, kFrame);
    samples.insert(samples.end(), loud.begin(), loud.end());
    samples.resize(samples.size() + 60 * kFrame, 0);
    const auto run = feed(state, samples);
    EXPECT_EQ(run.count(), 1);
    EXPECT_EQ(run.first(VadEvent::SpeechEnd), 30 + 4 + 40);
    EXPECT_FALSE(state.speaking);
    EXPECT_EQ(state.silenceMs, 0);
}

TEST(Vad, ShortestHangoverEndsAfterTenQuietFrames) {
    VadState state = afterRoomNoise();
    ASSERT_EQ(feed(state, sineAt(-20, 6 * kFrame), 200).first(VadEvent::SpeechStart), 5);
    const auto run = feed(state, std::vector<std::int16_t>(30 * kFrame, 0), 200);
    EXPECT_EQ(run.first(VadEvent::SpeechEnd), 4 + 9);
}

TEST(Vad, SpeakerFadingFarBelowThePeakCountsAsQuiet) {
    VadState state = afterRoomNoise();
    ASSERT_EQ(feed(state, sineAt(-10, 6 * kFrame)).first(VadEvent::SpeechStart), 5);
    // -40 dB is far above the floor (-70 + 6) but more than 22 dB below the peak (-10).
    const auto run = feed(state, sineAt(-40, 60 * kFrame));
    EXPECT_EQ(run.first(VadEvent::SpeechEnd), 4 + 39);
}

TEST(Vad, FirstFloorMayBeLoudButTrackingNeverRaisesItAboveTheLimit) {
    VadState state;
    feed(state, sineAt(-20, kFrame));
    EXPECT_TRUE(state.floorInitialised);
    EXPECT_NEAR(state.floorDb, -20.0f, 0.05f);  // the first value has no upper limit

    // A quieter room pulls it down at once to the limit, then on towards the room level.
    float previous = state.floorDb;
    const auto room = sineAt(-60, 60 * kFrame);
    for (std::size_t at = 0; at < room.size(); at += kFrame) {
        morvelin::vadStep(state, std::span(room).subspan(at, kFrame), {}, 800);
        EXPECT_LE(state.floorDb, -35.0f);
        EXPECT_LE(state.floorDb, previous);
        previous = state.floorDb;
    }
    EXPECT_NEAR(state.floorDb, -60.0f, 0.5f);

    // A loud stretch that never becomes speech (single frames) raises it only slowly
    // and never past the limit.
    VadState louder;
    louder.floorInitialised = true;
    louder.warmupFrames = 0;
    louder.floorDb = -36.0f;
    for (int i = 0; i < 20; ++i) {
        feed(louder, sineAt(-10, kFrame));
        EXPECT_LE(louder.floorDb, -35.0f);
        louder.votes.clear();  // keep it from voting its way into speech
    }
    EXPECT_EQ(louder.floorDb, -35.0f);
}

TEST(Vad, FloorIsFrozenInsideSpeech) {
    VadState state = afterRoomNoise();
    feed(state, sineAt(-20, 6 * kFrame));
    ASSERT_TRUE(state.speaking);
    const float floor = state.floorDb;
    feed(state, sineAt(-25, 50 * kFrame));
    EXPECT_TRUE(state.speaking);
    EXPECT_EQ(state.floorDb, floor);
}

class ProcessChunk : public ::testing::Test {
protected:
    void SetUp() override {
        capture.peakDb[0] = -140.0f;
        capture.peakDb[1] = -140.0f;
    }
    void process(const std::vector<std::int16_t>& samples,
                 AudioSource source = AudioSource::SystemAudio) {
        morvelin::processChunk(capture, source, samples, state);
    }
    AudioCapture capture;
    VadState state;
};

TEST_F(ProcessChunk, PublishesSpeechStartCountsItAndLogsIt) {
    const LogWatch log;
    const auto noise = noiseAt(-70, 16000);
    for (std::size_t at = 0; at < noise.size(); at += 1600)
        process(std::vector<std::int16_t>(noise.begin() + at, noise.begin() + at + 1600));
    EXPECT_FALSE(capture.speaking[0]);
    EXPECT_NEAR(capture.floorDb[0], -70.0f, 1.0f);

    const auto tone = sineAt(-20, 3200);
    process({tone.begin(), tone.begin() + 1600});
    EXPECT_FALSE(capture.speaking[0]);  // five voting frames are not enough
    process({tone.begin() + 1600, tone.end()});
    EXPECT_TRUE(capture.speaking[0]);
    EXPECT_EQ(capture.utteranceCount[0], 1u);
    EXPECT_FALSE(capture.speaking[1]);
    EXPECT_EQ(capture.utteranceCount[1], 0u);
    EXPECT_EQ(capture.levelDb[0], state.levelDb);
    EXPECT_EQ(capture.floorDb[0], state.floorDb);
    EXPECT_NEAR(capture.peakDb[0], -20.0f, 0.05f);
    // The tone's first frame started the vote; the line shows the state at the sixth.
    EXPECT_EQ(log.count("vad System audio SPEECH START"), 1u);
    EXPECT_TRUE(
        log.contains(fmt::format("vad System audio SPEECH START (level {:.1f} dB, floor {:.1f} dB)",
                                 state.levelDb, state.floorDb)))
        << log.text();

    // Utterances count starts, not ends.
    for (int i = 0; i < 10; ++i)
        process(std::vector<std::int16_t>(1600, 0));
    EXPECT_FALSE(capture.speaking[0]);
    EXPECT_EQ(capture.utteranceCount[0], 1u);
    EXPECT_TRUE(log.contains("vad System audio speech end (level -140.0 dB, floor "));
}

TEST_F(ProcessChunk, ShortChunkRefreshesOnlyTheReadouts) {
    state.levelDb = -33.0f;
    state.floorDb = -44.0f;
    process(sineAt(-20, 319), AudioSource::Microphone);
    EXPECT_EQ(capture.levelDb[1], -33.0f);
    EXPECT_EQ(capture.floorDb[1], -44.0f);
    EXPECT_EQ(capture.peakDb[1], -140.0f);
    EXPECT_TRUE(state.energies.empty());
    EXPECT_EQ(state.warmupFrames, 25);
    EXPECT_GT(capture.level[1], 0.0f);  // the meter still moves

    // 700 samples: two frames analysed, the last 60 samples dropped.
    process(sineAt(-20, 700), AudioSource::Microphone);
    EXPECT_EQ(state.energies.size(), 2u);
    EXPECT_EQ(state.warmupFrames, 23);
    EXPECT_NEAR(capture.levelDb[1], -20.0f, 0.05f);
}

TEST_F(ProcessChunk, MeterRisesAtOnceAndFallsSmoothly) {
    // RMS of a -20 dB tone is 0.1 of full scale; the meter shows four times that.
    process(sineAt(-20, 1600));
    EXPECT_NEAR(capture.level[0], 0.4f, 0.001f);
    const float loud = capture.level[0];
    process(std::vector<std::int16_t>(1600, 0));
    EXPECT_EQ(capture.level[0], loud * 0.85f);
    process(std::vector<std::int16_t>(1600, 32767));
    EXPECT_EQ(capture.level[0], 1.0f);  // clamped
    process({});
    EXPECT_EQ(capture.level[0], 0.85f);
}

}  // namespace
}  // namespace halvenor::test
