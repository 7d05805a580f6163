#pragma once
// Small drawing helpers shared by the HUD's draw_*.cpp files: coloured text, a tooltip for the
// last item, and the labelled rule that newer Dear ImGui calls SeparatorText.

#include <string_view>
#include <vector>

#include <imgui.h>

namespace morvelin {

// Unformatted text in a colour (no printf parsing, so '%' in user text is safe).
void colouredText(const ImVec4& colour, std::string_view text);
// The same, wrapped at the window's right edge.
void colouredTextWrapped(const ImVec4& colour, std::string_view text);
// Shows text as the tooltip of the last item while it is hovered, also when it is disabled.
void itemTooltip(std::string_view text);
// A section heading: the label inset a little from the left, a rule on either side of it,
// vertically centred on the text.
void labelledRule(std::string_view label);
// Width of a button with this label at the current frame padding.
float buttonWidth(std::string_view label);

// The words of a live caption: separated by runs of ' ' only (tabs and line breaks stay inside
// words, as the speech-to-text engines never send them between words).
std::vector<std::string_view> splitWords(std::string_view text);

}  // namespace morvelin
