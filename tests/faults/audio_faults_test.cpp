// The sound system changes under a listening HUD: the server crashes and comes back, the
// default output device is switched. Capture must follow on its own, and the next question
// must be answered without the user touching anything.

#include "tests/faults/fault_session.h"

namespace halvenor::faults {
namespace {

TEST_F(FaultSession, SoundServerRestartWhileListeningComesBackByItself) {
    start({{"MORVELIN_START_TAB", "settings"}});  // the diagnostics are on screen
    startListening();
    ASSERT_TRUE(waitForLog("audio System audio capturing from \"Speakers\"")) << log();
    ASSERT_TRUE(waitForLog("audio Microphone capturing from \"Headset-microphone\"")) << log();
    ASSERT_NO_FATAL_FAILURE(askAloud("What is your greatest strength?"));

    pulse_.kill();
    // The loss shows while it lasts: both sources report it and keep retrying, and the
    // retries fail the same way without a line each (one line per new error).
    ASSERT_TRUE(waitForLog("audio System audio lost (")) << log();
    ASSERT_TRUE(waitForLog("audio Microphone lost (")) << log();
    ASSERT_TRUE(waitForLog("audio System audio unavailable: ")) << log();
    ASSERT_TRUE(waitForLog("audio Microphone unavailable: ")) << log();
    saveScreenshot("sound-server-down");
    std::this_thread::sleep_for(3500ms);  // at least two retries (every 1.5 s)
    EXPECT_EQ(countOf(log(), "audio System audio unavailable: "), 1u) << log();

    pulse_.start();
    ASSERT_TRUE(waitForLogCount("audio System audio capturing from \"Speakers\"", 2, 20s)) << log();
    ASSERT_TRUE(waitForLogCount("audio Microphone capturing from \"Headset-microphone\"", 2, 20s))
        << log();
    ASSERT_NO_FATAL_FAILURE(askAloud("How do you handle a missed deadline?"));
    saveScreenshot("sound-server-back");

    // A second crash is survived as well as the first.
    pulse_.restart();
    ASSERT_TRUE(waitForLogCount("audio System audio capturing from \"Speakers\"", 3, 20s)) << log();
    ASSERT_NO_FATAL_FAILURE(askAloud("Why do you want this job?"));
    EXPECT_EQ(chats().size(), 3u);
    EXPECT_TRUE(program_.running());
}

TEST_F(FaultSession, LoopbackFollowsANewDefaultOutputDevice) {
    start();
    startListening();
    ASSERT_TRUE(waitForLog("audio System audio capturing from \"Speakers\"")) << log();

    pulse_.addSink("headphones", "USB-headphones");
    ASSERT_EQ(pulse_.pactl({"set-default-sink", "headphones"}).exitCode, 0);
    ASSERT_TRUE(waitForLog("audio System audio lost (the default device changed)", 15s)) << log();
    ASSERT_TRUE(waitForLog("audio System audio capturing from \"USB-headphones\"", 15s)) << log();
    // The call now plays on the new device, and is heard there.
    ASSERT_NO_FATAL_FAILURE(askAloud("What is your greatest strength?", "headphones"));

    // The old device is not heard any more: speech played there goes unanswered.
    hear("Is anybody on the old speakers?");
    ASSERT_EQ(pulse_.play(speech(), "speakers"), 0);
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(dispatchCount("Is anybody on the old speakers?"), 0u);

    // And back: the device the call returns to is followed too.
    ASSERT_EQ(pulse_.pactl({"set-default-sink", "speakers"}).exitCode, 0);
    ASSERT_TRUE(waitForLogCount("audio System audio capturing from \"Speakers\"", 2, 15s)) << log();
    ASSERT_NO_FATAL_FAILURE(askAloud("Where do you see yourself in five years?"));
    // The microphone was never disturbed by the output switch.
    EXPECT_EQ(countOf(log(), "audio Microphone capturing from"), 1u) << log();
}

}  // namespace
}  // namespace halvenor::faults
