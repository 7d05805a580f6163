#pragma once
// Real frames of the HUD drawn without a display: the controller with real services draws into
// a Dear ImGui context, the frame's texts are read back through Dear ImGui's text log, and the
// mouse is moved and pressed through the context's input state to drive widgets.

#include <cfloat>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <imgui.h>
#include <imgui_internal.h>

#include "tests/ui/hud_test_support.h"

namespace morvelin::draw_test {

using namespace hud_test;

// Escape's slot in the key array of this headless context (no platform backend maps it).
constexpr int kEscapeSlot = 27;

class Frames {
public:
    explicit Frames(ImGuiUI& ui, ImVec2 display = ImVec2(1382, 1000)) : ui_(ui) {
        ImGuiIO& io = ImGui::GetIO();
        io.DisplaySize = display;
        io.IniFilename = nullptr;
        io.KeyMap[ImGuiKey_Escape] = kEscapeSlot;
        // The controller replaced the fonts; there is no renderer to build them for us.
        io.Fonts->Build();
    }

    // Draws `count` frames and returns the text of the last one.
    std::string draw(int count = 1) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text = one(i == count - 1);
        return text;
    }

    ImGuiIO& io() { return ImGui::GetIO(); }

    // A press and release of the left button at a point, one frame each, then one more frame
    // with the mouse gone so that what the click changed is drawn. (A tooltip is a top-level
    // window, and its end would end the frame's log early.)
    std::string click(ImVec2 at) {
        io().MousePos = at;
        draw();
        io().MouseDown[0] = true;
        draw();
        io().MouseDown[0] = false;
        draw();
        io().MousePos = ImVec2(-FLT_MAX, -FLT_MAX);
        return draw();
    }

    // The tab of the root window's tab bar whose label (before any "##") starts with `label`.
    std::optional<ImRect> tabRect(std::string_view label) {
        ImGuiContext& g = *GImGui;
        for (int n = 0; n < g.TabBars.GetMapSize(); ++n) {
            ImGuiTabBar* bar = g.TabBars.TryGetMapData(n);
            if (!bar)
                continue;
            for (ImGuiTabItem& tab : bar->Tabs) {
                if (std::string_view(bar->GetTabName(&tab)).starts_with(label)) {
                    const float x = bar->BarRect.Min.x + tab.Offset;
                    return ImRect(x, bar->BarRect.Min.y, x + tab.Width, bar->BarRect.Max.y);
                }
            }
        }
        return std::nullopt;
    }

    std::string openTab(std::string_view label) {
        draw(2);
        const std::optional<ImRect> rect = tabRect(label);
        if (!rect)
            return {};
        return click(rect->GetCenter());
    }

    // The child window whose name contains `part` ("##settings", "##answer").
    static ImGuiWindow* window(std::string_view part) {
        for (ImGuiWindow* window : GImGui->Windows) {
            if (std::string_view(window->Name).find(part) != std::string_view::npos)
                return window;
        }
        return nullptr;
    }

    // Moves the mouse down a vertical line at x, one frame per step, until the item `id` is
    // hovered; its y or nothing.
    std::optional<float> findItemY(ImGuiID id, float x, float top, float bottom, float step = 3) {
        for (float y = top; y < bottom; y += step) {
            io().MousePos = ImVec2(x, y);
            draw();
            if (GImGui->HoveredId == id)
                return y;
        }
        return std::nullopt;
    }

private:
    std::string one(bool logged) {
        io().DeltaTime = 1.0f / 60.0f;
        ImGui::NewFrame();
        // Dear ImGui 1.86 ends a log when the top-level window that holds it ends, and empties
        // its buffer then; only the clipboard log keeps the text (in the context's own
        // clipboard here, as there is no platform backend).
        if (logged) {
            ImGui::SetClipboardText("");
            ImGui::LogToClipboard();
        }
        ui_.draw();
        // Every push of a frame is popped in it: an extra pop is an assertion (a crash) in the
        // program's own build of Dear ImGui.
        EXPECT_EQ(GImGui->ColorStack.Size, 0) << "style colours pushed and popped unevenly";
        EXPECT_EQ(GImGui->StyleVarStack.Size, 0) << "style variables pushed and popped unevenly";
        ImGui::LogFinish();
        ImGui::Render();
        const char* text = ImGui::GetClipboardText();
        return logged && text ? std::string(text) : std::string();
    }

    ImGuiUI& ui_;
};

inline bool has(const std::string& text, std::string_view needle) {
    return text.find(needle) != std::string::npos;
}

// The frame's log split into lines without surrounding blanks.
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        const auto first = line.find_first_not_of(' ');
        const auto last = line.find_last_not_of(' ');
        lines.push_back(first == std::string::npos ? std::string()
                                                   : line.substr(first, last - first + 1));
        start = end + 1;
    }
    return lines;
}

}  // namespace morvelin::draw_test
