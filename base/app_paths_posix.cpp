// The private folder and files of the app-data location, with POSIX modes: mkdir and open take
// the mode at creation, so there is no moment in which another user could open them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "base/app_paths.h"
#include "base/unique_fd.h"

namespace morvelin {

bool createPrivateFolder(const std::filesystem::path& folder) {
    if (folder.empty())
        return false;
    // Each step may fail harmlessly (it exists, or a read-only mount above it): the folder
    // itself is what counts.
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        ::mkdir(partial.c_str(), 0700);
    }
    std::error_code ec;
    return std::filesystem::is_directory(folder, ec);
}

std::FILE* openPrivateFileForWriting(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd)
        return nullptr;
    // A file left by an older version may be 0644. Not ours (another owner): the call fails
    // and the file is written as it is.
    ::fchmod(fd.get(), 0600);
    std::FILE* stream = ::fdopen(fd.get(), "w");
    if (stream)
        fd.release();
    return stream;
}

}  // namespace morvelin
