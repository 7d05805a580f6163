#pragma once

#include <filesystem>
#include <string>

namespace halvenor::test {

// A fresh directory under the system temp folder, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "halvenor-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable for the life of the object and restores the old value.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const char* value);  // nullptr unsets it
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool hadValue_ = false;
    std::string oldValue_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

}  // namespace halvenor::test
