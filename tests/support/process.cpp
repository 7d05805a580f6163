#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace halvenor::test {
namespace {

int decodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv, const SpawnOptions& options) {
    if (argv.empty())
        throw std::runtime_error("Subprocess: empty command");
    int pipeFds[2] = {-1, -1};
    if (options.captureStdout && pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("Subprocess: pipe failed");
    // An exec failure is reported through this close-on-exec pipe.
    int errorPipe[2];
    if (pipe2(errorPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("Subprocess: pipe failed");

    // Sanitizer builds: a child of the same build may get options of its own
    // (HALVENOR_CHILD_ASAN_OPTIONS; scripts/test.sh turns leak checks off there, because
    // LeakSanitizer's thread-stopping at exit can crash among Mesa's exiting threads, and
    // the in-process suites check leaks already).
    std::map<std::string, std::string> env = options.env;
    if (const char* childAsan = getenv("HALVENOR_CHILD_ASAN_OPTIONS");
        childAsan && !env.count("ASAN_OPTIONS"))
        env["ASAN_OPTIONS"] = childAsan;
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        const auto name = entry.substr(0, entry.find('='));
        if (!env.count(name))
            envStrings.push_back(std::move(entry));
    }
    for (const auto& [name, value] : env)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args)
        argp.push_back(s.data());
    argp.push_back(nullptr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("Subprocess: fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        // A test process that dies (a crash, a timeout kill) takes its servers with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        if (options.captureStdout)
            dup2(pipeFds[1], 1);
        if (options.quiet) {
            const int devnull = open("/dev/null", O_WRONLY);
            if (!options.captureStdout)
                dup2(devnull, 1);
            dup2(devnull, 2);
        }
        for (int fd : options.inheritFds) {
            const int flags = fcntl(fd, F_GETFD);
            if (flags >= 0)
                fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        environ = envp.data();
        execvp(argp[0], argp.data());
        const int error = errno;
        [[maybe_unused]] auto n = write(errorPipe[1], &error, sizeof error);
        _exit(127);
    }
    pid_ = pid;
    close(errorPipe[1]);
    int childError = 0;
    const auto n = read(errorPipe[0], &childError, sizeof childError);
    close(errorPipe[0]);
    if (options.captureStdout) {
        close(pipeFds[1]);
        stdoutFd_ = pipeFds[0];
    }
    if (n == sizeof childError) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        if (stdoutFd_ >= 0)
            close(stdoutFd_);
        stdoutFd_ = -1;
        throw std::runtime_error("Subprocess: cannot start " + argv[0] + ": " +
                                 std::strerror(childError));
    }
}

Subprocess::~Subprocess() {
    stop();
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
}

Subprocess::Subprocess(Subprocess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      stdoutFd_(std::exchange(other.stdoutFd_, -1)),
      exitCode_(other.exitCode_) {}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
    if (this != &other) {
        stop();
        if (stdoutFd_ >= 0)
            close(stdoutFd_);
        pid_ = std::exchange(other.pid_, -1);
        stdoutFd_ = std::exchange(other.stdoutFd_, -1);
        exitCode_ = other.exitCode_;
    }
    return *this;
}

bool Subprocess::running() {
    if (pid_ < 0 || exitCode_)
        return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exitCode_ = decodeStatus(status);
        return false;
    }
    return r == 0;
}

std::optional<int> Subprocess::wait(std::chrono::milliseconds timeout) {
    if (pid_ < 0)
        return exitCode_;
    const bool ended = waitUntil([&] { return !running(); }, timeout);
    if (!ended)
        return std::nullopt;
    return exitCode_;
}

std::optional<int> Subprocess::stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ < 0)
        return std::nullopt;
    if (running()) {
        kill(pid_, signal);
        if (!wait(timeout)) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            exitCode_ = decodeStatus(status);
        }
    }
    pid_ = -1;
    return exitCode_;
}

std::string Subprocess::readStdout(std::chrono::milliseconds timeout) {
    std::string out;
    if (stdoutFd_ < 0)
        return out;
    struct pollfd pfd {
        stdoutFd_, POLLIN, 0
    };
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return out;
    char buffer[4096];
    while (true) {
        const auto n = read(stdoutFd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
        pfd.revents = 0;
        if (poll(&pfd, 1, 0) <= 0 || !(pfd.revents & POLLIN))
            break;
    }
    return out;
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& env) {
    SpawnOptions options;
    options.env = env;
    options.captureStdout = true;
    Subprocess child(argv, options);
    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            child.stop(SIGKILL);
            result.exitCode = -1;
            return result;
        }
        const std::string chunk = child.readStdout(std::min(left, std::chrono::milliseconds(50)));
        result.output += chunk;
        if (chunk.empty() && !child.running()) {
            result.output += child.readStdout(std::chrono::milliseconds(0));
            result.exitCode = child.wait(std::chrono::milliseconds(0)).value_or(-1);
            return result;
        }
    }
}

bool commandExists(const std::string& name) {
    return runCommand({"sh", "-c", "command -v " + name + " >/dev/null 2>&1"}).exitCode == 0;
}

long procField(pid_t pid, const std::string& file, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

PeakResidentGrowth::PeakResidentGrowth() {
    std::ofstream("/proc/self/clear_refs") << "5";
    before_ = procStatus(getpid(), "VmRSS");
}

long PeakResidentGrowth::kb() const {
    return std::max(procStatus(getpid(), "VmHWM"), before_) - before_;
}

}  // namespace halvenor::test
