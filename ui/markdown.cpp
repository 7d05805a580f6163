#include "ui/markdown.h"

#include <algorithm>

#include <imgui.h>

namespace morvelin {
namespace {

constexpr std::string_view kFence = "```";
constexpr std::string_view kUnicodeBullet = "\xE2\x80\xA2 ";  // U+2022 and a blank
const ImVec4 kCodeColour(0.80f, 0.86f, 0.95f, 1.00f);

std::string_view trimLeadingBlanks(std::string_view text) {
    const std::size_t start = text.find_first_not_of(" \t");
    return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

class ScopedFont {
public:
    explicit ScopedFont(ImFont* font) : pushed_(font != nullptr) {
        if (pushed_)
            ImGui::PushFont(font);
    }
    ~ScopedFont() {
        if (pushed_)
            ImGui::PopFont();
    }
    ScopedFont(const ScopedFont&) = delete;
    ScopedFont& operator=(const ScopedFont&) = delete;

private:
    bool pushed_;
};

void drawText(const std::string& text) {
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
}

}  // namespace

std::string stripInlineMarkdown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '`')
            continue;
        if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '*') {
            ++i;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

MarkdownLine classifyMarkdownLine(std::string_view line, MarkdownState& state) {
    const std::string_view t = trimLeadingBlanks(line);
    if (t.starts_with(kFence)) {
        state.inCode = !state.inCode;
        return {state.inCode ? MarkdownLineKind::FenceOpen : MarkdownLineKind::FenceClose, {}};
    }
    if (state.inCode)
        return {MarkdownLineKind::Code, std::string(line)};
    if (t.empty()) {
        const bool gap = !state.lastBlank;
        state.lastBlank = true;
        return {gap ? MarkdownLineKind::Gap : MarkdownLineKind::Blank, {}};
    }
    state.lastBlank = false;

    if (t.starts_with("- ") || t.starts_with("* "))
        return {MarkdownLineKind::Bullet, stripInlineMarkdown(t.substr(2))};
    if (t.starts_with(kUnicodeBullet))
        return {MarkdownLineKind::Bullet, stripInlineMarkdown(t.substr(kUnicodeBullet.size()))};
    if (t.front() == '#') {
        std::string_view rest = t;
        rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of('#')));
        rest.remove_prefix(std::min(rest.size(), rest.find_first_not_of(' ')));
        return {MarkdownLineKind::Heading, stripInlineMarkdown(rest)};
    }
    if (t.starts_with("**"))
        return {MarkdownLineKind::BoldLine, stripInlineMarkdown(t)};
    return {MarkdownLineKind::Plain, stripInlineMarkdown(t)};
}

std::vector<MarkdownLine> classifyMarkdown(std::string_view text) {
    std::vector<MarkdownLine> lines;
    MarkdownState state;
    while (true) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        lines.push_back(classifyMarkdownLine(line, state));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

void renderMarkdown(std::string_view text, ImFont* bold, ImFont* mono) {
    for (const MarkdownLine& line : classifyMarkdown(text)) {
        switch (line.kind) {
            case MarkdownLineKind::FenceOpen:
                ImGui::Spacing();
                break;
            case MarkdownLineKind::FenceClose:
            case MarkdownLineKind::Blank:
                break;
            case MarkdownLineKind::Code: {
                ScopedFont font(mono);
                ImGui::PushStyleColor(ImGuiCol_Text, kCodeColour);
                ImGui::PushTextWrapPos(-1.0f);  // code keeps its lines; never wrapped
                drawText(line.text);
                ImGui::PopTextWrapPos();
                ImGui::PopStyleColor();
                break;
            }
            case MarkdownLineKind::Gap:
                ImGui::Dummy(ImVec2(0.0f, 0.35f * ImGui::GetFontSize()));
                break;
            case MarkdownLineKind::Bullet:
                ImGui::Bullet();
                ImGui::SameLine();
                drawText(line.text);
                break;
            case MarkdownLineKind::Heading:
            case MarkdownLineKind::BoldLine: {
                {
                    ScopedFont font(bold);
                    drawText(line.text);
                }
                ImGui::Dummy(ImVec2(0.0f, 0.15f * ImGui::GetFontSize()));
                break;
            }
            case MarkdownLineKind::Plain:
                drawText(line.text);
                break;
        }
    }
}

}  // namespace morvelin
