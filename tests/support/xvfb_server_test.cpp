#include "tests/support/xvfb_server.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/window_manager.h"
#include "tests/support/x11_test_client.h"

namespace halvenor::test {
namespace {

TEST(XvfbServer, AnswersOnItsOwnDisplayAndStopsByPid) {
    pid_t pid;
    {
        XvfbServer first;
        XvfbServer second(800, 600);
        EXPECT_NE(first.display(), second.display());
        const auto info = runCommand({"xdpyinfo", "-display", second.display()});
        ASSERT_EQ(info.exitCode, 0);
        EXPECT_NE(info.output.find("800x600 pixels"), std::string::npos);
        pid = first.pid();
        EXPECT_EQ(kill(pid, 0), 0);
    }
    // Gone after the fixture. (Whether the display answers says nothing: a test running in
    // parallel may already have been given the freed display number.)
    EXPECT_TRUE(waitUntil([&] { return kill(pid, 0) != 0; }, std::chrono::seconds(5)));
}

TEST(XvfbServer, WindowManagerCanBeStarted) {
    XvfbServer x;
    x.startWindowManager();
    const auto wm =
        runCommand({"xprop", "-display", x.display(), "-root", "_NET_SUPPORTING_WM_CHECK"});
    EXPECT_NE(wm.output.find("window id"), std::string::npos);
}

// The late window manager reads each event 30 ms late, and the echo that tests wait on comes
// only after everything sent before it: twenty requests queued ahead of it take 600 ms.
TEST(XvfbServer, ALateWindowManagerHandlesEachEventLateAndTheEchoWaitsForAll) {
    XvfbServer x;
    x.startWindowManager(30);
    X11TestClient client(x.display());
    ASSERT_TRUE(client.syncWithWindowManager());
    const Window window = XCreateSimpleWindow(client.display(), client.root(), 0, 0, 1, 1, 0, 0, 0);
    for (int i = 0; i < 20; ++i)
        client.askWindowManager(window, "_NET_WM_STATE", {});
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.syncWithWindowManager());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
}

// A variable of the process's environment as it started; empty when it has none.
std::string environmentOf(pid_t pid, const std::string& name) {
    std::istringstream all(readFile("/proc/" + std::to_string(pid) + "/environ"));
    for (std::string entry; std::getline(all, entry, '\0');)
        if (entry.starts_with(name + "="))
            return entry.substr(name.size() + 1);
    return "";
}

// Whichever HALVENOR_TEST_WM names: its folders are its own, it leaves the whole screen to
// the windows (a work area, where it publishes one, that is the whole screen) and it holds
// none of the program's hotkeys, in any of the lock-key variants the program grabs.
TEST(XvfbServer, TheWindowManagerKeepsToItsFoldersReservesNoSpaceAndGrabsNoHotkey) {
    XvfbServer x;
    x.startWindowManager();
    X11TestClient client(x.display());
    ASSERT_TRUE(client.syncWithWindowManager());

    const pid_t pid = x.windowManager().pid();
    const std::string home = environmentOf(pid, "HOME");
    ASSERT_TRUE(home.starts_with(std::filesystem::temp_directory_path().string())) << home;
    ASSERT_NE(home, std::getenv("HOME") ? std::getenv("HOME") : "");
    const std::string folder = std::filesystem::path(home).parent_path().string();
    for (const char* variable :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        EXPECT_TRUE(environmentOf(pid, variable).starts_with(folder + "/")) << variable;
    }

    const auto area = client.items(client.root(), "_NET_WORKAREA");
    for (std::size_t desktop = 0; desktop + 4 <= area.size(); desktop += 4) {
        EXPECT_EQ(std::vector<unsigned long>(area.begin() + static_cast<long>(desktop),
                                             area.begin() + static_cast<long>(desktop) + 4),
                  (std::vector<unsigned long>{0, 0, 1920, 1080}))
            << x.windowManager().name() << ", desktop " << desktop / 4;
    }
    EXPECT_TRUE(!x.windowManager().publishesWholeWorkArea() || !area.empty());

    const struct {
        KeySym key;
        unsigned modifiers;
    } hotkeys[] = {{XK_space, ControlMask | ShiftMask}, {XK_h, ControlMask | Mod1Mask},
                   {XK_l, ControlMask | ShiftMask},     {XK_a, ControlMask | ShiftMask},
                   {XK_s, ControlMask | ShiftMask},     {XK_BackSpace, ControlMask | ShiftMask}};
    for (const auto& hotkey : hotkeys) {
        for (const unsigned locks : {0u, unsigned{LockMask}, unsigned{Mod2Mask}}) {
            EXPECT_TRUE(client.grabKey(hotkey.key, hotkey.modifiers | locks))
                << x.windowManager().name() << " holds " << XKeysymToString(hotkey.key)
                << " with modifiers " << (hotkey.modifiers | locks);
        }
    }
}

// The rule that keeps `ctest -R WindowManager` honest, and an unknown HALVENOR_TEST_WM.
TEST(XvfbServer, AStartFromATestWithoutTheWordInItsNameIsRefused) {
    XvfbServer x;
    try {
        x.startWindowManager();
        ADD_FAILURE() << "started";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("\"WindowManager\""), std::string::npos)
            << error.what();
    }
}

TEST(XvfbServer, AnUnknownWindowManagerIsRefusedWithTheNamesThatAreKnown) {
    const ScopedEnv name("HALVENOR_TEST_WM", "halvenor-no-such-wm");
    XvfbServer x;
    try {
        x.startWindowManager();
        ADD_FAILURE() << "started";
    } catch (const std::runtime_error& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find("halvenor-no-such-wm"), std::string::npos) << text;
        for (const auto& known : knownWindowManagers()) {
            EXPECT_NE(text.find(known), std::string::npos) << text;
        }
    }
    EXPECT_EQ(runCommand({"xprop", "-display", x.display(), "-root", "_NET_SUPPORTING_WM_CHECK"})
                  .output.find("window id"),
              std::string::npos);
}

TEST(Subprocess, ReportsExitCodesOutputAndMissingPrograms) {
    const auto ok = runCommand({"sh", "-c", "printf hello; exit 3"});
    EXPECT_EQ(ok.exitCode, 3);
    EXPECT_EQ(ok.output, "hello");
    EXPECT_EQ(runCommand({"sh", "-c", "echo $HALVENOR_X"}, std::chrono::seconds(5),
                         {{"HALVENOR_X", "value"}})
                  .output,
              "value\n");
    EXPECT_EQ(runCommand({"sleep", "5"}, std::chrono::milliseconds(200)).exitCode, -1);
    EXPECT_THROW(Subprocess({"halvenor-no-such-program"}), std::runtime_error);
}

}  // namespace
}  // namespace halvenor::test
