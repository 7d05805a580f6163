#include "base/session_log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "base/app_paths.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

using halvenor::test::readFile;
using halvenor::test::ScopedEnv;
using halvenor::test::TempDir;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST(SessionLog, WritesTimestampedLinesAndFlushesEachOne) {
    TempDir dir;
    Logger logger(dir / "MorvelinDesk");
    ASSERT_TRUE(logger.enabled());
    EXPECT_EQ(logger.path(), dir / "MorvelinDesk" / "session.log");

    logger.write("audio 0 capturing from \"speakers\"");
    // Flushed per line: readable before the logger goes away.
    const auto text = readFile(logger.path());
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\[ {4}0\.\d{3}\] audio 0 capturing from "speakers"\n)")))
        << text;
}

TEST(SessionLog, EmptyMessageWritesPrefixAndNewline) {
    TempDir dir;
    Logger logger(dir.path());
    logger.write("");
    EXPECT_TRUE(std::regex_match(readFile(logger.path()), std::regex(R"(\[ {4}0\.\d{3}\] \n)")));
}

TEST(SessionLog, SecondsAreRightAlignedInNineCharacters) {
    TempDir dir;
    Logger logger(dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    logger.write("later");
    const auto text = readFile(logger.path());
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\[ {4}1\.\d{3}\] later\n)"))) << text;
}

TEST(SessionLog, MessageWithBracesAndPercentIsWrittenVerbatim) {
    TempDir dir;
    Logger logger(dir.path());
    const std::string message("a{}b %s %d 100%");
    logger.write(message);
    const auto text = readFile(logger.path());
    EXPECT_EQ(text.substr(12), message + "\n");
}

TEST(SessionLog, NewLoggerTruncatesThePreviousSession) {
    TempDir dir;
    {
        Logger first(dir.path());
        first.write("first session line");
    }
    Logger second(dir.path());
    second.write("second");
    const auto all = lines(readFile(second.path()));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].find("second"), std::string::npos);
}

TEST(SessionLog, NoLocationMeansNoFileAndNoPath) {
    Logger logger{std::filesystem::path()};
    EXPECT_FALSE(logger.enabled());
    EXPECT_TRUE(logger.path().empty());
    logger.write("dropped");  // a no-op, not a crash
}

TEST(SessionLog, UncreatableFolderLeavesLoggingOff) {
    TempDir dir;
    halvenor::test::writeFile(dir / "plain-file", "x");
    Logger logger(dir / "plain-file" / "MorvelinDesk");
    EXPECT_FALSE(logger.enabled());
    logger.write("dropped");
}

TEST(SessionLog, ConcurrentWritersProduceWholeLines) {
    TempDir dir;
    Logger logger(dir.path());
    constexpr int kThreads = 8;
    constexpr int kLines = 500;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t] {
                const std::string payload(40 + t, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i)
                    logger.write(payload);
            });
        }
    }
    const auto all = lines(readFile(logger.path()));
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex whole(R"(\[ *\d+\.\d{3}\] ([a-h])\1*)");
    std::smatch m;
    for (const auto& line : all) {
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        const int t = m[1].str()[0] - 'a';
        EXPECT_EQ(line.size() - line.find("] ") - 2, static_cast<std::size_t>(40 + t));
    }
}

// "0700" and the like.
std::string modeOf(const std::filesystem::path& path) {
    const auto mode = std::filesystem::status(path).permissions() & std::filesystem::perms::all;
    return fmt::format("{:04o}", static_cast<unsigned>(mode));
}

// The log holds the interview's transcript: nobody but the user may read it, whatever the
// umask says.
TEST(SessionLog, NewFoldersAndTheLogAreTheUsersAlone) {
    TempDir dir;
    const mode_t oldMask = umask(0);
    Logger logger(dir / "data" / "MorvelinDesk");
    umask(oldMask);
    ASSERT_TRUE(logger.enabled());
    EXPECT_EQ(modeOf(dir / "data"), "0700");
    EXPECT_EQ(modeOf(dir / "data" / "MorvelinDesk"), "0700");
    EXPECT_EQ(modeOf(logger.path()), "0600");
}

TEST(SessionLog, ExistingLogIsTightenedAndAnExistingFolderKeepsItsMode) {
    using std::filesystem::perms;
    TempDir dir;
    const auto folder = dir / "MorvelinDesk";
    std::filesystem::create_directory(folder);
    std::filesystem::permissions(folder, perms::owner_all | perms::group_read | perms::group_exec);
    halvenor::test::writeFile(folder / "session.log", "last session\n");
    std::filesystem::permissions(folder / "session.log", perms::all);
    Logger logger(folder);
    ASSERT_TRUE(logger.enabled());
    EXPECT_EQ(modeOf(folder), "0750");
    EXPECT_EQ(modeOf(logger.path()), "0600");
    EXPECT_EQ(readFile(logger.path()), "");  // still truncated
}

TEST(AppDataFolder, PrefersLocalAppDataThenXdgThenHome) {
    ScopedEnv local("LOCALAPPDATA", "/tmp/lad");
    ScopedEnv xdg("XDG_DATA_HOME", "/tmp/xdg");
    ScopedEnv home("HOME", "/tmp/home");
    EXPECT_EQ(appDataFolder(), std::filesystem::path("/tmp/lad/MorvelinDesk"));
    {
        ScopedEnv unset("LOCALAPPDATA", nullptr);
        EXPECT_EQ(appDataFolder(), std::filesystem::path("/tmp/xdg/MorvelinDesk"));
        ScopedEnv emptyXdg("XDG_DATA_HOME", "");
        EXPECT_EQ(appDataFolder(), std::filesystem::path("/tmp/home/.local/share/MorvelinDesk"));
        ScopedEnv noHome("HOME", nullptr);
        EXPECT_TRUE(appDataFolder().empty());
    }
}

// The process-wide logger, seen from a fresh process as the program would start.
TEST(SessionLog, ProcessLoggerWritesUnderLocalAppDataAndTruncatesOnRestart) {
    TempDir dir;
    const std::map<std::string, std::string> env = {{"LOCALAPPDATA", dir.path().string()}};
    const std::vector<std::string> argv = {SESSION_LOG_CHILD};
    ASSERT_EQ(halvenor::test::runCommand(argv, std::chrono::seconds(20), env).exitCode, 0);
    ASSERT_EQ(halvenor::test::runCommand(argv, std::chrono::seconds(20), env).exitCode, 0);
    const auto all = lines(readFile(dir / "MorvelinDesk" / "session.log"));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].find("] child pid "), std::string::npos) << all[0];
}

TEST(SessionLog, ProcessLoggerWithoutAnyLocationCreatesNothing) {
    TempDir dir;
    const auto result = halvenor::test::runCommand(
        {"env", "-u", "LOCALAPPDATA", "-u", "XDG_DATA_HOME", "-u", "HOME", SESSION_LOG_CHILD},
        std::chrono::seconds(20));
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.output, "log path=[] enabled=0\n");
}

}  // namespace
}  // namespace morvelin
