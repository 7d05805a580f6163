// The open-file dialog as a child process. X11 has no system dialog a program can call; the
// desktop's dialog programs (zenity on GNOME-like desktops, kdialog on KDE) are what users know.
// The child writes the chosen path to its standard output and ends; the HUD reads the pipe
// without blocking each frame, so it keeps drawing and answering hotkeys meanwhile.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "base/error_text.h"
#include "platform/file_dialog.h"
#include "platform/overlay_window.h"

extern char** environ;

namespace morvelin {
namespace {

// How often, and for how long, the owner looks for the dialog's window. Each look costs one X
// round trip per window on screen; a dialog shown by another process (a desktop portal) is
// never found.
constexpr auto kWindowSearchInterval = std::chrono::milliseconds(250);
constexpr auto kWindowSearchTime = std::chrono::seconds(10);

std::string joined(const std::vector<std::string>& parts, const char* separator) {
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty())
            out += separator;
        out += part;
    }
    return out;
}

// The arguments of one dialog program, the first filter selected, the dialog belonging to the
// window `parent` unless it is 0.
std::vector<std::string> dialogArguments(const std::string& program, const std::string& title,
                                         const std::vector<FileDialog::Filter>& filters,
                                         unsigned long parent) {
    const bool kdialog = program.find("kdialog") != std::string::npos;
    std::vector<std::string> args{program};
    // zenity is not told its parent: its file selection ignores --attach, and 3.90 to 3.92
    // refuse it outright. Its window is made the HUD's once it is on screen.
    if (parent != 0) {
        if (kdialog)
            args.insert(args.end(), {"--attach", std::to_string(parent)});
        else
            args.push_back("--modal");
    }
    if (kdialog) {
        std::string filterText;
        for (const FileDialog::Filter& filter : filters) {
            if (!filterText.empty())
                filterText += '\n';
            // kdialog writes "*" where the other desktop writes "*.*".
            std::vector<std::string> patterns;
            for (const std::string& pattern : filter.patterns)
                patterns.push_back(pattern == "*.*" ? "*" : pattern);
            filterText += joined(patterns, " ") + "|" + filter.name;
        }
        args.insert(args.end(), {"--title", title, "--getopenfilename", ".", filterText});
    } else {
        args.insert(args.end(), {"--file-selection", "--title=" + title});
        for (const FileDialog::Filter& filter : filters) {
            std::vector<std::string> patterns;
            for (const std::string& pattern : filter.patterns)
                patterns.push_back(pattern == "*.*" ? "*" : pattern);
            args.push_back("--file-filter=" + filter.name + " | " + joined(patterns, " "));
        }
    }
    return args;
}

// Starts argv[0] found on PATH with standard output into outFd (closed in the parent) and
// standard input and error on /dev/null. Returns the child's pid, or -errno.
pid_t spawnWithOutput(const std::vector<std::string>& args, int outFd) {
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // Nothing else of ours goes with it: a socket the child held open would outlive our
    // close of it (a dropped speech connection would not end while the dialog is open).
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -error;
}

}  // namespace

FileDialog::~FileDialog() {
    close();
}

void FileDialog::close() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    if (outputFd_ >= 0)
        ::close(outputFd_);
    outputFd_ = -1;
    output_.clear();
    if (owner_)
        owner_->setAboveOthers(true);
    owner_ = nullptr;
    adopted_ = false;
}

std::string FileDialog::open(const std::string& title, const std::vector<Filter>& filters,
                             OverlayWindow* owner) {
    close();
    failure_.clear();
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return lastErrorMessage("pipe2");
    const unsigned long parent = owner ? owner->nativeWindowId() : 0;
    int lastError = ENOENT;
    for (const std::string& program : programs) {
        const pid_t pid =
            spawnWithOutput(dialogArguments(program, title, filters, parent), pipeFds[1]);
        if (pid > 0) {
            ::close(pipeFds[1]);
            ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);
            pid_ = pid;
            program_ = program;
            outputFd_ = pipeFds[0];
            openedAt_ = nextSearch_ = Clock::now();
            // The window manager has this long before the dialog program maps its window (it
            // starts its toolkit first), so the dialog maps above the HUD.
            if (parent != 0) {
                owner_ = owner;
                owner_->setAboveOthers(false);
            }
            return {};
        }
        lastError = -pid;
    }
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    if (lastError == ENOENT)
        return fmt::format("no file dialog program found (install {})", joined(programs, " or "));
    return describeErrno("posix_spawnp", lastError);
}

FileDialog::Poll FileDialog::poll(std::filesystem::path& chosen) {
    if (pid_ <= 0)
        return Poll::Idle;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(outputFd_, buffer, sizeof buffer);
        if (n > 0) {
            output_.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;  // EAGAIN: nothing more yet; 0: the child closed its output
    }
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == 0) {
        // zenity does not attach itself: the dialog is made the owner's here, once it is on
        // screen.
        const Clock::time_point now = Clock::now();
        if (owner_ && !adopted_ && now >= nextSearch_ && now - openedAt_ < kWindowSearchTime) {
            nextSearch_ = now + kWindowSearchInterval;
            adopted_ = owner_->adoptDialogOf(pid_);
        }
        return Poll::Running;
    }
    const int waitError = errno;
    // Ended: take what is left in the pipe, then the first line is the path.
    for (;;) {
        const ssize_t n = ::read(outputFd_, buffer, sizeof buffer);
        if (n > 0)
            output_.append(buffer, static_cast<std::size_t>(n));
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    std::string path = output_.substr(0, output_.find('\n'));
    const std::string name = std::filesystem::path(program_).filename().string();
    pid_ = -1;
    close();
    const bool exited = done > 0 && WIFEXITED(status);
    if (exited && WEXITSTATUS(status) == 0 && !path.empty()) {
        chosen = std::filesystem::path(path);
        return Poll::Chosen;
    }
    if (exited && WEXITSTATUS(status) <= 1)
        return Poll::Cancelled;
    if (exited)
        failure_ = fmt::format("{} ended with status {}", name, WEXITSTATUS(status));
    else if (done > 0 && WIFSIGNALED(status))
        failure_ = fmt::format("{} ended by signal {}", name, WTERMSIG(status));
    else
        failure_ = describeErrno(fmt::format("waitpid {}", name), waitError);
    return Poll::Failed;
}

std::string openWithDefaultApp(const std::filesystem::path& file) {
    // The shell puts xdg-open in the background and ends at once, so the program is not ours
    // to wait for; only the short-lived shell is reaped here.
    const pid_t pid = spawnWithOutput(
        {"/bin/sh", "-c", "xdg-open \"$1\" >/dev/null 2>&1 &", "sh", file.string()}, -1);
    if (pid < 0)
        return describeErrno("posix_spawn xdg-open", -pid);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {};
}

}  // namespace morvelin
