// Stories that go through the HUD's own controls: a screenshot question sent from the Screen &
// Type tab, and a setting changed on the Settings tab that holds after a restart.

#include <thread>

#include "tests/e2e/e2e_session.h"

namespace halvenor::e2e {
namespace {

class HudStory : public Session {
protected:
    std::string settingsFile() const {
        return test::readFile(appData_ / "MorvelinDesk" / "settings.json");
    }
};

TEST_F(HudStory, ScreenshotTakenWithItsHotkeyIsSentWithTheScreenshotModel) {
    start({{"MORVELIN_START_TAB", "compose"}});
    ASSERT_TRUE(waitUntilDrawn(hud_));
    const auto withoutTray = hudPicture(hud_);
    key("ctrl+shift+s");
    ASSERT_TRUE(waitForLog("screenshot 1 captured: 1920x1080", 15s)) << log();
    ASSERT_TRUE(waitUntilDrawn(hud_, withoutTray)) << "the tray was not drawn";
    // "Send + 1" at the right end of the question row, below the tray.
    clickHud(client_.geometry(hud_).width - 55, 303);
    ASSERT_TRUE(waitForLog("llm request: model=google/gemini-3.1-pro-preview images=1")) << log();

    // The request is logged as it leaves; the service has it once its body has arrived.
    ASSERT_TRUE(test::waitUntil([&] { return !chatRequests().empty(); }, 15s));
    const auto requests = chatRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].value("model", ""), "google/gemini-3.1-pro-preview");
    const auto& content = requests[0]["messages"].back()["content"];
    ASSERT_TRUE(content.is_array()) << content.dump().substr(0, 300);
    int images = 0;
    for (const auto& part : content) {
        if (part.value("type", "") == "image_url") {
            ++images;
            EXPECT_EQ(
                part["image_url"]["url"].get<std::string>().rfind("data:image/png;base64,iVBOR", 0),
                0u);
        }
    }
    EXPECT_EQ(images, 1);
    ASSERT_TRUE(waitForLog("llm first token after", 15s));
    saveScreenshot("screenshot-question");
}

TEST_F(HudStory, ASettingChangedInTheHudHoldsAfterARestartAndASecondStartShowsTheFirst) {
    start({{"MORVELIN_START_TAB", "settings"}});
    ASSERT_TRUE(waitUntilDrawn(hud_));
    // "Answer detected questions automatically while listening": hands-free off.
    clickHud(26, 322);
    ASSERT_TRUE(test::waitUntil(
        [&] { return settingsFile().find("\"handsFree\": false") != std::string::npos; }, 10s))
        << settingsFile();
    EXPECT_EQ(program_.stop(SIGTERM, 10s), 0);

    start();
    EXPECT_NE(log().find("settings restored from"), std::string::npos) << log();
    // The restored setting acts: a question heard is kept for the Answer button.
    startListening();
    ASSERT_EQ(pulse_.play(pulse_.makeSpeech("What is your greatest strength?")), 0);
    ASSERT_TRUE(waitForLog("question kept for the Answer button (answer on click is on)")) << log();
    EXPECT_TRUE(chatRequests().empty());

    // Hidden, then started again: the second start shows the first and leaves.
    key("ctrl+alt+h");
    ASSERT_TRUE(test::waitUntil([&] { return !client_.viewable(hud_); }, 5s));
    test::SpawnOptions options;
    options.quiet = true;
    options.env = env();
    test::Subprocess second({HALVENOR_BINARY}, options);
    EXPECT_EQ(second.wait(10s), 0);
    EXPECT_TRUE(test::waitUntil([&] { return client_.viewable(hud_); }, 5s));
    EXPECT_EQ(client_.windowsOfClass(test::kHudClass).size(), 1u);
}

}  // namespace
}  // namespace halvenor::e2e
