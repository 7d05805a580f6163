#include "base/session_log.h"

#include "base/app_paths.h"

namespace morvelin {

Logger& Logger::instance() {
    static Logger logger(appDataFolder());
    return logger;
}

Logger::Logger(const std::filesystem::path& folder) : start_(std::chrono::steady_clock::now()) {
    if (folder.empty())
        return;
    createPrivateFolder(folder);  // a failure shows up at the open below
    path_ = folder / "session.log";
    file_ = openPrivateFileForWriting(path_);
}

Logger::~Logger() {
    if (file_)
        std::fclose(file_);
}

void Logger::write(std::string_view message) {
    std::lock_guard lock(mutex_);
    if (!file_)
        return;
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const double seconds =
        static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()) /
        1e9;
    std::fprintf(file_, "[%9.3f] %.*s\n", seconds, static_cast<int>(message.size()),
                 message.data());
    std::fflush(file_);
}

}  // namespace morvelin
