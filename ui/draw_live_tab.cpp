// The Live tab: the live strip, the "ANSWER" header with the request state, Copy and Clear,
// the answer card, and the "TRANSCRIPT" header above the transcript. The card also drives the
// HUD window's height so that a streaming answer is read without scrolling while it fits.

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include "ui/draw_widgets.h"
#include "ui/imgui_ui.h"
#include "ui/markdown.h"
#include "ui/palette.h"

namespace morvelin {

void ImGuiUI::drawLiveTab(float reserve) {
    const ImGuiStyle& style = ImGui::GetStyle();
    drawLiveStrip();

    const float freeSpace = ImGui::GetContentRegionAvail().y - reserve -
                            2.0f * ImGui::GetFrameHeightWithSpacing() - style.ItemSpacing.y;
    const float space = std::max(freeSpace, 140.0f);
    const float transcriptHeight =
        showTranscript ? 3.0f * ImGui::GetTextLineHeightWithSpacing() + 2.0f * style.WindowPadding.y
                       : 0.0f;
    float cardHeight = std::max(space - transcriptHeight, space * 0.5f);

    if (autoHeight) {
        // Grow the window until the card holds the whole answer (at most to the bottom of the
        // work area), shrink it back for a short one; never while the user holds the mouse
        // (resizing under a drag fights it) and not for a jitter of a pixel or two.
        const float wanted =
            std::max(answerContentHeight,
                     4.0f * ImGui::GetTextLineHeightWithSpacing() + 2.5f * style.WindowPadding.y);
        // Measured against the room the window really gives the card: below the 140 px floor
        // the card is drawn taller than that room, and a target taken from the floored height
        // would shrink the window under the card (down to the window's minimum size).
        const float cardRoom = std::min(cardHeight, freeSpace - transcriptHeight);
        if (OverlayWindow* overlay = services.overlay) {
            const OverlayWindow::Rect rect = overlay->windowRect();
            const int height = rect.bottom - rect.top;
            const int limit = std::max(height, overlay->workAreaBottom() - rect.top);
            const int target = std::clamp(
                static_cast<int>(std::lround(static_cast<float>(height) + (wanted - cardRoom))), 1,
                std::max(limit, 1));
            if (std::abs(target - height) > 2 && !ImGui::IsMouseDown(ImGuiMouseButton_Left) &&
                !dragging)
                overlay->setHeight(target);
        }
        cardHeight = std::min(cardHeight, wanted);
    }

    std::int32_t state = kAnswerIdle;
    std::int32_t firstToken = -1;
    std::string modelLabel;
    {
        std::lock_guard lock(stateMutex);
        state = answerState;
        firstToken = firstTokenMs;
        modelLabel = answerModelLabel;
    }

    ImGui::AlignTextToFramePadding();
    colouredText(palette::muted(), "ANSWER");
    ImGui::SameLine();
    switch (state) {
        case kAnswerStreaming: {
            static constexpr const char* kSpinner[] = {"|", "/", "-", "\\"};
            const auto frame = static_cast<long long>(std::floor(8.0 * ImGui::GetTime()));
            const char* spinner = kSpinner[((frame % 4) + 4) % 4];
            ImGui::PushStyleColor(ImGuiCol_Text, palette::accent());
            if (firstToken >= 0)
                ImGui::Text("%s streaming  (first token %d ms)", spinner, firstToken);
            else
                ImGui::Text("%s thinking...", spinner);
            ImGui::PopStyleColor();
            ImGui::SameLine();
            break;
        }
        case kAnswerDone:
            ImGui::PushStyleColor(ImGuiCol_Text, palette::muted());
            if (firstToken >= 0)
                ImGui::Text("%s  (first token %d ms)", modelLabel.c_str(), firstToken);
            else
                ImGui::TextUnformatted(modelLabel.c_str());
            ImGui::PopStyleColor();
            ImGui::SameLine();
            break;
        case kAnswerStopped:
            colouredText(palette::muted(), "stopped");
            ImGui::SameLine();
            break;
        case kAnswerFailed:
            colouredText(palette::error(), "failed");
            ImGui::SameLine();
            break;
        default:
            break;
    }

    const float padX = style.FramePadding.x;
    const float cursorX = ImGui::GetCursorPosX();
    ImGui::SetCursorPosX(
        std::max(ImGui::GetContentRegionAvail().x + cursorX -
                     (ImGui::CalcTextSize("Copy").x + ImGui::CalcTextSize("Clear").x + 4.0f * padX +
                      style.ItemSpacing.x),
                 cursorX));
    if (ImGui::Button("Copy")) {
        std::lock_guard lock(stateMutex);
        ImGui::SetClipboardText(answerText.c_str());
    }
    ImGui::SameLine();
    if (ImGui::Button("Clear"))
        clearAnswer();
    itemTooltip(hotkeyRegistered[0] ? "Dismiss the card and stop streaming.\nEsc while focused, or "
                                      "Ctrl+Shift+Backspace from any app."
                                    : "Dismiss the card and stop streaming.\nEsc while focused.");

    drawAnswerCard(cardHeight);

    ImGui::AlignTextToFramePadding();
    colouredText(palette::muted(), "TRANSCRIPT");
    ImGui::SameLine();
    const char* toggleLabel = showTranscript ? "Hide" : "Show";
    const float buttonsWidth =
        buttonWidth(toggleLabel) +
        (showTranscript ? buttonWidth("Clear##transcript") + style.ItemSpacing.x : 0.0f);
    const float transcriptCursorX = ImGui::GetCursorPosX();
    ImGui::SetCursorPosX(std::max(
        ImGui::GetContentRegionAvail().x + transcriptCursorX - buttonsWidth, transcriptCursorX));
    const bool transcriptShown = showTranscript;  // this frame's layout was planned with it
    if (ImGui::Button(toggleLabel))
        showTranscript = !transcriptShown;
    if (transcriptShown) {
        ImGui::SameLine();
        if (ImGui::Button("Clear##transcript"))
            clearTranscript();
        drawTranscript(transcriptHeight);
    }
}

void ImGuiUI::drawAnswerCard(float height) {
    const ImGuiStyle& style = ImGui::GetStyle();
    ImGui::PushStyleColor(ImGuiCol_ChildBg, ImVec4(0.105f, 0.115f, 0.135f, 1.00f));
    ImGui::PushStyleColor(ImGuiCol_Border, palette::withAlpha(palette::accent(), 0.25f));
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding,
                        ImVec2(style.WindowPadding.x * 1.15f, style.WindowPadding.y * 1.15f));
    ImGui::BeginChild(
        "##answer", ImVec2(0.0f, height), true,
        ImGuiWindowFlags_AlwaysUseWindowPadding | ImGuiWindowFlags_HorizontalScrollbar);
    const ImVec2 padding = ImGui::GetStyle().WindowPadding;  // the card's own

    {
        // Held while the answer is drawn: a token arriving meanwhile waits, so question,
        // answer and state stay consistent within the frame.
        std::lock_guard lock(stateMutex);
        if (answerGeneration != scrolledGeneration) {
            scrolledGeneration = answerGeneration;
            ImGui::SetScrollY(0.0f);
        }

        const bool showAnswer =
            !answerQuestion.empty() || !answerText.empty() || answerState == kAnswerFailed;
        if (!answerQuestion.empty())
            drawTintedTextBox(answerQuestion, palette::interviewer());

        if (!showAnswer) {
            const char* hint =
                !listening ? "Turn Listening on for hands-free answers, or use Capture Screen and "
                             "the Screen & Type tab for screenshots and typed questions."
                : handsFree.load()
                    ? "Waiting for a question. Detected questions are answered automatically."
                    : "Listening. Everything you hear is kept; click Answer (or press "
                      "Ctrl+Shift+A) when you want a response.";
            ImGui::PushTextWrapPos(ImGui::GetWindowWidth() - padding.x);
            colouredText(palette::muted(), hint);
            ImGui::PopTextWrapPos();
        } else {
            ImGui::PushTextWrapPos(0.0f);
            if (answerState == kAnswerFailed)
                colouredText(palette::error(), answerError);
            renderMarkdown(answerText, boldFont, monoFont);
            if (answerState == kAnswerStreaming) {
                const bool on = std::fmod(ImGui::GetTime(), 1.0) < 0.6;
                colouredText(palette::withAlpha(palette::accent(), on ? 1.0f : 0.0f), "_");
            }
            ImGui::PopTextWrapPos();
        }
    }

    answerContentHeight = ImGui::GetCursorPosY() + padding.y;
    ImGui::EndChild();
    ImGui::PopStyleVar();
    ImGui::PopStyleColor(2);
}

void ImGuiUI::drawTintedTextBox(const std::string& text, const ImVec4& colour) {
    const ImGuiStyle& style = ImGui::GetStyle();
    const ImVec2 pad = style.FramePadding;
    const float available = ImGui::GetContentRegionAvail().x;
    const float wrapWidth = std::max(available - 2.0f * pad.x, 1.0f);
    const ImVec2 textSize =
        ImGui::CalcTextSize(text.data(), text.data() + text.size(), false, wrapWidth);
    const ImVec2 box(std::min(available, textSize.x + 2.0f * pad.x), textSize.y + 2.0f * pad.y);
    const ImVec2 origin = ImGui::GetCursorScreenPos();
    const ImVec2 end(origin.x + box.x, origin.y + box.y);

    ImDrawList* drawList = ImGui::GetWindowDrawList();
    drawList->AddRectFilled(origin, end, ImGui::GetColorU32(palette::withAlpha(colour, 0.14f)),
                            style.FrameRounding);
    drawList->AddRect(origin, end, ImGui::GetColorU32(palette::withAlpha(colour, 0.35f)),
                      style.FrameRounding, 0, 1.0f);

    ImGui::SetCursorScreenPos(ImVec2(origin.x + pad.x, origin.y + pad.y));
    ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + wrapWidth);
    colouredText(colour, text);
    ImGui::PopTextWrapPos();
    ImGui::SetCursorScreenPos(ImVec2(origin.x, end.y));
    ImGui::Dummy(ImVec2(0.0f, style.ItemSpacing.y * 0.5f));
}

}  // namespace morvelin
