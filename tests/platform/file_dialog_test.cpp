// The HUD's open-file dialog, the real zenity under openbox: where the window manager stacks
// the dialog and the HUD while it is open and after it ends, however it ends.

#include "platform/file_dialog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/overlay_window.h"
#include "tests/platform/hud_x_window.h"
#include "tests/support/window_fixture.h"

namespace morvelin {
namespace {

using halvenor::test::PrivateDisplayTest;
using halvenor::test::waitUntil;
using namespace std::chrono_literals;
using platform_test::xWindow;

const std::vector<FileDialog::Filter> kFilters = {{"Text documents (*.txt)", {"*.txt"}}};

// The dialog program gets standard input, output and error and nothing else of ours, such as
// a connection's socket that sockets' libraries leave open across exec.
TEST(FileDialogProgram, InheritsNoOtherDescriptor) {
    const halvenor::test::TempDir dir("halvenor-dialog");
    const std::filesystem::path program = dir.path() / "list-fds";
    halvenor::test::writeFile(program, "#!/bin/sh\necho $(ls /proc/self/fd)\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    const int socketFd = ::socket(AF_INET, SOCK_STREAM, 0);  // no close-on-exec
    ASSERT_EQ(::dup2(socketFd, 200), 200);

    FileDialog dialog;
    dialog.programs = {program.string()};
    ASSERT_EQ(dialog.open("Open", kFilters), "");
    std::filesystem::path listed;
    EXPECT_TRUE(waitUntil([&] { return dialog.poll(listed) == FileDialog::Poll::Chosen; }, 5s));
    EXPECT_TRUE(listed.string().starts_with("0 1 2")) << listed;
    EXPECT_EQ(listed.string().find("200"), std::string::npos) << listed;
    ::close(200);
    ::close(socketFd);
}

class FileDialogOverHud : public PrivateDisplayTest<> {
protected:
    FileDialogOverHud() {
        server_.startWindowManager();
        EXPECT_EQ(hud_.create("Halvenor"), "");
        hud_.show();
        window_ = xWindow(hud_);
        EXPECT_TRUE(pumpUntil([&] { return hudOnTopAndAbove(); }));
    }

    template <typename Predicate>
    bool pumpUntil(Predicate&& predicate) {
        return platform_test::pumpUntil(hud_, predicate, 20s);
    }

    bool hudAbove() { return client_.hasState(window_, "_NET_WM_STATE_ABOVE"); }
    bool hudOnTopAndAbove() { return client_.onTopAndAbove(window_); }
    // Polls the dialog as the frame loop does until it is on screen, the HUD's, above the
    // HUD, and the HUD out of the above layer. None when that did not happen.
    Window waitForDialogAboveHud(FileDialog& dialog) {
        Window shown = None;
        pumpUntil([&] {
            std::filesystem::path chosen;
            if (dialog.poll(chosen) != FileDialog::Poll::Running)
                return true;
            shown = client_.dialogOf(window_);
            return shown != None && client_.viewable(shown) && !hudAbove() &&
                   client_.stackedAbove(shown, window_);
        });
        return shown != None && client_.viewable(shown) ? shown : None;
    }

    // Escape into the dialog once it has the keyboard (GTK gives it to a child window), then
    // polls until the dialog has ended.
    FileDialog::Poll cancel(FileDialog& dialog, Window shown) {
        EXPECT_TRUE(pumpUntil([&] {
            Window focus = client_.focus(), root = None, parent = None;
            Window* children = nullptr;
            unsigned count = 0;
            if (focus != shown &&
                XQueryTree(client_.display(), focus, &root, &parent, &children, &count)) {
                if (children)
                    XFree(children);
                focus = parent;
            }
            return focus == shown;
        }));
        xdotool({"key", "Escape"});
        FileDialog::Poll result = FileDialog::Poll::Running;
        std::filesystem::path chosen;
        pumpUntil([&] { return (result = dialog.poll(chosen)) != FileDialog::Poll::Running; });
        return result;
    }

    OverlayWindow hud_;
    Window window_ = None;
};

TEST_F(FileDialogOverHud, DialogIsAboveTheHudUntilItEndsHoweverItEnds) {
    {
        FileDialog dialog;
        ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud_), "");
        const Window shown = waitForDialogAboveHud(dialog);
        ASSERT_NE(shown, None);
        EXPECT_TRUE(hud_.isVisible());
        EXPECT_EQ(cancel(dialog, shown), FileDialog::Poll::Cancelled);
        EXPECT_TRUE(pumpUntil([&] { return hudOnTopAndAbove(); }));

        // Ended by its owner (the program quitting) while open.
        ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud_), "");
        ASSERT_NE(waitForDialogAboveHud(dialog), None);
    }
    EXPECT_TRUE(pumpUntil([&] { return hudOnTopAndAbove() && client_.dialogOf(window_) == None; }));

    // A dialog that cannot start leaves the HUD where it was.
    FileDialog missing;
    missing.programs = {"halvenor-missing-zenity"};
    EXPECT_NE(missing.open("Load Resume", kFilters, &hud_), "");
    EXPECT_TRUE(hud_.aboveOthers());
    EXPECT_TRUE(hudAbove());
}

TEST_F(FileDialogOverHud, HiddenHudStaysHiddenWhenTheDialogEndsAndComesBackAbove) {
    FileDialog dialog;
    ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud_), "");
    const Window shown = waitForDialogAboveHud(dialog);
    ASSERT_NE(shown, None);
    hud_.setVisible(false);
    ASSERT_TRUE(pumpUntil([&] { return !client_.viewable(window_); }));

    EXPECT_EQ(cancel(dialog, shown), FileDialog::Poll::Cancelled);
    const auto settle = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < settle)
        hud_.pumpMessages();
    EXPECT_FALSE(hud_.isVisible());
    EXPECT_FALSE(client_.viewable(window_));

    hud_.show();
    EXPECT_TRUE(pumpUntil([&] { return hudOnTopAndAbove(); }));
}

}  // namespace
}  // namespace morvelin
