#pragma once
// Child processes for tests: real servers (Xvfb, PulseAudio) and command-line tools
// (xdotool, pactl, paplay). Every child is stopped by its PID, never by name, and is killed
// when the thread that started it ends: start children from the test's main thread.

#include <sys/types.h>
#include <chrono>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halvenor::test {

struct SpawnOptions {
    std::map<std::string, std::string> env;  // added to (or replacing in) the current environment
    bool captureStdout = false;              // read it with Subprocess::readStdout
    bool quiet = false;                      // send stdout and stderr to /dev/null
    std::vector<int> inheritFds;             // descriptors kept open in the child
};

class Subprocess {
public:
    Subprocess() = default;
    // Starts argv[0] (looked up in PATH). Throws std::runtime_error when it cannot be started.
    explicit Subprocess(const std::vector<std::string>& argv, const SpawnOptions& options = {});
    ~Subprocess();
    Subprocess(Subprocess&& other) noexcept;
    Subprocess& operator=(Subprocess&& other) noexcept;

    pid_t pid() const { return pid_; }
    bool running();
    // Sends the signal (SIGTERM by default) and waits up to the timeout, then SIGKILL.
    // Returns the exit status as waitpid reports it, or nullopt when there was no child.
    std::optional<int> stop(int signal = 15,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the child to exit; returns its exit code (128+signal when killed), or
    // nullopt on timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Everything the child wrote to stdout so far (captureStdout only); waits up to the
    // timeout for at least one byte or end of file.
    std::string readStdout(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::optional<int> exitCode_;
};

struct CommandResult {
    int exitCode = -1;   // -1 when it timed out
    std::string output;  // stdout
};

// Runs a command to its end and returns its exit code and stdout.
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         const std::map<std::string, std::string>& env = {});

// Polls the predicate every few milliseconds until it holds or the timeout passes.
template <typename Predicate>
bool waitUntil(Predicate&& predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (predicate())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        struct timespec ts {
            0, 5'000'000
        };
        nanosleep(&ts, nullptr);
    }
}

bool commandExists(const std::string& name);

// A field of /proc/{pid}/{file} ("Anonymous" of "smaps_rollup", say) as its leading number
// (kB for the memory fields); -1 when the process, the file or the field is not there.
long procField(pid_t pid, const std::string& file, const std::string& field);

// A field of /proc/{pid}/status ("VmRSS", "VmHWM", "Threads").
inline long procStatus(pid_t pid, const std::string& field) {
    return procField(pid, "status", field);
}

// How far this process's resident size peaks above where it stood at construction: the peak
// (VmHWM) is reset then, so what comes after is measured on its own.
class PeakResidentGrowth {
public:
    PeakResidentGrowth();
    // In kB. The reset can land below the reading taken before it (memory returned in
    // between), which counts as no growth.
    long kb() const;

private:
    long before_;
};

}  // namespace halvenor::test
