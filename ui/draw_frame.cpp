// One frame of the HUD: pending settings, Esc, the root window that covers the HUD window, the
// four tabs and the status bar. The regions themselves are drawn by the other draw_*.cpp files.
//
// The drawing is written against Dear ImGui 1.86 (Debian's); where a newer API reads better,
// these are the stand-ins used throughout:
//   SeparatorText(label)            -> labelledRule(label) (ui/draw_widgets.h), same look
//   BeginChild(id, size, childFlags) -> BeginChild(id, size, border, windowFlags)
//   ImGuiChildFlags_Borders          -> border = true
//   ImGuiChildFlags_AlwaysUseWindowPadding -> ImGuiWindowFlags_AlwaysUseWindowPadding
//   ImGuiCol_TabSelected             -> ImGuiCol_TabActive (no TabSelectedOverline)
//   IsKeyPressed(ImGuiKey_Escape)    -> IsKeyPressed(GetKeyIndex(ImGuiKey_Escape))

#include <cstdlib>
#include <mutex>
#include <string>

#include <fmt/format.h>

#include "ui/draw_widgets.h"
#include "ui/imgui_ui.h"
#include "ui/palette.h"

namespace morvelin {
namespace {

// Read once per process; emptied when it has selected its tab, so it acts on one frame only.
std::string& startTab() {
    static std::string tab = [] {
        const char* value = std::getenv("MORVELIN_START_TAB");
        return value ? std::string(value) : std::string();
    }();
    return tab;
}

// True (and the start tab consumed) when the start tab names this tab.
bool takeStartTab(const char* name) {
    std::string& tab = startTab();
    if (tab != name)
        return false;
    tab.clear();
    return true;
}

}  // namespace

void ImGuiUI::draw() {
    pollKnowledgeDialog();
    applyLlmSettings();
    saveSettings(false);

    // Without a key mapping (no platform backend) the index is -1 and nothing is pressed.
    const int escapeKey = ImGui::GetKeyIndex(ImGuiKey_Escape);
    if (escapeKey >= 0 && ImGui::IsKeyPressed(escapeKey, false) && !ImGui::IsAnyItemActive())
        clearAnswer();

    const ImGuiViewport* viewport = ImGui::GetMainViewport();
    ImGui::SetNextWindowPos(viewport->Pos, ImGuiCond_Always, ImVec2(0.0f, 0.0f));
    ImGui::SetNextWindowSize(viewport->Size, ImGuiCond_Always);
    constexpr ImGuiWindowFlags kRootFlags =
        ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
        ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse |
        ImGuiWindowFlags_NoSavedSettings | ImGuiWindowFlags_NoBringToFrontOnFocus;
    ImGui::Begin("##morvelin-root", nullptr, kRootFlags);

    drawTopBar();
    drawActionRow();

    // What the tabs leave free at the bottom for the status bar.
    const float reserve = ImGui::GetStyle().ItemSpacing.y + ImGui::GetFrameHeightWithSpacing();

    if (ImGui::BeginTabBar("##tabs", 0)) {
        ImGuiTabItemFlags liveFlags = 0;
        ImGuiTabItemFlags composeFlags = 0;
        ImGuiTabItemFlags knowledgeFlags = 0;
        ImGuiTabItemFlags settingsFlags = 0;
        if (selectLiveTab)
            liveFlags |= ImGuiTabItemFlags_SetSelected;
        if (selectComposeTab || takeStartTab("compose"))
            composeFlags |= ImGuiTabItemFlags_SetSelected;
        if (takeStartTab("knowledge"))
            knowledgeFlags |= ImGuiTabItemFlags_SetSelected;
        if (takeStartTab("settings"))
            settingsFlags |= ImGuiTabItemFlags_SetSelected;
        selectLiveTab = false;
        selectComposeTab = false;

        if (ImGui::BeginTabItem("Live", nullptr, liveFlags)) {
            drawLiveTab(reserve);
            ImGui::EndTabItem();
        }
        const std::string composeLabel =
            tray.empty() ? std::string("Screen & Type###compose")
                         : fmt::format("Screen & Type ({})###compose", tray.size());
        if (ImGui::BeginTabItem(composeLabel.c_str(), nullptr, composeFlags)) {
            drawComposeTab(reserve);
            ImGui::EndTabItem();
        }
        if (ImGui::BeginTabItem("Knowledge Base", nullptr, knowledgeFlags)) {
            drawKnowledgeTab(reserve);
            ImGui::EndTabItem();
        }
        if (ImGui::BeginTabItem("Settings", nullptr, settingsFlags)) {
            drawSettingsTab();
            ImGui::EndTabItem();
        }
        ImGui::EndTabBar();
    }

    drawStatusBar();
    ImGui::End();
}

void ImGuiUI::drawStatusBar() {
    ImGui::SetCursorPosY(ImGui::GetWindowHeight() - ImGui::GetFrameHeightWithSpacing());
    ImGui::Separator();

    std::string sttPart;
    {
        std::lock_guard lock(stateMutex);
        if (listening && listenProblem.empty()) {
            const auto orConnecting = [](const std::string& text) {
                return text.empty() ? std::string("connecting") : text;
            };
            sttPart = fmt::format("STT them: {} | you: {}",
                                  orConnecting(sttStatus[sourceIndex(AudioSource::SystemAudio)]),
                                  orConnecting(sttStatus[sourceIndex(AudioSource::Microphone)]));
        }
    }
    std::string line;
    if (sttPart.empty())
        line = statusText;
    else if (statusText.empty())
        line = sttPart;
    else
        line = statusText + "  -  " + sttPart;

    colouredText(palette::muted(), line);
    if (!line.empty() && ImGui::IsItemHovered())
        ImGui::SetTooltip("%s", line.c_str());
}

}  // namespace morvelin
