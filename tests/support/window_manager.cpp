#include "tests/support/window_manager.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include "tests/support/x11_test_client.h"

namespace halvenor::test {
namespace {

using namespace std::chrono_literals;

// How to run one window manager. In every text "{folder}" stands for the window manager's own
// folder, which holds home/, config/, data/, cache/ and runtime/ beside its configuration.
struct Kind {
    std::string name;
    std::vector<std::string> command;
    // Written below the folder before the start; a name ending in '/' is a folder.
    std::vector<std::pair<std::string, std::string>> files{};
    std::map<std::string, std::string> env{};
    bool wantsBus = false;
    std::chrono::milliseconds startLimit = 10s;
    bool publishesWholeWorkArea = true;
    // What scripts/install-deps.sh installs for it, named when the program is missing.
    std::string packages{};
};

// fluxbox's mouse bindings from Debian's default keys file, and none of its keys.
constexpr const char* kFluxboxKeys = R"(OnDesktop Mouse1 :HideMenus
OnTitlebar Mouse1 :MacroCmd {Raise} {Focus} {ActivateTab}
OnTitlebar Move1 :StartMoving
OnLeftGrip Move1 :StartResizing bottomleft
OnRightGrip Move1 :StartResizing bottomright
OnWindowBorder Move1 :StartMoving
)";

// One floating desktop, no bar, a click focuses and raises.
constexpr const char* kAwesomeRc = R"(local awful = require("awful")
require("awful.autofocus")
awful.layout.layouts = { awful.layout.suit.floating }
awful.screen.connect_for_each_screen(function(s)
    awful.tag({ "1" }, s, awful.layout.suit.floating)
end)
awful.rules.rules = {
    { rule = { }, properties = { focus = awful.client.focus.filter, raise = true,
        buttons = awful.button({ }, 1, function(c)
            c:emit_signal("request::activate", "mouse_click", { raise = true })
        end) } },
}
)";

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> table = {
        {.name = "openbox", .command = {"openbox", "--sm-disable"}, .packages = "openbox"},
        {.name = "fluxbox",
         .command = {"fluxbox", "-rc", "{folder}/fluxbox/init"},
         .files =
             {// Without ~/.fluxbox, fluxbox copies its default init over the -rc file.
              {"home/.fluxbox/", ""},
              // An init of an older version is rewritten by fluxbox-update_configs. Debian's
              // style sets a wallpaper through fbsetbg, which fails under Xvfb into an xmessage
              // that outlives the window manager: the overlay sets none.
              {"fluxbox/init",
               "session.configVersion: 13\n"
               "session.screen0.toolbar.visible: false\n"
               "session.keyFile: {folder}/fluxbox/keys\n"
               "session.menuFile: {folder}/fluxbox/menu\n"
               "session.appsFile: {folder}/fluxbox/apps\n"
               "session.slitlistFile: {folder}/fluxbox/slitlist\n"
               "session.styleOverlay: {folder}/fluxbox/overlay\n"},
              {"fluxbox/keys", kFluxboxKeys},
              {"fluxbox/menu", ""},
              {"fluxbox/apps", ""},
              {"fluxbox/slitlist", ""},
              {"fluxbox/overlay", "background: none\n"}},
         // It reads some 270 events as it starts: 8 s when each is 30 ms late.
         .startLimit = 20s,
         .packages = "fluxbox"},
        {.name = "icewm",
         .command = {"icewm"},
         .files = {{"icewm/preferences", "ShowTaskBar=0\n"}},
         .env = {{"ICEWM_PRIVCFG", "{folder}/icewm"}},
         .publishesWholeWorkArea = false,
         .packages = "icewm"},
        {.name = "awesome",
         .command = {"awesome", "-c", "{folder}/awesome/rc.lua"},
         .files = {{"awesome/rc.lua", kAwesomeRc}},
         .publishesWholeWorkArea = false,
         .packages = "awesome"},
        {.name = "mutter",
         .command = {"mutter", "--x11", "--sm-disable"},
         .env = {{"GSETTINGS_BACKEND", "memory"}},
         .wantsBus = true,
         .startLimit = 20s,
         .packages = "mutter dbus-daemon"},
        {.name = "xfwm4",
         .command = {"xfwm4", "--sm-client-disable"},
         .wantsBus = true,
         .packages = "xfwm4 dbus-daemon"},
        {.name = "metacity",
         .command = {"metacity", "--sm-disable"},
         .env = {{"GSETTINGS_BACKEND", "memory"}},
         .wantsBus = true,
         .packages = "metacity dbus-daemon"},
        {.name = "marco",
         .command = {"marco", "--sm-disable"},
         .env = {{"GSETTINGS_BACKEND", "memory"}},
         .wantsBus = true,
         .packages = "marco mate-settings-daemon-common dbus-daemon"},
        {.name = "kwin_x11",
         .command = {"kwin_x11"},
         .env = {{"QT_QPA_PLATFORM", "xcb"}},
         .wantsBus = true,
         .startLimit = 20s,
         .publishesWholeWorkArea = false,
         .packages = "kwin-x11 dbus-daemon"},
        // Every window floats where it asks to be, as on a stacking desktop.
        {.name = "i3",
         .command = {"i3", "-c", "{folder}/i3/config"},
         .files = {{"i3/config",
                    "# i3 config file (v4)\n"
                    "font pango:monospace 8\n"
                    "for_window [class=\".*\"] floating enable\n"
                    "focus_follows_mouse no\n"}},
         .publishesWholeWorkArea = false,
         .packages = "i3-wm"},
    };
    return table;
}

std::string placed(std::string text, const std::string& folder) {
    const std::string mark = "{folder}";
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
        text.replace(at, mark.size(), folder);
    return text;
}

std::string knownNames() {
    std::string names;
    for (const auto& kind : kinds())
        names += (names.empty() ? "" : ", ") + kind.name;
    return names;
}

// Selecting with `ctest -R WindowManager` must run every test that starts one.
void requireTheNameSaysSo() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (!test)
        return;
    const std::string name = std::string(test->test_suite_name()) + "." + test->name();
    if (name.find("WindowManager") == std::string::npos)
        throw std::runtime_error(name +
                                 " starts a window manager, so its suite or test name must hold "
                                 "\"WindowManager\" (ctest -R WindowManager selects those tests)");
}

// The bus answers once it takes a connection and this user's EXTERNAL authentication.
bool busAnswers(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bool answers = false;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        std::string uidHex;
        for (const char digit : std::to_string(getuid())) {
            static constexpr char kHex[] = "0123456789abcdef";
            uidHex += kHex[static_cast<unsigned char>(digit) >> 4];
            uidHex += kHex[static_cast<unsigned char>(digit) & 0xF];
        }
        const std::string hello = std::string(1, '\0') + "AUTH EXTERNAL " + uidHex + "\r\n";
        char reply[2] = {};
        pollfd pfd{fd, POLLIN, 0};
        answers = send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) ==
                      static_cast<ssize_t>(hello.size()) &&
                  poll(&pfd, 1, 1000) == 1 && read(fd, reply, 2) == 2 && reply[0] == 'O' &&
                  reply[1] == 'K';
    }
    close(fd);
    return answers;
}

}  // namespace

std::vector<std::string> knownWindowManagers() {
    std::vector<std::string> names;
    for (const auto& kind : kinds())
        names.push_back(kind.name);
    return names;
}

std::string windowManagerName() {
    const char* name = std::getenv("HALVENOR_TEST_WM");
    return name && *name ? name : kinds().front().name;
}

WindowManager::WindowManager(const std::string& name, const std::string& display, long delayMs)
    : name_(name) {
    requireTheNameSaysSo();
    const Kind* kind = nullptr;
    for (const auto& candidate : kinds())
        if (candidate.name == name)
            kind = &candidate;
    if (!kind)
        throw std::runtime_error("HALVENOR_TEST_WM=" + name +
                                 " names no window manager the tests know; they know " +
                                 knownNames());
    startLimit_ = kind->startLimit;
    publishesWholeWorkArea_ = kind->publishesWholeWorkArea;

    folder_ = std::make_unique<TempDir>("halvenor-wm");
    const std::string folder = folder_->path().string();
    for (const char* sub : {"home", "config", "data", "cache", "runtime"})
        std::filesystem::create_directory(folder_->path() / sub);
    // The runtime folder must be the user's alone, or GLib and D-Bus refuse it.
    chmod((folder_->path() / "runtime").c_str(), 0700);
    for (const auto& [file, contents] : kind->files) {
        const auto path = folder_->path() / file;
        if (file.ends_with('/')) {
            std::filesystem::create_directories(path);
            continue;
        }
        std::filesystem::create_directories(path.parent_path());
        writeFile(path, placed(contents, folder));
    }

    SpawnOptions options;
    options.quiet = true;
    options.env = {{"DISPLAY", display},
                   {"HOME", folder + "/home"},
                   {"XDG_CONFIG_HOME", folder + "/config"},
                   {"XDG_DATA_HOME", folder + "/data"},
                   {"XDG_CACHE_HOME", folder + "/cache"},
                   {"XDG_RUNTIME_DIR", folder + "/runtime"},
                   // A GTK window manager started from a Wayland session would draw there.
                   {"GDK_BACKEND", "x11"},
                   // GTK's accessibility bridge has the bus start an accessibility bus and
                   // registry of their own, for nobody.
                   {"NO_AT_BRIDGE", "1"},
                   // Without an address, a program that wants the bus launches one of its own
                   // that outlives the test; those that want none are given one nobody serves.
                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + folder + "/no-bus"}};
    for (const auto& [variable, value] : kind->env)
        options.env[variable] = placed(value, folder);
    if (kind->wantsBus) {
        const std::string socket = folder + "/bus";
        options.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + socket;
        // Services the bus starts on request (xfconfd, kglobalaccel) keep to the same folders.
        bus_ = Subprocess({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + socket},
                          options);
        if (!waitUntil([&] { return busAnswers(socket); }, startLimit_))
            throw std::runtime_error(name + ": its session bus did not answer on " + socket);
    }
    if (delayMs > 0) {
        options.env["LD_PRELOAD"] = HALVENOR_LATE_WINDOW_MANAGER;
        options.env["HALVENOR_TEST_WM_DELAY_MS"] = std::to_string(delayMs);
    }
    std::vector<std::string> command;
    for (const auto& argument : kind->command)
        command.push_back(placed(argument, folder));
    try {
        process_ = Subprocess(command, options);
    } catch (const std::runtime_error& error) {
        throw std::runtime_error(std::string(error.what()) + " (HALVENOR_TEST_WM=" + name +
                                 " ./scripts/install-deps.sh installs " + kind->packages + ")");
    }
}

WindowManager::~WindowManager() {
    stop();
}

WindowManager& WindowManager::operator=(WindowManager&& other) noexcept {
    if (this != &other) {
        stop();
        name_ = std::move(other.name_);
        startLimit_ = other.startLimit_;
        publishesWholeWorkArea_ = other.publishesWholeWorkArea_;
        process_ = std::move(other.process_);
        bus_ = std::move(other.bus_);
        folder_ = std::move(other.folder_);
    }
    return *this;
}

void WindowManager::stop() {
    // Killed outright: nothing it would save on SIGTERM is wanted, and fluxbox 1.3.5 calls
    // Xlib from its SIGTERM handler, which deadlocks when the signal lands inside Xlib.
    process_.stop(SIGKILL);
    bus_.stop();
    folder_.reset();
}

long windowManagerDelayMs() {
    const char* text = std::getenv("HALVENOR_TEST_WM_DELAY_MS");
    return text ? std::max(0L, std::strtol(text, nullptr, 10)) : 0;
}

WindowManager startWindowManager(const std::string& display, WindowManagerReady ready,
                                 long delayMs) {
    WindowManager windowManager(windowManagerName(), display, delayMs);
    const std::string& name = windowManager.name();
    const auto limit = windowManager.startLimit();
    const auto rootHas = [&](const char* property, const char* text) {
        return waitUntil(
            [&] {
                if (!windowManager.running())
                    throw std::runtime_error(name + " on " + display + " exited while starting");
                return runCommand({"xprop", "-display", display, "-root", property})
                           .output.find(text) != std::string::npos;
            },
            limit);
    };
    if (!rootHas("_NET_SUPPORTING_WM_CHECK", "window id"))
        throw std::runtime_error(name + " on " + display + " did not announce itself");
    if (ready == WindowManagerReady::WorkAreaPublished && windowManager.publishesWholeWorkArea() &&
        !rootHas("_NET_WORKAREA", " = "))
        throw std::runtime_error(name + " on " + display + " did not publish _NET_WORKAREA");

    // A window manager may announce itself before it takes the root window's map requests
    // over (openbox and mutter do): a window mapped in between is mapped as it is and taken
    // over later, reparented, which loses its focus. Ready means a probe window is mapped by
    // the window manager, which marks its clients with WM_STATE.
    X11TestClient client(display);
    Display* connection = client.display();
    const Window probe = XCreateSimpleWindow(connection, client.root(), 0, 0, 10, 10, 0, 0, 0);
    const auto managed = [&] {
        return client.viewable(probe) && !client.items(probe, "WM_STATE").empty();
    };
    const bool maps = waitUntil(
        [&] {
            // Mapped as it was and not taken over within the last look: ask again.
            if (client.viewable(probe))
                XUnmapWindow(connection, probe);
            XMapWindow(connection, probe);
            XSync(connection, False);
            return waitUntil(managed, 200ms);
        },
        limit);
    XDestroyWindow(connection, probe);
    XSync(connection, False);
    if (!maps)
        throw std::runtime_error(name + " on " + display + " does not map windows");
    // What it does once the probe is gone (mutter gives the focus elsewhere) must not land on
    // the test's first window.
    if (!client.syncWithWindowManager(limit))
        throw std::runtime_error(name + " on " + display + " did not let the probe go");
    return windowManager;
}

}  // namespace halvenor::test
