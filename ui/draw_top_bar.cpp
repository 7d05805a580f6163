// The HUD's first two rows: the top bar (wordmark on the drag area that moves the window, the
// listening pill, click-through and Quit) and the action row (Answer/Stop, Capture Screen).

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include <fmt/format.h>
#include <imgui_internal.h>

#include "ui/draw_widgets.h"
#include "ui/imgui_ui.h"
#include "ui/palette.h"

namespace morvelin {
namespace {

constexpr const char* kListeningOffLabel = "Listening: OFF";

// Text drawn where a widget already is (not as an item of its own) that still reaches Dear
// ImGui's text log, so a frame can be read back the way it looks.
void renderText(const ImVec2& pos, const ImVec4& colour, std::string_view text) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    ImGui::RenderText(pos, text.data(), text.data() + text.size(), false);
    ImGui::PopStyleColor();
}

}  // namespace

void ImGuiUI::drawTopBar() {
    const ImGuiStyle& style = ImGui::GetStyle();
    const float frameHeight = ImGui::GetFrameHeight();
    const float barHeight = 1.25f * frameHeight;
    const float padX = style.FramePadding.x;

    const float pillWidth = 2.0f * padX + frameHeight + style.ItemInnerSpacing.x +
                            ImGui::CalcTextSize(kListeningOffLabel).x;
    const float clickThroughWidth = 2.0f * padX + ImGui::CalcTextSize("Click-through").x;
    const float quitWidth = frameHeight;
    const float dragWidth =
        std::max(ImGui::GetContentRegionAvail().x -
                     (pillWidth + clickThroughWidth + quitWidth + 3.0f * style.ItemSpacing.x),
                 1.0f);

    const ImVec2 rowStart = ImGui::GetCursorPos();
    ImGui::InvisibleButton("##drag", ImVec2(dragWidth, barHeight));
    OverlayWindow* overlay = services.overlay;
    // The window follows the pointer so that the point grabbed stays under it. The grab is
    // where the press was, not where the pointer is by now: a quick drag has moved on before
    // the frame that sees its press. The frame that sees the release moves the window too: the
    // last motion and the release often reach one frame (a flick, or a frame slowed by a tall
    // answer), and the window must end where the pointer let go, not one step short of it.
    if (ImGui::IsItemActivated() && overlay) {
        const ImVec2 press = ImGui::GetIO().MouseClickedPos[ImGuiMouseButton_Left];
        dragGrab = {static_cast<int>(press.x), static_cast<int>(press.y)};
        dragging = true;
    }
    if (dragging && overlay && (ImGui::IsItemActive() || ImGui::IsItemDeactivated())) {
        const OverlayWindow::Point mouse = overlay->cursorPosition();
        overlay->moveTo(mouse.x - dragGrab.x, mouse.y - dragGrab.y);
    }
    if (!ImGui::IsItemActive())
        dragging = false;
    if (ImGui::IsItemHovered())
        ImGui::SetMouseCursor(ImGuiMouseCursor_ResizeAll);

    // The wordmark sits on the drag area, so grabbing it moves the window too.
    {
        const ImVec2 itemMin = ImGui::GetItemRectMin();
        const ImVec2 itemMax = ImGui::GetItemRectMax();
        const float fontSize = ImGui::GetFontSize();
        const float radius = 0.28f * fontSize;
        ImDrawList* drawList = ImGui::GetWindowDrawList();
        drawList->PushClipRect(itemMin, itemMax, true);
        drawList->AddCircleFilled(ImVec2(itemMin.x + radius + 2.0f, itemMin.y + barHeight * 0.5f),
                                  radius, ImGui::GetColorU32(palette::accent()));
        const ImVec2 textPos(itemMin.x + 2.0f * radius + 10.0f,
                             itemMin.y + barHeight * 0.5f - fontSize * 0.5f);
        renderText(textPos, palette::accent(), "Hal");
        renderText(ImVec2(textPos.x + ImGui::CalcTextSize("Hal").x, textPos.y),
                   style.Colors[ImGuiCol_Text], "venor");
        drawList->PopClipRect();
    }

    const auto nextWidget = [&] {
        ImGui::SameLine();
        ImGui::SetCursorPosY(rowStart.y + (barHeight - frameHeight) * 0.5f);
    };

    nextWidget();
    if (drawListeningToggle(frameHeight)) {
        if (listening)
            stopListening();
        else
            startListening();
    }
    {
        const char* shortcut =
            hotkeyRegistered[1] ? "\nShortcut: Ctrl+Shift+L (works from any app)." : "";
        if (handsFree.load())
            itemTooltip(fmt::format(
                "Hands-free mode: transcribe the call, detect the interviewer's questions\nand "
                "stream answers automatically.{}",
                shortcut));
        else
            itemTooltip(
                fmt::format("Listening and transcribing. 'Answer on click' is on, so "
                            "nothing is\nanswered until you press Answer.{}",
                            shortcut));
    }

    nextWidget();
    const bool clickThroughAvailable = overlay && overlay->clickThroughHotkeyRegistered();
    const bool clickThroughOn = overlay && overlay->clickThrough();
    ImGui::BeginDisabled(!clickThroughAvailable);
    if (clickThroughOn)
        ImGui::PushStyleColor(ImGuiCol_Button, palette::accent());
    const bool clickThroughPressed = ImGui::Button("Click-through", ImVec2(clickThroughWidth, 0));
    if (clickThroughOn)
        ImGui::PopStyleColor();
    ImGui::EndDisabled();
    if (clickThroughPressed && overlay)
        overlay->setClickThrough(!clickThroughOn);
    itemTooltip(clickThroughAvailable
                    ? "Make the overlay semi-transparent and let clicks pass through.\nPress "
                      "Ctrl+Shift+Space anywhere to switch back."
                    : "Unavailable: Ctrl+Shift+Space is already taken by another app,\nso there "
                      "would be no way to switch back.");
    // Where the desktop keeps the clicks although the HUD lets them pass, the status line says
    // so, as it does for a HUD that is not hidden from screen capture.
    const std::string clickThroughError =
        clickThroughOn ? overlay->clickThroughError() : std::string();
    if (clickThroughError != clickThroughProblem) {
        clickThroughProblem = clickThroughError;
        if (!clickThroughError.empty())
            statusText = "Warning: clicks do NOT pass through this HUD (" + clickThroughError + ")";
    }

    nextWidget();
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ImVec4(0.75f, 0.22f, 0.22f, 1.00f));
    if (ImGui::Button("X", ImVec2(quitWidth, 0)))
        quitRequested = true;
    ImGui::PopStyleColor();
    itemTooltip("Quit");

    ImGui::SetCursorPosY(rowStart.y + barHeight + style.ItemSpacing.y * 0.5f);
    ImGui::Separator();
}

bool ImGuiUI::drawListeningToggle(float frameHeight) {
    const ImGuiStyle& style = ImGui::GetStyle();
    const float padX = style.FramePadding.x;
    // Measured on the longer OFF text so the pill keeps its width when it switches.
    const float width = 2.0f * padX + frameHeight + style.ItemInnerSpacing.x +
                        ImGui::CalcTextSize(kListeningOffLabel).x;
    const bool pressed = ImGui::InvisibleButton("##listening", ImVec2(width, frameHeight));
    const bool hovered = ImGui::IsItemHovered();
    const ImVec2 min = ImGui::GetItemRectMin();
    const ImVec2 max = ImGui::GetItemRectMax();
    const float rounding = frameHeight * 0.5f;
    const float time = static_cast<float>(ImGui::GetTime());
    const float pulse = std::sin(3.0f * time) * 0.5f + 0.5f;
    ImDrawList* drawList = ImGui::GetWindowDrawList();

    if (listening) {
        drawList->AddRectFilled(
            min, max,
            ImGui::GetColorU32(palette::withAlpha(palette::accent(), pulse * 0.08f + 0.14f)),
            rounding);
        drawList->AddRect(
            min, max,
            ImGui::GetColorU32(palette::withAlpha(palette::accent(), pulse * 0.4f + 0.45f)),
            rounding, 0, 1.5f);
    } else {
        drawList->AddRectFilled(
            min, max, ImGui::GetColorU32(hovered ? ImGuiCol_ButtonHovered : ImGuiCol_Button),
            rounding);
    }

    // Five level bars in the square left of the text: still when off, dancing with the louder
    // source while listening, livelier while someone speaks.
    float loudness = 0.0f;
    bool anyoneSpeaking = false;
    if (const AudioCapture* capture = services.capture) {
        loudness = std::max(capture->level[0].load(), capture->level[1].load());
        anyoneSpeaking = capture->speaking[0].load() || capture->speaking[1].load();
    }
    const float activity =
        std::clamp((anyoneSpeaking ? 0.25f : 0.08f) + 1.6f * loudness, 0.0f, 1.0f);
    const float centreY = (min.y + max.y) * 0.5f;
    const float halfWidth = std::max(frameHeight / 10.0f, 2.0f) * 0.5f;
    const ImU32 barColour = ImGui::GetColorU32(listening ? palette::accent() : palette::muted());
    for (int i = 0; i < 5; ++i) {
        const float centreX = min.x + padX + (static_cast<float>(i) + 0.5f) * frameHeight / 5.0f;
        const float h =
            listening ? (std::sin(1.3f * static_cast<float>(i) + 9.0f * time) * 0.45f + 0.55f) *
                                activity * 0.3f +
                            0.12f
                      : 0.12f;
        const float halfHeight = h * frameHeight;
        drawList->AddRectFilled(ImVec2(centreX - halfWidth, centreY - halfHeight),
                                ImVec2(centreX + halfWidth, centreY + halfHeight), barColour,
                                halfWidth);
    }

    const char* label = listening ? "Listening: ON" : kListeningOffLabel;
    renderText(ImVec2(min.x + padX + frameHeight + style.ItemInnerSpacing.x,
                      centreY - ImGui::GetFontSize() * 0.5f),
               listening ? palette::accent() : style.Colors[ImGuiCol_Text], label);
    return pressed;
}

void ImGuiUI::drawActionRow() {
    const ImGuiStyle& style = ImGui::GetStyle();
    std::int32_t state = kAnswerIdle;
    std::size_t newLines = 0;
    {
        std::lock_guard lock(stateMutex);
        state = answerState;
        newLines = transcript.size() - std::min(transcript.size(), answeredUpTo);
    }
    const bool streaming = state == kAnswerStreaming;
    const bool isHandsFree = handsFree.load();

    // The counts live in the labels, so each button keeps a fixed identity ("###"): a line or
    // a screenshot arriving between press and release must not turn the click into a press of
    // a new button, which Dear ImGui would drop. Stop is a button of its own, so a press that
    // began on Answer never stops the answer that started meanwhile.
    std::string answerLabel;
    if (streaming)
        answerLabel = "Stop";
    else if (isHandsFree)
        answerLabel = "Ask AI  (Ctrl+Shift+A)###answer";
    else if (newLines > 0)
        answerLabel = fmt::format("Answer ({})  (Ctrl+Shift+A)###answer",
                                  std::min<std::size_t>(newLines, 99));
    else
        answerLabel = "Answer  (Ctrl+Shift+A)###answer";
    const std::string captureLabel =
        tray.empty() ? std::string("Capture Screen###capture")
                     : fmt::format("Capture Screen ({})###capture", tray.size());

    const float available = ImGui::GetContentRegionAvail().x;
    const float captureWidth = std::max(0.34f * available, buttonWidth("Capture Screen (99)"));
    const float answerWidth = available - captureWidth - style.ItemSpacing.x;
    const float rowHeight = 1.25f * ImGui::GetFrameHeight();

    ImGui::PushStyleColor(ImGuiCol_Button, streaming ? ImVec4(0.55f, 0.18f, 0.18f, 1.00f)
                                                     : ImVec4(0.13f, 0.45f, 0.33f, 1.00f));
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, streaming ? ImVec4(0.65f, 0.22f, 0.22f, 1.00f)
                                                            : ImVec4(0.16f, 0.55f, 0.40f, 1.00f));
    const bool answerPressed = ImGui::Button(answerLabel.c_str(), ImVec2(answerWidth, rowHeight));
    ImGui::PopStyleColor(2);
    if (!streaming)
        itemTooltip(isHandsFree
                        ? "Answer now: the question you typed (Screen & Type tab), or the latest "
                          "part of\nthe conversation. Works from any app with Ctrl+Shift+A."
                        : "Answer everything heard since your last answer.\nWorks from any app "
                          "with Ctrl+Shift+A.");
    if (answerPressed) {
        if (streaming)
            stopAnswer();
        else
            answerNow();
        selectLiveTab = true;
    }

    ImGui::SameLine();
    if (ImGui::Button(captureLabel.c_str(), ImVec2(captureWidth, rowHeight))) {
        captureScreen();
        selectComposeTab = true;
    }
    if (hotkeyRegistered[3])
        itemTooltip("Capture the screen. Works from any app with Ctrl+Shift+S.");
    else
        itemTooltip(fmt::format(
            "Screenshot the primary monitor and add it to the Screen & Type tab.\nCapture as "
            "many as you need; nothing is sent until you click Send.\nScreenshots are answered "
            "by: {}",
            screenshotModelId()));

    ImGui::Dummy(ImVec2(0.0f, style.ItemSpacing.y * 0.25f));
}

}  // namespace morvelin
