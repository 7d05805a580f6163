// Reading and writing the settings file with POSIX calls.
// A save must never leave a half-written settings file behind: the text goes to a ".tmp"
// sibling, is flushed and fsync'ed, then rename() replaces the old file atomically and the
// folder is fsync'ed so the new name survives a power cut. An unparsable file is renamed aside
// (copied and removed when rename cannot cross file systems) instead of being overwritten.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "base/app_paths.h"
#include "base/error_text.h"
#include "ui/settings.h"

namespace morvelin {
namespace {

namespace fs = std::filesystem;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports whether the close (which can surface a deferred write error)
    // succeeded.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    int fd_;
};

fs::path withSuffix(const fs::path& path, std::string_view suffix) {
    fs::path result = path;
    result += suffix;
    return result;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void syncFolder(const fs::path& folder) {
    FileDescriptor dir(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

// Replaces `to` with `from`; across file systems by copying and removing the original.
bool moveReplacing(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    std::error_code ec;
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec))
        return false;
    fs::remove(from, ec);
    return true;
}

// False when the file cannot be opened or read.
bool readWholeFile(const fs::path& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

fs::path settingsFilePath() {
    const fs::path folder = appDataFolder();
    if (folder.empty())
        return {};
    return folder / "settings.json";
}

int loadSettingsFile(const fs::path& path, Settings& out, std::string& error) {
    if (path.empty())
        return kSettingsNothingToLoad;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status))
        return kSettingsNothingToLoad;

    // Only a regular file is read: a folder or device by that name is reported, never moved
    // aside as if it were a broken settings file.
    std::string bytes;
    if (!fs::is_regular_file(status) || !readWholeFile(path, bytes)) {
        error = "cannot open " + path.string();
        return kSettingsLoadFailed;
    }

    const nlohmann::json parsed = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false,
                                                        /*ignore_comments=*/false);
    if (!parsed.is_object()) {
        const fs::path corrupt = withSuffix(path, ".corrupt");
        if (moveReplacing(path, corrupt))
            error = "settings file is not valid JSON; kept as " + corrupt.filename().string();
        else
            error = "settings file is not valid JSON (and could not be moved aside)";
        return kSettingsLoadFailed;
    }

    out = settingsFromJson(parsed);
    return kSettingsLoaded;
}

std::string saveSettingsFile(const fs::path& path, const Settings& settings) {
    if (path.empty())
        return "no settings location (LOCALAPPDATA is not set)";
    const std::string text = settingsToJsonText(settings);

    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);  // a failure shows up at the open below

    const fs::path tmp = withSuffix(path, ".tmp");
    // 0600: the file holds the user's resume and notes.
    FileDescriptor file(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!file)
        return "cannot write " + tmp.string();
    const bool written = writeAll(file.get(), text) && ::fsync(file.get()) == 0;
    if (!file.close() || !written)
        return "write failed (disk full?) for " + tmp.string();

    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        std::string failure = lastErrorMessage("rename");
        fs::remove(tmp, ec);
        return failure;
    }
    syncFolder(path.parent_path());
    return {};
}

}  // namespace morvelin
