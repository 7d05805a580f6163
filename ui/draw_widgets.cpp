#include "ui/draw_widgets.h"

namespace morvelin {

void colouredText(const ImVec4& colour, std::string_view text) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
    ImGui::PopStyleColor();
}

void colouredTextWrapped(const ImVec4& colour, std::string_view text) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    ImGui::PushTextWrapPos(0.0f);
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
    ImGui::PopTextWrapPos();
    ImGui::PopStyleColor();
}

void itemTooltip(std::string_view text) {
    if (!ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled))
        return;
    ImGui::BeginTooltip();
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
    ImGui::EndTooltip();
}

void labelledRule(std::string_view label) {
    // The look of SeparatorText with its default style: text 20 px in from the left, 3 px
    // above and below, a 3 px rule in the Separator colour on both sides.
    const ImGuiStyle& style = ImGui::GetStyle();
    const float insetX = 20.0f;
    const float padY = 3.0f;
    const ImVec2 start = ImGui::GetCursorScreenPos();
    const float right = start.x + ImGui::GetContentRegionAvail().x;

    ImGui::SetCursorScreenPos(ImVec2(start.x + insetX, start.y + padY));
    ImGui::TextUnformatted(label.data(), label.data() + label.size());
    const ImVec2 textMin = ImGui::GetItemRectMin();
    const ImVec2 textMax = ImGui::GetItemRectMax();

    const float midY = (textMin.y + textMax.y) * 0.5f;
    const ImU32 colour = ImGui::GetColorU32(ImGuiCol_Separator);
    ImDrawList* drawList = ImGui::GetWindowDrawList();
    drawList->AddLine(ImVec2(start.x, midY), ImVec2(textMin.x - style.ItemSpacing.x, midY), colour,
                      3.0f);
    if (textMax.x + style.ItemSpacing.x < right)
        drawList->AddLine(ImVec2(textMax.x + style.ItemSpacing.x, midY), ImVec2(right, midY),
                          colour, 3.0f);
}

float buttonWidth(std::string_view label) {
    const ImVec2 size = ImGui::CalcTextSize(label.data(), label.data() + label.size(), true);
    return size.x + 2.0f * ImGui::GetStyle().FramePadding.x;
}

}  // namespace morvelin
