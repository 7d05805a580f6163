// Reading and writing the settings file with POSIX calls.
// A save must never leave a half-written settings file behind: the text goes to a ".tmp"
// sibling, is flushed and fsync'ed, then rename() replaces the old file atomically and the
// folder is fsync'ed so the new name survives a power cut. An unparsable file is renamed aside
// (copied and removed when rename cannot cross file systems) instead of being overwritten, and
// never over a copy set aside earlier: each may be the only trace of the user's texts.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

#include <nlohmann/json.hpp>

#include "base/app_paths.h"
#include "base/error_text.h"
#include "base/unique_fd.h"
#include "ui/settings.h"

namespace morvelin {
namespace {

namespace fs = std::filesystem;

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
    const UniqueFd dir(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
}

enum class MoveResult { Moved, Taken, Failed };

// Moves `from` to `to` unless `to` exists; Taken when it does. renameat2 refuses atomically;
// file systems without RENAME_NOREPLACE fall back to link-and-unlink, then to a checked rename.
MoveResult moveUnlessTaken(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return MoveResult::Moved;
    if (errno == EEXIST)
        return MoveResult::Taken;
    if (errno == EXDEV) {
        // A bind-mounted settings file: copy, never over an existing file, then remove.
        std::error_code ec;
        if (fs::exists(fs::symlink_status(to, ec)))
            return MoveResult::Taken;
        if (!fs::copy_file(from, to, fs::copy_options::none, ec))
            return ec == std::errc::file_exists ? MoveResult::Taken : MoveResult::Failed;
        fs::remove(from, ec);
        return MoveResult::Moved;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return MoveResult::Failed;
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return MoveResult::Moved;
    }
    if (errno == EEXIST)
        return MoveResult::Taken;
    std::error_code ec;
    if (fs::exists(fs::symlink_status(to, ec)))
        return MoveResult::Taken;
    return ::rename(from.c_str(), to.c_str()) == 0 ? MoveResult::Moved : MoveResult::Failed;
}

// Sets an unparsable settings file aside as "<name>.corrupt", or "<name>.corrupt.1", ".2", ...
// when earlier copies hold those names. Returns the new path, empty when it could not be moved.
fs::path setAside(const fs::path& path) {
    // Far more broken files than anyone keeps; the bound only keeps a failing loop finite.
    constexpr int kMaxCopies = 1000;
    const fs::path first = withSuffix(path, ".corrupt");
    for (int number = 0; number <= kMaxCopies; ++number) {
        const fs::path target =
            number == 0 ? first : withSuffix(first, "." + std::to_string(number));
        switch (moveUnlessTaken(path, target)) {
            case MoveResult::Moved:
                return target;
            case MoveResult::Failed:
                return {};
            case MoveResult::Taken:
                break;
        }
    }
    return {};
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
        const fs::path corrupt = setAside(path);
        if (!corrupt.empty())
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
    createPrivateFolder(path.parent_path());  // a failure shows up at the open below

    const fs::path tmp = withSuffix(path, ".tmp");
    // 0600: the file holds the user's resume and notes.
    UniqueFd file(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!file)
        return "cannot write " + tmp.string();
    const bool written = writeAll(file.get(), text) && ::fsync(file.get()) == 0;
    // Closed here, not by the owner: a close can surface a deferred write error.
    if (::close(file.release()) != 0 || !written)
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
