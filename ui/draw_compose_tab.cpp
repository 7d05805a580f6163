// The Screen & Type tab (screenshot tray, typed question, Send) and the Knowledge Base tab
// (the three texts that go into every system prompt).

#include <algorithm>
#include <cfloat>
#include <optional>
#include <string>

#include <fmt/format.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <imgui_stdlib.h>

#include "ui/draw_widgets.h"
#include "ui/imgui_ui.h"
#include "ui/palette.h"

namespace morvelin {

void ImGuiUI::drawComposeTab(float /*reserve*/) {
    const ImGuiStyle& style = ImGui::GetStyle();
    colouredTextWrapped(
        palette::muted(),
        fmt::format("Capture one or more screenshots (a coding problem, a shared doc), add an "
                    "optional question, then Send. Screenshots are answered by {}, typed "
                    "questions by {}. The answer appears on the Live tab.",
                    screenshotModelId(), answerModelId()));
    ImGui::Spacing();

    if (tray.empty()) {
        const float fontSize = ImGui::GetFontSize();
        ImGui::PushStyleColor(ImGuiCol_ChildBg, ImVec4(0.105f, 0.115f, 0.135f, 0.60f));
        ImGui::BeginChild("##shots-empty", ImVec2(0.0f, 3.2f * fontSize), true);
        ImGui::SetCursorPosY(fontSize);
        const char* empty = "No screenshots yet. Click Capture Screen above.";
        ImGui::SetCursorPosX(
            std::max((ImGui::GetWindowWidth() - ImGui::CalcTextSize(empty).x) * 0.5f, 0.0f));
        colouredText(palette::muted(), empty);
        ImGui::EndChild();
        ImGui::PopStyleColor();
    } else {
        drawScreenshotTray();
    }
    ImGui::Spacing();

    // A fixed identity, as the action row's buttons: a screenshot taken while Send is held
    // changes the count, and the release must still send.
    const std::string sendLabel =
        tray.empty() ? std::string("Send###send") : fmt::format("Send + {}###send", tray.size());
    const float sendWidth = buttonWidth("Send + 8");
    // Ctrl+Shift+A and Send take the typed question away while the field may still be active;
    // an active field keeps showing (and would write back) its own copy, so let it go.
    const ImGuiID questionId = ImGui::GetID("##question");
    if (const ImGuiInputTextState* field = ImGui::GetInputTextState(questionId);
        field && ImGui::GetActiveID() == questionId && typedQuestion.empty() && field->CurLenA > 0)
        ImGui::ClearActiveID();
    ImGui::SetNextItemWidth(ImGui::GetContentRegionAvail().x - sendWidth - style.ItemSpacing.x);
    const bool enter = ImGui::InputTextWithHint(
        "##question",
        tray.empty() ? "Type a question (Enter to send)..."
                     : "Optional question about the screenshots (Enter to send)...",
        &typedQuestion, ImGuiInputTextFlags_EnterReturnsTrue);

    ImGui::SameLine();
    const bool nothingToSend = tray.empty() && typedQuestion.empty();
    ImGui::BeginDisabled(nothingToSend);
    const bool sendPressed = ImGui::Button(sendLabel.c_str(), ImVec2(sendWidth, 0.0f));
    ImGui::EndDisabled();
    if (!tray.empty())
        itemTooltip(fmt::format("Send your question and {} screenshot{} to {}.", tray.size(),
                                pluralSuffix(tray.size()), screenshotModelId()));

    if ((sendPressed || enter) && !nothingToSend) {
        sendScreenshots();
        selectLiveTab = true;
    }
}

void ImGuiUI::drawScreenshotTray() {
    const ImGuiStyle& style = ImGui::GetStyle();
    const float fontSize = ImGui::GetFontSize();
    const float thumbHeight = 2.6f * fontSize;
    ImGui::BeginChild(
        "##shots", ImVec2(0.0f, thumbHeight + 2.0f * style.WindowPadding.y + style.ScrollbarSize),
        true, ImGuiWindowFlags_AlwaysUseWindowPadding | ImGuiWindowFlags_HorizontalScrollbar);

    std::optional<std::size_t> toRemove;
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    // Laid out by hand: the remove button sits on top of its image, so the next image's
    // place is computed rather than taken from SameLine.
    ImVec2 next = ImGui::GetCursorScreenPos();
    for (std::size_t i = 0; i < tray.size(); ++i) {
        const TrayScreenshot& shot = tray[i];
        const float aspect = shot.thumbHeight > 0 ? static_cast<float>(shot.thumbWidth) /
                                                        static_cast<float>(shot.thumbHeight)
                                                  : 16.0f / 9.0f;
        const ImVec2 size(thumbHeight * aspect, thumbHeight);
        const ImVec2 topLeft = next;
        ImGui::PushID(static_cast<int>(i));

        ImGui::SetCursorScreenPos(topLeft);
        if (shot.thumbnail) {
            ImGui::Image(shot.thumbnail.id(), size);
        } else {
            ImGui::Dummy(size);
            drawList->AddRectFilled(topLeft, ImVec2(topLeft.x + size.x, topLeft.y + size.y),
                                    ImGui::GetColorU32(ImGuiCol_FrameBg), 4.0f);
        }
        if (ImGui::IsItemHovered())
            ImGui::SetTooltip("Screenshot %zu of %zu (%dx%d)", i + 1, tray.size(), shot.width,
                              shot.height);
        const std::string number = std::to_string(i + 1);
        drawList->AddText(ImVec2(topLeft.x + 4.0f, topLeft.y + 2.0f),
                          ImGui::GetColorU32(ImVec4(1.0f, 1.0f, 1.0f, 0.9f)), number.c_str());

        const float removeSize = 1.1f * fontSize;
        ImGui::SetCursorScreenPos(ImVec2(topLeft.x + size.x - removeSize - 2.0f, topLeft.y + 2.0f));
        ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(2.0f, 0.0f));
        ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0.0f, 0.0f, 0.0f, 0.55f));
        if (ImGui::Button("x", ImVec2(removeSize, removeSize)))
            toRemove = i;
        ImGui::PopStyleColor();
        ImGui::PopStyleVar();

        ImGui::PopID();
        next = ImVec2(topLeft.x + size.x + style.ItemSpacing.x, topLeft.y);
    }

    ImGui::SetCursorScreenPos(next);
    ImGui::PushStyleColor(ImGuiCol_Text, palette::muted());
    const bool clearAll = ImGui::Button("Clear all", ImVec2(0.0f, thumbHeight));
    ImGui::PopStyleColor();
    ImGui::EndChild();

    if (clearAll)
        clearScreenshots();
    else if (toRemove)
        removeScreenshot(*toRemove);
}

void ImGuiUI::drawKnowledgeTab(float reserve) {
    const ImGuiStyle& style = ImGui::GetStyle();
    colouredTextWrapped(
        palette::muted(),
        "Everything here is injected into the system prompt of every request, so answers "
        "reflect your real experience. Load .txt/.md files or paste text (export PDFs to text "
        "first). Everything is saved automatically on this PC and restored the next time you "
        "start.");

    const float fontSize = ImGui::GetFontSize();
    const float editorHeight =
        std::max((ImGui::GetContentRegionAvail().y - reserve) / 3.0f -
                     (ImGui::GetFrameHeightWithSpacing() + style.ItemSpacing.y),
                 4.0f * fontSize);

    struct Section {
        const char* title;
        const char* id;
        std::string* text;
    };
    const Section sections[] = {
        {"Resume", "resume", &resume},
        {"Job Description", "jd", &jobDescription},
        {"Project README / Notes", "readme", &projectReadme},
    };
    // A short window cannot hold three editors of the minimum height: they scroll above the
    // status bar rather than run under it.
    ImGui::BeginChild("##knowledge", ImVec2(0.0f, -reserve));
    for (const Section& section : sections) {
        ImGui::PushID(section.id);
        ImGui::AlignTextToFramePadding();
        ImGui::TextUnformatted(section.title);
        ImGui::SameLine();
        colouredText(palette::muted(), fmt::format("{} chars", section.text->size()));
        ImGui::SameLine();
        const float buttonsWidth =
            buttonWidth("Load file...") + buttonWidth("Clear") + style.ItemSpacing.x;
        const float cursorX = ImGui::GetCursorPosX();
        ImGui::SetCursorPosX(
            std::max(ImGui::GetContentRegionAvail().x + cursorX - buttonsWidth, cursorX));
        if (ImGui::Button("Load file..."))
            loadKnowledgeFile(*section.text, section.title);
        ImGui::SameLine();
        if (ImGui::Button("Clear")) {
            section.text->clear();
            llmSettingsDirty = true;
        }
        if (ImGui::InputTextMultiline("##text", section.text, ImVec2(-FLT_MIN, editorHeight)))
            llmSettingsDirty = true;
        ImGui::PopID();
    }
    ImGui::EndChild();
}

}  // namespace morvelin
