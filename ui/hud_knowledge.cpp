// Knowledge files: the Knowledge Base tab's "Load file..." buttons. The dialog runs as its own
// process, belonging to the HUD, while the HUD keeps drawing; the load finishes on the frame
// after it closes.

#include <fmt/format.h>

#include "ui/imgui_ui.h"
#include "ui/knowledge_file.h"

namespace morvelin {

void ImGuiUI::loadKnowledgeFile(std::string& target, const char* label) {
    const std::vector<FileDialog::Filter> filters = {
        {"Text documents (*.txt;*.md;*.markdown;*.rst;*.json)",
         {"*.txt", "*.md", "*.markdown", "*.rst", "*.json"}},
        {"All files (*.*)", {"*.*"}},
    };
    const std::string error =
        knowledgeDialog.open(fmt::format("Load {}", label), filters, services.overlay);
    if (!error.empty()) {
        knowledgeTarget = nullptr;
        statusText = fmt::format("{}: {}", label, error);
        return;
    }
    knowledgeTarget = &target;
    knowledgeLabel = label;
}

void ImGuiUI::pollKnowledgeDialog() {
    std::filesystem::path chosen;
    const FileDialog::Poll result = knowledgeDialog.poll(chosen);
    const bool chosenOrFailed =
        result == FileDialog::Poll::Chosen || result == FileDialog::Poll::Failed;
    if (!chosenOrFailed || !knowledgeTarget)
        return;
    std::string& target = *knowledgeTarget;
    knowledgeTarget = nullptr;
    // A cancel says nothing; a dialog program that broke down is named, or the button would
    // seem to do nothing.
    if (result == FileDialog::Poll::Failed)
        statusText = fmt::format("{}: {}", knowledgeLabel, knowledgeDialog.failure());
    else
        finishKnowledgeLoad(target, knowledgeLabel, chosen);
}

void ImGuiUI::finishKnowledgeLoad(std::string& target, const char* label,
                                  const std::filesystem::path& path) {
    KnowledgeFileResult result = readKnowledgeFile(path);
    if (!result.text) {
        statusText = fmt::format("{}: {}", label, result.error);
        return;
    }
    const std::size_t length = result.text->size();
    target = std::move(*result.text);
    llmSettingsDirty = true;
    statusText = fmt::format("Loaded {} ({} chars).", path.filename().string(), length);
}

}  // namespace morvelin
