// Frames of the HUD drawn in-process against real services and read back as text: the labels
// that count things, the status line, the answer card's states, the transcript's speaker
// labels, the Settings tab's masked keys and custom model fields, and widgets driven with the
// mouse and keyboard (the silence slider, Esc, the tabs).

#include <cstdlib>
#include <functional>
#include <iostream>

#include <gtest/gtest.h>

#include "tests/ui/draw_test_support.h"
#include "ui/draw_widgets.h"

namespace morvelin::draw_test {
namespace {

TrayScreenshot placeholderShot() {
    TrayScreenshot shot;
    shot.pngBase64 = "iVBORw0KGgo=";
    shot.width = 1920;
    shot.height = 1080;
    shot.thumbWidth = 320;
    shot.thumbHeight = 180;
    return shot;  // no texture: the tray draws a grey box
}

void setCard(ImGuiUI& ui, std::int32_t state, std::string question, std::string text,
             std::string error = {}, std::int32_t firstToken = -1) {
    std::lock_guard lock(P::stateMutex(ui));
    P::answerState(ui) = state;
    P::answerQuestion(ui) = std::move(question);
    P::answerText(ui) = std::move(text);
    P::answerError(ui) = std::move(error);
    P::firstTokenMs(ui) = firstToken;
    P::answerModelLabel(ui) = "openai/gpt-4o-mini";
}

class DrawHud : public ::testing::Test {
protected:
    Hud hud;
    ImGuiUI& ui = hud.ui();
    Frames frames{ui};
};

TEST_F(DrawHud, ActionRowCountsNewLinesShowsStopWhileStreamingAndCountsShots) {
    P::handsFree(ui).store(false);
    setTranscript(ui, numberedLines(150, kSystem), 0);
    std::string frame = frames.draw(2);
    EXPECT_TRUE(has(frame, "Answer (99)  (Ctrl+Shift+A)")) << frame;

    setTranscript(ui, numberedLines(150, kSystem), 148);
    EXPECT_TRUE(has(frames.draw(), "Answer (2)  (Ctrl+Shift+A)"));
    setTranscript(ui, numberedLines(150, kSystem), 150);
    EXPECT_TRUE(has(frames.draw(), "Answer  (Ctrl+Shift+A)"));
    // A mark past the end (the transcript was cleared meanwhile) counts nothing new.
    setTranscript(ui, numberedLines(3, kSystem), 10);
    EXPECT_TRUE(has(frames.draw(), "Answer  (Ctrl+Shift+A)"));

    P::handsFree(ui).store(true);
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Ask AI  (Ctrl+Shift+A)"));
    EXPECT_TRUE(has(frame, "Capture Screen"));
    EXPECT_FALSE(has(frame, "Screen & Type ("));

    setCard(ui, kAnswerStreaming, "Why Rust?", "");
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Stop"));
    EXPECT_FALSE(has(frame, "Ask AI"));
    EXPECT_TRUE(has(frame, "thinking..."));

    for (int i = 0; i < 3; ++i)
        P::tray(ui).push_back(placeholderShot());
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Capture Screen (3)")) << frame;
    EXPECT_TRUE(has(frame, "Screen & Type (3)")) << frame;
    EXPECT_FALSE(has(frame, "###")) << "tab identities leaked into the labels";

    // The tray itself: three placeholders, their remove buttons and "Clear all".
    frame = frames.openTab("Screen & Type");
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Clear all")) << frame;
    EXPECT_TRUE(has(frame, "Send + 3")) << frame;
}

TEST_F(DrawHud, StopButtonStopsTheStreamingAnswerAndReturnsToTheLiveTab) {
    setCard(ui, kAnswerStreaming, "Why Rust?", "Because");
    frames.openTab("Knowledge Base");
    ASSERT_FALSE(has(frames.draw(), "ANSWER"));
    const std::uint64_t generation = cardOf(ui).generation;

    ImGuiWindow* root = Frames::window("##morvelin-root");
    ASSERT_NE(root, nullptr);
    const ImGuiID stopId = root->GetID("Stop");
    const std::optional<float> y = frames.findItemY(stopId, 100, 0, 200);
    ASSERT_TRUE(y) << "the Stop button was not found";
    frames.click(ImVec2(100, *y));
    const std::string frame = frames.draw(2);  // the tab switches on the frames after the press

    const Card card = cardOf(ui);
    EXPECT_EQ(card.state, kAnswerStopped);
    EXPECT_EQ(card.generation, generation + 1);
    EXPECT_EQ(card.text, "Because");
    EXPECT_EQ(P::statusText(ui), "Stopped.");
    EXPECT_TRUE(has(frame, "stopped")) << frame;
    EXPECT_TRUE(has(frame, "ANSWER")) << "the Live tab was not selected";
}

// A line or a screenshot arriving while the button is held changes its label's count; the
// release still counts as a click on it.
TEST_F(DrawHud, AnswerAndCaptureTakeAClickWhoseCountChangedWhileHeld) {
    const halvenor::test::ScopedEnv noDisplay("DISPLAY", nullptr);  // the capture fails at once
    P::handsFree(ui).store(false);
    setTranscript(ui, numberedLines(2, kSystem), 0);
    frames.draw(2);
    ImGuiWindow* root = Frames::window("##morvelin-root");
    ASSERT_NE(root, nullptr);
    const auto clickWhile = [&](ImGuiID id, float x, const std::function<void()>& change) {
        const std::optional<float> y = frames.findItemY(id, x, 0, 500);
        ASSERT_TRUE(y) << "button not found";
        frames.io().MouseDown[0] = true;
        frames.draw();
        change();
        frames.draw();
        frames.io().MouseDown[0] = false;
        frames.draw(2);
    };

    clickWhile(root->GetID("###answer"), 100, [&] {
        setTranscript(ui, numberedLines(3, kSystem), 0);
        ASSERT_TRUE(has(frames.draw(), "Answer (3)  (Ctrl+Shift+A)"));
    });
    EXPECT_EQ(answeredUpToOf(ui), 3u);
    EXPECT_TRUE(has(cardOf(ui).question, "line 2")) << cardOf(ui).question;

    P::statusText(ui) = "Ready.";
    clickWhile(root->GetID("###capture"), 1250, [&] {
        P::tray(ui).push_back(placeholderShot());
        ASSERT_TRUE(has(frames.draw(), "Capture Screen (1)"));
    });
    EXPECT_TRUE(P::statusText(ui).starts_with("Screen capture failed")) << P::statusText(ui);

    // Send, inside the Screen & Type tab: a second screenshot arrives while it is held.
    frames.openTab("Screen & Type");
    ImGuiID tabId = 0;
    for (int n = 0; n < GImGui->TabBars.GetMapSize(); ++n)
        if (ImGuiTabBar* bar = GImGui->TabBars.TryGetMapData(n))
            for (ImGuiTabItem& tab : bar->Tabs)
                if (std::string_view(bar->GetTabName(&tab)).starts_with("Screen & Type"))
                    tabId = tab.ID;
    root->IDStack.push_back(tabId);
    const ImGuiID sendId = root->GetID("###send");
    root->IDStack.pop_back();
    clickWhile(sendId, 1330, [&] {
        P::tray(ui).push_back(placeholderShot());
        ASSERT_TRUE(has(frames.draw(), "Send + 2"));
    });
    EXPECT_TRUE(P::tray(ui).empty()) << "the release did not send";
}

TEST_F(DrawHud, StatusBarJoinsTheStatusTextAndTheSpeechToTextStates) {
    P::statusText(ui) = "Ready.";
    std::string frame = frames.draw(2);
    EXPECT_TRUE(has(frame, "Ready."));
    EXPECT_FALSE(has(frame, "  -  "));

    P::listening(ui) = true;  // as if started: no engine has reported yet
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Ready.  -  STT them: connecting | you: connecting")) << frame;

    P::onSttStatus(ui, kSystem, std::string("connected"));
    EXPECT_TRUE(has(frames.draw(), "Ready.  -  STT them: connected | you: connecting"));

    P::statusText(ui).clear();
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "STT them: connected | you: connecting"));
    EXPECT_FALSE(has(frame, "  -  STT"));

    // A listening problem replaces the engine states (the strip shows the problem itself).
    P::statusText(ui) = "Add your Deepgram key.";
    P::listenProblem(ui) = "No Deepgram key";
    frame = frames.draw();
    EXPECT_FALSE(has(frame, "STT them"));
    EXPECT_TRUE(has(frame, "Add your Deepgram key."));
    EXPECT_TRUE(has(frame, "No Deepgram key"));
    P::listening(ui) = false;
    P::listenProblem(ui).clear();
}

TEST_F(DrawHud, EscapeClearsTheAnswerOncePerPress) {
    setCard(ui, kAnswerDone, "What is RAII?", "**Scope-bound** cleanup.", {}, 420);
    std::string frame = frames.draw(2);
    EXPECT_TRUE(has(frame, "openai/gpt-4o-mini  (first token 420 ms)")) << frame;
    EXPECT_TRUE(has(frame, "What is RAII?"));
    EXPECT_TRUE(has(frame, "Scope-bound cleanup.")) << "inline markers must be stripped";
    const std::uint64_t generation = cardOf(ui).generation;

    frames.io().KeysDown[kEscapeSlot] = true;
    frames.draw();
    Card card = cardOf(ui);
    EXPECT_EQ(card.state, kAnswerIdle);
    EXPECT_EQ(card.text, "");
    EXPECT_EQ(card.question, "");
    EXPECT_EQ(card.generation, generation + 1);

    // Held down: no repeat.
    setCard(ui, kAnswerDone, "Next?", "Kept.");
    frames.draw(3);
    EXPECT_EQ(cardOf(ui).text, "Kept.");
    frames.io().KeysDown[kEscapeSlot] = false;
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Kept."));
}

TEST_F(DrawHud, AnswerCardShowsEachStateAndTheHintWhenEmpty) {
    std::string frame = frames.draw(2);
    EXPECT_TRUE(has(frame, "Turn Listening on for hands-free answers, or use Capture Screen"));
    EXPECT_TRUE(has(frame, "Listening is off. Turn it on for hands-free answers."));

    setCard(ui, kAnswerFailed, "Why?", "Partial", "HTTP 401: invalid key");
    frame = frames.draw();
    const auto failed = frame.find("failed");
    const auto error = frame.find("HTTP 401: invalid key");
    const auto partial = frame.find("Partial");
    ASSERT_NE(failed, std::string::npos) << frame;
    ASSERT_NE(error, std::string::npos);
    ASSERT_NE(partial, std::string::npos);
    EXPECT_LT(failed, error);
    EXPECT_LT(error, partial) << "the error goes above the partial answer";

    setCard(ui, kAnswerStreaming, "", "Streaming", {}, 250);
    EXPECT_TRUE(has(frames.draw(), "streaming  (first token 250 ms)"));
    setCard(ui, kAnswerStopped, "", "Half");
    EXPECT_TRUE(has(frames.draw(), "stopped"));
    // A failed request without text still shows its error, not the hint.
    setCard(ui, kAnswerFailed, "", "", "timed out");
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "timed out"));
    EXPECT_FALSE(has(frame, "Turn Listening on for hands-free answers, or"));
}

TEST_F(DrawHud, TranscriptLabelsEachSpeakerOnceAndCaptionsAreChipsOfThreeWords) {
    // The transcript shows three lines and follows the newest, so each case fits in it.
    P::showTranscript(ui) = true;
    const auto linesWith = [&](std::vector<TranscriptLine> transcript, AudioSource partialSource,
                               std::string partial) {
        setTranscript(ui, std::move(transcript), 0);
        setPartial(ui, kSystem, "");
        setPartial(ui, kMic, "");
        setPartial(ui, partialSource, std::move(partial));
        return linesOf(frames.draw(2));
    };
    const auto count = [](const std::vector<std::string>& lines, const std::string& text) {
        return std::count(lines.begin(), lines.end(), text);
    };
    const auto at = [](const std::vector<std::string>& lines, const std::string& text) {
        return std::find(lines.begin(), lines.end(), text) - lines.begin();
    };

    std::vector<std::string> lines =
        linesWith({{kSystem, "Tell me about yourself."}, {kSystem, "Take your time."}}, kMic, "");
    EXPECT_EQ(count(lines, "Interviewer"), 1) << "consecutive lines share one label";
    EXPECT_LT(at(lines, "Interviewer"), at(lines, "Tell me about yourself."));
    EXPECT_LT(at(lines, "Tell me about yourself."), at(lines, "Take your time."));

    lines = linesWith({{kMic, "Sure."}}, kMic, "I started");
    EXPECT_EQ(count(lines, "You"), 1) << "a partial of the same speaker continues unlabelled";
    EXPECT_LT(at(lines, "Sure."), at(lines, "I started"));

    lines = linesWith({{kMic, "Sure."}}, kSystem, "and also");
    EXPECT_EQ(count(lines, "Interviewer"), 1);
    EXPECT_LT(at(lines, "Sure."), at(lines, "Interviewer"));
    EXPECT_LT(at(lines, "Interviewer"), at(lines, "and also"));

    // The interviewer's pending words become chips of three (the strip is horizontal).
    P::detectors(ui)[0]->onTranscript("one two three four five six seven", false, false);
    const std::string frame = frames.draw();
    EXPECT_TRUE(has(frame, "one two three")) << frame;
    EXPECT_TRUE(has(frame, "four five six"));
    EXPECT_TRUE(has(frame, "seven"));
    EXPECT_FALSE(has(frame, "Listening is off."));
}

TEST(DrawSplitWords, SplitsAtRunsOfBlanksOnly) {
    EXPECT_EQ(splitWords("  one\ttwo  three\n four "),
              (std::vector<std::string_view>{"one\ttwo", "three\n", "four"}));
    EXPECT_TRUE(splitWords("   ").empty());
    EXPECT_TRUE(splitWords("").empty());
    EXPECT_EQ(splitWords("x"), (std::vector<std::string_view>{"x"}));
}

class DrawSettings : public DrawHud {
protected:
    void SetUp() override {
        const std::string frame = frames.openTab("Settings");
        ASSERT_TRUE(has(frame, "End-of-question silence")) << frame;
    }
};

TEST_F(DrawSettings, KeyFieldsNeverShowTheKeys) {
    P::openRouterKey(ui) = "sk-or-v1-SECRETVALUE";
    P::deepgramKey(ui) = "dg-OTHERSECRET";
    P::sttEngine(ui) = 1;
    const std::string frame = frames.draw(2);
    EXPECT_TRUE(has(frame, "Deepgram API key")) << frame;
    EXPECT_TRUE(has(frame, "WebSocket URL"));
    EXPECT_FALSE(has(frame, "SECRETVALUE")) << frame;
    EXPECT_FALSE(has(frame, "OTHERSECRET")) << frame;
}

TEST_F(DrawSettings, CustomModelsShowTheirIdFields) {
    std::string frame = frames.draw();
    EXPECT_FALSE(has(frame, "Custom model id"));
    EXPECT_TRUE(has(frame, "openai/gpt-4o-mini"));
    EXPECT_TRUE(has(frame, "everything else uses the model chosen under Live answers")) << frame;

    P::answerModelIndex(ui) = kCustomModelIndex;
    P::customAnswerModel(ui) = "acme/answer-7b";
    P::screenshotModelIndex(ui) = kCustomModelIndex;
    P::customScreenshotModel(ui) = "acme/vision-9b";
    frame = frames.draw();
    EXPECT_TRUE(has(frame, "Custom model id")) << frame;
    EXPECT_TRUE(has(frame, "acme/answer-7b"));
    EXPECT_TRUE(has(frame, "acme/vision-9b"));
    EXPECT_TRUE(has(frame, "Custom..."));
}

TEST_F(DrawSettings, SilenceSliderSetsTheCaptureHangoverAtOnce) {
    ImGuiWindow* settings = Frames::window("/##settings_");
    ASSERT_NE(settings, nullptr);
    const ImGuiID sliderId = settings->GetID("##silence");
    const float x = settings->Pos.x + settings->Size.x * 0.8f;
    const std::optional<float> y =
        frames.findItemY(sliderId, x, settings->Pos.y, settings->Pos.y + settings->Size.y);
    ASSERT_TRUE(y) << "the silence slider was not found";

    // Pressing at the left end of the slider picks its minimum; at the right end its maximum.
    const float left = settings->Pos.x + settings->Size.x * 0.38f + 1.0f;
    const float right = settings->Pos.x + settings->Size.x - 14.0f;
    std::string frame = frames.click(ImVec2(left, *y));
    EXPECT_EQ(P::silenceMs(ui), 400);
    EXPECT_EQ(hud.capture.hangoverMs.load(), 400);
    EXPECT_TRUE(has(frame, "400 ms")) << frame;

    frames.click(ImVec2(right, *y));
    EXPECT_EQ(P::silenceMs(ui), 2500);
    EXPECT_EQ(hud.capture.hangoverMs.load(), 2500);
}

TEST_F(DrawSettings, ShortcutsListMarksEveryHotkeyTakenWithoutAWindow) {
    P::hotkeyRegistered(ui) = {true, false, true, true};
    const std::string frame = frames.draw();
    EXPECT_TRUE(has(frame, "toggle listening  (taken by another app)")) << frame;
    EXPECT_TRUE(has(frame, "clear the answer card"));
    EXPECT_FALSE(has(frame, "clear the answer card  (taken"));
    EXPECT_TRUE(has(frame, "show / hide the HUD  (taken by another app)"));
    // Without a session log folder there is nothing to open; here there is one.
    EXPECT_TRUE(has(frame, "Open session log"));
    EXPECT_TRUE(has(frame, Logger::instance().path().string()));
}

// The start tab is read once per process, so each case runs in a fresh one.
class DrawStartTab : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

    // Draws a few frames with MORVELIN_START_TAB set and ends the process with 0 when `check`
    // holds, else prints what failed and ends it with 1.
    template <typename Check>
    [[noreturn]] static void runWith(const char* startTab, Check check) {
        ScopedEnv env("MORVELIN_START_TAB", startTab);
        Hud hud;
        Frames frames(hud.ui());
        const std::string failure = check(hud.ui(), frames);
        if (!failure.empty())
            std::cerr << failure << std::endl;
        std::_Exit(failure.empty() ? 0 : 1);
    }
};

TEST_F(DrawStartTab, SettingsOpensOnSettingsOnceThenTheUserChoiceStands) {
    EXPECT_EXIT(runWith("settings",
                        [](ImGuiUI& ui, Frames& frames) -> std::string {
                            std::string frame = frames.draw(3);
                            if (!has(frame, "End-of-question silence") || has(frame, "ANSWER"))
                                return "not opened on Settings:\n" + frame;
                            P::selectLiveTab(ui) = true;
                            frames.draw(2);
                            frame = frames.draw(3);
                            if (!has(frame, "ANSWER") || has(frame, "End-of-question silence"))
                                return "the start tab was applied again:\n" + frame;
                            return {};
                        }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(DrawStartTab, OtherCaseSelectsNothing) {
    EXPECT_EXIT(runWith("Settings",
                        [](ImGuiUI&, Frames& frames) -> std::string {
                            const std::string frame = frames.draw(3);
                            if (!has(frame, "ANSWER") || has(frame, "End-of-question silence"))
                                return "a start tab was selected:\n" + frame;
                            return {};
                        }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(DrawStartTab, ComposeOpensScreenAndType) {
    EXPECT_EXIT(runWith("compose",
                        [](ImGuiUI&, Frames& frames) -> std::string {
                            const std::string frame = frames.draw(3);
                            if (!has(frame, "No screenshots yet. Click Capture Screen above."))
                                return "not opened on Screen & Type:\n" + frame;
                            return {};
                        }),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace morvelin::draw_test

namespace morvelin::draw_test {
namespace {

// Under Wayland (XWayland) the hotkeys and screenshots reach only X windows: the first status
// line says so, and the log once.
TEST(DrawSessionNotice, AWaylandSessionIsNamedInTheStatusLineAndTheLogOnce) {
    const std::string notice =
        "an X11 session is needed for global hotkeys and full-screen "
        "screenshots.";
    const auto startWith = [&](const char* sessionType, const char* waylandDisplay) {
        const ScopedEnv type("XDG_SESSION_TYPE", sessionType);
        const ScopedEnv display("WAYLAND_DISPLAY", waylandDisplay);
        const LogWatch watch;
        Hud hud;
        Frames frames(hud.ui());
        const std::string frame = frames.draw(2);
        EXPECT_EQ(has(frame, notice), watch.count(notice) == 1) << frame << watch.text();
        return watch.count(notice);
    };
    EXPECT_EQ(startWith("wayland", nullptr), 1u);
    EXPECT_EQ(startWith("x11", "wayland-0"), 1u);
    EXPECT_EQ(startWith("x11", nullptr), 0u);
    EXPECT_EQ(startWith(nullptr, ""), 0u);
}

}  // namespace
}  // namespace morvelin::draw_test
