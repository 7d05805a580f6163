// What is heard, two ways: the live strip at the top of the Live tab (a problem, the timed
// notice, or the words the question detectors are collecting, as chips of three words) and the
// transcript child (final lines of both speakers, then the live partials).

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include <fmt/format.h>
#include <imgui_internal.h>

#include "ui/draw_widgets.h"
#include "ui/hud_clock.h"
#include "ui/imgui_ui.h"
#include "ui/palette.h"

namespace morvelin {
namespace {

constexpr std::size_t kWordsPerChip = 3;

// One transcript speaker label, drawn only when the speaker changes.
void speakerLabel(AudioSource source, int& lastSpeaker) {
    const int speaker = static_cast<int>(source);
    if (speaker == lastSpeaker)
        return;
    if (lastSpeaker >= 0)
        ImGui::Spacing();
    lastSpeaker = speaker;
    if (source == AudioSource::SystemAudio)
        colouredText(palette::interviewer(), "Interviewer");
    else
        colouredText(palette::accent(), "You");
}

}  // namespace

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (true) {
        pos = text.find_first_not_of(' ', pos);
        if (pos == std::string_view::npos)
            break;
        const std::size_t end = std::min(text.find(' ', pos), text.size());
        words.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return words;
}

void ImGuiUI::drawLiveStrip() {
    std::array<std::string, 2> captions;
    for (std::size_t i = 0; i < captions.size(); ++i) {
        if (detectors[i])
            captions[i] = detectors[i]->currentText();
    }

    const ImGuiStyle& style = ImGui::GetStyle();
    const float stripHeight =
        ImGui::GetFrameHeight() + style.ScrollbarSize + style.WindowPadding.y * 0.5f;
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding,
                        ImVec2(style.WindowPadding.x * 0.5f, style.WindowPadding.y * 0.4f));
    ImGui::BeginChild(
        "##live-strip", ImVec2(0.0f, stripHeight), false,
        ImGuiWindowFlags_AlwaysUseWindowPadding | ImGuiWindowFlags_HorizontalScrollbar);
    ImGui::PopStyleVar();
    const bool follow = ImGui::GetScrollX() >= ImGui::GetScrollMaxX() - 4.0f;

    std::string noticeText;
    {
        std::lock_guard lock(stateMutex);
        if (!notice.empty() && steadyNowNs() < noticeUntilNs)
            noticeText = notice;
    }

    std::string inputDown;
    if (listening && services.capture) {
        for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
            if (!services.capture->capturing[sourceIndex(source)].load()) {
                inputDown = fmt::format(
                    "{} input down: {}",
                    source == AudioSource::SystemAudio ? "Interviewer audio" : "Microphone",
                    services.capture->status(source));
                break;
            }
        }
    }

    const std::string& interviewerCaption = captions[sourceIndex(AudioSource::SystemAudio)];
    const std::string& micCaption = captions[sourceIndex(AudioSource::Microphone)];
    if (listening && !listenProblem.empty()) {
        ImGui::AlignTextToFramePadding();
        colouredText(palette::error(), listenProblem);
    } else if (!inputDown.empty()) {
        ImGui::AlignTextToFramePadding();
        colouredText(palette::error(), inputDown);
    } else if (!noticeText.empty()) {
        ImGui::AlignTextToFramePadding();
        colouredText(palette::notice(), noticeText);
    } else if (interviewerCaption.empty() && micCaption.empty()) {
        const char* hint = !listening ? "Listening is off. Turn it on for hands-free answers."
                           : handsFree.load()
                               ? "Listening for the interviewer's next question..."
                               : "Listening. Nothing is answered until you click Answer "
                                 "(Ctrl+Shift+A).";
        ImGui::AlignTextToFramePadding();
        colouredText(palette::muted(), hint);
    } else {
        if (!interviewerCaption.empty())
            drawLiveCaption(interviewerCaption, palette::interviewer(), true);
        if (!micCaption.empty()) {
            if (!interviewerCaption.empty())
                ImGui::SameLine(0.0f, 2.0f * style.ItemSpacing.x);
            drawLiveCaption(micCaption, palette::accent(), interviewerCaption.empty());
        }
        ImGui::NewLine();
    }

    if (follow)
        ImGui::SetScrollHereX(1.0f);
    ImGui::EndChild();
}

void ImGuiUI::drawLiveCaption(std::string_view text, const ImVec4& colour, bool pulseLast) {
    const ImGuiStyle& style = ImGui::GetStyle();
    const std::vector<std::string_view> words = splitWords(text);
    const ImVec2 pad(0.8f * style.FramePadding.x, 0.6f * style.FramePadding.y);
    const float rounding = 0.45f * ImGui::GetFontSize();
    const float frameHeight = ImGui::GetFrameHeight();
    ImDrawList* drawList = ImGui::GetWindowDrawList();

    for (std::size_t first = 0; first < words.size(); first += kWordsPerChip) {
        const std::size_t last = std::min(first + kWordsPerChip, words.size());
        std::string chip(words[first]);
        for (std::size_t i = first + 1; i < last; ++i) {
            chip += ' ';
            chip += words[i];
        }
        const ImVec2 textSize = ImGui::CalcTextSize(chip.data(), chip.data() + chip.size());
        const ImVec2 size(textSize.x + 2.0f * pad.x, textSize.y + 2.0f * pad.y);
        // Chips sit on the strip's frame line, level with the texts shown in their place.
        const ImVec2 cursor = ImGui::GetCursorScreenPos();
        const ImVec2 min(cursor.x, cursor.y + std::max(0.0f, (frameHeight - size.y) * 0.5f));
        const ImVec2 max(min.x + size.x, min.y + size.y);

        drawList->AddRectFilled(min, max, ImGui::GetColorU32(palette::withAlpha(colour, 0.16f)),
                                rounding);
        if (pulseLast && last == words.size()) {
            const float alpha =
                std::sin(6.0f * static_cast<float>(ImGui::GetTime())) * 0.35f + 0.45f;
            drawList->AddRect(min, max, ImGui::GetColorU32(palette::withAlpha(colour, alpha)),
                              rounding, 0, 1.5f);
        }
        ImGui::PushStyleColor(ImGuiCol_Text, colour);
        ImGui::RenderText(ImVec2(min.x + pad.x, min.y + pad.y), chip.data(),
                          chip.data() + chip.size(), false);
        ImGui::PopStyleColor();
        ImGui::Dummy(ImVec2(size.x, std::max(size.y, frameHeight)));
        ImGui::SameLine(0.0f, style.ItemInnerSpacing.x);
    }
}

void ImGuiUI::drawTranscript(float height) {
    ImGui::BeginChild("##transcript", ImVec2(0.0f, height), true);
    const bool follow = ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - 4.0f;
    ImGui::PushTextWrapPos(0.0f);
    {
        std::lock_guard lock(stateMutex);
        if (transcript.empty() && livePartial[0].empty() && livePartial[1].empty()) {
            colouredText(palette::muted(),
                         listening ? "Listening... the conversation will appear here."
                                   : "The live transcript appears here while listening.");
        }
        int lastSpeaker = -1;
        for (const TranscriptLine& line : transcript) {
            speakerLabel(line.source, lastSpeaker);
            ImGui::TextUnformatted(line.text.data(), line.text.data() + line.text.size());
        }
        for (AudioSource source : {AudioSource::SystemAudio, AudioSource::Microphone}) {
            const std::string& partial = livePartial[sourceIndex(source)];
            if (partial.empty())
                continue;
            speakerLabel(source, lastSpeaker);
            colouredText(palette::muted(), partial);
        }
    }
    ImGui::PopTextWrapPos();
    if (follow)
        ImGui::SetScrollHereY(1.0f);
    ImGui::EndChild();
}

}  // namespace morvelin
