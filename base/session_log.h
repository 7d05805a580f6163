#pragma once
// The process-wide session log: one short line per event, flushed at once so the file is
// complete even after a crash. Any thread may write; the mutex is a leaf lock.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

namespace morvelin {

class Logger {
public:
    // The one logger of the process, writing to "session.log" in the app-data folder
    // (see appDataFolder); logging is off when there is no such folder.
    static Logger& instance();

    // A logger writing to folder/"session.log", truncated. The folder is created with its
    // parents (new ones 0700) and the file is the user's alone (0600): it holds the
    // interview's transcript. An empty folder, or one that cannot be created or opened,
    // leaves logging off.
    explicit Logger(const std::filesystem::path& folder);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Appends "[%9.3f] message\n" (seconds since the logger was created) and flushes.
    void write(std::string_view message);

    // The log file's full path; empty when logging is off because there is no location.
    const std::filesystem::path& path() const { return path_; }
    bool enabled() const { return file_ != nullptr; }

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::filesystem::path path_;
    std::chrono::steady_clock::time_point start_;
};

// Formats with "{}" placeholders before the lock is taken, then writes one line.
template <typename... Args>
void log(fmt::format_string<Args...> format, Args&&... args) {
    Logger::instance().write(fmt::format(format, std::forward<Args>(args)...));
}

}  // namespace morvelin
