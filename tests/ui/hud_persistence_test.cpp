// Start-up from the environment and the settings file, and the settings written back: once
// the settings have been quiet for 700 ms, at once at shut-down, and again after a failure.

#include <gtest/gtest.h>

#include "tests/ui/hud_test_support.h"
#include "ui/settings.h"

namespace morvelin::hud_test {
namespace {

using Clock = std::chrono::steady_clock;
using halvenor::test::readFile;

constexpr const char* kListenQuery =
    "/v1/listen?encoding=linear16&sample_rate=16000&channels=1&model=nova-2&punctuate=true"
    "&smart_format=true&interim_results=true&endpointing=300";

Settings loadFile(const std::filesystem::path& path) {
    Settings record;
    std::string error;
    EXPECT_EQ(loadSettingsFile(path, record, error), kSettingsLoaded) << error;
    return record;
}

// The frame loop's save: saveSettings(false) every 10 ms, as the frame loop calls it, for
// `duration` or until the file exists.
struct FrameLoopSave {
    std::chrono::milliseconds writtenAt;  // since `from`
    // When the latest turn that left the file unwritten began, counted from the end of the
    // first turn (which sees a change made just before): under 700 ms, however late a loaded
    // machine wakes the loop. A turn past the due time that writes nothing is ours.
    std::chrono::milliseconds lastUnwrittenTurn{0};
};

std::optional<FrameLoopSave> frameLoopUntilWritten(ImGuiUI& ui, const std::filesystem::path& file,
                                                   Clock::time_point from,
                                                   std::chrono::milliseconds duration) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const auto end = Clock::now() + duration;
    std::optional<Clock::time_point> firstTurnEnd;
    milliseconds lastUnwrittenTurn{0};
    while (Clock::now() < end) {
        const auto turn = Clock::now();
        P::saveSettings(ui, false);
        if (std::filesystem::exists(file))
            return FrameLoopSave{duration_cast<milliseconds>(Clock::now() - from),
                                 lastUnwrittenTurn};
        if (firstTurnEnd)
            lastUnwrittenTurn = duration_cast<milliseconds>(turn - *firstTurnEnd);
        else
            firstTurnEnd = Clock::now();
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Start-up.

TEST(HudStartup, NoKeysAndNoFileMeansPerUtteranceAndNothingWritten) {
    LogWatch log;
    Hud hud{HudOptions{.openRouterKey = nullptr}};
    ImGuiUI& ui = hud.ui();
    EXPECT_EQ(P::sttEngine(ui), 0);
    EXPECT_EQ(P::openRouterKey(ui), "");
    EXPECT_FALSE(hud.llm.hasApiKey());
    EXPECT_EQ(hud.llm.model(), "openai/gpt-4o-mini");
    EXPECT_EQ(P::answerModelIndex(ui), 1);
    EXPECT_EQ(P::screenshotModelIndex(ui), 6);
    EXPECT_EQ(P::customAnswerModel(ui), "openai/gpt-4o");
    EXPECT_EQ(P::sttUrl(ui), std::string("ws://127.0.0.1:9") + kListenQuery);
    EXPECT_EQ(hud.capture.hangoverMs.load(), 800);
    EXPECT_TRUE(log.contains("no saved settings yet (" + hud.settingsFile().string() + ")"));
    // No window: nothing hides the HUD from capture, and the status line says so.
    EXPECT_EQ(P::statusText(ui),
              "Capture protection is off: the HUD is visible to screen capture.");
    EXPECT_FALSE(P::savePending(ui));

    // The per-utterance engine's detector waits 8 s of silence: a final without speech-final
    // is not decided within 2.5 s.
    const std::uint64_t generation = cardOf(ui).generation;
    P::onTranscript(ui, kSystem, std::string("What is RAII?"), true, false);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(cardOf(ui).generation, generation);

    hud.destroy();
    EXPECT_FALSE(std::filesystem::exists(hud.settingsFile()));
}

TEST(HudStartup, StreamingKeyAloneChoosesStreamingWithTheShortSilence) {
    Hud hud{HudOptions{.openRouterKey = nullptr, .deepgramKey = "dg-key"}};
    ImGuiUI& ui = hud.ui();
    EXPECT_EQ(P::sttEngine(ui), 1);
    EXPECT_EQ(P::deepgramKey(ui), "dg-key");

    // The detector decides 800 + 700 ms after the last transcript; without an answer key the
    // card then fails at once, which shows when the question was dispatched.
    const auto start = Clock::now();
    P::onTranscript(ui, kSystem, std::string("What is RAII?"), true, false);
    ASSERT_TRUE(waitForState(ui, kAnswerFailed, 4s));
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 1400ms);
    EXPECT_LE(elapsed, 3000ms);
    EXPECT_EQ(cardOf(ui).question, "What is RAII?");

    // The silence slider moves the capture's end of speech too, never below 200 ms.
    P::silenceMs(ui) = 150;
    P::applySilenceSetting(ui);
    EXPECT_EQ(hud.capture.hangoverMs.load(), 200);
}

TEST(HudStartup, UnreadableSettingsFileGivesANoticeAndDefaults) {
    LogWatch log;
    Hud hud{HudOptions{.settings = std::string("{\"model\": \"foo/bar\", oops")}};
    ImGuiUI& ui = hud.ui();
    const std::int64_t now = steadyNowNs();
    {
        std::lock_guard lock(P::stateMutex(ui));
        EXPECT_EQ(P::notice(ui),
                  "Could not read your saved settings (settings file is not valid JSON; kept as "
                  "settings.json.corrupt). Starting fresh.");
        EXPECT_GT(P::noticeUntilNs(ui), now + 19'000'000'000);
        EXPECT_LE(P::noticeUntilNs(ui), now + 20'000'000'000);
    }
    EXPECT_TRUE(
        log.contains("saved settings unreadable: settings file is not valid JSON; kept as "
                     "settings.json.corrupt"));
    EXPECT_EQ(P::answerModelIndex(ui), 1);
    EXPECT_TRUE(std::filesystem::exists(hud.settingsFile().string() + ".corrupt"));
    EXPECT_FALSE(std::filesystem::exists(hud.settingsFile()));
}

TEST(HudStartup, SavedSettingsWinOverTheEnvironmentAndAreNotWrittenBack) {
    const std::string saved = R"({
  "model": "foo/bar",
  "screenshotModel": "openai/gpt-4o",
  "sttEngine": 0,
  "silenceMs": 1000,
  "handsFree": false,
  "micAnswerMode": 2,
  "resume": "Hello"
})";
    LogWatch log;
    Hud hud{HudOptions{.deepgramKey = "dg-key", .settings = saved}};
    ImGuiUI& ui = hud.ui();
    EXPECT_EQ(P::sttEngine(ui), 0);  // the file wins over the key
    EXPECT_EQ(P::answerModelIndex(ui), kCustomModelIndex);
    EXPECT_EQ(P::customAnswerModel(ui), "foo/bar");
    EXPECT_EQ(P::screenshotModelIndex(ui), 2);
    EXPECT_EQ(P::customScreenshotModel(ui), "google/gemini-3.1-pro-preview");
    EXPECT_FALSE(P::handsFree(ui).load());
    EXPECT_EQ(P::micAnswerMode(ui).load(), 2);
    EXPECT_EQ(P::silenceMs(ui), 1000);
    EXPECT_EQ(P::resume(ui), "Hello");
    EXPECT_EQ(hud.capture.hangoverMs.load(), 1000);
    EXPECT_EQ(hud.llm.model(), "foo/bar");
    EXPECT_TRUE(log.contains("settings restored from " + hud.settingsFile().string() +
                             ": resume 5 chars, job description 0 chars, readme 0 chars"));
    EXPECT_FALSE(P::savePending(ui));

    for (int i = 0; i < 80; ++i) {
        P::saveSettings(ui, false);
        std::this_thread::sleep_for(10ms);
    }
    hud.destroy();
    EXPECT_EQ(readFile(hud.settingsFile()), saved);
}

// ---------------------------------------------------------------------------------------------
// Writing.

class HudPersistence : public ::testing::Test {
protected:
    Hud hud;
    ImGuiUI& ui = hud.ui();
    LogWatch log;
};

TEST_F(HudPersistence, ChangeIsWrittenSevenHundredMillisecondsAfterTheLastEdit) {
    // An unchanged start writes nothing.
    EXPECT_FALSE(frameLoopUntilWritten(ui, hud.settingsFile(), Clock::now(), 900ms));

    const auto start = Clock::now();
    P::silenceMs(ui) = 1200;
    EXPECT_FALSE(frameLoopUntilWritten(ui, hud.settingsFile(), start, 400ms));
    const auto second = Clock::now();
    P::silenceMs(ui) = 1300;  // a dragged slider: the wait starts again
    const auto written = frameLoopUntilWritten(ui, hud.settingsFile(), second, 3s);
    ASSERT_TRUE(written);
    EXPECT_GE(written->writtenAt, 690ms);
    EXPECT_LT(written->lastUnwrittenTurn, 700ms);
    EXPECT_EQ(loadFile(hud.settingsFile()).silenceMs, 1300);
    EXPECT_FALSE(P::savePending(ui));
    // The resume is in it: the folder and the file are the user's alone.
    using std::filesystem::perms;
    EXPECT_EQ(std::filesystem::status(hud.appDataFolder()).permissions(), perms::owner_all);
    EXPECT_EQ(std::filesystem::status(hud.settingsFile()).permissions(),
              perms::owner_read | perms::owner_write);
}

TEST_F(HudPersistence, ChangeMadeJustBeforeHidingIsWrittenWhileHidden) {
    P::silenceMs(ui) = 1100;
    P::saveSettings(ui, false);  // the last frame drawn before Ctrl+Alt+H
    const auto hidden = Clock::now();
    // The frame loop's hidden turns: no frame, a wait of at most 100 ms between turns.
    const auto since = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - hidden);
    };
    int turns = 0;
    std::optional<std::chrono::milliseconds> written;
    // The latest turn that began with nothing written: it must have begun before the save was
    // due. How late a loaded machine wakes the loop is its own; a turn past the due time that
    // leaves the change unwritten is ours.
    std::chrono::milliseconds unwrittenTurn{0};
    while (!written && Clock::now() - hidden < 3s) {
        const auto turnStart = since();
        const int waitMs = ui.idle(100);
        ++turns;
        if (std::filesystem::exists(hud.settingsFile()))
            written = since();
        else
            unwrittenTurn = turnStart;
        ASSERT_GE(waitMs, 1);
        ASSERT_LE(waitMs, 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    }
    ASSERT_TRUE(written);
    EXPECT_GE(*written, 690ms);
    EXPECT_LT(unwrittenTurn, 700ms);
    EXPECT_EQ(loadFile(hud.settingsFile()).silenceMs, 1100);
    // Woken for the save and otherwise at the usual pace: seven turns of 100 ms, one more
    // for the rest.
    EXPECT_LE(turns, 9);
    // Nothing pending: the hidden loop waits as long as ever.
    EXPECT_EQ(ui.idle(100), 100);
}

TEST_F(HudPersistence, ToggledAndBackIsWrittenOnce) {
    P::handsFree(ui) = false;
    EXPECT_FALSE(frameLoopUntilWritten(ui, hud.settingsFile(), Clock::now(), 300ms));
    const auto back = Clock::now();
    P::handsFree(ui) = true;
    const auto written = frameLoopUntilWritten(ui, hud.settingsFile(), back, 3s);
    ASSERT_TRUE(written);
    // Going back is a change of its own: the wait counts from it.
    EXPECT_GE(written->writtenAt, 690ms);
    EXPECT_LT(written->lastUnwrittenTurn, 700ms);
    EXPECT_TRUE(loadFile(hud.settingsFile()).handsFree);

    std::filesystem::remove(hud.settingsFile());
    EXPECT_FALSE(frameLoopUntilWritten(ui, hud.settingsFile(), Clock::now(), 1s));
}

TEST_F(HudPersistence, KnowledgeEditIsSavedThroughTheAnswerClientSettings) {
    // Knowledge texts are not in the fingerprint; pushing them to the answer client marks the
    // save.
    P::resume(ui) = "Ten years of C++.";
    P::llmSettingsDirty(ui) = true;
    const auto start = Clock::now();
    P::applyLlmSettings(ui);
    const auto written = frameLoopUntilWritten(ui, hud.settingsFile(), start, 3s);
    ASSERT_TRUE(written);
    EXPECT_GE(written->writtenAt, 690ms);
    EXPECT_LT(written->lastUnwrittenTurn, 700ms);
    EXPECT_EQ(loadFile(hud.settingsFile()).resume, "Ten years of C++.");
    EXPECT_EQ(readFile(hud.settingsFile()).find("test-key"), std::string::npos);  // no keys
}

TEST_F(HudPersistence, QuittingRightAfterAChangeWritesIt) {
    P::interactiveOpacity(ui) = 0.8f;
    P::saveSettings(ui, false);
    std::this_thread::sleep_for(100ms);
    P::saveSettings(ui, false);
    EXPECT_FALSE(std::filesystem::exists(hud.settingsFile()));
    hud.destroy();
    ASSERT_TRUE(std::filesystem::exists(hud.settingsFile()));
    EXPECT_FLOAT_EQ(loadFile(hud.settingsFile()).interactiveOpacity, 0.8f);
}

TEST_F(HudPersistence, OpacityBelowTheThirdDecimalIsNoChange) {
    const std::string fingerprint = P::settingsFingerprint(ui);
    P::interactiveOpacity(ui) = 0.9701f;
    EXPECT_EQ(P::settingsFingerprint(ui), fingerprint);
    EXPECT_FALSE(frameLoopUntilWritten(ui, hud.settingsFile(), Clock::now(), 900ms));
}

TEST_F(HudPersistence, FailedWriteIsReportedAndRetriedFiveSecondsLater) {
    // A folder where the temporary file must go makes the write fail, even for root.
    const auto tmp = hud.settingsFile().string() + ".tmp";
    std::filesystem::create_directories(tmp);
    P::silenceMs(ui) = 1500;
    P::saveSettings(ui, true);
    const std::int64_t now = steadyNowNs();
    const std::string error = "cannot write " + tmp;
    EXPECT_EQ(P::statusText(ui), "Could not save settings: " + error);
    EXPECT_TRUE(log.contains("could not save settings: " + error));
    EXPECT_TRUE(P::savePending(ui));
    EXPECT_GT(P::saveRequestedNs(ui), now + 4'900'000'000);
    EXPECT_LE(P::saveRequestedNs(ui), now + 5'000'000'000);

    // The folder is gone, but the next attempt waits out the 5 s plus the 700 ms.
    std::filesystem::remove(tmp);
    EXPECT_FALSE(frameLoopUntilWritten(ui, hud.settingsFile(), Clock::now(), 500ms));
    P::saveRequestedNs(ui) -= 5'000'000'000;  // as if the five seconds had passed
    ASSERT_TRUE(frameLoopUntilWritten(ui, hud.settingsFile(), Clock::now(), 1s));
    EXPECT_FALSE(P::savePending(ui));
    EXPECT_EQ(loadFile(hud.settingsFile()).silenceMs, 1500);
}

TEST_F(HudPersistence, FailedForcedSaveAtShutDownIsLogged) {
    // A file where the settings folder must be.
    std::filesystem::remove_all(hud.appDataFolder());
    halvenor::test::writeFile(hud.appDataFolder(), "in the way");
    P::showTranscript(ui) = true;
    hud.destroy();
    EXPECT_TRUE(log.contains("could not save settings: cannot write " +
                             hud.settingsFile().string() + ".tmp"));
}

}  // namespace
}  // namespace morvelin::hud_test
