// Knowledge files: the reader's checks on real files, the load into the controller, and the
// open-file dialog played by small scripts in place of zenity.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/ui/hud_test_support.h"
#include "ui/knowledge_file.h"

namespace morvelin::hud_test {
namespace {

using halvenor::test::writeFile;

const std::string kBinaryText =
    "This looks like a binary file (PDF/DOCX?). Paste its text instead.";

TEST(HudKnowledgeFile, TextIsReadWithoutTheByteOrderMark) {
    TempDir dir;
    writeFile(dir / "bom.md", "\xEF\xBB\xBFHello");
    auto result = readKnowledgeFile(dir / "bom.md");
    ASSERT_TRUE(result.text);
    EXPECT_EQ(*result.text, "Hello");

    writeFile(dir / "only-bom.txt", "\xEF\xBB\xBF");
    result = readKnowledgeFile(dir / "only-bom.txt");
    ASSERT_TRUE(result.text);
    EXPECT_EQ(*result.text, "");

    writeFile(dir / "empty.txt", "");
    result = readKnowledgeFile(dir / "empty.txt");
    ASSERT_TRUE(result.text);
    EXPECT_EQ(*result.text, "");

    // Links are followed.
    std::filesystem::create_symlink(dir / "bom.md", dir / "link.md");
    result = readKnowledgeFile(dir / "link.md");
    ASSERT_TRUE(result.text);
    EXPECT_EQ(*result.text, "Hello");
}

TEST(HudKnowledgeFile, BinaryAndUtf16FilesAreRefused) {
    TempDir dir;
    writeFile(dir / "utf16.txt", std::string("\xFF\xFEH\0i\0", 6));
    auto result = readKnowledgeFile(dir / "utf16.txt");
    EXPECT_FALSE(result.text);
    EXPECT_EQ(result.error, kBinaryText);

    writeFile(dir / "late-zero.pdf", std::string(1000, 'x') + std::string(1, '\0'));
    result = readKnowledgeFile(dir / "late-zero.pdf");
    EXPECT_FALSE(result.text);
    EXPECT_EQ(result.error, kBinaryText);
}

TEST(HudKnowledgeFile, SizeLimitIsFiveHundredTwelveKilobytes) {
    TempDir dir;
    writeFile(dir / "exact.txt", std::string(524288, 'a'));
    auto result = readKnowledgeFile(dir / "exact.txt");
    ASSERT_TRUE(result.text) << result.error;
    EXPECT_EQ(result.text->size(), 524288u);

    // The limit counts the file, byte-order mark included.
    writeFile(dir / "exact-bom.txt", "\xEF\xBB\xBF" + std::string(524285, 'a'));
    result = readKnowledgeFile(dir / "exact-bom.txt");
    ASSERT_TRUE(result.text) << result.error;
    EXPECT_EQ(result.text->size(), 524285u);

    writeFile(dir / "one-more.txt", std::string(524289, 'a'));
    result = readKnowledgeFile(dir / "one-more.txt");
    EXPECT_FALSE(result.text);
    EXPECT_EQ(result.error,
              "File is 512 KB; the limit is 512 KB. Paste the relevant part instead.");

    writeFile(dir / "big.txt", std::string(600 * 1024, 'a'));
    result = readKnowledgeFile(dir / "big.txt");
    EXPECT_FALSE(result.text);
    EXPECT_EQ(result.error,
              "File is 600 KB; the limit is 512 KB. Paste the relevant part instead.");
}

TEST(HudKnowledgeFile, MissingFileNamesTheSystemError) {
    TempDir dir;
    const auto result = readKnowledgeFile(dir / "gone.txt");
    EXPECT_FALSE(result.text);
    EXPECT_EQ(result.error, "Cannot read file: No such file or directory");
}

class HudKnowledge : public ::testing::Test {
protected:
    // A stand-in for zenity: records its arguments, then runs `body`.
    std::string dialogScript(const std::string& name, const std::string& body) {
        const auto path = dir / name;
        writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (dir / (name + ".args")).string() +
                            "'\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path.string();
    }
    // Polls as the frame loop would until the dialog has ended.
    bool pollUntilClosed(std::chrono::milliseconds timeout = 5s) {
        return waitUntil(
            [&] {
                P::pollKnowledgeDialog(ui);
                return !P::knowledgeDialog(ui).isOpen();
            },
            timeout);
    }

    TempDir dir;
    ChatServer chat;
    Hud hud{HudOptions{.chatBaseUrl = chat.baseUrl()}};
    ImGuiUI& ui = hud.ui();
};

TEST_F(HudKnowledge, LoadedTextReplacesTheTargetAndReachesTheNextRequest) {
    EXPECT_FALSE(P::llmSettingsDirty(ui));
    writeFile(dir / "resume.md",
              "\xEF\xBB\xBF"
              "Built a HUD.");
    P::finishKnowledgeLoad(ui, P::resume(ui), "Resume", dir / "resume.md");
    EXPECT_EQ(P::resume(ui), "Built a HUD.");
    EXPECT_EQ(P::statusText(ui), "Loaded resume.md (12 chars).");
    EXPECT_TRUE(P::llmSettingsDirty(ui));

    P::applyLlmSettings(ui);  // the next frame
    ui.askQuestion({"prompt", "Q?", AskKind::Typed});
    ASSERT_TRUE(waitForState(ui, kAnswerDone));
    EXPECT_NE(systemTextOf(chat.chatRequests().at(0)).find("## Resume\nBuilt a HUD.\n\n"),
              std::string::npos);

    // An empty file clears the text.
    writeFile(dir / "empty.txt", "");
    P::finishKnowledgeLoad(ui, P::resume(ui), "Resume", dir / "empty.txt");
    EXPECT_EQ(P::resume(ui), "");
    EXPECT_EQ(P::statusText(ui), "Loaded empty.txt (0 chars).");
}

TEST_F(HudKnowledge, RefusedFilesLeaveTheTargetAndSayWhyBehindTheLabel) {
    P::jobDescription(ui) = "kept";
    P::llmSettingsDirty(ui) = false;
    writeFile(dir / "big.txt", std::string(600 * 1024, 'a'));
    P::finishKnowledgeLoad(ui, P::jobDescription(ui), "Job Description", dir / "big.txt");
    EXPECT_EQ(P::statusText(ui),
              "Job Description: File is 600 KB; the limit is 512 KB. Paste the relevant part "
              "instead.");
    EXPECT_EQ(P::jobDescription(ui), "kept");
    EXPECT_FALSE(P::llmSettingsDirty(ui));

    writeFile(dir / "cv.docx", std::string("PK\3\4\0\0", 6));
    P::finishKnowledgeLoad(ui, P::jobDescription(ui), "Job Description", dir / "cv.docx");
    EXPECT_EQ(P::statusText(ui), "Job Description: " + kBinaryText);

    P::finishKnowledgeLoad(ui, P::jobDescription(ui), "Job Description", dir / "vanished.txt");
    EXPECT_EQ(P::statusText(ui), "Job Description: Cannot read file: No such file or directory");
    EXPECT_EQ(P::jobDescription(ui), "kept");
}

TEST_F(HudKnowledge, ChosenFileIsLoadedWhileTheFrameLoopKeepsPolling) {
    writeFile(dir / "notes.txt", "Project notes");
    P::knowledgeDialog(ui).programs = {
        dialogScript("zenity", "sleep 0.5\necho '" + (dir / "notes.txt").string() + "'")};
    P::statusText(ui) = "before";
    P::loadKnowledgeFile(ui, P::projectReadme(ui), "Project README / Notes");
    EXPECT_TRUE(P::knowledgeDialog(ui).isOpen());
    EXPECT_EQ(P::statusText(ui), "before");

    // A poll never waits for the dialog.
    const auto start = std::chrono::steady_clock::now();
    P::pollKnowledgeDialog(ui);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(P::projectReadme(ui), "");

    ASSERT_TRUE(pollUntilClosed());
    EXPECT_EQ(P::projectReadme(ui), "Project notes");
    EXPECT_EQ(P::statusText(ui), "Loaded notes.txt (13 chars).");
    EXPECT_TRUE(P::llmSettingsDirty(ui));

    // Both filters were offered, text documents first.
    const std::string args = halvenor::test::readFile(dir / "zenity.args");
    const auto text = args.find(
        "--file-filter=Text documents (*.txt;*.md;*.markdown;*.rst;*.json) | *.txt *.md "
        "*.markdown *.rst *.json\n");
    const auto all = args.find("--file-filter=All files (*.*) | *\n");
    EXPECT_NE(text, std::string::npos) << args;
    EXPECT_NE(all, std::string::npos) << args;
    EXPECT_LT(text, all);
}

TEST_F(HudKnowledge, CancelledDialogChangesNothingAndABrokenOneIsNamed) {
    P::knowledgeDialog(ui).programs = {dialogScript("zenity", "exit 1")};
    P::resume(ui) = "kept";
    P::llmSettingsDirty(ui) = false;
    P::statusText(ui) = "before";
    P::loadKnowledgeFile(ui, P::resume(ui), "Resume");
    ASSERT_TRUE(pollUntilClosed());
    EXPECT_EQ(P::resume(ui), "kept");
    EXPECT_EQ(P::statusText(ui), "before");
    EXPECT_FALSE(P::llmSettingsDirty(ui));

    // A path printed by a dialog that then fails is not taken either.
    writeFile(dir / "x.txt", "x");
    P::knowledgeDialog(ui).programs = {
        dialogScript("zenity", "echo '" + (dir / "x.txt").string() + "'\nexit 5")};
    P::loadKnowledgeFile(ui, P::resume(ui), "Resume");
    ASSERT_TRUE(pollUntilClosed());
    EXPECT_EQ(P::resume(ui), "kept");
    EXPECT_EQ(P::statusText(ui), "Resume: zenity ended with status 5");

    // A dialog program that refuses its arguments ends at once: the button says so.
    P::knowledgeDialog(ui).programs = {
        dialogScript("zenity", "echo 'This option is not available.' >&2\nexit 255")};
    P::loadKnowledgeFile(ui, P::jobDescription(ui), "Job Description");
    ASSERT_TRUE(pollUntilClosed());
    EXPECT_EQ(P::statusText(ui), "Job Description: zenity ended with status 255");
    EXPECT_EQ(P::jobDescription(ui), "");
    EXPECT_FALSE(P::llmSettingsDirty(ui));

    P::knowledgeDialog(ui).programs = {dialogScript("zenity", "kill -9 $$")};
    P::loadKnowledgeFile(ui, P::resume(ui), "Resume");
    ASSERT_TRUE(pollUntilClosed());
    EXPECT_EQ(P::statusText(ui), "Resume: zenity ended by signal 9");
}

TEST_F(HudKnowledge, NoDialogProgramSaysWhatToInstall) {
    P::knowledgeDialog(ui).programs = {"halvenor-missing-zenity", "halvenor-missing-kdialog"};
    P::loadKnowledgeFile(ui, P::resume(ui), "Resume");
    EXPECT_FALSE(P::knowledgeDialog(ui).isOpen());
    EXPECT_EQ(P::statusText(ui),
              "Resume: no file dialog program found (install halvenor-missing-zenity or "
              "halvenor-missing-kdialog)");
    P::pollKnowledgeDialog(ui);  // nothing open: nothing happens
    EXPECT_EQ(P::resume(ui), "");
}

}  // namespace
}  // namespace morvelin::hud_test
