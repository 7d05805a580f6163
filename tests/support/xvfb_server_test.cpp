#include "tests/support/xvfb_server.h"

#include <gtest/gtest.h>
#include <signal.h>

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
