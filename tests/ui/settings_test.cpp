#include "ui/settings.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/error_text.h"
#include "tests/support/temp_dir.h"

namespace morvelin {
namespace {

namespace fs = std::filesystem;
using halvenor::test::readFile;
using halvenor::test::ScopedEnv;
using halvenor::test::TempDir;
using halvenor::test::writeFile;

Settings fromText(const std::string& json) {
    return settingsFromJson(nlohmann::json::parse(json));
}

// A record that differs from the defaults in every field.
Settings unusualSettings() {
    Settings s;
    s.resume = "Résumé \"quoted\" \\ back\nline\ttab\x01";
    s.jobDescription = "Staff engineer — 日本語";
    s.projectReadme = "# readme\r\n";
    s.model = "anthropic/claude";
    s.screenshotModel = "custom/vision";
    s.sttEngine = 1;
    s.sttModel = "";
    s.sttLanguage = "";
    s.handsFree = false;
    s.micAnswerMode = 2;
    s.silenceMs = 1234;
    s.screenshotMaxWidth = 2560;
    s.interactiveOpacity = 0.31f;
    s.clickThroughOpacity = 1.0f;
    s.showTranscript = true;
    s.autoHeight = false;
    return s;
}

// ---------------------------------------------------------------------------------------------
// The file format.

TEST(SettingsFormat, DefaultsAreWrittenExactly) {
    const std::string expected =
        "{\n"
        "  \"autoHeight\": true,\n"
        "  \"clickThroughOpacity\": 0.550000011920929,\n"
        "  \"handsFree\": true,\n"
        "  \"interactiveOpacity\": 0.9700000286102295,\n"
        "  \"jobDescription\": \"\",\n"
        "  \"micAnswerMode\": 0,\n"
        "  \"model\": \"openai/gpt-4o-mini\",\n"
        "  \"projectReadme\": \"\",\n"
        "  \"resume\": \"\",\n"
        "  \"screenshotMaxWidth\": 1920,\n"
        "  \"screenshotModel\": \"google/gemini-3.1-pro-preview\",\n"
        "  \"showTranscript\": false,\n"
        "  \"silenceMs\": 800,\n"
        "  \"sttEngine\": 0,\n"
        "  \"sttLanguage\": \"en\",\n"
        "  \"sttModel\": \"deepgram/nova-3\",\n"
        "  \"version\": 1\n"
        "}";
    EXPECT_EQ(settingsToJsonText(Settings{}), expected);
}

TEST(SettingsFormat, StringsEscapeOnlyWhatJsonRequiresAndRepairBrokenUtf8) {
    Settings s;
    s.resume = "q\" b\\ \b\t\n\f\r \x01\x1f é 日 \x7f";
    s.jobDescription = "ok \xff\xfe end";  // not UTF-8
    s.clickThroughOpacity = 1.0f;
    const std::string text = settingsToJsonText(s);
    EXPECT_NE(
        text.find("  \"resume\": \"q\\\" b\\\\ \\b\\t\\n\\f\\r \\u0001\\u001f é 日 \x7f\",\n"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("  \"jobDescription\": \"ok \xEF\xBF\xBD\xEF\xBF\xBD end\",\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  \"clickThroughOpacity\": 1.0,\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The reader: types, clamping and defaults.

TEST(SettingsReader, IntegerFieldsConvertAndClamp) {
    EXPECT_EQ(fromText(R"({"silenceMs": 100})").silenceMs, 400);
    EXPECT_EQ(fromText(R"({"silenceMs": 9000})").silenceMs, 2500);
    EXPECT_EQ(fromText(R"({"silenceMs": 1234.9})").silenceMs, 1234);
    EXPECT_EQ(fromText(R"({"silenceMs": -1234.9})").silenceMs, 400);
    EXPECT_EQ(fromText(R"({"silenceMs": "900"})").silenceMs, 800);
    EXPECT_EQ(fromText(R"({"silenceMs": null})").silenceMs, 800);
    EXPECT_EQ(fromText(R"({"silenceMs": [900]})").silenceMs, 800);
    EXPECT_EQ(fromText(R"({"silenceMs": true})").silenceMs, 400);  // true reads as 1
    // Integers keep their low 32 bits: 2^32 + 1000 reads as 1000.
    EXPECT_EQ(fromText(R"({"silenceMs": 4294968296})").silenceMs, 1000);
    EXPECT_EQ(fromText(R"({"silenceMs": 18446744073709551615})").silenceMs, 400);  // -1
    // Floating numbers beyond int32 land on a bound instead of misbehaving.
    EXPECT_EQ(fromText(R"({"screenshotMaxWidth": 1e20})").screenshotMaxWidth, 3840);
    EXPECT_EQ(fromText(R"({"screenshotMaxWidth": -1e300})").screenshotMaxWidth, 640);
    EXPECT_EQ(fromText(R"({"screenshotMaxWidth": 100})").screenshotMaxWidth, 640);
    EXPECT_EQ(fromText(R"({"sttEngine": 5})").sttEngine, 1);
    EXPECT_EQ(fromText(R"({"sttEngine": true})").sttEngine, 1);
    EXPECT_EQ(fromText(R"({"micAnswerMode": -1})").micAnswerMode, 0);
    EXPECT_EQ(fromText(R"({"micAnswerMode": 7})").micAnswerMode, 2);
    EXPECT_EQ(fromText(R"({"micAnswerMode": 1})").micAnswerMode, 1);
}

TEST(SettingsReader, FloatAndBoolFields) {
    EXPECT_EQ(fromText(R"({"interactiveOpacity": 2})").interactiveOpacity, 1.0f);
    EXPECT_EQ(fromText(R"({"clickThroughOpacity": 0})").clickThroughOpacity, 0.1f);
    EXPECT_EQ(fromText(R"({"interactiveOpacity": 0.5})").interactiveOpacity, 0.5f);
    EXPECT_EQ(fromText(R"({"interactiveOpacity": false})").interactiveOpacity, 0.3f);
    EXPECT_EQ(fromText(R"({"interactiveOpacity": 1e300})").interactiveOpacity, 1.0f);
    EXPECT_EQ(fromText(R"({"clickThroughOpacity": -1e300})").clickThroughOpacity, 0.1f);
    EXPECT_EQ(fromText(R"({"clickThroughOpacity": "0.5"})").clickThroughOpacity, 0.55f);

    EXPECT_TRUE(fromText(R"({"handsFree": 0})").handsFree);  // numbers are not booleans
    EXPECT_TRUE(fromText(R"({"handsFree": "false"})").handsFree);
    EXPECT_FALSE(fromText(R"({"handsFree": false})").handsFree);
    EXPECT_TRUE(fromText(R"({"showTranscript": true})").showTranscript);
    EXPECT_FALSE(fromText(R"({"autoHeight": false})").autoHeight);
}

TEST(SettingsReader, StringFields) {
    EXPECT_EQ(fromText(R"({"model": ""})").model, "openai/gpt-4o-mini");
    EXPECT_EQ(fromText(R"({"screenshotModel": ""})").screenshotModel,
              "google/gemini-3.1-pro-preview");
    EXPECT_EQ(fromText(R"({"model": 42})").model, "openai/gpt-4o-mini");
    EXPECT_EQ(fromText(R"({"sttLanguage": ""})").sttLanguage, "");
    EXPECT_EQ(fromText(R"({"sttModel": ""})").sttModel, "");
    EXPECT_EQ(fromText(R"({"resume": "a\u00e9\n"})").resume, "a\xC3\xA9\n");
    EXPECT_EQ(fromText(R"({"resume": null})").resume, "");
}

TEST(SettingsReader, UnknownKeysAndVersionAreIgnored) {
    EXPECT_EQ(fromText(R"({})"), Settings{});
    EXPECT_EQ(fromText(R"({"version": 99, "extra": {"a": 1}, "silenceMs": 900})").silenceMs, 900);
    EXPECT_EQ(fromText(R"({"version": "two", "Model": "x"})"), Settings{});
}

// ---------------------------------------------------------------------------------------------
// The settings file on disk.

class SettingsFile : public ::testing::Test {
protected:
    TempDir dir_{"halvenor-settings"};
    fs::path path_ = dir_.path() / "MorvelinDesk" / "settings.json";
};

TEST_F(SettingsFile, PathFollowsTheAppDataFolder) {
    {
        ScopedEnv local("LOCALAPPDATA", dir_.path().c_str());
        EXPECT_EQ(settingsFilePath(), path_);
        EXPECT_FALSE(fs::exists(path_.parent_path()));  // locating creates nothing
    }
    ScopedEnv local("LOCALAPPDATA", nullptr);
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", nullptr);
    EXPECT_TRUE(settingsFilePath().empty());

    Settings out = unusualSettings();
    std::string error;
    EXPECT_EQ(loadSettingsFile(settingsFilePath(), out, error), kSettingsNothingToLoad);
    EXPECT_EQ(error, "");
    EXPECT_EQ(out, unusualSettings());
    EXPECT_EQ(saveSettingsFile(settingsFilePath(), Settings{}),
              "no settings location (LOCALAPPDATA is not set)");
}

TEST_F(SettingsFile, NoFileYetIsNothingToLoad) {
    Settings out = unusualSettings();
    std::string error = "untouched";
    EXPECT_EQ(loadSettingsFile(path_, out, error), kSettingsNothingToLoad);
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(out, unusualSettings());
}

TEST_F(SettingsFile, SaveThenLoadGivesTheSameRecord) {
    for (const Settings& original : {Settings{}, unusualSettings()}) {
        ASSERT_EQ(saveSettingsFile(path_, original), "");  // creates the missing folders
        EXPECT_EQ(readFile(path_), settingsToJsonText(original));
        EXPECT_FALSE(fs::exists(path_.string() + ".tmp"));
        Settings loaded = original == Settings{} ? unusualSettings() : Settings{};
        std::string error;
        ASSERT_EQ(loadSettingsFile(path_, loaded, error), kSettingsLoaded) << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(loaded, original);  // the opacities come back as the same floats
    }
    // The file holds the user's private texts.
    EXPECT_EQ(fs::status(path_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(SettingsFile, HandWrittenFilesLoad) {
    fs::create_directories(path_.parent_path());
    // A byte-order mark, CRLF, no "version", and values to clamp.
    writeFile(path_, "\xEF\xBB\xBF{\r\n \"silenceMs\": 100,\r\n \"model\": \"\"\r\n}\r\n");
    Settings out;
    std::string error;
    ASSERT_EQ(loadSettingsFile(path_, out, error), kSettingsLoaded) << error;
    Settings expected;
    expected.silenceMs = 400;
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(fs::exists(path_.string() + ".corrupt"));
}

TEST_F(SettingsFile, UnparsableFilesAreSetAsideWithoutLosingEarlierOnes) {
    fs::create_directories(path_.parent_path());
    const std::vector<std::string> broken = {"true",         "[1, 2]",      "",
                                             "42",           "\"text\"",    "{\"a\": 1",
                                             "{} {}",        "// note\n{}", "{\"a\": 1 /* c */}",
                                             "\xEF\xBB\xBF", "{\"a\":",     "[[["};
    const auto keptName = [](std::size_t i) {
        return i == 0 ? std::string("settings.json.corrupt")
                      : "settings.json.corrupt." + std::to_string(i);
    };
    for (std::size_t i = 0; i < broken.size(); ++i) {
        SCOPED_TRACE("contents: " + broken[i]);
        writeFile(path_, broken[i]);
        Settings out = unusualSettings();
        std::string error;
        EXPECT_EQ(loadSettingsFile(path_, out, error), kSettingsLoadFailed);
        EXPECT_EQ(error, "settings file is not valid JSON; kept as " + keptName(i));
        EXPECT_EQ(out, unusualSettings());
        EXPECT_FALSE(fs::exists(path_));
    }
    // Every copy set aside is still there, each with what it held.
    for (std::size_t i = 0; i < broken.size(); ++i)
        EXPECT_EQ(readFile(path_.parent_path() / keptName(i)), broken[i]) << keptName(i);
    // The next save writes a fresh file and leaves the kept ones alone.
    ASSERT_EQ(saveSettingsFile(path_, Settings{}), "");
    EXPECT_EQ(readFile(path_.string() + ".corrupt.9"), "\xEF\xBB\xBF");
    Settings out;
    std::string error;
    EXPECT_EQ(loadSettingsFile(path_, out, error), kSettingsLoaded);
}

TEST_F(SettingsFile, NameTakenByAFolderOrALinkIsSkipped) {
    fs::create_directories(fs::path(path_.string() + ".corrupt") / "occupied");
    fs::create_symlink("missing-target", path_.string() + ".corrupt.1");
    writeFile(path_, "[]");
    Settings out = unusualSettings();
    std::string error;
    EXPECT_EQ(loadSettingsFile(path_, out, error), kSettingsLoadFailed);
    EXPECT_EQ(error, "settings file is not valid JSON; kept as settings.json.corrupt.2");
    EXPECT_EQ(readFile(path_.string() + ".corrupt.2"), "[]");
    EXPECT_TRUE(fs::is_directory(path_.string() + ".corrupt/occupied"));
    EXPECT_TRUE(fs::is_symlink(path_.string() + ".corrupt.1"));
}

TEST_F(SettingsFile, UnparsableFileThatCannotBeMovedStaysInPlace) {
    // A name at the file system's limit leaves no room for the ".corrupt" suffix.
    const fs::path longPath = dir_.path() / std::string(250, 's');
    writeFile(longPath, "[]");
    Settings out = unusualSettings();
    std::string error;
    EXPECT_EQ(loadSettingsFile(longPath, out, error), kSettingsLoadFailed);
    EXPECT_EQ(error, "settings file is not valid JSON (and could not be moved aside)");
    EXPECT_EQ(out, unusualSettings());
    EXPECT_EQ(readFile(longPath), "[]");
}

TEST_F(SettingsFile, FolderInPlaceOfTheFileIsReportedNotMoved) {
    fs::create_directories(path_);
    Settings out = unusualSettings();
    std::string error;
    EXPECT_EQ(loadSettingsFile(path_, out, error), kSettingsLoadFailed);
    EXPECT_EQ(error, "cannot open " + path_.string());
    EXPECT_EQ(out, unusualSettings());
    EXPECT_TRUE(fs::is_directory(path_));
    EXPECT_FALSE(fs::exists(path_.string() + ".corrupt"));
}

TEST_F(SettingsFile, FailedFinalMoveRemovesTheTemporaryFile) {
    // rename() cannot replace a non-empty folder.
    fs::create_directories(path_ / "occupied");
    EXPECT_EQ(saveSettingsFile(path_, Settings{}), describeErrno("rename", EISDIR));
    EXPECT_FALSE(fs::exists(path_.string() + ".tmp"));
    EXPECT_TRUE(fs::is_directory(path_ / "occupied"));
}

TEST_F(SettingsFile, UnwritableFolderIsReported) {
    // A file where the folder should be: the folder cannot be created, the open fails.
    writeFile(path_.parent_path(), "not a folder");
    EXPECT_EQ(saveSettingsFile(path_, Settings{}), "cannot write " + path_.string() + ".tmp");
}

TEST_F(SettingsFile, ShortWriteKeepsTheOldFile) {
    ASSERT_EQ(saveSettingsFile(path_, Settings{}), "");
    const std::string before = readFile(path_);

    // A file-size limit makes write() fail part way, as a full disk would.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string error = saveSettingsFile(path_, unusualSettings());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(error, "write failed (disk full?) for " + path_.string() + ".tmp");
    EXPECT_EQ(readFile(path_), before);
    EXPECT_EQ(fs::file_size(path_.string() + ".tmp"), 64u);  // left behind, as documented
    // The next save replaces the leftover.
    ASSERT_EQ(saveSettingsFile(path_, unusualSettings()), "");
    EXPECT_FALSE(fs::exists(path_.string() + ".tmp"));
}

}  // namespace
}  // namespace morvelin
