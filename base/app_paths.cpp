#include "base/app_paths.h"

#include <cstdlib>

namespace morvelin {
namespace {

const char* nonEmptyEnv(const char* name) {
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

}  // namespace

std::filesystem::path appDataFolder() {
    constexpr const char* kFolder = "MorvelinDesk";
    if (const char* base = nonEmptyEnv("LOCALAPPDATA"))
        return std::filesystem::path(base) / kFolder;
    if (const char* base = nonEmptyEnv("XDG_DATA_HOME"))
        return std::filesystem::path(base) / kFolder;
    if (const char* home = nonEmptyEnv("HOME"))
        return std::filesystem::path(home) / ".local" / "share" / kFolder;
    return {};
}

}  // namespace morvelin
