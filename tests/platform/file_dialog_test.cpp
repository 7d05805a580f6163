// The HUD's open-file dialog, the real zenity under a real window manager: where it stacks the
// dialog and the HUD while it is open and after it ends, however it ends; stand-ins for the
// dialog programs' releases that differ; and the cost of finding the dialog's window.

#include "platform/file_dialog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <X11/Xatom.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
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

// An executable shell script `name` in `dir` running `body`.
std::string standIn(const halvenor::test::TempDir& dir, const std::string& name,
                    const std::string& body) {
    const std::filesystem::path program = dir.path() / name;
    halvenor::test::writeFile(program, "#!/bin/sh\n" + body + "\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    return program.string();
}

// The dialog program gets standard input, output and error and nothing else of ours, such as
// a connection's socket that sockets' libraries leave open across exec.
TEST(FileDialogProgram, InheritsNoOtherDescriptor) {
    const halvenor::test::TempDir dir("halvenor-dialog");
    const std::string program = standIn(dir, "list-fds", "echo $(ls /proc/self/fd)");
    const int socketFd = ::socket(AF_INET, SOCK_STREAM, 0);  // no close-on-exec
    ASSERT_EQ(::dup2(socketFd, 200), 200);

    FileDialog dialog;
    dialog.programs = {program};
    ASSERT_EQ(dialog.open("Open", kFilters), "");
    std::filesystem::path listed;
    EXPECT_TRUE(waitUntil([&] { return dialog.poll(listed) == FileDialog::Poll::Chosen; }, 5s));
    EXPECT_TRUE(listed.string().starts_with("0 1 2")) << listed;
    EXPECT_EQ(listed.string().find("200"), std::string::npos) << listed;
    ::close(200);
    ::close(socketFd);
}

class FileDialogOverHudUnderWindowManager : public PrivateDisplayTest<> {
protected:
    FileDialogOverHudUnderWindowManager() {
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

TEST_F(FileDialogOverHudUnderWindowManager, DialogIsAboveTheHudUntilItEndsHoweverItEnds) {
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

// zenity 3.90 to 3.92 end at once on --attach ("This option is not available"); it is not
// given one, and its window is made the HUD's all the same. kdialog is told its parent.
TEST_F(FileDialogOverHudUnderWindowManager, OnlyKdialogIsToldItsParent) {
    const halvenor::test::TempDir dir("halvenor-dialog");
    const std::string file = (dir.path() / "resume.txt").string();
    FileDialog dialog;
    dialog.programs = {standIn(dir, "zenity",
                               "for a; do case \"$a\" in --attach*) echo 'This option is not "
                               "available.' >&2; exit 255;; esac; done\necho '" +
                                   file + "'")};
    ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud_), "");
    std::filesystem::path chosen;
    FileDialog::Poll result = FileDialog::Poll::Running;
    EXPECT_TRUE(
        pumpUntil([&] { return (result = dialog.poll(chosen)) != FileDialog::Poll::Running; }));
    EXPECT_EQ(result, FileDialog::Poll::Chosen) << dialog.failure();
    EXPECT_EQ(chosen, file);
    EXPECT_TRUE(pumpUntil([&] { return hudOnTopAndAbove(); }));

    const std::string args = (dir.path() / "kdialog.args").string();
    dialog.programs = {standIn(dir, "kdialog", "printf '%s\\n' \"$@\" > '" + args + "'")};
    ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud_), "");
    EXPECT_TRUE(pumpUntil([&] { return dialog.poll(chosen) != FileDialog::Poll::Running; }));
    EXPECT_NE(halvenor::test::readFile(args).find("--attach\n" + std::to_string(window_) + "\n"),
              std::string::npos)
        << halvenor::test::readFile(args);
}

TEST_F(FileDialogOverHudUnderWindowManager,
       HiddenHudStaysHiddenWhenTheDialogEndsAndComesBackAbove) {
    FileDialog dialog;
    ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud_), "");
    const Window shown = waitForDialogAboveHud(dialog);
    ASSERT_NE(shown, None);
    hud_.setVisible(false);
    ASSERT_TRUE(pumpUntil([&] { return !client_.viewable(window_); }));

    EXPECT_EQ(cancel(dialog, shown), FileDialog::Poll::Cancelled);
    // The window manager has handled the dialog's end and whatever the HUD asked then.
    ASSERT_TRUE(pumpUntil([&] { return !client_.viewable(shown); }));
    ASSERT_TRUE(platform_test::pumpUntilTheWindowManagerCaughtUp(hud_, client_));
    EXPECT_FALSE(hud_.isVisible());
    EXPECT_FALSE(client_.viewable(window_));

    hud_.show();
    EXPECT_TRUE(pumpUntil([&] { return hudOnTopAndAbove(); }));
}

// A dialog whose window never shows up (a desktop portal draws it in another process) among
// many windows on screen: frames poll it all the time, yet the HUD looks through the windows a
// few times a second, and only for the first ten seconds.
class FileDialogWindowSearch : public PrivateDisplayTest<> {};

TEST_F(FileDialogWindowSearch, LooksAFewTimesASecondForTenSecondsAtMost) {
    using Clock = std::chrono::steady_clock;
    OverlayWindow hud;
    ASSERT_EQ(hud.create("Halvenor"), "");
    std::vector<long> clients;
    for (int i = 0; i < 300; ++i)
        clients.push_back(static_cast<long>(
            XCreateSimpleWindow(client_.display(), client_.root(), 0, 0, 1, 1, 0, 0, 0)));
    client_.setItems(client_.root(), "_NET_CLIENT_LIST", XA_WINDOW, clients);
    // A look through the windows costs a request a window on the HUD's connection, however
    // busy the machine is.
    Display* const hudDisplay = platform_test::xDisplay(hud);
    const unsigned long before = XNextRequest(hudDisplay);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(hud.adoptDialogOf(1));
    const unsigned long oneLook = (XNextRequest(hudDisplay) - before) / 3;
    ASSERT_GT(oneLook, 300u);

    const halvenor::test::TempDir dir("halvenor-dialog");
    const std::filesystem::path pidFile = dir.path() / "pid";
    FileDialog dialog;
    dialog.programs = {
        standIn(dir, "zenity", "echo $$ > '" + pidFile.string() + "'\nexec sleep 30")};
    ASSERT_EQ(dialog.open("Load Resume", kFilters, &hud), "");
    const auto opened = Clock::now();
    const auto frames = [&](Clock::time_point until) {
        std::filesystem::path chosen;
        while (Clock::now() < until) {
            EXPECT_EQ(dialog.poll(chosen), FileDialog::Poll::Running);
            std::this_thread::sleep_for(16ms);
        }
    };
    // A second of frames: a look at its start and one every quarter of a second, where a look
    // every frame would be about sixty.
    const unsigned long polling = XNextRequest(hudDisplay);
    frames(opened + 1s);
    EXPECT_LE((XNextRequest(hudDisplay) - polling) / oneLook, 5u) << oneLook << " requests a look";

    // Its window appears after ten seconds: the HUD has stopped looking.
    frames(opened + 10200ms);
    const std::string pid = halvenor::test::readFile(pidFile);
    const Window late = XCreateSimpleWindow(client_.display(), client_.root(), 0, 0, 1, 1, 0, 0, 0);
    client_.setItems(late, "_NET_WM_PID", XA_CARDINAL, {std::stol(pid)});
    clients.push_back(static_cast<long>(late));
    client_.setItems(client_.root(), "_NET_CLIENT_LIST", XA_WINDOW, clients);
    frames(Clock::now() + 600ms);
    Window parent = None;
    EXPECT_FALSE(XGetTransientForHint(client_.display(), late, &parent)) << parent;
}

}  // namespace
}  // namespace morvelin
