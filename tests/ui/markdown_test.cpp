#include "ui/markdown.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>

namespace morvelin {
namespace {

using Kind = MarkdownLineKind;

std::vector<MarkdownLine> lines(std::initializer_list<MarkdownLine> list) {
    return list;
}

// ---------------------------------------------------------------------------------------------
// Inline markers.

TEST(StripInlineMarkdown, RemovesBackquotesAndDoubleAsterisks) {
    EXPECT_EQ(stripInlineMarkdown("use `std::move` **now**"), "use std::move now");
    EXPECT_EQ(stripInlineMarkdown("***x***"), "*x*");  // pairs from the left
    EXPECT_EQ(stripInlineMarkdown("a * b*c"), "a * b*c");
    EXPECT_EQ(stripInlineMarkdown("`a*b`"), "a*b");
    EXPECT_EQ(stripInlineMarkdown("````"), "");
    EXPECT_EQ(stripInlineMarkdown("  keep  "), "  keep  ");
    EXPECT_EQ(stripInlineMarkdown("caf\xC3\xA9 \xE2\x80\xA2"), "caf\xC3\xA9 \xE2\x80\xA2");
}

// ---------------------------------------------------------------------------------------------
// Line classification.

TEST(ClassifyMarkdown, SplitsAtLineFeedsAndDropsCarriageReturns) {
    EXPECT_EQ(classifyMarkdown("one\r\ntwo"), lines({{Kind::Plain, "one"}, {Kind::Plain, "two"}}));
    EXPECT_EQ(classifyMarkdown("one\n"), lines({{Kind::Plain, "one"}, {Kind::Gap, ""}}));
    EXPECT_EQ(classifyMarkdown(""), lines({{Kind::Blank, ""}}));
    EXPECT_EQ(classifyMarkdown("a\r\r\n"), lines({{Kind::Plain, "a\r"}, {Kind::Gap, ""}}));
}

TEST(ClassifyMarkdown, BlankRunsGiveOneGapAndLeadingBlanksNone) {
    EXPECT_EQ(classifyMarkdown("\n \t\na\n\n  \n\nb"), lines({{Kind::Blank, ""},
                                                              {Kind::Blank, ""},
                                                              {Kind::Plain, "a"},
                                                              {Kind::Gap, ""},
                                                              {Kind::Blank, ""},
                                                              {Kind::Blank, ""},
                                                              {Kind::Plain, "b"}}));
}

TEST(ClassifyMarkdown, CodeBlocksKeepTheirLinesAsWritten) {
    EXPECT_EQ(classifyMarkdown("Intro\n  ```cpp\n\tint x = **1**;\n\n  `y`\n```\nAfter **b**"),
              lines({{Kind::Plain, "Intro"},
                     {Kind::FenceOpen, ""},
                     {Kind::Code, "\tint x = **1**;"},
                     {Kind::Code, ""},
                     {Kind::Code, "  `y`"},
                     {Kind::FenceClose, ""},
                     {Kind::Plain, "After b"}}));
}

TEST(ClassifyMarkdown, UnclosedFenceRendersTheRestAsCode) {
    // The answer is still streaming: the fence (even a cut-off one) has no partner yet.
    EXPECT_EQ(classifyMarkdown("```\n# not a heading\n- nor a bullet\n"),
              lines({{Kind::FenceOpen, ""},
                     {Kind::Code, "# not a heading"},
                     {Kind::Code, "- nor a bullet"},
                     {Kind::Code, ""}}));
    EXPECT_EQ(classifyMarkdown("text\n``"), lines({{Kind::Plain, "text"}, {Kind::Plain, ""}}));
}

TEST(ClassifyMarkdown, Bullets) {
    EXPECT_EQ(classifyMarkdown("- one\n* `two`\n\t\xE2\x80\xA2 three\n  - **four**"),
              lines({{Kind::Bullet, "one"},
                     {Kind::Bullet, "two"},
                     {Kind::Bullet, "three"},
                     {Kind::Bullet, "four"}}));
    // Not bullets: numbered items, plus signs, a minus without a blank, a bullet sign alone.
    EXPECT_EQ(classifyMarkdown("1. first\n+ plus\n-5 degrees\n\xE2\x80\xA2tight"),
              lines({{Kind::Plain, "1. first"},
                     {Kind::Plain, "+ plus"},
                     {Kind::Plain, "-5 degrees"},
                     {Kind::Plain, "\xE2\x80\xA2tight"}}));
}

TEST(ClassifyMarkdown, HeadingsAndBoldLines) {
    EXPECT_EQ(classifyMarkdown("#Word"), lines({{Kind::Heading, "Word"}}));
    EXPECT_EQ(classifyMarkdown("## "), lines({{Kind::Heading, ""}}));
    EXPECT_EQ(classifyMarkdown("  ### **Big** `idea` #1"), lines({{Kind::Heading, "Big idea #1"}}));
    EXPECT_EQ(classifyMarkdown("**Answer:** use `a*b` **here**"),
              lines({{Kind::BoldLine, "Answer: use a*b here"}}));
    EXPECT_EQ(classifyMarkdown("Plain with **bold** inside"),
              lines({{Kind::Plain, "Plain with bold inside"}}));
    EXPECT_EQ(classifyMarkdown("*single*"), lines({{Kind::Plain, "*single*"}}));
}

TEST(ClassifyMarkdown, StateCarriesAcrossCalls) {
    MarkdownState state;
    EXPECT_EQ(classifyMarkdownLine("``` ", state).kind, Kind::FenceOpen);
    EXPECT_TRUE(state.inCode);
    EXPECT_EQ(classifyMarkdownLine("", state), (MarkdownLine{Kind::Code, ""}));
    EXPECT_TRUE(state.lastBlank);  // code lines leave the blank tracking alone
    EXPECT_EQ(classifyMarkdownLine("```", state).kind, Kind::FenceClose);
    EXPECT_EQ(classifyMarkdownLine("", state).kind, Kind::Blank);
}

// ---------------------------------------------------------------------------------------------
// Drawing, headless: a Dear ImGui context with the built-in font and no renderer; what a frame
// drew is read back from Dear ImGui's own text log.

class RenderMarkdown : public ::testing::Test {
protected:
    void SetUp() override {
        context_ = ImGui::CreateContext();
        ImGuiIO& io = ImGui::GetIO();
        io.IniFilename = nullptr;
        io.LogFilename = nullptr;
        io.DisplaySize = ImVec2(800, 600);
        io.DeltaTime = 1.0f / 60.0f;
        regular_ = io.Fonts->AddFontDefault();
        ImFontConfig large;
        large.SizePixels = 26.0f;
        bold_ = io.Fonts->AddFontDefault(&large);
        ImFontConfig small;
        small.SizePixels = 10.0f;
        mono_ = io.Fonts->AddFontDefault(&small);
        ASSERT_TRUE(io.Fonts->Build());
    }
    void TearDown() override { ImGui::DestroyContext(context_); }

    struct Frame {
        std::string log;
        float height = 0;      // cursor advance of the rendered text
        float lastWidth = 0;   // width of the last item drawn
        int codeVertices = 0;  // vertices drawn in the code colour
    };

    // Renders the text in a 300 px wide window whose wrap position is its right edge, as the
    // answer card does.
    Frame render(std::string_view text, ImFont* bold, ImFont* mono) {
        Frame frame;
        ImGui::NewFrame();
        ImGui::SetNextWindowPos(ImVec2(0, 0));
        ImGui::SetNextWindowSize(ImVec2(300, 580));
        ImGui::Begin("card");
        ImGui::PushTextWrapPos(0.0f);
        ImDrawList* drawList = ImGui::GetWindowDrawList();
        const int firstVertex = drawList->VtxBuffer.Size;
        const float top = ImGui::GetCursorPosY();
        ImGui::LogToBuffer();
        renderMarkdown(text, bold, mono);
        frame.log = GImGui->LogBuffer.c_str();  // LogFinish clears the buffer
        ImGui::LogFinish();
        frame.height = ImGui::GetCursorPosY() - top;
        frame.lastWidth = ImGui::GetItemRectSize().x;
        const ImU32 codeColour = ImGui::GetColorU32(ImVec4(0.80f, 0.86f, 0.95f, 1.00f));
        for (int i = firstVertex; i < drawList->VtxBuffer.Size; ++i)
            frame.codeVertices += drawList->VtxBuffer[i].col == codeColour;
        ImGui::PopTextWrapPos();
        ImGui::End();
        ImGui::Render();
        return frame;
    }

    ImGuiContext* context_ = nullptr;
    ImFont* regular_ = nullptr;
    ImFont* bold_ = nullptr;
    ImFont* mono_ = nullptr;
};

TEST_F(RenderMarkdown, DrawsTheTextsOfEveryKind) {
    const Frame frame =
        render("## Plan\n\n**Key:** be `brief`\n- first *point*\n```\n  code **raw**\n```\n1. done",
               bold_, mono_);
    // One logged line per drawn text: fences, markers and the bullet sign are not text.
    EXPECT_EQ(frame.log, "Plan\nKey: be brief\nfirst *point*\n  code **raw**\n1. done");
    EXPECT_GT(frame.codeVertices, 0);
}

TEST_F(RenderMarkdown, OnlyCodeIsDrawnInTheCodeColour) {
    EXPECT_EQ(render("plain\n- bullet\n# head", bold_, mono_).codeVertices, 0);
    EXPECT_GT(render("```\nx", nullptr, nullptr).codeVertices, 0);
}

TEST_F(RenderMarkdown, CodeIgnoresTheWrapPositionAndTextFollowsIt) {
    const std::string longLine(120, 'x');
    const std::string words = [] {
        std::string s;
        for (int i = 0; i < 40; ++i)
            s += "word ";
        return s;
    }();
    EXPECT_GT(render("```\n" + longLine, nullptr, nullptr).lastWidth, 300.0f);
    EXPECT_LE(render(words, nullptr, nullptr).lastWidth, 300.0f);
    EXPECT_GT(render(words, nullptr, nullptr).height, 3 * regular_->FontSize);
}

TEST_F(RenderMarkdown, FontsAreUsedWhenGivenAndOptional) {
    // The large font stands in for bold, the small one for mono.
    const float boldHeading = render("# Title", bold_, mono_).height;
    const float plainHeading = render("# Title", nullptr, nullptr).height;
    EXPECT_NEAR(boldHeading - plainHeading, bold_->FontSize - regular_->FontSize, 1.0f);

    const float monoCode = render("```\nint x;", bold_, mono_).height;
    const float plainCode = render("```\nint x;", nullptr, nullptr).height;
    EXPECT_NEAR(plainCode - monoCode, regular_->FontSize - mono_->FontSize, 1.0f);
}

TEST_F(RenderMarkdown, BlankLinesAddOneSmallGap) {
    const float none = render("a\nb", nullptr, nullptr).height;
    const float one = render("a\n\nb", nullptr, nullptr).height;
    EXPECT_GT(one, none + 0.3f * regular_->FontSize);
    // Leading blank lines and runs of blank lines add nothing more.
    EXPECT_FLOAT_EQ(render("\n \n\na\n\n\t\n\nb", nullptr, nullptr).height, one);
}

}  // namespace
}  // namespace morvelin
