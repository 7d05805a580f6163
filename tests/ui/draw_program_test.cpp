// The real program under a private X server: a typed question answered from a chat service on
// 127.0.0.1 through the Answer button, the window growing with the answer, Quit; and a
// picture of every tab (saved beside the build as test artefacts for a person to look at).

#include <cstdint>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/window_fixture.h"
#include "tests/ui/hud_test_support.h"

namespace morvelin::draw_test {
namespace {

using halvenor::test::ProgramTest;
using halvenor::test::readFile;
using namespace hud_test;

// The Screen & Type tab on the tab row.
constexpr int kComposeTabX = 120;

class DrawProgram : public ProgramTest {
protected:
    DrawProgram() : ProgramTest("halvenor-draw") {}

    // Starts the program and waits for its HUD to be on screen and drawn.
    Window start(const std::map<std::string, std::string>& extra = {}) {
        std::map<std::string, std::string> env = extra;
        env.emplace("OPENROUTER_API_KEY", "test-key");
        const Window hud = launch(HALVENOR_BINARY, env);
        if (hud != None) {
            EXPECT_TRUE(waitUntilDrawn(hud)) << "the HUD was not drawn";
        }
        return hud;
    }

    // The whole screen as a PNG in the build folder.
    std::filesystem::path picture(const std::string& name) {
        return saveScreen(
            std::filesystem::path(HALVENOR_BINARY).parent_path().parent_path() / "draw-artefacts",
            name);
    }
};

TEST_F(DrawProgram, TypedQuestionIsAnsweredTheWindowGrowsAndQuitSavesTheSettings) {
    ChatServer chat;
    std::vector<std::string> tokens = {"**Use RAII**\n"};
    for (int i = 1; i <= 40; ++i)
        tokens.push_back("- point " + std::to_string(i) + " of the answer\n");
    chat.setScript(
        [&](const HttpRequest&, int) { return ChatReply{.tokens = tokens, .interval = 10ms}; });
    const Window hud =
        start({{"HALVENOR_CHAT_BASE_URL", chat.baseUrl()}, {"MORVELIN_START_TAB", "compose"}});
    ASSERT_NE(hud, None);
    const int idleHeight = client_.geometry(hud).height;

    // The question field of Screen & Type, below the hint and the empty tray.
    clickHud(hud, 600, 283);
    std::this_thread::sleep_for(300ms);
    xdotool({"type", "--delay", "20", "What is RAII?"});
    std::this_thread::sleep_for(300ms);
    picture("typed-question");
    clickHud(hud, 455, 75);  // Answer: asks the typed question and brings the Live tab up

    ASSERT_TRUE(chat.waitForChatRequests(1, 10s)) << log();
    const HttpRequest request = chat.chatRequests().front();
    EXPECT_EQ(lastUserText(request), "What is RAII?");
    EXPECT_EQ(modelOf(request), "openai/gpt-4o-mini");
    EXPECT_TRUE(
        waitUntil([&] { return log().find("llm first token after") != std::string::npos; }, 10s))
        << log();
    EXPECT_NE(log().find("llm request: model=openai/gpt-4o-mini"), std::string::npos) << log();

    // The window grows to hold the answer, up to the bottom of the screen.
    xdotool({"mousemove", "5", "1070"});  // away from the HUD: no tooltip in the picture
    EXPECT_TRUE(waitUntil([&] { return client_.geometry(hud).height > idleHeight + 300; }, 10s))
        << "idle " << idleHeight << ", now " << client_.geometry(hud).height;
    EXPECT_LE(client_.geometry(hud).height, 1080);
    std::this_thread::sleep_for(500ms);
    picture("answer");

    // A setting changed on the Settings tab (hands-free off) is saved when the user quits
    // with the "X" at the right end of the top bar.
    clickHud(hud, 392, 127);
    std::this_thread::sleep_for(300ms);
    clickHud(hud, 26, 322);
    std::this_thread::sleep_for(300ms);
    picture("settings-changed");
    clickHud(hud, client_.geometry(hud).width - 26, 28);
    EXPECT_EQ(program_.wait(10s), 0);
    const std::string settings = readFile(appData_ / "MorvelinDesk" / "settings.json");
    EXPECT_NE(settings.find("\"handsFree\": false"), std::string::npos) << settings;
}

// xdotool's "key" sends each press and its release back to back, as fast typists, remote
// desktops and input tools do: every tap counts, in the order typed.
TEST_F(DrawProgram, QuickKeyTapsAreTakenAsTyped) {
    ChatServer chat;
    chat.setScript([](const HttpRequest&, int) { return ChatReply{.tokens = {"Noted."}}; });
    const Window hud =
        start({{"HALVENOR_CHAT_BASE_URL", chat.baseUrl()}, {"MORVELIN_START_TAB", "compose"}});
    ASSERT_NE(hud, None);
    const auto typeThenTap = [&](const std::string& text, const std::vector<std::string>& keys) {
        clickHud(hud, 600, 283);  // the question field
        std::this_thread::sleep_for(300ms);
        xdotool({"type", "--delay", "20", text});
        std::vector<std::string> args = {"key"};
        args.insert(args.end(), keys.begin(), keys.end());
        xdotool(args);
    };
    const auto repeated = [](const std::string& key, int times) {
        return std::vector<std::string>(static_cast<std::size_t>(times), key);
    };

    // Quick corrections, then Return: sent once, corrected.
    typeThenTap("What is RAII?xyz", {"BackSpace", "BackSpace", "BackSpace", "Return"});
    ASSERT_TRUE(chat.waitForChatRequests(1, 10s)) << log();
    EXPECT_EQ(lastUserText(chat.chatRequests()[0]), "What is RAII?");

    // 20 quick Left taps, then 10 Right: the caret moves exactly that far.
    clickHud(hud, kComposeTabX, 127);
    std::vector<std::string> moves = repeated("Left", 20);
    moves.push_back("bracketleft");
    for (const std::string& key : repeated("Right", 10))
        moves.push_back(key);
    moves.insert(moves.end(), {"bracketright", "Return"});
    typeThenTap("What does RAII stand for in C++", moves);
    ASSERT_TRUE(chat.waitForChatRequests(2, 10s)) << log();
    EXPECT_EQ(lastUserText(chat.chatRequests()[1]), "What does R[AII stand ]for in C++");

    // Ctrl+A, then Backspace: the field is empty before the next text.
    clickHud(hud, kComposeTabX, 127);
    typeThenTap("scratch that", {"ctrl+a", "BackSpace", "W", "h", "y", "question", "Return"});
    ASSERT_TRUE(chat.waitForChatRequests(3, 10s)) << log();
    EXPECT_EQ(lastUserText(chat.chatRequests()[2]), "Why?");

    std::this_thread::sleep_for(1s);
    EXPECT_EQ(chat.chatRequests().size(), 3u) << "a Return was taken twice";
}

// A touch screen or a remote desktop moves the pointer onto a tab and presses in one go: the
// tab is selected all the same, also right after typing into a field of another tab.
TEST_F(DrawProgram, ATabTakesATapThatJumpsOntoIt) {
    const Window hud = start({{"MORVELIN_START_TAB", "compose"}});
    ASSERT_NE(hud, None);
    const auto origin = client_.geometry(hud);
    // The tab row as drawn once the pointer has left the HUD (nothing hovered).
    const auto tabRow = [&] {
        xdotool({"mousemove", "5", "1070"});
        std::this_thread::sleep_for(400ms);
        return client_.screenPixels(origin.x, origin.y + 112, 520, 30);
    };
    struct Tab {
        const char* name;
        int x;
    };
    const Tab live{"Live", 36}, compose{"Screen & Type", 132}, settings{"Settings", 392};
    std::map<std::string, std::vector<std::uint8_t>> selected;
    for (const Tab& tab : {live, settings, compose}) {
        clickHud(hud, tab.x, 127);
        selected[tab.name] = tabRow();
    }
    ASSERT_NE(selected["Live"], selected["Settings"]);
    ASSERT_NE(selected["Settings"], selected["Screen & Type"]);
    const auto shownTab = [&] {
        const std::vector<std::uint8_t> row = tabRow();
        for (const auto& [name, pixels] : selected) {
            if (pixels == row)
                return name;
        }
        return std::string("none");
    };

    for (int i = 0; i < 6; ++i) {
        const Tab& from = i % 2 == 0 ? compose : settings;
        const Tab& to = i % 2 == 0 ? settings : compose;
        xdotool({"mousemove", std::to_string(origin.x + from.x), std::to_string(origin.y + 127)});
        std::this_thread::sleep_for(300ms);  // resting on the tab shown
        tapHud(hud, to.x, 127);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(shownTab(), to.name) << "tap " << i;
    }

    // Type into the API key field of Settings, then tap Live.
    clickHud(hud, settings.x, 127);
    std::this_thread::sleep_for(300ms);
    clickHud(hud, 900, 191);
    std::this_thread::sleep_for(300ms);
    xdotool({"type", "--delay", "20", "sk-typed"});
    tapHud(hud, live.x, 127);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(shownTab(), "Live") << "tap after typing";
}

TEST_F(DrawProgram, EveryTabIsDrawnAndTheIdleLiveTabFitsItsWindow) {
    for (const char* tab : {"live", "compose", "knowledge", "settings"}) {
        const Window hud = start({{"MORVELIN_START_TAB", tab}});
        ASSERT_NE(hud, None) << tab;
        if (std::string(tab) == "live") {
            // Shrunk from the full work area to the empty card, but never under what the
            // tab needs: the status bar stays below the transcript header.
            const int height = client_.geometry(hud).height;
            EXPECT_GT(height, 400) << "the window shrank under the card";
            EXPECT_LT(height, 700);
        }
        const auto file = picture(std::string("tab-") + tab);
        EXPECT_GT(std::filesystem::file_size(file), 10'000u) << file;
        EXPECT_EQ(program_.stop(SIGTERM, 10s), 0) << tab;
    }
}

// A drag of the top bar moves the HUD by the whole drag, also when the pointer lets go at once
// after its last step (a flick): the last motion and the release then reach one frame.
TEST_F(DrawProgram, ADragOfTheTopBarMovesTheHudByTheWholeDragAlsoWhenReleasedAtOnce) {
    const Window hud = start({{"MORVELIN_START_TAB", "compose"}});
    ASSERT_NE(hud, None);
    for (int round = 0; round < 3; ++round) {
        const auto from = client_.geometry(hud);
        const int sign = round % 2 == 0 ? 1 : -1;
        const int grabX = from.x + 300, grabY = from.y + 20;  // the wordmark, on the drag area
        xdotool({"mousemove", std::to_string(grabX), std::to_string(grabY)});
        std::this_thread::sleep_for(200ms);
        xdotool({"mousedown", "1"});
        for (int step = 1; step <= 12; ++step) {
            const std::string x = std::to_string(grabX + sign * 10 * step);
            const std::string y = std::to_string(grabY + sign * 8 * step);
            if (step < 12) {
                xdotool({"mousemove", x, y});
                std::this_thread::sleep_for(40ms);
            } else {
                xdotool({"mousemove", x, y, "mouseup", "1"});
            }
        }
        const auto moved = [&] {
            const auto at = client_.geometry(hud);
            return at.x == from.x + sign * 120 && at.y == from.y + sign * 96;
        };
        EXPECT_TRUE(waitUntil(moved, 5s))
            << "round " << round << ": from " << from.x << "," << from.y << " to "
            << client_.geometry(hud).x << "," << client_.geometry(hud).y;
    }
}

// "Load file..." under a window manager: the dialog comes up above the HUD (which leaves the
// above layer meanwhile), the path typed into it loads that file, and the HUD is on top again.
TEST_F(DrawProgram, LoadFileDialogUnderAWindowManagerComesUpAboveTheHudAndLoadsTheTypedFile) {
    halvenor::test::TempDir files;
    halvenor::test::writeFile(files / "resume.md", "Built a HUD in C++.");
    const Window hud = start({{"MORVELIN_START_TAB", "knowledge"}});
    ASSERT_NE(hud, None);
    xvfb_.startWindowManager();  // takes the HUD over as it is

    const auto hudOnTop = [&] { return client_.onTopAndAbove(hud); };
    ASSERT_TRUE(waitUntil(hudOnTop, 20s));
    // Placed in its frame for good before the click aims at it.
    ASSERT_TRUE(client_.syncWithWindowManager());

    clickHud(hud, client_.geometry(hud).width - 139, 205);  // Resume's "Load file..."
    Window dialog = None;
    ASSERT_TRUE(waitUntil(
        [&] {
            dialog = client_.dialogOf(hud);
            return dialog != None && client_.viewable(dialog) &&
                   client_.stackedAbove(dialog, hud) &&
                   !client_.hasState(hud, "_NET_WM_STATE_ABOVE");
        },
        20s))
        << "dialog " << dialog;
    // The keys go where the window manager has put the focus: into the dialog.
    ASSERT_TRUE(waitUntil(
        [&] { return client_.topLevelOf(client_.focus()) == client_.topLevelOf(dialog); }, 20s));
    std::this_thread::sleep_for(500ms);
    picture("load-file-dialog");

    xdotool({"key", "ctrl+l"});
    xdotool({"type", "--delay", "20", (files / "resume.md").string()});
    std::this_thread::sleep_for(300ms);  // the location field's completion settles
    xdotool({"key", "Return"});
    EXPECT_TRUE(waitUntil([&] { return hudOnTop() && !client_.viewable(dialog); }, 10s));
    EXPECT_EQ(program_.stop(SIGTERM, 10s), 0);
    const std::string settings = readFile(appData_ / "MorvelinDesk" / "settings.json");
    EXPECT_NE(settings.find("\"resume\": \"Built a HUD in C++.\""), std::string::npos) << settings;
}

}  // namespace
}  // namespace morvelin::draw_test
